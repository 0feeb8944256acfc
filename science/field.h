// The field of a body at points, in the units asked for: the sum over
// its parts, each by its own engine, then the point masses; the gradient
// tensor; calls in sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/chooser.h"
#include "engine/engine.h"
#include "engine/field_out.h"
#include "science/body.h"
#include "science/request.h"

namespace science {

// The faces' way to follow a long evaluation: after each block of points,
// more(share done) may stop it by returning false.
using More = std::function<bool(double share)>;
// What a long call that returns a result rather than a flag throws when
// `more` stopped it.
struct Stopped : std::exception {
  const char* what() const noexcept override { return "stopped"; }
};

// Where FieldOf puts the field at n points: U, gx, gy, gz (n values each)
// and, when asked for, the gradient tensor (six values a point).
struct FieldResult {
  double *U, *gx, *gy, *gz, *tensor = nullptr;
};

// Under a tolerance FieldOf evaluates the points in sections of this many,
// in their order (the last one shorter), each a call of its own: the
// tolerance is relative to the section's largest |U| and |g| (at most the
// call's), the tree's batches are formed within the section, and the
// memory of the evaluation is the section's. Points handed over in pieces
// that begin at multiples of it get the bits of one call over them all.
constexpr size_t kFieldSection = size_t{1} << 20;

// How PlanField has each engine plan of a section made, for the section's
// n points: by `make` (when empty); a run divided over processes has one
// of them make it and hands it to the others (Chooser::Plan::Pack,
// Unpack). Every process makes the same calls in the same order.
using PlanMaker = std::function<Chooser::Plan(const std::function<Chooser::Plan()>& make, size_t n,
                                              const double* x, const double* y, const double* z)>;

// The work of a field call, decided once from the call alone (the body,
// the request, its n points) before any is evaluated: its units, each
// writing the field (U, gx, gy, gz) or the tensor of a fixed set of
// points, with the bits of the whole call whichever units are evaluated
// together. By sections; in each, the field's units, then the tensor's.
// A homogeneous body's are its engine's (Chooser::Plan). A body of parts
// has blocks of points: without a tolerance a point's result is its own,
// and a list of blocks is evaluated at their points alone; under one the
// parts' tolerances are decided over the section's largest values, so a
// list of its blocks is evaluated with the whole section. The body and the
// points must outlive the plan.
class FieldPlan {
 public:
  size_t Units() const { return units_; }
  const Body& body() const { return *body_; }
  // Every unit, in order.
  std::vector<size_t> All() const;
  // Whether unit u writes the tensor (six values a point) of its points
  // rather than their field, and the points it writes.
  bool Tensor(size_t u) const;
  std::vector<size_t> Points(size_t u) const;

 private:
  friend FieldPlan PlanField(const Body&, const FieldRequest&, size_t, const double*, const double*,
                             const double*, size_t, const PlanMaker&);
  friend bool FieldOf(const FieldPlan&, const std::vector<size_t>&, const FieldResult&,
                      const More&);
  friend std::vector<uint32_t> Lacking(const FieldPlan&, const std::vector<size_t>&);
  struct Section {
    size_t first = 0, n = 0;         // its points
    size_t unit = 0;                 // its first unit
    size_t fields = 0, tensors = 0;  // its units: the field's, then the tensor's
    Chooser::Plan field, tensor;     // a homogeneous body's
  };
  const Section& SectionOf(size_t u) const;
  const Body* body_ = nullptr;
  bool gradient_ = false;
  science::Units units_of_;  // the request's, resolved
  EvaluateOptions options_;
  size_t n_ = 0;
  const double *x_ = nullptr, *y_ = nullptr, *z_ = nullptr;
  std::vector<Section> sections_;
  size_t units_ = 0;
};

// The plan of the field at n points in the units asked for, after the
// request's checks (and the parts', when asked); under a tolerance by
// sections of `section` points, the engine's plans by `maker`.
FieldPlan PlanField(const Body& body, const FieldRequest& request, size_t n, const double* x,
                    const double* y, const double* z, size_t section = kFieldSection,
                    const PlanMaker& maker = {});
// The field at the points of a plan's `units` (the others left as they
// are): the sum over the parts, each by its own engine, then the point
// masses, in that order, so that the bits do not depend on the threads.
// Under a tolerance each part is evaluated to it and the sum of their
// error bounds (the tolerance times each part's largest |U| and |g| of the
// call) is held to the tolerance of the body's largest; where the parts
// cancel too much for that, they are evaluated again more tightly, at
// worst exactly. False when `more` stopped it.
bool FieldOf(const FieldPlan& plan, const std::vector<size_t>& units, const FieldResult& out,
             const More& more);
// The cells of part 0's engine's tree whose moments the field's units
// `units` of a plan take and that tree lacks (its moments made in parts:
// Chooser::Lacking), by increasing index: what a process of a divided run
// is handed before it evaluates them. None for a body of parts.
std::vector<uint32_t> Lacking(const FieldPlan& plan, const std::vector<size_t>& units);
// Every unit of the plan of n points.
bool FieldOf(const Body& body, const FieldRequest& request, size_t n, const double* x,
             const double* y, const double* z, const FieldResult& out, const More& more);

// How a surface or a grid has the field at its points evaluated: every
// unit of the plan by FieldOf in one process (when empty); a run divided
// over processes evaluates its share and gathers the others'. False when
// the results are not all at hand: `more` stopped it, or they were
// gathered by another process (which makes the rest of the product).
using FieldRun =
    std::function<bool(const FieldPlan& plan, const FieldResult& out, const More& more)>;
bool Run(const FieldRun& run, const FieldPlan& plan, const FieldResult& out, const More& more);

}  // namespace science
