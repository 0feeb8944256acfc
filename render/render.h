// Picture of a facet model: orthographic view from a direction on the sphere,
// flat Lambert shading from a light fixed in the view, a depth buffer, and a
// triangle rasteriser that samples pixel centres.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/facet.h"

struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb&) const = default;
};

// Colour of facets whose attribute word holds no colour (bit 15 clear).
constexpr Rgb kNoColour{192, 192, 192};
// Colour of pixels that no facet covers.
constexpr Rgb kBackground{40, 44, 52};

// Eight-bit colour of a facet: a colour word (bit 15 set) has its five-bit
// red, green and blue expanded by trunc(c5 * 255 / 31 + 0.5), so 31 gives 255
// and 16 gives 132; any word with bit 15 clear gives kNoColour.
Rgb FacetColour(uint16_t attribute);

// The viewer looks at the model from the direction of longitude lon and
// latitude lat (degrees), (cos lat cos lon, cos lat sin lon, sin lat), toward
// the model. The picture's right is east, (-sin lon, cos lon, 0); its up is
// north, (-sin lat cos lon, -sin lat sin lon, cos lat). Seen from lon 0, lat 0
// the picture shows y to the right and z up.
struct ViewBasis {
  double right[3], up[3], toward[3];
};
ViewBasis MakeViewBasis(double lon_deg, double lat_deg);

// The light comes from over the viewer's left shoulder and is fixed in the
// view, so every direction of view is lit alike: in (right, up, toward the
// viewer) coordinates it lies along (-1, 4, 8) / 9.
// For a facet whose unit normal has view coordinates n (turned toward the
// viewer, since both sides of a facet are drawn), the brightness factor is
// kAmbient + (1 - kAmbient) * max(0, n . light): a facet facing the viewer
// gets 0.25 + 0.75 * 8/9, one edge-on to the light keeps the ambient 0.25.
constexpr double kAmbient = 0.25;
constexpr double kLight[3] = {-1.0 / 9, 4.0 / 9, 8.0 / 9};
double Shade(const double n_view[3]);

// A colour component c scaled by the factor s: trunc(c * s + 0.5).
uint8_t Shaded(uint8_t c, double s);

// The picture: width x height pixels, rows top to bottom, three bytes (red,
// green, blue) per pixel; depth holds one float per pixel for the depth test.
// Both buffers belong to the caller.
struct Image {
  uint32_t width = 0, height = 0;
  uint8_t* rgb = nullptr;
  float* depth = nullptr;
};

// Margin around the fitted model, in pixels: a twentieth of the shorter side.
uint32_t Margin(uint32_t width, uint32_t height);

// Draws the facets into the image: background first, then every facet with
// finite coordinates, filled with its colour as shaded, nearest facet in
// front. The model's projected bounding box is scaled to fill the image less
// the margin on the tighter axis, and centred. Facets whose projection has no
// area (seen edge-on) cover no pixel.
void Render(uint32_t count, const AttributedFacet* facets, const ViewBasis& view, Image* image);
