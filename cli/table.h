// Result tables as the polyfield program writes them: the library's writer
// (science/table.h), which the Python module shares.
#pragma once

#include "science/table.h"

namespace cli {

using science::Column;
using science::HeaderLine;
using science::TableFormat;
using science::TableFormatOf;
using science::WriteTable;

}  // namespace cli
