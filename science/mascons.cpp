// Point masses: their file, their rows, their field.
#include "science/mascons.h"

#include <cmath>

#include "common/failure.h"
#include "common/print.h"
#include "common/rows.h"
#include "engine/threads.h"

namespace science {

namespace {

bool Finite(const double v[4]) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]);
}

}  // namespace

std::vector<Mascon> ReadMascons(const std::string& path, double scale) {
  if (path.find('\0') != std::string::npos)
    throw Failure(Quantity("mascons") + ": the file name holds a NUL byte",
                  Failure::Kind::kBadValue);
  std::vector<Mascon> mascons;
  rows::Read(path, 4, "four finite numbers x y z mass", true, [&](const double* v, size_t) {
    mascons.push_back({v[0] * scale, v[1] * scale, v[2] * scale, v[3]});
  });
  if (mascons.empty()) throw Failure(path + ": no point mass (lines of x y z mass)");
  return mascons;
}

std::vector<Mascon> MasconsFromRows(const double* rows, size_t k, const std::string& quantity) {
  std::vector<Mascon> mascons;
  for (size_t i = 0; i < k; ++i) {
    const double* v = rows + 4 * i;
    if (!Finite(v))
      throw Failure(Quantity(quantity) + ": row " + std::to_string(i) + " (" +
                        ShortestDigits(v[0]) + ", " + ShortestDigits(v[1]) + ", " +
                        ShortestDigits(v[2]) + ", " + ShortestDigits(v[3]) +
                        ") is not four finite numbers x y z mass",
                    Failure::Kind::kBadValue);
    mascons.push_back({v[0], v[1], v[2], v[3]});
  }
  return mascons;
}

void AddMasconField(const std::vector<Mascon>& mascons, double G, double metres, size_t n,
                    const double* x, const double* y, const double* z, const FieldOut& out,
                    double* t, ThreadTeam& team, unsigned threads) {
  if (mascons.empty() || n == 0) return;
  // A few thousand terms are not worth a thread's start.
  if (n * mascons.size() < 65536) threads = 1;
  team.MultiThreading(
      n,
      [&](unsigned thread, unsigned m) {
        for (size_t i = thread; i < n; i += m) {
          double U = 0, g[3] = {0, 0, 0}, T[6] = {0, 0, 0, 0, 0, 0};
          for (const Mascon& q : mascons) {
            const double d[3] = {(x[i] - q.x) * metres, (y[i] - q.y) * metres,
                                 (z[i] - q.z) * metres};
            const double r2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2], r = std::sqrt(r2);
            const double gm = G * q.mass, u = gm / r, f = u / r2;  // G m / r^3
            U += u;
            for (int k = 0; k < 3; ++k) g[k] -= f * d[k];
            if (t) {
              const double h = 3 * f / r2;  // 3 G m / r^5
              T[0] += h * d[0] * d[0] - f, T[1] += h * d[0] * d[1], T[2] += h * d[0] * d[2];
              T[3] += h * d[1] * d[1] - f, T[4] += h * d[1] * d[2], T[5] += h * d[2] * d[2] - f;
            }
          }
          if (out.U) out.U[i] += U;
          if (out.gx) out.gx[i] += g[0];
          if (out.gy) out.gy[i] += g[1];
          if (out.gz) out.gz[i] += g[2];
          if (t)
            for (int k = 0; k < 6; ++k) t[6 * i + k] += T[k];
        }
      },
      threads);
}

}  // namespace science
