// The field of a body at points: the sum over its parts, each by its own
// engine, under a tolerance shared between them, then the point masses;
// the gradient tensor; calls in sections.
#include "science/field.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "science/mascons.h"

namespace science {

// One evaluation's engine options: its tolerance and threads, and the
// face's monitor (told the share done, from the calling thread).
EvaluateOptions OptionsOf(const Body& body, const Evaluation& e, const More& more) {
  if (e.check) RequireFit(body);
  EvaluateOptions options;
  options.tolerance = e.Tolerance();
  options.threads = e.Threads();
  options.part = e.part, options.parts = e.parts;
  if (more) options.monitor = more;
  return options;
}

namespace {

void Scale(size_t n, const FieldOut& out, double fu, double fg) {
  for (size_t i = 0; i < n; ++i) out.U[i] *= fu, out.gx[i] *= fg, out.gy[i] *= fg, out.gz[i] *= fg;
}

// The largest |U| and |g| of n results.
std::pair<double, double> Largest(size_t n, const FieldOut& f) {
  double U = 0, g = 0;
  for (size_t i = 0; i < n; ++i) {
    U = std::max(U, std::fabs(f.U[i]));
    g = std::max(g, std::sqrt(f.gx[i] * f.gx[i] + f.gy[i] * f.gy[i] + f.gz[i] * f.gz[i]));
  }
  return {U, g};
}

}  // namespace

bool BodyField(const Body& body, const Units& units, size_t n, const double* x, const double* y,
               const double* z, const FieldOut& out, const EvaluateOptions& options) {
  if (body.Homogeneous()) {
    if (!body.part(0).Field(n, x, y, z, out, options)) return false;
    Scale(n, out, units.PotentialFactor(), units.AttractionFactor());
    return true;
  }
  if (options.parts > 1) {
    // A body of parts is evaluated whole in every process (its tolerance
    // is decided over all the call's points), each keeping its share.
    EvaluateOptions whole = options;
    whole.part = 0, whole.parts = 1, whole.mine = nullptr;
    if (!BodyField(body, units, n, x, y, z, out, whole)) return false;
    for (size_t i = 0; i < n; ++i) options.mine[i] = i % options.parts == options.part;
    return true;
  }
  const size_t P = body.PartCount();
  const double tolerance = std::max(0.0, options.tolerance);
  std::vector<double> U(P > 1 ? n : 0), gx(U.size()), gy(U.size()), gz(U.size());
  for (double t = tolerance;;) {
    double bound_U = 0, bound_g = 0;  // the sums of the parts' largest
    for (size_t i = 0; i < P; ++i) {
      const FieldOut o = i == 0 ? out : FieldOut{U.data(), gx.data(), gy.data(), gz.data()};
      EvaluateOptions part = options;
      part.tolerance = t;
      if (options.monitor)
        part.monitor = [&, i](double share) {
          return options.monitor((double(i) + share) / double(P));
        };
      if (!body.part(i).Field(n, x, y, z, o, part)) return false;
      const Units u = PartUnits(body, i, units);
      Scale(n, o, u.PotentialFactor(), u.AttractionFactor());
      if (t > 0) {
        const auto [largest_U, largest_g] = Largest(n, o);
        bound_U += largest_U, bound_g += largest_g;
      }
      if (i > 0)
        for (size_t k = 0; k < n; ++k)
          out.U[k] += U[k], out.gx[k] += gx[k], out.gy[k] += gy[k], out.gz[k] += gz[k];
    }
    AddMasconField(body.mascons(), units.G, units.metres, n, x, y, z, out, nullptr, body.Team(),
                   options.threads);
    if (t == 0) return true;
    const auto [largest_U, largest_g] = Largest(n, out);
    // The share of the tolerance the parts' bounds may take.
    const double share =
        std::min(bound_U > 0 ? largest_U / bound_U : 1.0, bound_g > 0 ? largest_g / bound_g : 1.0);
    if (t * std::max(bound_U, 0.0) <= tolerance * largest_U &&
        t * std::max(bound_g, 0.0) <= tolerance * largest_g)
      return true;
    const double tighter = 0.5 * tolerance * share;
    t = t < tolerance || tighter < kMinTolerance ? 0 : tighter;
  }
}

namespace {

// The body's gradient tensor at n points in the units, of the points i
// with wanted[i] set (all without it). Part by part in their order, then the
// point masses; under a tolerance (a homogeneous body only) every component
// within it times the call's largest.
bool BodyGradient(const Body& body, const Units& units, size_t n, const double* x, const double* y,
                  const double* z, double* t, const EvaluateOptions& options,
                  const uint8_t* wanted) {
  std::vector<size_t> index;
  for (size_t i = 0; i < n; ++i)
    if (!wanted || wanted[i]) index.push_back(i);
  const size_t P = body.PartCount();
  std::vector<double> part(P > 1 ? 6 * n : 0);
  for (size_t i = 0; i < P; ++i) {
    double* const o = i == 0 ? t : part.data();
    EvaluateOptions one = options;
    if (options.monitor)
      one.monitor = [&, i](double share) {
        return options.monitor((double(i) + share) / double(P));
      };
    if (!body.part(i).Gradient(n, x, y, z, o, one, wanted)) return false;
    const double f = PartUnits(body, i, units).GradientFactor();
    for (size_t j : index)
      for (size_t k = 6 * j; k < 6 * j + 6; ++k) o[k] *= f;
    if (i > 0)
      for (size_t j : index)
        for (size_t k = 6 * j; k < 6 * j + 6; ++k) t[k] += o[k];
  }
  if (body.mascons().empty()) return true;
  // The point masses' at the wanted points, gathered.
  const size_t c = index.size();
  std::vector<double> p(3 * c), q(6 * c, 0.0);
  for (size_t k = 0; k < c; ++k)
    p[k] = x[index[k]], p[c + k] = y[index[k]], p[2 * c + k] = z[index[k]];
  AddMasconField(body.mascons(), units.G, units.metres, c, &p[0], &p[c], &p[2 * c], {}, q.data(),
                 body.Team(), options.threads);
  for (size_t k = 0; k < c; ++k)
    for (size_t j = 0; j < 6; ++j) t[6 * index[k] + j] += q[6 * k + j];
  return true;
}

// FieldOf of one section of points, its options made.
bool SectionField(const Body& body, const FieldRequest& request, const Units& units, size_t n,
                  const double* x, const double* y, const double* z, const FieldResult& out,
                  const EvaluateOptions& options) {
  // The field of every point in one call (under a tolerance the tree forms
  // its batches from all of them); the tensor in blocks, between which the
  // monitor is told again, of this share's points (all in one process).
  std::vector<uint8_t> flags(options.parts > 1 && !out.mine ? n : 0);
  EvaluateOptions share = options;
  share.mine = options.parts == 1 ? nullptr : out.mine ? out.mine : flags.data();
  if (!BodyField(body, units, n, x, y, z, {out.U, out.gx, out.gy, out.gz}, share)) return false;
  double* const t = request.gradient ? out.tensor : nullptr;
  if (!t) return true;
  // The tensor of this share's points, in one call over all of them (under
  // a tolerance the tree forms its batches from all the call's points, as
  // for the field, so the bits do not depend on the division). The parts of
  // a body of several are summed in closed form: their tolerances would
  // have to be shared as the field's are.
  EvaluateOptions tensor = options;
  tensor.part = 0, tensor.parts = 1, tensor.mine = nullptr;
  if (!body.Homogeneous()) tensor.tolerance = 0;
  return BodyGradient(body, units, n, x, y, z, t, tensor, share.mine);
}

}  // namespace

bool FieldOf(const Body& body, const FieldRequest& request, size_t n, const double* x,
             const double* y, const double* z, const FieldResult& out, const More& more) {
  Validate(request, body);
  const Units units = Resolve(request.units, body);
  const EvaluateOptions options = OptionsOf(body, request.evaluation, more);
  // Without a tolerance a point's result is its own: one section.
  if (!(options.tolerance > 0) || n <= kFieldSection)
    return SectionField(body, request, units, n, x, y, z, out, options);
  for (size_t first = 0; first < n; first += kFieldSection) {
    const size_t m = std::min(kFieldSection, n - first);
    EvaluateOptions part = options;
    if (more)
      part.monitor = [&, first, m](double share) {
        return more((double(first) + share * double(m)) / double(n));
      };
    const FieldResult o{out.U + first,
                        out.gx + first,
                        out.gy + first,
                        out.gz + first,
                        out.tensor ? out.tensor + 6 * first : nullptr,
                        out.mine ? out.mine + first : nullptr};
    if (!SectionField(body, request, units, m, x + first, y + first, z + first, o, part))
      return false;
  }
  return true;
}

}  // namespace science
