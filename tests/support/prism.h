// Closed form of a homogeneous rectangular prism (G rho = 1), evaluated
// independently of the polyhedral formula: the classic sum over the eight
// corners of the antiderivatives of 1/r and of its gradient.
#pragma once

#include <cmath>

struct PrismField {
  double U, gx, gy, gz;
};

// Prism [x1,x2] x [y1,y2] x [z1,z2], field point p; p must not lie in the
// plane of any face (the antiderivatives have removable singularities there).
inline PrismField Prism(const double lo[3], const double hi[3], const double p[3]) {
  PrismField f{0, 0, 0, 0};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j)
      for (int k = 0; k < 2; ++k) {
        const double x = (i ? hi[0] : lo[0]) - p[0];
        const double y = (j ? hi[1] : lo[1]) - p[1];
        const double z = (k ? hi[2] : lo[2]) - p[2];
        const double r = std::sqrt(x * x + y * y + z * z);
        // corner signs of the triple integral, for U = integral of 1/r dV > 0
        const double mu = ((i + j + k) % 2 == 1) ? 1.0 : -1.0;
        f.U += mu * (x * y * std::log(z + r) + y * z * std::log(x + r) + z * x * std::log(y + r) -
                     0.5 * x * x * std::atan(y * z / (x * r)) -
                     0.5 * y * y * std::atan(z * x / (y * r)) -
                     0.5 * z * z * std::atan(x * y / (z * r)));
        // d/dp = -d/d(corner coordinate)
        f.gx -= mu * (y * std::log(z + r) + z * std::log(y + r) - x * std::atan(y * z / (x * r)));
        f.gy -= mu * (z * std::log(x + r) + x * std::log(z + r) - y * std::atan(z * x / (y * r)));
        f.gz -= mu * (x * std::log(y + r) + y * std::log(x + r) - z * std::atan(x * y / (z * r)));
      }
  return f;
}
