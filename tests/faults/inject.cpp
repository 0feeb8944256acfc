// Fault injection for program tests, loaded with LD_PRELOAD: makes the C
// library's realloc refuse large blocks, malloc a block of one size, and the
// thread start or join fail, as the environment asks.
//   FAIL_REALLOC_ABOVE=n   realloc of more than n bytes returns null
//   FAIL_MALLOC_OF=n       malloc of exactly n bytes returns null (a buffer
//                          of a size only one place asks for)
//   FAIL_ALIGNED_OF=n      aligned_alloc of exactly n bytes returns null (the
//                          engines' large arrays)
//   FAIL_THREAD_START=n    pthread_create reports EAGAIN once n threads
//                          have been started (0: at once)
//   FAIL_THREAD_JOIN=1     pthread_join reports EDEADLK
//   RAISE_AT_FSYNC=sig     fsync raises signal sig first (a signal that
//                          arrives while an output file is being finished)
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace {
template <typename Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" void* realloc(void* block, size_t bytes) {
  using Fn = void* (*)(void*, size_t);
  static const Fn next = Next<Fn>("realloc");
  static const char* limit = std::getenv("FAIL_REALLOC_ABOVE");
  if (limit && bytes > std::strtoull(limit, nullptr, 10)) return nullptr;
  return next(block, bytes);
}

extern "C" void* __libc_malloc(size_t bytes);
extern "C" void* malloc(size_t bytes) {
  static const unsigned long long exact = [] {
    const char* text = std::getenv("FAIL_MALLOC_OF");
    return text ? std::strtoull(text, nullptr, 10) : 0ull;
  }();
  if (exact != 0 && bytes == exact) return nullptr;
  return __libc_malloc(bytes);
}

extern "C" void* aligned_alloc(size_t alignment, size_t bytes) {
  using Fn = void* (*)(size_t, size_t);
  static const Fn next = Next<Fn>("aligned_alloc");
  static const char* exact = std::getenv("FAIL_ALIGNED_OF");
  if (exact && bytes == std::strtoull(exact, nullptr, 10)) return nullptr;
  return next(alignment, bytes);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
  using Fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const Fn next = Next<Fn>("pthread_create");
  static std::atomic<unsigned long> started{0};
  if (const char* limit = std::getenv("FAIL_THREAD_START"))
    if (started >= std::strtoul(limit, nullptr, 10)) return EAGAIN;
  ++started;
  return next(thread, attr, start, arg);
}

extern "C" int pthread_join(pthread_t thread, void** result) {
  using Fn = int (*)(pthread_t, void**);
  static const Fn next = Next<Fn>("pthread_join");
  if (std::getenv("FAIL_THREAD_JOIN")) return EDEADLK;
  return next(thread, result);
}

extern "C" int fsync(int fd) {
  using Fn = int (*)(int);
  static const Fn next = Next<Fn>("fsync");
  if (const char* sig = std::getenv("RAISE_AT_FSYNC")) raise(std::atoi(sig));
  return next(fd);
}
