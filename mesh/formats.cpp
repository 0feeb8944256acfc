// Model formats: STL (ASCII and binary), Wavefront OBJ, PLY
// (ASCII and binary), OFF, the vertex/face text and the PDS vertex-facet
// table.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <type_traits>
#include <unordered_map>

#include "common/facet.h"
#include "common/file_type.h"
#include "common/input.h"
#include "common/output_file.h"
#include "common/print.h"
#include "common/read.h"
#include "common/stl_grammar.h"
#include "mesh/check.h"
#include "mesh/mesh.h"

namespace mesh {

std::vector<double> Mesh::FaceCorners() const {
  std::vector<double> corners(9 * FaceCount());
  for (size_t f = 0; f < FaceCount(); ++f)
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c) corners[9 * f + 3 * k + c] = vertices[3 * faces[3 * f + k] + c];
  return corners;
}

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& what, size_t line = 0) {
  throw Failure(path + (line ? ":" + std::to_string(line) : "") + ": " + what);
}

// The whole file ("-": standard input). A directory is a file that cannot
// be opened; a read error is never taken for the end of the data.
std::string Slurp(const std::string& path) {
  const bool standard = path == "-";
  FILE* in = standard ? stdin : OpenInput(path.c_str(), "rb");
  if (!in || (standard && FileType(stdin) == S_IFDIR)) Fail(path, "cannot be opened");
  std::string data;
  char block[1 << 16];
  for (size_t got; (got = std::fread(block, 1, sizeof block, in)) > 0;) data.append(block, got);
  const bool failed = std::ferror(in);
  if (!standard) std::fclose(in);
  if (failed) Fail(path, "read error");
  return data;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Extension(const std::string& path) {
  const size_t dot = path.rfind('.'), slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return Lower(path.substr(dot + 1));
}

// Welds exactly equal vertices (-0 and +0 alike) as faces are added.
class Builder {
 public:
  explicit Builder(Mesh* m) : m_(m) {}
  uint32_t Vertex(double x, double y, double z) {
    const double p[3] = {x + 0.0, y + 0.0, z + 0.0};
    Key key;
    std::memcpy(key.bits, p, sizeof p);
    auto [it, added] = index_.try_emplace(key, static_cast<uint32_t>(m_->VertexCount()));
    if (added) m_->vertices.insert(m_->vertices.end(), p, p + 3);
    return it->second;
  }

 private:
  struct Key {
    uint64_t bits[3];
    bool operator==(const Key& o) const { return std::memcmp(bits, o.bits, sizeof bits) == 0; }
  };
  struct Hash {
    size_t operator()(const Key& k) const {
      return (k.bits[0] * 0x9E3779B97F4A7C15ull) ^ (k.bits[1] * 0xC2B2AE3D27D4EB4Full) ^
             (k.bits[2] * 0x165667B19E3779F9ull);
    }
  };
  Mesh* m_;
  std::unordered_map<Key, uint32_t, Hash> index_;
};

// The vertices of an indexed format as its file numbers them, welded as
// they come: a seam whose two sides list the same point twice is closed.
class Listed {
 public:
  Listed(const std::string& path, Mesh* m) : path_(path), b_(m) {}
  void Add(const double p[3], size_t line) {
    if (index_.size() == UINT32_MAX) Fail(path_, "more than 2^32 - 1 vertices", line);
    index_.push_back(b_.Vertex(p[0], p[1], p[2]));
  }
  size_t size() const { return index_.size(); }
  // The model's vertex of the file's vertex i (checked by the caller).
  uint32_t operator[](uint64_t i) const { return index_[i]; }

 private:
  const std::string& path_;
  Builder b_;
  std::vector<uint32_t> index_;
};

// Whether all of w is one number (read correctly rounded; a leading '+' is
// a sign).
template <class T>
bool Whole(const std::string& w, T* v) {
  if constexpr (std::is_floating_point_v<T>) {
    return stl::WholeNumber(w.data(), w.size(), v);
  } else {
    const size_t plus = w.size() > 1 && w[0] == '+' && w[1] != '-' && w[1] != '+';
    const auto [end, ec] = std::from_chars(w.data() + plus, w.data() + w.size(), *v);
    return w.size() > plus && ec == std::errc() && end == w.data() + w.size();
  }
}

// A text cursor that knows its line.
class Text {
 public:
  Text(const std::string& path, const std::string& data) : path_(path), s_(data) {}
  bool End() {
    SkipBlanks();
    return i_ >= s_.size();
  }
  // The next whitespace-delimited word ("" at the end).
  std::string Word() {
    SkipBlanks();
    const size_t start = i_;
    while (i_ < s_.size() && !std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
    return s_.substr(start, i_ - start);
  }
  double Number(const char* what) { return Next<double>(what); }
  uint64_t Count(const char* what) { return Next<uint64_t>(what); }
  void Expect(const char* word) {
    const std::string w = Lower(Word());
    if (w != word)
      Fail(path_, std::string("expected \"") + word + "\", found \"" + w + "\"", line_);
  }
  // The rest of the current line, and on to the next.
  std::string Line() {
    const size_t start = i_;
    while (i_ < s_.size() && s_[i_] != '\n') ++i_;
    std::string l = s_.substr(start, i_ - start);
    if (i_ < s_.size()) ++i_, ++line_;
    if (!l.empty() && l.back() == '\r') l.pop_back();
    return l;
  }
  size_t line() const { return line_; }

  template <class T>
  T Next(const char* what) {
    const std::string w = Word();
    T v{};
    if (!Whole(w, &v))
      Fail(path_, std::string("expected ") + what + (w.empty() ? "" : ", found \"" + w + "\""),
           line_);
    return v;
  }
  size_t offset() const { return i_; }
  size_t left() const { return s_.size() - i_; }
  // Refuses what is left after the data a count announced, unless it is
  // blank (or comments, where they are allowed): a count lower than the
  // data would drop the rest of the model.
  void ExpectEnd(const std::string& announced) {
    if (End()) return;
    const size_t line = line_;
    Fail(path_,
         "data after the " + announced + " announced (\"" + Word() +
             "\"): a count lower than the data?",
         line);
  }
  // '#' starts a comment to the end of the line, where comments are allowed.
  bool comments = false;

 private:
  void SkipBlanks() {
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == '\n') {
        ++line_, ++i_;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        ++i_;
      } else if (comments && c == '#') {
        while (i_ < s_.size() && s_[i_] != '\n') ++i_;
      } else {
        break;
      }
    }
  }
  const std::string& path_;
  const std::string& s_;
  size_t i_ = 0, line_ = 1;
};

std::string Counted(uint64_t n, const char* what) {
  return std::to_string(n) + " " + what;
}

// A count of items of at least `bytes` bytes each, against the data left:
// memory and time follow the data present, not what a header claims.
void CheckCount(const std::string& path, uint64_t count, size_t left, size_t bytes,
                const char* what, size_t line) {
  if (bytes > 0 && count > left / bytes + 1)
    Fail(path,
         Counted(count, what) + " announced, but the " + std::to_string(left) +
             " bytes left hold at most " + std::to_string(left / bytes + 1),
         line);
}

void CheckIndex(const std::string& path, uint64_t i, size_t vertices, size_t line) {
  if (i >= vertices)
    Fail(path,
         "vertex " + std::to_string(i) + " does not exist (" + std::to_string(vertices) +
             " vertices)",
         line);
}

// A polygon of n >= 3 vertices as a fan of triangles.
void AddPolygon(Mesh* m, const std::vector<uint32_t>& corners) {
  for (size_t k = 1; k + 1 < corners.size(); ++k)
    m->faces.insert(m->faces.end(), {corners[0], corners[k], corners[k + 1]});
}

// ---------------------------------------------------------------- STL

// The facet count of a binary STL (little-endian, at byte 80).
uint32_t StlCount(const std::string& s) {
  return uint32_t(uint8_t(s[80])) | uint32_t(uint8_t(s[81])) << 8 | uint32_t(uint8_t(s[82])) << 16 |
         uint32_t(uint8_t(s[83])) << 24;
}

// Whether the size is that of a binary STL of the count at byte 80: 84 + 50
// bytes a facet, and fewer than 50 bytes beyond (what some writers append).
// Text has bytes of at least 9 there, a count of at least 151 million, so
// no text file under 7 GB has such a size.
bool BinaryStlSize(const std::string& s) {
  if (s.size() < 84) return false;
  const uint64_t data = 50 * uint64_t{StlCount(s)};
  return s.size() - 84 >= data && s.size() - 84 - data < 50;
}

// The suite's decoder with the front end's rules: the winding kept (its
// stored normal checked against it later), numbers whole and correctly
// rounded, every solid read and nothing but blanks after the last.
constexpr stl::Rules kStlRules = {stl::Orientation::kFromWinding, true, true};

Mesh ReadStlBinary(const std::string& path, const std::string& s) {
  Mesh m;
  Builder b(&m);
  const uint32_t n = StlCount(s);
  const uint64_t end = 84 + 50 * uint64_t{n};
  if (s.size() < end)
    Fail(path, "binary STL cut short: " + std::to_string(n) + " facets announced, " +
                   std::to_string((s.size() - 84) / 50) + " present");
  if (s.size() - end >= 50)
    Fail(path, std::to_string(s.size() - end) + " bytes after the " + std::to_string(n) +
                   " facets the count announces: a count lower than the data?");
  m.normals.reserve(3 * size_t{n});
  m.attributes.reserve(n);
  for (uint32_t f = 0; f < n; ++f) {
    const char* record = s.data() + 84 + 50 * size_t{f};
    float block[12];
    uint16_t attribute;
    std::memcpy(block, record, 48);
    std::memcpy(&attribute, record + 48, 2);
    AttributedFacet facet;
    if constexpr (std::endian::native == std::endian::big)
      stl_detail::Reverse(&facet, block, &attribute, kStlRules.orientation);
    else
      stl_detail::Normal(&facet, block, attribute, kStlRules.orientation);
    m.normals.insert(m.normals.end(), block, block + 3);
    m.attributes.push_back(facet.attribute);
    for (int k = 0; k < 3; ++k)
      m.faces.push_back(b.Vertex(facet.v[3 * k], facet.v[3 * k + 1], facet.v[3 * k + 2]));
  }
  return m;
}

// The characters of an ASCII STL for the shared grammar, with the line of
// the current token.
class StlChars {
 public:
  explicit StlChars(const std::string& s) : s_(s) {}
  int Next() {
    if (i_ >= s_.size()) return last_ = EOF;
    last_ = static_cast<unsigned char>(s_[i_++]);
    if (last_ == '\n')
      ++line_;
    else if (!stl::IsBlank(last_))
      token_line_ = line_;
    return last_;
  }
  int Last() const { return last_; }
  char* Token() { return token_; }
  size_t line() const { return token_line_; }

 private:
  const std::string& s_;
  size_t i_ = 0, line_ = 1, token_line_ = 1;
  int last_ = EOF;
  char token_[96];
};

class StlSink {
 public:
  StlSink(const std::string& path, StlChars* in, Mesh* m) : path_(path), in_(in), m_(m), b_(m) {}
  void Facet(const double n[3], const double a[3], const double b[3], const double c[3]) {
    const bool exchange = stl::Exchanges(kStlRules.orientation, n, a, b, c);
    for (int k = 0; k < 3; ++k) m_->normals.push_back(NarrowToFloat(n[k]));
    for (const double* p : {a, exchange ? c : b, exchange ? b : c})
      m_->faces.push_back(b_.Vertex(p[0], p[1], p[2]));
  }
  [[noreturn]] void Fail(stl::Fault fault, const char* expected) {
    const std::string found = in_->Token();
    switch (fault) {
      case stl::Fault::kEnd:
        mesh::Fail(path_, std::string("the data ends where ") + expected + " should come",
                   in_->line());
      case stl::Fault::kLong:
        mesh::Fail(
            path_,
            std::string("expected ") + expected + ", found a word of more than 95 characters",
            in_->line());
      case stl::Fault::kToken:
      case stl::Fault::kNumber:
        break;
    }
    mesh::Fail(path_, std::string("expected ") + expected + ", found \"" + found + "\"",
               in_->line());
  }

 private:
  const std::string& path_;
  StlChars* in_;
  Mesh* m_;
  Builder b_;
};

Mesh ReadStlAscii(const std::string& path, const std::string& s) {
  Mesh m;
  StlChars in(s);
  StlSink sink(path, &in, &m);
  stl::ReadSolids(in, kStlRules, sink);
  return m;
}

// ---------------------------------------------------------------- OBJ, tab

// Wavefront OBJ and the PDS vertex-facet table: "v x y z" and "f a b c ..."
// lines (1-based; negative numbers count back from the last vertex; a
// corner may carry "/texture/normal" numbers); every other line is ignored.
// Numbers are read correctly rounded, so that 17 digits give back the bits.
Mesh ReadObj(const std::string& path, const std::string& s) {
  Mesh m;
  Listed listed(path, &m);
  std::vector<uint32_t> corners;
  Text t(path, s);
  while (!t.End()) {
    const size_t number = t.line();
    std::istringstream line(t.Line());
    std::string key;
    line >> key;
    if (key == "v") {
      double p[3];
      for (double& v : p) {
        std::string w;
        line >> w;
        if (!Whole(w, &v)) Fail(path, "expected a coordinate, found \"" + w + "\"", number);
      }
      listed.Add(p, number);
    } else if (key == "f") {
      corners.clear();
      for (std::string w; line >> w;) {
        const std::string first = w.substr(0, w.find('/'));
        long long i = 0;
        if (!Whole(first, &i) || i == 0)
          Fail(path, "expected a vertex number, found \"" + w + "\"", number);
        const long long index = i > 0 ? i - 1 : static_cast<long long>(listed.size()) + i;
        if (index < 0 || uint64_t(index) >= listed.size())
          Fail(path,
               "vertex " + first + " does not exist (" + std::to_string(listed.size()) +
                   " vertices so far)",
               number);
        corners.push_back(listed[index]);
      }
      if (corners.size() < 3) Fail(path, "a face of fewer than three corners", number);
      AddPolygon(&m, corners);
    }
  }
  if (m.faces.empty()) Fail(path, "no faces");
  return m;
}

// ---------------------------------------------------------------- vertex/face text

// V vertices of three coordinates each: at least 6 bytes of text apiece.
void ReadVertices(Text* t, const std::string& path, uint64_t V, Listed* listed) {
  CheckCount(path, V, t->left(), 6, "vertices", t->line());
  for (uint64_t i = 0; i < V; ++i) {
    double p[3];
    for (double& c : p) c = t->Number("a coordinate");
    listed->Add(p, t->line());
  }
}

Mesh ReadVf(const std::string& path, const std::string& s) {
  Text t(path, s);
  t.comments = true;
  const uint64_t V = t.Count("the vertex count"), F = t.Count("the face count");
  Mesh m;
  Listed listed(path, &m);
  ReadVertices(&t, path, V, &listed);
  CheckCount(path, F, t.left(), 6, "faces", t.line());
  for (uint64_t f = 0; f < F; ++f)
    for (int k = 0; k < 3; ++k) {
      const uint64_t i = t.Count("a vertex number");
      CheckIndex(path, i, V, t.line());
      m.faces.push_back(listed[i]);
    }
  t.ExpectEnd(Counted(V, "vertices and ") + Counted(F, "faces"));
  return m;
}

// ---------------------------------------------------------------- OFF

// What the keyword's prefix says each vertex carries, Geomview's
// [ST][C][N][4][n]OFF: texture coordinates (ST), a colour (C), a normal (N),
// a fourth, homogeneous coordinate w (4), and a line with the dimension
// before the counts (n). Normals, colours and texture coordinates follow
// the coordinates on the vertex's line and are skipped; the case of N
// (normals) and n (dimension) tells them apart.
struct OffKind {
  bool extra = false;  // more columns on each vertex's line, skipped
  bool homogeneous = false, dimension = false;
};

// Whether the word is an OFF keyword (ending in OFF, any case), and what it
// announces.
bool OffKeyword(const std::string& word, OffKind* kind) {
  if (word.size() < 3 || Lower(word.substr(word.size() - 3)) != "off") return false;
  const std::string prefix = word.substr(0, word.size() - 3);
  size_t i = 0;
  const auto take = [&](const char* what, bool any_case) {
    const size_t n = std::strlen(what);
    const std::string part = prefix.substr(i, n);
    if (part.size() == n && (any_case ? Lower(part) == Lower(what) : part == what)) {
      i += n;
      return true;
    }
    return false;
  };
  *kind = OffKind{};
  kind->extra = take("ST", true);
  kind->extra = take("C", true) || kind->extra;
  kind->extra = take("N", false) || kind->extra;
  kind->homogeneous = take("4", false);
  kind->dimension = take("n", false);
  return i == prefix.size();
}

Mesh ReadOff(const std::string& path, const std::string& s) {
  Text t(path, s);
  t.comments = true;
  const std::string keyword = t.Word();
  OffKind kind;
  if (!OffKeyword(keyword, &kind)) {
    if (keyword.size() > 3 && Lower(keyword.substr(keyword.size() - 3)) == "off")
      Fail(path,
           "\"" + keyword +
               "\" is no OFF keyword: [ST][C][N][4][n]OFF (texture coordinates, colours, "
               "normals, a homogeneous coordinate, a dimension)",
           t.line());
    Fail(path, "expected \"off\", found \"" + Lower(keyword) + "\"", t.line());
  }
  {
    // "OFF BINARY": the rest of the keyword's line.
    const size_t from = t.offset(), end = s.find('\n', from);
    std::istringstream rest(s.substr(from, end == std::string::npos ? end : end - from));
    std::string word;
    rest >> word;
    if (Lower(word) == "binary") Fail(path, "binary OFF is not read (write it as text)", t.line());
  }
  if (kind.dimension) {
    const uint64_t dimension = t.Count("the dimension");
    if (dimension != 3)
      Fail(path,
           "a model in " + std::to_string(dimension) + " dimensions (only 3 are read: x y z" +
               (kind.homogeneous ? " w" : "") + ")",
           t.line());
  }
  const uint64_t V = t.Count("the vertex count"), F = t.Count("the face count");
  t.Count("the edge count");
  Mesh m;
  Listed listed(path, &m);
  if (!kind.extra && !kind.homogeneous) {
    ReadVertices(&t, path, V, &listed);
  } else {
    CheckCount(path, V, t.left(), kind.homogeneous ? 8 : 6, "vertices", t.line());
    for (uint64_t i = 0; i < V; ++i) {
      double p[3];
      for (double& c : p) c = t.Number("a coordinate");
      const size_t at = t.line();
      if (kind.homogeneous) {
        // x y z w is the point (x/w, y/w, z/w).
        const double w = t.Number("the homogeneous coordinate w");
        if (!(w != 0 && std::isfinite(w)))
          Fail(path, "a vertex with w = " + ShortestDigits(w) + " (no point: x/w, y/w, z/w)", at);
        for (double& c : p) c /= w;
      }
      listed.Add(p, at);
      if (kind.extra) t.Line();  // normals, colours, texture coordinates
    }
  }
  CheckCount(path, F, t.left(), 8, "faces", t.line());
  std::vector<uint32_t> corners;
  for (uint64_t f = 0; f < F; ++f) {
    const uint64_t n = t.Count("the corner count of a face");
    if (n < 3 || n > 1000000) Fail(path, "a face of " + std::to_string(n) + " corners", t.line());
    corners.clear();
    for (uint64_t k = 0; k < n; ++k) {
      const uint64_t i = t.Count("a vertex number");
      CheckIndex(path, i, V, t.line());
      corners.push_back(listed[i]);
    }
    AddPolygon(&m, corners);
    t.Line();  // colours may follow
  }
  t.ExpectEnd(Counted(V, "vertices and ") + Counted(F, "faces"));
  return m;
}

// ---------------------------------------------------------------- PLY

// A PLY value type, decoded from its name once, in the header.
struct Type {
  uint8_t size = 0;
  bool is_signed = false, is_float = false;
};

Type TypeOf(const std::string& path, const std::string& name, size_t line) {
  static const std::map<std::string, Type> types = {
      {"char", {1, true, false}},    {"int8", {1, true, false}},    {"uchar", {1, false, false}},
      {"uint8", {1, false, false}},  {"short", {2, true, false}},   {"int16", {2, true, false}},
      {"ushort", {2, false, false}}, {"uint16", {2, false, false}}, {"int", {4, true, false}},
      {"int32", {4, true, false}},   {"uint", {4, false, false}},   {"uint32", {4, false, false}},
      {"float", {4, true, true}},    {"float32", {4, true, true}},  {"double", {8, true, true}},
      {"float64", {8, true, true}}};
  const auto it = types.find(name);
  if (it == types.end()) Fail(path, "PLY property type \"" + name + "\" unknown", line);
  return it->second;
}

// What a property means to the model.
enum class Role { kOther, kX, kY, kZ, kCorners };

struct Property {
  std::string name;
  Type type, count;  // count: the type of a list's length; size 0 for a scalar
  Role role = Role::kOther;
};
struct Element {
  std::string name;
  uint64_t count = 0;
  size_t line = 0;
  std::vector<Property> properties;
};

// One binary value of `type` at s[at], little- or big-endian.
double Binary(const std::string& s, size_t at, Type type, bool big) {
  uint64_t bits = 0;
  for (size_t k = 0; k < type.size; ++k) {
    const size_t byte = big ? at + k : at + type.size - 1 - k;
    bits = bits << 8 | static_cast<unsigned char>(s[byte]);
  }
  if (type.is_float)
    return type.size == 4 ? double{std::bit_cast<float>(static_cast<uint32_t>(bits))}
                          : std::bit_cast<double>(bits);
  if (type.is_signed) {
    const int shift = static_cast<int>(64 - 8 * type.size);
    return static_cast<double>(static_cast<int64_t>(bits << shift) >> shift);
  }
  return static_cast<double>(bits);
}

// The header: elements and their properties, each role settled once.
std::vector<Element> PlyHeader(const std::string& path, Text* t, std::string* format) {
  std::vector<Element> elements;
  t->Line();  // "ply"
  for (;;) {
    if (t->End()) Fail(path, "PLY header without \"end_header\"", t->line());
    const size_t number = t->line();
    std::istringstream line(t->Line());
    std::string key;
    line >> key;
    if (key == "format") {
      line >> *format;
    } else if (key == "element") {
      Element e;
      std::string count;
      line >> e.name >> count;
      if (!Whole(count, &e.count))
        Fail(path, "PLY element \"" + e.name + "\": expected a count, found \"" + count + "\"",
             number);
      e.line = number;
      elements.push_back(e);
    } else if (key == "property") {
      if (elements.empty()) Fail(path, "PLY property before any element", number);
      Element& e = elements.back();
      Property p;
      std::string type;
      line >> type;
      if (type == "list") {
        line >> type;
        p.count = TypeOf(path, type, number);
        if (p.count.is_float) Fail(path, "PLY list length of type " + type, number);
        line >> type;
      }
      p.type = TypeOf(path, type, number);
      line >> p.name;
      if (e.name == "vertex" && p.count.size == 0) {
        if (p.name == "x") p.role = Role::kX;
        if (p.name == "y") p.role = Role::kY;
        if (p.name == "z") p.role = Role::kZ;
      }
      if (e.name == "face" && p.count.size &&
          (p.name == "vertex_indices" || p.name == "vertex_index"))
        p.role = Role::kCorners;
      e.properties.push_back(p);
    } else if (key == "end_header") {
      return elements;
    }
  }
}

// Refuses a vertex element without x, y and z, a face element without its
// corner list (the model would be read with zeros or without faces).
void CheckRoles(const std::string& path, const Element& e) {
  auto has = [&](Role r) {
    return std::any_of(e.properties.begin(), e.properties.end(),
                       [r](const Property& p) { return p.role == r; });
  };
  if (e.name == "vertex")
    for (const auto& [role, name] : {std::pair{Role::kX, "x"}, {Role::kY, "y"}, {Role::kZ, "z"}})
      if (!has(role))
        Fail(path, std::string("PLY element vertex without property ") + name, e.line);
  if (e.name == "face" && !has(Role::kCorners))
    Fail(path, "PLY element face without a list property vertex_indices", e.line);
}

Mesh ReadPly(const std::string& path, const std::string& s) {
  Text t(path, s);
  std::string format;
  const std::vector<Element> elements = PlyHeader(path, &t, &format);
  const bool ascii = format == "ascii";
  const bool big = format == "binary_big_endian";
  if (!ascii && !big && format != "binary_little_endian")
    Fail(path, "PLY format \"" + format + "\" unknown");
  Mesh m;
  Listed listed(path, &m);
  Text body(path, s);
  size_t at = t.offset();
  if (ascii) {
    // Skip the header in the ASCII reader too.
    while (body.offset() < at) body.Line();
  }
  bool vertices_read = false;
  std::vector<uint32_t> corners;
  for (const Element& e : elements) {
    CheckRoles(path, e);
    if (e.name == "vertex" && vertices_read) Fail(path, "a second PLY element vertex", e.line);
    // An element without properties holds no data, whatever its count.
    if (e.properties.empty()) continue;
    // Each item takes at least one byte a value (its list lengths in
    // binary), two in text: the count is held to the data left.
    size_t least = 0;
    for (const Property& p : e.properties)
      least += ascii ? 2 : (p.count.size ? p.count.size : p.type.size);
    CheckCount(path, e.count, ascii ? body.left() : s.size() - at, least,
               ("items of PLY element " + e.name).c_str(), e.line);
    for (uint64_t i = 0; i < e.count; ++i) {
      double xyz[3] = {0, 0, 0};
      corners.clear();
      for (const Property& p : e.properties) {
        auto value = [&](Type type) {
          if (ascii) return body.Number("a PLY value");
          if (type.size > s.size() - at) Fail(path, "binary PLY cut short in element " + e.name);
          const double v = Binary(s, at, type, big);
          at += type.size;
          return v;
        };
        if (p.count.size == 0) {
          const double v = value(p.type);
          if (p.role == Role::kX) xyz[0] = v;
          if (p.role == Role::kY) xyz[1] = v;
          if (p.role == Role::kZ) xyz[2] = v;
          continue;
        }
        const double n = value(p.count);
        if (!(n >= 0 && n <= 1e6 && std::trunc(n) == n))
          Fail(path, "a PLY list of " + ShortestDigits(n) + " items", ascii ? body.line() : 0);
        for (uint64_t k = 0; k < uint64_t(n); ++k) {
          const double v = value(p.type);
          if (p.role != Role::kCorners) continue;
          // Any value type may carry an index: only a whole number of an
          // existing vertex is one (NaN and 1e30 are neither).
          if (!(v >= 0 && v < double(listed.size()) && std::trunc(v) == v))
            Fail(path,
                 "face refers to vertex " + ShortestDigits(v) + ", which does not exist (" +
                     std::to_string(listed.size()) + " vertices)",
                 ascii ? body.line() : 0);
          corners.push_back(listed[static_cast<uint64_t>(v)]);
        }
      }
      if (e.name == "vertex") listed.Add(xyz, ascii ? body.line() : 0);
      if (e.name == "face") {
        if (corners.size() < 3)
          Fail(path, "a face of fewer than three corners", ascii ? body.line() : 0);
        AddPolygon(&m, corners);
      }
    }
    if (e.name == "vertex") vertices_read = true;
  }
  // Nothing but blanks may follow the last element.
  if (ascii) {
    body.ExpectEnd("elements the PLY header");
  } else if (s.find_first_not_of(" \t\r\n", at) != std::string::npos) {
    Fail(path, std::to_string(s.size() - at) +
                   " bytes after the elements the PLY header announced: a count lower than "
                   "the data?");
  }
  return m;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// The first word of the data, lower-cased.
std::string FirstWord(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  size_t j = i;
  while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j]))) ++j;
  return Lower(s.substr(i, j - i));
}

// ---------------------------------------------------------------- writing

void Put(std::string* out, float v) {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  for (int k = 0; k < 4; ++k) out->push_back(static_cast<char>(bits >> (8 * k) & 0xFF));
}

std::string Encode(const Mesh& m, Format format) {
  std::string out;
  const size_t V = m.VertexCount(), F = m.FaceCount();
  auto vertex_line = [&](const char* prefix, size_t i) {
    out += prefix;
    for (int c = 0; c < 3; ++c) out += (c ? " " : "") + ShortestDigits(m.vertices[3 * i + c]);
    out += '\n';
  };
  auto normal = [&](size_t f, double n[3]) {
    const double* a = &m.vertices[3 * m.faces[3 * f]];
    const double* b = &m.vertices[3 * m.faces[3 * f + 1]];
    const double* c = &m.vertices[3 * m.faces[3 * f + 2]];
    const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double w[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    n[0] = u[1] * w[2] - u[2] * w[1], n[1] = u[2] * w[0] - u[0] * w[2];
    n[2] = u[0] * w[1] - u[1] * w[0];
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (int k = 0; k < 3; ++k) n[k] = len > 0 ? n[k] / len : 0;
  };
  switch (format) {
    case Format::kStlBinary: {
      out.assign(80, '\0');
      const uint32_t n = static_cast<uint32_t>(F);
      for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>(n >> (8 * k) & 0xFF));
      // The attribute words read from a binary STL go out again.
      const bool attributes = m.attributes.size() == F;
      for (size_t f = 0; f < F; ++f) {
        double nv[3];
        normal(f, nv);
        for (double c : nv) Put(&out, NarrowToFloat(c));
        for (int k = 0; k < 3; ++k)
          for (int c = 0; c < 3; ++c)
            Put(&out, NarrowToFloat(m.vertices[3 * m.faces[3 * f + k] + c]));
        const uint16_t word = attributes ? m.attributes[f] : 0;
        out.push_back(static_cast<char>(word & 0xFF));
        out.push_back(static_cast<char>(word >> 8));
      }
      break;
    }
    case Format::kStlAscii:
      out = "solid polyfield\n";
      for (size_t f = 0; f < F; ++f) {
        double nv[3];
        normal(f, nv);
        out += "facet normal " + ShortestDigits(nv[0]) + " " + ShortestDigits(nv[1]) + " " +
               ShortestDigits(nv[2]) + "\nouter loop\n";
        for (int k = 0; k < 3; ++k) vertex_line("vertex ", m.faces[3 * f + k]);
        out += "endloop\nendfacet\n";
      }
      out += "endsolid polyfield\n";
      break;
    case Format::kObj:
    case Format::kTab:
      for (size_t i = 0; i < V; ++i) vertex_line("v ", i);
      for (size_t f = 0; f < F; ++f)
        out += "f " + std::to_string(m.faces[3 * f] + 1) + " " +
               std::to_string(m.faces[3 * f + 1] + 1) + " " +
               std::to_string(m.faces[3 * f + 2] + 1) + "\n";
      break;
    case Format::kOff:
    case Format::kVf:
      out = format == Format::kOff ? "OFF\n" + std::to_string(V) + " " + std::to_string(F) + " 0\n"
                                   : std::to_string(V) + " " + std::to_string(F) + "\n";
      for (size_t i = 0; i < V; ++i) vertex_line("", i);
      for (size_t f = 0; f < F; ++f)
        out += std::string(format == Format::kOff ? "3 " : "") + std::to_string(m.faces[3 * f]) +
               " " + std::to_string(m.faces[3 * f + 1]) + " " + std::to_string(m.faces[3 * f + 2]) +
               "\n";
      break;
    case Format::kPlyAscii:
    case Format::kPlyBinary: {
      out = std::string("ply\nformat ") +
            (format == Format::kPlyAscii ? "ascii" : "binary_little_endian") +
            " 1.0\ncomment polyfield\nelement vertex " + std::to_string(V) +
            "\nproperty double x\nproperty double y\nproperty double z\nelement face " +
            std::to_string(F) + "\nproperty list uchar uint vertex_indices\nend_header\n";
      if (format == Format::kPlyAscii) {
        for (size_t i = 0; i < V; ++i) vertex_line("", i);
        for (size_t f = 0; f < F; ++f)
          out += "3 " + std::to_string(m.faces[3 * f]) + " " + std::to_string(m.faces[3 * f + 1]) +
                 " " + std::to_string(m.faces[3 * f + 2]) + "\n";
      } else {
        for (double v : m.vertices) {
          const uint64_t bits = std::bit_cast<uint64_t>(v);
          for (int k = 0; k < 8; ++k) out.push_back(static_cast<char>(bits >> (8 * k) & 0xFF));
        }
        for (size_t f = 0; f < F; ++f) {
          out.push_back(3);
          for (int k = 0; k < 3; ++k)
            for (int b = 0; b < 4; ++b)
              out.push_back(static_cast<char>(m.faces[3 * f + k] >> (8 * b) & 0xFF));
        }
      }
      break;
    }
  }
  return out;
}

// Binary STL holds float32 coordinates. The model as a reader would get it
// back (rounded, equal vertices welded) is checked: when rounding makes a
// fit model unfit (a small body far from the origin collapses), it is
// refused; otherwise a rounding that changes any coordinate is noted.
std::string CheckNarrowing(const std::string& path, const Mesh& m) {
  size_t changed = 0;
  double largest = 0;
  for (double x : m.vertices) {
    const double rounded = NarrowToFloat(x);
    if (rounded == x || (std::isnan(x) && std::isnan(rounded))) continue;
    ++changed;
    largest = std::fmax(largest, std::fabs(rounded - x));
  }
  if (changed == 0) return "";
  Mesh narrowed;
  Builder b(&narrowed);
  for (uint32_t v : m.faces)
    narrowed.faces.push_back(b.Vertex(NarrowToFloat(m.vertices[3 * v]),
                                      NarrowToFloat(m.vertices[3 * v + 1]),
                                      NarrowToFloat(m.vertices[3 * v + 2])));
  const std::string problem = Check(narrowed).Problem();
  if (!problem.empty() && Check(m).Problem().empty())
    Fail(path,
         "binary STL rounds the coordinates to float32, and the model rounded is unfit for "
         "the field formulas: " +
             problem + " (ASCII STL or another format keeps every digit)");
  return path + ": " + std::to_string(changed) + " of " + std::to_string(m.vertices.size()) +
         " coordinates rounded to float32 for binary STL, by up to " + ShortestDigits(largest);
}

}  // namespace

Mesh ReadModel(const std::string& path) {
  const std::string s = Slurp(path);
  const std::string ext = Extension(path), first = FirstWord(s);
  // Binary STL has no mark of its own: its size is tried first (no text
  // file under 7 GB has the size its bytes 80 to 83 would announce), then a
  // NUL among its first 84 bytes of a file named .stl or without an
  // extension (text has none; a count below 2^24 has one at byte 83); a
  // text beginning with "solid" is ASCII STL, even without a facet.
  const bool nul = std::memchr(s.data(), 0, std::min<size_t>(s.size(), 84)) != nullptr;
  Mesh m;
  if (BinaryStlSize(s)) {
    m = ReadStlBinary(path, s);
  } else if (StartsWith(s, "ply")) {
    m = ReadPly(path, s);
  } else if (OffKind kind;
             OffKeyword(first, &kind) || OffKeyword(Upper(first), &kind) || ext == "off") {
    m = ReadOff(path, s);
  } else if (s.size() >= 84 && nul && (ext == "stl" || ext.empty())) {
    m = ReadStlBinary(path, s);
  } else if (first == "solid") {
    m = ReadStlAscii(path, s);
  } else if (ext == "stl") {
    m = s.size() >= 84 ? ReadStlBinary(path, s) : ReadStlAscii(path, s);
  } else if (first == "v" || first == "#" || ext == "obj" || ext == "tab") {
    m = ReadObj(path, s);
  } else if (!first.empty() &&
             (std::isdigit(static_cast<unsigned char>(first[0])) || first[0] == '+')) {
    m = ReadVf(path, s);
  } else {
    Fail(path, "not a model in any known format (STL, OBJ, PLY, OFF, vertex/face text, .tab)");
  }
  if (m.FaceCount() == 0) Fail(path, "no faces");
  return m;
}

Format FormatFor(const std::string& path, bool ascii, bool binary) {
  const std::string ext = Extension(path);
  if (ext == "stl") return ascii ? Format::kStlAscii : Format::kStlBinary;
  if (ext == "obj") return Format::kObj;
  if (ext == "ply") return binary ? Format::kPlyBinary : Format::kPlyAscii;
  if (ext == "off") return Format::kOff;
  if (ext == "tab") return Format::kTab;
  return Format::kVf;
}

const char* FormatName(Format format) {
  switch (format) {
    case Format::kStlBinary:
      return "binary STL";
    case Format::kStlAscii:
      return "ASCII STL";
    case Format::kObj:
      return "Wavefront OBJ";
    case Format::kPlyAscii:
      return "ASCII PLY";
    case Format::kPlyBinary:
      return "binary PLY";
    case Format::kOff:
      return "OFF";
    case Format::kVf:
      return "vertex/face text";
    case Format::kTab:
      return "vertex-facet table";
  }
  return "?";
}

void WriteWhole(const std::string& path, const std::string& data) {
  if (path == "-") {
    if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() || std::fflush(stdout))
      throw Failure("standard output: write error");
    return;
  }
  OutputFile out;
  if (!out.Open(path.c_str()))
    Fail(path, std::string("cannot be created: ") + std::strerror(errno));
  if (std::fwrite(data.data(), 1, data.size(), out.stream()) != data.size() || !out.Commit()) {
    out.Abandon();
    Fail(path, "write error");
  }
}

std::string WriteModel(const std::string& path, const Mesh& model, Format format) {
  std::string note;
  if (format == Format::kStlBinary) {
    if (model.FaceCount() > UINT32_MAX)
      Fail(path, "more than 2^32 - 1 faces, which binary STL cannot count");
    note = CheckNarrowing(path, model);
  }
  WriteWhole(path, Encode(model, format));
  return note;
}

}  // namespace mesh
