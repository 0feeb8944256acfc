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

}  // namespace rows
