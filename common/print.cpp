// Number formatting through std::to_chars: exact and far faster than printf.
#include "common/print.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "common/error.h"

namespace {
// glibc prints nan with its sign ("-nan"); to_chars does the same, but keep
// the spelling explicit for non-finite values.
bool NonFinite(char*& p, double v) {
  if (std::isfinite(v)) return false;
  const char* s = std::isnan(v) ? (std::signbit(v) ? "-nan" : "nan") : (v < 0 ? "-inf" : "inf");
  const size_t n = std::strlen(s);
  std::memcpy(p, s, n);
  p += n;
  return true;
}
}  // namespace

Line& Line::E(double v) {
  char* p = buf_ + len_;
  if (!NonFinite(p, v))
    p = std::to_chars(p, buf_ + sizeof buf_, v, std::chars_format::scientific, 6).ptr;
  len_ = static_cast<size_t>(p - buf_);
  return *this;
}

Line& Line::F(double v) {
  // "%lf" of a huge number needs up to 317 characters; the buffer holds it.
  char* p = buf_ + len_;
  if (!NonFinite(p, v))
    p = std::to_chars(p, buf_ + sizeof buf_, v, std::chars_format::fixed, 6).ptr;
  len_ = static_cast<size_t>(p - buf_);
  return *this;
}

Line& Line::G(double v) {
  len_ += static_cast<size_t>(std::snprintf(buf_ + len_, sizeof buf_ - len_, "%g", v));
  return *this;
}

void Line::Flush(FILE* out) {
  std::fwrite(buf_, 1, len_, out);
  len_ = 0;
}

int FinishOutput() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) Error("standard output write error.");
  return 0;
}

std::string ShortestDigits(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}
