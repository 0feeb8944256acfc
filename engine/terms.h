// The closed-form field of one triangular facet, as small pure functions shared
// by every evaluator: edge terms (logarithms), solid-angle term (arctangent),
// facet factor S, and the volume and centroid rule.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

namespace terms {

struct Vec {
  double x, y, z;
};
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

// Guard constants: the direct form drops an edge term when
// delta = R_a + R_b - L is below 1e-9 model units; the table form when
// x = (lambda - 1)/(lambda + 1) is below the decimal 2.22045e-16.
constexpr double kAbsoluteGuard = 1e-9;
constexpr double kRelativeGuard = 2.22045e-16;

// ln((R_a + R_b + L)/delta) of the direct form, written as log1p(2L/delta)
// so that it keeps its digits far from the facet, where delta ~ 2(R - L).
inline double EdgeLogDirect(double delta, double L) {
  return std::log1p(2.0 * L / delta);
}

// -ln x = ln((lambda + 1)/(lambda - 1)) of the table form, as
// log1p(2/(lambda - 1)), with lambda = (R_a + R_b)/L.
inline double EdgeLogTable(double lambda) {
  return std::log1p(2.0 / (lambda - 1.0));
}

// Half the signed solid angle under which the facet is seen from the field
// point: atan2(r1 . (r2 x r3), R1 R2 R3 + (r1.r2) R3 + (r1.r3) R2 + (r2.r3) R1).
// `triple` is r1 . (r2 x r3), supplied by the caller in a well-conditioned
// form (|(B - A) x (C - A)| h, or ((B - A) x (C - A)) . r1).
inline double SolidAngle(double triple, Vec r1, Vec r2, Vec r3, double R1, double R2, double R3) {
  const double den = R1 * R2 * R3 + Dot(r1, r2) * R3 + Dot(r1, r3) * R2 + Dot(r2, r3) * R1;
  return std::atan2(triple, den);
}

// The deviation of the vertical: the angle (0 to pi) between the facet's
// normal n (any length) and -g. |g|^2 |n|^2 - t^2 is |g x n|^2, which
// rounding can push below zero when g is parallel to n: clamped at 0, so the
// angle is then 0 or pi, never not-a-number. A facet of zero area has no
// normal and so no deviation: not-a-number.
inline double Deviation(Vec g, Vec n) {
  if (Dot(n, n) == 0) return std::numeric_limits<double>::quiet_NaN();
  const double t = Dot(g, n);
  const double s = std::sqrt(std::max(0.0, Dot(g, g) * Dot(n, n) - t * t));
  return std::atan2(s, -t);
}

// Volume and centroid rule: per facet d = A . (B x C); V = sum d / 6;
// centroid = sum d (A + B + C) / (4 sum d).
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

}  // namespace terms
