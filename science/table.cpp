// TSV, CSV and NPY tables, written row by row.
#include "science/table.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cctype>
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
  if (name == "nc")
    throw Failure(Quantity("format") + ": nc is a grid's (with " + Quantity("radius") + " or " +
                      Quantity("altitude") + "); a table is tsv, csv, npy or npz",
                  Failure::Kind::kBadValue);
  throw Failure(Quantity("format") + ": \"" + name + "\" is not one of tsv, csv, npy, npz",
                Failure::Kind::kBadValue);
}

size_t Utf8At(const std::string& s, size_t i, char32_t* code) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const size_t more = c < 0x80         ? 0
                      : (c >> 5) == 6  ? 1
                      : (c >> 4) == 14 ? 2
                      : (c >> 3) == 30 ? 3
                                       : 4;
  if (more == 4 || i + more >= s.size()) return 0;
  char32_t v = more == 0 ? c : more == 1 ? c & 0x1F : more == 2 ? c & 0x0F : c & 0x07;
  for (size_t k = 1; k <= more; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d >> 6) != 2) return 0;
    v = v << 6 | (d & 0x3F);
  }
  constexpr char32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
  if (v < kLeast[more] || v > 0x10FFFF || (v >= 0xD800 && v < 0xE000)) return 0;
  *code = v;
  return more + 1;
}

std::string HeaderLine(const std::string& line) {
  std::string out;
  char buf[16];
  for (size_t i = 0; i < line.size();) {
    char32_t c = 0;
    const size_t n = Utf8At(line, i, &c);
    if (n == 0) {
      // A byte of no UTF-8 character (a file's name in another encoding).
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(line[i]));
      out += buf, ++i;
      continue;
    }
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
      out += buf;
    } else if ((c >= 0x80 && c < 0xa0) || c == 0x2028 || c == 0x2029) {
      // The C1 controls (NEL, U+0085, among them) and the line and
      // paragraph separators, which Unicode readers take for line breaks.
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else {
      out.append(line, i, n);
    }
    i += n;
  }
  return out;
}

std::string HeaderWord(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const size_t n = std::max<size_t>(1, Utf8At(text, i, &c));
    const char ch = text[i];
    const bool kept = n == 1 && ch != '\0' &&
                      (std::isalnum(static_cast<unsigned char>(ch)) || std::strchr("._+-", ch));
    out += kept ? ch : '_';
    i += n;
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
std::string NpyTableHead(const std::vector<Column>& columns, const std::vector<size_t>& shape) {
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
  return NpyHead(descr, shape);
}

// Records first .. last - 1, appended to out.
void NpyRecords(const std::vector<Column>& columns, size_t first, size_t last, std::string* out) {
  const size_t at = out->size(), width = 8 * columns.size();
  out->resize(at + width * (last - first));
  char* record = out->data() + at;
  for (size_t r = first; r < last; ++r, record += width)
    for (size_t c = 0; c < columns.size(); ++c) {
      const uint64_t bits = std::bit_cast<uint64_t>((*columns[c].values)[r]);
      for (int k = 0; k < 8; ++k) record[8 * c + k] = static_cast<char>(bits >> (8 * k) & 0xFF);
    }
}

void Npy(FILE* out, const std::vector<Column>& columns, const std::vector<size_t>& shape) {
  const size_t rows = columns.empty() ? 0 : columns[0].values->size();
  const std::string head = NpyTableHead(columns, shape.empty() ? std::vector<size_t>{rows} : shape);
  std::fwrite(head.data(), 1, head.size(), out);
  // In blocks of rows, not a record at a time.
  constexpr size_t kRows = 4096;
  std::string block;
  for (size_t r = 0; r < rows; r += kRows) {
    block.clear();
    NpyRecords(columns, r, std::min(rows, r + kRows), &block);
    if (std::fwrite(block.data(), 1, block.size(), out) != block.size()) return;
  }
}

// The code points of UTF-8 text; a byte that begins no valid sequence
// becomes U+FFFD.
std::u32string CodePoints(const std::string& s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) {
    char32_t c = 0;
    const size_t n = Utf8At(s, i, &c);
    out += n ? c : U'\uFFFD';
    i += n ? n : 1;
  }
  return out;
}

// NPZ, as numpy.savez writes it: a ZIP archive of stored (uncompressed)
// NPY members, one array of doubles per column under its name, and
// "header", the header lines and the column names with their units as an
// array of strings (UTF-32, numpy's '<U').
void Npz(FILE* out, const std::vector<std::string>& header, const std::vector<Column>& columns,
         const std::vector<size_t>& shape) {
  const size_t rows = columns.empty() ? 0 : columns[0].values->size();
  ZipArchive zip(out);
  for (const Column& c : columns) {
    std::string data = NpyHead("'<f8'", shape.empty() ? std::vector<size_t>{rows} : shape);
    data += NpzValues(c, 0, rows);
    zip.Member(c.name + ".npy", data.size(), Crc32(0, data));
    if (std::fwrite(data.data(), 1, data.size(), out) != data.size()) return;
  }
  const std::string text = NpzHeader(header, columns);
  zip.Member("header.npy", text.size(), Crc32(0, text));
  std::fwrite(text.data(), 1, text.size(), out);
  zip.Finish();
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

uint32_t Crc32(uint32_t crc, const std::string& bytes) {
  return static_cast<uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string NpzValues(const Column& column, size_t first, size_t last) {
  std::string data;
  data.reserve(8 * (last - first));
  for (size_t r = first; r < last; ++r)
    Little(&data, std::bit_cast<uint64_t>((*column.values)[r]), 8);
  return data;
}

std::string NpzHeader(const std::vector<std::string>& header, const std::vector<Column>& columns) {
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
  return text;
}

void ZipArchive::Member(const std::string& name, uint64_t size, uint32_t crc) {
  if (size >= 0xFFFFFFFFu || offset_ >= 0xFFFFFFFFu)
    throw Failure(Quantity("format") + ": npz holds members below 4 GB; use npy");
  // The fields the local and the central headers share: version 2.0, no
  // flags, stored, 1980-01-01 00:00, the CRC, both sizes, the name's length.
  std::string common;
  Little(&common, 20, 2), Little(&common, 0, 2), Little(&common, 0, 2);
  Little(&common, 0, 2), Little(&common, 0x21, 2);
  Little(&common, crc, 4), Little(&common, size, 4), Little(&common, size, 4);
  Little(&common, name.size(), 2), Little(&common, 0, 2);
  std::string local;
  Little(&local, 0x04034b50, 4);
  local += common + name;
  std::fwrite(local.data(), 1, local.size(), out_);
  Little(&directory_, 0x02014b50, 4), Little(&directory_, 20, 2);
  directory_ += common;
  Little(&directory_, 0, 2), Little(&directory_, 0, 2), Little(&directory_, 0, 2);
  Little(&directory_, 0, 4), Little(&directory_, offset_, 4);
  directory_ += name;
  offset_ += local.size() + size;
  ++members_;
}

void ZipArchive::Finish() {
  std::string end;
  Little(&end, 0x06054b50, 4), Little(&end, 0, 2), Little(&end, 0, 2);
  Little(&end, members_, 2), Little(&end, members_, 2);
  Little(&end, directory_.size(), 4), Little(&end, offset_, 4), Little(&end, 0, 2);
  const std::string all = directory_ + end;
  std::fwrite(all.data(), 1, all.size(), out_);
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
