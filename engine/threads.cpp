// Start and join of the worker threads, over std::thread.
#include "engine/threads.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <system_error>

#include "common/error.h"

void ThreadTeam::Start() {
  const char* value = std::getenv("THREADS");
  int m = value ? std::atoi(value) : 1;
  if (m < 1) Error("bad number of THREADS.");
  count_ = static_cast<unsigned>(m);
  if (count_ > SIZE_MAX / sizeof(std::thread)) Error("memory allocation error for multi-threading.");
  handles_ = static_cast<std::thread*>(std::malloc(sizeof(std::thread) * count_));
  if (!handles_) Error("memory allocation error for multi-threading.");
}

void ThreadTeam::Run(size_t items, const std::function<void(unsigned, unsigned)>& body) {
  const unsigned m = static_cast<unsigned>(items < count_ ? (items ? items : 1) : count_);
  for (unsigned t = 1; t < m; ++t) {
    try {
      new (&handles_[t]) std::thread(body, t, m);
    } catch (const std::system_error&) {
      Error("multi-threading initialization error.");
    }
  }
  body(0, m);
  for (unsigned t = m - 1; t >= 1; --t) {
    try {
      handles_[t].join();
    } catch (const std::system_error&) {
      Error("multi-threading termination error.");
    }
    handles_[t].~thread();
  }
}

void ThreadTeam::Release() {
  std::free(handles_);
  handles_ = nullptr;
}
