// Fatal errors: the one exit path of every program of the suite.
#include "common/error.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {
ErrorHook hook = nullptr;
}

void SetErrorHook(ErrorHook h) {
  hook = h;
}

void Error(const char* message) {
  if (hook) {
    hook(message);
    std::abort();  // a hook that returns is a programming error
  }
  std::fflush(nullptr);
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  // _exit: no static destructors run while worker threads may still be
  // reading shared data.
  _exit(1);
}
