// TSV, CSV and NPY tables.
#include "science/table.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/print.h"
#include "mesh/mesh.h"

namespace science {

TableFormat TableFormatOf(const std::string& name) {
  if (name == "tsv") return TableFormat::kTsv;
  if (name == "csv") return TableFormat::kCsv;
  if (name == "npy") return TableFormat::kNpy;
  throw mesh::Failure("--format: \"" + name + "\" is not one of tsv, csv, npy");
}

namespace {

std::string Delimited(TableFormat format, const std::vector<std::string>& header,
                      const std::vector<Column>& columns) {
  const char sep = format == TableFormat::kCsv ? ',' : '\t';
  std::string out;
  for (const std::string& line : header) out += "# " + line + "\n";
  out += "# ";
  for (size_t c = 0; c < columns.size(); ++c)
    out += (c ? std::string(1, sep) : "") + columns[c].name + columns[c].unit;
  out += "\n";
  const size_t rows = columns.empty() ? 0 : columns[0].values->size();
  char buf[32];
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < columns.size(); ++c) {
      if (c) out += sep;
      const double v = (*columns[c].values)[r];
      if (std::isfinite(v)) {
        out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);  // no string per number
      } else {
        out += ShortestDigits(v);
      }
    }
    out += '\n';
  }
  return out;
}

// NPY version 1.0: magic, header length, a Python dict literal padded to a
// multiple of 64 bytes, then the records, little-endian doubles.
std::string Npy(const std::vector<Column>& columns) {
  std::string descr = "[";
  for (const Column& c : columns) {
    std::string name;
    for (char ch : c.name) name += ch == '\'' ? std::string("\\'") : std::string(1, ch);
    descr += "('" + name + "', '<f8'), ";
  }
  descr += "]";
  const size_t rows = columns.empty() ? 0 : columns[0].values->size();
  std::string dict = "{'descr': " + descr + ", 'fortran_order': False, 'shape': (" +
                     std::to_string(rows) + ",), }";
  const size_t unpadded = 10 + dict.size() + 1;
  dict += std::string((64 - unpadded % 64) % 64, ' ') + "\n";
  std::string out = "\x93NUMPY";
  out += '\x01';
  out += '\x00';
  out += static_cast<char>(dict.size() & 0xFF);
  out += static_cast<char>(dict.size() >> 8);
  out += dict;
  out.reserve(out.size() + rows * columns.size() * 8);
  for (size_t r = 0; r < rows; ++r)
    for (const Column& c : columns) {
      const uint64_t bits = std::bit_cast<uint64_t>((*c.values)[r]);
      for (int k = 0; k < 8; ++k) out += static_cast<char>(bits >> (8 * k) & 0xFF);
    }
  return out;
}

}  // namespace

std::string TableText(TableFormat format, const std::vector<std::string>& header,
                      const std::vector<Column>& columns) {
  return format == TableFormat::kNpy ? Npy(columns) : Delimited(format, header, columns);
}

void WriteTable(const std::string& path, TableFormat format, const std::vector<std::string>& header,
                const std::vector<Column>& columns) {
  mesh::WriteWhole(path, TableText(format, header, columns));
}

}  // namespace science
