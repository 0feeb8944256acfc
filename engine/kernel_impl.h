// The vectorised table-form evaluator, written once for W lanes of doubles.
// Included by one unit per instruction set (isa_*.cpp), inside that unit's
// target region, with KERNEL_NS (namespace) and KERNEL_WIDTH (2, 4 or 8
// lanes) defined, before tree/operators_impl.h and isa_impl.h. No include
// guard: every inclusion is a separate copy in its own namespace.
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

// Every lane a: -0 + a is a for every a (+0 + a would turn -0 into +0), and
// the compiler folds it into broadcasts, even into the operands of arithmetic.
inline vd Splat(double a) {
  return -vd{} + a;
}
inline vd Load(const double* p) {
  vd v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
inline void Store(double* p, vd v) {
  __builtin_memcpy(p, &v, sizeof v);
}
inline vi LoadI(const int32_t* p) {
  vi v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

#if KERNEL_WIDTH == 8
inline vd Fma(vd a, vd b, vd c) {
  return (vd)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)c);
}
inline vd Fnma(vd a, vd b, vd c) {
  return (vd)_mm512_fnmadd_pd((__m512d)a, (__m512d)b, (__m512d)c);
}
inline vd Sqrt(vd a) {
  return (vd)_mm512_sqrt_pd((__m512d)a);
}
// Eight loads and three inserts: several times the throughput of the
// gather instruction on the processors measured.
inline vd Gather(const double* base, vi i) {
  const __m128d a = _mm_loadh_pd(_mm_load_sd(base + i[0]), base + i[1]);
  const __m128d b = _mm_loadh_pd(_mm_load_sd(base + i[2]), base + i[3]);
  const __m128d c = _mm_loadh_pd(_mm_load_sd(base + i[4]), base + i[5]);
  const __m128d d = _mm_loadh_pd(_mm_load_sd(base + i[6]), base + i[7]);
  const __m256d ab = _mm256_insertf128_pd(_mm256_castpd128_pd256(a), b, 1);
  const __m256d cd = _mm256_insertf128_pd(_mm256_castpd128_pd256(c), d, 1);
  return (vd)_mm512_insertf64x4(_mm512_castpd256_pd512(ab), cd, 1);
}
// About 14 bits of 1/a.
inline vd ApproxRecip(vd a) {
  return (vd)_mm512_rcp14_pd((__m512d)a);
}
inline bool All(vl m) {
  return _mm512_test_epi64_mask((__m512i)m, (__m512i)m) == 0xff;
}
#elif KERNEL_WIDTH == 4
inline vd Fma(vd a, vd b, vd c) {
  return (vd)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c);
}
inline vd Fnma(vd a, vd b, vd c) {
  return (vd)_mm256_fnmadd_pd((__m256d)a, (__m256d)b, (__m256d)c);
}
inline vd Sqrt(vd a) {
  return (vd)_mm256_sqrt_pd((__m256d)a);
}
inline vd Gather(const double* base, vi i) {
  return (vd)_mm256_i32gather_pd(base, (__m128i)i, 8);
}
inline vd ApproxRecip(vd a) {
  return (vd)_mm256_cvtps_pd(_mm_rcp_ps(_mm256_cvtpd_ps((__m256d)a)));
}
inline bool All(vl m) {
  return _mm256_movemask_pd((__m256d)m) == 0xf;
}
#else
inline vd Fma(vd a, vd b, vd c) {
  return a * b + c;
}
inline vd Fnma(vd a, vd b, vd c) {
  return c - a * b;
}
#if defined(__SSE2__)
inline vd Sqrt(vd a) {
  return (vd)_mm_sqrt_pd((__m128d)a);
}
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
inline vd ApproxRecip(vd a) {
  return 1.0 / a;
}
inline bool All(vl m) {
  return m[0] && m[1];
}
#endif

inline vd Abs(vd a) {
  return (vd)((vu)a & 0x7fffffffffffffffull);
}
inline vd CopySign(vd magnitude, vd sign) {
  return (vd)(((vu)magnitude & 0x7fffffffffffffffull) | ((vu)sign & 0x8000000000000000ull));
}

// ln((lambda + 1)/(lambda - 1)) = 2 atanh(1/lambda), for lambda > 1.
//
// Far from the edge (lambda >= kFarLambda) the argument is s = 1/lambda itself,
// accurate to half an ulp however large lambda is; closer, the ratio
// y = (lambda + 1)/(lambda - 1) is split as 2^k m with m in [1/sqrt2, sqrt2)
// and s = (m - 1)/(m + 1) = (num - 2^k den)/(num + 2^k den), whose
// numerator is exact (Sterbenz) and whose den = lambda - 1 is exact near the
// edge. Either way ln = k ln2 + 2 atanh(s), |s| <= 3 - 2 sqrt 2 = 0.1716,
// with atanh by the minimax polynomial of the classic log reduction (error
// below 2^-58): the coefficients Lg1 .. Lg7 of fdlibm's e_log.c, and ln2
// split as that file's ln2_hi + ln2_lo.
//
// The far branch starts where 1/lambda itself is within that bound:
// lambda >= 3 + 2 sqrt 2 = 5.8284..., rounded up to 5.83.
constexpr double kFarLambda = 5.83;
inline vd AtanhPolynomial(vd s) {
  const vd z = s * s, w = z * z;
  const vd t1 = w * Fma(Fma(Splat(1.531383769920937332e-01), w, Splat(2.222219843214978396e-01)), w,
                        Splat(3.999999999940941908e-01));
  const vd t2 =
      z * Fma(Fma(Fma(Splat(1.479819860511658591e-01), w, Splat(1.818357216161805012e-01)), w,
                  Splat(2.857142874366239149e-01)),
              w, Splat(6.666666666666735130e-01));
  return t1 + t2;
}

inline vd EdgeLogPositive(vd lam) {
  const vd one = Splat(1.0);
  if (All(lam >= kFarLambda)) {
    // Every lane far from its edge: k = 0, and the general path below would
    // compute exactly this (0 * ln2 and + 0 change no bit of a positive sum).
    const vd s = one / lam;
    return s + s + s * AtanhPolynomial(s);
  }
  const vd num = lam + one, den = lam - one;
  const vl far = lam >= kFarLambda;
  // k from an approximate ratio: a wrong choice at the border of the
  // interval only moves s a hair past 0.1716.
  const vd ratio = num * ApproxRecip(den);
  vu kb = ((vu)ratio + (0x3ff0000000000000ull - 0x3fe6a09e667f3bcdull)) >> 52;  // k + 1023
  kb = far ? (vu{} + 1023) : kb;
  const vd scale = (vd)(kb << 52);  // 2^k
  const vd p = far ? one : Fnma(scale, den, num);
  const vd q = far ? lam : Fma(scale, den, num);
  const vd s = p / q;
  // k as a double: 2^52 + kb reinterpreted, less 2^52 + 1023.
  const vd k = (vd)(kb | 0x4330000000000000ull) - Splat(4503599627370496.0 + 1023.0);
  return Fma(k, Splat(6.93147180369123816490e-01),
             s + s + Fma(s, AtanhPolynomial(s), k * Splat(1.90821492927058770002e-10)));
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
// minimax polynomial of atan (error below 1 ulp on |t| <= 7/16): the
// coefficients aT[0] .. aT[10] of fdlibm's s_atan.c, and pi/4, pi/2 and pi
// each split into a double and its remainder as in that file's atanhi/atanlo.
// atan2 of two zeros is 0 with the sign of y.
inline vd AtanPolynomial(vd t) {
  const vd z = t * t, w = z * z;
  const vd s1 =
      z *
      Fma(Fma(Fma(Fma(Fma(Splat(1.62858201153657823623e-02), w, Splat(4.97687799461593236017e-02)),
                      w, Splat(6.66107313738753120669e-02)),
                  w, Splat(9.09088713343650656196e-02)),
              w, Splat(1.42857142725034663711e-01)),
          w, Splat(3.33333333333329318027e-01));
  const vd s2 =
      w *
      Fma(Fma(Fma(Fma(Splat(-3.65315727442169155270e-02), w, Splat(-5.83357013379057348645e-02)), w,
                  Splat(-7.69187620504482999495e-02)),
              w, Splat(-1.11111104054623557880e-01)),
          w, Splat(-1.99999999998764832476e-01));
  return Fnma(t, s1 + s2, t);
}

inline vd Atan2V(vd y, vd x) {
  const vd ax = Abs(x), ay = Abs(y);
  constexpr double kTanPi8 = 0.41421356237309503;
  if (All((ay <= x * kTanPi8) & (x > 0.0))) {
    // Every lane within pi/8 of the positive x axis: no reduction, and the
    // general path below would compute exactly this.
    return CopySign(AtanPolynomial(ay / x), y);
  }
  const vl swap = ay > ax;
  const vd lo = swap ? ax : ay, hi = swap ? ay : ax;
  const vl past = lo > hi * kTanPi8;
  const vd p = past ? lo - hi : lo;
  const vd q = past ? lo + hi : hi;
  vd t = p / q;
  t = hi == 0.0 ? Splat(0.0) : t;
  vd a = AtanPolynomial(t);
  a = past ? Splat(7.85398163397448278999e-01) + (a + 3.06161699786838301793e-17) : a;
  a = swap ? Splat(1.57079632679489655800e+00) - (a - 6.12323399573676603587e-17) : a;
  a = x < 0.0 ? Splat(3.14159265358979311600e+00) - (a - 1.22464679914735317720e-16) : a;
  return CopySign(a, y);
}

// The facet factor S of one facet (or of W facets, or of one facet at W
// points) and h, from the facet's table values and what the field point
// makes of them. Both evaluators below call this one function, so a point
// gets the same bits from either.
struct Terms {
  vd S, h;
};
// A facet's table values: unit normal, unit edge normals m1..m3 and
// |(B - A) x (C - A)|; W facets, or one facet in every lane.
struct FacetLanes {
  vd nx, ny, nz, m1x, m1y, m1z, m2x, m2y, m2z, m3x, m3y, m3z, area2;
};
// The field point seen from the facet: r_k = vertex k - p, R_k = |r_k|, and
// the edge logarithms l1 (A->B), l2 (B->C), l3 (C->A).
struct PointLanes {
  vd r1x, r1y, r1z, r2x, r2y, r2z, r3x, r3y, r3z, R1, R2, R3, l1, l2, l3;
};
// The point's height h over the facet's plane and omega, half the signed
// solid angle under which it sees the facet.
struct Angle {
  vd h, omega;
};
inline Angle HalfSolidAngle(const FacetLanes& f, const PointLanes& p) {
  const vd h = Fma(f.nx, p.r1x, Fma(f.ny, p.r1y, f.nz * p.r1z));
  const vd r12 = Fma(p.r1x, p.r2x, Fma(p.r1y, p.r2y, p.r1z * p.r2z));
  const vd r13 = Fma(p.r1x, p.r3x, Fma(p.r1y, p.r3y, p.r1z * p.r3z));
  const vd r23 = Fma(p.r2x, p.r3x, Fma(p.r2y, p.r3y, p.r2z * p.r3z));
  const vd den = Fma(r23, p.R1, Fma(r13, p.R2, Fma(r12, p.R3, p.R1 * p.R2 * p.R3)));
  // r1 . (r2 x r3) = |(B - A) x (C - A)| h, free of the cancellation of the
  // triple product of three long, nearly parallel vectors.
  return {h, Atan2V(f.area2 * h, den)};
}
inline Terms FacetTerms(const FacetLanes& f, const PointLanes& p) {
  const vd d1 = Fma(f.m1x, p.r1x, Fma(f.m1y, p.r1y, f.m1z * p.r1z));
  const vd d2 = Fma(f.m2x, p.r2x, Fma(f.m2y, p.r2y, f.m2z * p.r2z));
  const vd d3 = Fma(f.m3x, p.r3x, Fma(f.m3y, p.r3y, f.m3z * p.r3z));
  const vd edges = Fma(d3, p.l3, Fma(d2, p.l2, d1 * p.l1));
  const Angle a = HalfSolidAngle(f, p);
  return {Fnma(a.h + a.h, a.omega, edges), a.h};
}

// The facet values of lanes `half` .. half + W - 1 of a group (f: the
// group's kFacetFields vectors of kGroup lanes), and the same of facet k of
// the group in every lane.
inline FacetLanes LoadFacets(const double* f, int half) {
  auto at = [&](int q) { return Load(f + q * kGroup + half); };
  return {at(kNx),  at(kNy),  at(kNz),  at(kM1x), at(kM1y), at(kM1z),  at(kM2x),
          at(kM2y), at(kM2z), at(kM3x), at(kM3y), at(kM3z), at(kArea2)};
}
inline FacetLanes BroadcastFacet(const double* f, int k) {
  auto at = [&](int q) { return Splat(f[q * kGroup + k]); };
  return {at(kNx),  at(kNy),  at(kNz),  at(kM1x), at(kM1y), at(kM1z),  at(kM2x),
          at(kM2y), at(kM2z), at(kM3x), at(kM3y), at(kM3z), at(kArea2)};
}

inline vd Distance(vd dx, vd dy, vd dz) {
  return Sqrt(Fma(dx, dx, Fma(dy, dy, dz * dz)));
}

// One chunk at one field point, W facets at a time: vertex distances, edge
// logarithms, then the facet groups, added into the lane sums acc[0..4W)
// (potential sum, gx, gy, gz; lane l holds the facets l, l + W, ...).
template <bool kGuarded>
void PointChunk(const Chunk& c, double px, double py, double pz, double* R, double* L,
                double* acc) {
  const vd Px = Splat(px), Py = Splat(py), Pz = Splat(pz);
  for (uint32_t v = 0; v < c.vertices; v += W)
    Store(R + v, Distance(Load(c.vx + v) - Px, Load(c.vy + v) - Py, Load(c.vz + v) - Pz));
  for (uint32_t e = 0; e < c.edges; e += W) {
    const vd il = Load(c.il + e);
    const vd lam = (Gather(R, LoadI(c.ea + e)) + Gather(R, LoadI(c.eb + e))) * il;
    Store(L + e, EdgeLogs<kGuarded>(lam, il));
  }
  vd sum = Load(acc), gx = Load(acc + W), gy = Load(acc + 2 * W), gz = Load(acc + 3 * W);
  const double* f = c.facet;
  const int32_t* ix = c.corner;
  for (uint32_t g = 0; g < c.groups;
       ++g, f += kFacetFields * kGroup, ix += kCornerFields * kGroup) {
    for (int half = 0; half < kGroup; half += W) {
      auto vertex = [&](int q) { return Load(f + q * kGroup + half); };
      auto at = [&](const double* base, int q) {
        return Gather(base, LoadI(ix + q * kGroup + half));
      };
      const FacetLanes facet = LoadFacets(f, half);
      const PointLanes point{vertex(kAx) - Px, vertex(kAy) - Py, vertex(kAz) - Pz, vertex(kBx) - Px,
                             vertex(kBy) - Py, vertex(kBz) - Pz, vertex(kCx) - Px, vertex(kCy) - Py,
                             vertex(kCz) - Pz, at(R, kVa),       at(R, kVb),       at(R, kVc),
                             at(L, kE1),       at(L, kE2),       at(L, kE3)};
      const Terms t = FacetTerms(facet, point);
      const vd nx = facet.nx, ny = facet.ny, nz = facet.nz;
      sum = Fma(t.h, t.S, sum);
      gx = Fnma(nx, t.S, gx);
      gy = Fnma(ny, t.S, gy);
      gz = Fnma(nz, t.S, gz);
    }
  }
  Store(acc, sum);
  Store(acc + W, gx);
  Store(acc + 2 * W, gy);
  Store(acc + 3 * W, gz);
}

// One chunk at W field points (one per lane), one facet at a time: no
// gathers, the facet's values broadcast. Facet k of a group is added into
// the sums of class k mod W, acc[class * 4W + quantity * W + point], in the
// order PointChunk adds it into its lane k mod W, so every point gets the
// same bits as from PointChunk.
// A chunk at W field points (one per lane): the distances of its vertices
// into R and the logarithms of its edges into L, W doubles each.
template <bool kGuarded>
inline void ChunkAtPoints(const Chunk& c, vd Px, vd Py, vd Pz, double* R, double* L) {
  for (uint32_t v = 0; v < c.vertices; ++v)
    Store(R + size_t{v} * W,
          Distance(Splat(c.vx[v]) - Px, Splat(c.vy[v]) - Py, Splat(c.vz[v]) - Pz));
  for (uint32_t e = 0; e < c.edges; ++e) {
    const vd il = Splat(c.il[e]);
    const vd lam = (Load(R + size_t(c.ea[e]) * W) + Load(R + size_t(c.eb[e]) * W)) * il;
    Store(L + size_t{e} * W, EdgeLogs<kGuarded>(lam, il));
  }
}

// Facet k of a group (f its facet values, ix its corner indices) seen from
// the lanes' points, with R and L as ChunkAtPoints made them.
inline PointLanes SeenFromPoints(const double* f, const int32_t* ix, int k, vd Px, vd Py, vd Pz,
                                 const double* R, const double* L) {
  auto vertex = [&](int q) { return Splat(f[q * kGroup + k]); };
  auto at = [&](const double* base, int q) { return Load(base + size_t(ix[q * kGroup + k]) * W); };
  return {vertex(kAx) - Px, vertex(kAy) - Py, vertex(kAz) - Pz, vertex(kBx) - Px, vertex(kBy) - Py,
          vertex(kBz) - Pz, vertex(kCx) - Px, vertex(kCy) - Py, vertex(kCz) - Pz, at(R, kVa),
          at(R, kVb),       at(R, kVc),       at(L, kE1),       at(L, kE2),       at(L, kE3)};
}

template <bool kGuarded>
void PointsChunk(const Chunk& c, vd Px, vd Py, vd Pz, double* R, double* L, double* acc) {
  ChunkAtPoints<kGuarded>(c, Px, Py, Pz, R, L);
  const double* f = c.facet;
  const int32_t* ix = c.corner;
  for (uint32_t g = 0; g < c.groups;
       ++g, f += kFacetFields * kGroup, ix += kCornerFields * kGroup) {
#pragma GCC unroll 8
    for (int k = 0; k < kGroup; ++k) {
      const FacetLanes facet = BroadcastFacet(f, k);
      const PointLanes point = SeenFromPoints(f, ix, k, Px, Py, Pz, R, L);
      const Terms t = FacetTerms(facet, point);
      const vd nx = facet.nx, ny = facet.ny, nz = facet.nz;
      double* a = acc + (k % W) * 4 * W;
      Store(a, Fma(t.h, t.S, Load(a)));
      Store(a + W, Fnma(nx, t.S, Load(a + W)));
      Store(a + 2 * W, Fnma(ny, t.S, Load(a + 2 * W)));
      Store(a + 3 * W, Fnma(nz, t.S, Load(a + 3 * W)));
    }
  }
}

// The totals of one point from its W lane sums, lanes added in order.
inline void Finish(const double lanes[4][W], size_t p, const FieldOut& out) {
  double total[4];
  for (int q = 0; q < 4; ++q) {
    double s = lanes[q][0];
    for (int k = 1; k < W; ++k) s += lanes[q][k];
    total[q] = s;
  }
  if (out.U) out.U[p] = 0.5 * total[0];
  if (out.gx) out.gx[p] = total[1];
  if (out.gy) out.gy[p] = total[2];
  if (out.gz) out.gz[p] = total[3];
}

// The lane sums of each of n points of a pass, handed to f(j, lanes): the
// first n / W * W points in blocks of W (PointsChunk's layout,
// acc[class][quantity][point] to lanes[quantity][class]), the rest one at a
// time (PointChunk's, acc[quantity][lane]).
template <class F>
void ForLanes(const double* acc, size_t n, F f) {
  const size_t whole = n / W * W;
  double lanes[4][W];
  for (size_t j = 0; j < whole; j += W) {
    const double* a = acc + j * 4 * W;
    for (int l = 0; l < W; ++l) {
      for (int q = 0; q < 4; ++q)
        for (int k = 0; k < W; ++k) lanes[q][k] = a[k * 4 * W + q * W + l];
      f(j + size_t(l), lanes);
    }
  }
  for (size_t j = whole; j < n; ++j) {
    for (int q = 0; q < 4; ++q)
      for (int k = 0; k < W; ++k) lanes[q][k] = acc[j * 4 * W + q * W + k];
    f(j, lanes);
  }
}

// Per-thread scratch (kernel.h: ThreadScratch, on the heap): distances and
// logarithms of one chunk at W points, and the lane sums of kPoints points.
struct Scratch {
  double R[kScratch * W];
  double L[kScratch * W];
  double acc[kPoints * 4 * W];
};
static_assert(sizeof(Scratch) <= kScratchBytes);

template <bool kGuarded>
void EvaluateAll(const Model& model, size_t first, size_t step, size_t count, const double* x,
                 const double* y, const double* z, const FieldOut& out) {
  Scratch& s = *static_cast<Scratch*>(ThreadScratch());
  size_t index[kPoints];
  for (size_t i = first; i < count;) {
    size_t n = 0;
    for (; n < kPoints && i < count; i += step) index[n++] = i;
    for (size_t k = 0; k < n * 4 * W; ++k) s.acc[k] = 0;
    const size_t whole = n / W * W;  // points taken W at a time
    for (size_t c = 0; c < model.chunks(); ++c) {
      const Chunk& ch = model.chunk(c);
      for (size_t j = 0; j < whole; j += W) {
        vd Px, Py, Pz;
        for (int l = 0; l < W; ++l) {
          Px[l] = x[index[j + l]];
          Py[l] = y[index[j + l]];
          Pz[l] = z[index[j + l]];
        }
        PointsChunk<kGuarded>(ch, Px, Py, Pz, s.R, s.L, s.acc + j * 4 * W);
      }
      for (size_t j = whole; j < n; ++j)
        PointChunk<kGuarded>(ch, x[index[j]], y[index[j]], z[index[j]], s.R, s.L,
                             s.acc + j * 4 * W);
    }
    ForLanes(s.acc, n, [&](size_t j, const double lanes[4][W]) { Finish(lanes, index[j], out); });
  }
}

// The lane formulas at one lane, for tests (isa_impl.h: kProbes).
double EdgeLog(double lambda) {
  const vd l = EdgeLogs<false>(Splat(lambda), Splat(1.0));
  return l[0];
}

double Atan2(double y, double x) {
  return Atan2V(Splat(y), Splat(x))[0];
}

}  // namespace
}  // namespace kernel::KERNEL_NS
