// Gauss-Legendre quadrature, for the tests' independent integrals.
#pragma once

#include <cmath>
#include <vector>

// The k nodes and weights of Gauss-Legendre on [0, 1] (Newton on P_k):
// exact for polynomials of degree up to 2k - 1.
inline void Gauss(int k, std::vector<double>* x, std::vector<double>* w) {
  x->resize(size_t(k));
  w->resize(size_t(k));
  for (int i = 0; i < k; ++i) {
    double t = std::cos(M_PI * (i + 0.75) / (k + 0.5)), dp = 0;
    for (int it = 0; it < 100; ++it) {
      double p0 = 1, p1 = t;
      for (int j = 2; j <= k; ++j) {
        const double p2 = ((2 * j - 1) * t * p1 - (j - 1) * p0) / j;
        p0 = p1, p1 = p2;
      }
      dp = k * (t * p1 - p0) / (t * t - 1);
      const double dt = p1 / dp;
      t -= dt;
      if (std::fabs(dt) < 1e-16) break;
    }
    (*x)[size_t(i)] = 0.5 * (1 + t);
    (*w)[size_t(i)] = 1 / ((1 - t * t) * dp * dp);
  }
}
