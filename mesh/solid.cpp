// Where a point lies against a closed model: near a face through the box
// tree, else by the crossings of a ray, each of a certain sign.
#include "mesh/solid.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace mesh {

using geometry::Cross;
using geometry::Dot;

namespace {

constexpr int kRays = 16;

std::vector<uint32_t> AreaFaces(const Mesh& m) {
  std::vector<uint32_t> faces;
  faces.reserve(m.FaceCount());
  for (size_t f = 0; f < m.FaceCount(); ++f)
    if (!m.ZeroArea(f)) faces.push_back(static_cast<uint32_t>(f));
  return faces;
}

Vec Scaled(Vec a, double s) {
  return {a.x * s, a.y * s, a.z * s};
}

}  // namespace

double Distance(Vec p, const Vec t[3]) {
  // The closest point by the region of p against the corners and edges
  // (after Ericson, Real-Time Collision Detection, 5.1.5).
  const Vec a = t[0], b = t[1], c = t[2];
  const Vec ab = b - a, ac = c - a, ap = p - a;
  const double d1 = Dot(ab, ap), d2 = Dot(ac, ap);
  if (d1 <= 0 && d2 <= 0) return geometry::Norm(ap);
  const Vec bp = p - b;
  const double d3 = Dot(ab, bp), d4 = Dot(ac, bp);
  if (d3 >= 0 && d4 <= d3) return geometry::Norm(bp);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0 && d1 >= 0 && d3 <= 0) return geometry::Norm(ap - Scaled(ab, d1 / (d1 - d3)));
  const Vec cp = p - c;
  const double d5 = Dot(ab, cp), d6 = Dot(ac, cp);
  if (d6 >= 0 && d5 <= d6) return geometry::Norm(cp);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0 && d2 >= 0 && d6 <= 0) return geometry::Norm(ap - Scaled(ac, d2 / (d2 - d6)));
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0 && d4 - d3 >= 0 && d5 - d6 >= 0)
    return geometry::Norm(bp - Scaled(c - b, (d4 - d3) / ((d4 - d3) + (d5 - d6))));
  // Inside the face's prism: the distance to its plane.
  const Vec n = Cross(ab, ac);
  return std::fabs(Dot(ap, n)) / geometry::Norm(n);
}

Solid::Solid(const Mesh& m) : m_(m), tree_(m, AreaFaces(m)) {
  Bound();
}

Solid::Solid(const Mesh& m, FaceTree tree) : m_(m), tree_(std::move(tree)) {
  Bound();
}

void Solid::Bound() {
  bool first = true;
  for (size_t f = 0; f < m_.FaceCount(); ++f)
    for (int k = 0; k < 3; ++k) {
      const Vec v = m_.Corner(f, k);
      if (first) lo_ = hi_ = v, first = false;
      lo_ = {std::min(lo_.x, v.x), std::min(lo_.y, v.y), std::min(lo_.z, v.z)};
      hi_ = {std::max(hi_.x, v.x), std::max(hi_.y, v.y), std::max(hi_.z, v.z)};
    }
}

bool Solid::InBox(Vec p, double margin) const {
  return lo_.x - margin <= p.x && p.x <= hi_.x + margin && lo_.y - margin <= p.y &&
         p.y <= hi_.y + margin && lo_.z - margin <= p.z && p.z <= hi_.z + margin;
}

bool Solid::Near(Vec p, double tolerance) const {
  if (!InBox(p, tolerance)) return false;
  bool on = false;
  tree_.NearPoint(p, tolerance, [&](uint32_t f) {
    if (on) return;
    Vec t[3];
    Triangle(f, t);
    on = Distance(p, t) <= tolerance;
  });
  return on;
}

Solid::Where Solid::Locate(Vec p, double tolerance) const {
  if (!InBox(p, tolerance)) return Where::kOutside;
  if (Near(p, tolerance)) return Where::kOn;
  // A ray from p to beyond the box: +1 for every face it leaves the solid
  // through, -1 for every one it enters by.
  const Vec middle = Scaled(lo_ + hi_, 0.5);
  const double reach = 2 * (geometry::Norm(hi_ - lo_) + geometry::Norm(p - middle)) + 1;
  for (int k = 0; k < kRays; ++k) {
    const Vec d = SpreadDirection(k, kRays);
    const Vec q = p + Scaled(d, reach / geometry::Norm(d));
    bool unclear = false;
    int winding = 0;
    tree_.AlongSegment(p, q, [&](uint32_t f) {
      if (unclear) return;
      Vec t[3];
      Triangle(f, t);
      const int s = SegmentCrossing(p, q, t);
      if (s == 2) unclear = true;
      winding += s;
    });
    if (!unclear) return winding != 0 ? Where::kInside : Where::kOutside;
  }
  return Where::kOn;
}

std::vector<uint32_t> UsedVertices(const Mesh& m) {
  std::vector<uint32_t> used;
  std::vector<bool> seen(m.VertexCount());
  for (const uint32_t v : m.faces)
    if (!seen[v]) seen[v] = true, used.push_back(v);
  return used;
}

}  // namespace mesh
