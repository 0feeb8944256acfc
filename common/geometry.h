// Plain geometry shared by every layer: vectors, a facet's normal and area,
// the volume and centre-of-mass sums of a closed surface, and the key that
// makes exactly equal vertices one vertex.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace geometry {

struct Vec {
  double x, y, z;
};
inline Vec operator+(Vec a, Vec b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec operator-(Vec a, Vec b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline double Dot(Vec a, Vec b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vec Cross(Vec a, Vec b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double Norm(Vec a) {
  return std::sqrt(Dot(a, a));
}
// The point at p[0..2].
inline Vec At(const double* p) {
  return {p[0], p[1], p[2]};
}

// The right-hand normal (B - A) x (C - A) of the facet A, B, C: outward for
// a facet counter-clockwise seen from outside, twice the area long.
inline Vec FacetNormal(Vec a, Vec b, Vec c) {
  return Cross(b - a, c - a);
}
inline double FacetArea(Vec a, Vec b, Vec c) {
  return 0.5 * Norm(FacetNormal(a, b, c));
}

// The volume and centroid rule about the origin: per facet d = A . (B x C)
// (six times the signed volume of the tetrahedron from the origin);
// V = sum d / 6, centroid = sum d (A + B + C) / (4 sum d).
struct VolumeSum {
  double D = 0, Sx = 0, Sy = 0, Sz = 0;
  void Add(Vec a, Vec b, Vec c) {
    const double d = Dot(a, Cross(b, c));
    D += d;
    Sx += d * (a.x + b.x + c.x);
    Sy += d * (a.y + b.y + c.y);
    Sz += d * (a.z + b.z + c.z);
  }
  double Volume() const { return D / 6; }
  Vec Centroid() const { return {Sx / (4 * D), Sy / (4 * D), Sz / (4 * D)}; }
};

// The same rule about a reference point o of the model (a vertex, say):
// corners are taken from o and o is added back to the centroid. About the
// origin, a model at distance L from it, of size s, loses about
// (L / s)^3 ulps of its volume to cancellation (1e5 sizes: every digit);
// about a point of its own, none.
struct VolumeAbout {
  explicit VolumeAbout(Vec reference) : o(reference) {}
  void Add(Vec a, Vec b, Vec c) { sum.Add(a - o, b - o, c - o); }
  double Volume() const { return sum.Volume(); }
  Vec Centroid() const { return o + sum.Centroid(); }

  Vec o;
  VolumeSum sum;
};

// The weld key of a vertex: its three coordinates as bit patterns, -0 taken
// as +0, so that exactly equal vertices (and only they) have equal keys.
struct WeldKey {
  uint64_t bits[3];
  bool operator==(const WeldKey& k) const {
    return bits[0] == k.bits[0] && bits[1] == k.bits[1] && bits[2] == k.bits[2];
  }
};
inline WeldKey WeldKeyOf(const double* v) {
  WeldKey key;
  for (int k = 0; k < 3; ++k) {
    const double c = v[k] + 0.0;  // -0 + 0 = +0
    std::memcpy(&key.bits[k], &c, 8);
  }
  return key;
}
// A hash of the key for open-addressing tables indexed by its low bits.
inline uint64_t WeldHash(const WeldKey& key) {
  uint64_t h = (key.bits[0] * 0x9E3779B97F4A7C15ull) ^ (key.bits[1] * 0xC2B2AE3D27D4EB4Full) ^
               (key.bits[2] * 0x165667B19E3779F9ull);
  return h ^ (h >> 29);
}

}  // namespace geometry
