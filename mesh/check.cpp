// The model check: edges counted by their two vertices, in both directions.
#include "mesh/check.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

namespace mesh {

namespace {

uint64_t EdgeKey(uint32_t a, uint32_t b) {
  return uint64_t{a} << 32 | b;
}

struct EdgeUse {
  uint32_t forward = 0, backward = 0;  // runs a->b (a < b) and b->a
};

}  // namespace

CheckReport Check(const Mesh& m) {
  CheckReport r;
  r.vertices = m.VertexCount();
  r.faces = m.FaceCount();
  std::unordered_map<uint64_t, EdgeUse> edges;
  edges.reserve(2 * r.faces);
  std::unordered_set<std::string> seen;
  double six_volume = 0;
  for (size_t f = 0; f < r.faces; ++f) {
    const uint32_t* c = &m.faces[3 * f];
    const double* A = &m.vertices[3 * c[0]];
    const double* B = &m.vertices[3 * c[1]];
    const double* C = &m.vertices[3 * c[2]];
    const double u[3] = {B[0] - A[0], B[1] - A[1], B[2] - A[2]};
    const double w[3] = {C[0] - A[0], C[1] - A[1], C[2] - A[2]};
    const double n[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2],
                         u[0] * w[1] - u[1] * w[0]};
    six_volume += A[0] * (B[1] * C[2] - B[2] * C[1]) + A[1] * (B[2] * C[0] - B[0] * C[2]) +
                  A[2] * (B[0] * C[1] - B[1] * C[0]);
    if ((n[0] == 0 && n[1] == 0 && n[2] == 0) || c[0] == c[1] || c[1] == c[2] || c[2] == c[0]) {
      ++r.degenerate_faces;
      continue;  // no normal, no edges that count
    }
    std::array<uint32_t, 3> sorted = {c[0], c[1], c[2]};
    std::sort(sorted.begin(), sorted.end());
    if (!seen.insert(std::string(reinterpret_cast<const char*>(sorted.data()), 12)).second)
      ++r.duplicate_faces;
    if (!m.normals.empty()) {
      const float* s = &m.normals[3 * f];
      if (s[0] != 0 || s[1] != 0 || s[2] != 0) {
        ++r.stl_normals;
        if (s[0] * n[0] + s[1] * n[1] + s[2] * n[2] < 0) ++r.normals_against_winding;
      }
    }
    for (int k = 0; k < 3; ++k) {
      const uint32_t a = c[k], b = c[(k + 1) % 3];
      EdgeUse& e = edges[a < b ? EdgeKey(a, b) : EdgeKey(b, a)];
      (a < b ? e.forward : e.backward)++;
    }
  }
  for (const auto& [key, e] : edges) {
    const uint32_t uses = e.forward + e.backward;
    if (uses == 1) ++r.boundary_edges;
    if (uses > 2) ++r.non_manifold_edges;
    if (uses == 2 && e.forward != 1) ++r.inconsistent_edges;
  }
  r.volume = six_volume / 6;
  return r;
}

std::string CheckReport::Problem() const {
  auto n = [](size_t k, const char* what) { return std::to_string(k) + " " + what; };
  if (boundary_edges) return "not closed: " + n(boundary_edges, "boundary edges");
  if (non_manifold_edges)
    return "not a manifold surface: " +
           n(non_manifold_edges, "edges shared by three faces or more");
  if (duplicate_faces) return n(duplicate_faces, "duplicate faces");
  if (inconsistent_edges)
    return "orientation not consistent: " +
           n(inconsistent_edges, "edges run the same way by both their faces");
  if (!(volume > 0))
    return "oriented inward (signed volume " + std::to_string(volume) +
           "): its faces wind clockwise seen from outside";
  return "";
}

std::string CheckReport::Text() const {
  std::ostringstream out;
  out << "vertices\t" << vertices << "\nfaces\t" << faces << "\nboundary edges\t" << boundary_edges
      << "\nnon-manifold edges\t" << non_manifold_edges << "\ninconsistent edges\t"
      << inconsistent_edges << "\ndegenerate faces\t" << degenerate_faces << "\nduplicate faces\t"
      << duplicate_faces << "\n";
  if (stl_normals || normals_against_winding)
    out << "STL normals against the winding\t" << normals_against_winding << " of " << stl_normals
        << "\n";
  char volume_text[64];
  std::snprintf(volume_text, sizeof volume_text, "%.17g", volume);
  out << "signed volume\t" << volume_text << "\n";
  const std::string problem = Problem();
  out << "verdict\t" << (problem.empty() ? "fit for the field formulas" : "unfit: " + problem)
      << "\n";
  return out.str();
}

}  // namespace mesh
