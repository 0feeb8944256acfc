// Base solid: the octahedron, 6 vertices and 8 triangles.
#include "globe/base.h"

namespace {

double vertex[6][3] = {
    {0.816496580927726, 0, -0.5773502691896257},
    {-0.408248290463863, -0.7071067811865476, -0.5773502691896257},
    {-0.408248290463863, 0.7071067811865476, -0.5773502691896257},
    {0.408248290463863, 0.7071067811865476, 0.5773502691896257},
    {0.408248290463863, -0.7071067811865476, 0.5773502691896257},
    {-0.816496580927726, 0, 0.5773502691896257},
};

// A triangle over rows a, b, c: references, so that it sees the rotated rows.
constexpr Trigon T(int a, int b, int c) {
  return {{vertex[a], vertex[b], vertex[c]}};
}

const Trigon trigon[8] = {T(0, 1, 2), T(0, 2, 3), T(0, 3, 4), T(0, 4, 1),
                          T(1, 4, 5), T(1, 5, 2), T(2, 5, 3), T(3, 5, 4)};

}  // namespace

int Polyhedron(const Trigon*& trigons) {
  trigons = trigon;
  return 8;
}

void RotatePolyhedron(double lon, double lat, double rot) {
  RotateRows(vertex, 6, lon, lat, rot);
}
