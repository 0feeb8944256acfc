// TSV, CSV and NPY tables, written row by row.
#include "science/table.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/print.h"
#include "mesh/mesh.h"
#include "science/request.h"

namespace science {

TableFormat TableFormatOf(const std::string& name) {
  if (name == "tsv") return TableFormat::kTsv;
  if (name == "csv") return TableFormat::kCsv;
  if (name == "npy") return TableFormat::kNpy;
  throw Failure(Quantity("format") + ": \"" + name + "\" is not one of tsv, csv, npy",
                Failure::Kind::kBadValue);
}

std::string HeaderLine(const std::string& line) {
  std::string out;
  for (const char ch : line) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out;
}

namespace {

void Text(FILE* out, TableFormat format, const std::vector<std::string>& header,
          const std::vector<Column>& columns) {
  const char sep = format == TableFormat::kCsv ? ',' : '\t';
  std::string line;
  for (const std::string& h : header) line += "# " + HeaderLine(h) + "\n";
  line += "# ";
  for (size_t c = 0; c < columns.size(); ++c)
    line += (c ? std::string(1, sep) : "") + columns[c].name + columns[c].unit;
  line += "\n";
  std::fwrite(line.data(), 1, line.size(), out);
  const size_t rows = columns.empty() ? 0 : columns[0].values->size();
  char buf[32];
  for (size_t r = 0; r < rows; ++r) {
    line.clear();
    for (size_t c = 0; c < columns.size(); ++c) {
      if (c) line += sep;
      const double v = (*columns[c].values)[r];
      if (!std::isfinite(v)) {
        line += ShortestDigits(v);
      } else if (columns[c].integer && std::fabs(v) < 0x1p53) {
        // An index reads as an integer: 100000, never 1e+05.
        line.append(buf, std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed).ptr);
      } else {
        line.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
      }
    }
    line += '\n';
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) return;
  }
}

// A Python string literal in single quotes.
std::string Quoted(const std::string& s) {
  std::string q = "'";
  for (char ch : s) q += ch == '\'' || ch == '\\' ? std::string("\\") + ch : std::string(1, ch);
  return q + "'";
}

// NPY version 1.0: magic, header length, a Python dict literal padded to a
// multiple of 64 bytes, then the records, little-endian doubles. A field
// with a unit is titled "name[unit]" (numpy's (title, name) form), so that
// a["U"] works and a.dtype.fields["U"][2] tells the unit.
void Npy(FILE* out, const std::vector<Column>& columns, const std::vector<size_t>& shape) {
  std::string descr = "[";
  for (const Column& c : columns) {
    descr += '(';
    if (c.unit.empty()) {
      descr += Quoted(c.name);
    } else {
      descr += '(';
      descr += Quoted(c.name + c.unit);
      descr += ", ";
      descr += Quoted(c.name);
      descr += ')';
    }
    descr += ", '<f8'), ";
  }
  descr += "]";
  const size_t rows = columns.empty() ? 0 : columns[0].values->size();
  std::string dims;
  for (const size_t d : shape.empty() ? std::vector<size_t>{rows} : shape)
    dims += std::to_string(d) + ",";
  if (shape.size() > 1) dims.pop_back();
  std::string dict = "{'descr': " + descr + ", 'fortran_order': False, 'shape': (" + dims + "), }";
  const size_t unpadded = 10 + dict.size() + 1;
  dict += std::string((64 - unpadded % 64) % 64, ' ') + "\n";
  std::string head = "\x93NUMPY";
  head += '\x01';
  head += '\x00';
  head += static_cast<char>(dict.size() & 0xFF);
  head += static_cast<char>(dict.size() >> 8);
  head += dict;
  std::fwrite(head.data(), 1, head.size(), out);
  std::string record(8 * columns.size(), '\0');
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < columns.size(); ++c) {
      const uint64_t bits = std::bit_cast<uint64_t>((*columns[c].values)[r]);
      for (int k = 0; k < 8; ++k) record[8 * c + k] = static_cast<char>(bits >> (8 * k) & 0xFF);
    }
    if (std::fwrite(record.data(), 1, record.size(), out) != record.size()) return;
  }
}

}  // namespace

void WriteTable(FILE* out, TableFormat format, const std::vector<std::string>& header,
                const std::vector<Column>& columns, const std::vector<size_t>& shape) {
  if (format == TableFormat::kNpy) {
    Npy(out, columns, shape);
  } else {
    Text(out, format, header, columns);
  }
}

}  // namespace science

namespace science {

std::string TableText(TableFormat format, const std::vector<std::string>& header,
                      const std::vector<Column>& columns) {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  if (!out) throw std::bad_alloc();
  WriteTable(out, format, header, columns);
  const bool failed = std::fclose(out) != 0;
  std::string text(data ? data : "", size);
  std::free(data);
  if (failed) throw std::bad_alloc();
  return text;
}

void WriteTable(const std::string& path, TableFormat format, const std::vector<std::string>& header,
                const std::vector<Column>& columns) {
  mesh::WriteWhole(path, TableText(format, header, columns));
}

}  // namespace science
