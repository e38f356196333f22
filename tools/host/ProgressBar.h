// A one-line progress bar on standard error, drawn only on a terminal and at
// most ten times a second.
#pragma once

#include <chrono>
#include <cstddef>

namespace tovik::host {

class CProgressBar {
 public:
  CProgressBar(bool draw, size_t blocks) : enabled(draw), total(blocks) {}

  void Update(size_t done, size_t unanswered);
  // Draws the final state and ends the line.
  void Finish(size_t done, size_t unanswered);

 private:
  void Draw(size_t done, size_t unanswered);

  bool enabled;
  size_t total;
  bool drawn = false;
  std::chrono::steady_clock::time_point last{};
};

}  // namespace tovik::host
