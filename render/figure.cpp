// Figures drawn with cairo: layout, colour bar, view, map.
#include "render/figure.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <numeric>
#include <optional>

namespace figure {

namespace {

// Where cairo writes a figure: the file, and the style's `more`, asked
// every megabyte (a vector figure of a large model is written for seconds).
struct Sink {
  FILE* out;
  const Style* style;
  size_t since = 0;  // bytes since `more` was asked
};

cairo_status_t WriteTo(void* closure, const unsigned char* data, unsigned int length) {
  Sink& sink = *static_cast<Sink*>(closure);
  constexpr size_t kAsk = size_t{1} << 20;
  // A vector figure's page may come in one piece of a hundred megabytes.
  for (size_t done = 0; done < length;) {
    const size_t n = std::min<size_t>(length - done, kAsk);
    if (sink.style->more && (sink.since += n) >= kAsk) {
      sink.since = 0;
      if (!sink.style->more()) return CAIRO_STATUS_WRITE_ERROR;
    }
    if (std::fwrite(data + done, 1, n, sink.out) != n) return CAIRO_STATUS_WRITE_ERROR;
    done += n;
  }
  return CAIRO_STATUS_SUCCESS;
}

// Whether to draw on after facet i: the style's `more`, asked every 4096.
bool DrawOn(const Style& style, size_t i) {
  return (i + 1) % 4096 != 0 || !style.more || style.more();
}

void Colour(cairo_t* cr, Rgb c) {
  cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0);
}

// Ink and background of a style.
struct Ink {
  Rgb paper, text;
};
Ink InkOf(const Style& s) {
  return s.dark ? Ink{kDarkBackground, {230, 230, 230}} : Ink{kLightBackground, {0, 0, 0}};
}

// The base font size: 2.8 % of the figure's shorter side, at least 6.
double FontSize(const Style& s) {
  return std::max(6.0, 0.028 * std::min(s.width, s.height));
}

double TextWidth(cairo_t* cr, const std::string& text) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, text.c_str(), &e);
  return e.x_advance;
}

// Sets the font to `size`, shrunk until `text` is no wider than `room`.
void FitFont(cairo_t* cr, const std::string& text, double size, double room) {
  cairo_set_font_size(cr, size);
  const double w = TextWidth(cr, text);
  if (w > room && w > 0) cairo_set_font_size(cr, size * room / w);
}

// The surface for the kind of output, drawn by `draw`, then written.
bool Draw(FILE* out, Output kind, const Style& style, const std::function<void(cairo_t*)>& draw) {
  const double w = style.width, h = style.height;
  Sink sink{out, &style};
  cairo_surface_t* s = nullptr;
  switch (kind) {
    case Output::kPng:
      s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(w), static_cast<int>(h));
      break;
    case Output::kPdf:
      s = cairo_pdf_surface_create_for_stream(WriteTo, &sink, w, h);
      break;
    case Output::kSvg:
      s = cairo_svg_surface_create_for_stream(WriteTo, &sink, w, h);
      break;
  }
  const std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
      s, &cairo_surface_destroy);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) return false;
  {
    const std::unique_ptr<cairo_t, decltype(&cairo_destroy)> context(cairo_create(s),
                                                                     &cairo_destroy);
    cairo_t* cr = context.get();
    Colour(cr, InkOf(style).paper);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    draw(cr);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) return false;
  }
  if (style.more && !style.more()) return false;
  if (kind == Output::kPng)
    return cairo_surface_write_to_png_stream(s, WriteTo, &sink) == CAIRO_STATUS_SUCCESS;
  cairo_surface_finish(s);
  return cairo_surface_status(s) == CAIRO_STATUS_SUCCESS;
}

// A filled polygon, its edge stroked in its own colour a pixel (or point)
// wide, so that no seam of the background shows between neighbours whose
// edges the antialiasing covers only in part.
void Fill(cairo_t* cr) {
  cairo_fill_preserve(cr);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);
}

struct Box {
  double x0, y0, x1, y1;
};

// The title across the top; returns the room left below it.
Box Title(cairo_t* cr, const Style& style, const Ink& ink, Box room) {
  if (style.title.empty()) return room;
  const double size = 1.25 * FontSize(style);
  cairo_font_extents_t fe;
  FitFont(cr, style.title, size, room.x1 - room.x0);
  cairo_font_extents(cr, &fe);
  const double w = TextWidth(cr, style.title);
  Colour(cr, ink.text);
  cairo_move_to(cr, (room.x0 + room.x1 - w) / 2, room.y0 + fe.ascent);
  cairo_show_text(cr, style.title.c_str());
  room.y0 += fe.ascent + fe.descent + 0.5 * FontSize(style);
  return room;
}

// The colour bar at the right of `room`, as high as `span` (a map's top and
// bottom) where there is room for it, else as the room; returns the room
// left of it.
Box ColourBar(cairo_t* cr, const Style& style, const Ink& ink, const Bar& bar, Box room,
              std::optional<std::pair<double, double>> span = {}) {
  const double f = FontSize(style);
  const double end = 1.2 * f;  // a triangle's height, the bar's width
  double top = room.y0 + end + 0.5 * f, bottom = room.y1 - end - 0.5 * f;
  if (span) top = std::max(top, span->first), bottom = std::min(bottom, span->second);
  std::vector<double> ticks = Ticks(bar.min, bar.max);
  // Every other tick while their labels would crowd on a short bar.
  const double length = bottom - top;
  while (ticks.size() > 2 && length / double(ticks.size() - 1) < 1.5 * f) {
    std::vector<double> fewer;
    for (size_t i = 0; i < ticks.size(); i += 2) fewer.push_back(ticks[i]);
    ticks = fewer;
  }
  const std::vector<std::string> labels = TickLabels(ticks);
  cairo_set_font_size(cr, f);
  double tw = 0;
  for (const std::string& l : labels) tw = std::max(tw, TextWidth(cr, l));
  cairo_font_extents_t fe;
  cairo_font_extents(cr, &fe);
  const double bw = end, tick = 0.4 * f, gap = 0.3 * f, label_h = fe.ascent + fe.descent;
  // At most 40 % of the width: else the tick labels' font is shrunk.
  double panel = gap + bw + tick + gap + tw + gap + label_h;
  double tf = f;
  if (panel > 0.4 * (room.x1 - room.x0)) {
    const double fixed = gap + bw + tick + gap + gap + label_h;
    tf = f * std::max(0.1, (0.4 * (room.x1 - room.x0) - fixed) / std::max(tw, 1e-9));
    tf = std::min(tf, f);
    tw *= tf / f;
    panel = fixed + tw;
  }
  const double x = room.x1 - panel + gap;
  const double height = std::max(1.0, bottom - top);

  // The gradient, the map's colours from bottom to top.
  const size_t n = bar.colours.size();
  cairo_pattern_t* g = cairo_pattern_create_linear(0, bottom, 0, top);
  for (size_t i = 0; i < n; ++i) {
    const Rgb c = bar.colours[i];
    cairo_pattern_add_color_stop_rgb(g, n > 1 ? double(i) / double(n - 1) : 0, c.r / 255.0,
                                     c.g / 255.0, c.b / 255.0);
  }
  cairo_rectangle(cr, x, top, bw, height);
  cairo_set_source(cr, g);
  cairo_fill(cr);
  cairo_pattern_destroy(g);
  // The outline, with a triangle at each end beyond which values lie.
  const double line = std::max(0.5, f / 16);
  cairo_set_line_width(cr, line);
  const auto triangle = [&](double base, double apex, Rgb c) {
    cairo_move_to(cr, x, base);
    cairo_line_to(cr, x + bw / 2, apex);
    cairo_line_to(cr, x + bw, base);
    cairo_close_path(cr);
    Colour(cr, c);
    cairo_fill_preserve(cr);
    Colour(cr, ink.text);
    cairo_stroke(cr);
  };
  if (n && bar.above) triangle(top, top - end, bar.colours.back());
  if (n && bar.below) triangle(bottom, bottom + end, bar.colours.front());
  Colour(cr, ink.text);
  cairo_rectangle(cr, x, top, bw, height);
  cairo_stroke(cr);
  // Ticks and their labels.
  cairo_set_font_size(cr, tf);
  cairo_font_extents_t tfe;
  cairo_font_extents(cr, &tfe);
  for (size_t i = 0; i < ticks.size(); ++i) {
    const double y = bottom - (ticks[i] - bar.min) / (bar.max - bar.min) * height;
    cairo_move_to(cr, x + bw, y);
    cairo_line_to(cr, x + bw + tick, y);
    cairo_stroke(cr);
    cairo_move_to(cr, x + bw + tick + gap, y + (tfe.ascent - tfe.descent) / 2);
    cairo_show_text(cr, labels[i].c_str());
  }
  // The quantity, turned to read upward, centred on the bar.
  if (!bar.label.empty()) {
    FitFont(cr, bar.label, f, bottom - top + 2 * end);
    cairo_font_extents(cr, &fe);
    const double w = TextWidth(cr, bar.label);
    cairo_save(cr);
    cairo_move_to(cr, room.x1 - fe.descent, (top + bottom + w) / 2);
    cairo_rotate(cr, -std::numbers::pi / 2);
    cairo_show_text(cr, bar.label.c_str());
    cairo_restore(cr);
  }
  room.x1 -= panel + gap;
  return room;
}

// The room inside the margin, below the title and left of the bar.
Box Frame(cairo_t* cr, const Style& style, const Ink& ink, const Bar& bar) {
  const double m = 0.8 * FontSize(style);
  Box room{m, m, style.width - m, style.height - m};
  room = Title(cr, style, ink, room);
  return ColourBar(cr, style, ink, bar, room);
}

double Dot(const double a[3], const double b[3]) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

}  // namespace

Output OutputFor(const std::string& path) {
  std::string ext = path.substr(std::min(path.size(), path.rfind('.')));
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".pdf") return Output::kPdf;
  if (ext == ".svg") return Output::kSvg;
  return Output::kPng;
}

std::vector<double> Ticks(double min, double max) {
  if (!(max > min) || !std::isfinite(max - min)) return {};
  const double span = max - min, raw = span / 5;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = 10 * power;
  for (const double m : {1.0, 2.0, 5.0})
    if (m * power >= raw * (1 - 1e-12)) {
      step = m * power;
      break;
    }
  std::vector<double> t;
  const double k0 = std::ceil(min / step - 1e-9), k1 = std::floor(max / step + 1e-9);
  // A range of a few units in the last place (a field constant but for
  // rounding) has no multiples of its step that a double tells apart: its
  // ends are its ticks.
  if (!(std::fmax(std::fabs(k0), std::fabs(k1)) < 0x1p52)) return {min, max};
  // A tick at an end by rounding's grace is put on it.
  for (double k = k0; k <= k1; ++k)
    t.push_back(std::fabs(k) < 0.5 ? 0 : std::clamp(k * step, min, max));
  return t;
}

std::vector<std::string> TickLabels(const std::vector<double>& ticks) {
  std::vector<std::string> labels;
  if (ticks.empty()) return labels;
  const double step = ticks.size() > 1 ? ticks[1] - ticks[0] : std::fabs(ticks[0]);
  double most = 0;
  for (double t : ticks) most = std::max(most, std::fabs(t));
  const int e = step > 0 ? static_cast<int>(std::floor(std::log10(step) + 1e-9)) : 0;
  const bool plain = e >= -3 && most < 1e6;
  const int E = most > 0 ? static_cast<int>(std::floor(std::log10(most) + 1e-9)) : 0;
  char buf[48];
  for (double t : ticks) {
    if (plain)
      std::snprintf(buf, sizeof buf, "%.*f", std::max(0, -e), t);
    else
      std::snprintf(buf, sizeof buf, "%.*e", std::max(0, E - e), t);
    labels.push_back(buf);
  }
  return labels;
}

bool DrawView(FILE* out, Output kind, const std::vector<Triangle>& facets, const ViewBasis& view,
              const Style& style, const Bar& bar) {
  return Draw(out, kind, style, [&](cairo_t* cr) {
    const Box room = Frame(cr, style, InkOf(style), bar);
    // The facets in view coordinates, farthest first.
    struct Flat {
      double x[3], y[3], depth;
      Rgb colour;
    };
    std::vector<Flat> flat;
    flat.reserve(facets.size());
    double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
    for (const Triangle& t : facets) {
      Flat f{};
      bool finite = true;
      for (int k = 0; k < 3; ++k) {
        const double* p = t.v + 3 * k;
        f.x[k] = Dot(p, view.right), f.y[k] = Dot(p, view.up);
        f.depth += Dot(p, view.toward) / 3;
        finite = finite && std::isfinite(f.x[k]) && std::isfinite(f.y[k]);
      }
      if (!finite || !std::isfinite(f.depth)) continue;
      for (int k = 0; k < 3; ++k) {
        lo[0] = std::min(lo[0], f.x[k]), hi[0] = std::max(hi[0], f.x[k]);
        lo[1] = std::min(lo[1], f.y[k]), hi[1] = std::max(hi[1], f.y[k]);
      }
      f.colour = t.colour;
      if (style.shading) {
        const double* v = t.v;
        const double a[3] = {v[3] - v[0], v[4] - v[1], v[5] - v[2]};
        const double b[3] = {v[6] - v[0], v[7] - v[1], v[8] - v[2]};
        const double n[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                             a[0] * b[1] - a[1] * b[0]};
        const double len = std::sqrt(Dot(n, n));
        if (len > 0) {
          double nv[3] = {Dot(n, view.right) / len, Dot(n, view.up) / len,
                          Dot(n, view.toward) / len};
          if (nv[2] < 0)
            for (double& c : nv) c = -c;
          const double s = Shade(nv);
          f.colour = {Shaded(t.colour.r, s), Shaded(t.colour.g, s), Shaded(t.colour.b, s)};
        }
      }
      flat.push_back(f);
    }
    if (flat.empty()) return;
    std::stable_sort(flat.begin(), flat.end(),
                     [](const Flat& a, const Flat& b) { return a.depth < b.depth; });
    const double sx = hi[0] - lo[0], sy = hi[1] - lo[1];
    const double w = room.x1 - room.x0, h = room.y1 - room.y0;
    double scale = std::min(sx > 0 ? w / sx : INFINITY, sy > 0 ? h / sy : INFINITY);
    if (!std::isfinite(scale)) scale = 1;
    const double cx = (room.x0 + room.x1) / 2, cy = (room.y0 + room.y1) / 2;
    const double mx = (lo[0] + hi[0]) / 2, my = (lo[1] + hi[1]) / 2;
    for (size_t i = 0; i < flat.size(); ++i) {
      const Flat& f = flat[i];
      if (!DrawOn(style, i)) return;
      for (int k = 0; k < 3; ++k) {
        const double px = cx + (f.x[k] - mx) * scale, py = cy - (f.y[k] - my) * scale;
        k ? cairo_line_to(cr, px, py) : cairo_move_to(cr, px, py);
      }
      cairo_close_path(cr);
      Colour(cr, f.colour);
      Fill(cr);
    }
  });
}

std::vector<Polygon> MapPolygons(const std::vector<Triangle>& facets, const double centre[3]) {
  struct Placed {
    double distance;
    Polygon polygon;
  };
  std::vector<Placed> placed;
  // Sutherland-Hodgman against lon >= lo and lon <= hi.
  const auto clip = [](const std::vector<std::pair<double, double>>& in, double edge,
                       bool keep_above) {
    std::vector<std::pair<double, double>> out;
    const auto inside = [&](const std::pair<double, double>& p) {
      return keep_above ? p.first >= edge : p.first <= edge;
    };
    for (size_t i = 0; i < in.size(); ++i) {
      const auto& a = in[i];
      const auto& b = in[(i + 1) % in.size()];
      if (inside(a)) out.push_back(a);
      if (inside(a) != inside(b)) {
        const double t = (edge - a.first) / (b.first - a.first);
        out.push_back({edge, a.second + t * (b.second - a.second)});
      }
    }
    return out;
  };
  for (const Triangle& t : facets) {
    double lon[3], lat[3], h[3], z[3], c[3] = {0, 0, 0};
    bool finite = true, polar[3];
    for (int k = 0; k < 3; ++k) {
      const double d[3] = {t.v[3 * k] - centre[0], t.v[3 * k + 1] - centre[1],
                           t.v[3 * k + 2] - centre[2]};
      for (int a = 0; a < 3; ++a) c[a] += d[a] / 3;
      lon[k] = std::atan2(d[1], d[0]) * 180 / std::numbers::pi;
      lat[k] = std::atan2(d[2], std::hypot(d[0], d[1])) * 180 / std::numbers::pi;
      polar[k] = d[0] == 0 && d[1] == 0;
      h[k] = std::hypot(d[0], d[1]), z[k] = d[2];
      finite = finite && std::isfinite(lon[k]) && std::isfinite(lat[k]);
    }
    if (!finite || int{polar[0]} + polar[1] + polar[2] > 1) continue;
    // The corners: a vertex at a pole has no longitude of its own and
    // becomes the stretch of the pole between its neighbours' longitudes.
    std::vector<std::pair<double, double>> raw;
    std::vector<int> vertex;  // of each corner
    for (int k = 0; k < 3; ++k) {
      if (!polar[k]) {
        raw.push_back({lon[k], lat[k]});
        vertex.push_back(k);
      } else {
        raw.push_back({lon[(k + 2) % 3], lat[k]});
        raw.push_back({lon[(k + 1) % 3], lat[k]});
        vertex.insert(vertex.end(), {k, k});
      }
    }
    // Longitudes continuous from the first corner, each step the shorter
    // way round; a facet around a pole winds by 360 degrees.
    const size_t n = raw.size();
    std::vector<double> step(n);
    double winding = 0;
    for (size_t k = 0; k < n; ++k) {
      step[k] = raw[(k + 1) % n].first - raw[k].first;
      step[k] -= 360 * std::round(step[k] / 360);
      winding += step[k];
    }
    // An edge between opposite longitudes (a step of 180 degrees) meets the
    // polar axis: it runs up to the pole, along it and down, the way round
    // that closes the ring (such a facet does not hold the axis inside).
    size_t over = n;
    for (size_t k = 0; k < n; ++k)
      if (std::fabs(step[k]) == 180 && vertex[k] != vertex[(k + 1) % n]) over = k;
    if (over < n) step[over] -= winding, winding = 0;
    std::vector<std::pair<double, double>> ring;
    double at = raw[0].first;
    for (size_t k = 0; k < n; ++k) {
      ring.push_back({at, raw[k].second});
      if (k == over) {
        // The pole on the side where the edge meets the axis.
        const int a = vertex[k], b = vertex[(k + 1) % n];
        const double meet = z[a] + h[a] / (h[a] + h[b]) * (z[b] - z[a]);
        const double pole = meet >= 0 ? 90 : -90;
        ring.push_back({at, pole});
        ring.push_back({at + step[k], pole});
      }
      at += step[k];
    }
    if (std::fabs(winding) > 180) {
      // Around a pole: the ring runs on to the first corner a turn on, then
      // along the pole back.
      const double pole = c[2] >= 0 ? 90 : -90;
      ring.push_back({at, raw[0].second});
      ring.push_back({at, pole});
      ring.push_back({ring.front().first, pole});
    }
    double lo = INFINITY, hi = -INFINITY;
    for (const auto& p : ring) lo = std::min(lo, p.first), hi = std::max(hi, p.first);
    const double distance = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    // Each copy of the ring shifted by whole turns that meets the map, cut
    // to it.
    for (double shift = -360 * std::ceil((hi - 180) / 360); lo + shift < 180; shift += 360) {
      std::vector<std::pair<double, double>> s = ring;
      for (auto& p : s) p.first += shift;
      s = clip(clip(s, -180, true), 180, false);
      if (s.size() >= 3) placed.push_back({distance, {std::move(s), t.colour}});
    }
  }
  std::stable_sort(placed.begin(), placed.end(),
                   [](const Placed& a, const Placed& b) { return a.distance < b.distance; });
  std::vector<Polygon> out;
  out.reserve(placed.size());
  for (Placed& p : placed) out.push_back(std::move(p.polygon));
  return out;
}

bool DrawMap(FILE* out, Output kind, const std::vector<Polygon>& polygons, const Style& style,
             const Bar& bar) {
  return Draw(out, kind, style, [&](cairo_t* cr) {
    const Ink ink = InkOf(style);
    const double f = FontSize(style);
    Box page{0.8 * f, 0.8 * f, style.width - 0.8 * f, style.height - 0.8 * f};
    page = Title(cr, style, ink, page);
    // The bar measured (drawn into a group that is dropped), to know the
    // room left for the map; drawn below as high as the map.
    cairo_push_group(cr);
    const Box room = ColourBar(cr, style, ink, bar, page);
    cairo_pattern_destroy(cairo_pop_group(cr));
    cairo_set_font_size(cr, f);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    const double text_h = fe.ascent + fe.descent, tick = 0.4 * f;
    // Room for the latitude labels and the axis names at the left, the
    // longitude labels and their name below.
    const double lat_w = TextWidth(cr, "-90");
    const double left = text_h + 0.3 * f + lat_w + tick + 0.3 * f;
    const double below = tick + 0.3 * f + 2 * text_h + 0.3 * f;
    // The last longitude label stands half out of the frame at the right.
    const double w = std::max(1.0, room.x1 - room.x0 - left - TextWidth(cr, "180") / 2);
    const double h = std::max(1.0, room.y1 - room.y0 - below);
    const double mw = std::min(w, 2 * h), mh = mw / 2;
    const double x0 = room.x0 + left + (w - mw) / 2, y0 = room.y0 + (h - mh) / 2;
    const auto X = [&](double lon) { return x0 + (lon + 180) / 360 * mw; };
    const auto Y = [&](double lat) { return y0 + (90 - lat) / 180 * mh; };
    ColourBar(cr, style, ink, bar, page, std::pair{y0, y0 + mh});
    cairo_set_font_size(cr, f);
    cairo_save(cr);
    cairo_rectangle(cr, x0, y0, mw, mh);
    cairo_clip(cr);
    for (size_t i = 0; i < polygons.size(); ++i) {
      const Polygon& p = polygons[i];
      if (!DrawOn(style, i)) return;
      for (size_t k = 0; k < p.lonlat.size(); ++k) {
        const double px = X(p.lonlat[k].first), py = Y(p.lonlat[k].second);
        k ? cairo_line_to(cr, px, py) : cairo_move_to(cr, px, py);
      }
      cairo_close_path(cr);
      Colour(cr, p.colour);
      Fill(cr);
    }
    cairo_restore(cr);
    Colour(cr, ink.text);
    cairo_set_line_width(cr, std::max(0.5, f / 16));
    cairo_rectangle(cr, x0, y0, mw, mh);
    cairo_stroke(cr);
    // Ticks every 60 degrees of longitude and 30 of latitude, or every 90
    // and 45 where the labels would crowd.
    const bool crowded = mw / 6 < 3 * f;
    const double dlon = crowded ? 90 : 60, dlat = crowded ? 45 : 30;
    char buf[16];
    for (double lon = -180; lon <= 180; lon += dlon) {
      cairo_move_to(cr, X(lon), y0 + mh);
      cairo_line_to(cr, X(lon), y0 + mh + tick);
      cairo_stroke(cr);
      std::snprintf(buf, sizeof buf, "%g", lon);
      cairo_move_to(cr, X(lon) - TextWidth(cr, buf) / 2, y0 + mh + tick + 0.3 * f + fe.ascent);
      cairo_show_text(cr, buf);
    }
    for (double lat = -90; lat <= 90; lat += dlat) {
      cairo_move_to(cr, x0, Y(lat));
      cairo_line_to(cr, x0 - tick, Y(lat));
      cairo_stroke(cr);
      std::snprintf(buf, sizeof buf, "%g", lat);
      cairo_move_to(cr, x0 - tick - 0.3 * f - TextWidth(cr, buf),
                    Y(lat) + (fe.ascent - fe.descent) / 2);
      cairo_show_text(cr, buf);
    }
    const std::string lon_name = "longitude [deg]", lat_name = "latitude [deg]";
    FitFont(cr, lon_name, f, mw);
    cairo_move_to(cr, x0 + (mw - TextWidth(cr, lon_name)) / 2,
                  y0 + mh + tick + 0.6 * f + text_h + fe.ascent);
    cairo_show_text(cr, lon_name.c_str());
    FitFont(cr, lat_name, f, mh);
    cairo_save(cr);
    cairo_move_to(cr, x0 - tick - 0.6 * f - lat_w - fe.descent,
                  y0 + (mh + TextWidth(cr, lat_name)) / 2);
    cairo_rotate(cr, -std::numbers::pi / 2);
    cairo_show_text(cr, lat_name.c_str());
    cairo_restore(cr);
  });
}

}  // namespace figure
