// Where faces of a model meet: orientation predicates whose sign is certain
// or reported as unknown, the crossing of two triangles and of a segment
// with a triangle built on them, and a box tree over the faces.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "common/geometry.h"
#include "mesh/mesh.h"

namespace mesh {

using geometry::Vec;

// The side of the plane of a, b, c on which d lies: +1 where the normal
// (b - a) x (c - a) points, -1 on the other side, 0 when the determinant is
// within its rounding bound (d on the plane, or too near it for double
// precision to tell). A sign other than 0 is that of the exact determinant
// of the given coordinates.
int Side(Vec a, Vec b, Vec c, Vec d);

// Whether triangles t and u cross: each has corners strictly on both sides
// of the other's plane and their intersections with the two planes overlap
// over a segment of nonzero length. Triangles that only touch (at a point,
// along an edge, or in a common plane) and pairs whose signs rounding
// cannot tell do not cross. Every decision is a certain sign of Side.
bool TrianglesCross(const Vec t[3], const Vec u[3]);

// The segment p q against the triangle t: 0 when it certainly misses it,
// +1 when it crosses the interior from the back of t (against its normal)
// to the front, -1 from the front to the back, and 2 when rounding cannot
// tell (the segment passes an edge or a corner, or an end lies on t).
int SegmentCrossing(Vec p, Vec q, const Vec t[3]);

// The k-th of `count` directions spread over the sphere (0 <= k < count),
// of no special alignment with a grid or an axis, for rays that place a
// point; not of unit length.
Vec SpreadDirection(int k, int count);

// A bounding-box tree over some faces of a model: faces in the order of
// the Morton code of their box's centre, halved down to leaves of a few.
class FaceTree {
 public:
  FaceTree(const Mesh& model, std::vector<uint32_t> faces);

  // Calls pair(f, g) once for every two faces of the tree whose boxes
  // overlap (closed boxes).
  template <class Pair>
  void OverlappingPairs(Pair pair) const {
    if (!nodes_.empty()) Self(0, pair);
  }
  // Calls face(f) for every face whose box the segment p q may meet.
  template <class Face>
  void AlongSegment(Vec p, Vec q, Face face) const;
  // Calls pair(f, g) for every face f of this tree and g of `other` (a tree
  // over another model, say) whose boxes overlap (closed boxes).
  template <class Pair>
  void PairsWith(const FaceTree& other, Pair pair) const;
  // Calls face(f) for every face whose box, widened by r, holds p.
  template <class Face>
  void NearPoint(Vec p, double r, Face face) const;

 private:
  // face(index) for every face whose box `meets` accepts, below the nodes
  // whose boxes it accepts.
  template <class Meets, class Face>
  void Where(Meets meets, Face face) const;
  struct Box {
    double lo[3], hi[3];
    bool Overlaps(const Box& b) const {
      for (int k = 0; k < 3; ++k)
        if (lo[k] > b.hi[k] || b.lo[k] > hi[k]) return false;
      return true;
    }
  };
  struct Node {
    Box box;
    uint32_t first, count;  // faces order_[first, first + count)
    uint32_t right;         // the second child (the first is the next node); 0 for a leaf
  };
  uint32_t Build(uint32_t first, uint32_t count);
  template <class Pair>
  void Self(uint32_t n, Pair& pair) const;
  template <class Pair>
  void Across(uint32_t a, uint32_t b, Pair& pair) const;
  bool SegmentMeets(const Box& box, Vec p, Vec q) const;

  std::vector<uint32_t> order_;  // the faces, leaves' ranges into it
  std::vector<Box> boxes_;       // of each face of order_, in that order
  std::vector<Node> nodes_;
  double margin_ = 0;  // widening of a box against the segment test's rounding
};

template <class Pair>
void FaceTree::Self(uint32_t n, Pair& pair) const {
  const Node& node = nodes_[n];
  if (!node.right) {
    for (uint32_t i = node.first; i < node.first + node.count; ++i)
      for (uint32_t j = i + 1; j < node.first + node.count; ++j)
        if (boxes_[i].Overlaps(boxes_[j])) pair(order_[i], order_[j]);
    return;
  }
  Self(n + 1, pair);
  Self(node.right, pair);
  Across(n + 1, node.right, pair);
}

template <class Pair>
void FaceTree::Across(uint32_t a, uint32_t b, Pair& pair) const {
  const Node& A = nodes_[a];
  const Node& B = nodes_[b];
  if (!A.box.Overlaps(B.box)) return;
  if (!A.right && !B.right) {
    for (uint32_t i = A.first; i < A.first + A.count; ++i)
      for (uint32_t j = B.first; j < B.first + B.count; ++j)
        if (boxes_[i].Overlaps(boxes_[j])) pair(order_[i], order_[j]);
    return;
  }
  // Down the node with more faces (a leaf stays).
  if (!B.right || (A.right && A.count >= B.count)) {
    Across(a + 1, b, pair);
    Across(A.right, b, pair);
  } else {
    Across(a, b + 1, pair);
    Across(a, B.right, pair);
  }
}

template <class Meets, class Face>
void FaceTree::Where(Meets meets, Face face) const {
  if (nodes_.empty()) return;
  std::vector<uint32_t> stack = {0};
  while (!stack.empty()) {
    const uint32_t n = stack.back();
    stack.pop_back();
    const Node& node = nodes_[n];
    if (!meets(node.box)) continue;
    if (!node.right) {
      for (uint32_t i = node.first; i < node.first + node.count; ++i)
        if (meets(boxes_[i])) face(order_[i]);
      continue;
    }
    stack.push_back(n + 1);
    stack.push_back(node.right);
  }
}

template <class Face>
void FaceTree::AlongSegment(Vec p, Vec q, Face face) const {
  Where([&](const Box& box) { return SegmentMeets(box, p, q); }, face);
}

template <class Pair>
void FaceTree::PairsWith(const FaceTree& other, Pair pair) const {
  if (nodes_.empty() || other.nodes_.empty()) return;
  std::vector<std::pair<uint32_t, uint32_t>> stack = {{0, 0}};
  while (!stack.empty()) {
    const auto [a, b] = stack.back();
    stack.pop_back();
    const Node& A = nodes_[a];
    const Node& B = other.nodes_[b];
    if (!A.box.Overlaps(B.box)) continue;
    if (!A.right && !B.right) {
      for (uint32_t i = A.first; i < A.first + A.count; ++i)
        for (uint32_t j = B.first; j < B.first + B.count; ++j)
          if (boxes_[i].Overlaps(other.boxes_[j])) pair(order_[i], other.order_[j]);
      continue;
    }
    // Down the node with more faces (a leaf stays).
    if (!B.right || (A.right && A.count >= B.count)) {
      stack.push_back({a + 1, b});
      stack.push_back({A.right, b});
    } else {
      stack.push_back({a, b + 1});
      stack.push_back({a, B.right});
    }
  }
}

template <class Face>
void FaceTree::NearPoint(Vec p, double r, Face face) const {
  Where(
      [&](const Box& box) {
        return box.lo[0] - r <= p.x && p.x <= box.hi[0] + r && box.lo[1] - r <= p.y &&
               p.y <= box.hi[1] + r && box.lo[2] - r <= p.z && p.z <= box.hi[2] + r;
      },
      face);
}

}  // namespace mesh
