// The rotation-based translation of multipole moments (multipole.h).
#include "engine/multipole.h"

#include <algorithm>
#include <cmath>

namespace multipole {

int Order(double rho, double eps) {
  // Smallest p with rho^(p + 1) <= eps (1 - rho).
  const double p = std::ceil(std::log(eps * (1 - rho)) / std::log(rho)) - 1;
  return std::max(1, static_cast<int>(std::min(1e6, std::max(0.0, p))));
}

namespace {

// Coefficient (n, m) in the order of degrees: n (n + 1)/2 + m.
inline size_t ByDegree(int n, int m) {
  return size_t(n) * size_t(n + 1) / 2 + size_t(m);
}

// <n - 1, m - a; 1, a | n, m>: the Clebsch-Gordan coefficients that build
// degree n from degree n - 1 and degree 1.
double Coupling(int n, int m, int a) {
  const double den = double(2 * n - 1) * (a ? 2.0 * n : double(n));
  const double num = a > 0   ? double(n + m - 1) * double(n + m)
                     : a < 0 ? double(n - m - 1) * double(n - m)
                             : double(n - m) * double(n + m);
  return std::sqrt(std::max(0.0, num / den));
}

// v[k] (eight doubles: real parts, then imaginary parts) times e^(i m alpha)
// for the coefficients of order m, all degrees (by degree).
void Turn(double* v, int P, double alpha) {
  for (int m = 1; m <= P; ++m) {
    const double c = std::cos(m * alpha), s = std::sin(m * alpha);
    for (int n = m; n <= P; ++n) {
      double* k = v + 8 * ByDegree(n, m);
      for (int q = 0; q < 4; ++q) {
        const double re = k[q], im = k[4 + q];
        k[q] = re * c - im * s;
        k[4 + q] = re * s + im * c;
      }
    }
  }
}

}  // namespace

Translation::Translation(int P, const kernel::Isa& isa) : P_(P), isa_(&isa) {
  // d^1(pi/2), at [m' + 1][m + 1].
  const double h = std::sqrt(0.5);
  const double d1[3][3] = {{0.5, h, 0.5}, {-h, 0, h}, {0.5, -h, 0.5}};
  turn_.assign(size_t(P + 1) * size_t(P + 2) * size_t(2 * P + 3) / 6, 0.0);
  size_t first = 0;
  // d^n(pi/2) in full, at [(m' + n)(2n + 1) + m + n], from d^(n-1): the
  // coupling is orthogonal, so the recurrence keeps its rounding small.
  std::vector<double> prev{1.0}, cur;
  for (int n = 0; n <= P; ++n) {
    const int w = 2 * n + 1;
    if (n > 0) {
      const int pw = 2 * n - 1;
      cur.assign(size_t(w) * size_t(w), 0.0);
      for (int mp = -n; mp <= n; ++mp)
        for (int m = -n; m <= n; ++m) {
          double sum = 0;
          for (int a = -1; a <= 1; ++a) {
            const int pp = mp - a;
            if (pp < -(n - 1) || pp > n - 1) continue;
            const double ca = Coupling(n, mp, a);
            for (int b = -1; b <= 1; ++b) {
              const int p = m - b;
              if (p < -(n - 1) || p > n - 1) continue;
              sum += ca * Coupling(n, m, b) * d1[a + 1][b + 1] *
                     prev[size_t(pp + n - 1) * size_t(pw) + size_t(p + n - 1)];
            }
          }
          cur[size_t(mp + n) * size_t(w) + size_t(m + n)] = sum;
        }
      prev.swap(cur);
    }
    auto d = [&](int mp, int m) { return prev[size_t(mp + n) * size_t(w) + size_t(m + n)]; };
    // out_m = sum over m' of d_{m'm} in_{m'}, in_{-m'} = (-1)^m' conj(in_m'):
    // the real parts by d_{m'm} + (-1)^m' d_{-m',m}, the imaginary parts by
    // d_{m'm} - (-1)^m' d_{-m',m}. As d_{-m',m}(pi/2) = (-1)^(n+m) d_{m'm}(pi/2),
    // the first is 0 when n + m + m' is odd and the second when it is even:
    // one factor per pair, that of the real parts when n + m + m' is even.
    for (int m = 0; m <= n; ++m)
      for (int mp = 0; mp <= n; ++mp) {
        const double t = d(mp, m), u = mp ? ((mp & 1) ? -d(-mp, m) : d(-mp, m)) : 0.0;
        const bool real = (n + m + mp) % 2 == 0;
        turn_[first + size_t(m) * size_t(n + 1) + size_t(mp)] = real ? t + u : mp ? t - u : 0.0;
      }
    first += size_t(n + 1) * size_t(n + 1);
  }
  // sqrt((n + m)! (n - m)!) and 1/k!, in extended precision.
  std::vector<long double> fact(size_t(2 * P) + 2, 1.0L);
  for (size_t k = 1; k < fact.size(); ++k) fact[k] = fact[k - 1] * (long double)(k);
  scale_.resize(ByDegree(P, P) + 1);
  for (int n = 0; n <= P; ++n)
    for (int m = 0; m <= n; ++m)
      scale_[ByDegree(n, m)] = double(sqrtl(fact[size_t(n + m)] * fact[size_t(n - m)]));
  inv_scale_.resize(scale_.size());
  for (int n = 0; n <= P; ++n)
    for (int m = 0; m <= n; ++m)
      inv_scale_[ByDegree(n, m)] = double(1.0L / sqrtl(fact[size_t(n + m)] * fact[size_t(n - m)]));
  inv_fact_.resize(size_t(P) + 1);
  for (int k = 0; k <= P; ++k) inv_fact_[size_t(k)] = double(1.0L / fact[size_t(k)]);
}

void Translation::Add(const double* S, const double from[3], double a_from, const double to[3],
                      double a_to, double* M, std::vector<double>* scratch) const {
  const int P = P_;
  const size_t K = Count(P);
  const double ia = 1 / a_to, s = a_from * ia;
  const double d[3] = {(from[0] - to[0]) * ia, (from[1] - to[1]) * ia, (from[2] - to[2]) * ia};
  const double t = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  scratch->resize(16 * K);
  double* X = scratch->data();
  double* Y = X + 8 * K;
  // In: s^n M_n^m, the factor 2 of m > 0 undone, in the orthogonal basis
  // (its sign (-1)^m is in the first turn).
  double sn = 1;
  for (int n = 0; n <= P; ++n, sn *= s)
    for (int m = 0; m <= n; ++m) {
      const double f = sn * scale_[ByDegree(n, m)] * (m ? 0.5 : 1.0);
      const double* k = S + 8 * Index(n, m, P);
      double* x = X + 8 * ByDegree(n, m);
      for (int q = 0; q < 8; ++q) x[q] = f * k[q];
    }
  auto quarter = [&](const double* in, double* out) {
    isa_->quarter_turn(P, turn_.data(), in, out);
  };
  // To or from the orthogonal basis: times or over (-1)^m sqrt((n+m)!(n-m)!)
  // (the sign is in the turns).
  auto rescale = [&](double* v, bool over) {
    for (size_t k = 0; k < K; ++k) {
      const double f = over ? inv_scale_[k] : scale_[k];
      for (int q = 0; q < 8; ++q) v[8 * k + q] *= f;
    }
  };
  const double pi = 3.14159265358979323846;
  const double phi = std::atan2(d[1], d[0]), theta = std::atan2(std::hypot(d[0], d[1]), d[2]);
  // Turn the frame: the shift along +z (about z by -phi, then about y by
  // -theta), then back to the orthogonal basis' M.
  Turn(X, P, phi + pi / 2);
  quarter(X, Y);
  Turn(Y, P, pi - theta);
  quarter(Y, X);
  Turn(X, P, pi / 2);
  rescale(X, true);
  // The shift by t along z: M'_n^m = sum_j M_j^m t^(n - j)/(n - j)!.
  std::vector<double> tk(size_t(P) + 1);
  tk[0] = 1;
  for (int k = 1; k <= P; ++k) tk[size_t(k)] = tk[size_t(k) - 1] * t;
  for (int k = 0; k <= P; ++k) tk[size_t(k)] *= inv_fact_[size_t(k)];
  isa_->shift_z(P, tk.data(), X, Y);
  // Turn back (about y by theta, then about z by phi).
  rescale(Y, false);
  Turn(Y, P, pi / 2);
  quarter(Y, X);
  Turn(X, P, pi + theta);
  quarter(X, Y);
  Turn(Y, P, pi / 2 - phi);
  for (int n = 0; n <= P; ++n)
    for (int m = 0; m <= n; ++m) {
      const double f = (m ? 2.0 : 1.0) * inv_scale_[ByDegree(n, m)];
      const double* y = Y + 8 * ByDegree(n, m);
      double* out = M + 8 * Index(n, m, P);
      for (int q = 0; q < 8; ++q) out[q] += f * y[q];
    }
}

}  // namespace multipole
