// Start and join of the worker threads, over std::thread.
#include "engine/threads.h"

#include <cstdlib>
#include <exception>
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
  const std::lock_guard<std::mutex> hold(in_use_);
  count_ = m ? m : 1;
  try {
    handles_.reserve(count_);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for multi-threading.");
  } catch (const std::length_error&) {
    Error("memory allocation error for multi-threading.");
  }
}

void ThreadTeam::MultiThreading(size_t items, const std::function<void(unsigned, unsigned)>& body,
                                unsigned threads) {
  std::unique_lock<std::mutex> own(in_use_, std::try_to_lock);
  const unsigned M = threads ? threads : count_.load();
  const unsigned m = static_cast<unsigned>(items < M ? (items ? items : 1) : M);
  // The reserved slots when they are free and enough, else slots of this phase.
  const bool reserved = own.owns_lock() && handles_.capacity() >= m - 1;
  std::vector<std::thread> local;
  std::vector<std::thread>& handles = reserved ? handles_ : local;
  if (!reserved) {
    try {
      local.reserve(m - 1);
    } catch (const std::bad_alloc&) {
      Error("memory allocation error for multi-threading.");
    }
  }
  // The first failure of any thread, thrown again once all are joined.
  std::mutex failure_lock;
  std::exception_ptr failure;
  auto guarded = [&](unsigned t) {
    try {
      body(t, m);
    } catch (...) {
      const std::lock_guard<std::mutex> hold(failure_lock);
      if (!failure) failure = std::current_exception();
    }
  };
  handles.clear();
  bool started = true;
  for (unsigned t = 1; t < m && started; ++t) {
    try {
      handles.emplace_back(guarded, t);  // within the reserved slots: no reallocation
    } catch (const std::system_error&) {
      started = false;  // reported once the threads already started are joined
    }
  }
  if (started) guarded(0);
  while (!handles.empty()) {
    try {
      handles.back().join();
    } catch (const std::system_error&) {
      Error("multi-threading termination error.");
    }
    handles.pop_back();
  }
  if (!started) Error("multi-threading initialization error.");
  if (failure) std::rethrow_exception(failure);
}

void ThreadTeam::Release() {
  const std::lock_guard<std::mutex> hold(in_use_);
  std::vector<std::thread>().swap(handles_);
}
