// Result tables as the polyfield program writes them: TSV (default) or CSV
// with '#' header lines, the last of which names the columns, numbers in
// their shortest round-trip form (whole numbers in a column of indices
// without an exponent); or NPY, a structured array whose fields are the
// column names, each titled with its name and unit.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "science/body.h"

namespace cli {

enum class TableFormat { kTsv, kCsv, kNpy };
TableFormat TableFormatOf(const std::string& name);

// A header line as written: control characters (a newline in a file's
// name) escaped as \n, \r, \xHH, so that every line of the header stays one
// comment line.
std::string HeaderLine(const std::string& line);

// Streams the table to `out`, a row at a time (the caller's output checks
// the stream for write errors when it commits). `header` lines go before the
// column names (without '#'); NPY has no header.
void WriteTable(FILE* out, TableFormat format, const std::vector<std::string>& header,
                const std::vector<science::Column>& columns);

}  // namespace cli
