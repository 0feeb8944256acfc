// A model for the library, from a file (any format mesh/ reads) or from
// arrays (the Python face's), checked for what a face cannot get right by
// itself: the file's name, the indices, the scale.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "mesh/mesh.h"

namespace science {

// Reads the model at `path` ("-": standard input) and multiplies its
// coordinates by `scale`. A name with a NUL byte is refused (kBadValue), a
// file that does not exist is reported as kNotFound.
mesh::Mesh LoadModel(const std::string& path, double scale = 1);

// A model from V vertices (x, y, z each) and F faces (three vertex indices
// each, 0-based), with coordinates times `scale`. Indices given as doubles
// must be whole numbers; every index must name a vertex.
mesh::Mesh ModelFromArrays(const double* vertices, size_t V, const int64_t* faces, size_t F,
                           double scale = 1);
mesh::Mesh ModelFromArrays(const double* vertices, size_t V, const double* faces, size_t F,
                           double scale = 1);

// The model moved by `offset`, multiplied by `factor` (positive) about the
// origin, or turned by the rotation `matrix` about the origin (x' = R x: R
// orthogonal with determinant +1, to 1e-9), so that a part is placed
// without a file. Each refuses what it cannot honour under
// Quantity("offset"), Quantity("factor") or Quantity("matrix").
mesh::Mesh Translated(mesh::Mesh model, const std::array<double, 3>& offset);
mesh::Mesh Scaled(mesh::Mesh model, double factor);
mesh::Mesh Rotated(mesh::Mesh model, const std::array<std::array<double, 3>, 3>& matrix);

}  // namespace science
