// Base solid of the globe: a regular polyhedron inscribed in the unit sphere,
// standing on a face (its first triangle is centred on the negative z axis).
// Three units implement this interface, one per solid (ih icosahedron,
// th tetrahedron, oh octahedron); a globe program links exactly one.
#pragma once

#include <cmath>
#include <numbers>

// One base triangle: its corners as references to rows of the unit's vertex
// table, counter-clockwise seen from outside, so that
// (corner[1] - corner[0]) x (corner[2] - corner[0]) points away from the centre.
struct Trigon {
  const double* corner[3];
};

// Sets `trigons` to the unit's triangle table; returns its length T.
int Polyhedron(const Trigon*& trigons);

// Turns the solid in place by three angles in degrees: the direction
// (0, 0, -1), on which the first triangle is centred, goes to longitude lon,
// latitude lat, and rot turns the solid about that direction. With all three
// angles 0 this is not the identity: (x, y, z) becomes (-z, -x, y).
void RotatePolyhedron(double lon, double lat, double rot);

// The rotation that RotatePolyhedron applies, on `n` rows of x, y, z; every
// new coordinate is computed from the old ones.
inline void RotateRows(double (*rows)[3], int n, double lon, double lat, double rot) {
  const double L = lon * std::numbers::pi / 180, B = lat * std::numbers::pi / 180,
               R = rot * std::numbers::pi / 180;
  const double sL = std::sin(L), cL = std::cos(L);
  const double sB = std::sin(B), cB = std::cos(B);
  const double sR = std::sin(R), cR = std::cos(R);
  const double m[3][3] = {
      {cR * sL + cL * sB * sR, -(cR * cL * sB - sL * sR), -cL * cB},
      {sR * sB * sL - cR * cL, -(cL * sR + cR * sB * sL), -sL * cB},
      {-sR * cB, cR * cB, -sB},
  };
  for (int i = 0; i < n; ++i) {
    const double x = rows[i][0], y = rows[i][1], z = rows[i][2];
    for (int k = 0; k < 3; ++k) rows[i][k] = m[k][0] * x + m[k][1] * y + m[k][2] * z;
  }
}
