// Shared pieces of the fuzzing harnesses: Error turned into an exception that
// the harness catches, and the input bytes handed to a reader as standard
// input or as a named file, as the programs get them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/facet.h"

// Thrown by the Error hook: what() is the message.
struct Fatal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Installs the hook (once) that makes Error throw Fatal.
void CatchErrors();

// Replaces standard input by a stream over `data`, read from its first byte.
void AsStdin(const uint8_t* data, size_t size);

// A path naming a file that holds `data` (the same file on every call).
const char* AsFile(const uint8_t* data, size_t size);

// A path naming an empty file for a program's output, read back afterwards.
const char* OutputFile();

// Runs a program's main on argv: true when it succeeded, false when it
// ended with one of `allowed`; any other message is a fault.
bool Succeeds(int (*program_main)(int, char**), int argc, char** argv, const char* const* allowed);

// The model a program wrote at `path`, read back by the suite's reader; a
// model that does not read back is a fault.
std::vector<AttributedFacet> ReadBack(const char* path);

// Whether `message` is one of `allowed` (null-terminated list); a harness
// aborts on any other message, so that an undocumented one counts as a fault.
bool OneOf(const char* message, const char* const* allowed);

// LeakSanitizer held off for a scope, where the build has it: the programs own
// their arrays until the process ends and never release them.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));
struct NoLeakCheck {
  NoLeakCheck() {
    if (__lsan_disable) __lsan_disable();
  }
  ~NoLeakCheck() {
    if (__lsan_enable) __lsan_enable();
  }
  NoLeakCheck(const NoLeakCheck&) = delete;
  NoLeakCheck& operator=(const NoLeakCheck&) = delete;
};

// Aborts with `what` on standard error: a broken invariant found by the fuzzer.
[[noreturn]] void Broken(const std::string& what);
