// The single layer on W lanes, both ways (layer.h's Adjoint and Forward):
// the potential at a triangle's quadrature nodes of point sources,
// monopoles, dipoles and quadrupoles, eight sources a block; and the
// potential, attraction and tensor at points, eight a block, of the nodes
// as sources. Included by one unit per instruction
// set (isa_*.cpp) after kernel_impl.h, whose lane types and operations it
// uses, and before isa_impl.h.
namespace kernel::KERNEL_NS {
namespace {

// 1/sqrt(a): 0 where a overflowed to infinity (a point at 1e155 and more).
inline vd InverseSqrt(vd a) {
  return Splat(1.0) / Sqrt(a);
}

// At node r, source j at p with d = r - p: a_j / |d| + b_j . d / |d|^3 and,
// with the tensor's weights, sum over the six pairs (i, k) of c_j,ik
// (3 d_i d_k / |d|^5 - delta_ik / |d|^3); each kind times its factor.
template <bool kTensor>
void AdjointLayerOf(const LayerSources& s, const uint32_t* blocks, size_t nblocks,
                    const double* nodes, int q, double* phi) {
  vd acc[kLayerNodes];
  for (int i = 0; i < q; ++i) acc[i] = vd{};
  const vd fa = Splat(s.fa), fb = Splat(s.fb), fc = Splat(s.fc);
  for (size_t b = 0; b < nblocks; ++b) {
    const size_t first = size_t(blocks[b]) * kLayerBlock;
    for (size_t j = first; j < first + kLayerBlock; j += W) {
      const vd X = Load(s.x + j), Y = Load(s.y + j), Z = Load(s.z + j);
      const vd A = fa * Load(s.a + j);
      const vd B0 = fb * Load(s.b[0] + j), B1 = fb * Load(s.b[1] + j), B2 = fb * Load(s.b[2] + j);
      vd C[6] = {}, trace = {};
      if constexpr (kTensor) {
        for (int o = 0; o < 6; ++o) C[o] = fc * Load(s.c[o] + j);
        trace = C[0] + C[3] + C[5];
      }
      for (int i = 0; i < q; ++i) {
        const vd dx = Splat(nodes[3 * i]) - X, dy = Splat(nodes[3 * i + 1]) - Y,
                 dz = Splat(nodes[3 * i + 2]) - Z;
        const vd r2 = Fma(dx, dx, Fma(dy, dy, dz * dz));
        const vd inv = InverseSqrt(r2), inv2 = inv * inv, inv3 = inv2 * inv;
        vd v = Fma(A, inv, Fma(B0, dx, Fma(B1, dy, B2 * dz)) * inv3);
        if constexpr (kTensor) {
          const vd quad =
              Fma(C[0] * dx, dx,
                  Fma(C[1] * dx, dy,
                      Fma(C[2] * dx, dz, Fma(C[3] * dy, dy, Fma(C[4] * dy, dz, C[5] * dz * dz)))));
          v = v + Fnma(trace, inv3, Splat(3.0) * quad * inv3 * inv2);
        }
        acc[i] = acc[i] + v;
      }
    }
  }
  for (int i = 0; i < q; ++i) {
    double t = acc[i][0];
    for (int k = 1; k < W; ++k) t += acc[i][k];
    phi[i] += t;
  }
}

void AdjointLayer(const LayerSources& s, const uint32_t* blocks, size_t nblocks,
                  const double* nodes, int q, double* phi) {
  if (s.c[0])
    AdjointLayerOf<true>(s, blocks, nblocks, nodes, q, phi);
  else
    AdjointLayerOf<false>(s, blocks, nblocks, nodes, q, phi);
}

// At the points of each listed block, from the q nodes r_i of weights
// sigma_i, with d = r_i - p: sum sigma_i / |d| into U, sum sigma_i d / |d|^3
// into g and, with t, sum sigma_i (3 d d^T / |d|^5 - I / |d|^3) into t
// (xx, xy, xz, yy, yz, zz).
template <bool kTensor>
void LayerAtOf(const double* nodes, const double* sigma, int q, const uint32_t* blocks,
               size_t nblocks, const double* x, const double* y, const double* z,
               const LayerOut& out) {
  for (size_t b = 0; b < nblocks; ++b) {
    const size_t first = size_t(blocks[b]) * kLayerBlock;
    for (size_t j = first; j < first + kLayerBlock; j += W) {
      const vd X = Load(x + j), Y = Load(y + j), Z = Load(z + j);
      vd U = {}, g[3] = {}, t[6] = {};
      for (int i = 0; i < q; ++i) {
        const vd dx = Splat(nodes[3 * i]) - X, dy = Splat(nodes[3 * i + 1]) - Y,
                 dz = Splat(nodes[3 * i + 2]) - Z;
        const vd r2 = Fma(dx, dx, Fma(dy, dy, dz * dz));
        const vd inv = InverseSqrt(r2), inv2 = inv * inv, si = Splat(sigma[i]) * inv;
        const vd si3 = si * inv2;
        U = U + si;
        g[0] = Fma(si3, dx, g[0]), g[1] = Fma(si3, dy, g[1]), g[2] = Fma(si3, dz, g[2]);
        if constexpr (kTensor) {
          const vd si5 = Splat(3.0) * si3 * inv2, ax = si5 * dx, ay = si5 * dy;
          t[0] = t[0] + Fma(ax, dx, -si3), t[1] = Fma(ax, dy, t[1]), t[2] = Fma(ax, dz, t[2]);
          t[3] = t[3] + Fma(ay, dy, -si3), t[4] = Fma(ay, dz, t[4]);
          t[5] = t[5] + Fma(si5 * dz, dz, -si3);
        }
      }
      Store(out.U + j, Load(out.U + j) + U);
      for (int a = 0; a < 3; ++a) Store(out.g[a] + j, Load(out.g[a] + j) + g[a]);
      if constexpr (kTensor)
        for (int o = 0; o < 6; ++o) Store(out.t[o] + j, Load(out.t[o] + j) + t[o]);
    }
  }
}

void LayerAt(const double* nodes, const double* sigma, int q, const uint32_t* blocks,
             size_t nblocks, const double* x, const double* y, const double* z,
             const LayerOut& out) {
  if (out.t[0])
    LayerAtOf<true>(nodes, sigma, q, blocks, nblocks, x, y, z, out);
  else
    LayerAtOf<false>(nodes, sigma, q, blocks, nblocks, x, y, z, out);
}

}  // namespace
}  // namespace kernel::KERNEL_NS
