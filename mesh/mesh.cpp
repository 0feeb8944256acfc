// The model's own operations; its formats are read and written in
// mesh/formats.cpp and mesh/format_*.cpp.
#include "mesh/mesh.h"

namespace mesh {

std::vector<double> Mesh::FaceCorners() const {
  std::vector<double> corners(9 * FaceCount());
  for (size_t f = 0; f < FaceCount(); ++f)
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c) corners[9 * f + 3 * k + c] = vertices[3 * faces[3 * f + k] + c];
  return corners;
}

bool Mesh::ZeroArea(size_t f, const geometry::Vec& n) const {
  const uint32_t* c = &faces[3 * f];
  return (n.x == 0 && n.y == 0 && n.z == 0) || c[0] == c[1] || c[1] == c[2] || c[2] == c[0];
}

}  // namespace mesh
