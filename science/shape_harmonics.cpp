// The tetrahedra's solid-harmonic integrals (shape_harmonics.h), a facet a
// lane, in GCC vector extensions as wide as the instruction set chosen
// (engine/isa.h: AVX-512, AVX2 or the baseline's two lanes). The unit is
// built without fused multiply-adds, every lane does the same operations and
// the sums keep eight lanes on every processor, so every instruction set
// gives the same bits.
#include "science/shape_harmonics.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/isa_targets.h"

namespace science::shape {

namespace {

// Every facet f adds into logical lane f mod 8; the lanes are added in order
// at the end. A processor with vectors of W < 8 doubles takes the lanes W at
// a time, each lane with the same operations: the bits do not change.
constexpr size_t kLanes = 8;

template <int W>
struct Lanes {
  typedef double v __attribute__((vector_size(8 * W)));
};

template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::v Load(const double* p) {
  typename Lanes<W>::v v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <int W>
[[gnu::always_inline]] inline void Store(double* p, typename Lanes<W>::v v) {
  std::memcpy(p, &v, sizeof v);
}
template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::v Splat(double a) {
  typename Lanes<W>::v v;
  for (int l = 0; l < W; ++l) v[l] = a;
  return v;
}

// The lane sums of weight V_f T_n^m(f) over the facets: lanes[(2k + part) * 8 + l].
// chain holds, per chain c and part (real, imaginary), the coefficients
// m = 0 .. degree + 1 of the chain at the previous degree; entries past that
// degree stay 0, which is what the step reads beyond the top coefficient.
template <int W>
[[gnu::always_inline]] inline void LaneSums(int degree, const double* step, const double* corners,
                                            size_t count, const double origin[3], double inv_scale,
                                            double weight, double* lanes, double* chain) {
  using v = typename Lanes<W>::v;
  const size_t K = Index(degree + 1, 0), L = size_t(degree) + 2;
  std::fill(lanes, lanes + 2 * K * kLanes, 0.0);
  auto at = [&](int c, int part, size_t m) { return chain + ((2 * c + part) * L + m) * W; };
  for (size_t f0 = 0; f0 < count; f0 += W) {
    // alpha_k = (x_k + i y_k) / 2 and b_k = z_k: zeta . X_k = b_k + alpha_k w - conj(alpha_k) / w.
    v ar[3] = {}, ai[3] = {}, b[3] = {}, volume = {};
    for (int l = 0; l < W; ++l) {
      const bool in = f0 + l < count;
      const double* c = corners + 9 * (in ? f0 + l : 0);
      double p[9];
      for (int k = 0; k < 9; ++k) p[k] = in ? (c[k] - origin[k % 3]) * inv_scale : 0;
      for (int k = 0; k < 3; ++k) {
        ar[k][l] = 0.5 * p[3 * k];
        ai[k][l] = 0.5 * p[3 * k + 1];
        b[k][l] = p[3 * k + 2];
      }
      const double det = p[0] * (p[4] * p[8] - p[5] * p[7]) - p[1] * (p[3] * p[8] - p[5] * p[6]) +
                         p[2] * (p[3] * p[7] - p[4] * p[6]);
      volume[l] = weight * (det / 6);
    }
    double* const group = lanes + f0 % kLanes;
    std::fill(chain, chain + 6 * L * W, 0.0);
    for (int c = 0; c < 3; ++c) Store<W>(at(c, 0, 0), Splat<W>(1.0));
    Store<W>(group, Load<W>(group) + volume);
    for (int n = 1; n <= degree; ++n) {
      // Each chain's previous coefficients m - 1 and m, rolling upward;
      // c^{-1} = -conj(c^1).
      v pr[3], pi[3], cr[3], ci[3];
      for (int c = 0; c < 3; ++c) {
        pr[c] = -Load<W>(at(c, 0, 1));
        pi[c] = Load<W>(at(c, 1, 1));
        cr[c] = Load<W>(at(c, 0, 0));
        ci[c] = Load<W>(at(c, 1, 0));
      }
      for (int m = 0; m <= n; ++m) {
        const size_t k = Index(n, m);
        const v A = Splat<W>(step[3 * k]), B = Splat<W>(step[3 * k + 1]);
        const v G = Splat<W>(step[3 * k + 2]);
        v sr = Splat<W>(0.0), si = Splat<W>(0.0);  // chain c - 1 at degree n
        for (int c = 0; c < 3; ++c) {
          const v qr = Load<W>(at(c, 0, size_t(m) + 1)), qi = Load<W>(at(c, 1, size_t(m) + 1));
          // A alpha p + B b c - G conj(alpha) q, p and q the neighbours below and above.
          const v P1 = A * pr[c], P2 = A * pi[c], Q1 = G * qr, Q2 = G * qi;
          v nr = ar[c] * (P1 - Q1) - ai[c] * (P2 + Q2) + b[c] * (B * cr[c]);
          v ni = ar[c] * (P2 - Q2) + ai[c] * (P1 + Q1) + b[c] * (B * ci[c]);
          if (c) nr += sr, ni += si;
          Store<W>(at(c, 0, size_t(m)), nr);
          Store<W>(at(c, 1, size_t(m)), ni);
          pr[c] = cr[c], pi[c] = ci[c], cr[c] = qr, ci[c] = qi;
          sr = nr, si = ni;
        }
        double* a = group + 2 * k * kLanes;
        Store<W>(a, Load<W>(a) + volume * sr);
        Store<W>(a + kLanes, Load<W>(a + kLanes) + volume * si);
      }
    }
  }
}

using LaneSumsFunction = void (*)(int, const double*, const double*, size_t, const double*, double,
                                  double, double*, double*);

#define SHAPE_LANE_SUMS(name, W)                                                                   \
  void name(int degree, const double* step, const double* corners, size_t count,                   \
            const double* origin, double inv_scale, double weight, double* lanes, double* chain) { \
    LaneSums<W>(degree, step, corners, count, origin, inv_scale, weight, lanes, chain);            \
  }
#if KERNEL_X86
__attribute__((target("avx512f"))) SHAPE_LANE_SUMS(LaneSums8, 8) __attribute__((target("avx2")))
SHAPE_LANE_SUMS(LaneSums4, 4)
#endif
    SHAPE_LANE_SUMS(LaneSums2, 2)

        LaneSumsFunction LaneSumsFor(kernel::Simd simd) {
#if KERNEL_X86
  if (simd == kernel::Simd::kAvx512) return LaneSums8;
  if (simd == kernel::Simd::kAvx2) return LaneSums4;
#endif
  (void)simd;
  return LaneSums2;
}

}  // namespace

Integrals::Integrals(int degree, kernel::Simd simd)
    : degree_(degree),
      simd_(simd),
      step_(3 * Index(degree + 1, 0)),
      lanes_(2 * Index(degree + 1, 0) * kLanes),
      chain_(6 * (size_t(degree) + 2) * kLanes) {
  for (int n = 1; n <= degree; ++n)
    for (int m = 0; m <= n; ++m) {
      // sqrt((n - m)! (n + m)!) / n! over its value at degree n - 1 and
      // order m - 1, m, m + 1. The first and the last are equal at m = 0, so
      // the order-0 coefficient stays exactly real.
      const double up = double(n + m), down = double(n - m);
      double* s = &step_[3 * Index(n, m)];
      s[0] = std::sqrt(up * (up - 1)) / n;
      s[1] = std::sqrt(up * down) / n;
      s[2] = down >= 1 ? std::sqrt(down * (down - 1)) / n : 0;
    }
}

void Integrals::Sum(const double* corners, size_t count, const double origin[3], double inv_scale,
                    double weight, double* out) {
  LaneSumsFor(simd_)(degree_, step_.data(), corners, count, origin, inv_scale, weight,
                     lanes_.data(), chain_.data());
  // The lanes added in order.
  for (size_t k = 0; k < 2 * Count(); ++k) {
    const double* l = &lanes_[k * kLanes];
    double t = l[0];
    for (size_t j = 1; j < kLanes; ++j) t += l[j];
    out[k] = t;
  }
}

}  // namespace science::shape
