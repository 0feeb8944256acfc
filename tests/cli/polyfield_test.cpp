// polyfield end to end, against values worked out independently: the unit
// cube's listed values and the prism's closed form in SI units, a sphere and
// a rotating sphere, Kleopatra's slopes recomputed from surfgrav_m's lines,
// the gradient tensor against differences of the attraction and its trace,
// format round trips, the check, and the command line's rules.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/prism.h"
#include "tests/support/run.h"
#include "tests/support/shapes.h"

namespace {

constexpr double kG = 6.67430e-11;

// A table's rows (lines that do not start with '#'), and its column names
// (the last '#' line, units stripped).
struct Table {
  std::vector<std::string> names, header;
  std::vector<std::vector<double>> rows;
  size_t Col(const std::string& name) const {
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return i;
    ADD_FAILURE() << "no column " << name;
    return 0;
  }
  double At(size_t row, const std::string& name) const { return rows.at(row).at(Col(name)); }
};

Table Parse(const std::string& text, char sep = '\t') {
  Table t;
  std::istringstream in(text);
  std::string line, last;
  while (std::getline(in, line)) {
    if (line.rfind("# ", 0) == 0) {
      t.header.push_back(line.substr(2));
      last = line.substr(2);
      continue;
    }
    std::vector<double> row;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, sep);)
      row.push_back(std::strtod(cell.c_str(), nullptr));
    t.rows.push_back(row);
  }
  std::istringstream names(last);
  for (std::string name; std::getline(names, name, sep);)
    t.names.push_back(name.substr(0, name.find('[')));
  return t;
}

// The header line that starts with `key`, its text after the key.
std::string HeaderValue(const Table& t, const std::string& key) {
  for (const std::string& h : t.header)
    if (h.rfind(key, 0) == 0) return h.substr(key.size());
  ADD_FAILURE() << "no header " << key;
  return "";
}

RunResult Polyfield(const std::vector<std::string>& args, const std::string& input = "") {
  return ::Run("polyfield", args, input);
}

// An icosphere of radius r, `level` times subdivided, as vertex/face text.
std::string IcosphereText(int level, double r) {
  const Shape sphere = ::Icosphere(level, r);
  std::ostringstream out;
  out.precision(17);
  out << sphere.vertices.size() / 3 << " " << sphere.faces.size() / 3 << "\n";
  for (size_t i = 0; i < sphere.vertices.size(); i += 3)
    out << sphere.vertices[i] << " " << sphere.vertices[i + 1] << " " << sphere.vertices[i + 2]
        << "\n";
  for (size_t i = 0; i < sphere.faces.size(); i += 3)
    out << sphere.faces[i] << " " << sphere.faces[i + 1] << " " << sphere.faces[i + 2] << "\n";
  return out.str();
}

std::string Write(const std::string& name, const std::string& data) {
  const std::string path = TempDir() + "/" + name;
  WriteFile(path, data);
  return path;
}

// ------------------------------------------------------------ SI values

// The unit cube, 1 km on a side, 2000 kg/m^3, against the rectangular
// prism's closed form (the eight-corner sum of Nagy 1966 for U, of Banerjee
// and Das Gupta 1977 for g; tests/support/prism.h) at the centre and outside,
// times G rho and the unit factors (km: 10^6 for U, 10^3 for g).
TEST(PolyfieldSi, UnitCubeInKilometres) {
  const RunResult r =
      Polyfield({"field", DataPath("cube.stl"), "-", "--density", "2000", "--unit", "km"},
                "0.5 0.5 0.5\n2 0.3 0.4\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const Table t = Parse(r.out);
  ASSERT_EQ(t.rows.size(), 2u);
  const double Grho = kG * 2000;
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1}, centre[3] = {0.5, 0.5, 0.5};
  const double U0 = Prism(lo, hi, centre).U;  // 2.3800773639795...
  EXPECT_NEAR(t.At(0, "U"), U0 * Grho * 1e6, 1e-12 * Grho * 1e6 * U0);
  EXPECT_NEAR(t.At(0, "gx"), 0, 1e-15);
  const double p[3] = {2, 0.3, 0.4};
  const PrismField want = Prism(lo, hi, p);
  EXPECT_NEAR(t.At(1, "U"), want.U * Grho * 1e6, 1e-11 * want.U * Grho * 1e6);
  for (const auto& [name, value] : {std::pair{"gx", want.gx}, {"gy", want.gy}, {"gz", want.gz}})
    EXPECT_NEAR(t.At(1, name), value * Grho * 1e3, 1e-11 * std::fabs(want.gx) * Grho * 1e3) << name;
  EXPECT_NE(r.out.find("U[m^2/s^2]"), std::string::npos);
  EXPECT_NE(r.out.find("gx[m/s^2]"), std::string::npos);
}

// A sphere of radius 10 (an icosphere of 20480 faces, within 1e-3 of the
// sphere), 3000 kg/m^3: at the centre U = 2 pi G rho R^2 (3/2), on the
// surface 4/3 pi G rho R^2; the attraction at a facet centroid at distance r
// from the centre is 4/3 pi G rho r toward it.
TEST(PolyfieldSi, SphereAndItsSurface) {
  const std::string model = Write("sphere.vf.txt", IcosphereText(5, 10));
  const double Grho = kG * 3000, R = 10;
  RunResult r = Polyfield({"field", model, "-", "--density", "3000"}, "0 0 0\n0 0 20\n");
  ASSERT_EQ(r.status, 0) << r.err;
  Table t = Parse(r.out);
  EXPECT_NEAR(t.At(0, "U"), 2 * std::numbers::pi * Grho * R * R,
              2e-3 * 2 * std::numbers::pi * Grho * R * R);
  const double mass_term = 4.0 / 3 * std::numbers::pi * Grho * R * R * R;
  EXPECT_NEAR(t.At(1, "U"), mass_term / 20, 3e-3 * mass_term / 20);
  EXPECT_NEAR(t.At(1, "gz"), -mass_term / 400, 3e-3 * mass_term / 400);

  r = Polyfield({"surface", model, "--density", "3000"});
  ASSERT_EQ(r.status, 0) << r.err;
  t = Parse(r.out);
  ASSERT_EQ(t.rows.size(), 20480u);
  for (size_t f = 0; f < t.rows.size(); f += 97) {
    const double x = t.At(f, "cx"), y = t.At(f, "cy"), z = t.At(f, "cz");
    const double d = std::sqrt(x * x + y * y + z * z), g = 4.0 / 3 * std::numbers::pi * Grho * d;
    EXPECT_NEAR(t.At(f, "g"), g, 3e-3 * g) << f;
    EXPECT_NEAR(t.At(f, "gx"), -g * x / d, 3e-3 * g) << f;
    EXPECT_LT(t.At(f, "slope"), 1.0) << f;  // nearly straight down everywhere
    EXPECT_NEAR(t.At(f, "U/U0"), 2.0 / 3, 3e-3) << f;
  }
}

// The same sphere spinning about z once in 2 hours: the effective gravity
// is g + omega^2 r_perp (r_perp the centroid's distance vector from the
// axis, in metres), to the bit pattern of the sum; the effective potential
// U + omega^2 |r_perp|^2 / 2.
TEST(PolyfieldSi, RotatingSphereEffectiveGravity) {
  const std::string model = Write("sphere.vf.txt", IcosphereText(3, 10));
  const RunResult r =
      Polyfield({"surface", model, "--density", "3000", "--unit", "km", "--spin-period", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Table t = Parse(r.out);
  const double w = 2 * std::numbers::pi / 7200, w2 = w * w;
  for (size_t f = 0; f < t.rows.size(); f += 13) {
    const double x = t.At(f, "cx") * 1000, y = t.At(f, "cy") * 1000;
    EXPECT_NEAR(t.At(f, "gxeff"), t.At(f, "gx") + w2 * x, 1e-15) << f;
    EXPECT_NEAR(t.At(f, "gyeff"), t.At(f, "gy") + w2 * y, 1e-15) << f;
    EXPECT_EQ(t.At(f, "gzeff"), t.At(f, "gz")) << f;
    EXPECT_NEAR(t.At(f, "Ueff"), t.At(f, "U") + 0.5 * w2 * (x * x + y * y), 1e-9) << f;
    // Closed form of the rotating sphere at the centroid (the icosphere is
    // within 1e-2 of the sphere at this level).
    const double z = t.At(f, "cz") * 1000, d = std::sqrt(x * x + y * y + z * z);
    const double g = 4.0 / 3 * std::numbers::pi * kG * 3000 * d;
    EXPECT_NEAR(t.At(f, "gxeff"), -g * x / d + w2 * x, 2e-2 * g) << f;
  }
  // Spinning needs physical units.
  const RunResult bad = Polyfield({"surface", model, "--spin-period", "2"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "polyfield: --spin-period needs --density, --mass or --gm (SI units)\n");
}

// ------------------------------------------------------------ surface

// Kleopatra's slopes, recomputed from surfgrav_m's lines (vertices and the
// attraction at each centroid) as a user would: the angle between the
// facet's normal and -g, area-weighted above 20 and 30 degrees.
TEST(PolyfieldSurface, KleopatraSlopesAsRecomputedFromSurfgrav) {
  const std::string model = DataPath("models/kleopatra.stl");
  const RunResult s = ::Run("surfgrav_m", {model}, "", {"THREADS=2"});
  ASSERT_EQ(s.status, 0);
  std::istringstream in(s.out);
  std::string line;
  std::getline(in, line), std::getline(in, line);  // the volume and centre lines
  double total = 0, above20 = 0, above30 = 0;
  std::vector<double> slope;
  while (std::getline(in, line)) {
    std::istringstream w(line);
    double v[13];
    for (double& x : v) w >> x;
    const double u[3] = {v[3] - v[0], v[4] - v[1], v[5] - v[2]};
    const double q[3] = {v[6] - v[0], v[7] - v[1], v[8] - v[2]};
    const double n[3] = {u[1] * q[2] - u[2] * q[1], u[2] * q[0] - u[0] * q[2],
                         u[0] * q[1] - u[1] * q[0]};
    const double nn = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    const double g[3] = {v[10], v[11], v[12]};
    const double gg = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
    const double a =
        std::acos(-(n[0] * g[0] + n[1] * g[1] + n[2] * g[2]) / (nn * gg)) * 180 / std::numbers::pi;
    slope.push_back(a);
    total += nn / 2;
    if (a > 20) above20 += nn / 2;
    if (a > 30) above30 += nn / 2;
  }
  const RunResult r = Polyfield({"surface", model, "--summary", "--slopes", "20,30"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Table t = Parse(r.out);
  ASSERT_EQ(t.rows.size(), slope.size());
  // surfgrav prints 7 digits: slopes agree to about 1e-4 degrees.
  for (size_t f = 0; f < slope.size(); f += 37) EXPECT_NEAR(t.At(f, "slope"), slope[f], 1e-3) << f;
  EXPECT_NEAR(std::stod(HeaderValue(t, "area fraction with slope above 20 deg: ")), above20 / total,
              2e-3);
  EXPECT_NEAR(std::stod(HeaderValue(t, "area fraction with slope above 30 deg: ")), above30 / total,
              2e-3);
  EXPECT_NEAR(above30 / total, 0.040, 0.005);  // the 4.0 % steeper than 30 degrees
}

// A facet of zero area (a repeated vertex) has no slope: not a number, and
// left out of the statistics, which stay those of the cube.
TEST(PolyfieldSurface, ZeroAreaFacetHasNoSlope) {
  std::string vf = ReadFile(DataPath("cube.vf.txt"));
  vf.replace(0, vf.find('\n'), "8 13");
  vf += "0 1 1\n";
  const RunResult r = Polyfield(
      {"surface", Write("degenerate.vf.txt", vf), "--summary", "--no-check", "--slopes", "89"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Table t = Parse(r.out);
  ASSERT_EQ(t.rows.size(), 13u);
  EXPECT_TRUE(std::isnan(t.At(12, "slope")));
  EXPECT_EQ(t.At(12, "area"), 0);
  EXPECT_EQ(HeaderValue(t, "area fraction with slope above 89 deg: "), "0");
}

// One pass gives the coloured model and the picture; the range used is
// reported; a range given is used as given.
TEST(PolyfieldSurface, ColouredModelAndPicture) {
  const std::string dir = TempDir();
  const RunResult r =
      Polyfield({"surface", DataPath("models/kleopatra.stl"), "--stl", dir + "/k.stl", "--png",
                 dir + "/k.png", "--colour", "U/U0", "--range", "0.6,0.95", "--map", "grey",
                 "--size", "200,150", "-o", dir + "/k.tsv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "polyfield: colour U/U0 over [0.6, 0.95]\n");
  EXPECT_EQ(ReadFile(dir + "/k.stl").size(), 84u + 50 * 4092);
  EXPECT_EQ(ReadFile(dir + "/k.png").substr(1, 3), "PNG");
  const Table t = Parse(ReadFile(dir + "/k.tsv"));
  EXPECT_EQ(HeaderValue(t, "colour: "), "U/U0 over [0.6, 0.95] with the map grey");
}

// ------------------------------------------------------------ gradient

// The tensor against central differences of the attraction (step 1e-4),
// and its trace: -4 pi inside (G rho = 1), 0 outside.
TEST(PolyfieldGradient, DifferencesOfTheAttractionAndTheTrace) {
  const std::string model = DataPath("models/kleopatra.vf.txt");
  const std::vector<std::array<double, 3>> at = {{0, 0, 0}, {60, 10, -5}, {200, 150, 100}};
  const double h = 1e-4;
  std::string points;
  for (const auto& p : at) {
    points += std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + "\n";
    for (int k = 0; k < 3; ++k)
      for (double s : {-h, h}) {
        auto q = p;
        q[k] += s;
        char buf[128];
        std::snprintf(buf, sizeof buf, "%.17g %.17g %.17g\n", q[0], q[1], q[2]);
        points += buf;
      }
  }
  const RunResult r = Polyfield({"field", model, "-", "--gradient"}, points);
  ASSERT_EQ(r.status, 0) << r.err;
  const Table t = Parse(r.out);
  const char* g[3] = {"gx", "gy", "gz"};
  const char* T[3][3] = {{"Uxx", "Uxy", "Uxz"}, {"Uxy", "Uyy", "Uyz"}, {"Uxz", "Uyz", "Uzz"}};
  for (size_t i = 0; i < at.size(); ++i) {
    const size_t row = 7 * i;
    double scale = 0;
    for (int a = 0; a < 3; ++a) scale = std::max(scale, std::fabs(t.At(row, T[a][a])));
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) {
        const double d = (t.At(row + 2 + 2 * b, g[a]) - t.At(row + 1 + 2 * b, g[a])) / (2 * h);
        EXPECT_NEAR(t.At(row, T[a][b]), d, 1e-6 * scale) << i << " " << T[a][b];
      }
    const double trace = t.At(row, "Uxx") + t.At(row, "Uyy") + t.At(row, "Uzz");
    EXPECT_NEAR(trace, i < 2 ? -4 * std::numbers::pi : 0, 1e-9 * scale) << i;
  }
}

// ------------------------------------------------------------ formats

// Every format and back: the vertices and faces bit for bit (text formats
// carry 17 digits; binary PLY doubles).
TEST(PolyfieldFormats, RoundTripsKeepEveryBit) {
  const std::string dir = TempDir(), start = dir + "/k.vf.txt";
  ASSERT_EQ(Polyfield({"convert", DataPath("models/kleopatra.vf.txt"), start}).status, 0);
  const std::string canonical = ReadFile(start);
  for (const std::string ext : {"obj", "ply", "off", "tab"}) {
    for (bool binary : {false, true}) {
      if (binary && ext != "ply") continue;
      const std::string mid = dir + "/k." + ext, back = dir + "/back.vf.txt";
      std::vector<std::string> args = {"convert", start, mid};
      if (binary) args.push_back("--binary");
      RunResult r = Polyfield(args);
      ASSERT_EQ(r.status, 0) << ext << r.err;
      r = Polyfield({"convert", mid, back});
      ASSERT_EQ(r.status, 0) << ext << r.err;
      EXPECT_TRUE(ReadFile(back) == canonical) << ext << (binary ? " binary" : "");
    }
  }
  // STL carries floats: the STL model, through ASCII and binary STL, keeps
  // every float.
  const std::string a = dir + "/a.stl", b = dir + "/b.stl", v1 = dir + "/1.vf.txt",
                    v2 = dir + "/2.vf.txt";
  ASSERT_EQ(Polyfield({"convert", DataPath("models/kleopatra.stl"), v1}).status, 0);
  ASSERT_EQ(Polyfield({"convert", v1, a, "--ascii"}).status, 0);
  ASSERT_EQ(Polyfield({"convert", a, b}).status, 0);
  ASSERT_EQ(Polyfield({"convert", b, v2}).status, 0);
  EXPECT_TRUE(ReadFile(v1) == ReadFile(v2));
}

// convert to binary STL says how much float32 rounds, and refuses a model
// the rounding makes unfit: a 1 cm cube 1e7 from the origin, where floats
// lie 1 apart, would collapse to a point.
// The unit cube of tests/data/cube.vf.txt, `side` long, moved by `at` along
// every axis, with 17 digits.
std::string MovedCube(double at, double side = 1) {
  std::istringstream in(ReadFile(DataPath("cube.vf.txt")));
  size_t V, F;
  in >> V >> F;
  std::ostringstream out;
  out.precision(17);
  out << V << " " << F << "\n";
  for (size_t i = 0; i < 3 * V; ++i) {
    double x;
    in >> x;
    out << at + side * x << (i % 3 == 2 ? "\n" : " ");
  }
  for (std::string w; in >> w;) out << w << " ";
  return out.str();
}

TEST(PolyfieldFormats, BinaryStlRoundingNotedOrRefused) {
  const std::string out = TempDir() + "/out.stl";
  RunResult r = Polyfield({"convert", DataPath("cube.vf.txt"), out});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  // 0.1 is no float: every coordinate of the moved cube rounds.
  const std::string moved = Write("moved.vf.txt", MovedCube(0.1));
  r = Polyfield({"convert", moved, out});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.rfind("polyfield: " + out + ": 24 of 24 coordinates rounded to float32", 0), 0u)
      << r.err;
  const std::string far = Write("far.vf.txt", MovedCube(1e7, 0.01));
  std::filesystem::remove(out);
  r = Polyfield({"convert", far, out});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the model rounded is unfit for the field formulas"), std::string::npos)
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(Polyfield({"convert", far, out, "--ascii"}).status, 0);
}

// The same field from the STL and the vertex/face model of Kleopatra (the
// latter in double precision: within the float rounding of the former).
TEST(PolyfieldFormats, SameFieldFromEveryFormat) {
  const std::string points = "0 0 0\n150 20 10\n";
  const Table a = Parse(Polyfield({"field", DataPath("models/kleopatra.stl"), "-"}, points).out);
  const Table b = Parse(Polyfield({"field", DataPath("models/kleopatra.vf.txt"), "-"}, points).out);
  ASSERT_EQ(a.rows.size(), 2u);
  ASSERT_EQ(b.rows.size(), 2u);
  for (size_t i = 0; i < 2; ++i)
    EXPECT_NEAR(a.At(i, "U"), b.At(i, "U"), 1e-6 * std::fabs(b.At(i, "U")));
}

// ------------------------------------------------------------ check

TEST(PolyfieldCheck, ClosedHoledHalfFlippedAndInward) {
  const std::string cube = ReadFile(DataPath("cube.vf.txt"));
  // The cube's faces, one removed, half reversed, all reversed.
  std::istringstream in(cube);
  size_t V, F;
  in >> V >> F;
  std::vector<std::string> vertex(V);
  std::string line;
  std::getline(in, line);
  for (auto& v : vertex) std::getline(in, v);
  std::vector<std::array<int, 3>> face(F);
  for (auto& f : face) in >> f[0] >> f[1] >> f[2];
  auto model = [&](size_t drop, size_t flip_every) {
    std::string s = std::to_string(V) + " " + std::to_string(F - (drop < F)) + "\n";
    for (const auto& v : vertex) s += v + "\n";
    for (size_t i = 0; i < F; ++i) {
      if (i == drop) continue;
      auto f = face[i];
      if (flip_every && i % flip_every == 0) std::swap(f[1], f[2]);
      s += std::to_string(f[0]) + " " + std::to_string(f[1]) + " " + std::to_string(f[2]) + "\n";
    }
    return s;
  };
  const struct {
    std::string name, text, verdict;
  } cases[] = {
      {"closed", model(F, 0), "fit for the field formulas"},
      {"holed", model(3, 0), "unfit: not closed: 3 boundary edges"},
      {"half", model(F, 2), "unfit: orientation not consistent"},
      {"inward", model(F, 1), "unfit: oriented inward"},
  };
  for (const auto& c : cases) {
    const std::string path = Write(c.name + ".vf.txt", c.text);
    const RunResult r = Polyfield({"check", path});
    EXPECT_EQ(r.status, c.verdict[0] == 'f' ? 0 : 1) << c.name;
    EXPECT_NE(r.out.find("verdict\t" + c.verdict), std::string::npos) << c.name << r.out;
    const RunResult field = Polyfield({"field", path, "-"}, "2 2 2\n");
    if (c.verdict[0] == 'f') {
      EXPECT_EQ(field.status, 0) << c.name;
    } else {
      EXPECT_EQ(field.status, 1) << c.name;
      EXPECT_EQ(field.err.find("polyfield: " + path + ": unfit for the field formulas: "), 0u)
          << field.err;
      EXPECT_EQ(std::count(field.err.begin(), field.err.end(), '\n'), 1);
      EXPECT_EQ(Polyfield({"field", path, "-", "--no-check"}, "2 2 2\n").status, 0) << c.name;
    }
  }
  // STL normals that disagree with a sound winding are reported, and the
  // winding is what counts: the model is fit, its volume positive. (The
  // suite's reader turns facets to agree with their normals instead.)
  std::string bad = ReadFile(DataPath("cube_binary.stl"));
  for (size_t f = 0; f < 12; f += 2)
    for (size_t k = 0; k < 3; ++k) bad[84 + 50 * f + 4 * k + 3] ^= '\x80';  // sign bits
  const RunResult r = Polyfield({"check", Write("normals.stl", bad)});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("STL normals against the winding\t6 of 12\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("signed volume\t1\n"), std::string::npos) << r.out;
}

// Every solid of an ASCII STL is read, and check says how many, an empty
// one too. The corpus's README: two cubes of 12 facets each; one facet,
// then a solid without any. A binary STL has no solids to count.
TEST(PolyfieldCheck, SolidsOfAnAsciiStl) {
  const struct {
    std::string file, faces, solids;
  } cases[] = {
      {"ascii_two_solids_mixed_case_names.stl", "24", "2"},
      {"ascii_empty_second_solid.stl", "1", "2"},
  };
  for (const auto& c : cases) {
    const RunResult r = Polyfield({"check", DataPath("corpus/" + c.file)});
    EXPECT_NE(r.out.find("\nfaces\t" + c.faces + "\n"), std::string::npos) << c.file << r.out;
    const size_t at = r.out.find("\nSTL solids\t" + c.solids + "\n");
    ASSERT_NE(at, std::string::npos) << c.file << r.out;
    // With the STL's other line, after the components and before the volume.
    EXPECT_LT(r.out.find("\nnested components\t"), at) << r.out;
    EXPECT_LT(at, r.out.find("\nsigned volume\t")) << r.out;
    const size_t normals = r.out.find("\nSTL normals against the winding\t");
    if (normals != std::string::npos) {
      EXPECT_LT(at, normals) << r.out;
    }
  }
  EXPECT_NE(Polyfield({"check", DataPath("cube.stl")}).out.find("\nSTL solids\t1\n"),
            std::string::npos);
  EXPECT_EQ(Polyfield({"check", DataPath("cube_binary.stl")}).out.find("STL solids"),
            std::string::npos);
}

// ------------------------------------------------------------ command line

TEST(PolyfieldCommandLine, PointsHelpVersionAndErrors) {
  // Comments, blank lines and commas; a line that is not a point is refused
  // with its number.
  RunResult r =
      Polyfield({"field", DataPath("cube.stl"), "-"}, "# x y z\n\n0.5,0.5,0.5\n 2 2 2 # far\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Parse(r.out).rows.size(), 2u);
  r = Polyfield({"field", DataPath("cube.stl"), "-"}, "0 0 0\n1 2\n3 3 3\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "polyfield: -:2: expected three finite numbers x y z, found \"1 2\"\n");
  EXPECT_EQ(r.out, "");
  // A NaN or an infinity is no point either, in a file as on standard input.
  r = Polyfield({"field", DataPath("cube.stl"), "-"}, "0 0 0\n# next\n0 nan 0\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "polyfield: -:3: expected three finite numbers x y z, found \"0 nan 0\"\n");
  EXPECT_EQ(r.out, "");
  const std::string infinite = TempDir() + "/infinite.txt";
  WriteFile(infinite, "1 1 1\n-inf 2 2 # far\n");
  r = Polyfield({"field", DataPath("cube.stl"), infinite});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "polyfield: " + infinite +
                       ":2: expected three finite numbers x y z, found \"-inf 2 2 \"\n");
  // Help and version.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"},
                                               {"field", "--help"},
                                               {"surface", "--help"},
                                               {"check", "--help"},
                                               {"convert", "--help"}})
    EXPECT_EQ(Polyfield(args).status, 0) << args[0];
  r = Polyfield({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("polyfield ", 0), 0u);
  // Unknown options and models.
  r = Polyfield({"field", DataPath("cube.stl"), "-", "--densty", "3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  r = Polyfield({"field", "/nonexistent.obj", "-"});
  EXPECT_EQ(r.err, "polyfield: /nonexistent.obj: cannot be opened\n");
  r = Polyfield(
      {"field", Write("bad.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n"), "-", "--no-check"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bad.off:6: vertex 7 does not exist (3 vertices)"), std::string::npos)
      << r.err;
}

// A mistyped option or command: the one most likely meant, else the list
// of commands; nothing suggested for a word near none.
TEST(PolyfieldCommandLine, DidYouMean) {
  const std::string
      cube = DataPath("cube.stl"),
      commands =
          " (commands: field, surface, harmonics, check, convert, fit, uncertainty, equilibria)";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"field", cube, "--densty", "3600"},
       "field: unknown option --densty; did you mean --density? (polyfield field --help)"},
      {{"surface", cube, "--spin-perdio=5"},
       "surface: unknown option --spin-perdio; did you mean --spin-period? (polyfield surface "
       "--help)"},
      {{"field", cube, "-", "--frobnicate"},
       "The following argument was not expected: --frobnicate (polyfield field --help)"},
      {{"frobnicate", cube}, "unknown command \"frobnicate\"" + commands},
      {{"surfce", cube}, "unknown command \"surfce\"" + commands + "; did you mean surface?"},
      {{}, "A subcommand is required (polyfield --help)"},
  };
  for (const auto& [args, err] : cases) {
    const RunResult r = Polyfield(args, "");
    EXPECT_EQ(r.status, 1) << err;
    EXPECT_EQ(r.err, "polyfield: " + err + "\n");
  }
}

// The same bits for every thread count; CSV and NPY carry the same numbers.
TEST(PolyfieldCommandLine, ThreadsFormatsAndFullPrecision) {
  std::string points;
  for (int i = 0; i < 50; ++i)
    points += std::to_string(i * 7 % 300 - 150) + " 10 " + std::to_string(i) + "\n";
  const std::string model = DataPath("models/kleopatra.stl");
  const RunResult one = Polyfield({"field", model, "-", "--threads", "1"}, points);
  const RunResult three = Polyfield({"field", model, "-", "--threads", "3"}, points);
  ASSERT_EQ(one.status, 0);
  EXPECT_EQ(one.out, three.out);
  const RunResult csv = Polyfield({"field", model, "-", "--format", "csv"}, points);
  const Table a = Parse(one.out), b = Parse(csv.out, ',');
  ASSERT_EQ(a.rows, b.rows);
  const std::string npy = TempDir() + "/f.npy";
  ASSERT_EQ(Polyfield({"field", model, "-", "--format", "npy", "-o", npy}, points).status, 0);
  const std::string data = ReadFile(npy);
  EXPECT_EQ(data.substr(0, 6), "\x93NUMPY");
  EXPECT_NE(data.find("('U', '<f8')"), std::string::npos);
  // 17 significant digits where needed: the text reads back to the bits.
  EXPECT_EQ(one.out.find("e+00"), std::string::npos);
}

// ------------------------------------------------------------ trust

// Values that once gave NaN, a negative potential, or were dropped without
// a word: each refused before the model is read, naming the option.
TEST(PolyfieldTrust, BadParametersAreRefused) {
  const std::string cube = DataPath("cube.stl");
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"surface", cube, "--density", "2000", "--spin-period", "5", "--spin-axis", "0,0,0"},
       "--spin-axis: three numbers x, y, z, not all zero"},
      {{"field", cube, "-", "--density", "2000", "--G", "-6.7e-11"},
       "--G: m^3/(kg s^2), a positive number"},
      {{"field", cube, "-", "--density", "2000", "--G", "0"},
       "--G: m^3/(kg s^2), a positive number"},
      {{"field", cube, "-", "--density", "2000", "--G", "nan"},
       "--G: m^3/(kg s^2), a positive number"},
      {{"field", cube, "-", "--G", "6.7e-11"},
       "--G needs --density, --mass or --gm (without them the results are in G rho = 1)"},
      {{"field", cube, "-", "--tolerance", "1e-17"},
       "--tolerance: 1e-17 is below 1e-15, the rounding of the sums themselves (leave it out "
       "for the exact sum)"},
      {{"field", cube, "-", "--density", "-3"}, "--density: kg/m^3, a positive number"},
      {{"field", cube, "-", "--density", "3", "--mass", "5"},
       "--density, --mass and --gm are alternatives: give one"},
      {{"surface", cube, "--percentiles", "90,10", "--stl", "x.stl"},
       "--percentiles: two numbers LO, HI with 0 <= LO < HI <= 100"},
      // Model and points both on standard input: nothing to tell them apart.
      {{"field", "-", "-"}, "POINTS and MODEL cannot both be read from standard input"},
      // NPY has no header: the summary would be lost.
      {{"surface", cube, "--format", "npy", "--summary"},
       "--format npy holds the table only: --summary goes in the header of --format tsv or csv"},
      // A picture's format is its extension's.
      {{"surface", cube, "--picture", "x.jpg"},
       "--picture: x.jpg: the extension .jpg is not one of .png, .pdf, .svg (the picture's "
       "format)"},
  };
  for (const auto& c : cases) {
    const RunResult r = Polyfield(c.args, "0 0 2\n");
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, "polyfield: " + c.err + "\n");
    EXPECT_EQ(r.out, "") << c.err;
  }
}

// A run that fails, on any argument or on its table's file, replaces none
// of its outputs: every argument is checked and every output opened before
// the evaluation, and all are put in place together at the end.
TEST(PolyfieldTrust, FailedRunReplacesNoOutput) {
  const std::string dir = TempDir(), stl = dir + "/k.stl", png = dir + "/k.png",
                    tsv = dir + "/k.tsv";
  const std::string model = DataPath("models/kleopatra.stl");
  const std::vector<std::string> outputs = {"--stl", stl, "--png", png};
  const std::vector<std::vector<std::string>> bad = {
      {"--size", "8,8", "-o", tsv},          {"--view", "30,95", "-o", tsv},
      {"--colour", "nothing", "-o", tsv},    {"--range", "3,1", "-o", tsv},
      {"--percentiles", "50,50", "-o", tsv}, {"-o", dir + "/missing/k.tsv"},
      {"--map", dir + "/no.cm", "-o", tsv}};
  for (const auto& extra : bad) {
    for (const std::string& f : {stl, png, tsv}) WriteFile(f, "older");
    std::vector<std::string> args = {"surface", model};
    args.insert(args.end(), outputs.begin(), outputs.end());
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = Polyfield(args);
    EXPECT_EQ(r.status, 1) << extra[0];
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const std::string& f : {stl, png, tsv}) EXPECT_EQ(ReadFile(f), "older") << extra[0] << f;
  }
  std::vector<std::string> args = {"surface", model, "-o", tsv};
  args.insert(args.end(), outputs.begin(), outputs.end());
  ASSERT_EQ(Polyfield(args).status, 0);
  EXPECT_EQ(ReadFile(stl).size(), 84u + 50 * 4092);
  EXPECT_EQ(ReadFile(png).substr(1, 3), "PNG");
  EXPECT_NE(ReadFile(tsv).find("# colour: slope over"), std::string::npos);
}

// An output that is the model (by its name, another name or a link), the
// points, the colour map or another output of the run is refused, and the
// files read kept byte for byte.
TEST(PolyfieldTrust, OutputOverTheModelOrAnotherOutput) {
  const std::string dir = TempDir(), model = dir + "/cube.stl", map = BlueMap();
  const std::string original = ReadFile(DataPath("cube.stl"));
  WriteFile(model, original);
  ASSERT_EQ(link(model.c_str(), (dir + "/hard.stl").c_str()), 0);
  ASSERT_EQ(symlink("cube.stl", (dir + "/link.stl").c_str()), 0);
  const std::string colours = ReadFile(map);
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"surface", model, "-o", model}, "-o: " + model + " is the file of MODEL too"},
      {{"surface", model, "--png", dir + "/./cube.stl"},
       "--png: " + dir + "/./cube.stl is the file of MODEL too"},
      {{"surface", model, "--stl", dir + "/hard.stl"},
       "--stl: " + dir + "/hard.stl is the file of MODEL too"},
      {{"surface", model, "-o", dir + "/t", "--png", dir + "/t"},
       "--png: " + dir + "/t is the file of -o too"},
      {{"field", model, dir + "/p.txt", "-o", dir + "/p.txt"},
       "-o: " + dir + "/p.txt is the file of POINTS too"},
      {{"harmonics", model, "--degree", "2", "-o", dir + "/link.stl"},
       "-o: " + dir + "/link.stl is the file of MODEL too"},
      {{"convert", model, dir + "/link.stl"}, "OUT: " + dir + "/link.stl is the file of IN too"},
      {{"convert", model, model, "--ascii"}, "OUT: " + model + " is the file of IN too"},
      {{"surface", model, "--map", map, "--png", map},
       "--png: " + map + " is the file of --map too"},
  };
  WriteFile(dir + "/p.txt", "2 2 2\n");
  for (const auto& c : cases) {
    const RunResult r = Polyfield(c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, "polyfield: " + c.err + "\n");
  }
  EXPECT_TRUE(ReadFile(model) == original);
  EXPECT_TRUE(ReadFile(map) == colours);
  EXPECT_EQ(ReadFile(dir + "/p.txt"), "2 2 2\n");
}

// A file name with a newline stays in its comment line: every line that is
// not a row of numbers starts with '#', as numpy.loadtxt needs.
TEST(PolyfieldTrust, FileNameWithNewlinesStaysInTheHeader) {
  const std::string model = TempDir() + "/a\n1 2 3 4 5 6 7\nb.stl";
  WriteFile(model, ReadFile(DataPath("cube.stl")));
  const RunResult r = Polyfield({"field", model, "-"}, "2 2 2\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 6u);
  for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i][0], '#') << lines[i];
  EXPECT_NE(lines[1].find("a\\n1 2 3 4 5 6 7\\nb.stl"), std::string::npos) << lines[1];
}

// --format npy: each column's unit kept as its field's title
// (numpy.load(f).dtype.fields["U"][2] == "U[m^2/s^2]"), a["U"] as before.
TEST(PolyfieldTrust, NpyKeepsTheUnits) {
  const std::string npy = TempDir() + "/f.npy";
  ASSERT_EQ(Polyfield({"field", DataPath("cube.stl"), "-", "--density", "2000", "--format", "npy",
                       "-o", npy},
                      "2 2 2\n")
                .status,
            0);
  const std::string data = ReadFile(npy);
  EXPECT_NE(data.find("(('U[m^2/s^2]', 'U'), '<f8')"), std::string::npos) << data.substr(0, 300);
  EXPECT_NE(data.find("(('x[m]', 'x'), '<f8')"), std::string::npos);
}

// ------------------------------------------------------------ units

// A mass or GM instead of a density (density = M / V, = GM / (G V), stated
// in the header), and --scale for a model in an unlisted unit: the cube
// scaled by 1000 in metres is the cube in km.
TEST(PolyfieldUnits, MassGmAndScale) {
  const std::string cube = DataPath("cube.stl"), points = "0.5 0.5 0.5\n2 0.3 0.4\n";
  const RunResult density =
      Polyfield({"field", cube, "-", "--density", "2000", "--unit", "km"}, points);
  const RunResult mass = Polyfield({"field", cube, "-", "--mass", "2e12", "--unit", "km"}, points);
  ASSERT_EQ(mass.status, 0) << mass.err;
  EXPECT_EQ(Parse(mass.out).rows, Parse(density.out).rows);  // 2e12 / 1e9 is 2000 exactly
  EXPECT_EQ(HeaderValue(Parse(mass.out), "units: "),
            "SI; density 2000 kg/m^3 (mass 2e+12 kg / volume), G 6.6743e-11 m^3/(kg s^2), "
            "model lengths in km");
  const RunResult gm =
      Polyfield({"field", cube, "-", "--gm", "133.486", "--unit", "km"}, points);  // G 2e12
  ASSERT_EQ(gm.status, 0) << gm.err;
  const Table a = Parse(density.out), b = Parse(gm.out);
  for (size_t i = 0; i < 2; ++i) EXPECT_NEAR(b.At(i, "U"), a.At(i, "U"), 1e-14 * a.At(i, "U")) << i;
  const RunResult scaled = Polyfield({"field", cube, "-", "--density", "2000", "--scale", "1000"},
                                     "500 500 500\n2000 300 400\n");
  ASSERT_EQ(scaled.status, 0) << scaled.err;
  const Table c = Parse(scaled.out);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NEAR(c.At(i, "U"), a.At(i, "U"), 1e-13 * a.At(i, "U")) << i;
    EXPECT_NEAR(c.At(i, "gy"), a.At(i, "gy"), 1e-13 * std::fabs(a.At(i, "gx"))) << i;
  }
  EXPECT_NE(scaled.out.find("model lengths in m (the file's coordinates times 1000)"),
            std::string::npos);
}

// A likely slip of a unit is told on standard error; the run goes on.
TEST(PolyfieldUnits, LikelySlipsAreWarned) {
  const std::string cube = DataPath("cube.stl");
  const RunResult r = Polyfield({"harmonics", cube, "--degree", "2", "--mass", "2.5e12"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "polyfield: warning: the density (mass 2.5e+12 kg / volume) 2.5e+12 kg/m^3 is outside "
            "the 100 to 25000 kg/m^3 of solid bodies: is the model in km (--unit km) rather than "
            "m?\n");
  EXPECT_NE(r.out.find("\n0\t0\t1\t0\n"), std::string::npos);  // C00 = 1
  const RunResult spin = Polyfield({"surface", cube, "--density", "2.5", "--spin-period", "2e4"});
  EXPECT_EQ(spin.err.substr(0, 47), "polyfield: warning: --density 2.5 kg/m^3 is out");
  EXPECT_NE(spin.err.find("\npolyfield: warning: --spin-period 20000 h"), std::string::npos);
}

// The inertia tensor of the homogeneous body: the unit cube's M/6 on the
// diagonal (M = 1 for unit density) in check; in the summary times the
// density and the unit's metres to the fifth.
TEST(PolyfieldUnits, InertiaInCheckAndSummary) {
  RunResult r = Polyfield({"check", DataPath("cube.stl")});
  ASSERT_EQ(r.status, 0);
  const std::string key = "inertia tensor about the centre of mass (xx xy xz yy yz zz)\t";
  const size_t at = r.out.find(key);
  ASSERT_NE(at, std::string::npos) << r.out;
  std::istringstream in(r.out.substr(at + key.size()));
  double t[6];
  for (double& v : t) in >> v;
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(t[k], k == 0 || k == 3 || k == 5 ? 1.0 / 6 : 0, 1e-15);
  EXPECT_LT(r.out.find(key), r.out.find("verdict\t"));
  r = Polyfield(
      {"surface", DataPath("cube.stl"), "--summary", "--density", "3000", "--unit", "km"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string moments = HeaderValue(Parse(r.out), "principal moments of inertia: ");
  std::istringstream m(moments);
  for (int k = 0; k < 3; ++k) {
    double v;
    m >> v;
    EXPECT_NEAR(v, 3000 * 1e15 / 6, 1e-12 * 3000 * 1e15) << moments;
  }
  EXPECT_NE(moments.find(" kg m^2"), std::string::npos);
  const std::string gm = HeaderValue(Parse(r.out), "GM: ");
  EXPECT_NEAR(std::stod(gm), kG * 3000 * 1e9, 1e-15 * kG * 3000 * 1e9) << gm;
  EXPECT_NE(gm.find(" m^3/s^2"), std::string::npos);
}

// --progress into a file: a few lines, each with the share, the time
// elapsed and (but the last) the time left; never one per block.
TEST(PolyfieldProgress, AFewLinesWithAClockIntoAFile) {
  const RunResult r =
      ::Run("polyfield", {"surface", DataPath("models/eros.stl"), "--progress", "-o", "/dev/null"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.err);
  ASSERT_GE(lines.size(), 1u);
  EXPECT_LE(lines.size(), 11u) << r.err;
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind("polyfield: ", 0), 0u) << line;
    EXPECT_NE(line.find(" elapsed"), std::string::npos) << line;
  }
  EXPECT_EQ(lines.back().rfind("polyfield: 100%, ", 0), 0u) << lines.back();
  EXPECT_EQ(lines.back().find("left"), std::string::npos) << lines.back();
}

}  // namespace
