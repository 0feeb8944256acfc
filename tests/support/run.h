// Test support: run a program of the suite with given arguments, standard
// input and environment; catch Error in-process as an exception.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// Whether the programs carry a sanitizer: its shadow memory rules out limits
// on the address space, and its runtime must come first in the library list,
// before anything given in LD_PRELOAD.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

struct RunResult {
  int status = -1;  // exit status; -1 when the program did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs build/bin/<program> with `args`, feeding `input` on standard input.
// `env` entries "NAME=value" are added to the environment ("NAME" alone
// removes NAME); "RLIMIT_AS=bytes" limits the program's address space;
// "RLIMIT_FSIZE=bytes" makes writes past that file size fail;
// "RLIMIT_STACK=bytes" limits the stack (and so the threads' default stack);
// "STDOUT=path" and "STDERR=path" send standard output or error to an
// existing file (/dev/full); "STDIN=path" reads standard input from a file
// (or a directory).
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::string& input = "", const std::vector<std::string>& env = {});

// Path of a file in tests/data.
std::string DataPath(const std::string& name);

// A fresh, empty temporary directory for the calling test, removed at exit.
std::string TempDir();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

// Thrown by the Error hook that InstallErrorHook sets: its what() is the message.
struct ErrorCalled : std::runtime_error {
  using std::runtime_error::runtime_error;
};
void InstallErrorHook();

// Splits text into lines, and a line into its TAB-separated fields.
std::vector<std::string> Lines(const std::string& text);
std::vector<double> Numbers(const std::string& line);

// A failed run: status 1 and exactly `message` and a newline on standard
// error; `what` names the case in the failure report.
void ExpectFailure(const RunResult& r, const std::string& message, const std::string& what);

// A colour map that colours every entry blue (0x801F), in a temporary folder.
std::string BlueMap();
