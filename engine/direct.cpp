// Direct engine over unit si.
#include "engine/direct.h"

#include "engine/si.h"

bool DirectEngine::Evaluate(size_t count, const double* x, const double* y, const double* z,
                            const FieldOut& out, const EvaluateOptions&) const {
  for (size_t i = 0; i < count; ++i) {
    double U = 0, gx = 0, gy = 0, gz = 0;
    for (uint32_t f = 0; f < model_.n; ++f) {
      double v[9];
      model_.Corners(f, v);
      SurfaceIntegral(x[i], y[i], z[i], v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], &U,
                      &gx, &gy, &gz);
    }
    if (out.U) out.U[i] = U;
    if (out.gx) out.gx[i] = gx;
    if (out.gy) out.gy[i] = gy;
    if (out.gz) out.gz[i] = gz;
  }
  return true;
}
