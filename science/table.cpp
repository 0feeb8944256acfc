// TSV, CSV and NPY tables, written row by row.
#include "science/table.h"

#include <zlib.h>

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
  if (name == "npz") return TableFormat::kNpz;
  throw Failure(Quantity("format") + ": \"" + name + "\" is not one of tsv, csv, npy, npz",
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

// Row r of a text table, with its newline.
void AppendRow(std::string* line, char sep, const std::vector<Column>& columns, size_t r) {
  char buf[32];
  for (size_t c = 0; c < columns.size(); ++c) {
    if (c) *line += sep;
    const double v = (*columns[c].values)[r];
    if (!std::isfinite(v)) {
      *line += ShortestDigits(v);
    } else if (columns[c].integer && std::fabs(v) < 0x1p53) {
      // An index reads as an integer: 100000, never 1e+05.
      line->append(buf, std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed).ptr);
    } else {
      line->append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    }
  }
  *line += '\n';
}

char Separator(TableFormat format) {
  return format == TableFormat::kCsv ? ',' : '\t';
}

void Text(FILE* out, TableFormat format, const std::vector<std::string>& header,
          const std::vector<Column>& columns) {
  const char sep = Separator(format);
  std::string line;
  for (const std::string& h : header) line += "# " + HeaderLine(h) + "\n";
  line += "# ";
  for (size_t c = 0; c < columns.size(); ++c)
    line += (c ? std::string(1, sep) : "") + columns[c].name + columns[c].unit;
  line += "\n";
  std::fwrite(line.data(), 1, line.size(), out);
  const size_t rows = columns.empty() ? 0 : columns[0].values->size();
  for (size_t r = 0; r < rows; ++r) {
    line.clear();
    AppendRow(&line, sep, columns, r);
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) return;
  }
}

// A Python string literal in single quotes.
std::string Quoted(const std::string& s) {
  std::string q = "'";
  for (char ch : s) q += ch == '\'' || ch == '\\' ? std::string("\\") + ch : std::string(1, ch);
  return q + "'";
}

// An NPY file's head: magic, version 1.0, header length, and a Python dict
// literal of the type and shape padded to a multiple of 64 bytes.
std::string NpyHead(const std::string& descr, const std::vector<size_t>& shape) {
  std::string dims;
  for (const size_t d : shape) dims += std::to_string(d) + ",";
  if (shape.size() > 1) dims.pop_back();
  std::string dict = "{'descr': " + descr + ", 'fortran_order': False, 'shape': (" + dims + "), }";
  const size_t unpadded = 10 + dict.size() + 1;
  dict += std::string((64 - unpadded % 64) % 64, ' ') + "\n";
  std::string head = "\x93NUMPY";
  head += '\x01';
  head += '\x00';
  head += static_cast<char>(dict.size() & 0xFF);
  head += static_cast<char>(dict.size() >> 8);
  return head + dict;
}

void Little(std::string* out, uint64_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) *out += static_cast<char>(v >> (8 * k) & 0xFF);
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
  const std::string head = NpyHead(descr, shape.empty() ? std::vector<size_t>{rows} : shape);
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

// The code points of UTF-8 text; a byte that begins no valid sequence
// becomes U+FFFD.
std::u32string CodePoints(const std::string& s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const int more = c < 0x80         ? 0
                     : (c >> 5) == 6  ? 1
                     : (c >> 4) == 14 ? 2
                     : (c >> 3) == 30 ? 3
                                      : -1;
    char32_t v = more == 0 ? c : more == 1 ? c & 0x1F : more == 2 ? c & 0x0F : c & 0x07;
    bool ok = more >= 0 && i + more < s.size();
    for (int k = 1; ok && k <= more; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + k]);
      ok = (d >> 6) == 2;
      v = v << 6 | (d & 0x3F);
    }
    out += ok ? v : U'\uFFFD';
    i += ok ? 1 + more : 1;
  }
  return out;
}

// NPZ, as numpy.savez writes it: a ZIP archive of stored (uncompressed)
// NPY members, one array of doubles per column under its name, and
// "header", the header lines and the column names with their units as an
// array of strings (UTF-32, numpy's '<U').
void Npz(FILE* out, const std::vector<std::string>& header, const std::vector<Column>& columns,
         const std::vector<size_t>& shape) {
  struct Member {
    std::string name, data;
  };
  std::vector<Member> members;
  const size_t rows = columns.empty() ? 0 : columns[0].values->size();
  for (const Column& c : columns) {
    std::string data = NpyHead("'<f8'", shape.empty() ? std::vector<size_t>{rows} : shape);
    data.reserve(data.size() + 8 * rows);
    for (const double v : *c.values) Little(&data, std::bit_cast<uint64_t>(v), 8);
    members.push_back({c.name + ".npy", std::move(data)});
  }
  std::vector<std::string> lines;
  for (const std::string& h : header) lines.push_back(HeaderLine(h));
  std::string names;
  for (const Column& c : columns) names += (names.empty() ? "" : "\t") + c.name + c.unit;
  lines.push_back(names);
  std::vector<std::u32string> wide;
  for (const std::string& l : lines) wide.push_back(CodePoints(l));
  size_t width = 1;
  for (const std::u32string& l : wide) width = std::max(width, l.size());
  std::string text = NpyHead("'<U" + std::to_string(width) + "'", {lines.size()});
  for (const std::u32string& l : wide)
    for (size_t k = 0; k < width; ++k) Little(&text, k < l.size() ? l[k] : 0, 4);
  members.push_back({"header.npy", std::move(text)});

  std::string directory;
  uint64_t offset = 0;
  for (const Member& m : members) {
    if (m.data.size() >= 0xFFFFFFFFu || offset >= 0xFFFFFFFFu)
      throw Failure(Quantity("format") + ": npz holds members below 4 GB; use npy");
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size())));
    // The fields the local and the central headers share: version 2.0, no
    // flags, stored, 1980-01-01 00:00, the CRC, both sizes, the name's length.
    std::string common;
    Little(&common, 20, 2), Little(&common, 0, 2), Little(&common, 0, 2);
    Little(&common, 0, 2), Little(&common, 0x21, 2);
    Little(&common, crc, 4), Little(&common, m.data.size(), 4), Little(&common, m.data.size(), 4);
    Little(&common, m.name.size(), 2), Little(&common, 0, 2);
    std::string local;
    Little(&local, 0x04034b50, 4);
    local += common + m.name;
    std::fwrite(local.data(), 1, local.size(), out);
    if (std::fwrite(m.data.data(), 1, m.data.size(), out) != m.data.size()) return;
    Little(&directory, 0x02014b50, 4), Little(&directory, 20, 2);
    directory += common;
    Little(&directory, 0, 2), Little(&directory, 0, 2), Little(&directory, 0, 2);
    Little(&directory, 0, 4), Little(&directory, offset, 4);
    directory += m.name;
    offset += local.size() + m.data.size();
  }
  std::string end;
  Little(&end, 0x06054b50, 4), Little(&end, 0, 2), Little(&end, 0, 2);
  Little(&end, members.size(), 2), Little(&end, members.size(), 2);
  Little(&end, directory.size(), 4), Little(&end, offset, 4), Little(&end, 0, 2);
  directory += end;
  std::fwrite(directory.data(), 1, directory.size(), out);
}

}  // namespace

void WriteTable(FILE* out, TableFormat format, const std::vector<std::string>& header,
                const std::vector<Column>& columns, const std::vector<size_t>& shape) {
  if (format == TableFormat::kNpz) {
    Npz(out, header, columns, shape);
  } else if (format == TableFormat::kNpy) {
    Npy(out, columns, shape);
  } else {
    Text(out, format, header, columns);
  }
}

}  // namespace science

namespace science {

std::string TableRows(TableFormat format, const std::vector<Column>& columns, size_t first,
                      size_t last) {
  std::string text;
  for (size_t r = first; r < last; ++r) AppendRow(&text, Separator(format), columns, r);
  return text;
}

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
