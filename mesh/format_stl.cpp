// STL, ASCII and binary: the suite's grammar and binary decoder (common/)
// under the front end's rules, and the writers.
#include <bit>
#include <cmath>

#include "common/facet.h"
#include "common/print.h"
#include "common/read.h"
#include "common/stl_grammar.h"
#include "mesh/check.h"
#include "mesh/format_impl.h"

namespace mesh::formats {

namespace {

// The facet count of a binary STL (little-endian, at byte 80).
uint32_t StlCount(const std::string& s) {
  return uint32_t(uint8_t(s[80])) | uint32_t(uint8_t(s[81])) << 8 | uint32_t(uint8_t(s[82])) << 16 |
         uint32_t(uint8_t(s[83])) << 24;
}

// The suite's decoder with the front end's rules: the winding kept (its
// stored normal checked against it later), numbers whole and correctly
// rounded, every solid read and nothing but blanks after the last.
constexpr stl::Rules kStlRules = {stl::Orientation::kFromWinding, true, true};

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
  void EndSolid() { ++m_->solids; }
  [[noreturn]] void Fail(stl::Fault fault, const char* expected) {
    const std::string found = in_->Token();
    switch (fault) {
      case stl::Fault::kEnd:
        formats::Fail(path_, std::string("the data ends where ") + expected + " should come",
                      in_->line());
      case stl::Fault::kLong:
        formats::Fail(
            path_,
            std::string("expected ") + expected + ", found a word of more than 95 characters",
            in_->line());
      case stl::Fault::kToken:
      case stl::Fault::kNumber:
        break;
    }
    formats::Fail(path_, std::string("expected ") + expected + ", found \"" + found + "\"",
                  in_->line());
  }

 private:
  const std::string& path_;
  StlChars* in_;
  Mesh* m_;
  Builder b_;
};

void Put(std::string* out, float v) {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  for (int k = 0; k < 4; ++k) out->push_back(static_cast<char>(bits >> (8 * k) & 0xFF));
}

// The unit normal of face f by its winding (0 0 0 for zero area).
void UnitNormal(const Mesh& m, size_t f, double n[3]) {
  const double* a = &m.vertices[3 * m.faces[3 * f]];
  const double* b = &m.vertices[3 * m.faces[3 * f + 1]];
  const double* c = &m.vertices[3 * m.faces[3 * f + 2]];
  const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
  const double w[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
  n[0] = u[1] * w[2] - u[2] * w[1], n[1] = u[2] * w[0] - u[0] * w[2];
  n[2] = u[0] * w[1] - u[1] * w[0];
  const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  for (int k = 0; k < 3; ++k) n[k] = len > 0 ? n[k] / len : 0;
}

}  // namespace

// Whether the size is that of a binary STL of the count at byte 80: 84 + 50
// bytes a facet, and fewer than 50 bytes beyond (what some writers append).
// Text has bytes of at least 9 there, a count of at least 151 million, so
// no text file under 7 GB has such a size.
bool BinaryStlSize(const std::string& s) {
  if (s.size() < 84) return false;
  const uint64_t data = 50 * uint64_t{StlCount(s)};
  return s.size() - 84 >= data && s.size() - 84 - data < 50;
}

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
  stl_detail::DecodeBinaryFacets<AttributedFacet>(
      reinterpret_cast<const unsigned char*>(s.data()) + 84, n, kStlRules.orientation,
      [&](const AttributedFacet& facet, const float block[12]) {
        m.normals.insert(m.normals.end(), block, block + 3);
        m.attributes.push_back(facet.attribute);
        for (int k = 0; k < 3; ++k)
          m.faces.push_back(b.Vertex(facet.v[3 * k], facet.v[3 * k + 1], facet.v[3 * k + 2]));
      });
  return m;
}

Mesh ReadStlAscii(const std::string& path, const std::string& s) {
  Mesh m;
  StlChars in(s);
  StlSink sink(path, &in, &m);
  stl::ReadSolids(in, kStlRules, sink);
  return m;
}

std::string EncodeStlBinary(const Mesh& m) {
  const size_t F = m.FaceCount();
  std::string out(80, '\0');
  const uint32_t n = static_cast<uint32_t>(F);
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>(n >> (8 * k) & 0xFF));
  // The attribute words read from a binary STL go out again.
  const bool attributes = m.attributes.size() == F;
  for (size_t f = 0; f < F; ++f) {
    double nv[3];
    UnitNormal(m, f, nv);
    for (double c : nv) Put(&out, NarrowToFloat(c));
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c) Put(&out, NarrowToFloat(m.vertices[3 * m.faces[3 * f + k] + c]));
    const uint16_t word = attributes ? m.attributes[f] : 0;
    out.push_back(static_cast<char>(word & 0xFF));
    out.push_back(static_cast<char>(word >> 8));
  }
  return out;
}

std::string EncodeStlAscii(const Mesh& m) {
  std::string out = "solid polyfield\n";
  for (size_t f = 0; f < m.FaceCount(); ++f) {
    double nv[3];
    UnitNormal(m, f, nv);
    out += "facet normal " + ShortestDigits(nv[0]) + " " + ShortestDigits(nv[1]) + " " +
           ShortestDigits(nv[2]) + "\nouter loop\n";
    for (int k = 0; k < 3; ++k) VertexLine(&out, m, "vertex ", m.faces[3 * f + k]);
    out += "endloop\nendfacet\n";
  }
  out += "endsolid polyfield\n";
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

}  // namespace mesh::formats
