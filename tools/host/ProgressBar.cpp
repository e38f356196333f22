#include "ProgressBar.h"

#include <cmath>
#include <cstdio>

namespace tovik::host {

std::string ClockText(double seconds) {
  if (!(seconds >= 0.0)) seconds = 0.0;
  const unsigned long whole = static_cast<unsigned long>(std::floor(seconds));
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof(text), "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
  else
    std::snprintf(text, sizeof(text), "%lu:%02lu", whole / 60, whole % 60);
  return text;
}

CProgressBar::CProgressBar(bool draw, size_t blocks, size_t blockFrames, int sampleRate)
    : enabled(draw),
      total(blocks),
      frames(blockFrames),
      rate(sampleRate),
      start(std::chrono::steady_clock::now()) {}

void CProgressBar::Update(size_t done, size_t unanswered) {
  if (!enabled) return;
  auto now = std::chrono::steady_clock::now();
  if (drawn && now - last < std::chrono::milliseconds(100)) return;
  last = now;
  Draw(done, unanswered);
}

void CProgressBar::Finish(size_t done, size_t unanswered) {
  if (!enabled) return;
  Draw(done, unanswered);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

std::string CProgressBar::Line(size_t done, size_t unanswered, double elapsed) const {
  constexpr size_t kWidth = 30;
  const size_t filled = total == 0 ? kWidth : done * kWidth / total;
  std::string bar(filled, '#');
  bar.resize(kWidth, '.');
  const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(done * 100 / total);
  char text[200];
  int n = std::snprintf(text, sizeof(text), "[%s] %3u%%", bar.c_str(), percent);
  if (rate > 0 && frames > 0) {
    const double position = static_cast<double>(done * frames) / rate;
    const double length = static_cast<double>(total * frames) / rate;
    n += std::snprintf(text + n, sizeof(text) - static_cast<size_t>(n), "  %s of %s",
                       ClockText(position).c_str(), ClockText(length).c_str());
  }
  n += std::snprintf(text + n, sizeof(text) - static_cast<size_t>(n), "  %zu unanswered", unanswered);
  if (done > 0 && done < total) {
    const double left = elapsed * static_cast<double>(total - done) / static_cast<double>(done);
    std::snprintf(text + n, sizeof(text) - static_cast<size_t>(n), "  %s left",
                  ClockText(left + 0.5).c_str());
  }
  return text;
}

void CProgressBar::Draw(size_t done, size_t unanswered) {
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "\r%s    ", Line(done, unanswered, elapsed).c_str());
  std::fflush(stderr);
  drawn = true;
}

}  // namespace tovik::host
