// A one-line progress bar on standard error, drawn only on a terminal and at
// most ten times a second: the share done, the position in the signal
// (mm:ss of mm:ss), the blocks left unanswered and an estimate of the time left.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tovik::host {

// "m:ss" (or "h:mm:ss" from an hour on) of a time in seconds, rounded down.
std::string ClockText(double seconds);

class CProgressBar {
 public:
  CProgressBar(bool draw, size_t blocks, size_t blockFrames = 0, int sampleRate = 0);

  void Update(size_t done, size_t unanswered);
  // Draws the final state and ends the line.
  void Finish(size_t done, size_t unanswered);

  // The line drawn for done of the blocks after elapsed seconds.
  std::string Line(size_t done, size_t unanswered, double elapsed) const;

 private:
  void Draw(size_t done, size_t unanswered);

  bool enabled;
  size_t total;
  size_t frames;
  int rate;
  bool drawn = false;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point last{};
};

}  // namespace tovik::host
