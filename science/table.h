// Result tables as both faces write them: TSV (default) or CSV with '#'
// header lines, the last of which names the columns, numbers in their
// shortest round-trip form; or NPY, a structured array whose fields are the
// column names.
#pragma once

#include <string>
#include <vector>

namespace science {

enum class TableFormat { kTsv, kCsv, kNpy };
TableFormat TableFormatOf(const std::string& name);

struct Column {
  std::string name;  // as scripts address it: "U", "slope", ...
  std::string unit;  // "[m/s^2]" or ""
  const std::vector<double>* values;
};

// The table's bytes. `header` lines go before the column names (without '#').
std::string TableText(TableFormat format, const std::vector<std::string>& header,
                      const std::vector<Column>& columns);

// Writes to `path` ("-" is standard output), replacing a file only once it
// is complete.
void WriteTable(const std::string& path, TableFormat format, const std::vector<std::string>& header,
                const std::vector<Column>& columns);

}  // namespace science
