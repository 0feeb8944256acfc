// The model check: faces and their edges grouped by their lowest vertex,
// pieces joined across shared edges, crossings found through a box tree,
// and each piece's place (inside another or not) by a ray's crossings.
#include "mesh/check.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <sstream>

#include "mesh/intersect.h"

namespace mesh {

using geometry::Vec;

namespace {

// Items 0 .. n-1 in groups by a key below `groups` (a counting sort): the
// items of group g are item[offset[g]] to item[offset[g + 1] - 1], in order.
struct Groups {
  std::vector<uint32_t> offset, item;
};
template <class Key>
Groups GroupBy(size_t groups, size_t n, Key key) {
  Groups g;
  g.offset.assign(groups + 1, 0);
  for (size_t i = 0; i < n; ++i) ++g.offset[key(i) + 1];
  std::partial_sum(g.offset.begin(), g.offset.end(), g.offset.begin());
  g.item.resize(n);
  std::vector<uint32_t> next(g.offset.begin(), g.offset.end() - 1);
  for (size_t i = 0; i < n; ++i) g.item[next[key(i)]++] = static_cast<uint32_t>(i);
  return g;
}

// Sorts a group's few items by `less` (insertion: groups are a vertex's
// faces or edges).
template <class Less>
void SortGroup(uint32_t* first, uint32_t* last, Less less) {
  for (uint32_t* i = first + 1; i < last; ++i)
    for (uint32_t* j = i; j > first && less(*j, *(j - 1)); --j) std::swap(*j, *(j - 1));
}

class UnionFind {
 public:
  explicit UnionFind(size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0u); }
  uint32_t Find(uint32_t i) {
    while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
    return i;
  }
  void Join(uint32_t a, uint32_t b) {
    a = Find(a), b = Find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<uint32_t> parent_;
};

bool Finite(Vec v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

bool ShareVertex(const uint32_t* a, const uint32_t* b) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (a[i] == b[j]) return true;
  return false;
}

// Rays a piece is tried with before it counts as inside another: the
// centroids of faces spread over it, each towards its own direction.
constexpr int kRays = 16;

}  // namespace

geometry::VolumeAbout VolumeOf(const Mesh& m) {
  geometry::VolumeAbout sum(m.FaceCount() ? m.Corner(0, 0) : Vec{0, 0, 0});
  for (size_t f = 0; f < m.FaceCount(); ++f)
    sum.Add(m.Corner(f, 0), m.Corner(f, 1), m.Corner(f, 2));
  return sum;
}

namespace {

// The check's stages over one model, in their order: the faces that count,
// duplicates, edges and the pieces they join, the pieces' volumes,
// crossings, and the pieces' places. Each stage adds its findings to the
// report.
class Checker {
 public:
  explicit Checker(const Mesh& m) : m_(m) {
    r_.vertices = m.VertexCount();
    r_.faces = m.FaceCount();
    r_.solids = m.solids;
    // Half-edges are numbered 3i + k in 32 bits.
    if (r_.faces > UINT32_MAX / 3) throw Failure("more than 1431655765 faces: too many to check");
  }

  CheckReport Run(std::unique_ptr<FaceTree>& kept) {
    Usable();
    r_.volume = VolumeOf(m_).Volume();
    Duplicates();
    UnionFind pieces(usable_.size());
    Edges(pieces);
    Pieces(pieces);
    if (r_.nonfinite_faces) return r_;
    kept = std::make_unique<FaceTree>(m_, usable_);
    Crossings(*kept);
    if (r_.components < 2 || r_.boundary_edges || r_.non_manifold_edges || r_.inconsistent_edges ||
        r_.duplicate_faces || r_.intersecting_pairs)
      return r_;
    Places(*kept);
    return r_;
  }

 private:
  uint32_t Corner(uint32_t i, int k) const { return m_.faces[3 * size_t{usable_[i]} + k]; }
  void Triangle(uint32_t f, Vec t[3]) const {
    for (int k = 0; k < 3; ++k) t[k] = m_.Corner(f, k);
  }

  // Faces of finite coordinates and nonzero area: the ones whose edges,
  // pieces and crossings count.
  void Usable() {
    usable_.reserve(r_.faces);
    for (size_t f = 0; f < r_.faces; ++f) {
      if (!Finite(m_.Corner(f, 0)) || !Finite(m_.Corner(f, 1)) || !Finite(m_.Corner(f, 2))) {
        ++r_.nonfinite_faces;
        continue;
      }
      const Vec n = m_.Normal(f);
      if (m_.ZeroArea(f, n)) {
        ++r_.degenerate_faces;
        continue;
      }
      usable_.push_back(static_cast<uint32_t>(f));
      if (!m_.normals.empty()) {
        const float* s = &m_.normals[3 * f];
        if (s[0] != 0 || s[1] != 0 || s[2] != 0) {
          ++r_.stl_normals;
          if (s[0] * n.x + s[1] * n.y + s[2] * n.z < 0) ++r_.normals_against_winding;
        }
      }
    }
  }

  // Duplicates: faces grouped by their lowest vertex, then by the other two.
  void Duplicates() {
    const size_t U = usable_.size();
    std::vector<std::array<uint32_t, 3>> sorted(U);
    for (uint32_t i = 0; i < U; ++i) {
      sorted[i] = {Corner(i, 0), Corner(i, 1), Corner(i, 2)};
      std::sort(sorted[i].begin(), sorted[i].end());
    }
    Groups g = GroupBy(r_.vertices, U, [&](size_t i) { return sorted[i][0]; });
    for (size_t v = 0; v < r_.vertices; ++v) {
      uint32_t* first = g.item.data() + g.offset[v];
      uint32_t* last = g.item.data() + g.offset[v + 1];
      SortGroup(first, last, [&](uint32_t a, uint32_t b) { return sorted[a] < sorted[b]; });
      for (uint32_t* i = first + 1; i < last; ++i)
        if (sorted[*i] == sorted[*(i - 1)]) ++r_.duplicate_faces;
    }
  }

  // Edges: half-edge 3i + k runs from corner k of face i to corner k + 1;
  // grouped by the lower end, then by the higher. Faces on a shared edge
  // are one piece.
  void Edges(UnionFind& pieces) {
    const auto from = [&](uint32_t h) { return Corner(h / 3, h % 3); };
    const auto to = [&](uint32_t h) { return Corner(h / 3, (h % 3 + 1) % 3); };
    const auto lo = [&](uint32_t h) { return std::min(from(h), to(h)); };
    const auto hi = [&](uint32_t h) { return std::max(from(h), to(h)); };
    Groups g = GroupBy(r_.vertices, 3 * usable_.size(),
                       [&](size_t h) { return lo(static_cast<uint32_t>(h)); });
    for (size_t v = 0; v < r_.vertices; ++v) {
      uint32_t* first = g.item.data() + g.offset[v];
      uint32_t* last = g.item.data() + g.offset[v + 1];
      SortGroup(first, last, [&](uint32_t a, uint32_t b) { return hi(a) < hi(b); });
      for (uint32_t* i = first; i < last;) {
        uint32_t* end = i + 1;
        while (end < last && hi(*end) == hi(*i)) ++end;
        const size_t uses = size_t(end - i);
        size_t forward = 0;
        for (uint32_t* j = i; j < end; ++j) {
          forward += from(*j) < to(*j);
          pieces.Join(*i / 3, *j / 3);
        }
        if (uses == 1) ++r_.boundary_edges;
        if (uses > 2) ++r_.non_manifold_edges;
        if (uses == 2 && forward != 1) ++r_.inconsistent_edges;
        i = end;
      }
    }
  }

  // The pieces, numbered in the order of their first face, and each one's
  // signed volume about its own first corner.
  void Pieces(UnionFind& pieces) {
    const size_t U = usable_.size();
    piece_.resize(U);
    std::vector<uint32_t> number(U, UINT32_MAX);
    for (uint32_t i = 0; i < U; ++i) {
      uint32_t& p = number[pieces.Find(i)];
      const size_t f = usable_[i];
      if (p == UINT32_MAX) {
        p = static_cast<uint32_t>(volume_.size());
        volume_.emplace_back(m_.Corner(f, 0));
      }
      piece_[i] = p;
      volume_[p].Add(m_.Corner(f, 0), m_.Corner(f, 1), m_.Corner(f, 2));
    }
    r_.components = volume_.size();
    for (const auto& v : volume_) r_.inside_out_components += !(v.Volume() > 0);
  }

  // Crossings: pairs of faces with overlapping boxes and no common vertex.
  void Crossings(const FaceTree& tree) {
    tree.OverlappingPairs([&](uint32_t f, uint32_t g) {
      if (ShareVertex(&m_.faces[3 * size_t{f}], &m_.faces[3 * size_t{g}])) return;
      Vec t[3], u[3];
      Triangle(f, t), Triangle(g, u);
      if (TrianglesCross(t, u)) ++r_.intersecting_pairs;
    });
  }

  // Each piece's place: the winding number of the other pieces at a point
  // of it, counted along a ray to beyond the model. A solid piece must lie
  // outside every other solid (0), a cavity inside exactly one (1).
  void Places(const FaceTree& tree) {
    std::vector<uint32_t> slot(r_.faces, UINT32_MAX);  // face -> its index in usable
    for (uint32_t i = 0; i < usable_.size(); ++i) slot[usable_[i]] = i;
    Vec lo{HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi{-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (uint32_t f : usable_)
      for (int k = 0; k < 3; ++k) {
        const Vec v = m_.Corner(f, k);
        lo = {std::min(lo.x, v.x), std::min(lo.y, v.y), std::min(lo.z, v.z)};
        hi = {std::max(hi.x, v.x), std::max(hi.y, v.y), std::max(hi.z, v.z)};
      }
    const double diagonal = geometry::Norm(hi - lo);
    Groups members = GroupBy(r_.components, usable_.size(), [&](size_t i) { return piece_[i]; });
    for (uint32_t p = 0; p < r_.components; ++p) {
      const uint32_t* first = members.item.data() + members.offset[p];
      const size_t size = members.offset[p + 1] - members.offset[p];
      bool known = false;
      int winding = 0;
      for (int k = 0; k < kRays && !known; ++k) {
        Vec t[3];
        Triangle(usable_[first[size * size_t(k) / kRays]], t);
        const Vec from{(t[0].x + t[1].x + t[2].x) / 3, (t[0].y + t[1].y + t[2].y) / 3,
                       (t[0].z + t[1].z + t[2].z) / 3};
        const Vec d = SpreadDirection(k, kRays);
        const double reach = 2 * diagonal / geometry::Norm(d);
        const Vec to{from.x + reach * d.x, from.y + reach * d.y, from.z + reach * d.z};
        bool unclear = false;
        winding = 0;
        tree.AlongSegment(from, to, [&](uint32_t g) {
          if (unclear || piece_[slot[g]] == p) return;
          Vec u[3];
          Triangle(g, u);
          const int s = SegmentCrossing(from, to, u);
          if (s == 2) unclear = true;
          winding += s;
        });
        known = !unclear;
      }
      // A piece no ray could place is taken as inside another.
      const bool solid = volume_[p].Volume() > 0;
      if (solid && (!known || winding != 0)) ++r_.nested_components;
      if (!solid && known && winding == 1) ++r_.cavities;
    }
  }

  const Mesh& m_;
  CheckReport r_;
  std::vector<uint32_t> usable_;               // the faces that count
  std::vector<uint32_t> piece_;                // each usable face's piece
  std::vector<geometry::VolumeAbout> volume_;  // each piece's
};

}  // namespace

CheckReport Check(const Mesh& m, std::unique_ptr<FaceTree>* tree) {
  std::unique_ptr<FaceTree> kept;
  CheckReport r = Checker(m).Run(kept);
  if (tree) *tree = std::move(kept);
  return r;
}

std::string CheckReport::Problem() const {
  auto n = [](size_t k, const char* what) { return std::to_string(k) + " " + what; };
  if (faces == 0) return "no faces";
  if (nonfinite_faces)
    return n(nonfinite_faces,
             "faces with a coordinate that is not a finite number (NaN or infinity)");
  if (degenerate_faces == faces) return "no solid: every face has zero area";
  if (boundary_edges) return "not closed: " + n(boundary_edges, "boundary edges");
  if (non_manifold_edges)
    return "not a manifold surface: " +
           n(non_manifold_edges, "edges shared by three faces or more");
  if (duplicate_faces) return n(duplicate_faces, "duplicate faces");
  if (inconsistent_edges)
    return "orientation not consistent: " +
           n(inconsistent_edges, "edges run the same way by both their faces");
  if (intersecting_pairs)
    return "self-intersecting: " + n(intersecting_pairs, "pairs of faces cross each other");
  if (!std::isfinite(volume))
    return "the signed volume is not a finite number: coordinates too large for double precision";
  if (!(volume > 0))
    return "oriented inward (signed volume " + std::to_string(volume) +
           "): its faces wind clockwise seen from outside";
  if (inside_out_components > cavities)
    return n(inside_out_components - cavities,
             "components oriented inward outside any solid (a negative mass)");
  if (nested_components)
    return n(nested_components, "components inside another solid component (counted twice)");
  return "";
}

std::vector<std::pair<std::string, size_t>> CheckReport::Counts() const {
  return {{"vertices", vertices},
          {"faces", faces},
          {"non-finite faces", nonfinite_faces},
          {"boundary edges", boundary_edges},
          {"non-manifold edges", non_manifold_edges},
          {"inconsistent edges", inconsistent_edges},
          {"degenerate faces", degenerate_faces},
          {"duplicate faces", duplicate_faces},
          {"intersecting face pairs", intersecting_pairs},
          {"components", components},
          {"inside-out components", inside_out_components},
          {"cavities", cavities},
          {"nested components", nested_components}};
}

std::string CheckReport::Verdict() const {
  const std::string problem = Problem();
  return problem.empty() ? "fit for the field formulas" : "unfit: " + problem;
}

std::string CheckReport::Text() const {
  std::ostringstream out;
  for (const auto& [label, count] : Counts()) out << label << "\t" << count << "\n";
  if (solids) out << "STL solids\t" << solids << "\n";
  if (stl_normals || normals_against_winding)
    out << "STL normals against the winding\t" << normals_against_winding << " of " << stl_normals
        << "\n";
  char volume_text[64];
  std::snprintf(volume_text, sizeof volume_text, "%.17g", volume);
  out << "signed volume\t" << volume_text << "\n";
  out << "verdict\t" << Verdict() << "\n";
  return out.str();
}

}  // namespace mesh
