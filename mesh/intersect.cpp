// The orientation predicate with a certified error bound, the triangle tests
// built on its signs alone, and the face tree.
#include "mesh/intersect.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace mesh {

int Side(Vec a, Vec b, Vec c, Vec d) {
  // det [a - d; b - d; c - d], positive when d lies against the normal of
  // a, b, c; its rounding error is below (7 + 56 eps) eps times the
  // permanent (the same sum with every product taken in magnitude), eps =
  // 2^-53, as long as nothing underflows.
  const double adx = a.x - d.x, bdx = b.x - d.x, cdx = c.x - d.x;
  const double ady = a.y - d.y, bdy = b.y - d.y, cdy = c.y - d.y;
  const double adz = a.z - d.z, bdz = b.z - d.z, cdz = c.z - d.z;
  const double bdxcdy = bdx * cdy, cdxbdy = cdx * bdy;
  const double cdxady = cdx * ady, adxcdy = adx * cdy;
  const double adxbdy = adx * bdy, bdxady = bdx * ady;
  const double det = adz * (bdxcdy - cdxbdy) + bdz * (cdxady - adxcdy) + cdz * (adxbdy - bdxady);
  const double permanent = (std::fabs(bdxcdy) + std::fabs(cdxbdy)) * std::fabs(adz) +
                           (std::fabs(cdxady) + std::fabs(adxcdy)) * std::fabs(bdz) +
                           (std::fabs(adxbdy) + std::fabs(bdxady)) * std::fabs(cdz);
  constexpr double kEps = 0x1p-53;
  const double bound = (7.0 + 56.0 * kEps) * kEps * permanent;
  if (det > bound) return -1;
  if (-det > bound) return 1;
  return 0;  // also for a determinant or bound that is not a number
}

namespace {

// The corner of a triangle alone on its side of a plane, given the three
// signs: its sign is s != 0 and the other two are -s or 0. -1 when there is
// none (the triangle does not reach both sides for certain).
int Lone(const int s[3]) {
  bool plus = false, minus = false;
  for (int k = 0; k < 3; ++k) plus |= s[k] > 0, minus |= s[k] < 0;
  if (!plus || !minus) return -1;
  for (int k = 0; k < 3; ++k)
    if (s[k] != 0 && s[(k + 1) % 3] != s[k] && s[(k + 2) % 3] != s[k]) return k;
  return -1;
}

}  // namespace

bool TrianglesCross(const Vec t[3], const Vec u[3]) {
  int st[3], su[3];
  for (int k = 0; k < 3; ++k) st[k] = Side(u[0], u[1], u[2], t[k]);
  const int lt = Lone(st);
  if (lt < 0) return false;
  for (int k = 0; k < 3; ++k) su[k] = Side(t[0], t[1], t[2], u[k]);
  const int lu = Lone(su);
  if (lu < 0) return false;
  // Each lone corner first (a rotation keeps the orientation); then each
  // lone corner against the other's normal, by turning that triangle over
  // (swapping its last two corners turns over its plane only).
  Vec p1 = t[lt], q1 = t[(lt + 1) % 3], r1 = t[(lt + 2) % 3];
  Vec p2 = u[lu], q2 = u[(lu + 1) % 3], r2 = u[(lu + 2) % 3];
  if (st[lt] > 0) std::swap(q2, r2);
  if (su[lu] > 0) std::swap(q1, r1);
  // Now p1 is behind the plane of p2 q2 r2 and p2 behind that of p1 q1 r1;
  // the two segments on the planes' common line overlap over more than a
  // point exactly when both signs below are certain and positive (after
  // Guigue and Devillers, with every test strict).
  return Side(p1, q1, p2, q2) > 0 && Side(p1, r1, r2, p2) > 0;
}

int SegmentCrossing(Vec p, Vec q, const Vec t[3]) {
  const int l[3] = {Side(p, q, t[0], t[1]), Side(p, q, t[1], t[2]), Side(p, q, t[2], t[0])};
  const bool plus = l[0] > 0 || l[1] > 0 || l[2] > 0, minus = l[0] < 0 || l[1] < 0 || l[2] < 0;
  if (plus && minus) return 0;  // the line passes beside the triangle
  const int sp = Side(t[0], t[1], t[2], p), sq = Side(t[0], t[1], t[2], q);
  if (sp != 0 && sp == sq) return 0;  // both ends on one side
  if (sp == 0 || sq == 0 || l[0] == 0 || l[1] == 0 || l[2] == 0) return 2;
  return sp < 0 ? 1 : -1;
}

Vec SpreadDirection(int k, int count) {
  const double a = 2.399963229728653 * (k + 0.5), z = 1 - (2.0 * k + 1) / count;
  const double r = std::sqrt(1 - z * z);
  return {r * std::cos(a) + 0.0123, r * std::sin(a) - 0.0071, z + 0.0037};
}

namespace {

// Interleaves the low 21 bits of x with two zero bits after each.
uint64_t Spread(uint64_t x) {
  x &= 0x1fffff;
  x = (x | x << 32) & 0x1f00000000ffffull;
  x = (x | x << 16) & 0x1f0000ff0000ffull;
  x = (x | x << 8) & 0x100f00f00f00f00full;
  x = (x | x << 4) & 0x10c30c30c30c30c3ull;
  x = (x | x << 2) & 0x1249249249249249ull;
  return x;
}

constexpr uint32_t kLeafFaces = 4;

}  // namespace

FaceTree::FaceTree(const Mesh& m, std::vector<uint32_t> faces) : order_(std::move(faces)) {
  if (order_.empty()) return;
  std::vector<Box> box(order_.size());
  Box all{{HUGE_VAL, HUGE_VAL, HUGE_VAL}, {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL}};
  for (size_t i = 0; i < order_.size(); ++i) {
    Box& b = box[i];
    for (int k = 0; k < 3; ++k) b.lo[k] = HUGE_VAL, b.hi[k] = -HUGE_VAL;
    for (int c = 0; c < 3; ++c) {
      const double* v = &m.vertices[3 * size_t{m.faces[3 * size_t{order_[i]} + c]}];
      for (int k = 0; k < 3; ++k)
        b.lo[k] = std::min(b.lo[k], v[k]), b.hi[k] = std::max(b.hi[k], v[k]);
    }
    for (int k = 0; k < 3; ++k)
      all.lo[k] = std::min(all.lo[k], b.lo[k]), all.hi[k] = std::max(all.hi[k], b.hi[k]);
  }
  double extent = 0;
  for (int k = 0; k < 3; ++k) extent = std::max(extent, all.hi[k] - all.lo[k]);
  for (int k = 0; k < 3; ++k)
    margin_ = std::max(margin_, 1e-12 * (extent + std::fabs(all.lo[k]) + std::fabs(all.hi[k])));
  // Morton order of the boxes' centres on a grid of 2^21 a side.
  std::vector<std::pair<uint64_t, uint32_t>> key(order_.size());
  for (size_t i = 0; i < order_.size(); ++i) {
    uint64_t code = 0;
    for (int k = 0; k < 3; ++k) {
      const double width = all.hi[k] - all.lo[k];
      const double t = width > 0 ? ((box[i].lo[k] + box[i].hi[k]) / 2 - all.lo[k]) / width : 0;
      code |= Spread(static_cast<uint64_t>(std::clamp(t, 0.0, 1.0) * 2097151.0)) << k;
    }
    key[i] = {code, static_cast<uint32_t>(i)};
  }
  std::sort(key.begin(), key.end());
  std::vector<uint32_t> order(order_.size());
  boxes_.resize(order_.size());
  for (size_t i = 0; i < key.size(); ++i) {
    order[i] = order_[key[i].second];
    boxes_[i] = box[key[i].second];
  }
  order_ = std::move(order);
  nodes_.reserve(2 * (order_.size() / kLeafFaces + 1));
  Build(0, static_cast<uint32_t>(order_.size()));
}

uint32_t FaceTree::Build(uint32_t first, uint32_t count) {
  const uint32_t n = static_cast<uint32_t>(nodes_.size());
  nodes_.push_back({{}, first, count, 0});
  Box box;
  if (count <= kLeafFaces) {
    box = boxes_[first];
    for (uint32_t i = first + 1; i < first + count; ++i)
      for (int k = 0; k < 3; ++k)
        box.lo[k] = std::min(box.lo[k], boxes_[i].lo[k]),
        box.hi[k] = std::max(box.hi[k], boxes_[i].hi[k]);
  } else {
    const uint32_t half = count / 2;
    Build(first, half);
    const uint32_t right = Build(first + half, count - half);
    nodes_[n].right = right;
    const Box& a = nodes_[n + 1].box;
    const Box& b = nodes_[right].box;
    for (int k = 0; k < 3; ++k)
      box.lo[k] = std::min(a.lo[k], b.lo[k]), box.hi[k] = std::max(a.hi[k], b.hi[k]);
  }
  nodes_[n].box = box;
  return n;
}

bool FaceTree::SegmentMeets(const Box& box, Vec p, Vec q) const {
  // The slabs' parameter intervals along p + s (q - p), s in [0, 1], the
  // box widened by the margin.
  const double from[3] = {p.x, p.y, p.z}, d[3] = {q.x - p.x, q.y - p.y, q.z - p.z};
  double s0 = 0, s1 = 1;
  for (int k = 0; k < 3; ++k) {
    const double lo = box.lo[k] - margin_, hi = box.hi[k] + margin_;
    if (d[k] == 0) {
      if (from[k] < lo || from[k] > hi) return false;
      continue;
    }
    double a = (lo - from[k]) / d[k], b = (hi - from[k]) / d[k];
    if (a > b) std::swap(a, b);
    s0 = std::max(s0, a), s1 = std::min(s1, b);
    if (s0 > s1) return false;
  }
  return true;
}

}  // namespace mesh
