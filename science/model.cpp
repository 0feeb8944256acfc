// Models from files and arrays.
#include "science/model.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "common/print.h"
#include "science/request.h"

namespace science {

namespace {

void Scale(mesh::Mesh* m, double scale) {
  if (!(std::isfinite(scale) && scale > 0)) Refuse(Quantity("scale") + ": a positive number");
  if (scale != 1)
    for (double& x : m->vertices) x *= scale;
}

template <class Index>
mesh::Mesh FromArrays(const double* vertices, size_t V, const Index* faces, size_t F,
                      double scale) {
  if (F == 0) Refuse(Quantity("faces") + ": no faces");
  // Indices are 32-bit in the model.
  if (V > UINT32_MAX) Refuse(Quantity("vertices") + ": more than 2^32 - 1 vertices");
  mesh::Mesh m;
  m.vertices.assign(vertices, vertices + 3 * V);
  m.faces.reserve(3 * F);
  for (size_t i = 0; i < 3 * F; ++i) {
    const Index k = faces[i];
    if constexpr (std::is_floating_point_v<Index>) {
      if (!(std::isfinite(k) && std::trunc(k) == k))
        Refuse(Quantity("faces") + ": index " + ShortestDigits(k) + " (face " +
               std::to_string(i / 3) + ") is not a whole number");
    }
    if (!(k >= 0 && k < static_cast<Index>(V)))
      Refuse(Quantity("faces") + ": vertex " +
             (std::is_floating_point_v<Index> ? ShortestDigits(double(k))
                                              : std::to_string(int64_t(k))) +
             " does not exist (" + std::to_string(V) + " vertices)");
    m.faces.push_back(static_cast<uint32_t>(k));
  }
  Scale(&m, scale);
  return m;
}

}  // namespace

mesh::Mesh LoadModel(const std::string& path, double scale) {
  CheckPath("model", path);
  struct stat st;
  if (path != "-" && stat(path.c_str(), &st) != 0 && errno == ENOENT)
    throw Failure(path + ": cannot be opened", Failure::Kind::kNotFound);
  mesh::Mesh m = mesh::ReadModel(path);
  Scale(&m, scale);
  return m;
}

mesh::Mesh ModelFromArrays(const double* vertices, size_t V, const int64_t* faces, size_t F,
                           double scale) {
  return FromArrays(vertices, V, faces, F, scale);
}

mesh::Mesh ModelFromArrays(const double* vertices, size_t V, const double* faces, size_t F,
                           double scale) {
  return FromArrays(vertices, V, faces, F, scale);
}

mesh::Mesh Translated(mesh::Mesh m, const std::array<double, 3>& offset) {
  for (double d : offset)
    if (!std::isfinite(d)) Refuse(Quantity("offset") + ": three finite numbers x, y, z");
  for (size_t i = 0; i < m.vertices.size(); ++i) m.vertices[i] += offset[i % 3];
  return m;
}

mesh::Mesh Scaled(mesh::Mesh m, double factor) {
  if (!(std::isfinite(factor) && factor > 0))
    Refuse(Quantity("factor") +
           ": a positive number (a negative one would turn the model inside out)");
  for (double& x : m.vertices) x *= factor;
  return m;
}

mesh::Mesh Rotated(mesh::Mesh m, const std::array<std::array<double, 3>, 3>& R) {
  // R R^T = 1 and det R = +1: a reflection would turn the model inside out.
  double worst = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const double dot = R[i][0] * R[j][0] + R[i][1] * R[j][1] + R[i][2] * R[j][2];
      worst = std::max(worst, std::fabs(dot - (i == j ? 1 : 0)));
    }
  const double det = R[0][0] * (R[1][1] * R[2][2] - R[1][2] * R[2][1]) -
                     R[0][1] * (R[1][0] * R[2][2] - R[1][2] * R[2][0]) +
                     R[0][2] * (R[1][0] * R[2][1] - R[1][1] * R[2][0]);
  if (!(worst <= 1e-9 && det > 0))
    Refuse(Quantity("matrix") + ": not a rotation (a 3 x 3 orthogonal matrix of determinant +1)");
  for (size_t v = 0; v < m.vertices.size(); v += 3) {
    const double p[3] = {m.vertices[v], m.vertices[v + 1], m.vertices[v + 2]};
    for (int r = 0; r < 3; ++r)
      m.vertices[v + r] = R[r][0] * p[0] + R[r][1] * p[1] + R[r][2] * p[2];
  }
  return m;
}

}  // namespace science
