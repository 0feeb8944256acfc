// Unit si, the surface tools' version: an edge term vanishes when
// (R_a + R_b - L)/(R_a + R_b + L) is below 2.22045e-16, the relative guard of
// the table form, which touches only points within about 1.5e-8 edge lengths
// of an edge line. The field points of these tools are facet centroids: the
// centroid of a sliver or zero-area facet can lie on a neighbour's edge,
// where an unguarded logarithm would make the sum not a number.
#include "engine/si.h"
#include "engine/si_direct.h"

void SurfaceIntegral(double x, double y, double z, double Ax, double Ay, double Az, double Bx,
                     double By, double Bz, double Cx, double Cy, double Cz, double* U, double* gx,
                     double* gy, double* gz) {
  terms::DirectFacet<terms::Guard::kRelative>(x, y, z, Ax, Ay, Az, Bx, By, Bz, Cx, Cy, Cz, U, gx,
                                              gy, gz);
}
