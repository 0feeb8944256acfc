// The model's own far expansion: the moments of every facet about the
// model's ball, made as the tree's cells make theirs.
#include "engine/tree/expansion.h"

#include <cmath>
#include <new>
#include <vector>

#include "common/error.h"
#include "engine/multipole.h"
#include "engine/tree/internal.h"

namespace tree {

using detail::ChunkMoments;
using detail::ExactMonopole;
using detail::Field;
using detail::FoldOrders;
using detail::ForThreads;
using detail::InverseFactorials;
using detail::NormFactors;
using detail::Norms;
using detail::OrderWithin;
using multipole::Count;

void Expansion::Build(const kernel::Model& table, const double c[3], double a, int P,
                      const kernel::Isa& isa, ThreadTeam* team) {
  Release();
  P_ = P;
  for (int k = 0; k < 3; ++k) c_[k] = c[k];
  a_ = a * (1 + 1e-12) + 1e-300;
  const size_t K = Count(P) * 8, chunks = table.chunks();
  constexpr size_t kBlocks = 64;
  try {
    std::vector<double> block(kBlocks * K, 0.0);
    const std::vector<double> inv_fact2 = InverseFactorials(P);
    ForThreads(team, kBlocks, [&](unsigned t, unsigned m) {
      std::vector<double> scratch;
      for (size_t b = t; b < kBlocks; b += m)
        ChunkMoments(table, b * chunks / kBlocks, (b + 1) * chunks / kBlocks, c_, a_, c_, P, isa,
                     inv_fact2.data(), &block[b * K], &scratch);
    });
    moment_.assign(K, 0.0);
    for (size_t b = 0; b < kBlocks; ++b)
      for (size_t k = 0; k < K; ++k) moment_[k] += block[b * K + k];
    FoldOrders(moment_.data(), P);
    ExactMonopole(table, 0, chunks, moment_.data());
    norm_.resize(2 * size_t(P + 1));
    Norms(moment_.data(), P, NormFactors(P), norm_.data());
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
  // The monopole of s = n . (A - c) is the integral of s: three volumes.
  volume_ = moment_[0] / 3;
  area_ = q0_ = 0;
  for (size_t l = 0; l < chunks; ++l) {
    const kernel::Chunk& ch = table.chunk(l);
    for (uint32_t g = 0; g < ch.groups; ++g)
      for (int lane = 0; lane < kernel::kGroup; ++lane) {
        const double area = 0.5 * Field(ch, g, kernel::kArea2, lane);
        double s = 0;
        for (int k = 0; k < 3; ++k)
          s += Field(ch, g, kernel::kNx + k, lane) * (Field(ch, g, kernel::kAx + k, lane) - c_[k]);
        area_ += area;
        q0_ += area * std::fabs(s);
      }
  }
  isa_ = &isa;
}

int Expansion::OrderAt(double r, double tolerance) const {
  if (!isa_ || !(r > a_) || !(volume_ > 0)) return -1;
  const double rho = a_ / r, cos = std::sqrt(1 - rho * rho);
  // Times r: |g| to within tolerance x its lower bound; U likewise, split
  // between s and the dot product (p - c) . Psi as the tree does.
  const double g_low = volume_ * cos / ((r + a_) * (r + a_)), U_low = volume_ / (r + a_);
  const double budget_g = tolerance * std::min(g_low, U_low / r) * r;
  const double budget_0 = tolerance * U_low * r;
  return OrderWithin(norm_.data(), P_, area_, q0_, rho, budget_g, budget_0);
}

void Expansion::Evaluate(int p, size_t n, const double* x, const double* y, const double* z,
                         double* out) const {
  std::vector<double> psi(4 * n, 0.0);
  isa_->m2p(moment_.data(), P_, p, c_, 1 / a_, n, x, y, z, psi.data());
  for (size_t j = 0; j < n; ++j) {
    const double* s = &psi[4 * j];
    const double dx = x[j] - c_[0], dy = y[j] - c_[1], dz = z[j] - c_[2];
    out[4 * j] = 0.5 * (s[0] - (dx * s[1] + dy * s[2] + dz * s[3]));
    out[4 * j + 1] = -s[1];
    out[4 * j + 2] = -s[2];
    out[4 * j + 3] = -s[3];
  }
}

void Expansion::Release() {
  isa_ = nullptr;
  moment_ = {};
  norm_ = {};
}

}  // namespace tree
