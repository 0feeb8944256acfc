// The spherical-harmonic (Stokes) coefficients of a solid bounded by
// triangulated polyhedra, exact: the volume integrals of the solid harmonics
// summed over the tetrahedra (origin, A, B, C) of the facets
// (shape_harmonics.h), each part with its own density.
//
// The convention, as geodesy and orbit propagators use it: 4-pi fully
// normalised, no Condon-Shortley phase, reference radius R0, about a chosen
// origin, phi the latitude and lambda the longitude (atan2(y, x)):
//   U(r, phi, lambda) = GM/r sum_n (R0/r)^n sum_m Pbar_nm(sin phi)
//                       (C_nm cos m lambda + S_nm sin m lambda),
//   C_nm + i S_nm = 1 / ((2n + 1) M R0^n) integral of r^n Pbar_nm(sin phi) e^{im lambda} dm,
// Pbar_nm = sqrt((2 - delta_m0)(2n + 1)(n - m)!/(n + m)!) P_nm, so that
// C_00 = 1 and degree 1 holds the centre of mass: C_10, C_11, S_11 are its
// z, x and y over sqrt(3) R0. The series converges outside the sphere about
// the origin that holds every vertex (the Brillouin sphere).
#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "mesh/mesh.h"
#include "science/body.h"
#include "science/field.h"

namespace science {

// Degrees above this are refused: the work grows as the square of the
// degree, and so does the memory (at degree 1000 about 60 MB, and 64 MB
// a thread).
constexpr int kMaxHarmonicDegree = 1000;

enum class HarmonicOrigin { kModel, kCentreOfMass };

// One part: facets (nine coordinates each, A B C, counter-clockwise seen from
// outside, model units) and the density weighting its integrals. A single
// part's coefficients do not depend on its density, to the bit: it is
// summed at unit density, and the density scales its mass alone.
struct HarmonicPart {
  const double* corners;
  size_t facets;
  double density;
};

// How the processes of a divided run meet (HarmonicsRequest::exchange):
// the blocks of facets are dealt out, block b to part b mod parts; each part
// sums its own, part 0 adds every block's sums in block order, as one
// process does (the same bits for every division), taking the other parts'
// as it goes, and the other parts give theirs in their order.
// Ready comes once the run's checks and allocations are made, before the
// first block; Done after the last block given or taken. The parts sum
// their blocks in rounds, as many on every part: after each round's sums,
// Round(failure) is called by every part (with its failure, or null), and
// only when it returns are that round's blocks given and taken. It throws,
// on every part, the failure of one that failed: the exchange itself then
// never waits on a part that has stopped.
class BlockExchange {
 public:
  virtual ~BlockExchange() = default;
  virtual void Ready() {}
  virtual void Round(std::exception_ptr failure) {
    if (failure) std::rethrow_exception(failure);
  }
  virtual void Give(size_t block, const double* sums, size_t count) = 0;
  virtual void Take(size_t block, unsigned from, double* sums, size_t count) = 0;
  virtual void Done() {}
};

struct HarmonicsRequest {
  int degree = 0;
  // Model units; none: the Brillouin radius (the largest distance of a
  // vertex from the origin).
  std::optional<double> reference_radius;
  HarmonicOrigin origin = HarmonicOrigin::kModel;
  unsigned threads = 1;
  std::string model;  // the model's name, for messages and the files' headers
  // One part of a run divided over processes: the coefficients come out of
  // part 0; the other parts' results hold none.
  unsigned part = 0, parts = 1;
  BlockExchange* exchange = nullptr;
  // Told the share of this part's blocks summed, from the calling thread,
  // after each block it sums and after each round: false stops the sums
  // (Stopped is thrown, through the exchange's Round on every part).
  More more;
};

struct Harmonics {
  int degree = 0;
  // C[n (degree + 1) + m] and S likewise, for 0 <= m <= n <= degree; 0 above
  // the diagonal (m > n).
  std::vector<double> C, S;
  double reference_radius = 0;     // model units
  bool brillouin = false;          // the reference radius is the Brillouin radius
  std::array<double, 3> origin{};  // about which, model units
  HarmonicOrigin origin_kind = HarmonicOrigin::kModel;
  double mass = 0;  // sum over the parts of density x volume (model units^3)
  // GM as the files carry it: m^3/s^2 with a density, else (G rho = 1) the
  // volume in model units cubed.
  double gm = 0;
  Units units;
  std::string model;
  size_t vertices = 0, facets = 0;  // of the model (the first part)
  // A body of parts or point masses: its lines (BodyLines), for the headers.
  std::vector<std::string> body;
  // The files the coefficients were made from, which WriteHarmonics never
  // replaces.
  FileList sources;

  double Cnm(int n, int m) const { return C[size_t(n) * size_t(degree + 1) + size_t(m)]; }
  double Snm(int n, int m) const { return S[size_t(n) * size_t(degree + 1) + size_t(m)]; }
  double GM() const { return gm; }
  double ReferenceRadiusMetres() const { return reference_radius * units.metres; }
};

// Refuses a degree below 0 or above kMaxHarmonicDegree and a reference
// radius that is not a positive number: the faces call it before they read
// the model.
void CheckHarmonicsRequest(const HarmonicsRequest& request);

// By name: model, centre-of-mass.
HarmonicOrigin HarmonicOriginOf(const std::string& name);

// The coefficients of the parts (densities in kg/m^3 with `units.Si()`, else
// 1 for a single part) and of the point masses (kg, with `units.Si()`:
// each adds its mass times the normalised solid harmonics at its place),
// about the model's origin or the centre of mass of all of them, to
// request.degree, the same bits for every thread count; GM from the sums'
// mass (G x mass with `units.Si()`). The Brillouin
// radius holds the point masses too. Refuses what CheckHarmonicsRequest
// refuses, a total mass that is not positive and coefficients that
// overflow (a reference radius far inside the Brillouin sphere at a high
// degree).
Harmonics PartsHarmonics(const std::vector<HarmonicPart>& parts, const Units& units,
                         const HarmonicsRequest& request, const std::vector<Mascon>& mascons = {});

// The coefficients of a homogeneous model at the density of `units` (the
// same bits at every density and without one), GM that of the model's
// volume (Units::GM): the model is refused when it is unfit for the
// formulas (mesh::Check).
Harmonics HarmonicsOf(const mesh::Mesh& model, const Units& units, const HarmonicsRequest& request);

// The faces' entry: the coefficients of a body (refused when a part fails
// its check, which each part makes once, or when the total mass of a body
// of parts is not positive), its units resolved against its volume, and
// the file format, when one is to be written, checked before the work. GM
// is the one given (`units.gm`; G times `units.mass`), else G times the
// body's mass (MassOf, the total the header states), else the volume.
Harmonics HarmonicsOf(const Body& body, const UnitsRequest& units, const HarmonicsRequest& request,
                      const std::string& format = "");

// The file formats of the coefficients.
enum class HarmonicsFormat { kTsv, kCsv, kNpy, kIcgem, kShadr };
// By name: tsv, csv, npy, icgem, shadr.
HarmonicsFormat HarmonicsFormatOf(const std::string& name);

// The file's text (bytes for NPY):
//   TSV, CSV: '#' lines stating the convention, the reference radius, GM (or
//     the volume), the origin and the model; then "n m C S" rows for
//     0 <= m <= n <= degree, n ascending then m.
//   NPY: a structured array with the fields n, m, C, S (doubles), the same rows.
//   ICGEM (.gfc): the gravity field centre's format, header then
//     "gfc n m C S 0 0" lines; GM in m^3/s^2, radius in m.
//   SHADR: the Planetary Data System's ASCII records, comma separated: R0
//     in km, GM in km^3/s^2, its uncertainty 0, degree, order, normalisation
//     1, reference longitude and latitude 0; then "n, m, C, S, 0, 0" records
//     from degree 0.
// ICGEM and SHADR need a density (GM in SI units): CheckHarmonicsFile
// refuses them without one, and the faces call it before any work.
void CheckHarmonicsFile(HarmonicsFormat format, const Units& units);
std::string HarmonicsText(const Harmonics& h, HarmonicsFormat format);

// Writes the file to `path` ("-": standard output), replacing a file only
// once complete; refused under `quantity` when `path` is one of the files
// the coefficients were made from.
void WriteHarmonics(const std::string& path, const Harmonics& h, HarmonicsFormat format,
                    const std::string& quantity = "output");

}  // namespace science
