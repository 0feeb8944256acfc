// The field of a body at points, in the units asked for: the sum over
// its parts, each by its own engine, then the point masses; the gradient
// tensor; calls in sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

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
  // With the evaluation's parts above 1: n flags, 1 for each point of this
  // part's share, whose results alone are written.
  uint8_t* mine = nullptr;
};

// Under a tolerance FieldOf evaluates the points in sections of this many,
// in their order (the last one shorter), each a call of its own: the
// tolerance is relative to the section's largest |U| and |g| (at most the
// call's), the tree's batches are formed within the section, and the
// memory of the evaluation is the section's. Points handed over in pieces
// that begin at multiples of it get the bits of one call over them all.
constexpr size_t kFieldSection = size_t{1} << 20;

// The field at n points in the units asked for, after the request's checks
// (and the parts', when asked): the sum over the parts, each by its own
// engine, then the point masses, in that order, so that the bits do not
// depend on the threads. Under a tolerance each part is evaluated to it and
// the sum of their error bounds (the tolerance times each part's largest
// |U| and |g| of the call) is held to the tolerance of the body's largest;
// where the parts cancel too much for that, they are evaluated again more
// tightly, at worst exactly; by sections of kFieldSection points. With
// shares of processes, this share of the points (FieldResult::mine). False
// when `more` stopped it.
bool FieldOf(const Body& body, const FieldRequest& request, size_t n, const double* x,
             const double* y, const double* z, const FieldResult& out, const More& more);

// One evaluation's engine options: its tolerance and threads, and the
// face's monitor `more` (told the share done, from the calling thread);
// the parts' check first when the evaluation asks for it.
EvaluateOptions OptionsOf(const Body& body, const Evaluation& e, const More& more);

// The body's field at n points in the units (every result array given),
// the options made: no check, one section.
// Part by part in their order, then the point masses. Under a tolerance t
// each part's error is at most t times its largest |U| (|g|) of the call:
// their sum must stay within the body's tolerance of the body's largest,
// else the parts are evaluated again at the tolerance that meets it (half
// of it, for the change of the maxima), and exactly when that is below the
// floor or falls short again.
bool BodyField(const Body& body, const Units& units, size_t n, const double* x, const double* y,
               const double* z, const FieldOut& out, const EvaluateOptions& options);

}  // namespace science
