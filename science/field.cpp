// The field of a body at points: the sum over its parts, each by its own
// engine, under a tolerance shared between them, then the point masses;
// the gradient tensor; calls in sections.
#include "science/field.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "science/mascons.h"

namespace science {

namespace {

// One evaluation's engine options: its tolerance and threads (the check
// first when the evaluation asks for it).
EvaluateOptions OptionsOf(const Body& body, const Evaluation& e) {
  if (e.check) RequireFit(body);
  EvaluateOptions options;
  options.tolerance = e.Tolerance();
  options.threads = e.Threads();
  return options;
}

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

// The field of a body of parts at n points in the units (every result
// array given): part by part in their order, then the point masses. Under
// a tolerance t each part's error is at most t times its largest |U|
// (|g|) of the call: their sum must stay within the body's tolerance of
// the body's largest, else the parts are evaluated again at the tolerance
// that meets it (half of it, for the change of the maxima), and exactly
// when that is below the floor or falls short again.
bool BodyField(const Body& body, const Units& units, size_t n, const double* x, const double* y,
               const double* z, const FieldOut& out, const EvaluateOptions& options) {
  const size_t P = body.PartCount();
  const double tolerance = std::max(0.0, options.tolerance);
  std::vector<double> U(P > 1 ? n : 0), gx(U.size()), gy(U.size()), gz(U.size());
  for (double t = tolerance;;) {
    double bound_U = 0, bound_g = 0;  // the sums of the parts' largest
    for (size_t i = 0; i < P; ++i) {
      const FieldOut o = i == 0 ? out : FieldOut{U.data(), gx.data(), gy.data(), gz.data()};
      EvaluateOptions part = options;
      part.tolerance = t;
      if (options.more)
        part.more = [&, i](double share) { return options.more((double(i) + share) / double(P)); };
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

// The body's gradient tensor at n points in the units. Part by part in their order, then the
// point masses; under a tolerance (a homogeneous body only) every component
// within it times the call's largest.
bool BodyGradient(const Body& body, const Units& units, size_t n, const double* x, const double* y,
                  const double* z, double* t, const EvaluateOptions& options) {
  std::vector<size_t> index(n);
  std::iota(index.begin(), index.end(), size_t{0});
  const size_t P = body.PartCount();
  std::vector<double> part(P > 1 ? 6 * n : 0);
  for (size_t i = 0; i < P; ++i) {
    double* const o = i == 0 ? t : part.data();
    EvaluateOptions one = options;
    if (options.more)
      one.more = [&, i](double share) { return options.more((double(i) + share) / double(P)); };
    if (!body.part(i).Gradient(n, x, y, z, o, one)) return false;
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

// The points of a body of parts' section in blocks of this many, a unit
// each of the field and of the tensor.
constexpr size_t kBlock = Chooser::kUnitBlock;

size_t Blocks(size_t n) {
  return (n + kBlock - 1) / kBlock;
}

}  // namespace

FieldPlan PlanField(const Body& body, const FieldRequest& request, size_t n, const double* x,
                    const double* y, const double* z, size_t section, const PlanMaker& maker) {
  Validate(request, body);
  FieldPlan plan;
  plan.body_ = &body;
  plan.gradient_ = request.gradient;
  plan.units_of_ = Resolve(request.units, body);
  plan.options_ = OptionsOf(body, request.evaluation);
  plan.n_ = n, plan.x_ = x, plan.y_ = y, plan.z_ = z;
  // Without a tolerance a point's result is its own: one section.
  const double tolerance = plan.options_.tolerance;
  if (!(tolerance > 0)) section = std::max<size_t>(n, 1);
  const Chooser& engine = body.part(0).engine();
  const unsigned threads = plan.options_.threads;
  for (size_t first = 0; first == 0 || first < n; first += section) {
    FieldPlan::Section s;
    s.first = first, s.n = std::min(section, n - first), s.unit = plan.units_;
    const double *sx = x + first, *sy = y + first, *sz = z + first;
    if (body.Homogeneous()) {
      const auto choose = [&](Chooser::Quantity quantity) {
        const auto make = [&] {
          return engine.Choose(s.n, sx, sy, sz, tolerance, quantity, threads);
        };
        return maker ? maker(make, s.n, sx, sy, sz) : make();
      };
      s.field = choose(Chooser::Quantity::kField);
      s.fields = s.field.Units();
      if (request.gradient) {
        s.tensor = choose(Chooser::Quantity::kTensor);
        s.tensors = s.tensor.Units();
      }
    } else {
      s.fields = Blocks(s.n);
      s.tensors = request.gradient ? Blocks(s.n) : 0;
    }
    plan.units_ += s.fields + s.tensors;
    plan.sections_.push_back(std::move(s));
  }
  return plan;
}

std::vector<size_t> FieldPlan::All() const {
  std::vector<size_t> all(units_);
  std::iota(all.begin(), all.end(), size_t{0});
  return all;
}

const FieldPlan::Section& FieldPlan::SectionOf(size_t u) const {
  size_t k = sections_.size() - 1;
  while (sections_[k].unit > u) --k;
  return sections_[k];
}

bool FieldPlan::Tensor(size_t u) const {
  const Section& s = SectionOf(u);
  return u - s.unit >= s.fields;
}

std::vector<size_t> FieldPlan::Points(size_t u) const {
  const Section& s = SectionOf(u);
  const bool tensor = u - s.unit >= s.fields;
  const size_t k = u - s.unit - (tensor ? s.fields : 0);
  std::vector<size_t> points;
  if (body_->Homogeneous()) {
    points = (tensor ? s.tensor : s.field).Points(k);
  } else {
    for (size_t i = k * kBlock; i < std::min(s.n, (k + 1) * kBlock); ++i) points.push_back(i);
  }
  for (size_t& i : points) i += s.first;
  return points;
}

bool FieldOf(const FieldPlan& plan, const std::vector<size_t>& units, const FieldResult& out,
             const More& more) {
  const Body& body = *plan.body_;
  const Units& u = plan.units_of_;
  const size_t n = plan.n_;
  for (const FieldPlan::Section& s : plan.sections_) {
    // The section's units by its own numbers: the field's, then the tensor's.
    std::vector<size_t> field, tensor;
    for (const size_t k : units) {
      if (k < s.unit || k >= s.unit + s.fields + s.tensors) continue;
      if (k - s.unit < s.fields)
        field.push_back(k - s.unit);
      else
        tensor.push_back(k - s.unit - s.fields);
    }
    double* const t = plan.gradient_ ? out.tensor : nullptr;
    if (!t) tensor.clear();
    if (field.empty() && tensor.empty()) continue;
    EvaluateOptions options = plan.options_;
    if (plan.sections_.size() == 1)
      options.more = more;
    else if (more)
      options.more = [&, first = s.first, m = s.n](double share) {
        return more((double(first) + share * double(m)) / double(n));
      };
    const double *x = plan.x_ + s.first, *y = plan.y_ + s.first, *z = plan.z_ + s.first;
    const FieldOut o{out.U + s.first, out.gx + s.first, out.gy + s.first, out.gz + s.first};
    double* const ot = t ? t + 6 * s.first : nullptr;
    if (body.Homogeneous()) {
      const Chooser& engine = body.part(0).engine();
      if (!field.empty()) {
        if (!engine.Execute(s.field, x, y, z, o, options, &field)) return false;
        const double fu = u.PotentialFactor(), fg = u.AttractionFactor();
        for (const size_t k : field)
          for (const size_t i : s.field.Points(k))
            o.U[i] *= fu, o.gx[i] *= fg, o.gy[i] *= fg, o.gz[i] *= fg;
      }
      if (!tensor.empty()) {
        if (!engine.ExecuteTensor(s.tensor, x, y, z, ot, options, &tensor)) return false;
        const double f = u.GradientFactor();
        for (const size_t k : tensor)
          for (const size_t i : s.tensor.Points(k))
            for (size_t q = 6 * i; q < 6 * i + 6; ++q) ot[q] *= f;
      }
      continue;
    }
    // A body of parts: the blocks' points gathered (under a tolerance the
    // section's every point for the field), evaluated, and the blocks'
    // results put in place.
    const auto blocks = [&](const std::vector<size_t>& list) {
      std::vector<size_t> points;
      for (const size_t k : list)
        for (size_t i = k * kBlock; i < std::min(s.n, (k + 1) * kBlock); ++i) points.push_back(i);
      return points;
    };
    if (!field.empty()) {
      const std::vector<size_t> written = blocks(field);
      const bool whole = options.tolerance > 0;
      std::vector<size_t> at(whole ? s.n : 0);
      std::iota(at.begin(), at.end(), size_t{0});
      if (!whole) at = written;
      const size_t c = at.size();
      std::vector<double> p(3 * c), r(4 * c);
      for (size_t k = 0; k < c; ++k) p[k] = x[at[k]], p[c + k] = y[at[k]], p[2 * c + k] = z[at[k]];
      if (!BodyField(body, u, c, &p[0], &p[c], &p[2 * c], {&r[0], &r[c], &r[2 * c], &r[3 * c]},
                     options))
        return false;
      for (size_t k = 0; k < written.size(); ++k) {
        const size_t i = written[k], j = whole ? i : k;
        o.U[i] = r[j], o.gx[i] = r[c + j], o.gy[i] = r[2 * c + j], o.gz[i] = r[3 * c + j];
      }
    }
    if (!tensor.empty()) {
      // The parts summed in closed form: their tolerances would have to be
      // shared as the field's are.
      const std::vector<size_t> at = blocks(tensor);
      const size_t c = at.size();
      std::vector<double> p(3 * c), r(6 * c);
      for (size_t k = 0; k < c; ++k) p[k] = x[at[k]], p[c + k] = y[at[k]], p[2 * c + k] = z[at[k]];
      EvaluateOptions exact = options;
      exact.tolerance = 0;
      if (!BodyGradient(body, u, c, &p[0], &p[c], &p[2 * c], r.data(), exact)) return false;
      for (size_t k = 0; k < c; ++k) std::copy_n(&r[6 * k], 6, ot + 6 * at[k]);
    }
  }
  return true;
}

std::vector<uint32_t> Lacking(const FieldPlan& plan, const std::vector<size_t>& units) {
  std::vector<uint32_t> cells;
  if (!plan.body_->Homogeneous()) return cells;
  const Chooser& engine = plan.body_->part(0).engine();
  for (const FieldPlan::Section& s : plan.sections_) {
    std::vector<size_t> field;
    for (const size_t k : units)
      if (k >= s.unit && k < s.unit + s.fields) field.push_back(k - s.unit);
    if (field.empty()) continue;
    const std::vector<uint32_t> more = engine.Lacking(s.field, field);
    cells.insert(cells.end(), more.begin(), more.end());
  }
  std::sort(cells.begin(), cells.end());
  cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  return cells;
}

bool FieldOf(const Body& body, const FieldRequest& request, size_t n, const double* x,
             const double* y, const double* z, const FieldResult& out, const More& more) {
  const FieldPlan plan = PlanField(body, request, n, x, y, z);
  return FieldOf(plan, plan.All(), out, more);
}

bool Run(const FieldRun& run, const FieldPlan& plan, const FieldResult& out, const More& more) {
  return run ? run(plan, out, more) : FieldOf(plan, plan.All(), out, more);
}

}  // namespace science
