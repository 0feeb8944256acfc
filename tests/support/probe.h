// Points at which the engines' tests probe a model: on and around its
// facets, and around it.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/facet.h"

struct Points {
  std::vector<double> x, y, z;
  void Add(double a, double b, double c) { x.push_back(a), y.push_back(b), z.push_back(c); }
  size_t size() const { return x.size(); }
};

inline std::vector<double> Corners(const std::vector<Facet>& model) {
  std::vector<double> v;
  for (const Facet& f : model) v.insert(v.end(), f.v, f.v + 9);
  return v;
}

// Vertices and edge midpoints (with on_edges), centroids of a sample of about `samples` facets;
// points just inside and outside them along the normal; points at 3 and 30 sizes.
inline Points Probe(const std::vector<double>& v9, size_t samples = 150, bool on_edges = true) {
  Points p;
  const size_t n = v9.size() / 9, step = std::max<size_t>(1, n / samples);
  double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
  for (size_t k = 0; k < v9.size(); ++k)
    lo[k % 3] = std::min(lo[k % 3], v9[k]), hi[k % 3] = std::max(hi[k % 3], v9[k]);
  const double size = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
  for (size_t i = 0; i < n; i += step) {
    const double* v = &v9[9 * i];
    if (on_edges) {
      p.Add(v[0], v[1], v[2]);
      p.Add(0.5 * (v[0] + v[3]), 0.5 * (v[1] + v[4]), 0.5 * (v[2] + v[5]));
    }
    double c[3], nn[3];
    for (int k = 0; k < 3; ++k) c[k] = (v[k] + v[3 + k] + v[6 + k]) / 3;
    p.Add(c[0], c[1], c[2]);
    const double e1[3] = {v[3] - v[0], v[4] - v[1], v[5] - v[2]};
    const double e2[3] = {v[6] - v[0], v[7] - v[1], v[8] - v[2]};
    nn[0] = e1[1] * e2[2] - e1[2] * e2[1], nn[1] = e1[2] * e2[0] - e1[0] * e2[2];
    nn[2] = e1[0] * e2[1] - e1[1] * e2[0];
    const double len = std::sqrt(nn[0] * nn[0] + nn[1] * nn[1] + nn[2] * nn[2]);
    const double h = 1e-3 * size / len;
    p.Add(c[0] - h * nn[0], c[1] - h * nn[1], c[2] - h * nn[2]);
    p.Add(c[0] + h * nn[0], c[1] + h * nn[1], c[2] + h * nn[2]);
  }
  for (double r : {3.0, 30.0})
    for (int k = 0; k < 20; ++k) {
      const double t = 0.7 * k, u = 1.3 * k + 0.4;
      p.Add(r * size * std::sin(t) * std::cos(u), r * size * std::sin(t) * std::sin(u),
            r * size * std::cos(t));
    }
  return p;
}
