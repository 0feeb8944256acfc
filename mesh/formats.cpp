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
#include <unordered_map>

#include "common/file_type.h"
#include "common/input.h"
#include "common/output_file.h"
#include "common/print.h"
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

// Whether all of w is one number (read correctly rounded).
template <class T>
bool Whole(const std::string& w, T* v) {
  const auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), *v);
  return !w.empty() && ec == std::errc() && end == w.data() + w.size();
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

float Float32(const std::string& s, size_t at) {
  uint32_t bits = 0;
  for (int k = 3; k >= 0; --k) bits = bits << 8 | static_cast<unsigned char>(s[at + k]);
  return std::bit_cast<float>(bits);
}

// The facet count of a binary STL (little-endian, at byte 80).
uint32_t StlCount(const std::string& s) {
  return uint32_t(uint8_t(s[80])) | uint32_t(uint8_t(s[81])) << 8 | uint32_t(uint8_t(s[82])) << 16 |
         uint32_t(uint8_t(s[83])) << 24;
}

Mesh ReadStlBinary(const std::string& path, const std::string& s) {
  Mesh m;
  Builder b(&m);
  const uint32_t n = StlCount(s);
  if (s.size() < 84 + 50 * size_t{n})
    Fail(path, "binary STL cut short: " + std::to_string(n) + " facets announced, " +
                   std::to_string((s.size() - 84) / 50) + " present");
  for (uint32_t f = 0; f < n; ++f) {
    const size_t at = 84 + 50 * size_t{f};
    for (int k = 0; k < 3; ++k) m.normals.push_back(Float32(s, at + 4 * k));
    for (int k = 0; k < 3; ++k) {
      const size_t v = at + 12 + 12 * k;
      m.faces.push_back(b.Vertex(Float32(s, v), Float32(s, v + 4), Float32(s, v + 8)));
    }
  }
  return m;
}

Mesh ReadStlAscii(const std::string& path, const std::string& s) {
  Mesh m;
  Builder b(&m);
  Text t(path, s);
  t.Expect("solid");
  t.Line();  // the solid's name
  for (;;) {
    const std::string w = Lower(t.Word());
    if (w == "endsolid" || w.empty()) break;
    if (w != "facet")
      Fail(path, "expected \"facet\" or \"endsolid\", found \"" + w + "\"", t.line());
    t.Expect("normal");
    for (int k = 0; k < 3; ++k)
      m.normals.push_back(static_cast<float>(t.Number("a normal component")));
    t.Expect("outer");
    t.Expect("loop");
    for (int k = 0; k < 3; ++k) {
      t.Expect("vertex");
      const double x = t.Number("a coordinate"), y = t.Number("a coordinate"),
                   z = t.Number("a coordinate");
      m.faces.push_back(b.Vertex(x, y, z));
    }
    t.Expect("endloop");
    t.Expect("endfacet");
  }
  return m;
}

// ---------------------------------------------------------------- OBJ, tab

// Wavefront OBJ and the PDS vertex-facet table: "v x y z" and "f a b c ..."
// lines (1-based; negative numbers count back from the last vertex; a
// corner may carry "/texture/normal" numbers); every other line is ignored.
// Numbers are read correctly rounded, so that 17 digits give back the bits.
Mesh ReadObj(const std::string& path, const std::string& s) {
  Mesh m;
  std::vector<uint32_t> corners;
  Text t(path, s);
  while (!t.End()) {
    const size_t number = t.line();
    std::istringstream line(t.Line());
    std::string key;
    line >> key;
    if (key == "v") {
      for (int c = 0; c < 3; ++c) {
        std::string w;
        line >> w;
        double v = 0;
        if (!Whole(w, &v)) Fail(path, "expected a coordinate, found \"" + w + "\"", number);
        m.vertices.push_back(v);
      }
    } else if (key == "f") {
      corners.clear();
      for (std::string w; line >> w;) {
        const std::string first = w.substr(0, w.find('/'));
        long long i = 0;
        if (!Whole(first, &i) || i == 0)
          Fail(path, "expected a vertex number, found \"" + w + "\"", number);
        const long long index = i > 0 ? i - 1 : static_cast<long long>(m.VertexCount()) + i;
        if (index < 0 || uint64_t(index) >= m.VertexCount())
          Fail(path,
               "vertex " + first + " does not exist (" + std::to_string(m.VertexCount()) +
                   " vertices so far)",
               number);
        corners.push_back(static_cast<uint32_t>(index));
      }
      if (corners.size() < 3) Fail(path, "a face of fewer than three corners", number);
      AddPolygon(&m, corners);
    }
  }
  if (m.faces.empty()) Fail(path, "no faces");
  return m;
}

// ---------------------------------------------------------------- vertex/face text

Mesh ReadVf(const std::string& path, const std::string& s) {
  Text t(path, s);
  t.comments = true;
  const uint64_t V = t.Count("the vertex count"), F = t.Count("the face count");
  Mesh m;
  for (uint64_t i = 0; i < V; ++i)
    for (int c = 0; c < 3; ++c) m.vertices.push_back(t.Number("a coordinate"));
  for (uint64_t f = 0; f < F; ++f)
    for (int k = 0; k < 3; ++k) {
      const uint64_t i = t.Count("a vertex number");
      CheckIndex(path, i, V, t.line());
      m.faces.push_back(static_cast<uint32_t>(i));
    }
  return m;
}

// ---------------------------------------------------------------- OFF

Mesh ReadOff(const std::string& path, const std::string& s) {
  Text t(path, s);
  t.comments = true;
  t.Expect("off");
  const uint64_t V = t.Count("the vertex count"), F = t.Count("the face count");
  t.Count("the edge count");
  Mesh m;
  for (uint64_t i = 0; i < V; ++i) {
    for (int c = 0; c < 3; ++c) m.vertices.push_back(t.Number("a coordinate"));
  }
  for (uint64_t f = 0; f < F; ++f) {
    const uint64_t n = t.Count("the corner count of a face");
    if (n < 3 || n > 1000000) Fail(path, "a face of " + std::to_string(n) + " corners", t.line());
    std::vector<uint32_t> corners;
    for (uint64_t k = 0; k < n; ++k) {
      const uint64_t i = t.Count("a vertex number");
      CheckIndex(path, i, V, t.line());
      corners.push_back(static_cast<uint32_t>(i));
    }
    AddPolygon(&m, corners);
    t.Line();  // colours may follow
  }
  return m;
}

// ---------------------------------------------------------------- PLY

struct Property {
  std::string name, type, count_type;  // count_type set for a list
};
struct Element {
  std::string name;
  uint64_t count = 0;
  std::vector<Property> properties;
};

size_t TypeSize(const std::string& path, const std::string& type) {
  static const std::map<std::string, size_t> sizes = {
      {"char", 1},  {"uchar", 1},   {"int8", 1},   {"uint8", 1},  {"short", 2}, {"ushort", 2},
      {"int16", 2}, {"uint16", 2},  {"int", 4},    {"uint", 4},   {"int32", 4}, {"uint32", 4},
      {"float", 4}, {"float32", 4}, {"double", 8}, {"float64", 8}};
  const auto it = sizes.find(type);
  if (it == sizes.end()) Fail(path, "PLY property type \"" + type + "\" unknown");
  return it->second;
}

// One binary value of `type` at s[at], little- or big-endian.
double Binary(const std::string& s, size_t at, const std::string& type, size_t size, bool big) {
  uint64_t bits = 0;
  for (size_t k = 0; k < size; ++k) {
    const size_t byte = big ? at + k : at + size - 1 - k;
    bits = bits << 8 | static_cast<unsigned char>(s[byte]);
  }
  if (type == "float" || type == "float32")
    return std::bit_cast<float>(static_cast<uint32_t>(bits));
  if (type == "double" || type == "float64") return std::bit_cast<double>(bits);
  const bool is_signed = type == "char" || type == "int8" || type == "short" || type == "int16" ||
                         type == "int" || type == "int32";
  if (is_signed) {
    const int shift = static_cast<int>(64 - 8 * size);
    return static_cast<double>(static_cast<int64_t>(bits << shift) >> shift);
  }
  return static_cast<double>(bits);
}

Mesh ReadPly(const std::string& path, const std::string& s) {
  Text t(path, s);
  t.Line();  // "ply"
  std::string format;
  std::vector<Element> elements;
  for (;;) {
    if (t.End()) Fail(path, "PLY header without \"end_header\"", t.line());
    std::istringstream line(t.Line());
    std::string key;
    line >> key;
    if (key == "format") {
      line >> format;
    } else if (key == "element") {
      Element e;
      line >> e.name >> e.count;
      elements.push_back(e);
    } else if (key == "property") {
      if (elements.empty()) Fail(path, "PLY property before any element", t.line() - 1);
      Property p;
      line >> p.type;
      if (p.type == "list") line >> p.count_type >> p.type;
      line >> p.name;
      TypeSize(path, p.type);
      if (!p.count_type.empty()) TypeSize(path, p.count_type);
      elements.back().properties.push_back(p);
    } else if (key == "end_header") {
      break;
    }
  }
  const bool ascii = format == "ascii";
  const bool big = format == "binary_big_endian";
  if (!ascii && !big && format != "binary_little_endian")
    Fail(path, "PLY format \"" + format + "\" unknown");
  Mesh m;
  Text body(path, s);
  size_t at = t.offset();
  if (ascii) {
    // Skip the header in the ASCII reader too.
    while (body.offset() < at) body.Line();
  }
  uint64_t vertices = 0;
  for (const Element& e : elements) {
    const bool is_vertex = e.name == "vertex", is_face = e.name == "face";
    if (is_vertex) vertices = e.count;
    for (uint64_t i = 0; i < e.count; ++i) {
      double xyz[3] = {0, 0, 0};
      std::vector<uint32_t> corners;
      for (const Property& p : e.properties) {
        auto value = [&](const std::string& type) {
          if (ascii) return body.Number("a PLY value");
          const size_t size = TypeSize(path, type);
          if (at + size > s.size()) Fail(path, "binary PLY cut short in element " + e.name);
          const double v = Binary(s, at, type, size, big);
          at += size;
          return v;
        };
        if (p.count_type.empty()) {
          const double v = value(p.type);
          if (is_vertex && p.name == "x") xyz[0] = v;
          if (is_vertex && p.name == "y") xyz[1] = v;
          if (is_vertex && p.name == "z") xyz[2] = v;
        } else {
          const double n = value(p.count_type);
          if (!(n >= 0 && n <= 1e6)) Fail(path, "a PLY list of " + std::to_string(n) + " items");
          for (uint64_t k = 0; k < uint64_t(n); ++k) {
            const double v = value(p.type);
            if (is_face && (p.name == "vertex_indices" || p.name == "vertex_index")) {
              if (!(v >= 0 && v < double(vertices)))
                Fail(path,
                     "face refers to vertex " + std::to_string(int64_t(v)) +
                         ", which does not exist",
                     ascii ? body.line() : 0);
              corners.push_back(static_cast<uint32_t>(v));
            }
          }
        }
      }
      if (is_vertex) m.vertices.insert(m.vertices.end(), xyz, xyz + 3);
      if (is_face) {
        if (corners.size() < 3) Fail(path, "a face of fewer than three corners", body.line());
        AddPolygon(&m, corners);
      }
    }
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
      for (size_t f = 0; f < F; ++f) {
        double nv[3];
        normal(f, nv);
        for (double c : nv) Put(&out, static_cast<float>(c));
        for (int k = 0; k < 3; ++k)
          for (int c = 0; c < 3; ++c)
            Put(&out, static_cast<float>(m.vertices[3 * m.faces[3 * f + k] + c]));
        out += std::string(2, '\0');
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

}  // namespace

Mesh ReadModel(const std::string& path) {
  const std::string s = Slurp(path);
  const std::string ext = Extension(path), first = FirstWord(s);
  Mesh m;
  if (StartsWith(s, "ply")) {
    m = ReadPly(path, s);
  } else if (first == "off" || ext == "off") {
    m = ReadOff(path, s);
  } else if (first == "solid" && s.find("facet") != std::string::npos) {
    m = ReadStlAscii(path, s);
  } else if (s.size() >= 84 && (s.size() - 84) % 50 == 0 &&
             84 + 50 * size_t{StlCount(s)} == s.size()) {
    m = ReadStlBinary(path, s);
  } else if (ext == "stl") {
    m = s.size() >= 84 ? ReadStlBinary(path, s) : ReadStlAscii(path, s);
  } else if (first == "v" || first == "#" || ext == "obj" || ext == "tab") {
    m = ReadObj(path, s);
  } else if (!first.empty() && std::isdigit(static_cast<unsigned char>(first[0]))) {
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

void WriteModel(const std::string& path, const Mesh& model, Format format) {
  WriteWhole(path, Encode(model, format));
}

}  // namespace mesh
