// The chooser: far points by the model's expansion, the others by the table
// or the tree, decided per call.
#include "engine/chooser.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

void Chooser::MakeMoments() const {
  if (tolerance_ > 0) TreeFor(tolerance_)->Moments(&table_.Team());
}

size_t Chooser::MomentParts(size_t parts) const {
  return tolerance_ > 0 ? TreeFor(tolerance_)->MomentParts(parts) : 0;
}

tree::Doubles Chooser::MakeMomentParts(size_t parts, const std::vector<size_t>& mine) const {
  if (!(tolerance_ > 0)) return {};
  return TreeFor(tolerance_)->MakeMomentParts(parts, mine, &table_.Team());
}

void Chooser::MomentsFromParts(size_t parts, const tree::Doubles& packed,
                               const std::vector<size_t>& part) const {
  if (tolerance_ > 0) TreeFor(tolerance_)->MomentsFromParts(parts, packed, part, &table_.Team());
}

std::vector<uint32_t> Chooser::Lacking() const {
  return tolerance_ > 0 ? TreeFor(tolerance_)->Lacking() : std::vector<uint32_t>{};
}

std::vector<uint32_t> Chooser::Lacking(const Plan& plan, const std::vector<size_t>& units) const {
  if (!plan.tree || !plan.work || !(tolerance_ > 0)) return {};
  // Another tolerance's tree (another stored order) makes its moments whole.
  const auto order = [](double tolerance) {
    tree::Settings settings;
    settings.tolerance = tolerance;
    return tree::StoredOrder(settings);
  };
  if (order(plan.tolerance) != order(tolerance_)) return {};
  const auto tree = TreeFor(tolerance_);
  std::vector<size_t> batches;
  for (size_t u : units)
    if (u < plan.NearUnits()) batches.push_back(u);
  return tree->Lacking(plan.tolerance, *plan.work, batches, &table_.Team());
}

std::vector<size_t> Chooser::PartsOf(size_t parts, const std::vector<uint32_t>& cells) const {
  if (cells.empty()) return {};
  return TreeFor(tolerance_)->PartsOf(parts, cells);
}

tree::Doubles Chooser::PackMoments(const std::vector<uint32_t>& cells) const {
  if (cells.empty()) return {};
  return TreeFor(tolerance_)->PackMoments(cells);
}

void Chooser::TakeMoments(const std::vector<uint32_t>& cells, tree::Doubles&& packed) const {
  if (cells.empty() && packed.empty()) return;
  TreeFor(tolerance_)->TakeMoments(cells, std::move(packed));
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
                       const EvaluateOptions& options) const {
  return ExecuteTensor(
      Choose(count, x, y, z, options.tolerance, Quantity::kTensor, options.threads), x, y, z, t,
      options);
}

bool Chooser::ExecuteTensor(const Plan& plan, const double* x, const double* y, const double* z,
                            double* t, const EvaluateOptions& options,
                            const std::vector<size_t>* units) const {
  std::vector<size_t> all;
  if (!units) {
    all.resize(plan.Units());
    std::iota(all.begin(), all.end(), size_t{0});
    units = &all;
  }
  if (plan.tree)
    return TreeFor(plan.tolerance, true)
        ->Gradient(plan.tolerance, *plan.work, *units, t, &table_.Team(), options);
  const std::vector<SIEntry>& entries = Entries();
  std::vector<size_t> points;
  for (size_t u : *units)
    for (size_t i : plan.Points(u)) points.push_back(i);
  // In blocks, between which `more` is told.
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
    if (options.more && !options.more(double(first + n) / double(points.size()))) return false;
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

size_t Chooser::Plan::NearUnits() const {
  return work ? work->Batches() : (Near() + kUnitBlock - 1) / kUnitBlock;
}

size_t Chooser::Plan::Units() const {
  return NearUnits() + (far.size() + kUnitBlock - 1) / kUnitBlock;
}

std::vector<size_t> Chooser::Plan::Places(size_t u) const {
  std::vector<size_t> places;
  const size_t near_units = NearUnits(), m = Near();
  if (u < near_units && work) {
    places.assign(work->order.begin() + ptrdiff_t(work->start[u]),
                  work->order.begin() + ptrdiff_t(work->start[u + 1]));
    return places;
  }
  const size_t first = u < near_units ? u * kUnitBlock : m + (u - near_units) * kUnitBlock;
  const size_t end = std::min(u < near_units ? m : count, first + kUnitBlock);
  for (size_t k = first; k < end; ++k) places.push_back(k);
  return places;
}

std::vector<size_t> Chooser::Plan::Points(size_t u) const {
  std::vector<size_t> points = Places(u);
  for (size_t& k : points) k = k < Near() ? near[k] : far[k - Near()];
  return points;
}

namespace {

// A plan's words: these first, then the far points, their orders, the
// batches' order (two places a word) and their starts.
namespace word {
enum : size_t {
  kQuantity,
  kTolerance,
  kCount,
  kFar,
  kTree,
  kWork,  // 1: the tree's targets follow
  kOrder,
  kStart,
  kMaxU,
  kMaxg,
  kMaxT,
  kHead
};
}  // namespace word

// Points i < count not in `far` (increasing, each below count), in order.
std::vector<size_t> NearOf(size_t count, const std::vector<size_t>& far) {
  std::vector<uint8_t> is_far(count, 0);
  for (size_t i : far) is_far[i] = 1;
  std::vector<size_t> near;
  near.reserve(count - far.size());
  for (size_t i = 0; i < count; ++i)
    if (!is_far[i]) near.push_back(i);
  return near;
}

uint64_t Bits(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

double Value(uint64_t b) {
  double v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

}  // namespace

std::vector<uint64_t> Chooser::Plan::Pack() const {
  const size_t order = work ? work->order.size() : 0, start = work ? work->start.size() : 0;
  std::vector<uint64_t> w(word::kHead + 2 * far.size() + (order + 1) / 2 + start, 0);
  w[word::kQuantity] = static_cast<uint64_t>(quantity);
  w[word::kTolerance] = Bits(tolerance);
  w[word::kCount] = count;
  w[word::kFar] = far.size();
  w[word::kTree] = tree;
  w[word::kWork] = work != nullptr;
  w[word::kOrder] = order, w[word::kStart] = start;
  if (work) {
    w[word::kMaxU] = Bits(work->maxU);
    w[word::kMaxg] = Bits(work->maxg);
    w[word::kMaxT] = Bits(work->maxT);
  }
  uint64_t* at = w.data() + word::kHead;
  for (size_t k = 0; k < far.size(); ++k) at[k] = far[k];
  at += far.size();
  for (size_t k = 0; k < far.size(); ++k) at[k] = static_cast<uint64_t>(int64_t{far_order[k]});
  at += far.size();
  for (size_t k = 0; k < order; ++k) at[k / 2] |= uint64_t{work->order[k]} << (32 * (k % 2));
  at += (order + 1) / 2;
  for (size_t k = 0; k < start; ++k) at[k] = work->start[k];
  return w;
}

Chooser::Plan Chooser::Plan::Unpack(const uint64_t* w, size_t size, const double* x,
                                    const double* y, const double* z) {
  const auto fits = [&](size_t order, size_t start) {
    return size == word::kHead + 2 * w[word::kFar] + (order + 1) / 2 + start;
  };
  if (size < word::kHead || w[word::kQuantity] > 1 || w[word::kFar] > w[word::kCount] ||
      w[word::kTree] > 1 || w[word::kWork] > 1 ||
      w[word::kOrder] > w[word::kCount] - w[word::kFar] || !fits(w[word::kOrder], w[word::kStart]))
    Error("a plan's words that no plan made.");
  Plan plan;
  plan.quantity = static_cast<Quantity>(w[word::kQuantity]);
  plan.tolerance = Value(w[word::kTolerance]);
  plan.count = w[word::kCount];
  plan.tree = w[word::kTree] != 0;
  const uint64_t* at = w + word::kHead;
  try {
    plan.far.assign(at, at + w[word::kFar]);
    at += w[word::kFar];
    plan.far_order.resize(w[word::kFar]);
    for (size_t k = 0; k < w[word::kFar]; ++k)
      plan.far_order[k] = static_cast<int>(static_cast<int64_t>(at[k]));
    at += w[word::kFar];
    for (size_t i : plan.far)
      if (i >= plan.count) Error("a plan's words that no plan made.");
    plan.near = NearOf(plan.count, plan.far);
    if (w[word::kWork]) {
      auto work = std::make_shared<tree::Tree::Targets>();
      const size_t order = w[word::kOrder];
      work->order.resize(order);
      for (size_t k = 0; k < order; ++k)
        work->order[k] = static_cast<uint32_t>(at[k / 2] >> (32 * (k % 2)));
      at += (order + 1) / 2;
      work->start.assign(at, at + w[word::kStart]);
      work->maxU = Value(w[word::kMaxU]);
      work->maxg = Value(w[word::kMaxg]);
      work->maxT = Value(w[word::kMaxT]);
      // The batches' points: the near points in the batches' order.
      work->x.resize(order), work->y.resize(order), work->z.resize(order);
      for (size_t k = 0; k < order; ++k) {
        if (work->order[k] >= plan.near.size()) Error("a plan's words that no plan made.");
        const size_t i = plan.near[work->order[k]];
        work->x[k] = x[i], work->y[k] = y[i], work->z[k] = z[i];
      }
      plan.work = std::move(work);
    }
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for P, X, Y and Z.");
  }
  return plan;
}

Chooser::Plan Chooser::Choose(size_t count, const double* x, const double* y, const double* z,
                              double tolerance, Quantity quantity, unsigned threads) const {
  Plan plan;
  plan.quantity = quantity;
  plan.tolerance = tolerance >= 0 ? tolerance : tolerance_;
  plan.count = count;
  std::vector<double> px, py, pz;
  try {
    if (quantity == Quantity::kField) FarPoints(count, x, y, z, &plan);
    plan.near = NearOf(count, plan.far);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for P, X, Y and Z.");
  }
  const size_t m = plan.Near();
  plan.tree = m > 0 && plan.tolerance > 0 && TreeIsFaster(model_.n, m, plan.tolerance);
  if (!plan.tree) return plan;
  if (quantity == Quantity::kTensor) {
    plan.work = std::make_shared<const tree::Tree::Targets>(
        TreeFor(plan.tolerance, true)->PrepareGradient(count, x, y, z, &table_.Team(), threads));
    return plan;
  }
  // The tree's batches of the near points, in their order.
  try {
    px.resize(m), py.resize(m), pz.resize(m);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for P, X, Y and Z.");
  }
  for (size_t k = 0; k < m; ++k)
    px[k] = x[plan.near[k]], py[k] = y[plan.near[k]], pz[k] = z[plan.near[k]];
  plan.work = std::make_shared<const tree::Tree::Targets>(
      TreeFor(plan.tolerance)
          ->Prepare(m, px.data(), py.data(), pz.data(), guard_, &table_.Team(), threads));
  return plan;
}

bool Chooser::Evaluate(size_t count, const double* x, const double* y, const double* z,
                       const FieldOut& out, const EvaluateOptions& options) const {
  return Execute(Choose(count, x, y, z, options.tolerance, Quantity::kField, options.threads), x, y,
                 z, out, options);
}

bool Chooser::Execute(const Plan& plan, const double* x, const double* y, const double* z,
                      const FieldOut& out, const EvaluateOptions& options,
                      const std::vector<size_t>* units) const {
  const double tolerance = plan.tolerance;
  const size_t count = plan.count, m = plan.Near();
  if (tolerance == 0 && !far_expansion_ && !units) {
    ExactTable();
    return table_.Evaluate(count, x, y, z, out, options);
  }
  std::vector<size_t> all;
  if (!units) {
    all.resize(plan.Units());
    std::iota(all.begin(), all.end(), size_t{0});
    units = &all;
  }
  // The places of the units (the tree's batches apart), their points
  // gathered and every result made before any is written: the results may
  // overwrite the coordinates. Results at res[q * count + place].
  std::vector<size_t> batches, near, far, written;
  std::vector<double> px, py, pz, res;
  try {
    for (size_t u : *units) {
      const std::vector<size_t> places = plan.Places(u);
      std::vector<size_t>& to = u >= plan.NearUnits() ? far : plan.tree ? batches : near;
      if (&to == &batches)
        batches.push_back(u);
      else
        to.insert(to.end(), places.begin(), places.end());
      written.insert(written.end(), places.begin(), places.end());
    }
    res.resize(4 * count);
    const size_t most = std::max(near.size(), far.size());
    px.resize(most), py.resize(most), pz.resize(most);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for P, X, Y and Z.");
  }
  const FieldOut sub{res.data(), res.data() + count, res.data() + 2 * count,
                     res.data() + 3 * count};
  bool finished = true;
  if (!batches.empty())
    finished = TreeFor(tolerance)->Evaluate(tolerance, *plan.work, batches, sub, guard_,
                                            &table_.Team(), options);
  if (!near.empty()) {
    for (size_t k = 0; k < near.size(); ++k) {
      const size_t i = plan.near[near[k]];
      px[k] = x[i], py[k] = y[i], pz[k] = z[i];
    }
    std::vector<double> field(4 * near.size());
    const size_t c = near.size();
    const kernel::Model& table = tolerance == 0 ? ExactTable() : TreeFor(tolerance)->table();
    finished =
        EvaluateTable(*isa_, guard_, table, table_.Team(), c, px.data(), py.data(), pz.data(),
                      {field.data(), field.data() + c, field.data() + 2 * c, field.data() + 3 * c},
                      options) &&
        finished;
    for (size_t k = 0; k < c; ++k)
      for (size_t q = 0; q < 4; ++q) res[q * count + near[k]] = field[q * c + k];
  }
  if (!far.empty()) {
    const tree::Expansion& e = ExpansionFor(tolerance);
    const size_t c = far.size();
    for (size_t k = 0; k < c; ++k) {
      const size_t i = plan.far[far[k] - m];
      px[k] = x[i], py[k] = y[i], pz[k] = z[i];
    }
    std::vector<double> field(4 * c);
    for (size_t k = 0; k < c;) {
      const int order = plan.far_order[far[k] - m];
      size_t j = k;
      while (j < c && plan.far_order[far[j] - m] == order) ++j;
      e.Evaluate(order, j - k, &px[k], &py[k], &pz[k], &field[4 * k]);
      k = j;
    }
    for (size_t k = 0; k < c; ++k)
      for (size_t q = 0; q < 4; ++q) res[q * count + far[k]] = field[4 * k + q];
  }
  for (size_t k : written) {
    const size_t i = k < m ? plan.near[k] : plan.far[k - m];
    if (out.U) out.U[i] = sub.U[k];
    if (out.gx) out.gx[i] = sub.gx[k];
    if (out.gy) out.gy[i] = sub.gy[k];
    if (out.gz) out.gz[i] = sub.gz[k];
  }
  return finished;
}
