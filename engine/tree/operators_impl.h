// The tree engine's vectorised operators (tree/tree.h), written once for W
// lanes and included by each instruction set's unit (isa_*.cpp) after
// kernel_impl.h, whose lane helpers and chunk evaluators they use:
// - P2P: the exact table form over a list of chunks at a few points (the
//   facets of the leaves not accepted as far), and the tensor's likewise;
// - M2P: a cell's multipole expansion at W points at once, and its gradient;
// - P2M: the exact multipole moments of W triangles at once;
// - the quarter turn and the shift along z of M2M (multipole.h's
//   Translation) on whole coefficients (eight doubles) at once.
// The harmonics and the layout of the moments are multipole.h's.
namespace kernel::KERNEL_NS {
namespace {

using multipole::Index;

// The near field: the chunks listed at n <= kPoints points (contiguous
// arrays), the totals (U, gx, gy, gz) of point j added into sum[4j ..].
// Each chunk is evaluated as EvaluateAll does, so a point gets the bits the
// whole-model evaluator would give for the same facets.
template <bool kGuarded>
void P2P(const Model& model, const uint32_t* chunks, size_t nchunks, size_t n, const double* x,
         const double* y, const double* z, double* sum) {
  Scratch& s = *static_cast<Scratch*>(ThreadScratch());
  for (size_t k = 0; k < n * 4 * W; ++k) s.acc[k] = 0;
  const size_t whole = n / W * W;
  for (size_t c = 0; c < nchunks; ++c) {
    const Chunk& ch = model.chunk(chunks[c]);
    for (size_t j = 0; j < whole; j += W)
      PointsChunk<kGuarded>(ch, Load(x + j), Load(y + j), Load(z + j), s.R, s.L, s.acc + j * 4 * W);
    for (size_t j = whole; j < n; ++j)
      PointChunk<kGuarded>(ch, x[j], y[j], z[j], s.R, s.L, s.acc + j * 4 * W);
  }
  ForLanes(s.acc, n, [&](size_t j, const double lanes[4][W]) {
    for (int q = 0; q < 4; ++q) {
      double t = lanes[q][0];
      for (int k = 1; k < W; ++k) t += lanes[q][k];
      sum[4 * j + q] += q == 0 ? 0.5 * t : t;
    }
  });
}

// The near field of the gradient tensor: the chunks listed at n points,
// T_ab = d g_a/d x_b of point j added into t[9j + 3a + b]. Each facet adds
// n (sum_k m_k L_k - 2 n omega)^T (table.h's TensorFacet), with the edge
// guard of the relative table form and its mean of the two sides in the
// facet's plane. W points at a time, one per lane (a
// short last group padded with copies of its last point: lanes do not mix),
// the facets in chunk order: a point's bits depend on its chunks alone.
void P2PGradient(const Model& model, const uint32_t* chunks, size_t nchunks, size_t n,
                 const double* x, const double* y, const double* z, double* t) {
  Scratch& s = *static_cast<Scratch*>(ThreadScratch());
  for (size_t j0 = 0; j0 < n; j0 += W) {
    vd Px, Py, Pz;
    for (int l = 0; l < W; ++l) {
      const size_t j = j0 + l < n ? j0 + l : n - 1;
      Px[l] = x[j], Py[l] = y[j], Pz[l] = z[j];
    }
    vd T[9] = {};
    for (size_t q = 0; q < nchunks; ++q) {
      const Chunk& c = model.chunk(chunks[q]);
      ChunkAtPoints<true>(c, Px, Py, Pz, s.R, s.L);
      const double* f = c.facet;
      const int32_t* ix = c.corner;
      for (uint32_t g = 0; g < c.groups;
           ++g, f += kFacetFields * kGroup, ix += kCornerFields * kGroup)
        for (int k = 0; k < kGroup; ++k) {
          if (f[kArea2 * kGroup + k] == 0) continue;  // padding
          const FacetLanes fl = BroadcastFacet(f, k);
          const PointLanes pt = SeenFromPoints(f, ix, k, Px, Py, Pz, s.R, s.L);
          const Angle angle = HalfSolidAngle(fl, pt);
          // In the plane to within rounding: the mean of the two sides.
          const vd scale = Abs(Px) + Abs(Py) + Abs(Pz) + (pt.R1 + pt.R2 + pt.R3);
          const vd omega2 =
              Abs(angle.h) <= Splat(kInPlane) * scale ? Splat(0.0) : Splat(2.0) * angle.omega;
          const vd u[3] = {
              Fnma(fl.nx, omega2, Fma(fl.m3x, pt.l3, Fma(fl.m2x, pt.l2, fl.m1x * pt.l1))),
              Fnma(fl.ny, omega2, Fma(fl.m3y, pt.l3, Fma(fl.m2y, pt.l2, fl.m1y * pt.l1))),
              Fnma(fl.nz, omega2, Fma(fl.m3z, pt.l3, Fma(fl.m2z, pt.l2, fl.m1z * pt.l1)))};
          const vd nn[3] = {fl.nx, fl.ny, fl.nz};
          for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) T[3 * a + b] = Fma(nn[a], u[b], T[3 * a + b]);
        }
    }
    for (int l = 0; l < W && j0 + l < n; ++l)
      for (int k = 0; k < 9; ++k) t[9 * (j0 + l) + k] += T[k][l];
  }
}

// The irregular harmonics I_k^m of the lanes' points (X, Y, Z) for
// m = 0 .. q and k = m .. q, column by column, by multipole.h's
// recurrences, each handed to visit(k, m, real part, imaginary part).
template <class F>
inline void IrregularHarmonics(vd X, vd Y, vd Z, int q, F visit) {
  const vd r2 = Fma(X, X, Fma(Y, Y, Z * Z));
  const vd ir2 = Splat(1.0) / r2;
  const vd zr = Z * ir2;
  // (2k - 1) z / r^2, the same in every column: made once.
  vd za[multipole::kMaxOrder + 2];  // q <= kMaxOrder + 1 (the gradient's)
  for (int k = 1; k <= q; ++k) za[k] = Splat(2.0 * k - 1) * zr;
  vd dr = Splat(1.0) / Sqrt(r2), di = Splat(0.0);  // I_m^m
  for (int m = 0; m <= q; ++m) {
    if (m > 0) {
      const vd f = Splat(2.0 * m - 1) * ir2;
      const vd nr = Fnma(Y, di, X * dr) * f;
      const vd ni = Fma(Y, dr, X * di) * f;
      dr = nr, di = ni;
    }
    visit(m, m, dr, di);
    if (m == q) break;
    vd pr = dr, pi = di, cr = za[m + 1] * dr, ci = za[m + 1] * di;
    visit(m + 1, m, cr, ci);
    for (int k = m + 2; k <= q; ++k) {
      const vd a = za[k];
      const vd b = Splat(double(k - 1 + m) * double(k - 1 - m)) * ir2;
      const vd nr = Fnma(b, pr, a * cr), ni = Fnma(b, pi, a * ci);
      pr = cr, pi = ci, cr = nr, ci = ni;
      visit(k, m, cr, ci);
    }
  }
}

// The lanes' points relative to c, scaled by 1/a: points j0 .. j0 + W - 1
// (past n, copies of the last).
inline void ScaledLanes(size_t j0, size_t n, const double* x, const double* y, const double* z,
                        const double c[3], double inv_a, vd* X, vd* Y, vd* Z) {
  for (int l = 0; l < W; ++l) {
    const size_t j = j0 + l < n ? j0 + l : n - 1;
    (*X)[l] = (x[j] - c[0]) * inv_a;
    (*Y)[l] = (y[j] - c[1]) * inv_a;
    (*Z)[l] = (z[j] - c[2]) * inv_a;
  }
}

// The far field of one cell (moments M stored to order P, centre c, 1/a)
// to order p <= P at n points: the four potentials of point j added into
// psi[4j ..]. Every lane does the same operations: a point's value does not
// depend on the others.
void M2P(const double* M, int P, int p, const double c[3], double inv_a, size_t n, const double* x,
         const double* y, const double* z, double* psi) {
  for (size_t j0 = 0; j0 < n; j0 += W) {
    vd X, Y, Z;
    ScaledLanes(j0, n, x, y, z, c, inv_a, &X, &Y, &Z);
    vd s[8] = {};  // real, then imaginary products
    IrregularHarmonics(X, Y, Z, p, [&](int k, int m, vd ir, vd ii) {
      const double* K = M + 8 * Index(k, m, P);
      for (int q = 0; q < 4; ++q) {
        s[q] = Fma(Splat(K[q]), ir, s[q]);
        s[4 + q] = Fma(Splat(K[4 + q]), ii, s[4 + q]);
      }
    });
    for (int l = 0; l < W && j0 + l < n; ++l)
      for (int q = 0; q < 4; ++q) psi[4 * (j0 + l) + q] += (s[q][l] - s[4 + q][l]) * inv_a;
  }
}

// The gradient of a cell's expansion of the three normal densities (moments
// M stored to order P, taken to order p <= P) at n points: d Psi_k/d x_b of
// point j added into grad[9j + 3k + b]. With d+ = d/dx + i d/dy, the
// irregular harmonics obey dz I_n^m = -I_{n+1}^m and d+ I_n^m = -I_{n+1}^{m+1},
// so that for phi = (1/a) sum_n sum_m M_n^m I_n^m (K the stored moments, the
// factor 2 of m > 0 folded in)
//   dz phi = -(1/a^2) Re sum_{n,m} K_n^m I_{n+1}^m,
//   d+ phi = -(1/a^2) sum_n [K_n^0 I_{n+1}^1
//                            + (1/2) sum_{m>0} (K_n^m I_{n+1}^{m+1} - conj(K_n^m I_{n+1}^{m-1}))],
// the last from the terms of -m (M^-m = (-1)^m conj M^m); dx phi and dy phi
// are the real and imaginary parts of d+ phi. The harmonics to order p + 1
// are made first, by M2P's recurrences.
void M2PGradient(const double* M, int P, int p, const double c[3], double inv_a, size_t n,
                 const double* x, const double* y, const double* z, double* grad) {
  const int q = p + 1;
  // I_k^j at 2 Index(k, j, q): real, imaginary (held as doubles: a vector
  // of vd would be the same type in units of other instruction sets).
  thread_local std::vector<double, memory::Aligned<double>> store;
  store.resize(2 * multipole::Count(q) * W);
  vd* const harm = reinterpret_cast<vd*>(store.data());
  const auto at = [&](int k, int j) { return harm + 2 * Index(k, j, q); };
  const double scale = inv_a * inv_a;
  for (size_t j0 = 0; j0 < n; j0 += W) {
    vd X, Y, Z;
    ScaledLanes(j0, n, x, y, z, c, inv_a, &X, &Y, &Z);
    IrregularHarmonics(X, Y, Z, q, [&](int k, int m, vd ir, vd ii) {
      vd* h = at(k, m);
      h[0] = ir, h[1] = ii;
    });
    // Per density: Re of the z sum as two parts, Re and Im of the d+ sum
    // as two parts each.
    vd zre[3] = {}, zim[3] = {}, gre[3] = {}, gim[3] = {}, hre[3] = {}, him[3] = {};
    const vd half = Splat(0.5);
    for (int m = 0; m <= p; ++m)
      for (int nn = m; nn <= p; ++nn) {
        const double* K = M + 8 * Index(nn, m, P);
        const vd* I = at(nn + 1, m);
        const vd* up = at(nn + 1, m + 1);
        // A = w I^{m+1} - I^{m-1}/2 and B = w I^{m+1} + I^{m-1}/2 (w = 1
        // for m = 0, which has no term of -m; else 1/2): Re d+ gains
        // Re(K A), Im d+ gains Im(K B).
        vd ar, ai, br, bi;
        if (m == 0) {
          ar = br = up[0], ai = bi = up[1];
        } else {
          const vd* lo = at(nn + 1, m - 1);
          const vd ur = half * up[0], ui = half * up[1], lr = half * lo[0], li = half * lo[1];
          ar = ur - lr, ai = ui - li, br = ur + lr, bi = ui + li;
        }
        for (int k = 0; k < 3; ++k) {
          const vd kr = Splat(K[1 + k]), ki = Splat(K[5 + k]);
          zre[k] = Fma(kr, I[0], zre[k]);
          zim[k] = Fma(ki, I[1], zim[k]);
          gre[k] = Fma(kr, ar, gre[k]);
          gim[k] = Fma(ki, ai, gim[k]);
          hre[k] = Fma(kr, bi, hre[k]);
          him[k] = Fma(ki, br, him[k]);
        }
      }
    for (int l = 0; l < W && j0 + l < n; ++l)
      for (int k = 0; k < 3; ++k) {
        double* g = grad + 9 * (j0 + l) + 3 * k;
        g[0] -= (gre[k][l] - gim[k][l]) * scale;
        g[1] -= (hre[k][l] + him[k][l]) * scale;
        g[2] -= (zre[k][l] - zim[k][l]) * scale;
      }
  }
}

// Exact moments of facets [0, n) about c (scaled by 1/a) to order P, added
// into M (unfolded: without the factor 2 of m > 0). Facet arrays: vertices
// A, B, C as v[0..8][f], area[f], densities s[0..3][f]. The integral of
// (l . y)^n over a triangle is 2 n!/(n + 2)! area h_n(l . A, l . B, l . C)
// (h_n the complete homogeneous polynomial), so with l = zeta(w) the moment
// R_n^m is 2 area/(n + 2)! times the w^m coefficient of h_n, found by
// h_n(a0, a1, a2) = G2_n, G2_n = a2 G2_{n-1} + G1_n, G1_n = a1 G1_{n-1} + G0_n,
// G0_n = a0^n: Laurent polynomials in w whose coefficients obey
// c_-m = (-1)^m conj(c_m), so only m >= 0 is kept.
void P2M(size_t n, const double* const v[9], const double* area, const double* const s[4],
         const double c[3], double inv_a, int P, const double* inv_fact2, double* M) {
  const size_t K = multipole::Count(P);
  const size_t L = size_t(P) + 2;  // coefficients kept per polynomial
  // Lane sums of the moments, then the three chains' two buffers.
  thread_local std::vector<double, memory::Aligned<double>> store;
  store.assign((K * 8 + 3 * 2 * 2 * L) * W, 0.0);
  vd* const lanes = reinterpret_cast<vd*>(store.data());
  vd* const chain = lanes + K * 8;
  for (size_t f0 = 0; f0 < n; f0 += W) {
    vd ar[3], ai[3], b[3], weight, dens[4];
    for (int l = 0; l < W; ++l) {
      const bool in = f0 + l < n;
      const size_t f = in ? f0 + l : 0;
      for (int k = 0; k < 3; ++k) {
        ar[k][l] = in ? 0.5 * (v[3 * k][f] - c[0]) * inv_a : 0;
        ai[k][l] = in ? 0.5 * (v[3 * k + 1][f] - c[1]) * inv_a : 0;
        b[k][l] = in ? (v[3 * k + 2][f] - c[2]) * inv_a : 0;
      }
      weight[l] = in ? 2 * area[f] : 0;
      for (int q = 0; q < 4; ++q) dens[q][l] = in ? s[q][f] : 0;
    }
    // chain[((i * 2 + buffer) * 2 + part) * L + m], each a vd.
    vd* G = chain;
    auto at = [&](int i, int buf, int part) { return G + ((i * 2 + buf) * 2 + part) * L; };
    for (int i = 0; i < 3; ++i)
      for (int buf = 0; buf < 2; ++buf)
        for (int part = 0; part < 2; ++part)
          for (size_t m = 0; m < L; ++m) at(i, buf, part)[m] = Splat(0.0);
    for (int i = 0; i < 3; ++i) at(i, 0, 0)[0] = Splat(1.0);
    vd* acc = lanes;
    auto accumulate = [&](int nn, const vd* gr, const vd* gi) {
      const vd w = weight * Splat(inv_fact2[nn]);
      for (int m = 0; m <= nn; ++m) {
        const vd tr = w * gr[m], ti = -(w * gi[m]);  // conj
        vd* a = acc + 8 * Index(nn, m, P);
        for (int q = 0; q < 4; ++q) {
          a[q] = Fma(dens[q], tr, a[q]);
          a[4 + q] = Fma(dens[q], ti, a[4 + q]);
        }
      }
    };
    accumulate(0, at(2, 0, 0), at(2, 0, 1));
    for (int nn = 1; nn <= P; ++nn) {
      const int old = (nn - 1) & 1, cur = nn & 1;
      for (int i = 0; i < 3; ++i) {
        const vd *orr = at(i, old, 0), *oi = at(i, old, 1);
        vd *nr = at(i, cur, 0), *ni = at(i, cur, 1);
        const vd *pr = i ? at(i - 1, cur, 0) : nullptr, *pi = i ? at(i - 1, cur, 1) : nullptr;
        for (int m = 0; m <= nn; ++m) {
          // old[m - 1], old[m], old[m + 1]; old[-1] = -conj(old[1]); zero past nn - 1.
          const vd lr = m ? orr[m - 1] : -orr[1], li = m ? oi[m - 1] : oi[1];
          const vd mr = m < nn ? orr[m] : Splat(0.0), mi = m < nn ? oi[m] : Splat(0.0);
          const vd hr = m + 1 < nn ? orr[m + 1] : Splat(0.0);
          const vd hi = m + 1 < nn ? oi[m + 1] : Splat(0.0);
          // alpha = ar + i ai, beta = b, gamma = -conj(alpha) = -ar + i ai.
          vd rr = Fnma(ai[i], li, ar[i] * lr);
          vd ri = Fma(ai[i], lr, ar[i] * li);
          rr = Fma(b[i], mr, rr);
          ri = Fma(b[i], mi, ri);
          rr = Fnma(ar[i], hr, Fnma(ai[i], hi, rr));
          ri = Fnma(ar[i], hi, Fma(ai[i], hr, ri));
          if (i) {
            rr += pr[m];
            ri += pi[m];
          }
          nr[m] = rr;
          ni[m] = ri;
        }
      }
      accumulate(nn, at(2, cur, 0), at(2, cur, 1));
    }
  }
  // Lanes added in order into M.
  const vd* acc = lanes;
  for (size_t k = 0; k < K * 8; ++k) {
    double t = acc[k][0];
    for (int l = 1; l < W; ++l) t += acc[k][l];
    M[k] += t;
  }
}

// Four doubles (the real or the imaginary parts of a coefficient) as
// 4 / W vectors, or half a vector for W = 8 (its unit has the 4-lane
// instructions).
#if KERNEL_WIDTH == 8
typedef double v4 __attribute__((vector_size(32)));
inline v4 Fma4(v4 a, v4 b, v4 c) {
  return (v4)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c);
}
#else
struct v4 {
  vd v[4 / W];
};
inline v4 Fma4(v4 a, v4 b, v4 c) {
  for (int k = 0; k < 4 / W; ++k) c.v[k] = Fma(a.v[k], b.v[k], c.v[k]);
  return c;
}
#endif
inline v4 Load4(const double* p) {
  v4 v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
inline v4 Splat4(double a) {
  v4 v;
  for (int k = 0; k < 4; ++k) reinterpret_cast<double*>(&v)[k] = -0.0 + a;
  return v;
}

// The quarter turn of the moments of every degree n <= P (multipole.h):
// out_m = sum over m' <= n of t[m][m'] times the real parts of in_m' when
// n + m + m' is even, else times their imaginary parts (into those of
// out_m), each coefficient eight doubles (real parts, then imaginary
// parts), the table t of degree n at n (n + 1)(2n + 1)/6 by rows m.
void QuarterTurn(int P, const double* turn, const double* in, double* out) {
  for (int n = 0; n <= P; ++n) {
    const size_t w = size_t(n) + 1;
    const double* t = turn + size_t(n) * w * (2 * size_t(n) + 1) / 6;
    const double* vin = in + 4 * size_t(n) * w;
    double* vout = out + 4 * size_t(n) * w;
    for (size_t m = 0; m < w; ++m) {
      const double* row = t + m * w;
      // m' of the real parts: n + m + m' even (m' = 0 moves no imaginary
      // part: in_0 is real).
      const size_t first = (size_t(n) + m) % 2;
      v4 re = Splat4(0), im = Splat4(0), re2 = Splat4(0), im2 = Splat4(0);
      size_t mp = first;
      for (; mp + 2 < w; mp += 4) {
        re = Fma4(Splat4(row[mp]), Load4(vin + 8 * mp), re);
        im = Fma4(Splat4(row[mp + 1]), Load4(vin + 8 * (mp + 1) + 4), im);
        re2 = Fma4(Splat4(row[mp + 2]), Load4(vin + 8 * (mp + 2)), re2);
        if (mp + 3 < w) im2 = Fma4(Splat4(row[mp + 3]), Load4(vin + 8 * (mp + 3) + 4), im2);
      }
      for (; mp < w; mp += 2) {
        re = Fma4(Splat4(row[mp]), Load4(vin + 8 * mp), re);
        if (mp + 1 < w) im = Fma4(Splat4(row[mp + 1]), Load4(vin + 8 * (mp + 1) + 4), im);
      }
      double r[4], i[4], r2[4], i2[4];
      __builtin_memcpy(r, &re, sizeof r);
      __builtin_memcpy(i, &im, sizeof i);
      __builtin_memcpy(r2, &re2, sizeof r2);
      __builtin_memcpy(i2, &im2, sizeof i2);
      for (int q = 0; q < 4; ++q) {
        vout[8 * m + size_t(q)] = r[q] + r2[q];
        vout[8 * m + 4 + size_t(q)] = i[q] + i2[q];
      }
    }
  }
}

// The shift of M2M along z (multipole.h): out_n^m = sum over m <= j <= n of
// in_j^m tk[n - j], coefficients of eight doubles by degree (n (n + 1)/2 + m).
void ShiftZ(int P, const double* tk, const double* in, double* out) {
  constexpr int V = 8 / W;
  auto at = [](int n, int m) { return 8 * (size_t(n) * size_t(n + 1) / 2 + size_t(m)); };
  for (int m = 0; m <= P; ++m) {
    int n = m;
    for (; n + 4 <= P + 1; n += 4) {
      vd acc[4][V] = {};
      for (int j = m; j <= n + 3; ++j) {
        vd v[V];
        for (int k = 0; k < V; ++k) v[k] = Load(in + at(j, m) + size_t(k) * W);
        for (int r = 0; r < 4; ++r)
          if (j <= n + r)
            for (int k = 0; k < V; ++k) acc[r][k] = Fma(Splat(tk[n + r - j]), v[k], acc[r][k]);
      }
      for (int r = 0; r < 4; ++r)
        for (int k = 0; k < V; ++k) Store(out + at(n + r, m) + size_t(k) * W, acc[r][k]);
    }
    for (; n <= P; ++n) {
      vd acc[V] = {};
      for (int j = m; j <= n; ++j)
        for (int k = 0; k < V; ++k)
          acc[k] = Fma(Splat(tk[n - j]), Load(in + at(j, m) + size_t(k) * W), acc[k]);
      for (int k = 0; k < V; ++k) Store(out + at(n, m) + size_t(k) * W, acc[k]);
    }
  }
}

}  // namespace
}  // namespace kernel::KERNEL_NS
