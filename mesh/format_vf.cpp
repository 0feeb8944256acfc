// The suite's vertex/face text: "V F", V vertices, F faces of 0-based
// indices.
#include "mesh/format_impl.h"

namespace mesh::formats {

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

std::string EncodeVf(const Mesh& m, const std::string& header, const char* face_prefix) {
  std::string out = header;
  for (size_t i = 0; i < m.VertexCount(); ++i) VertexLine(&out, m, "", i);
  for (size_t f = 0; f < m.FaceCount(); ++f)
    out += std::string(face_prefix) + std::to_string(m.faces[3 * f]) + " " +
           std::to_string(m.faces[3 * f + 1]) + " " + std::to_string(m.faces[3 * f + 2]) + "\n";
  return out;
}

std::string EncodeVf(const Mesh& m) {
  return EncodeVf(m, std::to_string(m.VertexCount()) + " " + std::to_string(m.FaceCount()) + "\n",
                  "");
}

}  // namespace mesh::formats
