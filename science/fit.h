// The densities of a body's parts and the masses of its point masses that
// best explain a measured gravity field, by weighted linear least squares:
// the field is linear in them. With the measured GM and coefficients (4-pi
// fully normalised, at the measured reference radius), the observations
// are GM C_nm and GM S_nm for the degrees fitted, each of sigma GM times
// the coefficient's, and GM itself (of its sigma, when given, or held
// exactly with the constraint):
//   GM C_nm + i GM S_nm = G sum_p rho_p V_p (C_p + i S_p)_nm
//                         + G sum_q m_q Q_nm(q) / (2n + 1),
// C_p, S_p part p's own coefficients (about the model's origin), V_p its
// volume in m^3, Q_nm the normalised solid harmonic at point mass q.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "science/body.h"

namespace science {

// A measured field as a file gives it: coefficients and their sigmas at
// n (degree + 1) + m (as Harmonics's C and S), GM (m^3/s^2), its sigma and
// the reference radius (m); `source` names it in messages (a file's name,
// or "measured").
struct MeasuredField {
  int degree = -1;
  std::vector<double> C, S, sigma_C, sigma_S;
  std::optional<double> gm, sigma_gm, reference_radius;
  std::string source = "measured";
};

// A measured field from an ICGEM file (.gfc: the keys
// earth_gravity_constant, radius, max_degree, norm fully_normalized and
// errors other than no, then "gfc n m C S sigma_C sigma_S" lines) or a
// SHADR table (a header record R0 km, GM km^3/s^2, its sigma, degree, order,
// normalisation 1, reference longitude and latitude; then "n, m, C, S,
// sigma_C, sigma_S" records), told apart by content. Refused, naming the
// file and line: a file that is neither, GM, the radius, the degree or the
// normalisation missing, another normalisation, no sigmas, time-variable
// terms, a coefficient beyond the degree announced or given twice, a
// number that does not read. Coefficients the file lacks are not numbers
// (FitDensities refuses them where it needs them).
MeasuredField ReadMeasuredField(const std::string& path);

struct FitRequest {
  int min_degree = 1, degree = 0;  // the degrees fitted, degree 0 being GM's
  bool constrain_gm = false;       // the total mass equals the measured GM exactly
  unsigned threads = 1;
};

struct Fit {
  std::vector<std::string> names;  // "part 1 density" (kg/m^3), "point mass 1 mass" (kg)
  std::vector<double> estimate, sigma;
  std::vector<double> covariance, correlation;  // row-major, one row per parameter
  double chi_square = 0;
  size_t observations = 0, dof = 0;
  // The root mean square of the residuals over their sigmas by degree, from
  // min_degree (0 for GM's alone).
  std::vector<double> rms_by_degree;
  // The fitted field's C and S minus the measured, as MeasuredField's.
  std::vector<double> residual_C, residual_S;
};

// Refuses a measured field without GM or the reference radius, with a
// sigma that is not a positive number, lacking the degrees asked for; a
// constraint without GM; and a fit the data cannot decide: a parameter
// that moves no observation, or two whose effects are the same (naming
// them).
Fit FitDensities(const Body& body, const MeasuredField& measured, const FitRequest& request);

// The fit as the program's table: '#' header lines (the measured field,
// the degrees, chi-square, degrees of freedom, the correlations, the
// residuals' root mean square by degree), then a row per parameter: name,
// estimate, sigma, tab-separated.
std::string FitText(const Fit& fit, const MeasuredField& measured, const FitRequest& request);

}  // namespace science
