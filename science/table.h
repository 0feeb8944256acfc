// Result tables as both faces write them: TSV (default) or CSV with '#'
// header lines, the last of which names the columns, numbers in their
// shortest round-trip form (whole numbers in a column of indices without an
// exponent); NPY, a structured array whose fields are the column names,
// each titled with its name and unit; or NPZ, an array a column.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace science {

enum class TableFormat { kTsv, kCsv, kNpy, kNpz };
TableFormat TableFormatOf(const std::string& name);

struct Column {
  std::string name, unit;  // "U", "[m^2/s^2]" (unit "" without one)
  const std::vector<double>* values;
  bool integer = false;  // an index column
};

// The length of the UTF-8 sequence at s[i] (a shortest form of a code point
// below U+110000, no surrogate), 0 when no valid sequence begins there; its
// code point in `code`.
size_t Utf8At(const std::string& s, size_t i, char32_t* code);

// A header line as written, one line of UTF-8 for every reader: control
// characters (a newline in a file's name) escaped as \n, \r, \xHH, the C1
// controls and the Unicode line and paragraph separators as \uHHHH, and a
// byte that is no part of a UTF-8 character as \xHH. Every text from
// outside (a file's name) goes through it on its way into a file's header.
std::string HeaderLine(const std::string& line);
// A text reduced to one word of letters, digits and ._+- (ASCII), every other
// character one '_': a name where a format wants a single token.
std::string HeaderWord(const std::string& text);

// Streams the table to `out`, a row at a time (the caller's output checks
// the stream for write errors when it commits). `header` lines go before the
// column names (without '#'); NPY has no header, NPZ (an array a column)
// holds it as its array "header". An NPY or NPZ array has the
// `shape` given (a grid's rows and columns, whose product is the row count),
// by default one dimension of the rows.
void WriteTable(FILE* out, TableFormat format, const std::vector<std::string>& header,
                const std::vector<Column>& columns, const std::vector<size_t>& shape = {});
// The pieces of an NPZ table, as WriteTable writes it: per column, a member
// "name.npy" of its values (NpzValues) with their CRC (Crc32); then the
// member "header.npy" of NpzHeader; then Finish.
uint32_t Crc32(uint32_t crc, const std::string& bytes);
std::string NpzValues(const Column& column, size_t first, size_t last);
std::string NpzHeader(const std::vector<std::string>& header, const std::vector<Column>& columns);
// A ZIP archive of stored members, written member by member: Member writes
// a member's local header, and its `size` bytes follow from the caller.
class ZipArchive {
 public:
  explicit ZipArchive(FILE* out) : out_(out) {}
  void Member(const std::string& name, uint64_t size, uint32_t crc);
  void Finish();

 private:
  FILE* out_;
  std::string directory_;
  uint64_t offset_ = 0;
  size_t members_ = 0;
};
// The table's bytes, and the table written whole to `path` ("-" is standard
// output), replacing a file only once it is complete.
std::string TableText(TableFormat format, const std::vector<std::string>& header,
                      const std::vector<Column>& columns);
void WriteTable(const std::string& path, TableFormat format, const std::vector<std::string>& header,
                const std::vector<Column>& columns);

}  // namespace science
