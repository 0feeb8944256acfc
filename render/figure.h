// Figures for print: a coloured model seen from a direction, or its
// latitude-longitude map, with a title and a colour bar, drawn by cairo on a
// PNG, PDF or SVG surface (the same drawing on each). Facets are filled
// polygons, farthest first; text is sized from the figure and shrunk until
// it fits, typeset (raised exponents, true minus signs) and kept as text:
// fonts embedded in PDF, <text> elements in SVG.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "render/render.h"

namespace figure {

enum class Output { kPng, kPdf, kSvg };
// By the file's extension, in any case: .pdf, .svg; anything else is PNG.
Output OutputFor(const std::string& path);

// Background and ink of the two styles: light for print, dark on request.
constexpr Rgb kLightBackground{255, 255, 255};
constexpr Rgb kDarkBackground = kBackground;

struct Style {
  uint32_t width = 800, height = 600;  // the whole figure: pixels, or points in PDF and SVG
  // The size above is the most the figure takes: its height (or width) is
  // cut to what the model or the map needs, the fonts kept as at the full
  // size, so that no wide empty border is left.
  bool fit = false;
  bool dark = false;
  bool shading = false;  // Lambert shading of the view (never in a map)
  std::string title;     // "" for none
  // The view's extras: a thin line in the ink around the model's outline
  // (facets of the paper's colour stay visible); the model's axes x, y, z
  // as seen, with the direction of view ("view from lon 30°, lat 25°",
  // `from`); a scale bar of a round length in `unit`, the model's.
  bool outline = false, triad = false, scale_bar = false;
  std::pair<double, double> from{0, 0};  // the view's longitude and latitude, degrees
  std::string unit;
  double font = 0;  // the base font size; 0: 2.8 % of the shorter side, at least 6
  // Asked between batches of facets drawn and of bytes written: false
  // abandons the figure (the draw then returns false), and must stay false
  // once given.
  std::function<bool()> more;
};

// The colour bar: the map's colours from the range's bottom to its top, the
// range, whether values lie below or above it (a triangle at that end, in
// the end's colour), and the quantity with its unit.
struct Bar {
  std::vector<Rgb> colours;
  double min = 0, max = 1;
  bool below = false, above = false;
  std::string label;
};

// A facet of the model in its colour, and the model's vertex numbers of
// its corners (facets that share an edge share two of them: the outline).
struct Triangle {
  double v[9];
  Rgb colour;
  uint32_t corner[3] = {0, 0, 0};
};

// The model seen from `view` (orthographic), fitted into the figure left of
// the bar; false when the output fails.
bool DrawView(FILE* out, Output kind, const std::vector<Triangle>& facets, const ViewBasis& view,
              const Style& style, const Bar& bar);

// A polygon of the map: longitudes and latitudes in degrees, within
// [-180, 180] x [-90, 90].
struct Polygon {
  std::vector<std::pair<double, double>> lonlat;
  Rgb colour;
};

// The facets as seen from `centre`: each vertex at its longitude and
// latitude, the longitudes of a facet taken continuous across the 180-degree
// meridian and the facet cut there into its two sides; a facet around a pole
// reaches it along the map's edge. Farthest facets from the centre come
// last, so that they are drawn over the hidden ones.
std::vector<Polygon> MapPolygons(const std::vector<Triangle>& facets, const double centre[3]);

// The equirectangular map of the polygons with its axes, ticks every 30 or
// 60 degrees, and the bar.
bool DrawMap(FILE* out, Output kind, const std::vector<Polygon>& polygons, const Style& style,
             const Bar& bar);

// A contour figure of values on a plane: the grid's values at the centres
// of nu x nv cells over [u0, u1] x [v0, v1] (rows along v, u fastest), NaN
// where there is none; contour lines at `levels` (those marked `strong`
// drawn wider, in the accent), the section of a body by the plane filled
// grey (closed rings, filled by the even-odd rule: holes stay open), and
// named points. Drawn at equal scales on both axes, named `u_name` and
// `v_name`.
struct ContourPlot {
  uint32_t nu = 0, nv = 0;
  double u0 = -1, u1 = 1, v0 = -1, v1 = 1;
  std::vector<double> values;
  std::vector<double> levels;
  std::vector<bool> strong;  // of each level
  std::vector<std::vector<std::pair<double, double>>> section;
  std::vector<std::pair<double, double>> points;
  std::vector<std::string> labels;  // of each point
  std::string u_name = "u", v_name = "v";
};

// The contour of the grid's values at `level` by marching squares between
// neighbouring cell centres, as segments (u, v, u', v'); a saddle cell is
// resolved by its centre's mean, and a cell with a NaN corner left out.
std::vector<std::array<double, 4>> ContourSegments(const ContourPlot& plot, double level);

// The plot fitted into the figure (its height, or width, cut to the square
// frame with `fit`); false when the output fails.
bool DrawContours(FILE* out, Output kind, const ContourPlot& plot, const Style& style);

// Readable ticks within [min, max]: multiples of 1, 2 or 5 times a power of
// ten, from 3 to about 7 of them (at least the two ends' neighbours), and
// their labels with the digits the step needs.
std::vector<double> Ticks(double min, double max);
std::vector<std::string> TickLabels(const std::vector<double>& ticks);

// A label as printed (UTF-8): an exponent after a caret raised (m^2/s^2 as
// m²/s², kg^-1 as kg⁻¹), and a hyphen that stands before a number's digits
// (not inside a word or between numbers) the minus sign U+2212.
std::string Typeset(const std::string& text);
// A tick label as printed: a number in exponent form as a power of ten
// (2.5e+08 as 2.5×10⁸, 0e+00 as 0), the minus sign U+2212.
std::string TypesetNumber(const std::string& label);

// The length of a scale bar about a fifth of `span`: 1, 2 or 5 times a
// power of ten; 0 for a span not positive and finite.
double ScaleLength(double span);

}  // namespace figure
