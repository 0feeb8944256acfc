// Table construction and the scalar table-form evaluator.
#include "engine/table.h"

#include "engine/terms.h"

using terms::Cross;
using terms::Dot;
using terms::Norm;
using terms::Vec;

namespace {
// Corner k of the nine coordinates v.
Vec Corner(const double* v, int k) {
  return geometry::At(v + 3 * k);
}
}  // namespace

SIEntry MakeSIEntry(const float v[9], double* area2) {
  double w[9];
  for (int k = 0; k < 9; ++k) w[k] = v[k];
  return MakeSIEntry(w, area2);
}

SIEntry MakeSIEntry(const double v[9], double* area2) {
  const Vec A = Corner(v, 0), B = Corner(v, 1), C = Corner(v, 2);
  const Vec e1 = B - A, e2 = C - B, e3 = A - C;
  // The facet normal from the edges that meet at A, e3 x e1: the same
  // vector as (B - A) x (C - A), in the rounding the table is specified with.
  const Vec c = Cross(e3, e1);
  const double len = Norm(c);
  if (area2) *area2 = len;
  if (len == 0) return SIEntry{};
  const Vec n{c.x / len, c.y / len, c.z / len};
  const double il1 = 1 / Norm(e1), il2 = 1 / Norm(e2), il3 = 1 / Norm(e3);
  const Vec m1 = Cross(e1, n), m2 = Cross(e2, n), m3 = Cross(e3, n);
  return {n.x,        n.y,        n.z,        il1, m1.x * il1, m1.y * il1, m1.z * il1, il2,
          m2.x * il2, m2.y * il2, m2.z * il2, il3, m3.x * il3, m3.y * il3, m3.z * il3};
}

template <TableGuard G>
void CalculateSIReference(const Facets& facets, const SIEntry* si, double x, double y, double z,
                          double* U, double* gx, double* gy, double* gz) {
  const Vec p{x, y, z};
  double sum = 0, sx = 0, sy = 0, sz = 0;
  for (uint32_t f = 0; f < facets.n; ++f) {
    const SIEntry& e = si[f];
    if (e.nx == 0 && e.ny == 0 && e.nz == 0) continue;  // zero-area facet
    double v[9];
    facets.Corners(f, v);
    const Vec A = Corner(v, 0), B = Corner(v, 1), C = Corner(v, 2);
    const Vec r[3] = {A - p, B - p, C - p};
    const double R[3] = {Norm(r[0]), Norm(r[1]), Norm(r[2])};
    const Vec n{e.nx, e.ny, e.nz};
    const double h = Dot(n, r[0]);
    const double il[3] = {e.il1, e.il2, e.il3};
    const Vec m[3] = {{e.m1x, e.m1y, e.m1z}, {e.m2x, e.m2y, e.m2z}, {e.m3x, e.m3y, e.m3z}};
    double S = 0;
    for (int k = 0; k < 3; ++k) {
      const double lambda = (R[k] + R[(k + 1) % 3]) * il[k];
      if constexpr (G == TableGuard::kRelative) {
        const double xk = (lambda - 1) / (lambda + 1);
        if (xk < terms::kRelativeGuard) continue;
      }
      S += Dot(m[k], r[k]) * terms::EdgeLogTable(lambda);
    }
    // r1 . (r2 x r3) = ((B - A) x (C - A)) . r1, free of the cancellation of
    // the triple product of three long, nearly parallel vectors.
    const double triple = Dot(Cross(B - A, C - A), r[0]);
    S -= 2 * h * terms::SolidAngle(triple, r[0], r[1], r[2], R[0], R[1], R[2]);
    sum += h * S;
    sx -= n.x * S;
    sy -= n.y * S;
    sz -= n.z * S;
  }
  if (U) *U = 0.5 * sum;
  if (gx) *gx = sx;
  if (gy) *gy = sy;
  if (gz) *gz = sz;
}

template void CalculateSIReference<TableGuard::kRelative>(const Facets&, const SIEntry*, double,
                                                          double, double, double*, double*, double*,
                                                          double*);
template void CalculateSIReference<TableGuard::kNone>(const Facets&, const SIEntry*, double, double,
                                                      double, double*, double*, double*, double*);

void TensorFacet(const SIEntry& e, const double v[9], double px, double py, double pz,
                 double T[3][3]) {
  const Vec p{px, py, pz};
  const Vec A = Corner(v, 0), B = Corner(v, 1), C = Corner(v, 2);
  const Vec r[3] = {A - p, B - p, C - p};
  const double R[3] = {Norm(r[0]), Norm(r[1]), Norm(r[2])};
  const double il[3] = {e.il1, e.il2, e.il3};
  const Vec m[3] = {{e.m1x, e.m1y, e.m1z}, {e.m2x, e.m2y, e.m2z}, {e.m3x, e.m3y, e.m3z}};
  double w[3] = {0, 0, 0};  // sum_k m_k L_k
  for (int k = 0; k < 3; ++k) {
    const double lambda = (R[k] + R[(k + 1) % 3]) * il[k];
    if (!((lambda - 1) / (lambda + 1) >= terms::kRelativeGuard)) continue;
    const double L = terms::EdgeLogTable(lambda);
    w[0] += m[k].x * L, w[1] += m[k].y * L, w[2] += m[k].z * L;
  }
  const double triple = Dot(Cross(B - A, C - A), r[0]);
  const double h = e.nx * r[0].x + e.ny * r[0].y + e.nz * r[0].z;
  const double scale = std::fabs(px) + std::fabs(py) + std::fabs(pz) + (R[0] + R[1] + R[2]);
  const double omega2 = std::fabs(h) <= kInPlane * scale
                            ? 0
                            : 2 * terms::SolidAngle(triple, r[0], r[1], r[2], R[0], R[1], R[2]);
  const double n[3] = {e.nx, e.ny, e.nz};
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b) T[a][b] += n[a] * (w[b] - n[b] * omega2);
}

void TensorSI(const Facets& facets, const SIEntry* si, double px, double py, double pz,
              double t[6]) {
  double T[3][3] = {};
  for (uint32_t f = 0; f < facets.n; ++f) {
    const SIEntry& e = si[f];
    if (e.nx == 0 && e.ny == 0 && e.nz == 0) continue;
    double v[9];
    facets.Corners(f, v);
    TensorFacet(e, v, px, py, pz, T);
  }
  t[0] = T[0][0];
  t[1] = 0.5 * (T[0][1] + T[1][0]);
  t[2] = 0.5 * (T[0][2] + T[2][0]);
  t[3] = T[1][1];
  t[4] = 0.5 * (T[1][2] + T[2][1]);
  t[5] = T[2][2];
}
