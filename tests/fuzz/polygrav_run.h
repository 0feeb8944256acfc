// polygrav_m run inside a harness: its one unit is included here with main
// renamed, the Error hook set to throw Fatal, and its state (thread count,
// counts, arrays and kernel table) reset before and released after every run.
#pragma once

#include <string>

#include "tests/fuzz/harness.h"

#define main PolygravMain
#include "tools/polygrav_m.cpp"
#undef main

namespace polygrav_run {

inline void Release() {
  for (double** a : {&X, &Y, &Z, &P}) {
    std::free(*a);
    *a = nullptr;
  }
  std::free(si);
  si = nullptr;
  table.Release();
  M = 1;
  F = N = 0;
}

// Runs polygrav_m with `model` and, when given, `points` as its second
// argument. Success, or one of `allowed`; any other message is a fault.
inline void Run(const char* model, const char* points, const char* const* allowed) {
  static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  SetErrorHook([](const char* message) { throw Fatal(message); });
  Release();
  std::string m = model, p = points ? points : "";
  char prog[] = "polygrav_m";
  char* argv[] = {prog, m.data(), points ? p.data() : nullptr, nullptr};
  Succeeds(PolygravMain, points ? 3 : 2, argv, allowed);
  Release();
}

}  // namespace polygrav_run
