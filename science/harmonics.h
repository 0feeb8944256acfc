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
#include <memory>
#include <optional>
#include <span>
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

struct HarmonicsRequest {
  int degree = 0;
  // Model units; none: the Brillouin radius (the largest distance of a
  // vertex from the origin).
  std::optional<double> reference_radius;
  HarmonicOrigin origin = HarmonicOrigin::kModel;
  unsigned threads = 1;
  std::string model;  // the model's name, for messages and the files' headers
  // Told the share of the blocks summed (HarmonicSums::Sum): false stops
  // the sums (Stopped is thrown).
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

// The coefficients of the parts (densities in kg/m^3 with `units.Physical()`, else
// 1 for a single part) and of the point masses (kg, with `units.Physical()`:
// each adds its mass times the normalised solid harmonics at its place),
// about the model's origin or the centre of mass of all of them, to
// request.degree, the same bits for every thread count; GM from the sums'
// mass (G x mass with `units.Physical()`). The Brillouin
// radius holds the point masses too. Refuses what CheckHarmonicsRequest
// refuses, a total mass that is not positive and coefficients that
// overflow (a reference radius far inside the Brillouin sphere at a high
// degree).
Harmonics PartsHarmonics(const std::vector<HarmonicPart>& parts, const Units& units,
                         const HarmonicsRequest& request, const std::vector<Mascon>& mascons = {});

// The coefficients' work as sums over fixed blocks of facets, which any
// process may sum and one adds up: made, it has made the checks and the
// allocations of the work, found the origin and the Brillouin radius, and
// holds the parts (their corners, and a body, outlive it) and the point
// masses. A block's sums depend on the block alone (not on the threads nor
// on who sums it), and Add takes them in block order: the coefficients are
// the same bits however the blocks were divided.
class HarmonicSums {
 public:
  // What PartsHarmonics, HarmonicsOf(model) and HarmonicsOf(body) take,
  // refused as they refuse it, before any sum.
  HarmonicSums(const std::vector<HarmonicPart>& parts, const Units& units,
               const HarmonicsRequest& request, const std::vector<Mascon>& mascons = {});
  HarmonicSums(const mesh::Mesh& model, const Units& units, const HarmonicsRequest& request);
  HarmonicSums(const Body& body, const UnitsRequest& units, const HarmonicsRequest& request,
               const std::string& format = "");
  ~HarmonicSums();

  size_t Blocks() const;
  // Doubles of one block's sums.
  size_t Width() const;
  // Blocks whose sums to hold at once, summed and added a round at a time:
  // 16, fewer at high degrees, where a block's sums are large (8 MB at
  // degree 1000). It does not depend on the threads.
  size_t RoundBlocks() const;
  // The sums of blocks[j] into sums + j Width(), the threads taking the
  // blocks as they come. request.more is told the share of all the blocks
  // summed so far, from the calling thread after each block it sums and at
  // the end: false stops the sums (Stopped is thrown).
  void Sum(std::span<const size_t> blocks, double* sums);
  // Adds the sums of `block`, the next in block order (refused otherwise).
  void Add(size_t block, const double* sums);
  // The coefficients, once every block was added (refused before); once.
  Harmonics Finish();
  // Every block, a round at a time, then Finish: the whole work in one
  // process.
  Harmonics All();

 private:
  struct State;
  // The first constructor's work; and a model summed whole at the density
  // of `units`, its mass and GM those of `volume`.
  static std::unique_ptr<State> Prepare(const std::vector<HarmonicPart>& parts, const Units& units,
                                        const HarmonicsRequest& request,
                                        const std::vector<Mascon>& mascons);
  static std::unique_ptr<State> Whole(const mesh::Mesh& model, const Units& units,
                                      const HarmonicsRequest& request, double volume);
  std::unique_ptr<State> state_;
};

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
//   SHADR: the Planetary Data System's fixed-length ASCII records of 122
//     bytes, each padded with spaces and ended by CR LF: the header, R0 in
//     km, GM in km^3/s^2, its uncertainty 0, degree, order, normalisation 1,
//     reference longitude and latitude 0, comma separated, in two records;
//     then an "n, m, C, S, 0, 0" record for each coefficient from degree 0.
// ICGEM and SHADR need a density (GM in SI units): CheckHarmonicsFile
// refuses them without one, and the faces call it before any work.
void CheckHarmonicsFile(HarmonicsFormat format, const Units& units);
std::string HarmonicsText(const Harmonics& h, HarmonicsFormat format);

// The origin a file is expanded about when none is named: the centre of
// mass for ICGEM and SHADR, the files of orbit propagators, many of which
// take the degree-1 terms for zero; the model's origin for the tables.
HarmonicOrigin DefaultHarmonicOrigin(HarmonicsFormat format);

// The warning an ICGEM or SHADR file of coefficients about the model's
// origin deserves when their degree-1 terms are not zero (the centre of
// mass lies off the origin), one line naming the offset; else "" (also
// without SI units, which such a file refuses).
std::string HarmonicsFileWarning(const Harmonics& h, HarmonicsFormat format);

// The files WriteHarmonics writes for `path`, each under `quantity`: the
// file, and beside a SHADR file (not on standard output) its PDS label, the
// path with its extension replaced by .lbl. Refused: a SHADR path that ends
// in .lbl, or whose name a label cannot quote.
FileList HarmonicsFiles(const std::string& path, HarmonicsFormat format,
                        const std::string& quantity = "output");

// The PDS3 label of a SHADR file named `data_name` (its name alone):
// fixed-length records, their count and length, the two tables and their
// columns.
std::string ShadrLabel(const Harmonics& h, const std::string& data_name);

// Writes the files of HarmonicsFiles ("-": standard output), replacing a
// file only once all are complete; refused under `quantity` when one is a
// file the coefficients were made from.
void WriteHarmonics(const std::string& path, const Harmonics& h, HarmonicsFormat format,
                    const std::string& quantity = "output");

}  // namespace science
