// globe: the unit sphere approximated by the recursive subdivision of a base
// solid (the linked unit: icosahedron, tetrahedron or octahedron), the volume
// and centroid of the solid it bounds, and the potential and attraction of
// that homogeneous solid at every point read from standard input.
#include <cstdio>
#include <cstdlib>

#include "common/error.h"
#include "common/file_type.h"
#include "common/print.h"
#include "engine/si.h"
#include "globe/base.h"
#include "globe/walk.h"

namespace {

// Deepest level accepted. By about level 53 an edge is as short as the
// spacing of doubles on the unit sphere: its edge point falls on a corner, and
// deeper levels refine nothing (they repeat a triangle or add flat ones). A
// larger level could never finish anyway, and a level in the tens of
// thousands would overflow the call stack at once, since the walk goes
// straight down to its first leaf.
constexpr long kMaxLevel = 60;

// Volume pass: V = sum of d, X, Y, Z = sum of d (a + b + c) over the leaves.
// Point pass: P, X, Y, Z = U, gx, gy, gz at the current point x, y, z.
double V, X, Y, Z, P, x, y, z;

void VXYZ(int level, double ax, double ay, double az, double bx, double by, double bz, double cx,
          double cy, double cz) {
  auto leaf = [](Point a, Point b, Point c) {
    const double d = a.x * (b.y * c.z - b.z * c.y) + a.y * (b.z * c.x - b.x * c.z) +
                     a.z * (b.x * c.y - b.y * c.x);
    V += d;
    X += d * (a.x + b.x + c.x);
    Y += d * (a.y + b.y + c.y);
    Z += d * (a.z + b.z + c.z);
  };
  Walk(level, {ax, ay, az}, {bx, by, bz}, {cx, cy, cz}, leaf);
}

void PXYZ(int level, double ax, double ay, double az, double bx, double by, double bz, double cx,
          double cy, double cz) {
  auto leaf = [](Point a, Point b, Point c) {
    SurfaceIntegral(x, y, z, a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z, &P, &X, &Y, &Z);
  };
  Walk(level, {ax, ay, az}, {bx, by, bz}, {cx, cy, cz}, leaf);
}

}  // namespace

int main(int argc, char** argv) {
  const Trigon* trigons;
  const int T = Polyhedron(trigons);

  long level = 0;  // atoi's reading, saturated instead of overflowing
  switch (argc) {
    case 1:
    case 4:
      break;
    case 2:
    case 5:
      level = std::strtol(argv[1], nullptr, 10);
      break;
    default:
      Error("usage : globe {level} {lon lat rot}");
  }
  if (level < 0 || level > kMaxLevel) Error("bad recursion level");
  const int L = static_cast<int>(level);

  if (argc >= 4)
    RotatePolyhedron(std::atof(argv[argc - 3]), std::atof(argv[argc - 2]),
                     std::atof(argv[argc - 1]));

  Z = Y = X = V = 0;
  for (int t = 0; t < T; ++t) {
    const double *a = trigons[t].corner[0], *b = trigons[t].corner[1], *c = trigons[t].corner[2];
    VXYZ(L, a[0], a[1], a[2], b[0], b[1], b[2], c[0], c[1], c[2]);
  }
  std::printf("%lf\t%lf\t%lf\t%lf\n", V / 6, (X / V) * 0.25, (Y / V) * 0.25, (Z / V) * 0.25);
  FinishOutput();  // the first line comes before any input is awaited

  const bool flush = Interactive(stdin) || Interactive(stdout);
  while (std::scanf("%lf %lf %lf", &x, &y, &z) == 3) {
    Z = Y = X = P = 0;
    for (int t = 0; t < T; ++t) {
      const double *a = trigons[t].corner[0], *b = trigons[t].corner[1], *c = trigons[t].corner[2];
      PXYZ(L, a[0], a[1], a[2], b[0], b[1], b[2], c[0], c[1], c[2]);
    }
    std::printf("%lg\t%lg\t%lg\t%lf\t%lf\t%lf\t%lf\n", x, y, z, P, X, Y, Z);
    if (flush) FinishOutput();
  }
  // A read error (or a directory on standard input) is not the end of the
  // points.
  if (std::ferror(stdin)) Error("point data read error.");
  return FinishOutput();
}
