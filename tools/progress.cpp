// Progress line: "\r" redraws in place, "\r\033[K" erases it at the end.
#include "tools/progress.h"

#include <unistd.h>

#include <cstdio>

namespace {
// Facet-point evaluations worth a progress line: several seconds of work
// even on the fastest engine.
constexpr double kWorthShowing = 2e10;
}  // namespace

Progress::Progress(size_t items, size_t cost) : items_(items) {
  shown_ = isatty(STDERR_FILENO) &&
           static_cast<double>(items) * static_cast<double>(cost) >= kWorthShowing;
  start_ = last_ = Clock::now();
}

Progress::~Progress() {
  if (drawn_) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
}

void Progress::Update(size_t done) {
  if (!shown_ || done == 0) return;
  const Clock::time_point now = Clock::now();
  if (now - last_ < std::chrono::milliseconds(250) && done < items_) return;
  last_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double left = elapsed / static_cast<double>(done) * static_cast<double>(items_ - done);
  std::fprintf(stderr, "\r%5.1f%%  %d:%02d left ",
               100.0 * static_cast<double>(done) / static_cast<double>(items_),
               static_cast<int>(left) / 60, static_cast<int>(left) % 60);
  std::fflush(stderr);
  drawn_ = true;
}
