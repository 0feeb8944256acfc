// The direct form of the facet formula, every facet quantity computed from
// the vertices; instantiated with each edge-term guard by the two si units.
#pragma once

#include "engine/terms.h"

namespace terms {

// Edge-term guards of the direct form: absolute (delta = R_a + R_b - L below
// 1e-9 model units, for points that may lie on edges) or relative
// (delta/(R_a + R_b + L) below 2.22045e-16, the table form's rule).
enum class Guard { kAbsolute, kRelative };

template <Guard G>
inline void DirectFacet(double x, double y, double z, double Ax, double Ay, double Az, double Bx,
                        double By, double Bz, double Cx, double Cy, double Cz, double* U,
                        double* gx, double* gy, double* gz) {
  const Vec A{Ax, Ay, Az}, B{Bx, By, Bz}, Cv{Cx, Cy, Cz}, p{x, y, z};
  const Vec e[3] = {B - A, Cv - B, A - Cv};
  const Vec c = Cross(e[2], e[0]);  // (B - A) x (C - A), twice the area
  const double area2 = Norm(c);
  if (area2 == 0) return;  // zero area: no normal, no contribution
  const Vec n{c.x / area2, c.y / area2, c.z / area2};
  const Vec r[3] = {A - p, B - p, Cv - p};
  const double R[3] = {Norm(r[0]), Norm(r[1]), Norm(r[2])};
  const double h = Dot(n, r[0]);  // > 0 when p lies behind the facet (inside)
  double S = 0;
  for (int k = 0; k < 3; ++k) {
    const int b = (k + 1) % 3;
    const double L = Norm(e[k]);
    const double delta = R[k] + R[b] - L;
    if constexpr (G == Guard::kAbsolute) {
      if (delta < kAbsoluteGuard) continue;
    } else {
      if (!(delta >= kRelativeGuard * (R[k] + R[b] + L))) continue;  // NaN included
    }
    // (e_k x n) . r_a / L: in-plane distance of the foot of p from the edge
    // line, positive on the facet's side.
    const double dist = Dot(Cross(e[k], n), r[k]) / L;
    S += dist * EdgeLogDirect(delta, L);
  }
  S -= 2 * h * SolidAngle(area2 * h, r[0], r[1], r[2], R[0], R[1], R[2]);
  *U += 0.5 * h * S;
  *gx -= n.x * S;
  *gy -= n.y * S;
  *gz -= n.z * S;
}

}  // namespace terms
