// A progress line on standard error for long evaluations: percentage and
// estimated time left, only when standard error is a terminal, so that
// scripts see exactly the programs' own output.
#pragma once

#include <chrono>
#include <cstddef>

class Progress {
 public:
  // `items` points to evaluate, each costing `cost` facet evaluations; the
  // line appears only when that is enough work to take a few seconds.
  Progress(size_t items, size_t cost);
  ~Progress();
  bool Shown() const { return shown_; }
  // `done` items finished; redraws at most a few times a second.
  void Update(size_t done);

 private:
  using Clock = std::chrono::steady_clock;
  bool shown_ = false;
  bool drawn_ = false;
  size_t items_;
  Clock::time_point start_, last_;
};
