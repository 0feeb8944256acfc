// Closed triangulated solids for the tests, as vertex and face arrays
// (faces counter-clockwise seen from outside): boxes, optionally rotated and
// moved, and icospheres.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

struct Shape {
  std::vector<double> vertices;  // x, y, z of vertex i at 3i
  std::vector<uint32_t> faces;   // three vertices a face
};

using Rotation = std::array<std::array<double, 3>, 3>;
inline constexpr Rotation kIdentity = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

// The rotation by `angle` radians about the unit vector `axis` (Rodrigues).
inline Rotation RotationAbout(std::array<double, 3> axis, double angle) {
  const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  for (double& a : axis) a /= n;
  const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
  const auto [x, y, z] = axis;
  return {{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
           {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
           {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
}

// The box [lo, hi], its vertices then rotated by R about the origin and
// moved by `offset`: two triangles a side, each turned to face outward.
inline Shape Box(const double lo[3], const double hi[3], const Rotation& R = kIdentity,
                 const std::array<double, 3>& offset = {0, 0, 0}) {
  Shape s;
  double box[8][3];
  for (int v = 0; v < 8; ++v)
    for (int c = 0; c < 3; ++c) box[v][c] = (v >> c & 1) ? hi[c] : lo[c];
  // Each side: its four corners in order around it.
  const int sides[6][4] = {{0, 2, 6, 4}, {1, 3, 7, 5}, {0, 1, 5, 4},
                           {2, 3, 7, 6}, {0, 1, 3, 2}, {4, 5, 7, 6}};
  for (const auto& q : sides)
    for (const auto& t : {std::array<int, 3>{q[0], q[1], q[2]}, {q[0], q[2], q[3]}}) {
      const double* A = box[t[0]];
      const double* B = box[t[1]];
      const double* C = box[t[2]];
      double n[3], out[3];
      n[0] = (B[1] - A[1]) * (C[2] - A[2]) - (B[2] - A[2]) * (C[1] - A[1]);
      n[1] = (B[2] - A[2]) * (C[0] - A[0]) - (B[0] - A[0]) * (C[2] - A[2]);
      n[2] = (B[0] - A[0]) * (C[1] - A[1]) - (B[1] - A[1]) * (C[0] - A[0]);
      for (int c = 0; c < 3; ++c) out[c] = (A[c] + B[c] + C[c]) / 3 - (lo[c] + hi[c]) / 2;
      const bool outward = n[0] * out[0] + n[1] * out[1] + n[2] * out[2] > 0;
      s.faces.insert(s.faces.end(), {uint32_t(t[0]), uint32_t(outward ? t[1] : t[2]),
                                     uint32_t(outward ? t[2] : t[1])});
    }
  for (const auto& p : box)
    for (int r = 0; r < 3; ++r)
      s.vertices.push_back(R[r][0] * p[0] + R[r][1] * p[1] + R[r][2] * p[2] + offset[r]);
  return s;
}

// An icosahedron `level` times subdivided, its vertices on the sphere of
// radius r about the origin (20 x 4^level faces).
inline Shape Icosphere(int level, double r) {
  const double t = (1 + std::sqrt(5.0)) / 2;
  std::vector<std::array<double, 3>> v = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0},
                                          {0, -1, t}, {0, 1, t}, {0, -1, -t}, {0, 1, -t},
                                          {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
  std::vector<std::array<uint32_t, 3>> f = {
      {0, 11, 5},  {0, 5, 1},  {0, 1, 7},  {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
      {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
      {3, 8, 9},   {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
  const auto unit = [](std::array<double, 3> a) {
    const double n = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    return std::array<double, 3>{a[0] / n, a[1] / n, a[2] / n};
  };
  for (auto& p : v) p = unit(p);
  for (int l = 0; l < level; ++l) {
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> mid;
    const auto middle = [&](uint32_t a, uint32_t b) {
      const auto key = std::minmax(a, b);
      const auto it = mid.find(key);
      if (it != mid.end()) return it->second;
      v.push_back(
          unit({(v[a][0] + v[b][0]) / 2, (v[a][1] + v[b][1]) / 2, (v[a][2] + v[b][2]) / 2}));
      return mid[key] = static_cast<uint32_t>(v.size() - 1);
    };
    std::vector<std::array<uint32_t, 3>> g;
    for (const auto& x : f) {
      const uint32_t a = middle(x[0], x[1]), b = middle(x[1], x[2]), c = middle(x[2], x[0]);
      g.insert(g.end(), {{x[0], a, c}, {x[1], b, a}, {x[2], c, b}, {a, b, c}});
    }
    f = g;
  }
  Shape s;
  for (const auto& p : v) s.vertices.insert(s.vertices.end(), {r * p[0], r * p[1], r * p[2]});
  for (const auto& x : f) s.faces.insert(s.faces.end(), x.begin(), x.end());
  return s;
}
