// A closed model as a solid, for telling where a point lies: inside, on its
// surface (to within a distance), or outside; and where the surfaces of two
// solids meet. Built on the box tree and the certified signs of
// mesh/intersect.h; meant for models that pass the check (closed, outward,
// free of crossings), whose winding number is 1 inside and 0 outside.
#pragma once

#include <cstdint>
#include <vector>

#include "mesh/intersect.h"
#include "mesh/mesh.h"

namespace mesh {

// The distance from p to the triangle t (its closest point, corners and
// edges included).
double Distance(Vec p, const Vec t[3]);

class Solid {
 public:
  // The model is kept by reference: it must outlive the solid. Faces of zero
  // area bound nothing and are left out.
  explicit Solid(const Mesh& model);
  // With the tree the check built over the same model (mesh/check.h).
  Solid(const Mesh& model, FaceTree tree);

  enum class Where { kOutside, kOn, kInside };
  // Where p lies: on the surface within `tolerance` of a face, else inside
  // or outside by the winding number along a ray to beyond the model (the
  // first of several directions whose crossings are all certain; a point no
  // ray can place is on the surface).
  Where Locate(Vec p, double tolerance) const;
  // Whether p lies within `tolerance` of a face.
  bool Near(Vec p, double tolerance) const;

  const Mesh& model() const { return m_; }
  const FaceTree& tree() const { return tree_; }
  // The box of the model's faces, widened by `margin`, holds p.
  bool InBox(Vec p, double margin) const;
  // The corners of face f.
  void Triangle(uint32_t f, Vec t[3]) const {
    for (int k = 0; k < 3; ++k) t[k] = m_.Corner(f, k);
  }

 private:
  const Mesh& m_;
  FaceTree tree_;
  Vec lo_{0, 0, 0}, hi_{0, 0, 0};
  void Bound();
};

// The vertices of the model's faces, each once, in the order of first use.
std::vector<uint32_t> UsedVertices(const Mesh& model);

}  // namespace mesh
