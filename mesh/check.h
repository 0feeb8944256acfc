// Whether a model is fit for the field formulas: a closed, consistently and
// outward oriented surface that does not cross itself, each of whose pieces
// bounds a solid or a cavity inside one. Also what else is worth knowing
// about it.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mesh/mesh.h"

namespace mesh {

struct CheckReport {
  size_t vertices = 0, faces = 0;
  size_t nonfinite_faces = 0;     // a coordinate that is NaN or infinite
  size_t boundary_edges = 0;      // used by one face: the surface is open
  size_t non_manifold_edges = 0;  // used by three faces or more
  size_t inconsistent_edges = 0;  // two faces that run the edge the same way
  size_t degenerate_faces = 0;    // zero area (they add nothing to the field)
  size_t duplicate_faces = 0;     // the same three vertices as an earlier face
  size_t intersecting_pairs = 0;  // faces with no vertex in common that cross
  // Pieces of the surface joined across edges, those of negative volume,
  // and of these the cavities (inside a solid piece). Nested components are
  // solid pieces inside another solid: their volume counts twice. The last
  // two are found on a closed, consistent surface free of crossings only
  // (0 otherwise).
  size_t components = 0;
  size_t inside_out_components = 0;
  size_t cavities = 0;
  size_t nested_components = 0;
  size_t normals_against_winding = 0;  // STL: stored normal opposite the winding
  size_t stl_normals = 0;              // STL: faces with a stored (nonzero) normal
  size_t solids = 0;                   // ASCII STL: the solids read (0: another format)
  double volume = 0;                   // signed: positive when outward

  // The first reason the model is unfit for the field formulas, or "".
  std::string Problem() const;
  // The report, one finding a line.
  std::string Text() const;
  // Text()'s last line's value: "fit for the field formulas" or "unfit: "
  // and the problem.
  std::string Verdict() const;
  // The counts Text() gives first, each under its label there.
  std::vector<std::pair<std::string, size_t>> Counts() const;
};

class FaceTree;

// With `tree`, the box tree over the faces of finite coordinates and
// nonzero area that the check builds is kept there (none when a coordinate
// is not finite), for a later look at the same faces.
CheckReport Check(const Mesh& model, std::unique_ptr<FaceTree>* tree = nullptr);

// The volume and centre-of-mass sums of every face, about the first corner
// of the first face (none for a model without faces: about the origin).
geometry::VolumeAbout VolumeOf(const Mesh& model);

}  // namespace mesh
