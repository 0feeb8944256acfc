// OFF, with Geomview's keyword prefixes; binary OFF is refused.
#include <cmath>
#include <cstring>
#include <sstream>

#include "common/print.h"
#include "mesh/format_impl.h"

namespace mesh::formats {

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

std::string EncodeOff(const Mesh& m) {
  return EncodeVf(
      m, "OFF\n" + std::to_string(m.VertexCount()) + " " + std::to_string(m.FaceCount()) + " 0\n",
      "3 ");
}

}  // namespace mesh::formats
