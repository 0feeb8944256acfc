// Start and join of the worker threads, over std::thread.
#include "engine/threads.h"

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <system_error>

#include "common/error.h"

unsigned ThreadsSetting() {
  const char* value = std::getenv("THREADS");
  const int m = value ? std::atoi(value) : 1;
  if (m < 1) Error("bad number of THREADS.");
  return static_cast<unsigned>(m);
}

void ThreadTeam::Start() {
  SetCount(ThreadsSetting());
}

void ThreadTeam::SetCount(unsigned m) {
  count_ = m ? m : 1;
  try {
    handles_.reserve(count_);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for multi-threading.");
  } catch (const std::length_error&) {
    Error("memory allocation error for multi-threading.");
  }
}

void ThreadTeam::MultiThreading(size_t items, const std::function<void(unsigned, unsigned)>& body) {
  const unsigned m = static_cast<unsigned>(items < count_ ? (items ? items : 1) : count_);
  handles_.clear();
  for (unsigned t = 1; t < m; ++t) {
    try {
      handles_.emplace_back(body, t, m);  // within the reserved slots: no reallocation
    } catch (const std::system_error&) {
      Error("multi-threading initialization error.");
    }
  }
  body(0, m);
  while (!handles_.empty()) {
    try {
      handles_.back().join();
    } catch (const std::system_error&) {
      Error("multi-threading termination error.");
    }
    handles_.pop_back();
  }
}

void ThreadTeam::Release() {
  std::vector<std::thread>().swap(handles_);
}
