// The source tree: the facets' partition into cells, the leaf-ordered
// table, the cells' balls and charges.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "common/error.h"
#include "engine/table.h"
#include "engine/tree/internal.h"
#include "engine/tree/tree.h"

namespace tree {

using detail::ForThreads;
using detail::Keys;
using detail::LongestAxis;
using detail::SplitAt;

void Tree::Build(const Facets& facets, const Settings& settings, const kernel::Isa& isa,
                 ThreadTeam* team) {
  Release();
  settings_ = settings;
  isa_ = &isa;
  P_ = StoredOrder(settings);
  try {
    Doubles ordered;
    {
      const std::vector<uint32_t> perm = Partition(facets);
      if (perm.empty()) return;
      std::vector<uint32_t> starts;
      for (const Cell& c : cell_)
        if (c.child == 0) starts.push_back(c.begin);
      LeafTable(facets, perm, starts, &ordered);
    }
    CellBalls(ordered, team);
    CellCharges(ordered);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
}

// The cells in depth-first order, the first child right after its parent;
// returns the facets of non-zero area in tree order.
std::vector<uint32_t> Tree::Partition(const Facets& facets) {
  std::vector<uint32_t> perm;
  std::vector<double> centroid(size_t{facets.n} * 3);
  perm.reserve(facets.n);
  for (uint32_t f = 0; f < facets.n; ++f) {
    double v[9];
    facets.Corners(f, v);
    const SIEntry e = MakeSIEntry(v);
    if (e.nx == 0 && e.ny == 0 && e.nz == 0) continue;
    for (int k = 0; k < 3; ++k)
      centroid[k * size_t{facets.n} + f] = (v[k] + v[3 + k] + v[6 + k]) / 3;
    perm.push_back(f);
  }
  const Keys keys{
      {centroid.data(), centroid.data() + facets.n, centroid.data() + 2 * size_t{facets.n}}};
  const uint32_t kept = static_cast<uint32_t>(perm.size());
  cell_.clear();
  if (kept == 0) return perm;
  struct Pending {
    uint32_t begin, end, parent;
  };
  std::vector<Pending> stack{{0, kept, UINT32_MAX}};
  uint32_t leaves = 0;
  while (!stack.empty()) {
    const Pending p = stack.back();
    stack.pop_back();
    const uint32_t id = static_cast<uint32_t>(cell_.size());
    if (p.parent != UINT32_MAX && p.parent + 1 != id) cell_[p.parent].child = id;
    cell_.push_back({{0, 0, 0}, 0, p.begin, p.end, 0, 0, 0, -1, 0, 0});
    if (p.end - p.begin <= settings_.leaf) {
      cell_.back().leaf = leaves;
      cell_.back().leaf_end = ++leaves;
      continue;
    }
    const int axis = LongestAxis(perm.data(), p.begin, p.end, keys);
    const uint32_t mid = p.begin + (p.end - p.begin) / 2;
    SplitAt(perm.data(), p.begin, mid, p.end, keys, axis);
    stack.push_back({mid, p.end, id});
    stack.push_back({p.begin, mid, id});
  }
  // An inner cell's leaves are those of its first child to its last.
  for (size_t i = cell_.size(); i-- > 0;) {
    Cell& c = cell_[i];
    if (c.child == 0) continue;
    c.leaf = cell_[i + 1].leaf;
    c.leaf_end = cell_[c.child].leaf_end;
  }
  return perm;
}

// The facets in tree order (kept in `ordered` for the cells' balls), and
// their table, one chunk per leaf.
void Tree::LeafTable(const Facets& facets, const std::vector<uint32_t>& perm,
                     const std::vector<uint32_t>& starts, Doubles* ordered) {
  const size_t kept = perm.size();
  ordered->resize(kept * 9);
  for (size_t i = 0; i < kept; ++i) facets.Corners(perm[i], &(*ordered)[9 * i]);
  near_.Build(Facets(static_cast<uint32_t>(kept), ordered->data()), starts);
}

// Cell balls: centre of the box of the vertices, radius to the farthest.
void Tree::CellBalls(const Doubles& ordered, ThreadTeam* team) {
  const size_t cells = cell_.size();
  ForThreads(team, cells, [&](unsigned t, unsigned m) {
    for (size_t i = t; i < cells; i += m) {
      Cell& c = cell_[i];
      double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
      for (size_t k = 9 * size_t{c.begin}; k < 9 * size_t{c.end}; ++k) {
        lo[k % 3] = std::min(lo[k % 3], ordered[k]);
        hi[k % 3] = std::max(hi[k % 3], ordered[k]);
      }
      for (int k = 0; k < 3; ++k) c.c[k] = 0.5 * (lo[k] + hi[k]);
      double r2 = 0;
      for (size_t k = 9 * size_t{c.begin}; k < 9 * size_t{c.end}; k += 3) {
        const double dx = ordered[k] - c.c[0], dy = ordered[k + 1] - c.c[1],
                     dz = ordered[k + 2] - c.c[2];
        r2 = std::max(r2, dx * dx + dy * dy + dz * dz);
      }
      // A little more than the largest distance, so that rounding cannot
      // put a vertex outside.
      c.radius = std::sqrt(r2) * (1 + 1e-12) + 1e-300;
    }
  });
  for (int k = 0; k < 3; ++k) c0_[k] = cell_[0].c[k];
}

// Each cell's Q: its area (that of the normal densities) and the integral
// of |s|, s = n . (A - c0); which cells hold moments.
void Tree::CellCharges(const Doubles& ordered) {
  std::vector<double> area(cell_.empty() ? 0 : cell_[0].end), q0(area.size());
  for (size_t f = 0; f < area.size(); ++f) {
    double a2;
    const double* w = &ordered[9 * f];
    const SIEntry e = MakeSIEntry(w, &a2);
    area[f] = 0.5 * a2;
    q0[f] = area[f] *
            std::fabs(e.nx * (w[0] - c0_[0]) + e.ny * (w[1] - c0_[1]) + e.nz * (w[2] - c0_[2]));
  }
  // The volume: a third of the integral of s over the surface.
  volume_ = 0;
  for (size_t f = 0; f < area.size(); ++f) {
    const double* w = &ordered[9 * f];
    const SIEntry e = MakeSIEntry(w);
    volume_ += area[f] * (e.nx * (w[0] - c0_[0]) + e.ny * (w[1] - c0_[1]) + e.nz * (w[2] - c0_[2]));
  }
  volume_ /= 3;
  int64_t slots = 0;
  for (Cell& c : cell_) {
    c.area = c.q0 = 0;
    for (uint32_t f = c.begin; f < c.end; ++f) c.area += area[f], c.q0 += q0[f];
    if (c.end - c.begin >= settings_.min_cell) c.moments = slots++;
  }
}

void Tree::Release() {
  cell_ = {};
  store_.Clear();
  moment_ = {};
  kept_ = {};
  norm_ = {};
  lacking_ = 0;
  near_.Release();
  isa_ = nullptr;
  moments_made_ = false;
}

}  // namespace tree
