// Threads of the threaded builds: THREADS read before the model, item j on
// thread j mod M, thread 0 the calling thread, joined in descending order.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>

class ThreadTeam {
 public:
  // Reads THREADS with atoi semantics (absent: 1; below 1: "bad number of
  // THREADS.") and allocates the M handle slots ("memory allocation error for
  // multi-threading."). The slots are reserved, not touched.
  void Start();
  // Runs body(t, m) for t = 0 .. m - 1, m = min(M, items) (at least 1): a
  // thread that would own no item is never started. Thread 0 is the caller.
  void Run(size_t items, const std::function<void(unsigned t, unsigned m)>& body);
  void Release();
  unsigned Count() const { return count_; }

 private:
  unsigned count_ = 1;
  std::thread* handles_ = nullptr;
};
