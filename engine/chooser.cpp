// The chooser: far points by the model's expansion, the others by the table
// or the tree, decided per call.
#include "engine/chooser.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numeric>

#include "common/error.h"

namespace {

// The expansion's order: enough for the last bits beyond kFar radii.
constexpr int kExpansionOrder = 32;
// "As exact as double precision allows": half an ulp of the point's value.
constexpr double kExactTolerance = 1.1102230246251565e-16;

// The chooser's cost estimate for `points` points near a model of `facets`
// facets under `tolerance`, fitted on generated asteroids of 80,000 and
// 320,000 facets (surface case, one thread): building the tree costs about
// as much as the exact sum at `setup` points, and each point then costs the
// exact sum over `per_point` log2 N facets; both grow with the digits asked
// for.
bool TreeIsFaster(size_t facets, size_t points, double tolerance) {
  const double digits = -std::log10(tolerance);
  const double setup = 10 * digits * digits;
  const double n = static_cast<double>(facets), m = static_cast<double>(points);
  const double per_point = (100 + 2 * digits * digits) * std::log2(std::max(n, 2.0));
  return m * n > setup * n + m * per_point;
}

}  // namespace

double ToleranceSetting() {
  static const double value = [] {
    const char* text = std::getenv("TOLERANCE");
    if (!text) return 0.0;
    char* end = nullptr;
    const double t = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(t > 0 && t < 1))
      Error("TOLERANCE: not a positive number below 1.");
    if (t < kMinTolerance)
      Error("TOLERANCE: below 1e-15, where the closed form's own rounding decides the error.");
    return t;
  }();
  return value;
}

Chooser::Chooser(TableGuard guard, unsigned threads, kernel::Simd simd)
    : guard_(guard), isa_(&kernel::For(simd)), table_(guard, threads, simd) {}

void Chooser::Start() {
  table_.Start();
  tolerance_ = ToleranceSetting();
}

void Chooser::Load(const Facets& model) {
  model_ = model;
  // The model's ball: the centre of the box of its vertices, the radius to
  // the farthest vertex.
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  for (uint32_t f = 0; f < model.n; ++f) {
    double v[9];
    model.Corners(f, v);
    for (int k = 0; k < 9; ++k) lo[k % 3] = std::min(lo[k % 3], v[k]);
    for (int k = 0; k < 9; ++k) hi[k % 3] = std::max(hi[k % 3], v[k]);
  }
  for (int k = 0; k < 3; ++k) centre_[k] = model.n ? 0.5 * (lo[k] + hi[k]) : 0;
  double r2 = 0;
  for (uint32_t f = 0; f < model.n; ++f) {
    double v[9];
    model.Corners(f, v);
    for (int k = 0; k < 9; k += 3)
      r2 = std::max(r2, (v[k] - centre_[0]) * (v[k] - centre_[0]) +
                            (v[k + 1] - centre_[1]) * (v[k + 1] - centre_[1]) +
                            (v[k + 2] - centre_[2]) * (v[k + 2] - centre_[2]));
  }
  radius_ = std::sqrt(r2);
  if (tolerance_ > 0)
    TreeFor(tolerance_);
  else
    ExactTable();
}

size_t Chooser::Batch() const {
  return tolerance_ > 0 ? SIZE_MAX : table_.Batch();
}

void Chooser::Release() {
  const std::lock_guard<std::mutex> hold(lock_);
  table_.Release();
  table_built_ = false;
  tree_.reset();
  gradient_tree_.reset();
  entries_ = {};
  exact_expansion_.Release();
  tree_expansion_.Release();
}

const std::vector<SIEntry>& Chooser::Entries() const {
  // The per-facet table of the scalar form, made at the first tensor asked
  // for: an engine only asked for the field keeps no second table.
  const std::lock_guard<std::mutex> hold(lock_);
  if (entries_.size() != model_.n) {
    try {
      entries_.resize(model_.n);
    } catch (const std::bad_alloc&) {
      Error("memory allocation error for SI.");
    }
    for (uint32_t f = 0; f < model_.n; ++f) {
      double v[9];
      model_.Corners(f, v);
      entries_[f] = MakeSIEntry(v);
    }
  }
  return entries_;
}

bool Chooser::Gradient(size_t count, const double* x, const double* y, const double* z, double* t,
                       const EvaluateOptions& options, const uint8_t* wanted) const {
  return ExecuteTensor(Choose(count, x, y, z, options.tolerance, Quantity::kTensor), x, y, z, t,
                       options, wanted);
}

bool Chooser::ExecuteTensor(const Plan& plan, const double* x, const double* y, const double* z,
                            double* t, const EvaluateOptions& options,
                            const uint8_t* wanted) const {
  const size_t count = plan.count;
  if (plan.tree)
    return TreeFor(plan.tolerance, true)
        ->Gradient(plan.tolerance, count, x, y, z, t, &table_.Team(), wanted, options);
  const std::vector<SIEntry>& entries = Entries();
  std::vector<size_t> points;
  for (size_t i = 0; i < count; ++i)
    if (!wanted || wanted[i]) points.push_back(i);
  // In blocks, between which the monitor is told.
  constexpr size_t kBlock = 4096;
  for (size_t first = 0; first < points.size(); first += kBlock) {
    const size_t n = std::min(kBlock, points.size() - first);
    table_.Team().MultiThreading(
        n,
        [&](unsigned begin, unsigned step) {
          for (size_t k = begin; k < n; k += step) {
            const size_t i = points[first + k];
            TensorSI(model_, entries.data(), x[i], y[i], z[i], t + 6 * i);
          }
        },
        options.threads);
    if (options.monitor && !options.monitor(double(first + n) / double(points.size())))
      return false;
  }
  return true;
}

const kernel::Model& Chooser::ExactTable() const {
  const std::lock_guard<std::mutex> hold(lock_);
  if (!table_built_) {
    table_.Load(model_);
    table_built_ = true;
  }
  return table_.table();
}

std::shared_ptr<const tree::Tree> Chooser::TreeFor(double tolerance, bool gradient) const {
  tree::Settings settings;
  settings.tolerance = tolerance;
  settings.gradient = gradient;
  const std::lock_guard<std::mutex> hold(lock_);
  // The tensor's tree apart: the field's results do not depend on whether
  // the tensor was asked for.
  std::shared_ptr<const tree::Tree>& tree = gradient ? gradient_tree_ : tree_;
  if (!tree || tree->MaxOrder() != tree::StoredOrder(settings)) {
    auto made = std::make_shared<tree::Tree>();
    made->Build(model_, settings, *isa_, &table_.Team());
    tree = made;
  }
  return tree;
}

const tree::Expansion& Chooser::ExpansionFor(double tolerance) const {
  // Under a tolerance the facets in the tree's order, else in the model's.
  const kernel::Model* table = nullptr;
  std::shared_ptr<const tree::Tree> tree;
  if (tolerance > 0) {
    tree = TreeFor(tolerance);
    table = &tree->table();
  } else {
    table = &ExactTable();
  }
  tree::Expansion& e = tolerance > 0 ? tree_expansion_ : exact_expansion_;
  const std::lock_guard<std::mutex> hold(lock_);
  if (!e.Built()) e.Build(*table, centre_, radius_, kExpansionOrder, *isa_, &table_.Team());
  return e;
}

void Chooser::FarPoints(size_t count, const double* x, const double* y, const double* z,
                        Plan* plan) const {
  const double tolerance = plan->tolerance;
  if (tolerance == 0 && !far_expansion_) return;
  const double reach = kFar * radius_;
  std::vector<double> r(count);
  size_t beyond = 0;
  for (size_t i = 0; i < count; ++i) {
    r[i] = std::hypot(x[i] - centre_[0], y[i] - centre_[1], z[i] - centre_[2]);
    beyond += r[i] > reach;
  }
  if (beyond == 0) return;
  const tree::Expansion& e = ExpansionFor(tolerance);
  const double goal = tolerance > 0 ? tolerance : kExactTolerance;
  std::vector<int> order(count, -1);
  for (size_t i = 0; i < count; ++i) {
    if (!(r[i] > reach)) continue;
    order[i] = e.OrderAt(r[i], goal);
    if (order[i] >= 0) plan->far.push_back(i);
  }
  std::stable_sort(plan->far.begin(), plan->far.end(),
                   [&](size_t a, size_t b) { return order[a] < order[b]; });
  plan->far_order.resize(plan->far.size());
  for (size_t k = 0; k < plan->far.size(); ++k) plan->far_order[k] = order[plan->far[k]];
}

Chooser::Plan Chooser::Choose(size_t count, const double* x, const double* y, const double* z,
                              double tolerance, Quantity quantity) const {
  Plan plan;
  plan.quantity = quantity;
  plan.tolerance = tolerance >= 0 ? tolerance : tolerance_;
  plan.count = count;
  try {
    if (quantity == Quantity::kField) FarPoints(count, x, y, z, &plan);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for P, X, Y and Z.");
  }
  plan.tree =
      plan.Near() > 0 && plan.tolerance > 0 && TreeIsFaster(model_.n, plan.Near(), plan.tolerance);
  return plan;
}

bool Chooser::Evaluate(size_t count, const double* x, const double* y, const double* z,
                       const FieldOut& out, const EvaluateOptions& options) const {
  return Execute(Choose(count, x, y, z, options.tolerance), x, y, z, out, options);
}

bool Chooser::Execute(const Plan& plan, const double* x, const double* y, const double* z,
                      const FieldOut& out, const EvaluateOptions& options) const {
  const double tolerance = plan.tolerance;
  const size_t count = plan.count, far = plan.far.size();
  const unsigned parts = std::max(1u, options.parts), part = options.part % parts;
  if (tolerance == 0 && !far_expansion_ && parts == 1) {
    if (options.mine) std::fill(options.mine, options.mine + count, uint8_t{1});
    ExactTable();
    return table_.Evaluate(count, x, y, z, out, options);
  }
  // The near points and the far ones (by their order: a point's result does
  // not depend on the others of its group), gathered before any result is
  // written: the results may overwrite the coordinates.
  const size_t m = plan.Near();
  const std::vector<size_t>& by_order = plan.far;
  std::vector<size_t> near;
  std::vector<double> px, py, pz, res;
  try {
    std::vector<uint8_t> is_far(count, 0);
    for (size_t i : by_order) is_far[i] = 1;
    near.reserve(m);
    for (size_t i = 0; i < count; ++i)
      if (!is_far[i]) near.push_back(i);
    px.resize(count), py.resize(count), pz.resize(count), res.resize(4 * count);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for P, X, Y and Z.");
  }
  for (size_t k = 0; k < m; ++k) px[k] = x[near[k]], py[k] = y[near[k]], pz[k] = z[near[k]];
  for (size_t k = 0; k < far; ++k) {
    const size_t i = by_order[k];
    px[m + k] = x[i], py[m + k] = y[i], pz[m + k] = z[i];
  }
  // Results at res[q * count + k]: the near points first, then the far.
  const FieldOut sub{res.data(), res.data() + count, res.data() + 2 * count,
                     res.data() + 3 * count};
  // This part's points (every one in one process): the tree deals out its
  // batches itself; the other near points, and the far ones, go in blocks of
  // kShareBlock, moved to the front of their range for the evaluation and
  // back after it.
  std::vector<uint8_t> own(count, 1);
  std::vector<int> far_order = plan.far_order;
  const bool by_tree = plan.tree;
  const auto deal = [&](size_t begin, size_t end) {
    size_t kept = 0;
    for (size_t k = begin; k < end; ++k) {
      own[k] = (k - begin) / kShareBlock % parts == part;
      if (!own[k]) continue;
      const size_t to = begin + kept++;
      px[to] = px[k], py[to] = py[k], pz[to] = pz[k];
      if (k >= m) far_order[to - m] = far_order[k - m];
    }
    return kept;
  };
  const auto undeal = [&](size_t begin, size_t end, size_t kept) {
    for (size_t k = end; k-- > begin && kept > 0;) {
      if (!own[k]) continue;
      --kept;
      for (size_t q = 0; q < 4; ++q) res[q * count + k] = res[q * count + begin + kept];
    }
  };
  bool finished = true;
  if (m > 0) {
    EvaluateOptions mine = options;
    mine.mine = parts > 1 && by_tree ? own.data() : nullptr;
    const size_t kept = parts > 1 && !by_tree ? deal(0, m) : m;
    if (tolerance == 0) {
      finished = EvaluateTable(*isa_, guard_, ExactTable(), table_.Team(), kept, px.data(),
                               py.data(), pz.data(), sub, mine);
    } else {
      const std::shared_ptr<const tree::Tree> tree = TreeFor(tolerance);
      if (by_tree)
        finished = tree->Evaluate(tolerance, m, px.data(), py.data(), pz.data(), sub, guard_,
                                  &table_.Team(), mine);
      else
        finished = EvaluateTable(*isa_, guard_, tree->table(), table_.Team(), kept, px.data(),
                                 py.data(), pz.data(), sub, mine);
    }
    if (parts > 1 && !by_tree) undeal(0, m, kept);
  }
  if (far > 0) {
    const tree::Expansion& e = ExpansionFor(tolerance);
    const size_t kept = parts > 1 ? deal(m, count) : far;
    std::vector<double> field(4 * kept);
    for (size_t k = 0; k < kept;) {
      size_t j = k;
      while (j < kept && far_order[j] == far_order[k]) ++j;
      e.Evaluate(far_order[k], j - k, &px[m + k], &py[m + k], &pz[m + k], &field[4 * k]);
      k = j;
    }
    for (size_t k = 0; k < kept; ++k)
      for (int q = 0; q < 4; ++q) res[size_t(q) * count + m + k] = field[4 * k + size_t(q)];
    if (parts > 1) undeal(m, count, kept);
  }
  for (size_t k = 0; k < count; ++k) {
    const size_t i = k < m ? near[k] : by_order[k - m];
    if (options.mine) options.mine[i] = own[k];
    if (!own[k]) continue;
    if (out.U) out.U[i] = sub.U[k];
    if (out.gx) out.gx[i] = sub.gx[k];
    if (out.gy) out.gy[i] = sub.gy[k];
    if (out.gz) out.gz[i] = sub.gz[k];
  }
  return finished;
}
