// Threads of the threaded builds: THREADS read before the model, item j on
// thread j mod M, thread 0 the calling thread, joined in descending order.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

// THREADS as atoi reads it (a leading number, the rest ignored); absent: 1;
// below 1: "bad number of THREADS.".
unsigned ThreadsSetting();

class ThreadTeam {
 public:
  // Reads THREADS with atoi semantics (absent: 1; below 1: "bad number of
  // THREADS.") and reserves the M handle slots ("memory allocation error for
  // multi-threading."). The slots are reserved, not touched.
  void Start();
  // Sets M directly (at least 1) and reserves the slots, instead of THREADS.
  void SetCount(unsigned m);
  // One parallel phase: starts body(t, m) on threads t = 1 .. m - 1 in
  // increasing order, runs body(0, m) on the calling thread, then joins
  // threads m - 1 down to 1; m = min(M, items), at least 1, so that a thread
  // that would own no item is never started. A thread that cannot be started:
  // "multi-threading initialization error."; one that cannot be joined:
  // "multi-threading termination error.".
  void MultiThreading(size_t items, const std::function<void(unsigned t, unsigned m)>& body);
  void Release();
  unsigned Count() const { return count_; }

 private:
  unsigned count_ = 1;
  std::vector<std::thread> handles_;
};
