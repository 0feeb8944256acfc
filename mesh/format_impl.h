// What the model formats' readers and writers share (mesh/format_*.cpp and
// the dispatch in mesh/formats.cpp): failures that name the file and line,
// the welding of equal vertices, the text cursor and the count checks.
#pragma once

#include <cctype>
#include <charconv>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "common/failure.h"
#include "common/stl_grammar.h"
#include "mesh/mesh.h"

namespace mesh::formats {

// A refusal that names the file and, when known (line > 0), the line:
// "PATH:LINE: WHAT".
[[noreturn]] void Fail(const std::string& path, const std::string& what, size_t line = 0);

// ASCII letters lower-cased.
std::string Lower(std::string s);

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

// "N WHAT".
std::string Counted(uint64_t n, const char* what);

// A count of items of at least `bytes` bytes each, against the data left:
// memory and time follow the data present, not what a header claims.
void CheckCount(const std::string& path, uint64_t count, size_t left, size_t bytes,
                const char* what, size_t line);

// Refuses a vertex number past the vertices.
void CheckIndex(const std::string& path, uint64_t i, size_t vertices, size_t line);

// A polygon of n >= 3 vertices as a fan of triangles.
void AddPolygon(Mesh* m, const std::vector<uint32_t>& corners);

// Vertex i as a line: the prefix, then x y z to the last bit.
void VertexLine(std::string* out, const Mesh& m, const char* prefix, size_t i);

// ---------------------------------------------------------------- STL (format_stl.cpp)

// Whether the size is that of a binary STL of the count at byte 80.
bool BinaryStlSize(const std::string& s);
Mesh ReadStlBinary(const std::string& path, const std::string& s);
Mesh ReadStlAscii(const std::string& path, const std::string& s);
std::string EncodeStlBinary(const Mesh& m);
std::string EncodeStlAscii(const Mesh& m);
// The note on the rounding to float32 that binary STL makes, or a refusal
// of the model it makes unfit.
std::string CheckNarrowing(const std::string& path, const Mesh& m);

// ---------------------------------------------------------------- OBJ, tab (format_obj.cpp)

// Wavefront OBJ and the PDS vertex-facet table, one grammar.
Mesh ReadObj(const std::string& path, const std::string& s);
// "v" lines, then "f" lines of 1-based indices: both formats.
std::string EncodeObj(const Mesh& m);

// ---------------------------------------------------------------- vertex/face text (format_vf.cpp)

// V vertices of three coordinates each (also OFF's).
void ReadVertices(Text* t, const std::string& path, uint64_t V, Listed* listed);
Mesh ReadVf(const std::string& path, const std::string& s);
// The header, a line a vertex, then a line a face of 0-based indices after
// `face_prefix`: the vertex/face text, and OFF with its own header and
// corner counts.
std::string EncodeVf(const Mesh& m, const std::string& header, const char* face_prefix);
std::string EncodeVf(const Mesh& m);

// ---------------------------------------------------------------- OFF (format_off.cpp)

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
bool OffKeyword(const std::string& word, OffKind* kind);
Mesh ReadOff(const std::string& path, const std::string& s);
std::string EncodeOff(const Mesh& m);

// ---------------------------------------------------------------- PLY (format_ply.cpp)

Mesh ReadPly(const std::string& path, const std::string& s);
// ASCII or binary (little-endian) PLY: double vertices, uint corner lists.
std::string EncodePly(const Mesh& m, bool ascii);

}  // namespace mesh::formats
