// Densities and point masses fitted to a measured field (fit.h).
#include "science/fit.h"

#include <array>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

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

// The numbers of a line's fields (Fortran's D exponents read as E): false
// when one does not read.
bool Numbers(const std::vector<std::string>& fields, size_t from, size_t count,
             std::vector<double>* out) {
  out->clear();
  for (size_t k = from; k < from + count; ++k) {
    if (k >= fields.size()) return false;
    std::string t = fields[k];
    for (char& c : t)
      if (c == 'D' || c == 'd') c = 'E';
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (t.empty() || *end != '\0' || !std::isfinite(v)) return false;
    out->push_back(v);
  }
  return true;
}

std::vector<std::string> Split(const std::string& line, bool commas) {
  std::string t = line;
  if (commas)
    for (char& c : t)
      if (c == ',') c = ' ';
  std::istringstream in(t);
  std::vector<std::string> fields;
  for (std::string w; in >> w;) fields.push_back(w);
  return fields;
}

}  // namespace

MeasuredField ReadMeasuredField(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw Failure(path + ": cannot be opened", Failure::Kind::kNotFound);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  MeasuredField f;
  f.source = path;
  const auto at = [&](size_t i) { return path + ":" + std::to_string(i + 1); };
  bool icgem = false;
  for (const std::string& line : lines) {
    const auto w = Split(line, false);
    if (!w.empty() && (w[0] == "end_of_head" || w[0] == "begin_of_head" || w[0] == "gfc" ||
                       w[0] == "product_type"))
      icgem = true;
  }
  // The coefficients from (n, m, C, S, sigma C, sigma S) rows.
  std::vector<std::array<double, 6>> rows;
  std::vector<size_t> row_line;
  std::vector<double> v;
  if (icgem) {
    bool head = true, errors = false;
    std::string norm;
    std::optional<int> degree;
    for (size_t i = 0; i < lines.size(); ++i) {
      const auto w = Split(lines[i], false);
      if (w.empty()) continue;
      if (head) {
        if (w[0] == "end_of_head") {
          head = false;
        } else if (w.size() >= 2 && w[0] == "earth_gravity_constant") {
          if (!Numbers(w, 1, 1, &v)) Refuse(at(i) + ": GM \"" + w[1] + "\" is not a number");
          f.gm = v[0];
        } else if (w.size() >= 2 && w[0] == "radius") {
          if (!Numbers(w, 1, 1, &v)) Refuse(at(i) + ": radius \"" + w[1] + "\" is not a number");
          f.reference_radius = v[0];
        } else if (w.size() >= 2 && w[0] == "max_degree") {
          if (!Numbers(w, 1, 1, &v) || v[0] < 0 || v[0] != std::floor(v[0]) || v[0] > 1000)
            Refuse(at(i) + ": max_degree \"" + w[1] + "\" is not a degree from 0 to 1000");
          degree = int(v[0]);
        } else if (w.size() >= 2 && w[0] == "norm") {
          norm = w[1];
        } else if (w.size() >= 2 && w[0] == "errors") {
          errors = w[1] != "no";
        }
        continue;
      }
      if (w[0] == "gfct" || w[0] == "trnd" || w[0] == "acos" || w[0] == "asin")
        Refuse(at(i) + ": time-variable terms (" + w[0] + ") are not read");
      if (w[0] != "gfc") Refuse(at(i) + ": \"" + w[0] + "\" is not a gfc line");
      if (!Numbers(w, 1, 6, &v)) Refuse(at(i) + ": not gfc n m C S sigma_C sigma_S");
      rows.push_back({v[0], v[1], v[2], v[3], v[4], v[5]});
      row_line.push_back(i);
    }
    if (head) Refuse(path + ": no end_of_head");
    if (!f.gm) Refuse(path + ": no earth_gravity_constant (GM) in the header");
    if (!f.reference_radius) Refuse(path + ": no radius in the header");
    if (!degree) Refuse(path + ": no max_degree in the header");
    if (norm.empty()) Refuse(path + ": no norm in the header (fully_normalized is read)");
    if (norm != "fully_normalized")
      Refuse(path + ": norm " + norm + " (only fully_normalized coefficients are read)");
    if (!errors) Refuse(path + ": errors no: the file carries no sigmas");
    f.degree = *degree;
  } else {
    size_t first = 0;
    while (first < lines.size() && Split(lines[first], true).empty()) ++first;
    const auto head = first < lines.size() ? Split(lines[first], true) : std::vector<std::string>{};
    if (lines[first < lines.size() ? first : 0].find(',') == std::string::npos ||
        !Numbers(head, 0, 8, &v))
      Refuse(path +
             ": neither an ICGEM file (a header to end_of_head, gfc lines) nor a SHADR "
             "table (a header record R0, GM, its sigma, degree, order, normalisation, "
             "longitude, latitude)");
    if (v[5] != 1)
      Refuse(at(first) + ": normalisation " + ShortestDigits(v[5]) +
             " (only fully normalised coefficients, 1, are read)");
    if (!(v[0] > 0)) Refuse(at(first) + ": no reference radius (a positive number, km)");
    if (!(v[1] > 0)) Refuse(at(first) + ": no GM (a positive number, km^3/s^2)");
    if (v[3] < 0 || v[3] != std::floor(v[3]) || v[3] > 1000)
      Refuse(at(first) + ": the degree " + ShortestDigits(v[3]) + " is not from 0 to 1000");
    f.reference_radius = v[0] * 1e3, f.gm = v[1] * 1e9;
    if (v[2] > 0) f.sigma_gm = v[2] * 1e9;
    f.degree = int(v[3]);
    for (size_t i = first + 1; i < lines.size(); ++i) {
      const auto w = Split(lines[i], true);
      if (w.empty()) continue;
      if (!Numbers(w, 0, 6, &v)) Refuse(at(i) + ": not n, m, C, S, sigma_C, sigma_S");
      rows.push_back({v[0], v[1], v[2], v[3], v[4], v[5]});
      row_line.push_back(i);
    }
  }
  const size_t side = size_t(f.degree) + 1;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Not numbers until read, 0 above the diagonal.
  f.C.assign(side * side, 0), f.S.assign(side * side, 0);
  f.sigma_C.assign(side * side, 0), f.sigma_S.assign(side * side, 0);
  for (size_t n = 0; n < side; ++n)
    for (size_t m = 0; m <= n; ++m)
      f.C[n * side + m] = f.S[n * side + m] = f.sigma_C[n * side + m] = f.sigma_S[n * side + m] =
          nan;
  for (size_t k = 0; k < rows.size(); ++k) {
    const auto& r = rows[k];
    if (r[0] != std::floor(r[0]) || r[1] != std::floor(r[1]) || r[1] < 0 || r[1] > r[0] ||
        r[0] > f.degree)
      Refuse(at(row_line[k]) + ": (" + ShortestDigits(r[0]) + ", " + ShortestDigits(r[1]) +
             ") is not a degree and order to " + std::to_string(f.degree));
    const size_t i = size_t(r[0]) * side + size_t(r[1]);
    if (!std::isnan(f.C[i]))
      Refuse(at(row_line[k]) + ": (" + ShortestDigits(r[0]) + ", " + ShortestDigits(r[1]) +
             ") given twice");
    f.C[i] = r[2], f.S[i] = r[3], f.sigma_C[i] = r[4], f.sigma_S[i] = r[5];
  }
  return f;
}

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
        if (std::isnan(value))
          Refuse(src + ": no " + name + "(" + std::to_string(n) + ", " + std::to_string(m) + ")");
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

std::string FitText(const Fit& fit, const MeasuredField& f, const FitRequest& r) {
  std::string out = "# polyfield fit: densities (kg/m^3) and point masses (kg) against " +
                    f.source + ", degrees " + std::to_string(std::max(1, r.min_degree)) + " to " +
                    std::to_string(r.degree) + (r.min_degree == 0 && f.sigma_gm ? " and GM" : "") +
                    (r.constrain_gm ? ", the total mass held to GM" : "") + "\n";
  out += "# GM " + ShortestDigits(*f.gm) + " m^3/s^2, reference radius " +
         ShortestDigits(*f.reference_radius) + " m\n";
  out += "# observations " + std::to_string(fit.observations) + ", degrees of freedom " +
         std::to_string(fit.dof) + ", chi-square " + ShortestDigits(fit.chi_square) +
         (fit.dof ? ", per degree of freedom " + ShortestDigits(fit.chi_square / double(fit.dof))
                  : std::string()) +
         "\n";
  const size_t p = fit.estimate.size();
  for (size_t a = 0; a < p; ++a)
    for (size_t b = a + 1; b < p; ++b)
      out += "# correlation of " + fit.names[a] + " and " + fit.names[b] + ": " +
             ShortestDigits(fit.correlation[a * p + b]) + "\n";
  const int first =
      r.min_degree == 0 && f.sigma_gm && !r.constrain_gm ? 0 : std::max(1, r.min_degree);
  for (size_t k = 0; k < fit.rms_by_degree.size(); ++k)
    out += "# degree " + std::to_string(first + int(k)) + ": residuals over sigmas, rms " +
           ShortestDigits(fit.rms_by_degree[k]) + "\n";
  out += "parameter\testimate\tsigma\n";
  for (size_t a = 0; a < p; ++a)
    out += fit.names[a] + "\t" + ShortestDigits(fit.estimate[a]) + "\t" +
           ShortestDigits(fit.sigma[a]) + "\n";
  return out;
}

}  // namespace science
