// Unit si, unguarded version: the logarithm is always evaluated; only for field
// points off every edge (the centroids of the model's own facets).
#include "engine/si.h"
#include "engine/si_direct.h"

void SurfaceIntegral(double x, double y, double z, double Ax, double Ay, double Az, double Bx,
                     double By, double Bz, double Cx, double Cy, double Cz, double* U, double* gx,
                     double* gy, double* gz) {
  terms::DirectFacet<false>(x, y, z, Ax, Ay, Az, Bx, By, Bz, Cx, Cy, Cz, U, gx, gy, gz);
}
