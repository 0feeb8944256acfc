// Base solid: the tetrahedron, 4 vertices and 4 triangles.
#include "globe/base.h"

namespace {

double vertex[4][3] = {
    {0, -0.9428090415820634, -0.3333333333333333},
    {-0.816496580927726, 0.4714045207910317, -0.3333333333333333},
    {0.816496580927726, 0.4714045207910317, -0.3333333333333333},
    {0, 0, 1},
};

// A triangle over rows a, b, c: references, so that it sees the rotated rows.
constexpr Trigon T(int a, int b, int c) {
  return {{vertex[a], vertex[b], vertex[c]}};
}

const Trigon trigon[4] = {T(0, 1, 2), T(0, 2, 3), T(0, 3, 1), T(1, 3, 2)};

}  // namespace

int Polyhedron(const Trigon*& trigons) {
  trigons = trigon;
  return 4;
}

void RotatePolyhedron(double lon, double lat, double rot) {
  RotateRows(vertex, 4, lon, lat, rot);
}
