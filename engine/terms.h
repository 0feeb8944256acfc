// The closed-form field of one triangular facet, as small pure functions shared
// by every evaluator: edge terms (logarithms), solid-angle term (arctangent),
// facet factor S; the vectors and the volume and centroid rule are
// common/geometry.h's.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/geometry.h"

namespace terms {

// The engine's terms are written in the common vector type.
using geometry::Cross;
using geometry::Dot;
using geometry::Norm;
using geometry::Vec;

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

// The volume and centroid rule of the suite's programs, about the origin.
using geometry::VolumeSum;

}  // namespace terms
