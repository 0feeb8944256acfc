// The vectorised evaluator, written once for W lanes of doubles. Included by
// one unit per instruction set, inside that unit's target region, with
// KERNEL_NS (namespace) and KERNEL_WIDTH (2, 4 or 8 lanes) defined. No
// include guard: every inclusion is a separate copy in its own namespace.
//
// Vector operations are GCC vector extensions; square root, fused
// multiply-add and gathers use the intrinsics of the instruction set.

namespace kernel::KERNEL_NS {
namespace {

constexpr int W = KERNEL_WIDTH;
typedef double vd __attribute__((vector_size(8 * W)));
typedef long long vl __attribute__((vector_size(8 * W)));  // masks of vd comparisons
typedef unsigned long long vu __attribute__((vector_size(8 * W)));
typedef int vi __attribute__((vector_size(4 * W)));

inline vd Splat(double a) { return vd{} + a; }
inline vd Load(const double* p) {
  vd v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
inline void Store(double* p, vd v) { __builtin_memcpy(p, &v, sizeof v); }
inline vi LoadI(const int32_t* p) {
  vi v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

#if KERNEL_WIDTH == 8
inline vd Fma(vd a, vd b, vd c) { return (vd)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)c); }
inline vd Fnma(vd a, vd b, vd c) { return (vd)_mm512_fnmadd_pd((__m512d)a, (__m512d)b, (__m512d)c); }
inline vd Sqrt(vd a) { return (vd)_mm512_sqrt_pd((__m512d)a); }
inline vd Gather(const double* base, vi i) {
  return (vd)_mm512_i32gather_pd((__m256i)i, base, 8);
}
// About 14 bits of 1/a.
inline vd ApproxRecip(vd a) { return (vd)_mm512_rcp14_pd((__m512d)a); }
#elif KERNEL_WIDTH == 4
inline vd Fma(vd a, vd b, vd c) { return (vd)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c); }
inline vd Fnma(vd a, vd b, vd c) { return (vd)_mm256_fnmadd_pd((__m256d)a, (__m256d)b, (__m256d)c); }
inline vd Sqrt(vd a) { return (vd)_mm256_sqrt_pd((__m256d)a); }
inline vd Gather(const double* base, vi i) {
  return (vd)_mm256_i32gather_pd(base, (__m128i)i, 8);
}
inline vd ApproxRecip(vd a) {
  return (vd)_mm256_cvtps_pd(_mm_rcp_ps(_mm256_cvtpd_ps((__m256d)a)));
}
#else
inline vd Fma(vd a, vd b, vd c) { return a * b + c; }
inline vd Fnma(vd a, vd b, vd c) { return c - a * b; }
#if defined(__SSE2__)
inline vd Sqrt(vd a) { return (vd)_mm_sqrt_pd((__m128d)a); }
#else
inline vd Sqrt(vd a) {
  vd r;
  for (int k = 0; k < W; ++k) r[k] = __builtin_sqrt(a[k]);
  return r;
}
#endif
inline vd Gather(const double* base, vi i) {
  vd r;
  for (int k = 0; k < W; ++k) r[k] = base[i[k]];
  return r;
}
inline vd ApproxRecip(vd a) { return 1.0 / a; }
#endif

inline vd Abs(vd a) { return (vd)((vu)a & 0x7fffffffffffffffull); }
inline vd CopySign(vd magnitude, vd sign) {
  return (vd)(((vu)magnitude & 0x7fffffffffffffffull) | ((vu)sign & 0x8000000000000000ull));
}

// ln((lambda + 1)/(lambda - 1)) = 2 atanh(1/lambda), for lambda > 1.
//
// Far from the edge (lambda >= 5.83) the argument is s = 1/lambda itself,
// accurate to half an ulp however large lambda is; closer, the ratio
// y = (lambda + 1)/(lambda - 1) is split as 2^k m with m in [1/sqrt2, sqrt2)
// and s = (m - 1)/(m + 1) = (num - 2^k den)/(num + 2^k den), whose
// numerator is exact (Sterbenz) and whose den = lambda - 1 is exact near the
// edge. Either way ln = k ln2 + 2 atanh(s), |s| <= 0.1716, with atanh by
// the minimax polynomial of the classic log reduction (error below 2^-58).
inline vd EdgeLogPositive(vd lam) {
  const vd one = Splat(1.0);
  const vd num = lam + one, den = lam - one;
  const vl far = lam >= 5.83;
  // k from an approximate ratio: a wrong choice at the border of the
  // interval only moves s a hair past 0.1716.
  const vd ratio = num * ApproxRecip(den);
  vu kb = ((vu)ratio + (0x3ff0000000000000ull - 0x3fe6a09e667f3bcdull)) >> 52;  // k + 1023
  kb = far ? (vu{} + 1023) : kb;
  const vd scale = (vd)(kb << 52);  // 2^k
  const vd p = far ? one : Fnma(scale, den, num);
  const vd q = far ? lam : Fma(scale, den, num);
  const vd s = p / q;
  const vd z = s * s, w = z * z;
  const vd t1 = w * Fma(Fma(Splat(1.531383769920937332e-01), w, Splat(2.222219843214978396e-01)),
                        w, Splat(3.999999999940941908e-01));
  const vd t2 =
      z * Fma(Fma(Fma(Splat(1.479819860511658591e-01), w, Splat(1.818357216161805012e-01)), w,
                  Splat(2.857142874366239149e-01)),
              w, Splat(6.666666666666735130e-01));
  // k as a double: 2^52 + kb reinterpreted, less 2^52 + 1023.
  const vd k = (vd)(kb | 0x4330000000000000ull) - Splat(4503599627370496.0 + 1023.0);
  return Fma(k, Splat(6.93147180369123816490e-01),
             s + s + Fma(s, t1 + t2, k * Splat(1.90821492927058770002e-10)));
}

// Edge logarithms of the table form; lambda = (R_a + R_b)/L, il = 1/L.
// Guarded: 0 when x = (lambda - 1)/(lambda + 1) < 2.22045e-16, which is
// exactly lambda < kGuardLambda. Unguarded: +inf on the edge (lambda = 1)
// and not a number inside it, as the logarithm of the table form gives.
// A padding edge (il = 0) has logarithm 0.
template <bool kGuarded>
inline vd EdgeLogs(vd lam, vd il) {
  vd l = EdgeLogPositive(lam);
  if constexpr (kGuarded) {
    l = lam < kGuardLambda ? Splat(0.0) : l;
  } else {
    const vd special = lam == 1.0 ? Splat(__builtin_inf()) : Splat(__builtin_nan(""));
    l = lam > 1.0 ? l : special;
  }
  return il == 0.0 ? Splat(0.0) : l;
}

// atan2(y, x) over the full circle. The smaller of |x|, |y| over the larger
// gives t in [0, 1]; past tan(pi/8), t' = (t - 1)/(t + 1) and pi/4 is added,
// so one division yields an argument of at most tan(pi/8) for the odd
// minimax polynomial of atan (error below 1 ulp on |t| <= 7/16). atan2 of
// two zeros is 0 with the sign of y.
inline vd Atan2V(vd y, vd x) {
  const vd ax = Abs(x), ay = Abs(y);
  const vl swap = ay > ax;
  const vd lo = swap ? ax : ay, hi = swap ? ay : ax;
  const vl past = lo > hi * 0.41421356237309503;
  const vd p = past ? lo - hi : lo;
  const vd q = past ? lo + hi : hi;
  vd t = p / q;
  t = hi == 0.0 ? Splat(0.0) : t;
  const vd z = t * t, w = z * z;
  const vd s1 =
      z * Fma(Fma(Fma(Fma(Fma(Splat(1.62858201153657823623e-02), w,
                              Splat(4.97687799461593236017e-02)),
                          w, Splat(6.66107313738753120669e-02)),
                      w, Splat(9.09088713343650656196e-02)),
                  w, Splat(1.42857142725034663711e-01)),
              w, Splat(3.33333333333329318027e-01));
  const vd s2 = w * Fma(Fma(Fma(Fma(Splat(-3.65315727442169155270e-02), w,
                                    Splat(-5.83357013379057348645e-02)),
                                w, Splat(-7.69187620504482999495e-02)),
                            w, Splat(-1.11111104054623557880e-01)),
                        w, Splat(-1.99999999998764832476e-01));
  vd a = Fnma(t, s1 + s2, t);
  a = past ? Splat(7.85398163397448278999e-01) + (a + 3.06161699786838301793e-17) : a;
  a = swap ? Splat(1.57079632679489655800e+00) - (a - 6.12323399573676603587e-17) : a;
  a = x < 0.0 ? Splat(3.14159265358979311600e+00) - (a - 1.22464679914735317720e-16) : a;
  return CopySign(a, y);
}

// One chunk at one field point: vertex distances, edge logarithms, then the
// facet groups, added into the lane sums acc[0..4W) (U/2, gx, gy, gz).
template <bool kGuarded>
void PointChunk(const Chunk& c, double px, double py, double pz, double* R, double* L,
                double* acc) {
  const vd Px = Splat(px), Py = Splat(py), Pz = Splat(pz);
  for (uint32_t v = 0; v < c.vertices; v += W) {
    const vd dx = Load(c.vx + v) - Px, dy = Load(c.vy + v) - Py, dz = Load(c.vz + v) - Pz;
    Store(R + v, Sqrt(Fma(dx, dx, Fma(dy, dy, dz * dz))));
  }
  for (uint32_t e = 0; e < c.edges; e += W) {
    const vd il = Load(c.il + e);
    const vd lam = (Gather(R, LoadI(c.ea + e)) + Gather(R, LoadI(c.eb + e))) * il;
    Store(L + e, EdgeLogs<kGuarded>(lam, il));
  }
  vd sum = Load(acc), gx = Load(acc + W), gy = Load(acc + 2 * W), gz = Load(acc + 3 * W);
  const double* f = c.facet;
  const int32_t* ix = c.corner;
  for (uint32_t g = 0; g < c.groups; ++g, f += kFacetFields * kGroup, ix += kCornerFields * kGroup) {
    for (int half = 0; half < kGroup; half += W) {
#define KF(k) Load(f + (k) * kGroup + half)
#define KI(k) LoadI(ix + (k) * kGroup + half)
      const vd nx = KF(kNx), ny = KF(kNy), nz = KF(kNz);
      const vd r1x = KF(kAx) - Px, r1y = KF(kAy) - Py, r1z = KF(kAz) - Pz;
      const vd r2x = KF(kBx) - Px, r2y = KF(kBy) - Py, r2z = KF(kBz) - Pz;
      const vd r3x = KF(kCx) - Px, r3y = KF(kCy) - Py, r3z = KF(kCz) - Pz;
      const vd R1 = Gather(R, KI(kVa)), R2 = Gather(R, KI(kVb)), R3 = Gather(R, KI(kVc));
      const vd l1 = Gather(L, KI(kE1)), l2 = Gather(L, KI(kE2)), l3 = Gather(L, KI(kE3));
      const vd h = Fma(nx, r1x, Fma(ny, r1y, nz * r1z));
      const vd d1 = Fma(KF(kM1x), r1x, Fma(KF(kM1y), r1y, KF(kM1z) * r1z));
      const vd d2 = Fma(KF(kM2x), r2x, Fma(KF(kM2y), r2y, KF(kM2z) * r2z));
      const vd d3 = Fma(KF(kM3x), r3x, Fma(KF(kM3y), r3y, KF(kM3z) * r3z));
      const vd edges = Fma(d3, l3, Fma(d2, l2, d1 * l1));
      const vd r12 = Fma(r1x, r2x, Fma(r1y, r2y, r1z * r2z));
      const vd r13 = Fma(r1x, r3x, Fma(r1y, r3y, r1z * r3z));
      const vd r23 = Fma(r2x, r3x, Fma(r2y, r3y, r2z * r3z));
      const vd den = Fma(r23, R1, Fma(r13, R2, Fma(r12, R3, R1 * R2 * R3)));
      // r1 . (r2 x r3) = |(B - A) x (C - A)| h, free of the cancellation of
      // the triple product of three long, nearly parallel vectors.
      const vd omega = Atan2V(KF(kArea2) * h, den);
      const vd S = Fnma(h + h, omega, edges);
      sum = Fma(h, S, sum);
      gx = Fnma(nx, S, gx);
      gy = Fnma(ny, S, gy);
      gz = Fnma(nz, S, gz);
#undef KF
#undef KI
    }
  }
  Store(acc, sum);
  Store(acc + W, gx);
  Store(acc + 2 * W, gy);
  Store(acc + 3 * W, gz);
}

// Points per pass over the chunks: each chunk's table is read from memory
// once for this many points.
constexpr size_t kPoints = 32;

template <bool kGuarded>
void EvaluateAll(const Model& model, size_t first, size_t step, size_t count, const double* x,
                 const double* y, const double* z, const Out& out) {
  alignas(64) double R[kScratch], L[kScratch], acc[kPoints * 4 * W];
  size_t index[kPoints];
  for (size_t i = first; i < count;) {
    size_t n = 0;
    for (; n < kPoints && i < count; i += step) index[n++] = i;
    for (size_t k = 0; k < n * 4 * W; ++k) acc[k] = 0;
    for (size_t c = 0; c < model.chunks(); ++c)
      for (size_t j = 0; j < n; ++j)
        PointChunk<kGuarded>(model.chunk(c), x[index[j]], y[index[j]], z[index[j]], R, L,
                             acc + j * 4 * W);
    for (size_t j = 0; j < n; ++j) {
      double total[4];
      for (int q = 0; q < 4; ++q) {
        const double* a = acc + j * 4 * W + q * W;
        double s = a[0];
        for (int k = 1; k < W; ++k) s += a[k];
        total[q] = s;
      }
      const size_t p = index[j];
      if (out.U) out.U[p] = 0.5 * total[0];
      if (out.gx) out.gx[p] = total[1];
      if (out.gy) out.gy[p] = total[2];
      if (out.gz) out.gz[p] = total[3];
    }
  }
}

}  // namespace

void Evaluate(TableGuard guard, const Model& model, size_t first, size_t step, size_t count,
              const double* x, const double* y, const double* z, const Out& out) {
  if (guard == TableGuard::kRelative)
    EvaluateAll<true>(model, first, step, count, x, y, z, out);
  else
    EvaluateAll<false>(model, first, step, count, x, y, z, out);
}

double EdgeLog(double lambda) {
  const vd l = EdgeLogs<false>(Splat(lambda), Splat(1.0));
  return l[0];
}

double Atan2(double y, double x) { return Atan2V(Splat(y), Splat(x))[0]; }

}  // namespace kernel::KERNEL_NS
