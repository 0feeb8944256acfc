// Text files of numbers in rows, as the faces read points and point masses.
#pragma once

#include <string>
#include <vector>

namespace science {

// The rows of `path` ("-": standard input), `count` numbers a line,
// separated by blanks, tabs or commas; '#' starts a comment and blank lines
// are skipped. A line of another count, with a word that is not a number,
// or (when `finite`) with a number that is not finite is refused as
// "PATH:LINE: expected WHAT, found \"LINE\"" (the line with its comment cut
// off and its commas as blanks); a file that cannot be opened or read as
// "PATH: cannot be opened" or "PATH: read error". The numbers row after row.
std::vector<double> ReadRows(const std::string& path, size_t count, const std::string& what,
                             bool finite);

}  // namespace science
