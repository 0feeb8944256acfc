// Text files of numbers in rows, the front end's point and mass lists: a fixed
// count of numbers a line separated by blanks, tabs or commas; '#' starts a
// comment; blank lines are skipped. Every number is a whole word that strtod
// takes (a leading '+', exponents, inf and nan included); anything else is
// refused with the file and line.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace rows {

// Reads `path` ("-" is standard input) and calls `row` with the `columns`
// numbers of each row and its line number. With `finite`, an infinite or NaN
// number fails its row. Refuses "PATH: cannot be opened", "PATH: read error"
// and "PATH:LINE: expected WHAT, found "TEXT"" (`what` as "three numbers x y
// z"; TEXT the line without its comment) as Failure.
void Read(const std::string& path, int columns, const std::string& what, bool finite,
          const std::function<void(const double* values, size_t line)>& row);

// The same for the lines of a part of the file `path` already read:
// data[0, size), lines ended by '\n' (the last one may have none), the first
// of them line `first_line` of the file. Refuses as Read, but for reading.
void ReadText(const std::string& path, const char* data, size_t size, size_t first_line,
              int columns, const std::string& what, bool finite,
              const std::function<void(const double* values, size_t line)>& row);

}  // namespace rows
