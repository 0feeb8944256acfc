// stlrender: pictures of small models checked pixel by pixel after decoding
// the PNG with an independent decoder (zlib in Python, and pngcheck where
// installed); the colour expansion, the view, the shading and the
// rasteriser's coverage in-process; every message.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "render/render.h"
#include "tests/support/run.h"

namespace {

// ---- models -------------------------------------------------------------

struct Tri {
  float a[3], b[3], c[3];
  uint16_t attribute;
};

// Binary STL of the triangles, each with its right-hand normal.
std::string Stl(const std::vector<Tri>& tris) {
  std::string s(80, '\0');
  const uint32_t n = static_cast<uint32_t>(tris.size());
  s.append(reinterpret_cast<const char*>(&n), 4);
  for (const Tri& t : tris) {
    float u[3], w[3];
    for (int k = 0; k < 3; ++k) u[k] = t.b[k] - t.a[k], w[k] = t.c[k] - t.a[k];
    const float block[12] = {u[1] * w[2] - u[2] * w[1],
                             u[2] * w[0] - u[0] * w[2],
                             u[0] * w[1] - u[1] * w[0],
                             t.a[0],
                             t.a[1],
                             t.a[2],
                             t.b[0],
                             t.b[1],
                             t.b[2],
                             t.c[0],
                             t.c[1],
                             t.c[2]};
    s.append(reinterpret_cast<const char*>(block), 48);
    s.append(reinterpret_cast<const char*>(&t.attribute), 2);
  }
  return s;
}

uint16_t Word(unsigned r5, unsigned g5, unsigned b5) {
  return static_cast<uint16_t>(0x8000 | r5 << 10 | g5 << 5 | b5);
}

enum Face { kPlusX, kMinusX, kPlusY, kMinusY, kPlusZ, kMinusZ };

// Five-bit colour of each face of the test cube.
const unsigned kFace5[6][3] = {{31, 0, 0},  {0, 31, 0},  {0, 0, 31},
                               {31, 31, 0}, {31, 0, 31}, {16, 8, 31}};

// The unit cube [0,1]^3 (shifted by `offset`), outward, two triangles per
// face, each face in its colour; faces in the order +x -x +y -y +z -z, or
// reversed, so that the front face is drawn before or after the back face.
std::vector<Tri> Cube(bool reversed = false, float offset = 0) {
  const float V[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                         {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
  const int F[6][2][3] = {{{1, 2, 6}, {1, 6, 5}}, {{3, 0, 4}, {3, 4, 7}}, {{2, 3, 7}, {2, 7, 6}},
                          {{0, 1, 5}, {0, 5, 4}}, {{4, 5, 6}, {4, 6, 7}}, {{0, 2, 1}, {0, 3, 2}}};
  std::vector<Tri> tris;
  for (int i = 0; i < 6; ++i) {
    const int face = reversed ? 5 - i : i;
    for (const auto& f : F[face]) {
      Tri t{};
      for (int k = 0; k < 3; ++k) {
        t.a[k] = V[f[0]][k] + offset;
        t.b[k] = V[f[1]][k] + offset;
        t.c[k] = V[f[2]][k] + offset;
      }
      t.attribute = Word(kFace5[face][0], kFace5[face][1], kFace5[face][2]);
      tris.push_back(t);
    }
  }
  return tris;
}

// ---- expected colours, from the documented rules -------------------------

uint8_t Expand(unsigned c5) {
  return static_cast<uint8_t>(std::trunc(c5 * 255.0 / 31 + 0.5));
}

// Brightness 0.25 + 0.75 * max(0, n . (-1, 4, 8)/9) for a normal n given in
// (right, up, toward the viewer) coordinates.
double Brightness(double r, double u, double t) {
  const double len = std::sqrt(r * r + u * u + t * t);
  const double d = (-r + 4 * u + 8 * t) / (9 * len);
  return 0.25 + 0.75 * std::max(0.0, d);
}

Rgb Lit(Rgb c, double s) {
  auto f = [s](uint8_t v) { return static_cast<uint8_t>(std::trunc(v * s + 0.5)); };
  return {f(c.r), f(c.g), f(c.b)};
}

Rgb FaceColour(int face, double s) {
  return Lit({Expand(kFace5[face][0]), Expand(kFace5[face][1]), Expand(kFace5[face][2])}, s);
}

// ---- running the program and decoding its picture -------------------------

struct Picture {
  int width = 0, height = 0;
  std::string rgb;
  Rgb At(int x, int y) const {
    const size_t i = 3 * (static_cast<size_t>(y) * width + x);
    return {static_cast<uint8_t>(rgb[i]), static_cast<uint8_t>(rgb[i + 1]),
            static_cast<uint8_t>(rgb[i + 2])};
  }
  std::map<uint32_t, int> Histogram() const {
    std::map<uint32_t, int> h;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const Rgb c = At(x, y);
        ++h[uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b];
      }
    return h;
  }
};

uint32_t Key(Rgb c) {
  return uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b;
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The program's path quoted for the shell.
std::string Program() {
  return std::string("'") + SUITE_BIN_DIR + "/stlrender'";
}

// Decodes the PNG file with the zlib-only decoder; checks it with pngcheck
// too where that is installed.
Picture Decode(const std::string& png) {
  const std::string script = DataPath("../tools/png_decode.py");
  const std::string ppm = png + ".ppm";
  EXPECT_EQ(Shell("python3 '" + script + "' '" + png + "' > '" + ppm + "'"), 0) << png;
  if (Shell("command -v pngcheck > /dev/null 2>&1") == 0) {
    EXPECT_EQ(Shell("pngcheck -q '" + png + "' > /dev/null"), 0) << png;
  }
  const std::string data = ReadFile(ppm);
  Picture p;
  char magic[3] = {};
  int maxval = 0, used = 0;
  if (std::sscanf(data.c_str(), "%2s %d %d %d%n", magic, &p.width, &p.height, &maxval, &used) != 4)
    ADD_FAILURE() << "no PPM header";
  p.rgb = data.substr(static_cast<size_t>(used) + 1);
  EXPECT_EQ(p.rgb.size(), 3u * p.width * p.height);
  return p;
}

// Renders `model` (binary STL bytes) with the extra arguments, decodes the result.
Picture RenderPicture(const std::string& model, const std::vector<std::string>& view) {
  const std::string dir = TempDir();
  WriteFile(dir + "/m.stl", model);
  std::vector<std::string> args{dir + "/m.stl", dir + "/m.png"};
  args.insert(args.end(), view.begin(), view.end());
  const RunResult r = ::Run("stlrender", args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  return Decode(dir + "/m.png");
}

// Counts the pixels of the picture that differ from `inside` within the box
// x0 <= x < x1, y0 <= y < y1 and from the background outside it.
int Mismatches(const Picture& p, int x0, int x1, int y0, int y1, Rgb inside) {
  int bad = 0;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      const bool in = x >= x0 && x < x1 && y >= y0 && y < y1;
      if (!(p.At(x, y) == (in ? inside : kBackground))) ++bad;
    }
  return bad;
}

// ---- in-process pieces -----------------------------------------------------

TEST(StlrenderColour, FiveBitComponentsExpandedAndUncolouredGrey) {
  EXPECT_EQ(FacetColour(0xFC00), (Rgb{255, 0, 0}));
  EXPECT_EQ(FacetColour(0x83E0), (Rgb{0, 255, 0}));
  EXPECT_EQ(FacetColour(0x801F), (Rgb{0, 0, 255}));
  EXPECT_EQ(FacetColour(0xFFFF), (Rgb{255, 255, 255}));
  EXPECT_EQ(FacetColour(0x8000), (Rgb{0, 0, 0}));  // black is a colour
  // 16 * 255/31 = 131.6 -> 132; 1 -> 8.2 -> 8; 15 -> 123.4 -> 123.
  EXPECT_EQ(FacetColour(Word(16, 1, 15)), (Rgb{132, 8, 123}));
  EXPECT_EQ(FacetColour(0), kNoColour);
  EXPECT_EQ(FacetColour(0x7FFF), kNoColour);  // bit 15 clear: no colour at all
  EXPECT_EQ(FacetColour(0x0421), kNoColour);
}

TEST(StlrenderView, AxesOfTheViewFromLongitudeAndLatitude) {
  auto near = [](const double* v, double x, double y, double z) {
    return std::fabs(v[0] - x) < 1e-15 && std::fabs(v[1] - y) < 1e-15 &&
           std::fabs(v[2] - z) < 1e-15;
  };
  ViewBasis b = MakeViewBasis(0, 0);
  EXPECT_TRUE(near(b.toward, 1, 0, 0) && near(b.right, 0, 1, 0) && near(b.up, 0, 0, 1));
  b = MakeViewBasis(90, 0);
  EXPECT_TRUE(near(b.toward, 0, 1, 0) && near(b.right, -1, 0, 0) && near(b.up, 0, 0, 1));
  b = MakeViewBasis(0, 90);
  EXPECT_TRUE(near(b.toward, 0, 0, 1) && near(b.right, 0, 1, 0) && near(b.up, -1, 0, 0));
  b = MakeViewBasis(45, 30);  // toward (cos30 cos45, cos30 sin45, sin30)
  const double c = std::sqrt(3.0) / 2 / std::sqrt(2.0);
  EXPECT_TRUE(near(b.toward, c, c, 0.5));
  EXPECT_NEAR(b.up[0] * b.toward[0] + b.up[1] * b.toward[1] + b.up[2] * b.toward[2], 0, 1e-15);
}

TEST(StlrenderShade, LambertFactorWithAmbientFloor) {
  const double facing[3] = {0, 0, 1}, up[3] = {0, 1, 0}, rightward[3] = {1, 0, 0};
  const double along[3] = {-1.0 / 9, 4.0 / 9, 8.0 / 9};
  EXPECT_DOUBLE_EQ(Shade(facing), 0.25 + 0.75 * 8 / 9);
  EXPECT_DOUBLE_EQ(Shade(up), 0.25 + 0.75 * 4 / 9);
  EXPECT_DOUBLE_EQ(Shade(rightward), 0.25);  // lit from the left: ambient only
  EXPECT_DOUBLE_EQ(Shade(along), 1.0);
  EXPECT_EQ(Shaded(255, 0.25), 64);  // 63.75
  EXPECT_EQ(Shaded(132, 0.5), 66);
  EXPECT_EQ(Shaded(3, 0.5), 2);  // 1.5 rounds up
}

// A regular 60-gon facing the viewer, cut into a fan of thin triangles around
// its centre: every pixel centre inside it is covered (no gap where two
// triangles meet), and nothing outside it.
TEST(StlrenderRaster, FanOfThinTrianglesLeavesNoGap) {
  const int n = 60;
  std::vector<AttributedFacet> fan(n);
  const double pi = 3.141592653589793;
  for (int i = 0; i < n; ++i) {
    const double a0 = 2 * pi * i / n, a1 = 2 * pi * (i + 1) / n;
    AttributedFacet& f = fan[i];
    const float v[9] = {0,
                        0.1f,
                        0.2f,
                        0,
                        static_cast<float>(std::cos(a0)),
                        static_cast<float>(std::sin(a0)),
                        0,
                        static_cast<float>(std::cos(a1)),
                        static_cast<float>(std::sin(a1))};
    std::memcpy(f.v, v, sizeof v);
    f.attribute = i % 2 ? 0xFC00 : 0x801F;
  }
  // The fan's centre is off the polygon's centre, so the triangles differ.
  Image image;
  image.width = 301;
  image.height = 301;
  std::vector<uint8_t> rgb(3 * 301 * 301);
  std::vector<float> depth(301 * 301);
  image.rgb = rgb.data();
  image.depth = depth.data();
  Render(n, fan.data(), MakeViewBasis(0, 0), &image);
  // Fitted: the polygon spans 2 units in y; margin 15 -> 271 pixels for 2 units.
  const double scale = 271.0 / 2, cx = 150.5, cy = 150.5;
  const double inner = std::cos(pi / n) * scale;  // inscribed circle
  int holes = 0, spill = 0, covered = 0;
  for (int y = 0; y < 301; ++y)
    for (int x = 0; x < 301; ++x) {
      const double r = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
      const uint8_t* p = &rgb[3 * (y * 301 + x)];
      const bool background =
          p[0] == kBackground.r && p[1] == kBackground.g && p[2] == kBackground.b;
      if (r < inner - 1 && background) ++holes;
      if (r > scale + 1 && !background) ++spill;
      covered += !background;
    }
  EXPECT_EQ(holes, 0);
  EXPECT_EQ(spill, 0);
  // Area of the 60-gon, n/2 sin(2 pi/n) r^2, within a pixel per boundary pixel.
  EXPECT_NEAR(covered, n / 2.0 * std::sin(2 * pi / n) * scale * scale, 2 * pi * scale);
}

TEST(StlrenderRaster, FacetsWithoutAreaOrFiniteCoordinatesDrawNothing) {
  AttributedFacet f[3] = {};
  const float line[9] = {0, 0, 0, 0, 1, 1, 0, 2, 2};  // collinear
  const float bad[9] = {0, 0, 0, 0, NAN, 1, 0, 1, 0};
  std::memcpy(f[0].v, line, sizeof line);
  std::memcpy(f[1].v, bad, sizeof bad);
  std::memcpy(f[2].v, line, sizeof line);
  f[2].v[4] = INFINITY;
  Image image;
  image.width = 20;
  image.height = 10;
  std::vector<uint8_t> rgb(3 * 200, 7);
  std::vector<float> depth(200);
  image.rgb = rgb.data();
  image.depth = depth.data();
  Render(3, f, MakeViewBasis(0, 0), &image);
  for (size_t i = 0; i < 200; ++i)
    EXPECT_TRUE(rgb[3 * i] == kBackground.r && rgb[3 * i + 1] == kBackground.g &&
                rgb[3 * i + 2] == kBackground.b);
}

// ---- pictures of the program -------------------------------------------------

// Seen along an axis, the cube fills a square: 200 x 100 pixels, margin 5,
// scale 90, the square from x = 55 to 145 and y = 5 to 95 exactly. Every
// pixel inside shows the front face's colour at the brightness of a facet
// facing the viewer; every pixel outside is background. Both face orders
// (front face drawn first or last) give the same picture: the depth test.
TEST(StlrenderPicture, CubeAlongEachAxisShowsExactlyItsFrontFace) {
  const struct {
    const char *lon, *lat;
    int face;
  } views[] = {{"0", "0", kPlusX},    {"180", "0", kMinusX}, {"90", "0", kPlusY},
               {"-90", "0", kMinusY}, {"0", "90", kPlusZ},   {"0", "-90", kMinusZ}};
  const double s = 0.25 + 0.75 * 8 / 9;
  for (bool reversed : {false, true}) {
    const std::string model = Stl(Cube(reversed));
    for (const auto& v : views) {
      SCOPED_TRACE(std::string(v.lon) + " " + v.lat + (reversed ? " reversed" : ""));
      const Picture p = RenderPicture(model, {v.lon, v.lat, "200", "100"});
      ASSERT_EQ(p.width, 200);
      ASSERT_EQ(p.height, 100);
      EXPECT_EQ(Mismatches(p, 55, 145, 5, 95, FaceColour(v.face, s)), 0);
    }
  }
  // By hand: a full 5-bit component is 255; a face toward the viewer gets
  // 0.25 + 0.75 * 8/9 = 0.91667 of it, 233.75, so 234.
  const std::string model = Stl(Cube());
  EXPECT_EQ(RenderPicture(model, {"0", "0", "200", "100"}).At(100, 50), (Rgb{234, 0, 0}));
  EXPECT_EQ(RenderPicture(model, {"-90", "0", "200", "100"}).At(100, 50), (Rgb{234, 234, 0}));
  EXPECT_EQ(RenderPicture(model, {"0", "90", "200", "100"}).At(100, 50), (Rgb{234, 0, 234}));
}

// The same cube moved a million units away: the fit centres it the same.
TEST(StlrenderPicture, FarFromTheOriginTheFitIsTheSame) {
  const Picture p = RenderPicture(Stl(Cube(false, 1e6f)), {"0", "0", "200", "100"});
  EXPECT_EQ(Mismatches(p, 55, 145, 5, 95, FaceColour(kPlusX, 0.25 + 0.75 * 8 / 9)), 0);
}

// Which way is up and right: a right triangle in the plane x = 0 with its
// right angle at the origin, legs 2 along y and 1 along z, seen from +x: y
// runs to the right, z up. 210 x 110 pixels, margin 5, scale 100: the right
// angle at pixel (5, 105), the hypotenuse from (5, 5) to (205, 105). Seen
// from the pole (lat 90) a triangle with legs along y and -x looks the same.
TEST(StlrenderPicture, RightIsEastAndUpIsNorth) {
  const Tri side{{0, 0, 0}, {0, 2, 0}, {0, 0, 1}, 0xFFFF};
  const Tri top{{0, 0, 0}, {0, 2, 0}, {-1, 0, 0}, 0xFFFF};
  const Rgb white = Lit({255, 255, 255}, 0.25 + 0.75 * 8 / 9);
  for (const auto& [tri, lat] : {std::pair{side, "0"}, std::pair{top, "90"}}) {
    SCOPED_TRACE(lat);
    const Picture p = RenderPicture(Stl({tri}), {"0", lat, "210", "110"});
    EXPECT_EQ(p.At(10, 100), white);   // near the right angle
    EXPECT_EQ(p.At(200, 104), white);  // far end of the long leg
    EXPECT_EQ(p.At(10, 10), white);    // up the short leg
    EXPECT_EQ(p.At(200, 10), kBackground);
    EXPECT_EQ(p.At(100, 40), kBackground);  // above the hypotenuse (y 52.75 there)
    EXPECT_EQ(p.At(100, 60), white);
    EXPECT_EQ(p.At(2, 50), kBackground);  // in the margin
    EXPECT_EQ(p.At(207, 107), kBackground);
    // Covered: the pixel centres under the hypotenuse, 200 x 100 / 2 = 10000.
    EXPECT_NEAR(p.Histogram()[Key(white)], 10000, 200);
  }
}

// A single flat facet has one colour: the brightness that its normal gives,
// from the documented light (-1, 4, 8)/9 and ambient 0.25. Seen from +x the
// view coordinates of a model normal (x, y, z) are (right y, up z, toward x).
TEST(StlrenderPicture, FlatShadingFollowsTheLambertFactor) {
  // `hand`: the grey of a white facet worked out by hand, 255 (0.25 + 0.75
  // max(0, d)) rounded, d = (-r + 4u + 8t)/(9 |n|): 7/(9 sqrt 2) gives
  // 168.93; 9/(9 sqrt 2) 198.98; 12/(9 sqrt 2) 244.06; d < 0 gives 63.75.
  const struct {
    Tri tri;
    double r, u, t;  // the facet's normal in view coordinates
    int hand;        // 0: not worked out by hand
  } cases[] = {
      // normal (1, 1, 0): toward and to the right
      {{{0, 0, 0}, {-1, 1, 0}, {0, 0, 1}, 0xFFFF}, 1, 0, 1, 169},
      // normal (1, -1, 0): toward and to the left
      {{{0, 0, 0}, {1, 1, 0}, {0, 0, 1}, 0xFFFF}, -1, 0, 1, 199},
      // normal (1, 0, 1): toward and up
      {{{0, 0, 0}, {0, 1, 0}, {-1, 0, 1}, 0xFFFF}, 0, 1, 1, 244},
      // normal (1, 10, 0): mostly to the right, away from the light
      {{{0, 0, 0}, {-10, 1, 0}, {0, 0, 1}, 0xFFFF}, 10, 0, 1, 64},
      // normal (-1, 0, 0), the back of the facet toward the viewer
      {{{0, 0, 0}, {0, 0, 1}, {0, 1, 0}, Word(16, 8, 4)}, 0, 0, 1, 0},
  };
  for (const auto& c : cases) {
    const double s = Brightness(c.r, c.u, c.t);
    SCOPED_TRACE(s);
    const Rgb want = Lit(FacetColour(c.tri.attribute), s);
    if (c.hand) {
      const uint8_t v = static_cast<uint8_t>(c.hand);
      EXPECT_EQ(want, (Rgb{v, v, v}));
    }
    const auto h = RenderPicture(Stl({c.tri}), {"0", "0", "120", "90"}).Histogram();
    ASSERT_EQ(h.size(), 2u);
    EXPECT_GT(h.at(Key(kBackground)), 0);
    EXPECT_GT(h.at(Key(want)), 500);
  }
}

// Both sides of a facet are drawn and lit alike: the cube with its vertex
// order (and so its normals) turned inward looks the same as the outward
// one, in its uncoloured grey; the ASCII and binary cubes alike.
TEST(StlrenderPicture, InwardModelLooksLikeOutwardModel) {
  const std::string dir = TempDir();
  std::string first;
  for (const char* name : {"cube.stl", "cube_inward.stl", "cube_binary.stl"}) {
    const std::string out = dir + "/" + name + ".png";
    const RunResult r = ::Run("stlrender", {DataPath(name), out});
    ASSERT_EQ(r.status, 0) << r.err;
    const Picture p = Decode(out);
    EXPECT_EQ(p.width, 800);  // default size
    EXPECT_EQ(p.height, 600);
    if (first.empty()) {
      first = p.rgb;
      // Three-quarter view: three faces in three shades of the grey.
      const auto h = p.Histogram();
      EXPECT_EQ(h.size(), 4u);
      EXPECT_EQ(h.count(Key(kNoColour)), 0u);  // every face shaded below full light
    } else {
      EXPECT_TRUE(p.rgb == first) << name;
    }
  }
}

TEST(StlrenderPicture, StandardInputAndOutput) {
  const std::string model = Stl(Cube());
  const RunResult r = ::Run("stlrender", {"-", "-", "0", "0", "200", "100"}, model);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string dir = TempDir();
  WriteFile(dir + "/out.png", r.out);
  EXPECT_EQ(
      Mismatches(Decode(dir + "/out.png"), 55, 145, 5, 95, FaceColour(kPlusX, 0.25 + 0.75 * 8 / 9)),
      0);
  // "-" followed by anything is still the standard streams.
  const RunResult again = ::Run("stlrender", {"-model", "-picture", "0", "0", "200", "100"}, model);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, r.out);
}

TEST(StlrenderPicture, OneByOnePictureAndLimbOfTheLatitudeRange) {
  const std::string model = Stl(Cube());
  for (const char* lat : {"90", "-90", "0"}) {
    const Picture p = RenderPicture(model, {"720", lat, "1", "1"});
    EXPECT_EQ(p.width, 1);
    EXPECT_EQ(p.height, 1);
  }
}

// ---- messages -------------------------------------------------------------------

const char* const kUsage =
    "usage : stlrender STL PNG\n"
    "        stlrender STL PNG lon lat\n"
    "        stlrender STL PNG lon lat width height\n";

TEST(StlrenderMessages, UsageForEveryOtherArgumentCount) {
  const std::vector<std::vector<std::string>> wrong = {
      {}, {"a"}, {"a", "b", "0"}, {"a", "b", "0", "0", "1"}, {"a", "b", "0", "0", "1", "1", "1"}};
  for (const auto& args : wrong) {
    const RunResult r = ::Run("stlrender", args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kUsage);
  }
}

TEST(StlrenderMessages, BadViewDirectionAndImageSize) {
  const std::string dir = TempDir();
  WriteFile(dir + "/m.stl", Stl(Cube()));
  const std::string png = dir + "/m.png";
  for (const auto& [lon, lat] : std::vector<std::pair<std::string, std::string>>{{"abc", "0"},
                                                                                 {"0", "x"},
                                                                                 {"1e", "0"},
                                                                                 {"10deg", "0"},
                                                                                 {"", "0"},
                                                                                 {"nan", "0"},
                                                                                 {"inf", "0"},
                                                                                 {"0", "90.5"},
                                                                                 {"0", "-91"},
                                                                                 {"1e999", "0"}}) {
    const RunResult r = ::Run("stlrender", {dir + "/m.stl", png, lon, lat});
    EXPECT_EQ(r.status, 1) << lon << " " << lat;
    EXPECT_EQ(r.err, "bad view direction.\n") << lon << " " << lat;
  }
  for (const auto& [w, h] :
       std::vector<std::pair<std::string, std::string>>{{"0", "10"},
                                                        {"10", "0"},
                                                        {"-5", "10"},
                                                        {"1.5", "10"},
                                                        {"abc", "10"},
                                                        {"10", ""},
                                                        {"16385", "10"},
                                                        {"10", "99999999999999999999"},
                                                        {" 5", "10"},
                                                        {"+5", "10"}}) {
    const RunResult r = ::Run("stlrender", {dir + "/m.stl", png, "0", "0", w, h});
    EXPECT_EQ(r.status, 1) << w << " " << h;
    EXPECT_EQ(r.err, "bad image size.\n") << w << " " << h;
  }
  // Nothing was written by any refused command.
  EXPECT_NE(access(png.c_str(), F_OK), 0);
}

TEST(StlrenderMessages, ModelMessagesComeFromTheReader) {
  const std::string dir = TempDir();
  RunResult r = ::Run("stlrender", {dir + "/none.stl", dir + "/x.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "STL file not found.\n");
  r = ::Run("stlrender", {"-", dir + "/x.png"}, "solid x\nendsolid x\n");
  EXPECT_EQ(r.err, "facet data read error.\n");
  EXPECT_NE(access((dir + "/x.png").c_str(), F_OK), 0);
}

TEST(StlrenderMessages, PictureThatCannotBeStored) {
  const std::string dir = TempDir();
  WriteFile(dir + "/m.stl", Stl(Cube()));
  // No such folder; a folder in place of the file.
  for (const std::string& out : {dir + "/no/such/x.png", dir}) {
    const RunResult r = ::Run("stlrender", {dir + "/m.stl", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "PNG file not stored.\n");
  }
  // A device that takes no byte: the write error, and the device is kept.
  RunResult r = ::Run("stlrender", {dir + "/m.stl", "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "PNG data write error.\n");
  struct stat st;
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  // Standard output that takes no byte.
  const std::string err = dir + "/err";
  EXPECT_EQ(Shell(Program() + " '" + dir + "/m.stl' - > /dev/full 2> '" + err + "'"), 1);
  EXPECT_EQ(ReadFile(err), "PNG data write error.\n");
}

// A named file that the system stops growing (file size limit) is not left
// behind half written: the write error, and the file is gone.
TEST(StlrenderMessages, PartialPictureKeepsTheOlderPicture) {
  const std::string dir = TempDir();
  // Many small facets in many colours: a picture that compresses poorly.
  std::vector<Tri> tris;
  for (int i = 0; i < 40; ++i)
    for (int j = 0; j < 40; ++j) {
      const float y = static_cast<float>(i), z = static_cast<float>(j);
      tris.push_back({{0, y, z},
                      {0, y + 1, z},
                      {0, y, z + 1},
                      Word((i * 7 + j) % 32, (j * 5 + i * 3) % 32, (i * j) % 32)});
    }
  WriteFile(dir + "/m.stl", Stl(tris));
  const std::string png = dir + "/m.png";
  const std::string cmd = Program() + " '" + dir + "/m.stl' '" + png + "' 0 0 400 400";
  ASSERT_EQ(Shell(cmd), 0);
  struct stat st;
  ASSERT_EQ(stat(png.c_str(), &st), 0);
  ASSERT_GT(st.st_size, 4096);  // more than the limit below
  const std::string err = dir + "/err";
  EXPECT_EQ(Shell("ulimit -f 2; trap '' XFSZ; " + cmd + " 2> '" + err + "'"), 1);
  EXPECT_EQ(ReadFile(err), "PNG data write error.\n");
  ASSERT_EQ(stat(png.c_str(), &st), 0);  // the picture of the first run, whole
  EXPECT_GT(st.st_size, 4096);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                          std::filesystem::directory_iterator()),
            3);  // m.stl, m.png, err: no temporary file left
}

}  // namespace
