// A closed torus of 2 * nu * nv facets for the tests and the benchmarks
// (outward normals, every grid vertex computed once, so shared vertices are
// exactly equal), and field points scattered in and around it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/facet.h"

namespace models {

inline std::vector<Facet> Torus(int nu, int nv, double major = 3.0, double minor = 1.0) {
  std::vector<float> grid(3 * size_t(nu) * nv);
  const double two_pi = 6.283185307179586;
  for (int i = 0; i < nu; ++i)
    for (int j = 0; j < nv; ++j) {
      const double u = two_pi * i / nu, v = two_pi * j / nv;
      const double r = major + minor * std::cos(v);
      float* p = &grid[3 * (size_t(i) * nv + j)];
      p[0] = static_cast<float>(r * std::cos(u));
      p[1] = static_cast<float>(r * std::sin(u));
      p[2] = static_cast<float>(minor * std::sin(v));
    }
  auto at = [&](int i, int j) { return &grid[3 * (size_t(i % nu) * nv + j % nv)]; };
  std::vector<Facet> facets;
  facets.reserve(2 * size_t(nu) * nv);
  auto add = [&](const float* a, const float* b, const float* c) {
    Facet f;
    for (int k = 0; k < 3; ++k) f.v[k] = a[k], f.v[3 + k] = b[k], f.v[6 + k] = c[k];
    facets.push_back(f);
  };
  for (int i = 0; i < nu; ++i)
    for (int j = 0; j < nv; ++j) {
      // Quad (i, j), (i + 1, j), (i + 1, j + 1), (i, j + 1); u runs around the
      // axis, v around the tube: (du x dv) points out of the tube.
      add(at(i, j), at(i + 1, j), at(i + 1, j + 1));
      add(at(i, j), at(i + 1, j + 1), at(i, j + 1));
    }
  return facets;
}

// The grid for facet counts near `facets`: nu = 2 nv roughly, 2 nu nv facets.
inline void TorusGrid(size_t facets, int* nu, int* nv) {
  const double n = static_cast<double>(facets);
  *nv = static_cast<int>(std::sqrt(n / 4.0) + 0.5);
  *nu = static_cast<int>(n / (2.0 * *nv) + 0.5);
}

inline std::vector<Facet> TorusOf(size_t facets) {
  int nu, nv;
  TorusGrid(facets, &nu, &nv);
  return Torus(nu, nv);
}

// Colour words that run around the tube (red to green) and around the axis
// (blue), one per facet of Torus(nu, nv): many colours, as real coloured
// models have.
inline std::vector<uint16_t> TorusColours(int nu, int nv) {
  std::vector<uint16_t> words;
  words.reserve(2 * size_t(nu) * nv);
  for (int i = 0; i < nu; ++i)
    for (int j = 0; j < nv; ++j) {
      const unsigned c5 = 31u * j / nv, b5 = 31u * i / nu;
      const auto word = static_cast<uint16_t>(0x8000 | c5 << 10 | (31 - c5) << 5 | b5);
      words.push_back(word);
      words.push_back(word);
    }
  return words;
}

struct Points {
  std::vector<double> x, y, z;
};

// Uniform in the box [-5, 5] x [-5, 5] x [-2, 2] around the torus: inside
// the tube, in its hole and outside, never on a facet (with probability 1).
inline Points Scatter(size_t n, unsigned seed = 12345) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> xy(-5, 5), zz(-2, 2);
  Points p;
  for (size_t i = 0; i < n; ++i) {
    p.x.push_back(xy(rng));
    p.y.push_back(xy(rng));
    p.z.push_back(zz(rng));
  }
  return p;
}

// Binary STL with the right-hand normals, and the attribute words given (or 0).
inline void WriteBinary(const std::string& path, const std::vector<Facet>& facets,
                        const std::vector<uint16_t>& attributes = {}) {
  FILE* f = std::fopen(path.c_str(), "wb");
  char header[80] = {};
  std::fwrite(header, 1, 80, f);
  const uint32_t n = static_cast<uint32_t>(facets.size());
  std::fwrite(&n, 4, 1, f);
  for (size_t i = 0; i < facets.size(); ++i) {
    const float* v = facets[i].v;
    const float ax = v[3] - v[0], ay = v[4] - v[1], az = v[5] - v[2];
    const float bx = v[6] - v[0], by = v[7] - v[1], bz = v[8] - v[2];
    const float rec[12] = {ay * bz - az * by,
                           az * bx - ax * bz,
                           ax * by - ay * bx,
                           v[0],
                           v[1],
                           v[2],
                           v[3],
                           v[4],
                           v[5],
                           v[6],
                           v[7],
                           v[8]};
    std::fwrite(rec, 4, 12, f);
    const uint16_t attribute = i < attributes.size() ? attributes[i] : 0;
    std::fwrite(&attribute, 2, 1, f);
  }
  std::fclose(f);
}

inline void WriteAscii(const std::string& path, const std::vector<Facet>& facets) {
  FILE* f = std::fopen(path.c_str(), "w");
  std::fprintf(f, "solid torus\n");
  for (const Facet& t : facets) {
    const float* v = t.v;
    const float ax = v[3] - v[0], ay = v[4] - v[1], az = v[5] - v[2];
    const float bx = v[6] - v[0], by = v[7] - v[1], bz = v[8] - v[2];
    std::fprintf(f, "  facet normal %e %e %e\n    outer loop\n", ay * bz - az * by,
                 az * bx - ax * bz, ax * by - ay * bx);
    for (int k = 0; k < 3; ++k)
      std::fprintf(f, "      vertex %e %e %e\n", v[3 * k], v[3 * k + 1], v[3 * k + 2]);
    std::fprintf(f, "    endloop\n  endfacet\n");
  }
  std::fprintf(f, "endsolid torus\n");
  std::fclose(f);
}

}  // namespace models
