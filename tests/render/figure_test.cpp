// Figures: the ticks and their labels by hand; the map's polygons tile the
// whole map once for a body seen from inside it (an icosahedron and a cube,
// whose polar axis runs exactly along one of their edges, and an octahedron
// with vertices at the poles) and no facet's piece spans more than 180
// degrees of longitude unless it holds a pole; pictures decoded by libpng
// (background, shading, the end triangles, text that stays inside, every
// part grown with the size); PDF and SVG files as their readers need them.
#include "render/figure.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "tests/support/run.h"
#include "tests/support/shapes.h"

namespace {

using figure::Bar;
using figure::Output;
using figure::Style;
using figure::Triangle;

TEST(Ticks, OneTwoOrFiveTimesAPowerOfTen) {
  using V = std::vector<double>;
  using S = std::vector<std::string>;
  EXPECT_EQ(figure::Ticks(0, 1), (V{0, 0.2, 0.4, 0.6000000000000001, 0.8, 1}));
  EXPECT_EQ(figure::TickLabels(figure::Ticks(0, 1)), (S{"0.0", "0.2", "0.4", "0.6", "0.8", "1.0"}));
  EXPECT_EQ(figure::TickLabels(figure::Ticks(0.6, 0.95)), (S{"0.6", "0.7", "0.8", "0.9"}));
  EXPECT_EQ(figure::TickLabels(figure::Ticks(2.44, 26.55)), (S{"5", "10", "15", "20", "25"}));
  EXPECT_EQ(figure::TickLabels(figure::Ticks(-40, 40)), (S{"-40", "-20", "0", "20", "40"}));
  EXPECT_EQ(figure::TickLabels(figure::Ticks(1040, 1380)), (S{"1100", "1200", "1300"}));
  EXPECT_EQ(figure::TickLabels(figure::Ticks(0.1, 0.3)),
            (S{"0.10", "0.15", "0.20", "0.25", "0.30"}));
  // Far from 1: a common exponent's digits.
  EXPECT_EQ(figure::TickLabels(figure::Ticks(-1.2e-5, 3.1e-5)),
            (S{"-1e-05", "0e+00", "1e-05", "2e-05", "3e-05"}));
  EXPECT_EQ(figure::TickLabels(figure::Ticks(2.51e8, 2.59e8)),
            (S{"2.52e+08", "2.54e+08", "2.56e+08", "2.58e+08"}));
  // Every range gets two to seven ticks inside it.
  for (double lo : {-3.7, 0.0, 0.001, 17.0, 1e9})
    for (double w : {1e-6, 0.3, 1.0, 7.7, 123.0}) {
      const V t = figure::Ticks(lo, lo + w * (1 + std::fabs(lo)));
      EXPECT_GE(t.size(), 2u) << lo << " " << w;
      EXPECT_LE(t.size(), 7u) << lo << " " << w;
      for (double v : t) EXPECT_TRUE(v >= lo && v <= lo + w * (1 + std::fabs(lo))) << v;
    }
  EXPECT_TRUE(figure::Ticks(1, 1).empty());
  EXPECT_TRUE(figure::Ticks(0, INFINITY).empty());
}

// A field constant but for rounding (the facets of the unit cube): the range
// is two units in the last place, and its ends are the only ticks.
TEST(Ticks, ARangeOfUnitsInTheLastPlace) {
  const double lo = 1.717618106063117, hi = std::nextafter(std::nextafter(lo, 2.0), 2.0);
  EXPECT_EQ(figure::Ticks(lo, hi), (std::vector<double>{lo, hi}));
}

TEST(Typeset, RaisedExponentsAndTrueMinusSigns) {
  EXPECT_EQ(figure::Typeset("U [m^2/s^2]"), "U [m\u00b2/s\u00b2]");
  EXPECT_EQ(figure::Typeset("G [m^3 kg^-1 s^-2]"), "G [m\u00b3 kg\u207b\u00b9 s\u207b\u00b2]");
  EXPECT_EQ(figure::Typeset("-40"), "\u221240");
  EXPECT_EQ(figure::Typeset("(-0.5, -3)"), "(\u22120.5, \u22123)");
  // Hyphens in words and between numbers stay, and so does a caret alone.
  for (const char* same : {"U/U0", "north-south", "2-98 %", "x^y", "gx-1", "a -b"})
    EXPECT_EQ(figure::Typeset(same), same);
  EXPECT_EQ(figure::TypesetNumber("-1e-05"), "\u22121\u00d710\u207b\u2075");
  EXPECT_EQ(figure::TypesetNumber("2.52e+08"), "2.52\u00d710\u2078");
  EXPECT_EQ(figure::TypesetNumber("0e+00"), "0");
  EXPECT_EQ(figure::TypesetNumber("-0.25"), "\u22120.25");
  EXPECT_EQ(figure::TypesetNumber("1300"), "1300");
}

TEST(Typeset, ScaleBarOfARoundLength) {
  EXPECT_DOUBLE_EQ(figure::ScaleLength(217), 20);  // a fifth is 43.4
  EXPECT_DOUBLE_EQ(figure::ScaleLength(2), 0.2);
  EXPECT_DOUBLE_EQ(figure::ScaleLength(30), 5);
  EXPECT_DOUBLE_EQ(figure::ScaleLength(50), 10);
  EXPECT_DOUBLE_EQ(figure::ScaleLength(0.003), 0.0005);
  EXPECT_EQ(figure::ScaleLength(0), 0);
  EXPECT_EQ(figure::ScaleLength(INFINITY), 0);
}

TEST(Output, ByTheExtension) {
  EXPECT_EQ(figure::OutputFor("a.pdf"), Output::kPdf);
  EXPECT_EQ(figure::OutputFor("A.PDF"), Output::kPdf);
  EXPECT_EQ(figure::OutputFor("map.Svg"), Output::kSvg);
  EXPECT_EQ(figure::OutputFor("a.png"), Output::kPng);
  EXPECT_EQ(figure::OutputFor("pdf"), Output::kPng);
  EXPECT_EQ(figure::OutputFor("figures.pdf/a"), Output::kPng);
}

std::vector<Triangle> Triangles(const Shape& s, Rgb colour = {10, 20, 30}) {
  std::vector<Triangle> t(s.faces.size() / 3);
  for (size_t f = 0; f < t.size(); ++f) {
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c) t[f].v[3 * k + c] = s.vertices[3 * s.faces[3 * f + k] + c];
    t[f].colour = colour;
  }
  return t;
}

// Shoelace area in square degrees.
double Area(const figure::Polygon& p) {
  double a = 0;
  for (size_t i = 0; i < p.lonlat.size(); ++i) {
    const auto& u = p.lonlat[i];
    const auto& v = p.lonlat[(i + 1) % p.lonlat.size()];
    a += u.first * v.second - v.first * u.second;
  }
  return std::fabs(a) / 2;
}

void ExpectTiling(const Shape& shape, const char* what) {
  const double centre[3] = {0, 0, 0};
  const auto polygons = figure::MapPolygons(Triangles(shape), centre);
  double total = 0;
  for (const auto& p : polygons) {
    double lo = INFINITY, hi = -INFINITY;
    bool pole = false;
    for (const auto& [lon, lat] : p.lonlat) {
      EXPECT_TRUE(lon >= -180 && lon <= 180 && lat >= -90 && lat <= 90) << what;
      lo = std::min(lo, lon), hi = std::max(hi, lon);
      pole = pole || std::fabs(lat) == 90;
    }
    if (!pole) {
      EXPECT_LE(hi - lo, 180) << what;
    }
    total += Area(p);
  }
  EXPECT_NEAR(total, 360.0 * 180, 1e-9 * 360 * 180) << what;
}

TEST(Map, FacetsTileTheMapOnceCutAtTheSeam) {
  ExpectTiling(Icosphere(0, 1), "icosahedron");
  ExpectTiling(Icosphere(3, 1), "icosphere");
  const double lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
  ExpectTiling(Box(lo, hi), "cube");
  const Shape octahedron{{0, 0, 1, 1, 0, 0, 0, 1, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1},
                         {0, 1, 2, 0, 2, 3, 0, 3, 4, 0, 4, 1, 5, 2, 1, 5, 3, 2, 5, 4, 3, 5, 1, 4}};
  ExpectTiling(octahedron, "octahedron");
}

TEST(Map, AFacetAcrossTheSeamInTwoPieces) {
  // Longitudes 170 and -170 at the equator, 180 higher up: 20 degrees wide.
  const double c = std::cos(170 * M_PI / 180), s = std::sin(170 * M_PI / 180);
  Triangle t{{c, s, 0, c, -s, 0, -1, 0, 0.5}, {1, 2, 3}};
  const double centre[3] = {0, 0, 0};
  const auto p = figure::MapPolygons({t}, centre);
  ASSERT_EQ(p.size(), 2u);
  for (const auto& piece : p) {
    double lo = INFINITY, hi = -INFINITY;
    for (const auto& [lon, lat] : piece.lonlat) lo = std::min(lo, lon), hi = std::max(hi, lon);
    EXPECT_NEAR(hi - lo, 10, 1e-12);
    EXPECT_TRUE(lo == -180 || hi == 180);
  }
}

// ------------------------------------------------------------ pictures

struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgb;
  Rgb At(uint32_t x, uint32_t y) const {
    const uint8_t* p = &rgb[3 * (size_t{y} * width + x)];
    return {p[0], p[1], p[2]};
  }
};

std::string Bytes(const std::function<bool(FILE*)>& draw) {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  EXPECT_TRUE(draw(out));
  std::fclose(out);
  std::string bytes(data, size);
  std::free(data);
  return bytes;
}

Picture Decode(const std::string& png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Picture p;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) {
    ADD_FAILURE() << "not a PNG: " << image.message;
    return p;
  }
  image.format = PNG_FORMAT_RGB;
  p.width = image.width, p.height = image.height;
  p.rgb.resize(PNG_IMAGE_SIZE(image));
  EXPECT_TRUE(png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr)) << image.message;
  return p;
}

Bar TwoColourBar(const std::string& label = "U/U0") {
  Bar b;
  b.colours = {{0, 0, 255}, {255, 0, 0}};
  b.min = 0.6, b.max = 0.95, b.label = label;
  return b;
}

// A square facing the viewer from longitude 0, latitude 0 (the y-z plane),
// its corners numbered 0 to 3, the diagonal 0-2 shared.
std::vector<Triangle> Square(Rgb colour) {
  return {{{0, -1, -1, 0, 1, -1, 0, 1, 1}, colour, {0, 1, 2}},
          {{0, -1, -1, 0, 1, 1, 0, -1, 1}, colour, {0, 2, 3}}};
}

Picture View(const Style& style, const Bar& bar, const std::vector<Triangle>& facets) {
  return Decode(Bytes([&](FILE* out) {
    return figure::DrawView(out, Output::kPng, facets, MakeViewBasis(0, 0), style, bar);
  }));
}

TEST(Picture, LightByDefaultDarkOnRequestColoursUnshaded) {
  Style style;
  style.width = 400, style.height = 300;
  const Picture light = View(style, TwoColourBar(), Square({200, 100, 50}));
  ASSERT_EQ(light.width, 400u);
  ASSERT_EQ(light.height, 300u);
  EXPECT_EQ(light.At(0, 0), (Rgb{255, 255, 255}));
  EXPECT_EQ(light.At(399, 299), (Rgb{255, 255, 255}));
  // The square fills the middle of the plot in its own colour...
  EXPECT_EQ(light.At(150, 150), (Rgb{200, 100, 50}));
  // ...or shaded: it faces the viewer, the light comes 8/9 toward it.
  style.shading = true;
  const double s = 0.25 + 0.75 * 8 / 9;
  EXPECT_EQ(View(style, TwoColourBar(), Square({200, 100, 50})).At(150, 150),
            (Rgb{Shaded(200, s), Shaded(100, s), Shaded(50, s)}));
  style.dark = true;
  EXPECT_EQ(View(style, TwoColourBar(), Square({200, 100, 50})).At(0, 0), (Rgb{40, 44, 52}));
}

size_t Count(const Picture& p, Rgb c) {
  size_t n = 0;
  for (uint32_t y = 0; y < p.height; ++y)
    for (uint32_t x = 0; x < p.width; ++x) n += p.At(x, y) == c;
  return n;
}

size_t Inked(const Picture& p) {
  return p.width * p.height - Count(p, {255, 255, 255});
}

TEST(Picture, TrianglesAtTheEndsBeyondWhichValuesLie) {
  Style style;
  style.width = 400, style.height = 300;
  Bar bar = TwoColourBar();
  const Picture plain = View(style, bar, {});
  bar.above = true;
  const Picture above = View(style, bar, {});
  bar.below = true;
  const Picture both = View(style, bar, {});
  // A triangle of the width of the bar and as high: some 50 pixels, half of
  // them inside its outline.
  const Rgb red{255, 0, 0}, blue{0, 0, 255};
  EXPECT_GT(Count(above, red), Count(plain, red) + 15);
  EXPECT_EQ(Count(above, blue), Count(plain, blue));
  EXPECT_GT(Count(both, blue), Count(plain, blue) + 15);
}

TEST(Picture, TextStaysInsideAndGrowsWithTheSize) {
  // A label far too long for the bar and a title too long for the width:
  // both shrink, and a border of background stays on every side.
  Style style;
  style.width = 200, style.height = 150;
  style.title = "slope with spin about the axis of the largest moment, at the centroids";
  const Bar bar = TwoColourBar("slope with spin [deg], area-weighted, at every facet's centroid");
  const Picture p = View(style, bar, Square({200, 100, 50}));
  for (uint32_t x = 0; x < p.width; ++x)
    for (uint32_t y : {0u, 1u, p.height - 2, p.height - 1})
      EXPECT_EQ(p.At(x, y), (Rgb{255, 255, 255})) << x << "," << y;
  for (uint32_t y = 0; y < p.height; ++y)
    for (uint32_t x : {0u, 1u, p.width - 2, p.width - 1})
      EXPECT_EQ(p.At(x, y), (Rgb{255, 255, 255})) << x << "," << y;
  // Twice the size: four times the ink, text, bar and model alike.
  style.title = "Kleopatra";
  const Picture small = View(style, TwoColourBar(), Square({200, 100, 50}));
  style.width *= 2, style.height *= 2;
  const Picture large = View(style, TwoColourBar(), Square({200, 100, 50}));
  const double ratio = double(Inked(large)) / double(Inked(small));
  EXPECT_GT(ratio, 3.6);
  EXPECT_LT(ratio, 4.4);
}

TEST(Picture, MapOnALightBackground) {
  Style style;
  style.width = 500, style.height = 300;
  const double centre[3] = {0, 0, 0};
  const auto polygons = figure::MapPolygons(Triangles(Icosphere(2, 1), {10, 200, 30}), centre);
  const Picture p = Decode(Bytes([&](FILE* out) {
    return figure::DrawMap(out, Output::kPng, polygons, style, TwoColourBar());
  }));
  EXPECT_EQ(p.At(0, 0), (Rgb{255, 255, 255}));
  // The map's 2:1 frame is filled with the facets' colour.
  EXPECT_GT(Count(p, {10, 200, 30}), 300u * 60);
}

TEST(Picture, OutlineAroundTheModelNotAcrossIt) {
  // A white square on the white paper: seen only by its outline.
  Style style;
  style.width = 400, style.height = 300;
  const Rgb white{255, 255, 255};
  const auto first_ink = [&](const Picture& p, uint32_t y) {
    uint32_t x = 0;
    while (x < p.width && p.At(x, y) == white) ++x;
    return x;
  };
  const Picture bare = View(style, TwoColourBar(), Square(white));
  style.outline = true;
  const Picture outlined = View(style, TwoColourBar(), Square(white));
  // Without the outline the middle row's first ink is the bar's, at the right.
  EXPECT_GT(first_ink(bare, 150), 200u);
  // With it, a dark line at the square's left edge, then the white square
  // again: its shared diagonal, through the middle, is not drawn.
  const uint32_t x = first_ink(outlined, 150);
  ASSERT_LT(x, 100u);
  const Rgb edge = outlined.At(x, 150);
  EXPECT_LT(int{edge.r} + edge.g + edge.b, 3 * 160) << int{edge.r};
  uint32_t right = x + 4;
  while (right < outlined.width && outlined.At(right, 150) == white) ++right;
  ASSERT_GT(right, x + 100);
  // The square spans x to right and 150 - (right - x) / 2 to 150 + ...:
  // white along its diagonal, from the bottom left corner to the top right.
  const uint32_t side = right - x, top = 150 - side / 2;
  for (uint32_t i = 4; i + 4 < side; ++i) EXPECT_EQ(outlined.At(x + i, top + side - i), white) << i;
  // Outlined on every side: a dark pixel just above the top edge's middle.
  uint32_t y = 150;
  while (y > 0 && outlined.At(x + side / 2, y) == white) --y;
  EXPECT_NEAR(double(y), double(top), 2.0);
}

// Rows and columns of the paper's colour at the figure's edges.
struct Border {
  uint32_t top = 0, bottom = 0, left = 0, right = 0;
};
Border BorderOf(const Picture& p) {
  const Rgb paper{255, 255, 255};
  const auto row = [&](uint32_t y) {
    for (uint32_t x = 0; x < p.width; ++x)
      if (!(p.At(x, y) == paper)) return false;
    return true;
  };
  const auto column = [&](uint32_t x) {
    for (uint32_t y = 0; y < p.height; ++y)
      if (!(p.At(x, y) == paper)) return false;
    return true;
  };
  Border b;
  while (b.top < p.height && row(b.top)) ++b.top;
  while (b.bottom < p.height && row(p.height - 1 - b.bottom)) ++b.bottom;
  while (b.left < p.width && column(b.left)) ++b.left;
  while (b.right < p.width && column(p.width - 1 - b.right)) ++b.right;
  return b;
}

TEST(Picture, FittedToTheContentWithoutAWideBorder) {
  // A model three times as wide as high, and the map's 2:1 frame: at most
  // 800 x 600, the empty border no wider than the margin (0.8 of the font,
  // 13.4 pixels) and a pixel of antialiasing.
  Style style;
  style.fit = true;
  std::vector<Triangle> wide = Square({200, 100, 50});
  for (Triangle& t : wide)
    for (int k = 0; k < 3; ++k) t.v[3 * k + 1] *= 3;
  const Picture view = View(style, TwoColourBar(), wide);
  EXPECT_EQ(view.width, 800u);
  EXPECT_LT(view.height, 400u);
  const Border v = BorderOf(view);
  for (const uint32_t side : {v.top, v.bottom, v.left, v.right}) EXPECT_LE(side, 15u);
  const double centre[3] = {0, 0, 0};
  const auto polygons = figure::MapPolygons(Triangles(Icosphere(2, 1), {10, 200, 30}), centre);
  const Picture map = Decode(Bytes([&](FILE* out) {
    return figure::DrawMap(out, Output::kPng, polygons, style, TwoColourBar());
  }));
  EXPECT_EQ(map.width, 800u);
  EXPECT_LT(map.height, 500u);
  const Border m = BorderOf(map);
  for (const uint32_t side : {m.top, m.bottom, m.left, m.right}) EXPECT_LE(side, 15u);
  // A tall model narrows the figure instead.
  for (Triangle& t : wide)
    for (int k = 0; k < 3; ++k) t.v[3 * k + 1] /= 9;
  const Picture tall = View(style, TwoColourBar(), wide);
  EXPECT_EQ(tall.height, 600u);
  EXPECT_LT(tall.width, 500u);
  // Asked for a size, the figure keeps it.
  style.fit = false;
  EXPECT_EQ(View(style, TwoColourBar(), wide).width, 800u);
}

// The text of a file through a reader's command (`command` PATH `after`).
std::string ReadThrough(const std::string& command, const std::string& bytes,
                        const std::string& name, const std::string& after = "") {
  const std::string path = TempDir() + "/" + name, text = path + ".txt";
  std::ofstream(path, std::ios::binary) << bytes;
  if (std::system((command + " " + path + after + " > " + text).c_str()) != 0) return "(failed)";
  return ReadFile(text);
}

// Python's XML parser: the texts of an SVG's <text> elements, a line each.
const char* const kSvgTexts =
    "python3 -c \"import sys, xml.etree.ElementTree as E; "
    "[print(t.text) for t in "
    "E.parse(sys.argv[1]).getroot().iter('{http://www.w3.org/2000/svg}text')]"
    "\"";

TEST(Vector, TextStaysTextInSvgAndPdf) {
  Style style;
  style.title = "Kleopatra & <friends>";
  Bar bar = TwoColourBar("U [m^2/s^2]");
  bar.min = -0.6;
  const auto facets = Triangles(Icosphere(1, 1));
  const std::string svg = Bytes([&](FILE* out) {
    return figure::DrawView(out, Output::kSvg, facets, MakeViewBasis(30, 25), style, bar);
  });
  const std::string texts = ReadThrough(kSvgTexts, svg, "view.svg");
  EXPECT_NE(texts.find("U [m\u00b2/s\u00b2]\n"), std::string::npos) << texts;
  EXPECT_NE(texts.find("Kleopatra & <friends>\n"), std::string::npos) << texts;
  EXPECT_NE(texts.find("\u22120.5\n"), std::string::npos) << texts;
  // No glyph drawn as an outline.
  EXPECT_EQ(svg.find("glyph"), std::string::npos);
  const double centre[3] = {0, 0, 0};
  const std::string map = Bytes([&](FILE* out) {
    return figure::DrawMap(out, Output::kSvg, figure::MapPolygons(facets, centre), style, bar);
  });
  const std::string map_texts = ReadThrough(kSvgTexts, map, "map.svg");
  EXPECT_NE(map_texts.find("latitude [deg]\n"), std::string::npos) << map_texts;
  EXPECT_NE(map_texts.find("\u2212180\n"), std::string::npos) << map_texts;
  // Read once each: the bar measured for the map's layout leaves no copy.
  EXPECT_EQ(map_texts.find("U [m"), map_texts.rfind("U [m")) << map_texts;

  // pdftotext (poppler-utils) is one of the suite's packages: without it the
  // PDF's text cannot be read back, and the test fails.
  ASSERT_EQ(std::system("command -v pdftotext > /dev/null"), 0) << "no pdftotext";
  const std::string pdf = Bytes([&](FILE* out) {
    return figure::DrawView(out, Output::kPdf, facets, MakeViewBasis(30, 25), style, bar);
  });
  const std::string pdf_text = ReadThrough("pdftotext -raw -enc UTF-8", pdf, "view.pdf", " -");
  EXPECT_NE(pdf_text.find("Kleopatra & <friends>"), std::string::npos) << pdf_text;
  EXPECT_NE(pdf_text.find("\u22120.5\n"), std::string::npos) << pdf_text;
  EXPECT_NE(pdf_text.find("[m\u00b2/s\u00b2]"), std::string::npos) << pdf_text;
}

TEST(Vector, TriadScaleBarAndTheDirectionOfView) {
  Style style;
  style.triad = style.scale_bar = true;
  style.unit = "km";
  style.from = {-30, 25};
  const std::string svg = Bytes([&](FILE* out) {
    return figure::DrawView(out, Output::kSvg, Square({200, 100, 50}), MakeViewBasis(-30, 25),
                            style, TwoColourBar());
  });
  const std::string texts = ReadThrough(kSvgTexts, svg, "extras.svg");
  for (const char* t : {"x\n", "y\n", "z\n", "view from lon \u221230\u00b0, lat 25\u00b0\n",
                        "0.2 km\n"})  // a square 1.7 km wide as seen
    EXPECT_NE(texts.find(t), std::string::npos) << t << " in\n" << texts;
}

TEST(Vector, PdfAndSvgAsTheirReadersNeedThem) {
  Style style;
  const auto facets = Triangles(Icosphere(1, 1));
  const std::string pdf = Bytes([&](FILE* out) {
    return figure::DrawView(out, Output::kPdf, facets, MakeViewBasis(30, 25), style,
                            TwoColourBar());
  });
  ASSERT_EQ(pdf.substr(0, 7), "%PDF-1.");
  EXPECT_EQ(pdf.substr(pdf.size() - 6), "%%EOF\n");
  // startxref names the offset of the cross-reference table or stream.
  const size_t at = pdf.rfind("startxref\n");
  ASSERT_NE(at, std::string::npos);
  const size_t offset = std::stoul(pdf.substr(at + 10));
  ASSERT_LT(offset, pdf.size());
  const std::string xref = pdf.substr(offset, 12);
  EXPECT_TRUE(xref.rfind("xref", 0) == 0 || xref.find(" 0 obj") != std::string::npos) << xref;
  EXPECT_NE(pdf.find("/MediaBox [ 0 0 800 600 ]"), std::string::npos);

  const double centre[3] = {0, 0, 0};
  const std::string svg = Bytes([&](FILE* out) {
    return figure::DrawMap(out, Output::kSvg, figure::MapPolygons(facets, centre), style,
                           TwoColourBar());
  });
  ASSERT_EQ(svg.substr(0, 5), "<?xml");
  // Python's XML parser reads it: an svg element of the figure's size.
  const std::string path = TempDir() + "/map.svg";
  std::ofstream(path) << svg;
  const std::string check =
      "python3 -c \"import sys, xml.etree.ElementTree as E; r = E.parse(sys.argv[1]).getroot(); "
      "sys.exit(0 if r.tag.endswith('svg') and r.get('width') == '800pt' else 1)\" " +
      path;
  EXPECT_EQ(std::system(check.c_str()), 0);
}

// The contour plot: marching squares on the closed form V = u^2 + v^2 (the
// circle of radius r at r^2), the section filled by the even-odd rule (a
// ring inside a ring of the same turn left open), the frame fitted, the
// points' names kept as text.
figure::ContourPlot Paraboloid(uint32_t n) {
  figure::ContourPlot p;
  p.nu = p.nv = n;
  p.u0 = p.v0 = -2, p.u1 = p.v1 = 2;
  for (uint32_t j = 0; j < n; ++j)
    for (uint32_t i = 0; i < n; ++i) {
      const double u = -2 + 4 * (i + 0.5) / n, v = -2 + 4 * (j + 0.5) / n;
      p.values.push_back(u * u + v * v);
    }
  return p;
}

TEST(Contours, MarchingSquaresOnACircle) {
  for (const double r : {0.7, 1.3}) {
    figure::ContourPlot p = Paraboloid(41);
    const double h = 4.0 / 41;
    const auto segments = figure::ContourSegments(p, r * r);
    ASSERT_GT(segments.size(), 20u);
    double length = 0;
    for (const auto& s : segments) {
      EXPECT_NEAR(std::hypot(s[0], s[1]), r, h);
      EXPECT_NEAR(std::hypot(s[2], s[3]), r, h);
      length += std::hypot(s[2] - s[0], s[3] - s[1]);
    }
    // Closed, once round: its length the circumference's (the chords a little short).
    EXPECT_NEAR(length, 2 * std::numbers::pi * r, 0.02 * r);
    // A cell without a value holds no segment, and none is made of NaN.
    const size_t n = segments.size();
    p.values[20 * 41 + 20 + static_cast<size_t>(r / h)] = NAN;
    const auto holed = figure::ContourSegments(p, r * r);
    EXPECT_LT(holed.size(), n);
    for (const auto& s : holed)
      for (const double c : s) EXPECT_TRUE(std::isfinite(c));
  }
  EXPECT_TRUE(figure::ContourSegments(Paraboloid(41), -1).empty());
}

size_t GreyPixels(const Picture& p) {
  size_t n = 0;
  for (size_t i = 0; i + 2 < p.rgb.size(); i += 3)
    n += p.rgb[i] == 200 && p.rgb[i + 1] == 200 && p.rgb[i + 2] == 200;
  return n;
}

TEST(Contours, SectionFilledEvenOddFrameFittedNamesAsText) {
  figure::ContourPlot p = Paraboloid(41);
  p.levels = {0.5, 1, 2}, p.strong = {false, true, false};
  p.points = {{0, 0}, {1, 0}}, p.labels = {"E1", "E2"};
  p.u_name = "x [km]", p.v_name = "y [km]";
  const auto square = [](double a) {
    return std::vector<std::pair<double, double>>{{-a, -a}, {a, -a}, {a, a}, {-a, a}};
  };
  Style style;
  style.title = "a body, spin period 5 h";
  style.fit = true;
  const auto draw = [&](const figure::ContourPlot& plot, Output kind) {
    return Bytes([&](FILE* out) { return figure::DrawContours(out, kind, plot, style); });
  };
  p.section = {square(1.2)};
  const Picture full = Decode(draw(p, Output::kPng));
  // Cut to the square frame: narrower than asked, as high.
  EXPECT_EQ(full.height, 600u);
  EXPECT_LT(full.width, 700u);
  EXPECT_GT(full.width, 500u);
  p.section = {square(1.2), square(0.4)};
  const Picture holed = Decode(draw(p, Output::kPng));
  ASSERT_EQ(holed.width, full.width);
  const double kept = double(GreyPixels(holed)) / double(GreyPixels(full));
  EXPECT_NEAR(kept, (2.4 * 2.4 - 0.8 * 0.8) / (2.4 * 2.4), 0.03);
  style.fit = false;
  EXPECT_EQ(Decode(draw(p, Output::kPng)).width, 800u);

  const std::string texts = ReadThrough(kSvgTexts, draw(p, Output::kSvg), "contours.svg");
  for (const char* t : {"E1\n", "E2\n", "x [km]\n", "y [km]\n", "a body, spin period 5 h\n"})
    EXPECT_NE(texts.find(t), std::string::npos) << t << texts;
  EXPECT_NE(texts.find("\u22122\n"), std::string::npos) << texts;
}

}  // namespace
