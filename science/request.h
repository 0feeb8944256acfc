// What the two faces (the polyfield program and the Python module) ask of
// the library: units, evaluation settings, the surface's options and the
// picture's, each default written here once, and the checks of a request
// that run before any model is read. Every message names the quantity with
// Quantity(name), which each face spells its own way.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/failure.h"
#include "engine/engine.h"

namespace science {

// The gravitational constant (CODATA 2018), m^3 kg^-1 s^-2.
constexpr double kG = 6.67430e-11;
constexpr double kSecondsPerHour = 3600;
constexpr unsigned kMaxThreads = 4096;

// The physical units asked for. Density, mass and GM are alternatives; with
// none of them the results stay in the model's own unit with G rho = 1.
struct UnitsRequest {
  std::optional<double> density;  // kg/m^3
  std::optional<double> mass;     // kg: density = mass / volume
  std::optional<double> gm;       // m^3/s^2: density = GM / (G volume)
  std::optional<double> G;        // m^3 kg^-1 s^-2 (default kG)
  std::string unit = "m";         // the model's length unit: m, km, cm, mm
  double scale = 1;               // the model's coordinates times this are in `unit`
};

// The units of a run, resolved against the model's volume (model units
// cubed, after the scale).
struct Units {
  double density = 0;  // kg/m^3; 0: the G rho = 1 convention
  double G = kG;
  double metres = 1;       // the length unit in metres
  std::string unit = "m";  // its name
  double scale = 1;
  // Where the density came from: "given", or the mass or GM divided by the
  // volume, as the header states it.
  std::string density_from = "given";

  // Results in SI units (any density but 0: a part of a body may be a
  // cavity, of negative density); else in model units, G rho = 1.
  bool Physical() const { return density != 0; }
  double PotentialFactor() const { return Physical() ? G * density * metres * metres : 1; }
  double AttractionFactor() const { return Physical() ? G * density * metres : 1; }
  double GradientFactor() const { return Physical() ? G * density : 1; }
  // kg and m^3/s^2 of a body of `volume` model units cubed (0 without SI).
  double Mass(double volume) const;
  double GM(double volume) const { return G * Mass(volume); }
  // Unit names in brackets for column headers ("" in the G rho = 1 convention).
  std::string LengthUnit() const { return Physical() ? "[" + unit + "]" : ""; }
  std::string AreaUnit() const { return Physical() ? "[" + unit + "^2]" : ""; }
  std::string PotentialUnit() const { return Physical() ? "[m^2/s^2]" : ""; }
  std::string AttractionUnit() const { return Physical() ? "[m/s^2]" : ""; }
  std::string GradientUnit() const { return Physical() ? "[1/s^2]" : ""; }
};

// The length unit's metres from its name: m, km, cm, mm.
double MetresOf(const std::string& unit);

// The units of a model of `volume` (model units cubed, after the scale): a
// mass or GM needs a positive volume.
Units Resolve(const UnitsRequest& request, double volume);

// The densities of solid bodies, kg/m^3 (ices and rubble piles to iron and
// the densest metals, with room to spare): one outside is most likely a unit
// slip, and a spin period above kMaxSpinHours one in seconds.
constexpr double kLeastDensity = 100, kMostDensity = 25000;
constexpr double kMaxSpinHours = 1000;

// Warnings for a request that is valid but most likely a unit slip: a
// density outside kLeastDensity..kMostDensity (given: g/cm^3 for kg/m^3?;
// from a mass or GM: the model's length unit?) and a spin period above
// kMaxSpinHours (seconds for hours?). One line each, without a prefix; the
// faces tell them (the program on standard error, Python as warnings) and
// go on: nothing is refused.
std::vector<std::string> Cautions(const Units& units,
                                  const std::optional<double>& spin_period = std::nullopt);

// How an evaluation runs.
struct Evaluation {
  std::optional<double> tolerance;  // relative; absent or 0: the exact sum
  std::optional<unsigned> threads;  // absent: every core
  bool check = true;                // refuse a model that fails the check

  double Tolerance() const { return tolerance.value_or(0); }
  unsigned Threads() const;
};

struct FieldRequest {
  UnitsRequest units;
  Evaluation evaluation;
  bool gradient = false;  // also the gravity gradient tensor
};

// The coloured model and its picture.
struct PictureRequest {
  // The surface column (the program's; "potential" is U); "" for the slope
  // the run has: slopeeff with a spin, else slope (ColourName).
  std::string colour;
  std::string map = "viridis";                     // a bundled map or a CM_STL file
  std::optional<std::pair<double, double>> range;  // else the area-weighted percentiles
  std::pair<double, double> percentiles{2, 98};
  std::pair<double, double> view{30, 25};  // longitude, latitude of the eye, degrees
  // Pixels (points in PDF and SVG); absent: at most kPictureSize, cut to
  // the model's (or the map's) shape, the fonts as at that size.
  std::optional<std::pair<uint32_t, uint32_t>> size;
  std::string background = "light";  // or "dark"
  std::string shading = "none";      // or "lambert" (the view only)
  std::string title;                 // "" for none
  std::string label;                 // the colour bar's; "" for the quantity and its unit
  bool outline = true;               // the view: a thin line around the model
  bool triad = false;                // the view: the model's axes and the direction of view
  bool scale_bar = false;            // the view: a length in the model's unit
};
constexpr std::pair<uint32_t, uint32_t> kPictureSize{800, 600};

// The column a picture is coloured by (PictureRequest::colour).
std::string ColourName(const PictureRequest& request, bool spin);

struct SurfaceRequest {
  UnitsRequest units;
  Evaluation evaluation;
  std::optional<double> spin_period;                   // hours
  std::array<double, 3> spin_axis{0, 0, 1};            // through the centre of mass
  std::vector<double> slopes{10, 20, 30, 40};          // degrees, for the area fractions
  std::vector<double> percentiles{5, 25, 50, 75, 95};  // of the slope, in the summary
  PictureRequest picture;

  double SpinSeconds() const { return spin_period.value_or(0) * kSecondsPerHour; }
};

// The checks that need no model; each throws a Failure of kind kBadValue.
void Validate(const UnitsRequest& request);
void Validate(const Evaluation& evaluation);
void Validate(const FieldRequest& request);
void Validate(const SurfaceRequest& request);
// The picture alone (the range, percentiles, view, size and map); `columns`
// are the names the colour may take (empty: not checked).
void Validate(const PictureRequest& request, const std::vector<std::string>& columns);

// The files of a run: the model and points read (may be "-", standard
// input), the outputs written, each under the quantity that names it. Refuses
// a name with a NUL byte, standard input read twice, two outputs on standard
// output, and an output that is the model, the points or another output, by
// name or by file identity (device and inode, links followed).
using FileList = std::vector<std::pair<std::string, std::string>>;  // (quantity, path)
struct Files {
  FileList inputs;
  FileList outputs;  // "" absent
};
void Validate(const Files& files);

// A path as a file name: refused when it holds a NUL byte (kBadValue).
void CheckPath(const std::string& quantity, const std::string& path);

}  // namespace science
