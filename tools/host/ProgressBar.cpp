#include "ProgressBar.h"

#include <cstdio>
#include <string>

namespace tovik::host {

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

void CProgressBar::Draw(size_t done, size_t unanswered) {
  constexpr size_t kWidth = 40;
  const size_t filled = total == 0 ? kWidth : done * kWidth / total;
  std::string bar(filled, '#');
  bar.resize(kWidth, '.');
  const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(done * 100 / total);
  std::fprintf(stderr, "\r[%s] %3u%%  %zu/%zu blocks  %zu unanswered ", bar.c_str(), percent, done, total,
               unanswered);
  std::fflush(stderr);
  drawn = true;
}

}  // namespace tovik::host
