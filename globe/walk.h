// The subdivision walk of the tessellated unit sphere: a triangle of level L
// is split into four by its three edge points (the chord midpoints pushed out
// radially onto the unit sphere), each child walked at level L - 1, down to
// the leaves at level 0. Depth-first: the call chain is the only storage.
#pragma once

#include <cmath>

struct Point {
  double x, y, z;
};

// The edge point of the edge from a to b: s / |s| with s = (a + b) * 0.5. It
// depends only on the two end points, so both triangles that share an edge
// get the same point and the surface stays closed.
inline Point EdgePoint(Point a, Point b) {
  const Point s{(a.x + b.x) * 0.5, (a.y + b.y) * 0.5, (a.z + b.z) * 0.5};
  const double r = std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z);
  return {s.x / r, s.y / r, s.z / r};
}

// Hands the leaves of the level-`level` tessellation of triangle (a, b, c)
// to leaf(a, b, c), corners in order, counter-clockwise like the parent:
// the children in the order (m_ab, m_bc, m_ca), (a, m_ab, m_ca),
// (b, m_bc, m_ab), (c, m_ca, m_bc).
template <class Leaf>
void Walk(int level, Point a, Point b, Point c, Leaf& leaf) {
  if (level == 0) {
    leaf(a, b, c);
    return;
  }
  const Point ab = EdgePoint(a, b), bc = EdgePoint(b, c), ca = EdgePoint(c, a);
  --level;
  Walk(level, ab, bc, ca, leaf);
  Walk(level, a, ab, ca, leaf);
  Walk(level, b, bc, ab, leaf);
  Walk(level, c, ca, bc, leaf);
}
