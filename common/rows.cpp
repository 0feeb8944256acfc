#include "common/rows.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/failure.h"
#include "common/file_type.h"
#include "common/input.h"

namespace rows {

namespace {

bool Separator(char c) {
  return c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\v' || c == '\f';
}

// The numbers of one line (comment already cut off): true when it holds
// exactly `columns` whole-word numbers; `*blank` when it holds nothing.
bool Parse(char* p, int columns, bool finite, double* values, bool* blank) {
  int k = 0;
  for (;;) {
    while (Separator(*p)) ++p;
    if (*p == '\0') break;
    char* start = p;
    while (*p && !Separator(*p)) ++p;
    const char saved = *p;
    *p = '\0';
    char* stop;
    const double d = std::strtod(start, &stop);
    *p = saved;
    if (stop != p || k == columns || (finite && !std::isfinite(d))) return *blank = false, false;
    values[k++] = d;
  }
  *blank = k == 0;
  return k == columns;
}

// Line `number`, raw[0, length) with a NUL written at raw[length]: its row
// given to `row`, or refused.
void Line(const std::string& path, char* raw, size_t length, size_t number, int columns,
          const std::string& expected, bool finite, double* values,
          const std::function<void(const double* values, size_t line)>& row) {
  // A NUL inside a line ends no number: the line is refused as it stands.
  const bool nul = std::memchr(raw, '\0', length) != nullptr;
  // The line as shown in a refusal: up to its comment.
  const char* hash = static_cast<const char*>(std::memchr(raw, '#', length));
  const size_t shown = hash ? static_cast<size_t>(hash - raw) : length;
  if (hash) raw[shown] = '\0';
  bool blank;
  if (!nul && Parse(raw, columns, finite, values, &blank)) {
    row(values, number);
  } else if (nul || !blank) {
    throw Failure(path + ":" + std::to_string(number) + ": " + expected + std::string(raw, shown) +
                  "\"");
  }
}

}  // namespace

void ReadText(const std::string& path, const char* data, size_t size, size_t first_line,
              int columns, const std::string& what, bool finite,
              const std::function<void(const double* values, size_t line)>& row) {
  std::vector<double> values(static_cast<size_t>(columns));
  const std::string expected = "expected " + what + ", found \"";
  std::string line;
  for (size_t at = 0, number = first_line; at < size; ++number) {
    const char* end = static_cast<const char*>(std::memchr(data + at, '\n', size - at));
    const size_t length = (end ? static_cast<size_t>(end - data) : size) - at;
    line.assign(data + at, length);
    Line(path, line.data(), length, number, columns, expected, finite, values.data(), row);
    at += length + 1;
  }
}

void Read(const std::string& path, int columns, const std::string& what, bool finite,
          const std::function<void(const double* values, size_t line)>& row) {
  const bool standard = path == "-";
  const std::unique_ptr<FILE, int (*)(FILE*)> file(
      standard ? nullptr : OpenInput(path.c_str(), "r"), &std::fclose);
  FILE* in = standard ? stdin : file.get();
  if (!in || (standard && FileType(stdin) == S_IFDIR)) throw Failure(path + ": cannot be opened");
  char* raw = nullptr;
  size_t capacity = 0;
  std::vector<double> values(static_cast<size_t>(columns));
  const std::string expected = "expected " + what + ", found \"";
  struct Free {
    char** p;
    ~Free() { std::free(*p); }
  } free_raw{&raw};
  for (size_t number = 1;; ++number) {
    const ssize_t got = getline(&raw, &capacity, in);
    if (got < 0) break;
    size_t length = static_cast<size_t>(got);
    if (length && raw[length - 1] == '\n') raw[--length] = '\0';
    Line(path, raw, length, number, columns, expected, finite, values.data(), row);
  }
  // A read error is not the end of the list.
  if (std::ferror(in)) throw Failure(path + ": read error");
}

}  // namespace rows
