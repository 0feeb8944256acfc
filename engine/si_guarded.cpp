// Unit si, guarded version: edge terms vanish within 1e-9 of an edge, so points
// on vertices and edges give finite values.
#include "engine/si.h"
#include "engine/si_direct.h"

void SurfaceIntegral(double x, double y, double z, double Ax, double Ay, double Az, double Bx,
                     double By, double Bz, double Cx, double Cy, double Cz, double* U, double* gx,
                     double* gy, double* gz) {
  terms::DirectFacet<terms::Guard::kAbsolute>(x, y, z, Ax, Ay, Az, Bx, By, Bz, Cx, Cy, Cz, U, gx,
                                              gy, gz);
}
