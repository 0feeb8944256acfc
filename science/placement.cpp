// How the parts of a body lie against each other: a cavity (a part of
// negative density) must lie inside the parts of positive density, and two
// parts of positive density that overlap are told.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "common/geometry.h"
#include "common/print.h"
#include "mesh/intersect.h"
#include "mesh/mesh.h"
#include "mesh/solid.h"
#include "science/body.h"

namespace science {

namespace {

using geometry::Vec;
using Where = mesh::Solid::Where;

std::string PointText(Vec p, const std::string& unit) {
  return ShortestDigits(p.x) + " " + ShortestDigits(p.y) + " " + ShortestDigits(p.z) +
         (unit.empty() ? "" : " " + unit);
}

// "part 2 (core.stl)", as the header numbers the parts.
std::string PartText(const Body& body, size_t i) {
  const Part& p = body.part(i);
  return "part " + std::to_string(i + 1) + " (" + (p.name().empty() ? "arrays" : p.name()) + ")";
}

// The part a message is about, first: "core.stl: part 2", as messages
// name their file first, else "part 2 (arrays)".
std::string Subject(const Body& body, size_t i) {
  const std::string& name = body.part(i).name();
  return name.empty() ? PartText(body, i) : name + ": part " + std::to_string(i + 1);
}

// Calls found(f, g, t, u) for faces f of a and g of b (corners t and u)
// that cross, where t reaches beyond the plane of u by more than the
// tolerance on the side `side` of it (+1: along u's outward normal, out of
// b; -1: into b), until found returns true; whether it did. Faces that only
// graze each other (a face of one on a face of the other, to rounding) do
// not count.
template <class Found>
bool Crossing(const mesh::Solid& a, const mesh::Solid& b, double tolerance, int side, Found found) {
  bool done = false;
  a.tree().PairsWith(b.tree(), [&](uint32_t f, uint32_t g) {
    if (done) return;
    Vec t[3], u[3];
    a.Triangle(f, t), b.Triangle(g, u);
    if (!mesh::TrianglesCross(t, u)) return;
    const Vec n = geometry::FacetNormal(u[0], u[1], u[2]);
    const double length = geometry::Norm(n);
    double reach = 0;
    for (int k = 0; k < 3; ++k)
      reach = std::max(reach, side * geometry::Dot(t[k] - u[0], n) / length);
    if (reach > tolerance) done = found(f, g, t, u);
  });
  return done;
}

// Where the edges of each of two crossing triangles pass through the
// other: the ends of the segment they share.
std::vector<Vec> CrossingPoints(const Vec t[3], const Vec u[3]) {
  std::vector<Vec> points;
  const auto pierce = [&](Vec p, Vec q, const Vec w[3]) {
    const int s = mesh::SegmentCrossing(p, q, w);
    if (s != 1 && s != -1) return;
    const Vec n = geometry::FacetNormal(w[0], w[1], w[2]);
    const double along = geometry::Dot(q - p, n);
    if (along == 0) return;
    const double f = geometry::Dot(w[0] - p, n) / along;
    points.push_back({p.x + f * (q.x - p.x), p.y + f * (q.y - p.y), p.z + f * (q.z - p.z)});
  };
  for (int k = 0; k < 3; ++k) {
    pierce(t[k], t[(k + 1) % 3], u);
    pierce(u[k], u[(k + 1) % 3], t);
  }
  return points;
}

// The points of s that stand for all of it against the surfaces of
// `others`, where s crosses none of them: s's vertices farther than the
// tolerance from every one of those surfaces, in groups joined by s's
// edges between two of them (the first vertex of each group), and the
// centroids of s's faces whose corners are all on them. Without crossings
// every point of a group lies where its first vertex does (inside or
// outside each of the others), as does a face of corners on them where its
// centroid does; only those are located by rays.
struct Representative {
  Vec p;
  bool vertex;  // else a face's centroid
};
std::vector<Representative> Representatives(const mesh::Solid& s,
                                            const std::vector<const mesh::Solid*>& others,
                                            double tolerance) {
  const mesh::Mesh& m = s.model();
  const size_t V = m.VertexCount();
  std::vector<uint8_t> on(V, 0);
  std::vector<uint32_t> group(V);
  std::iota(group.begin(), group.end(), 0u);
  const auto find = [&](uint32_t i) {
    while (group[i] != i) i = group[i] = group[group[i]];
    return i;
  };
  const std::vector<uint32_t> used = mesh::UsedVertices(m);
  for (const uint32_t v : used) {
    const Vec p = geometry::At(&m.vertices[3 * size_t{v}]);
    for (const mesh::Solid* o : others) on[v] = on[v] || o->Near(p, tolerance);
  }
  for (size_t f = 0; f < m.FaceCount(); ++f)
    for (int k = 0; k < 3; ++k) {
      const uint32_t a = m.faces[3 * f + k], b = m.faces[3 * f + (k + 1) % 3];
      if (on[a] || on[b]) continue;
      const uint32_t ra = find(a), rb = find(b);
      if (ra != rb) group[std::max(ra, rb)] = std::min(ra, rb);
    }
  std::vector<Representative> out;
  std::vector<uint8_t> taken(V, 0);
  for (const uint32_t v : used) {
    if (on[v]) continue;
    const uint32_t r = find(v);
    if (taken[r]) continue;
    taken[r] = 1;
    out.push_back({geometry::At(&m.vertices[3 * size_t{v}]), true});
  }
  for (size_t f = 0; f < m.FaceCount(); ++f) {
    const uint32_t* c = &m.faces[3 * f];
    if (!(on[c[0]] && on[c[1]] && on[c[2]])) continue;
    const Vec a = m.Corner(f, 0), b = m.Corner(f, 1), d = m.Corner(f, 2);
    out.push_back({{(a.x + b.x + d.x) / 3, (a.y + b.y + d.y) / 3, (a.z + b.z + d.z) / 3}, false});
  }
  return out;
}

// Whether the insides of two solids overlap: their surfaces crossing, a
// point of one inside the other, or one all on the other's surface (the
// same solid twice). Solids that touch (a face on a face, a vertex on a
// face) do not overlap.
bool Overlap(const mesh::Solid& a, const mesh::Solid& b, double tolerance) {
  if (Crossing(a, b, tolerance, -1,
               [](uint32_t, uint32_t, const Vec*, const Vec*) { return true; }))
    return true;
  for (const auto& [s, o] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
    bool all_on = true;
    for (const Representative& r : Representatives(*s, {o}, tolerance)) {
      const Where w = o->Locate(r.p, tolerance);
      if (w == Where::kInside) return true;
      all_on = all_on && w == Where::kOn;
    }
    if (all_on) return true;
  }
  return false;
}

// The placement of a body's parts (each fit for the field formulas). A
// point is inside the parts of positive density when it is inside or on
// one of them; a part of negative density is inside them when its vertices
// are and its surface crosses none of theirs but where another positive
// part goes on beyond the face it crosses (a cavity across two parts that
// touch). Distances below the tolerance, a billionth of the body's size
// (and some rounding of its coordinates), are taken as touching: a cavity
// that shares a face's plane with its host is inside. The trees the parts'
// checks built are taken over: the cost is a look at the faces near each
// vertex, a ray from one vertex of each piece (Representatives) and the
// pairs of faces whose boxes meet.
Body::Placement Place(const Body& body, const std::string& unit) {
  Body::Placement out;
  const size_t P = body.PartCount();
  std::vector<size_t> positive, negative;
  for (size_t i = 0; i < P; ++i) (body.part(i).density() < 0 ? negative : positive).push_back(i);
  if (negative.empty() && positive.size() < 2) return out;
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  double magnitude = 0;
  for (size_t i = 0; i < P; ++i) {
    const mesh::Mesh& m = body.part(i).model();
    for (const uint32_t v : m.faces)
      for (int k = 0; k < 3; ++k) {
        const double c = m.vertices[3 * size_t{v} + k];
        lo[k] = std::min(lo[k], c), hi[k] = std::max(hi[k], c);
        magnitude = std::max(magnitude, std::fabs(c));
      }
  }
  const double extent = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
  const double tolerance = 1e-9 * extent + 1e-13 * magnitude;
  std::vector<std::unique_ptr<mesh::Solid>> solids(P);
  const auto solid = [&](size_t i) -> const mesh::Solid& {
    if (solids[i]) return *solids[i];
    const Part& part = body.part(i);
    std::unique_ptr<mesh::FaceTree> tree = part.TakeTree();
    solids[i] = tree ? std::make_unique<mesh::Solid>(part.model(), std::move(*tree))
                     : std::make_unique<mesh::Solid>(part.model());
    return *solids[i];
  };
  for (const size_t b : negative) {
    const std::string refused = Subject(body, b) + ", of density " +
                                ShortestDigits(body.part(b).density()) +
                                " kg/m^3, reaches outside the parts of positive density (a "
                                "negative mass in empty space): ";
    std::vector<const mesh::Solid*> hosts;
    for (const size_t a : positive) hosts.push_back(&solid(a));
    const auto held = [&](Vec p) {
      for (const mesh::Solid* a : hosts)
        if (a->Locate(p, tolerance) != Where::kOutside) return true;
      return false;
    };
    for (const Representative& r : Representatives(solid(b), hosts, tolerance))
      if (!held(r.p)) {
        out.problem = refused + (r.vertex ? "its vertex at " : "the centroid of its face at ") +
                      PointText(r.p, unit) + " lies outside them";
        return out;
      }
    for (const size_t a : positive) {
      const auto uncovered = [&](uint32_t, uint32_t, const Vec* t, const Vec* u) {
        // A crossing where another part of positive density goes on
        // beyond this one's face (it holds the points just outside it) is
        // no way out.
        const std::vector<Vec> points = CrossingPoints(t, u);
        const Vec n = geometry::FacetNormal(u[0], u[1], u[2]);
        const double step = 16 * tolerance / geometry::Norm(n);
        bool covered = !points.empty();
        for (const Vec& p : points) {
          const Vec q{p.x + step * n.x, p.y + step * n.y, p.z + step * n.z};
          bool inside = false;
          for (const size_t c : positive)
            inside = inside || (c != a && solid(c).Locate(q, tolerance) == Where::kInside);
          covered = covered && inside;
        }
        if (covered) return false;
        // A corner of the face that crosses out, if one lies outside.
        for (int k = 0; k < 3; ++k)
          if (!held(t[k])) {
            out.problem = refused + "its vertex at " + PointText(t[k], unit) + " lies outside them";
            return true;
          }
        const Vec p = points.empty() ? t[0] : points[0];
        out.problem = refused + "its surface crosses that of " + PartText(body, a) + " at " +
                      PointText(p, unit);
        return true;
      };
      if (Crossing(solid(b), solid(a), tolerance, +1, uncovered)) return out;
    }
  }
  for (size_t x = 0; x < positive.size(); ++x)
    for (size_t y = x + 1; y < positive.size(); ++y) {
      const size_t i = positive[x], j = positive[y];
      if (!Overlap(solid(i), solid(j), tolerance)) continue;
      const double di = body.part(i).density(), dj = body.part(j).density();
      out.overlaps.push_back(Subject(body, j) + " overlaps " + PartText(body, i) +
                             ", both of positive density: their densities add where they "
                             "overlap (" +
                             ShortestDigits(di) + " + " + ShortestDigits(dj) + " = " +
                             ShortestDigits(di + dj) + " kg/m^3)");
    }
  return out;
}

}  // namespace

const Body::Placement& Body::Placed() const {
  std::call_once(placed_, [&] { placement_ = Place(*this, unit_); });
  return placement_;
}

}  // namespace science
