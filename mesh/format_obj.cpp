// Wavefront OBJ and the PDS vertex-facet table (.tab), which share "v" and
// "f" lines.
#include <sstream>

#include "mesh/format_impl.h"

namespace mesh::formats {

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

std::string EncodeObj(const Mesh& m) {
  std::string out;
  for (size_t i = 0; i < m.VertexCount(); ++i) VertexLine(&out, m, "v ", i);
  for (size_t f = 0; f < m.FaceCount(); ++f)
    out += "f " + std::to_string(m.faces[3 * f] + 1) + " " +
           std::to_string(m.faces[3 * f + 1] + 1) + " " + std::to_string(m.faces[3 * f + 2] + 1) +
           "\n";
  return out;
}

}  // namespace mesh::formats
