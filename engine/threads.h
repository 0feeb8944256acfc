// Threads of the threaded builds: THREADS read before the model, item j on
// thread j mod M, thread 0 the calling thread, joined in descending order.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
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
  // "multi-threading termination error.". An exception thrown by any body
  // (a failure through the error hook, memory exhaustion) is thrown again on
  // the calling thread once every thread has been joined: the first one
  // thrown, the others dropped. Several callers may run phases at once: a
  // phase that finds the reserved slots in use reserves its own.
  // `threads`, when not 0, is M for this phase only.
  void MultiThreading(size_t items, const std::function<void(unsigned t, unsigned m)>& body,
                      unsigned threads = 0);
  void Release();
  unsigned Count() const { return count_; }

 private:
  std::atomic<unsigned> count_{1};
  std::vector<std::thread> handles_;
  std::mutex in_use_;  // held by the phase that uses handles_
};
