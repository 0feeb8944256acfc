// The picture of a model: projection, shading and a depth-buffered rasteriser.
#include "render/render.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

double Dot(const double a[3], const double b[3]) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

bool Finite(const float v[9]) {
  for (int k = 0; k < 9; ++k)
    if (!std::isfinite(v[k])) return false;
  return true;
}

// Bounds of the model in view coordinates, over the facets that are drawn.
struct Bounds {
  double lo[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                  std::numeric_limits<double>::infinity()};
  double hi[3] = {-std::numeric_limits<double>::infinity(),
                  -std::numeric_limits<double>::infinity(),
                  -std::numeric_limits<double>::infinity()};
  bool Empty() const { return !(lo[0] <= hi[0]); }
};

// One edge of a triangle in screen coordinates. Its edge function is always
// evaluated from the lexicographically smaller end point, so the two
// triangles that share an edge compute the same number (with opposite signs)
// at every pixel centre and neither a gap nor a double cover opens between
// them. A pixel centre exactly on the edge belongs to one of the two only:
// the one that runs the edge upward on the screen, or rightward if level.
struct Edge {
  float ax, ay, ex, ey, sign;
  bool own;

  void Set(float x0, float y0, float x1, float y1) {
    const float dx = x1 - x0, dy = y1 - y0;
    own = dy < 0 || (dy == 0 && dx > 0);
    if (x0 < x1 || (x0 == x1 && y0 < y1)) {
      ax = x0, ay = y0, ex = dx, ey = dy, sign = 1;
    } else {
      ax = x1, ay = y1, ex = -dx, ey = -dy, sign = -1;
    }
  }
  // Positive inside a triangle whose vertices are ordered so that its signed
  // area (x1 - x0)(y2 - y0) - (y1 - y0)(x2 - x0) is positive.
  float Row(float py) const { return ex * (py - ay); }
  float At(float row, float px) const { return sign * (row - ey * (px - ax)); }
  bool Inside(float w) const { return w > 0 || (w == 0 && own); }
};

}  // namespace

Rgb FacetColour(uint16_t attribute) {
  if (!(attribute & 0x8000)) return kNoColour;
  auto expand = [](unsigned c5) { return static_cast<uint8_t>(std::trunc(c5 * 255.0 / 31 + 0.5)); };
  return {expand((attribute >> 10) & 31u), expand((attribute >> 5) & 31u), expand(attribute & 31u)};
}

ViewBasis MakeViewBasis(double lon_deg, double lat_deg) {
  const double lon = lon_deg * std::numbers::pi / 180, lat = lat_deg * std::numbers::pi / 180;
  const double cl = std::cos(lon), sl = std::sin(lon), cb = std::cos(lat), sb = std::sin(lat);
  return {{-sl, cl, 0}, {-sb * cl, -sb * sl, cb}, {cb * cl, cb * sl, sb}};
}

double Shade(const double n_view[3]) {
  return kAmbient + (1 - kAmbient) * std::max(0.0, Dot(n_view, kLight));
}

uint8_t Shaded(uint8_t c, double s) {
  return static_cast<uint8_t>(std::trunc(c * s + 0.5));
}

uint32_t Margin(uint32_t width, uint32_t height) {
  return std::min(width, height) / 20;
}

void Render(uint32_t count, const AttributedFacet* facets, const ViewBasis& view, Image* image) {
  const uint32_t W = image->width, H = image->height;
  const size_t pixels = size_t{W} * H;
  for (size_t i = 0; i < pixels; ++i) {
    image->rgb[3 * i] = kBackground.r;
    image->rgb[3 * i + 1] = kBackground.g;
    image->rgb[3 * i + 2] = kBackground.b;
    image->depth[i] = -std::numeric_limits<float>::infinity();
  }
  const double* axes[3] = {view.right, view.up, view.toward};

  Bounds box;
  for (uint32_t f = 0; f < count; ++f) {
    const float* v = facets[f].v;
    if (!Finite(v)) continue;
    for (int k = 0; k < 3; ++k) {
      const double p[3] = {v[3 * k], v[3 * k + 1], v[3 * k + 2]};
      for (int a = 0; a < 3; ++a) {
        const double c = Dot(p, axes[a]);
        box.lo[a] = std::min(box.lo[a], c);
        box.hi[a] = std::max(box.hi[a], c);
      }
    }
  }
  if (box.Empty()) return;

  // Fit: scale the projected box into the frame less the margin, centred.
  const double m = Margin(W, H);
  const double room_x = W - 2 * m, room_y = H - 2 * m;
  const double span_x = box.hi[0] - box.lo[0], span_y = box.hi[1] - box.lo[1];
  double scale = 1;
  if (span_x > 0 && span_y > 0)
    scale = std::min(room_x / span_x, room_y / span_y);
  else if (span_x > 0)
    scale = room_x / span_x;
  else if (span_y > 0)
    scale = room_y / span_y;
  if (!std::isfinite(scale)) scale = std::numeric_limits<double>::max();
  double centre[3];
  for (int a = 0; a < 3; ++a) centre[a] = box.lo[a] / 2 + box.hi[a] / 2;
  const double ox = W / 2.0, oy = H / 2.0;

  for (uint32_t f = 0; f < count; ++f) {
    const float* v = facets[f].v;
    if (!Finite(v)) continue;

    // Screen position of the vertices: x to the right, y down, z toward the viewer.
    float sx[3], sy[3], sz[3];
    for (int k = 0; k < 3; ++k) {
      const double p[3] = {v[3 * k], v[3 * k + 1], v[3 * k + 2]};
      sx[k] = static_cast<float>(ox + (Dot(p, view.right) - centre[0]) * scale);
      sy[k] = static_cast<float>(oy - (Dot(p, view.up) - centre[1]) * scale);
      sz[k] = static_cast<float>((Dot(p, view.toward) - centre[2]) * scale);
    }
    float area = (sx[1] - sx[0]) * (sy[2] - sy[0]) - (sy[1] - sy[0]) * (sx[2] - sx[0]);
    if (!(area != 0) || !std::isfinite(area)) continue;
    if (area < 0) {
      std::swap(sx[1], sx[2]);
      std::swap(sy[1], sy[2]);
      std::swap(sz[1], sz[2]);
    }

    // Flat shading from the facet's normal, turned toward the viewer.
    const double e1[3] = {double{v[3]} - v[0], double{v[4]} - v[1], double{v[5]} - v[2]};
    const double e2[3] = {double{v[6]} - v[0], double{v[7]} - v[1], double{v[8]} - v[2]};
    const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                         e1[0] * e2[1] - e1[1] * e2[0]};
    const double len = std::sqrt(Dot(n, n));
    if (!(len > 0) || !std::isfinite(len)) continue;
    double nv[3] = {Dot(n, view.right) / len, Dot(n, view.up) / len, Dot(n, view.toward) / len};
    if (nv[2] < 0)
      for (double& c : nv) c = -c;
    const double s = Shade(nv);
    const Rgb base = FacetColour(facets[f].attribute);
    const uint8_t r = Shaded(base.r, s), g = Shaded(base.g, s), b = Shaded(base.b, s);

    // Pixel rows and columns whose centres (c + 0.5, r + 0.5) may be covered.
    const float lo_x = std::min({sx[0], sx[1], sx[2]}), hi_x = std::max({sx[0], sx[1], sx[2]});
    const float lo_y = std::min({sy[0], sy[1], sy[2]}), hi_y = std::max({sy[0], sy[1], sy[2]});
    const float c0 = std::max(0.0f, std::ceil(lo_x - 0.5f));
    const float c1 = std::min(static_cast<float>(W) - 1, std::floor(hi_x - 0.5f));
    const float r0 = std::max(0.0f, std::ceil(lo_y - 0.5f));
    const float r1 = std::min(static_cast<float>(H) - 1, std::floor(hi_y - 0.5f));
    if (!(c0 <= c1) || !(r0 <= r1)) continue;
    const uint32_t col0 = static_cast<uint32_t>(c0), col1 = static_cast<uint32_t>(c1);
    const uint32_t row0 = static_cast<uint32_t>(r0), row1 = static_cast<uint32_t>(r1);

    Edge e[3];
    e[0].Set(sx[1], sy[1], sx[2], sy[2]);  // opposite vertex 0
    e[1].Set(sx[2], sy[2], sx[0], sy[0]);  // opposite vertex 1
    e[2].Set(sx[0], sy[0], sx[1], sy[1]);  // opposite vertex 2
    const float inv_area = 1 / std::fabs(area);

    for (uint32_t row = row0; row <= row1; ++row) {
      const float py = static_cast<float>(row) + 0.5f;
      const float q0 = e[0].Row(py), q1 = e[1].Row(py), q2 = e[2].Row(py);
      uint8_t* out = image->rgb + 3 * (size_t{row} * W);
      float* depth = image->depth + size_t{row} * W;
      for (uint32_t col = col0; col <= col1; ++col) {
        const float px = static_cast<float>(col) + 0.5f;
        const float w0 = e[0].At(q0, px), w1 = e[1].At(q1, px), w2 = e[2].At(q2, px);
        if (!(e[0].Inside(w0) & e[1].Inside(w1) & e[2].Inside(w2))) continue;
        const float z = (w0 * sz[0] + w1 * sz[1] + w2 * sz[2]) * inv_area;
        if (!(z > depth[col])) continue;
        depth[col] = z;
        out[3 * col] = r;
        out[3 * col + 1] = g;
        out[3 * col + 2] = b;
      }
    }
  }
}
