// Field of one facet at one point, direct form. Two versions of this unit
// exist with the same signature: guarded (an edge term is 0 when
// R_a + R_b - L < 1e-9) and relative (an edge term is 0 when
// (R_a + R_b - L)/(R_a + R_b + L) < 2.22045e-16); a program links exactly one.
#pragma once

// Adds the contribution of facet A, B, C (outward by the right-hand rule) at
// point (x, y, z): U += h S / 2, g -= n S. A facet of zero area adds nothing.
void SurfaceIntegral(double x, double y, double z, double Ax, double Ay, double Az, double Bx,
                     double By, double Bz, double Cx, double Cy, double Cz, double* U, double* gx,
                     double* gy, double* gz);
