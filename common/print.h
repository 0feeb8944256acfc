// Formatted numbers as the C library prints them with "%le", "%lf" and "%lg",
// appended to a line buffer (correctly rounded, like glibc's printf).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// The shortest digits that read back as the same double ("nan", "inf" and
// "-inf" for the values that are not finite).
std::string ShortestDigits(double v);

// Flushes standard output and checks that everything printed reached it: a
// full disk or a closed pipe must not pass for success. Returns the exit
// status 0; on failure ends with "standard output write error.".
int FinishOutput();

// A line under construction; Flush writes it to a stream in one call.
class Line {
 public:
  Line& E(double v);  // "%le"
  Line& F(double v);  // "%lf"
  Line& G(double v);  // "%lg"
  Line& Tab() { return Char('\t'); }
  Line& Char(char c) {
    buf_[len_++] = c;
    return *this;
  }
  // Writes the line (with its newline, if the caller added one) to `out`.
  void Flush(FILE* out);
  const char* Data() const { return buf_; }
  size_t Size() const { return len_; }

 private:
  char buf_[8192];  // 13 numbers of "%lf" need at most 13 x 320 characters
  size_t len_ = 0;
};
