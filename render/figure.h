// Figures for print: a coloured model seen from a direction, or its
// latitude-longitude map, with a title and a colour bar, drawn by cairo on a
// PNG, PDF or SVG surface (the same drawing on each). Facets are filled
// polygons, farthest first; text is sized from the figure and shrunk until
// it fits.
#pragma once

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
  bool dark = false;
  bool shading = false;  // Lambert shading of the view (never in a map)
  std::string title;     // "" for none
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

// A facet of the model in its colour.
struct Triangle {
  double v[9];
  Rgb colour;
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

// Readable ticks within [min, max]: multiples of 1, 2 or 5 times a power of
// ten, from 3 to about 7 of them (at least the two ends' neighbours), and
// their labels with the digits the step needs.
std::vector<double> Ticks(double min, double max);
std::vector<std::string> TickLabels(const std::vector<double>& ticks);

}  // namespace figure
