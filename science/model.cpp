// Models from files and arrays.
#include "science/model.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>

#include "common/print.h"
#include "science/request.h"

namespace science {

namespace {

[[noreturn]] void Refuse(const std::string& message) {
  throw Failure(message, Failure::Kind::kBadValue);
}

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

}  // namespace science
