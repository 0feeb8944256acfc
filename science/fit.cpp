// Densities and point masses fitted to a measured field (fit.h).
#include "science/fit.h"

#include <cmath>

#include "common/failure.h"
#include "common/print.h"
#include "science/derivatives.h"
#include "science/harmonics.h"
#include "science/shape_harmonics.h"

namespace science {

namespace {

// The Cholesky factor of the p x p matrix N in place (lower), false when a
// pivot is not positive (beyond rounding): the index where it fails.
bool Cholesky(std::vector<double>* N, size_t p, size_t* failed) {
  std::vector<double>& a = *N;
  for (size_t j = 0; j < p; ++j) {
    double d = a[j * p + j];
    const double diagonal = d;
    for (size_t k = 0; k < j; ++k) d -= a[j * p + k] * a[j * p + k];
    if (!(d > 1e-12 * diagonal)) {
      *failed = j;
      return false;
    }
    a[j * p + j] = std::sqrt(d);
    for (size_t i = j + 1; i < p; ++i) {
      double s = a[i * p + j];
      for (size_t k = 0; k < j; ++k) s -= a[i * p + k] * a[j * p + k];
      a[i * p + j] = s / a[j * p + j];
    }
  }
  return true;
}

// Solves L L^T x = b in place.
void Solve(const std::vector<double>& L, size_t p, double* b) {
  for (size_t i = 0; i < p; ++i) {
    for (size_t k = 0; k < i; ++k) b[i] -= L[i * p + k] * b[k];
    b[i] /= L[i * p + i];
  }
  for (size_t i = p; i-- > 0;) {
    for (size_t k = i + 1; k < p; ++k) b[i] -= L[k * p + i] * b[k];
    b[i] /= L[i * p + i];
  }
}

}  // namespace

Fit FitDensities(const Body& body, const MeasuredField& f, const FitRequest& r) {
  const std::string& src = f.source;
  if (!f.gm || !(*f.gm > 0) || !std::isfinite(*f.gm))
    Refuse(src + ": no GM (a positive number, m^3/s^2)");
  if (!f.reference_radius || !(*f.reference_radius > 0) || !std::isfinite(*f.reference_radius))
    Refuse(src + ": no reference radius (a positive number, m)");
  if (r.min_degree < 0 || r.degree < r.min_degree)
    Refuse(Quantity("degree") + ": " + std::to_string(r.min_degree) + " to " +
           std::to_string(r.degree) + " is not a range of degrees from 0");
  if (r.degree > f.degree)
    Refuse(Quantity("degree") + ": " + std::to_string(r.degree) + ", but " + src +
           " goes to degree " + std::to_string(f.degree));
  const size_t side = size_t(f.degree) + 1;
  if (f.C.size() != side * side || f.S.size() != side * side || f.sigma_C.size() != side * side ||
      f.sigma_S.size() != side * side)
    Refuse(src + ": coefficients and sigmas of (degree + 1)^2 values each");
  if (f.sigma_gm && !(*f.sigma_gm > 0))
    Refuse(src + ": GM's sigma " + ShortestDigits(*f.sigma_gm) + " is not a positive number");
  const bool gm_row = f.sigma_gm.has_value() && !r.constrain_gm && r.min_degree == 0;
  const int first = std::max(1, r.min_degree);
  // The parameters and each one's effect on GM C_nm, GM S_nm and GM.
  const size_t P = body.PartCount(), M = body.mascons().size(), p = P + M;
  Fit fit;
  for (size_t i = 0; i < P; ++i) fit.names.push_back("part " + std::to_string(i + 1) + " density");
  for (size_t j = 0; j < M; ++j)
    fit.names.push_back("point mass " + std::to_string(j + 1) + " mass");
  const Units units = Resolve(UnitsRequest{}, body.Volume());
  const double metres = body.unit().empty() ? 1 : MetresOf(body.unit());
  const double cube = metres * metres * metres, G = kG;
  const double R0 = *f.reference_radius / metres;  // model units
  const int N = r.degree;
  const size_t K = shape::Index(N + 1, 0);
  std::vector<double> effect(p * 2 * K), effect_gm(p);  // [parameter][C then S]
  for (size_t i = 0; i < P; ++i) {
    const Part& part = body.part(i);
    HarmonicsRequest h;
    h.degree = N;
    h.reference_radius = R0;
    h.threads = r.threads;
    const std::vector<HarmonicPart> alone = {{part.corners().data(), part.model().FaceCount(), 1}};
    const Harmonics own = PartsHarmonics(alone, units, h);
    const double gm = G * part.Volume() * cube;
    for (int n = 0; n <= N; ++n)
      for (int m = 0; m <= n; ++m) {
        effect[i * 2 * K + shape::Index(n, m)] = gm * own.Cnm(n, m);
        effect[i * 2 * K + K + shape::Index(n, m)] = gm * own.Snm(n, m);
      }
    effect_gm[i] = gm;
  }
  std::vector<double> re(K), im(K);
  for (size_t j = 0; j < M; ++j) {
    const Mascon& q = body.mascons()[j];
    SolidHarmonicsAt(N, q.x / R0, q.y / R0, q.z / R0, re.data(), im.data());
    for (int n = 0; n <= N; ++n)
      for (int m = 0; m <= n; ++m) {
        const size_t k = shape::Index(n, m);
        effect[(P + j) * 2 * K + k] = G * re[k] / (2 * n + 1);
        effect[(P + j) * 2 * K + K + k] = G * im[k] / (2 * n + 1);
      }
    effect_gm[P + j] = G;
  }
  // The weighted rows: observation y with sigma s and effects a.
  std::vector<double> A, y;
  std::vector<int> degree_of;
  const double GM = *f.gm;
  for (int n = first; n <= N; ++n)
    for (int m = 0; m <= n; ++m)
      for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && m == 0) continue;
        const size_t at = size_t(n) * side + size_t(m);
        const double value = pass ? f.S[at] : f.C[at], sigma = pass ? f.sigma_S[at] : f.sigma_C[at];
        const char* name = pass ? "S" : "C";
        if (!(sigma > 0) || !std::isfinite(sigma))
          Refuse(src + ": the sigma of " + name + "(" + std::to_string(n) + ", " +
                 std::to_string(m) + "), " + ShortestDigits(sigma) + ", is not a positive number");
        const double w = 1 / (GM * sigma);
        for (size_t c = 0; c < p; ++c)
          A.push_back(w * effect[c * 2 * K + (pass ? K : 0) + shape::Index(n, m)]);
        y.push_back(w * GM * value);
        degree_of.push_back(n);
      }
  if (gm_row) {
    for (size_t c = 0; c < p; ++c) A.push_back(effect_gm[c] / *f.sigma_gm);
    y.push_back(GM / *f.sigma_gm);
    degree_of.push_back(0);
  }
  const size_t rows = y.size();
  // What the data cannot decide: a parameter of no effect, two of the same.
  std::vector<double> length(p, 0);
  for (size_t c = 0; c < p; ++c) {
    for (size_t k = 0; k < rows; ++k) length[c] += A[k * p + c] * A[k * p + c];
    length[c] = std::sqrt(length[c]);
    if (!(length[c] > 0))
      Refuse(fit.names[c] + ": moves none of the coefficients fitted, which cannot tell it");
  }
  for (size_t a = 0; a < p; ++a)
    for (size_t b = a + 1; b < p; ++b) {
      double dot = 0;
      for (size_t k = 0; k < rows; ++k) dot += A[k * p + a] * A[k * p + b];
      if (std::fabs(dot) >= (1 - 1e-10) * length[a] * length[b])
        Refuse(fit.names[a] + " and " + fit.names[b] +
               ": the data cannot tell them apart (their effects on the coefficients fitted "
               "are the same up to a factor)");
    }
  if (rows + (r.constrain_gm ? 1 : 0) < p)
    Refuse("fewer observations (" + std::to_string(rows) + ") than parameters (" +
           std::to_string(p) + "): fit more degrees");
  // The normal equations, scaled to unit columns for their conditioning.
  std::vector<double> L(p * p, 0), rhs(p, 0);
  for (size_t k = 0; k < rows; ++k)
    for (size_t a = 0; a < p; ++a) {
      const double x = A[k * p + a] / length[a];
      rhs[a] += x * y[k];
      for (size_t b = 0; b <= a; ++b) L[a * p + b] += x * A[k * p + b] / length[b];
    }
  for (size_t a = 0; a < p; ++a)
    for (size_t b = 0; b < a; ++b) L[b * p + a] = L[a * p + b];
  size_t failed = 0;
  if (!Cholesky(&L, p, &failed))
    Refuse(fit.names[failed] +
           ": the data cannot tell it from the parameters before it (the fit is singular)");
  // The covariance (of the scaled parameters) N^-1, column by column.
  std::vector<double> cov(p * p, 0), x = rhs;
  for (size_t c = 0; c < p; ++c) {
    std::vector<double> e(p, 0);
    e[c] = 1;
    Solve(L, p, e.data());
    for (size_t a = 0; a < p; ++a) cov[a * p + c] = e[a];
  }
  Solve(L, p, x.data());
  if (r.constrain_gm) {
    // c . x = GM: x -= N^-1 c (c . x - GM) / (c N^-1 c), and the covariance
    // N^-1 - N^-1 c c^T N^-1 / (c N^-1 c).
    std::vector<double> c(p), Nc(p, 0);
    for (size_t a = 0; a < p; ++a) c[a] = effect_gm[a] / length[a];
    double cNc = 0, cx = 0;
    for (size_t a = 0; a < p; ++a) {
      for (size_t b = 0; b < p; ++b) Nc[a] += cov[a * p + b] * c[b];
      cNc += c[a] * Nc[a], cx += c[a] * x[a];
    }
    for (size_t a = 0; a < p; ++a) {
      x[a] -= Nc[a] * (cx - GM) / cNc;
      for (size_t b = 0; b < p; ++b) cov[a * p + b] -= Nc[a] * Nc[b] / cNc;
    }
  }
  fit.estimate.resize(p), fit.sigma.resize(p);
  fit.covariance.resize(p * p), fit.correlation.resize(p * p);
  for (size_t a = 0; a < p; ++a) {
    fit.estimate[a] = x[a] / length[a];
    for (size_t b = 0; b < p; ++b)
      fit.covariance[a * p + b] = cov[a * p + b] / (length[a] * length[b]);
  }
  for (size_t a = 0; a < p; ++a) fit.sigma[a] = std::sqrt(std::max(0.0, fit.covariance[a * p + a]));
  for (size_t a = 0; a < p; ++a)
    for (size_t b = 0; b < p; ++b)
      fit.correlation[a * p + b] = fit.sigma[a] > 0 && fit.sigma[b] > 0
                                       ? fit.covariance[a * p + b] / (fit.sigma[a] * fit.sigma[b])
                                       : 0;
  // Residuals, chi-square and their root mean square by degree.
  fit.observations = rows;
  fit.dof = rows + (r.constrain_gm ? 1 : 0) - p;
  std::vector<double> sum(size_t(N) + 1, 0), count(size_t(N) + 1, 0);
  for (size_t k = 0; k < rows; ++k) {
    double model = 0;
    for (size_t c = 0; c < p; ++c) model += A[k * p + c] * fit.estimate[c];
    const double d = model - y[k];
    fit.chi_square += d * d;
    sum[size_t(degree_of[k])] += d * d, count[size_t(degree_of[k])] += 1;
  }
  for (int n = gm_row ? 0 : first; n <= N; ++n)
    fit.rms_by_degree.push_back(count[size_t(n)] > 0 ? std::sqrt(sum[size_t(n)] / count[size_t(n)])
                                                     : 0);
  double fitted_gm = 0;
  for (size_t c = 0; c < p; ++c) fitted_gm += effect_gm[c] * fit.estimate[c];
  fit.residual_C.assign(side * side, 0), fit.residual_S.assign(side * side, 0);
  for (int n = 0; n <= N; ++n)
    for (int m = 0; m <= n; ++m) {
      double c = 0, s = 0;
      for (size_t q = 0; q < p; ++q) {
        c += effect[q * 2 * K + shape::Index(n, m)] * fit.estimate[q];
        s += effect[q * 2 * K + K + shape::Index(n, m)] * fit.estimate[q];
      }
      const size_t at = size_t(n) * side + size_t(m);
      fit.residual_C[at] = c / fitted_gm - f.C[at];
      fit.residual_S[at] = s / fitted_gm - f.S[at];
    }
  return fit;
}

}  // namespace science
