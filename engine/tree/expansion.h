// The chooser's expansion of the whole model, made as the tree's cells are.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/kernel.h"
#include "engine/threads.h"

namespace tree {

// The whole model's expansion about its ball (c, a), for points far from it:
// there the closed form loses digits (its terms cancel to the field, as the
// square of the distance), the expansion does not. A point's result depends
// on the point alone.
class Expansion {
 public:
  // The moments of every facet of `table` to order P, in 64 fixed blocks of
  // chunks divided over `team`, added in block order: the same bits for
  // every thread count.
  void Build(const kernel::Model& table, const double c[3], double a, int P, const kernel::Isa& isa,
             ThreadTeam* team);
  bool Built() const { return isa_ != nullptr; }
  // The order that meets `tolerance` relative to the point's own |g| and U
  // (their lower bounds for a closed, outward surface of volume V inside the
  // ball: |g| >= V cos(asin(a/r))/(r + a)^2 and U >= V/(r + a)) at distance
  // r from c; -1 when none up to P does or r <= a.
  int OrderAt(double r, double tolerance) const;
  // The field (U, gx, gy, gz at out[4i ..]) at n points that all take order p.
  void Evaluate(int p, size_t n, const double* x, const double* y, const double* z,
                double* out) const;
  void Release();
  const double* centre() const { return c_; }
  double radius() const { return a_; }

 private:
  const kernel::Isa* isa_ = nullptr;
  int P_ = 0;
  double c_[3] = {0, 0, 0}, a_ = 0;
  double volume_ = 0, area_ = 0, q0_ = 0;
  std::vector<double> moment_, norm_;
};

}  // namespace tree
