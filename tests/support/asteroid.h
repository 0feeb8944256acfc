// A generated asteroid: a cube's six faces divided into n x n squares of two
// triangles each (12 n^2 facets), projected onto a lumpy, elongated body.
// Each vertex is computed from its integer lattice point alone, so vertices
// shared by facets (also across the cube's edges) are exactly equal and the
// surface is closed.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "common/facet.h"

namespace models {

// The body's surface point over the cube point (i, j, k) / n - 1/2.
inline void AsteroidPoint(int i, int j, int k, int n, float out[3]) {
  double p[3] = {double(i) / n - 0.5, double(j) / n - 0.5, double(k) / n - 0.5};
  const double r = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
  for (double& c : p) c /= r;
  // Lumps: a few smooth waves over the sphere, then semi-axes 10, 7, 5 km.
  const double lump = 1 + 0.12 * std::sin(3 * p[0] + 1) * std::cos(2 * p[1]) +
                      0.08 * std::cos(5 * p[2] - 2 * p[0]) + 0.05 * std::sin(7 * p[1] + 3 * p[2]);
  out[0] = static_cast<float>(10 * lump * p[0]);
  out[1] = static_cast<float>(7 * lump * p[1]);
  out[2] = static_cast<float>(5 * lump * p[2]);
}

// The facets of the asteroid with 12 n^2 facets, outward.
inline std::vector<Facet> Asteroid(int n) {
  std::vector<Facet> facets;
  facets.reserve(12 * size_t(n) * n);
  // Each face: a fixed axis at 0 or n, two running axes (u, v) with u x v
  // outward.
  for (int axis = 0; axis < 3; ++axis)
    for (int side = 0; side < 2; ++side) {
      const int ua = (axis + 1) % 3, va = (axis + 2) % 3;
      auto lattice = [&](int u, int v, float out[3]) {
        int q[3];
        q[axis] = side ? n : 0;
        q[ua] = side ? u : v;
        q[va] = side ? v : u;
        AsteroidPoint(q[0], q[1], q[2], n, out);
      };
      for (int u = 0; u < n; ++u)
        for (int v = 0; v < n; ++v) {
          float a[3], b[3], c[3], d[3];
          lattice(u, v, a);
          lattice(u + 1, v, b);
          lattice(u + 1, v + 1, c);
          lattice(u, v + 1, d);
          Facet f1, f2;
          for (int k = 0; k < 3; ++k) {
            f1.v[k] = a[k], f1.v[3 + k] = b[k], f1.v[6 + k] = c[k];
            f2.v[k] = a[k], f2.v[3 + k] = c[k], f2.v[6 + k] = d[k];
          }
          facets.push_back(f1);
          facets.push_back(f2);
        }
    }
  return facets;
}

// The n for about `facets` facets.
inline int AsteroidGrid(size_t facets) {
  return static_cast<int>(std::sqrt(static_cast<double>(facets) / 12.0) + 0.5);
}

}  // namespace models
