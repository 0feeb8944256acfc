// The series summed with the fully normalised associated Legendre functions
// of sin(latitude), column by column of order m (the standard forward
// recursion in degree, seeded by the sectoral terms). The latitude and
// longitude derivatives use Pbar_nm / cos(latitude), seeded alike, so that
// the gradient stays finite on the axis, where the longitude is 0.
#include "science/series.h"

#include <cmath>
#include <string>
#include <vector>

#include "common/failure.h"
#include "common/print.h"

namespace science {

size_t SeriesAt(const Harmonics& h, const std::optional<int>& max_degree, size_t n,
                const double* xyz, double* U, double* g) {
  const int N = max_degree.value_or(h.degree);
  if (N < 0 || N > h.degree)
    Refuse(Quantity("max_degree") + ": " + std::to_string(N) + " is not a degree from 0 to " +
           std::to_string(h.degree) + ", those of the coefficients");
  // Lengths in metres with SI units; else the model's own unit.
  const double L = h.units.Physical() ? h.units.metres : 1;
  const double R0 = h.reference_radius;
  const size_t side = size_t(N) + 1;
  // W[m][k]: Pbar_{m+k, m} / cos(latitude) for m >= 1, and Pbar_{k, 0} for
  // m = 0, the columns one after another.
  std::vector<double> P0(side), W(side * side), cosm(side), sinm(side), q(side);
  // The recursion's factors, a_km and b_km at [m side + k], and those of
  // the latitude derivative, d_km at [k side + m].
  std::vector<double> A(side * side), B(side * side), D(side * side);
  for (size_t m = 0; m < side; ++m)
    for (size_t k = m + 1; k < side; ++k) {
      const double dk = double(k), dm = double(m);
      A[m * side + k] = std::sqrt((2 * dk - 1) * (2 * dk + 1) / ((dk - dm) * (dk + dm)));
      if (k >= m + 2)
        B[m * side + k] = std::sqrt((2 * dk + 1) * (dk + dm - 1) * (dk - dm - 1) /
                                    ((dk - dm) * (dk + dm) * (2 * dk - 3)));
      D[k * side + m] = std::sqrt((dk - dm) * (dk + dm + 1) * (m == 0 ? 0.5 : 1));
    }
  size_t inside = 0;
  for (size_t i = 0; i < n; ++i) {
    const double x = xyz[3 * i] - h.origin[0], y = xyz[3 * i + 1] - h.origin[1],
                 z = xyz[3 * i + 2] - h.origin[2];
    const double rho = std::hypot(x, y), r = std::hypot(rho, z);
    if (!(std::isfinite(r) && r > 0))
      Refuse(Quantity("points") + ": row " + std::to_string(i) + " (" + ShortestDigits(xyz[3 * i]) +
             ", " + ShortestDigits(xyz[3 * i + 1]) + ", " + ShortestDigits(xyz[3 * i + 2]) + ") " +
             (std::isfinite(r) ? "is the coefficients' origin, where the series has no value"
                               : "is not three finite numbers x y z"));
    if (r < R0 && h.brillouin) ++inside;
    const double t = z / r, u = rho / r;  // sin and cos of the latitude
    const double cl = rho > 0 ? x / rho : 1, sl = rho > 0 ? y / rho : 0;
    cosm[0] = 1, sinm[0] = 0;
    for (size_t m = 1; m < side; ++m) {
      cosm[m] = cosm[m - 1] * cl - sinm[m - 1] * sl;
      sinm[m] = sinm[m - 1] * cl + cosm[m - 1] * sl;
    }
    // (R0 / r)^k
    q[0] = 1;
    for (size_t k = 1; k < side; ++k) q[k] = q[k - 1] * (R0 / r);
    // The columns: P0 for m = 0; W for m >= 1 (offset m side).
    const auto column = [&](double* p, size_t m, double seed) {
      p[m] = seed;
      for (size_t k = m + 1; k < side; ++k)
        p[k] = A[m * side + k] * t * p[k - 1] - (k >= m + 2 ? B[m * side + k] * p[k - 2] : 0);
    };
    column(P0.data(), 0, 1);
    double sectoral = std::sqrt(3.0);  // Pbar_mm / cos(latitude)
    for (size_t m = 1; m < side; ++m) {
      if (m > 1) sectoral *= std::sqrt((2 * double(m) + 1) / (2 * double(m))) * u;
      column(&W[m * side], m, sectoral);
    }
    // Pbar_km of either kind, and Pbar_km / cos(latitude) for m >= 1.
    const auto P = [&](size_t k, size_t m) { return m == 0 ? P0[k] : u * W[m * side + k]; };
    double sum = 0, dr = 0, dphi = 0, dlambda = 0;
    for (size_t k = 0; k < side; ++k) {
      double s = 0, sphi = 0, slambda = 0;
      for (size_t m = 0; m <= k; ++m) {
        const double C = h.Cnm(int(k), int(m)), S = h.Snm(int(k), int(m));
        const double c = C * cosm[m] + S * sinm[m];
        s += P(k, m) * c;
        // d Pbar_km / d latitude
        const double dm = double(m);
        const double up = m + 1 <= k ? D[k * side + m] * P(k, m + 1) : 0;
        const double dP = up - (m == 0 ? 0 : dm * t * W[m * side + k]);
        sphi += dP * c;
        if (m > 0) slambda += dm * W[m * side + k] * (S * cosm[m] - C * sinm[m]);
      }
      sum += q[k] * s;
      dr -= double(k + 1) * q[k] * s;
      dphi += q[k] * sphi;
      dlambda += q[k] * slambda;
    }
    const double GM = h.GM(), rm = r * L;
    if (U) U[i] = GM / rm * sum;
    if (g) {
      // Radial, northward and eastward components, then x y z.
      const double gr = GM / (rm * rm) * dr, gphi = GM / (rm * rm) * dphi,
                   glambda = GM / (rm * rm) * dlambda;
      g[3 * i] = gr * u * cl - gphi * t * cl - glambda * sl;
      g[3 * i + 1] = gr * u * sl - gphi * t * sl + glambda * cl;
      g[3 * i + 2] = gr * t + gphi * u;
    }
  }
  return inside;
}

}  // namespace science
