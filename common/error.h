// Fatal errors: one line on standard error and exit status 1.
#pragma once

// Writes `message` and a newline to standard error and ends the process with
// status 1. Standard output (and every other open stream) is flushed first, so
// that the lines already printed are kept; worker threads still running are
// ended with the process, never through std::terminate.
[[noreturn]] void Error(const char* message);

// Test seam: when set, Error calls the hook instead of ending the process.
// The hook must not return (a fuzzing harness or a unit test throws from it).
using ErrorHook = void (*)(const char* message);
void SetErrorHook(ErrorHook hook);
