// Figures drawn with cairo: layout, colour bar, view, map.
#include "render/figure.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <numbers>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace figure {

namespace {

// A text of an SVG figure, kept to be written as a <text> element (cairo's
// SVG surface would write its glyphs as outlines, which no editor or search
// reads as text): where its baseline starts, turned by `angle` degrees
// clockwise, in device units.
struct Text {
  double x, y, angle, size;
  double rgb[3];
  std::string text;
};
struct Texts {
  std::vector<Text> list;
  bool muted = false;  // while a layout is only measured
};
const cairo_user_data_key_t kTexts{};

Texts* TextsOf(cairo_t* cr) {
  return static_cast<Texts*>(cairo_get_user_data(cr, &kTexts));
}

// Draws `text` (typeset) at the current point in the current font, or for
// an SVG figure keeps it for its <text> element.
void Show(cairo_t* cr, const std::string& text) {
  Texts* texts = TextsOf(cr);
  if (!texts) {
    cairo_show_text(cr, text.c_str());
    return;
  }
  if (texts->muted || text.empty()) return;
  double x = 0, y = 0;
  cairo_get_current_point(cr, &x, &y);
  cairo_user_to_device(cr, &x, &y);
  cairo_matrix_t m, font;
  cairo_get_matrix(cr, &m);
  cairo_get_font_matrix(cr, &font);
  Text t{x,
         y,
         std::atan2(m.yx, m.xx) * 180 / std::numbers::pi,
         font.yy * std::hypot(m.xx, m.yx),
         {0, 0, 0},
         text};
  double alpha = 1;
  cairo_pattern_get_rgba(cairo_get_source(cr), &t.rgb[0], &t.rgb[1], &t.rgb[2], &alpha);
  texts->list.push_back(std::move(t));
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  return out;
}

// The <text> elements of the kept texts, in the font cairo measured them in.
std::string TextElements(const Texts& texts) {
  std::string out;
  char buf[256];
  for (const Text& t : texts.list) {
    std::snprintf(buf, sizeof buf,
                  "<text x=\"%.3f\" y=\"%.3f\" font-family=\"DejaVu Sans, sans-serif\" "
                  "font-size=\"%.3f\" fill=\"rgb(%d,%d,%d)\"",
                  t.x, t.y, t.size, static_cast<int>(std::lround(255 * t.rgb[0])),
                  static_cast<int>(std::lround(255 * t.rgb[1])),
                  static_cast<int>(std::lround(255 * t.rgb[2])));
    out += buf;
    if (std::fabs(t.angle) > 1e-9) {
      std::snprintf(buf, sizeof buf, " transform=\"rotate(%.3f %.3f %.3f)\"", t.angle, t.x, t.y);
      out += buf;
    }
    out += '>';
    out += Escaped(t.text);
    out += "</text>\n";
  }
  return out;
}

// Where cairo writes a figure: the file, and the style's `more`, asked
// every megabyte (a vector figure of a large model is written for seconds).
// An SVG figure's last bytes are held back, to put its texts before the
// closing </svg>.
struct Sink {
  FILE* out;
  const Style* style;
  size_t since = 0;  // bytes since `more` was asked
  bool hold = false;
  std::string held;
};

bool Put(Sink& sink, const unsigned char* data, size_t length);

cairo_status_t WriteTo(void* closure, const unsigned char* data, unsigned int length) {
  Sink& sink = *static_cast<Sink*>(closure);
  if (!sink.hold) return Put(sink, data, length) ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
  constexpr size_t kHeld = 64;
  sink.held.append(reinterpret_cast<const char*>(data), length);
  if (sink.held.size() <= 2 * kHeld) return CAIRO_STATUS_SUCCESS;
  const size_t n = sink.held.size() - kHeld;
  if (!Put(sink, reinterpret_cast<const unsigned char*>(sink.held.data()), n))
    return CAIRO_STATUS_WRITE_ERROR;
  sink.held.erase(0, n);
  return CAIRO_STATUS_SUCCESS;
}

bool Put(Sink& sink, const unsigned char* data, size_t length) {
  constexpr size_t kAsk = size_t{1} << 20;
  // A vector figure's page may come in one piece of a hundred megabytes.
  for (size_t done = 0; done < length;) {
    const size_t n = std::min<size_t>(length - done, kAsk);
    if (sink.style->more && (sink.since += n) >= kAsk) {
      sink.since = 0;
      if (!sink.style->more()) return false;
    }
    if (std::fwrite(data + done, 1, n, sink.out) != n) return false;
    done += n;
  }
  return true;
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

// The base font size: the style's, or 2.8 % of the figure's shorter side,
// at least 6.
double FontSize(const Style& s) {
  return s.font > 0 ? s.font : std::max(6.0, 0.028 * std::min(s.width, s.height));
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

// The names of a plot's axes: the horizontal one centred below its tick
// labels, the vertical one turned up left of labels `label_w` wide; both
// shrunk to the plot's side, `fe` the extents of the plot's font size f.
void AxisNames(cairo_t* cr, const cairo_font_extents_t& fe, const std::string& u_name,
               const std::string& v_name, double x0, double y0, double w, double h, double f,
               double label_w) {
  const double text_h = fe.ascent + fe.descent, tick = 0.4 * f;
  FitFont(cr, u_name, f, w);
  cairo_move_to(cr, x0 + (w - TextWidth(cr, u_name)) / 2,
                y0 + h + tick + 0.6 * f + text_h + fe.ascent);
  Show(cr, u_name);
  FitFont(cr, v_name, f, h);
  cairo_save(cr);
  cairo_move_to(cr, x0 - tick - 0.6 * f - label_w - fe.descent,
                y0 + (h + TextWidth(cr, v_name)) / 2);
  cairo_rotate(cr, -std::numbers::pi / 2);
  Show(cr, v_name);
  cairo_restore(cr);
}

// The surface for the kind of output, drawn by `draw`, then written.
bool Draw(FILE* out, Output kind, const Style& style, const std::function<void(cairo_t*)>& draw) {
  const double w = style.width, h = style.height;
  Sink sink{out, &style, 0, kind == Output::kSvg, {}};
  Texts texts;
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
    if (kind == Output::kSvg) cairo_set_user_data(cr, &kTexts, &texts, nullptr);
    draw(cr);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) return false;
  }
  if (style.more && !style.more()) return false;
  if (kind == Output::kPng)
    return cairo_surface_write_to_png_stream(s, WriteTo, &sink) == CAIRO_STATUS_SUCCESS;
  cairo_surface_finish(s);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) return false;
  if (!sink.hold) return true;
  const size_t end = sink.held.rfind("</svg>");
  if (end == std::string::npos) return false;
  const std::string tail = TextElements(texts) + sink.held.substr(end);
  sink.held.resize(end);
  sink.held += tail;
  return Put(sink, reinterpret_cast<const unsigned char*>(sink.held.data()), sink.held.size());
}

// The layout of a figure measured before its surface is made: `measure`
// run on a scratch surface with the fonts of the kind of output.
template <class F>
auto Measured(Output kind, F measure) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
  cairo_t* cr = cairo_create(s);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  if (kind != Output::kPng) {
    // The vector surfaces' metrics: neither hinted nor rounded.
    cairo_font_options_t* o = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
    cairo_set_font_options(cr, o);
    cairo_font_options_destroy(o);
  }
  auto result = measure(cr);
  cairo_destroy(cr);
  cairo_surface_destroy(s);
  return result;
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
  const std::string title = Typeset(style.title);
  const double size = 1.25 * FontSize(style);
  cairo_font_extents_t fe;
  FitFont(cr, title, size, room.x1 - room.x0);
  cairo_font_extents(cr, &fe);
  const double w = TextWidth(cr, title);
  Colour(cr, ink.text);
  cairo_move_to(cr, (room.x0 + room.x1 - w) / 2, room.y0 + fe.ascent);
  Show(cr, title);
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
  std::vector<std::string> labels = TickLabels(ticks);
  for (std::string& l : labels) l = TypesetNumber(l);
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
    Show(cr, labels[i]);
  }
  // The quantity, turned to read upward, centred on the bar.
  if (!bar.label.empty()) {
    const std::string label = Typeset(bar.label);
    FitFont(cr, label, f, bottom - top + 2 * end);
    cairo_font_extents(cr, &fe);
    const double w = TextWidth(cr, label);
    cairo_save(cr);
    cairo_move_to(cr, room.x1 - fe.descent, (top + bottom + w) / 2);
    cairo_rotate(cr, -std::numbers::pi / 2);
    Show(cr, label);
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

namespace {

const char* const kMinus = "\u2212";

// The superscript of a digit, or of a sign.
const char* Raised(char c) {
  static const char* const digits[] = {"\u2070", "\u00b9", "\u00b2", "\u00b3", "\u2074",
                                       "\u2075", "\u2076", "\u2077", "\u2078", "\u2079"};
  if (c >= '0' && c <= '9') return digits[c - '0'];
  return c == '-' ? "\u207b" : "\u207a";
}

bool Digit(char c) {
  return c >= '0' && c <= '9';
}

bool Alphanumeric(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

}  // namespace

std::string Typeset(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '^') {
      // ^2, ^-1, ^+3: the sign and the digits raised.
      size_t j = i + 1;
      if (j < text.size() && (text[j] == '-' || text[j] == '+')) ++j;
      size_t k = j;
      while (k < text.size() && Digit(text[k])) ++k;
      if (k > j) {
        for (size_t n = i + 1; n < k; ++n) out += Raised(text[n]);
        i = k - 1;
        continue;
      }
    }
    const bool before_number = i + 1 < text.size() && (Digit(text[i + 1]) || text[i + 1] == '.');
    const bool after_word = i > 0 && (Alphanumeric(text[i - 1]) || text[i - 1] == '.' ||
                                      text[i - 1] == ')' || text[i - 1] == ']');
    if (c == '-' && before_number && !after_word) {
      out += kMinus;
      continue;
    }
    out += c;
  }
  return out;
}

std::string TypesetNumber(const std::string& label) {
  const size_t e = label.find_first_of("eE");
  if (e == std::string::npos || e == 0) return Typeset(label);
  const std::string mantissa = label.substr(0, e);
  const int exponent = std::atoi(label.c_str() + e + 1);
  if (std::strtod(mantissa.c_str(), nullptr) == 0) return "0";
  std::string out = Typeset(mantissa) + "\u00d710";
  for (const char c : std::to_string(exponent)) out += Raised(c);
  return out;
}

double ScaleLength(double span) {
  if (!(span > 0) || !std::isfinite(span)) return 0;
  const double fifth = span / 5;
  const double power = std::pow(10.0, std::floor(std::log10(fifth)));
  double length = power;
  for (const double m : {2.0, 5.0, 10.0})
    if (m * power <= fifth * (1 + 1e-12)) length = m * power;
  return length;
}

namespace {

// A facet in view coordinates.
struct Flat {
  double x[3], y[3], depth;
  Rgb colour;
  uint32_t corner[3];
};

// The edges of the model's outline as seen: an edge of one facet only (or
// of more than two), or one whose two facets lie on the same side of it on
// the figure (the surface folds over there). Each is a pair of corners
// (facet, corner k to corner k + 1) of `flat`. Inner folds are among them;
// the facets drawn over them hide them.
std::vector<std::pair<size_t, int>> OutlineEdges(const std::vector<Flat>& flat) {
  // Sixteen bytes an edge: a model of millions of facets sorts some ten
  // million of them.
  struct Edge {
    uint64_t key;  // the corners' numbers, the lower first
    uint64_t at;   // 3 facet + k
    size_t Facet() const { return at / 3; }
    int K() const { return static_cast<int>(at % 3); }
  };
  std::vector<Edge> edges;
  edges.reserve(3 * flat.size());
  for (size_t i = 0; i < flat.size(); ++i)
    for (int k = 0; k < 3; ++k) {
      const uint64_t a = flat[i].corner[k], b = flat[i].corner[(k + 1) % 3];
      if (a != b) edges.push_back({std::min(a, b) << 32 | std::max(a, b), 3 * i + k});
    }
  std::sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) {
    return a.key != b.key ? a.key < b.key : a.at < b.at;
  });
  // The side of the edge (from its lower-numbered corner) where the facet's
  // third corner lies.
  const auto side = [&](const Edge& e) {
    const Flat& f = flat[e.Facet()];
    int a = e.K(), b = (a + 1) % 3;
    const int c = (a + 2) % 3;
    if (f.corner[a] > f.corner[b]) std::swap(a, b);
    return (f.x[b] - f.x[a]) * (f.y[c] - f.y[a]) - (f.y[b] - f.y[a]) * (f.x[c] - f.x[a]);
  };
  std::vector<std::pair<size_t, int>> out;
  for (size_t i = 0; i < edges.size();) {
    size_t j = i + 1;
    while (j < edges.size() && edges[j].key == edges[i].key) ++j;
    if (j - i != 2 || !(side(edges[i]) * side(edges[i + 1]) < 0))
      out.push_back({edges[i].Facet(), edges[i].K()});
    i = j;
  }
  return out;
}

// The height of the strip below the view for the triad and the scale bar.
double ExtrasHeight(const Style& s) {
  return s.triad || s.scale_bar ? 3.4 * FontSize(s) : 0;
}

// The room of the model: inside the margin, below the title, left of the
// bar and above the extras' strip.
Box ViewRoom(cairo_t* cr, const Style& style, const Bar& bar) {
  Box room = Frame(cr, style, InkOf(style), bar);
  room.y1 -= ExtrasHeight(style);
  return room;
}

std::string Degrees(double d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", d);
  return TypesetNumber(buf) + "\u00b0";
}

// The triad of the model's axes and the direction of view at the left of
// the strip, the scale bar (`per_unit` figure units a model unit, as long
// as a fifth of the model's `span` at most) at its right.
void Extras(cairo_t* cr, const Style& style, const Ink& ink, Box strip, const ViewBasis& view,
            double per_unit, double span) {
  const double f = FontSize(style), mid = (strip.y0 + strip.y1) / 2;
  Colour(cr, ink.text);
  cairo_set_line_width(cr, std::max(0.5, f / 12));
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_font_extents_t fe;
  double left = strip.x0, right = strip.x1;
  if (style.scale_bar) {
    const double length = ScaleLength(span);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", length);
    const std::string label = TypesetNumber(buf) + (style.unit.empty() ? "" : " " + style.unit);
    const double w = length * per_unit;
    cairo_set_font_size(cr, 0.9 * f);
    cairo_font_extents(cr, &fe);
    const double x1 = strip.x1, x0 = x1 - w, y = mid + 0.5 * f;
    if (length > 0 && w > 0) {
      cairo_move_to(cr, x0, y);
      cairo_line_to(cr, x1, y);
      cairo_move_to(cr, x0, y - 0.3 * f);
      cairo_line_to(cr, x0, y + 0.3 * f);
      cairo_move_to(cr, x1, y - 0.3 * f);
      cairo_line_to(cr, x1, y + 0.3 * f);
      cairo_stroke(cr);
      const double tw = TextWidth(cr, label);
      cairo_move_to(cr, (x0 + x1 - tw) / 2, y - 0.4 * f - fe.descent);
      Show(cr, label);
      right = std::min(x0, (x0 + x1 - tw) / 2) - f;
    }
  }
  if (style.triad) {
    // The axes drawn from the farthest, each toward its direction on the
    // figure, named at its tip.
    const double arm = 1.1 * f, cx = strip.x0 + 1.6 * f;
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int a, int b) { return view.toward[a] < view.toward[b]; });
    cairo_set_font_size(cr, 0.8 * f);
    cairo_font_extents(cr, &fe);
    for (const int a : order) {
      const double dx = view.right[a] * arm, dy = -view.up[a] * arm;
      cairo_move_to(cr, cx, mid);
      cairo_line_to(cr, cx + dx, mid + dy);
      cairo_stroke(cr);
      const std::string name(1, static_cast<char>('x' + a));
      const double tw = TextWidth(cr, name);
      const double lx = cx + 1.45 * dx, ly = mid + 1.45 * dy;
      cairo_move_to(cr, lx - tw / 2, ly + (fe.ascent - fe.descent) / 2);
      Show(cr, name);
    }
    left = cx + 2.2 * f;
    const std::string note =
        "view from lon " + Degrees(style.from.first) + ", lat " + Degrees(style.from.second);
    FitFont(cr, note, 0.9 * f, std::max(1.0, right - left));
    cairo_font_extents(cr, &fe);
    cairo_move_to(cr, left, mid + (fe.ascent - fe.descent) / 2);
    Show(cr, note);
  }
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
}

}  // namespace

bool DrawView(FILE* out, Output kind, const std::vector<Triangle>& facets, const ViewBasis& view,
              const Style& given, const Bar& bar) {
  // The facets in view coordinates, farthest first.
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
      f.corner[k] = t.corner[k];
      finite = finite && std::isfinite(f.x[k]) && std::isfinite(f.y[k]);
    }
    if (!finite || !std::isfinite(f.depth)) continue;
    for (int k = 0; k < 3; ++k) {
      lo[0] = std::min(lo[0], f.x[k]), hi[0] = std::max(hi[0], f.x[k]);
      lo[1] = std::min(lo[1], f.y[k]), hi[1] = std::max(hi[1], f.y[k]);
    }
    f.colour = t.colour;
    if (given.shading) {
      const double* v = t.v;
      const double a[3] = {v[3] - v[0], v[4] - v[1], v[5] - v[2]};
      const double b[3] = {v[6] - v[0], v[7] - v[1], v[8] - v[2]};
      const double n[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                           a[0] * b[1] - a[1] * b[0]};
      const double len = std::sqrt(Dot(n, n));
      if (len > 0) {
        double nv[3] = {Dot(n, view.right) / len, Dot(n, view.up) / len, Dot(n, view.toward) / len};
        if (nv[2] < 0)
          for (double& c : nv) c = -c;
        const double s = Shade(nv);
        f.colour = {Shaded(t.colour.r, s), Shaded(t.colour.g, s), Shaded(t.colour.b, s)};
      }
    }
    flat.push_back(f);
  }
  const double sx = hi[0] - lo[0], sy = hi[1] - lo[1];
  Style style = given;
  if (style.fit && sx > 0 && sy > 0) {
    // The figure cut to the model's shape: the height where the model is
    // wider than its room, else the width, the fonts as at the full size.
    style.font = FontSize(given);
    const Box room = Measured(kind, [&](cairo_t* cr) { return ViewRoom(cr, style, bar); });
    const double w = room.x1 - room.x0, h = room.y1 - room.y0;
    if (sy * w < sx * h) {
      const double cut = h - w * sy / sx;
      style.height = std::max(std::max(16u, static_cast<uint32_t>(0.25 * given.width)),
                              static_cast<uint32_t>(std::ceil(given.height - cut)));
      style.height = std::min(style.height, given.height);
    } else {
      const double cut = w - h * sx / sy;
      style.width = std::max(std::max(16u, static_cast<uint32_t>(0.5 * given.height)),
                             static_cast<uint32_t>(std::ceil(given.width - cut)));
      style.width = std::min(style.width, given.width);
    }
  }
  const std::vector<std::pair<size_t, int>> outline =
      style.outline ? OutlineEdges(flat) : std::vector<std::pair<size_t, int>>{};
  return Draw(out, kind, style, [&](cairo_t* cr) {
    const Ink ink = InkOf(style);
    const Box room = ViewRoom(cr, style, bar);
    if (flat.empty()) return;
    std::vector<size_t> order(flat.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return flat[a].depth < flat[b].depth; });
    const double w = room.x1 - room.x0, h = room.y1 - room.y0;
    double scale = std::min(sx > 0 ? w / sx : INFINITY, sy > 0 ? h / sy : INFINITY);
    if (!std::isfinite(scale)) scale = 1;
    const double cx = (room.x0 + room.x1) / 2, cy = (room.y0 + room.y1) / 2;
    const double mx = (lo[0] + hi[0]) / 2, my = (lo[1] + hi[1]) / 2;
    const auto X = [&](const Flat& f, int k) { return cx + (f.x[k] - mx) * scale; };
    const auto Y = [&](const Flat& f, int k) { return cy - (f.y[k] - my) * scale; };
    if (!outline.empty()) {
      // Drawn first and wider than a facet's own edge: the facets cover
      // its inner half, the outer stays around the model.
      for (const auto& [i, k] : outline) {
        const int b = (k + 1) % 3;
        cairo_move_to(cr, X(flat[i], k), Y(flat[i], k));
        cairo_line_to(cr, X(flat[i], b), Y(flat[i], b));
      }
      Colour(cr, ink.text);
      cairo_set_line_width(cr, 1 + 2 * std::max(0.5, FontSize(style) / 16));
      cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
      cairo_stroke(cr);
      cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    }
    for (size_t n = 0; n < order.size(); ++n) {
      const Flat& f = flat[order[n]];
      if (!DrawOn(style, n)) return;
      for (int k = 0; k < 3; ++k)
        k ? cairo_line_to(cr, X(f, k), Y(f, k)) : cairo_move_to(cr, X(f, k), Y(f, k));
      cairo_close_path(cr);
      Colour(cr, f.colour);
      Fill(cr);
    }
    if (style.triad || style.scale_bar)
      Extras(cr, style, ink, {room.x0, room.y1, room.x1, room.y1 + ExtrasHeight(style)}, view,
             scale, sx);
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

namespace {

// Where a map goes: the page inside the margin and below the title (the
// bar's room), and the map's frame.
struct MapLayout {
  Box page;
  double x0, y0, mw, mh;
  double w, h;  // the room the frame is fitted into
};

MapLayout LayMap(cairo_t* cr, const Style& style, const Bar& bar) {
  const Ink ink = InkOf(style);
  const double f = FontSize(style);
  MapLayout l{};
  l.page = {0.8 * f, 0.8 * f, style.width - 0.8 * f, style.height - 0.8 * f};
  l.page = Title(cr, style, ink, l.page);
  // The bar measured (drawn into a group that is dropped, its texts
  // unkept), to know the room left for the map; drawn as high as the map.
  Texts* texts = TextsOf(cr);
  if (texts) texts->muted = true;
  cairo_push_group(cr);
  const Box room = ColourBar(cr, style, ink, bar, l.page);
  cairo_pattern_destroy(cairo_pop_group(cr));
  if (texts) texts->muted = false;
  cairo_set_font_size(cr, f);
  cairo_font_extents_t fe;
  cairo_font_extents(cr, &fe);
  const double text_h = fe.ascent + fe.descent, tick = 0.4 * f;
  // Room for the latitude labels and the axis names at the left, the
  // longitude labels and their name below.
  const double lat_w = TextWidth(cr, Typeset("-90"));
  const double left = text_h + 0.3 * f + lat_w + tick + 0.3 * f;
  const double below = tick + 0.3 * f + 2 * text_h + 0.3 * f;
  // The last longitude label stands half out of the frame at the right.
  l.w = std::max(1.0, room.x1 - room.x0 - left - TextWidth(cr, "180") / 2);
  l.h = std::max(1.0, room.y1 - room.y0 - below);
  l.mw = std::min(l.w, 2 * l.h), l.mh = l.mw / 2;
  l.x0 = room.x0 + left + (l.w - l.mw) / 2, l.y0 = room.y0 + (l.h - l.mh) / 2;
  return l;
}

}  // namespace

bool DrawMap(FILE* out, Output kind, const std::vector<Polygon>& polygons, const Style& given,
             const Bar& bar) {
  Style style = given;
  if (style.fit) {
    // The figure cut to the map's 2:1 frame, the fonts as at the full size.
    style.font = FontSize(given);
    const MapLayout l = Measured(kind, [&](cairo_t* cr) { return LayMap(cr, style, bar); });
    if (l.w < 2 * l.h)
      style.height = std::max(16u, static_cast<uint32_t>(std::ceil(given.height - (l.h - l.mh))));
    else
      style.width = std::max(16u, static_cast<uint32_t>(std::ceil(given.width - (l.w - l.mw))));
  }
  return Draw(out, kind, style, [&](cairo_t* cr) {
    const Ink ink = InkOf(style);
    const double f = FontSize(style);
    const MapLayout l = LayMap(cr, style, bar);
    const double x0 = l.x0, y0 = l.y0, mw = l.mw, mh = l.mh;
    cairo_set_font_size(cr, f);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    const double tick = 0.4 * f;
    const double lat_w = TextWidth(cr, Typeset("-90"));
    const auto X = [&](double lon) { return x0 + (lon + 180) / 360 * mw; };
    const auto Y = [&](double lat) { return y0 + (90 - lat) / 180 * mh; };
    ColourBar(cr, style, ink, bar, l.page, std::pair{y0, y0 + mh});
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
      const std::string label = Typeset(buf);
      cairo_move_to(cr, X(lon) - TextWidth(cr, label) / 2, y0 + mh + tick + 0.3 * f + fe.ascent);
      Show(cr, label);
    }
    for (double lat = -90; lat <= 90; lat += dlat) {
      cairo_move_to(cr, x0, Y(lat));
      cairo_line_to(cr, x0 - tick, Y(lat));
      cairo_stroke(cr);
      std::snprintf(buf, sizeof buf, "%g", lat);
      const std::string label = Typeset(buf);
      cairo_move_to(cr, x0 - tick - 0.3 * f - TextWidth(cr, label),
                    Y(lat) + (fe.ascent - fe.descent) / 2);
      Show(cr, label);
    }
    AxisNames(cr, fe, "longitude [deg]", "latitude [deg]", x0, y0, mw, mh, f, lat_w);
  });
}

std::vector<std::array<double, 4>> ContourSegments(const ContourPlot& p, double level) {
  std::vector<std::array<double, 4>> out;
  if (p.nu < 2 || p.nv < 2 || p.values.size() != size_t{p.nu} * p.nv || !std::isfinite(level))
    return out;
  const double du = (p.u1 - p.u0) / p.nu, dv = (p.v1 - p.v0) / p.nv;
  const auto U = [&](double i) { return p.u0 + (i + 0.5) * du; };
  const auto V = [&](double j) { return p.v0 + (j + 0.5) * dv; };
  for (uint32_t j = 0; j + 1 < p.nv; ++j)
    for (uint32_t i = 0; i + 1 < p.nu; ++i) {
      // Corners counter-clockwise from (i, j); edge k from corner k to k + 1.
      const int di[4] = {0, 1, 1, 0}, dj[4] = {0, 0, 1, 1};
      double c[4];
      bool finite = true;
      for (int k = 0; k < 4; ++k) {
        c[k] = p.values[size_t{j + dj[k]} * p.nu + i + di[k]];
        finite = finite && std::isfinite(c[k]);
      }
      if (!finite) continue;
      std::array<double, 2> at[4];
      bool cut[4];
      int cuts = 0;
      for (int k = 0; k < 4; ++k) {
        const int b = (k + 1) % 4;
        cut[k] = (c[k] >= level) != (c[b] >= level);
        if (!cut[k]) continue;
        ++cuts;
        const double t = (level - c[k]) / (c[b] - c[k]);
        at[k] = {U(i + di[k] + t * (di[b] - di[k])), V(j + dj[k] + t * (dj[b] - dj[k]))};
      }
      const auto segment = [&](int a, int b) {
        out.push_back({at[a][0], at[a][1], at[b][0], at[b][1]});
      };
      if (cuts == 2) {
        int a = -1, b = -1;
        for (int k = 0; k < 4; ++k)
          if (cut[k]) (a < 0 ? a : b) = k;
        segment(a, b);
      } else if (cuts == 4) {
        // A saddle: the centre's side joins the corners on it.
        const double mean = (c[0] + c[1] + c[2] + c[3]) / 4;
        if ((mean >= level) == (c[0] >= level))
          segment(0, 1), segment(2, 3);
        else
          segment(3, 0), segment(1, 2);
      }
    }
  return out;
}

namespace {

// Where a contour plot goes: its square frame inside the page's margin,
// below the title, right of the v axis' labels and above the u axis'.
struct PlotLayout {
  double x0, y0, side;
  double w, h;  // the room the frame is fitted into
};

PlotLayout LayPlot(cairo_t* cr, const Style& style, const ContourPlot& p) {
  const Ink ink = InkOf(style);
  const double f = FontSize(style);
  Box page{0.8 * f, 0.8 * f, style.width - 0.8 * f, style.height - 0.8 * f};
  page = Title(cr, style, ink, page);  // drawn here, as the map's
  cairo_set_font_size(cr, f);
  cairo_font_extents_t fe;
  cairo_font_extents(cr, &fe);
  const double text_h = fe.ascent + fe.descent, tick = 0.4 * f;
  double label_w = 0;
  for (const std::string& l : TickLabels(Ticks(p.v0, p.v1)))
    label_w = std::max(label_w, TextWidth(cr, TypesetNumber(l)));
  const double left = text_h + 0.3 * f + label_w + tick + 0.3 * f;
  const double below = tick + 0.3 * f + 2 * text_h + 0.3 * f;
  PlotLayout l{};
  l.w = std::max(1.0, page.x1 - page.x0 - left - 0.5 * f);
  l.h = std::max(1.0, page.y1 - page.y0 - below);
  l.side = std::min(l.w, l.h);
  l.x0 = page.x0 + left + (l.w - l.side) / 2, l.y0 = page.y0 + (l.h - l.side) / 2;
  return l;
}

}  // namespace

bool DrawContours(FILE* out, Output kind, const ContourPlot& p, const Style& given) {
  if (!(p.u1 > p.u0) || !(p.v1 > p.v0)) return false;
  Style style = given;
  if (style.fit) {
    style.font = FontSize(given);
    const PlotLayout l = Measured(kind, [&](cairo_t* cr) { return LayPlot(cr, style, p); });
    if (l.w > l.h)
      style.width = std::max(16u, static_cast<uint32_t>(std::ceil(given.width - (l.w - l.side))));
    else
      style.height = std::max(16u, static_cast<uint32_t>(std::ceil(given.height - (l.h - l.side))));
  }
  std::vector<std::vector<std::array<double, 4>>> lines;
  for (const double level : p.levels) lines.push_back(ContourSegments(p, level));
  return Draw(out, kind, style, [&](cairo_t* cr) {
    const Ink ink = InkOf(style);
    const double f = FontSize(style);
    const PlotLayout l = LayPlot(cr, style, p);
    const double x0 = l.x0, y0 = l.y0, side = l.side;
    // Equal scales: the longer of the two ranges fills the frame.
    const double scale = side / std::max(p.u1 - p.u0, p.v1 - p.v0);
    const double mu = (p.u0 + p.u1) / 2, mv = (p.v0 + p.v1) / 2;
    const auto X = [&](double u) { return x0 + side / 2 + (u - mu) * scale; };
    const auto Y = [&](double v) { return y0 + side / 2 - (v - mv) * scale; };
    const double line = std::max(0.5, f / 16);
    cairo_save(cr);
    cairo_rectangle(cr, x0, y0, side, side);
    cairo_clip(cr);
    // The body's section.
    for (const auto& ring : p.section) {
      for (size_t k = 0; k < ring.size(); ++k)
        k ? cairo_line_to(cr, X(ring[k].first), Y(ring[k].second))
          : cairo_move_to(cr, X(ring[k].first), Y(ring[k].second));
      if (!ring.empty()) cairo_close_path(cr);
    }
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    Colour(cr, style.dark ? Rgb{90, 90, 90} : Rgb{200, 200, 200});
    cairo_fill_preserve(cr);
    Colour(cr, style.dark ? Rgb{150, 150, 150} : Rgb{120, 120, 120});
    cairo_set_line_width(cr, line);
    cairo_stroke(cr);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
    // The contours: the plain ones first, the marked ones over them.
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    for (const bool marked : {false, true}) {
      for (size_t k = 0; k < lines.size(); ++k) {
        if ((k < p.strong.size() && p.strong[k]) != marked) continue;
        for (const auto& s : lines[k]) {
          cairo_move_to(cr, X(s[0]), Y(s[1]));
          cairo_line_to(cr, X(s[2]), Y(s[3]));
        }
      }
      Colour(cr, marked ? Rgb{200, 30, 30} : (style.dark ? Rgb{110, 160, 230} : Rgb{60, 100, 170}));
      cairo_set_line_width(cr, marked ? 2.5 * line : line);
      cairo_stroke(cr);
    }
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    cairo_restore(cr);
    // The points and their names.
    cairo_set_font_size(cr, f);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    for (size_t k = 0; k < p.points.size(); ++k) {
      const double px = X(p.points[k].first), py = Y(p.points[k].second);
      if (!std::isfinite(px) || !std::isfinite(py)) continue;
      Colour(cr, ink.text);
      cairo_new_sub_path(cr);
      cairo_arc(cr, px, py, 0.22 * f, 0, 2 * std::numbers::pi);
      cairo_fill(cr);
      if (k < p.labels.size()) {
        cairo_move_to(cr, px + 0.35 * f, py - 0.35 * f);
        Show(cr, Typeset(p.labels[k]));
      }
    }
    // The frame, its ticks and the axes' names.
    Colour(cr, ink.text);
    cairo_set_line_width(cr, line);
    cairo_rectangle(cr, x0, y0, side, side);
    cairo_stroke(cr);
    const double tick = 0.4 * f;
    const std::vector<double> tu = Ticks(p.u0, p.u1), tv = Ticks(p.v0, p.v1);
    const std::vector<std::string> lu = TickLabels(tu), lv = TickLabels(tv);
    double label_w = 0;
    for (size_t k = 0; k < tu.size(); ++k) {
      const double x = X(tu[k]);
      cairo_move_to(cr, x, y0 + side);
      cairo_line_to(cr, x, y0 + side + tick);
      cairo_stroke(cr);
      const std::string label = TypesetNumber(lu[k]);
      cairo_move_to(cr, x - TextWidth(cr, label) / 2, y0 + side + tick + 0.3 * f + fe.ascent);
      Show(cr, label);
    }
    for (size_t k = 0; k < tv.size(); ++k) {
      const double y = Y(tv[k]);
      cairo_move_to(cr, x0, y);
      cairo_line_to(cr, x0 - tick, y);
      cairo_stroke(cr);
      const std::string label = TypesetNumber(lv[k]);
      label_w = std::max(label_w, TextWidth(cr, label));
      cairo_move_to(cr, x0 - tick - 0.3 * f - TextWidth(cr, label),
                    y + (fe.ascent - fe.descent) / 2);
      Show(cr, label);
    }
    AxisNames(cr, fe, Typeset(p.u_name), Typeset(p.v_name), x0, y0, side, side, f, label_w);
  });
}

}  // namespace figure
