// The science library on its own: the checks of a request (each refused
// value named), the files of a run, the units, the surface of a box against
// the closed form of the rectangular prism (the eight-corner sum of Nagy
// 1966 for U and of Banerjee and Das Gupta 1977 for g, tests/support/prism.h),
// the field and tensor in SI units, area-weighted statistics by hand, the
// summary and the inertia tensor against the box's closed form, and one body
// evaluated from several threads at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <thread>

#include "common/failure.h"
#include "science/body.h"
#include "science/field.h"
#include "science/model.h"
#include "science/outputs.h"
#include "science/products.h"
#include "science/request.h"
#include "science/summary.h"
#include "science/surface.h"
#include "tests/support/prism.h"
#include "tests/support/run.h"
#include "tests/support/shapes.h"

namespace {

mesh::Mesh MeshOf(const Shape& s) {
  mesh::Mesh m;
  m.vertices = s.vertices;
  m.faces = s.faces;
  return m;
}

// The message of the Failure `f` throws (bare spelling), and its kind.
std::pair<std::string, Failure::Kind> Refusal(const std::function<void()>& f) {
  try {
    f();
  } catch (const Failure& e) {
    return {e.what(), e.kind()};
  }
  return {"(accepted)", Failure::Kind::kOther};
}

// ------------------------------------------------------------ requests

// Every value the faces once took silently (a zero spin axis gave NaN in
// every effective column, a G of -1 a negative potential, a G without a
// density was dropped, a tolerance below what double precision can promise
// was taken), each refused before any model is read, naming the quantity.
TEST(Requests, BadValuesAreRefusedByName) {
  using science::SurfaceRequest;
  const struct {
    const char* what;
    std::function<void(SurfaceRequest&)> change;
    std::string message;
  } cases[] = {
      {"zero spin axis",
       [](SurfaceRequest& r) {
         r.units.density = 2000;
         r.spin_period = 5;
         r.spin_axis = {0, 0, 0};
       },
       "spin_axis: three numbers x, y, z, not all zero"},
      {"NaN spin axis",
       [](SurfaceRequest& r) {
         r.spin_axis = {NAN, 0, 1};
       },
       "spin_axis: three numbers x, y, z, not all zero"},
      {"negative G",
       [](SurfaceRequest& r) {
         r.units.density = 2000;
         r.units.G = -6.7e-11;
       },
       "G: m^3/(kg s^2), a positive number"},
      {"zero G",
       [](SurfaceRequest& r) {
         r.units.density = 2000;
         r.units.G = 0;
       },
       "G: m^3/(kg s^2), a positive number"},
      {"NaN G",
       [](SurfaceRequest& r) {
         r.units.density = 2000;
         r.units.G = NAN;
       },
       "G: m^3/(kg s^2), a positive number"},
      {"G alone", [](SurfaceRequest& r) { r.units.G = 6.7e-11; },
       "G needs density, mass or gm (without them the results are in G rho = 1)"},
      {"tolerance below the floor", [](SurfaceRequest& r) { r.evaluation.tolerance = 1e-16; },
       "tolerance: 1e-16 is below 1e-15, the rounding of the sums themselves (leave it out "
       "for the exact sum)"},
      {"tolerance 1", [](SurfaceRequest& r) { r.evaluation.tolerance = 1; },
       "tolerance: not a number between 0 and 1 (1)"},
      {"spin without SI", [](SurfaceRequest& r) { r.spin_period = 2; },
       "spin_period needs density, mass or gm (SI units)"},
      {"negative spin",
       [](SurfaceRequest& r) {
         r.units.density = 1;
         r.spin_period = -2;
       },
       "spin_period: hours, a positive number"},
      {"density and mass",
       [](SurfaceRequest& r) {
         r.units.density = 1;
         r.units.mass = 1;
       },
       "density, mass and gm are alternatives: give one"},
      {"negative density", [](SurfaceRequest& r) { r.units.density = -1; },
       "density: kg/m^3, a positive number"},
      {"infinite GM", [](SurfaceRequest& r) { r.units.gm = INFINITY; },
       "gm: m^3/s^2, a positive number"},
      {"unit", [](SurfaceRequest& r) { r.units.unit = "ft"; },
       "unit: \"ft\" is not one of m, km, cm, mm"},
      {"scale", [](SurfaceRequest& r) { r.units.scale = 0; }, "scale: a positive number"},
      {"slopes",
       [](SurfaceRequest& r) {
         r.slopes = {10, 200};
       },
       "slopes: degrees from 0 to 180"},
      {"threads", [](SurfaceRequest& r) { r.evaluation.threads = 0; },
       "threads: not a number from 1 to 4096"},
  };
  for (const auto& c : cases) {
    SurfaceRequest r;
    c.change(r);
    const auto [message, kind] = Refusal([&] { science::Validate(r); });
    EXPECT_EQ(message, c.message) << c.what;
    EXPECT_EQ(kind, Failure::Kind::kBadValue) << c.what;
  }
  // What stays accepted: the floor itself, 0 (the exact sum), G with a GM.
  SurfaceRequest r;
  r.evaluation.tolerance = 1e-15;
  r.units.gm = 3.0e5;
  r.units.G = 6.6743e-11;
  EXPECT_EQ(Refusal([&] { science::Validate(r); }).first, "(accepted)");
  r.evaluation.tolerance = 0;
  EXPECT_EQ(Refusal([&] { science::Validate(r); }).first, "(accepted)");
}

// The colour range's percentiles as the program has always refused them,
// now in the module too (which took (90, 10) and (-50, 200)); the view and
// picture size in one place.
TEST(Requests, PictureValues) {
  const auto refusal = [](std::function<void(science::PictureRequest&)> change) {
    science::PictureRequest p;
    change(p);
    return Refusal([&] { science::Validate(p, science::ColourNames(false)); }).first;
  };
  const std::string percentiles = "percentiles: two numbers LO, HI with 0 <= LO < HI <= 100";
  EXPECT_EQ(refusal([](auto& p) { p.percentiles = {90, 10}; }), percentiles);
  EXPECT_EQ(refusal([](auto& p) { p.percentiles = {-50, 200}; }), percentiles);
  EXPECT_EQ(refusal([](auto& p) { p.percentiles = {NAN, 50}; }), percentiles);
  EXPECT_EQ(refusal([](auto& p) {
              p.range = std::pair{1.0, 1.0};
            }),
            "range: two numbers MIN, MAX with MIN < MAX");
  EXPECT_EQ(refusal([](auto& p) {
              p.size = std::pair{15u, 600u};
            }),
            "size: width and height from 16 to 16384 pixels");
  EXPECT_EQ(refusal([](auto& p) {
              p.view = {0, 91};
            }),
            "view: longitude and latitude in degrees, the latitude from -90 to 90");
  EXPECT_EQ(refusal([](auto& p) { p.colour = "facet"; }),
            "colour: \"facet\" is not a column of the table");
  EXPECT_EQ(refusal([](auto& p) { p.colour = "slopeeff"; }),
            "colour: \"slopeeff\" is not a column of the table");  // no spin
  EXPECT_EQ(refusal([](auto& p) { p.colour = "potential"; }), "(accepted)");
  // A figure's texts: UTF-8 of one line (cairo drew none of a Latin-1 title
  // and the run failed as a write error; a control character broke the SVG).
  EXPECT_EQ(refusal([](auto& p) { p.title = "Kleopatra \xe9t\xe9"; }),
            "title: not UTF-8 text (byte 11)");
  EXPECT_EQ(refusal([](auto& p) { p.label = "slope\n[deg]"; }),
            "label: one line of text, without control characters");
  EXPECT_EQ(refusal([](auto& p) { p.label = "pente [\u00b0], \u00e9t\u00e9"; }), "(accepted)");
}

// Each face spells a quantity its own way; file names, whatever they hold,
// are left as they are.
TEST(Requests, QuantitiesSpelledByTheFace) {
  const Failure f(Quantity("spin_period") + " needs " + Quantity("density") + " for {a}.stl");
  EXPECT_STREQ(f.what(), "spin_period needs density for {a}.stl");
  const auto option = [](std::string_view name) {
    std::string s = "--";
    for (char c : name) s += c == '_' ? '-' : c;
    return s;
  };
  EXPECT_EQ(f.Spelled(option), "--spin-period needs --density for {a}.stl");
}

// ------------------------------------------------------------ files

// The model replaced by its own table (-o naming it, by another name, a
// symbolic or a hard link), two outputs on one file, standard input read
// for both the model and the points, a NUL in a name: each refused.
TEST(Files, SameFileByNameOrIdentity) {
  const std::string dir = TempDir(), model = dir + "/m.stl";
  WriteFile(model, "solid\n");
  ASSERT_EQ(symlink(model.c_str(), (dir + "/link.stl").c_str()), 0);
  ASSERT_EQ(link(model.c_str(), (dir + "/hard.stl").c_str()), 0);
  const auto refusal = [&](const std::vector<std::pair<std::string, std::string>>& out,
                           const std::string& points = "p.txt") {
    return Refusal([&] {
             science::Validate(science::Files{{{"model", model}, {"points", points}}, out});
           })
        .first;
  };
  for (const std::string& same : {model, dir + "/./m.stl", dir + "/link.stl", dir + "/hard.stl"})
    EXPECT_EQ(refusal({{"output", same}}), "output: " + same + " is the file of model too") << same;
  // Two new files under one name, by different paths.
  EXPECT_EQ(refusal({{"output", dir + "/t.tsv"},
                     {"png", dir + "/../" + dir.substr(dir.rfind('/') + 1) + "/t.tsv"}})
                .substr(0, 5),
            "png: ");
  EXPECT_EQ(refusal({{"output", "-"}, {"stl", "-"}}),
            "stl: standard output is written already by another output");
  EXPECT_EQ(Refusal([&] {
              science::Validate(science::Files{{{"model", "-"}, {"points", "-"}}, {}});
            }).first,
            "points and model cannot both be read from standard input");
  EXPECT_EQ(refusal({{"png", std::string("a.png\0x", 7)}}), "png: the file name holds a NUL byte");
  EXPECT_EQ(refusal({{"output", dir + "/t.tsv"}, {"stl", dir + "/t.stl"}, {"png", ""}}),
            "(accepted)");
}

// Outputs opened before the run and committed together: until the commit,
// and after an abandoned run, the older files stand as they were.
TEST(Files, OutputsCommittedTogether) {
  const std::string dir = TempDir(), a = dir + "/a.tsv", b = dir + "/b.png";
  WriteFile(a, "old a");
  WriteFile(b, "old b");
  {
    science::Outputs outputs;
    std::fputs("new a", outputs.Open("output", a));
    std::fputs("new b", outputs.Open("png", b));
    EXPECT_EQ(Refusal([&] { outputs.Open("stl", dir + "/missing/c.stl"); }).first,
              dir + "/missing/c.stl: cannot be created: No such file or directory");
    // The run fails here: nothing is committed.
  }
  EXPECT_EQ(ReadFile(a), "old a");
  EXPECT_EQ(ReadFile(b), "old b");
  science::Outputs outputs;
  std::fputs("new a", outputs.Open("output", a));
  std::fputs("new b", outputs.Open("png", b));
  EXPECT_EQ(ReadFile(a), "old a");
  outputs.Commit();
  EXPECT_EQ(ReadFile(a), "new a");
  EXPECT_EQ(ReadFile(b), "new b");
  // None may replace a file the results were made from, by any name.
  science::Outputs over({{"model", a}});
  EXPECT_EQ(Refusal([&] { over.Open("output", dir + "/./a.tsv"); }).first,
            "output: " + dir + "/./a.tsv is the file of model too");
  EXPECT_EQ(ReadFile(a), "new a");
}

// A model's file: a NUL in its name refused, a missing one told apart (the
// module raises FileNotFoundError for it), the scale applied to every
// coordinate; arrays with indices that are not whole or name no vertex.
TEST(Files, ModelsFromFilesAndArrays) {
  EXPECT_EQ(
      Refusal([] { science::LoadModel(std::string("a.stl\0x", 7)); }),
      std::pair(std::string("model: the file name holds a NUL byte"), Failure::Kind::kBadValue));
  EXPECT_EQ(Refusal([] { science::LoadModel("/nonexistent.stl"); }),
            std::pair(std::string("/nonexistent.stl: cannot be opened"), Failure::Kind::kNotFound));
  const mesh::Mesh cube = science::LoadModel(DataPath("cube.vf.txt"), 2.5);
  for (double c : cube.vertices) EXPECT_TRUE(c == 0 || c == 2.5) << c;
  const double v[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  const double half[3] = {0, 1, 1.5}, far[3] = {0, 1, 3};
  const int64_t negative[3] = {0, -1, 2};
  EXPECT_EQ(Refusal([&] { science::ModelFromArrays(v, 3, half, 1); }).first,
            "faces: index 1.5 (face 0) is not a whole number");
  EXPECT_EQ(Refusal([&] { science::ModelFromArrays(v, 3, far, 1); }).first,
            "faces: vertex 3 does not exist (3 vertices)");
  EXPECT_EQ(Refusal([&] { science::ModelFromArrays(v, 3, negative, 1); }).first,
            "faces: vertex -1 does not exist (3 vertices)");
  const double whole[3] = {0, 1, 2};
  EXPECT_EQ(science::ModelFromArrays(v, 3, whole, 1).faces, (std::vector<uint32_t>{0, 1, 2}));
}

// ------------------------------------------------------------ units

// A mass or GM instead of a density: density = M / V, = GM / (G V), V in
// cubic metres; the factors of the SI results.
TEST(Units, DensityFromMassOrGm) {
  science::UnitsRequest r;
  r.unit = "km";
  r.mass = 6e12;
  science::Units u = science::Resolve(r, 2.0);  // 2 km^3
  EXPECT_DOUBLE_EQ(u.density, 3000);
  EXPECT_DOUBLE_EQ(u.Mass(2.0), 6e12);
  EXPECT_DOUBLE_EQ(u.PotentialFactor(), science::kG * 3000 * 1e6);
  r.mass.reset();
  r.gm = 400.0;
  r.G = 6.5e-11;
  u = science::Resolve(r, 2.0);
  EXPECT_DOUBLE_EQ(u.density, 400.0 / (6.5e-11 * 2e9));
  EXPECT_DOUBLE_EQ(u.GM(2.0), 400.0);
  EXPECT_EQ(Refusal([&] { science::Resolve(r, -1.0); }).first,
            "gm needs a model of positive volume (the volume is -1)");
  EXPECT_FALSE(science::Resolve(science::UnitsRequest{}, 2.0).Physical());
}

// ------------------------------------------------------------ field

// On a face the tensor jumps by 4 pi G rho n n^T: at points of the box's
// faces (in their planes exactly, off the triangles' edges) it is the mean
// of the two sides,
// trace -2 pi G rho, and its normal-normal component -2 pi G rho beside the
// prism's mean of the two sides (central differences of g across the face
// give the mean of the one-sided derivatives along it).
TEST(Field, TensorOnTheSurfaceIsTheMeanOfItsSides) {
  const double lo[3] = {0, 0, 0}, hi[3] = {2, 1, 0.5};
  const science::Body body(MeshOf(Box(lo, hi)), 1);
  science::FieldRequest request;
  request.units.density = 2500;
  request.gradient = true;
  const std::vector<double> x = {0.5, 2, 1.3}, y = {0.7, 0.3, 1}, z = {0, 0.4, 0.1};
  std::vector<double> U(3), gx(3), gy(3), gz(3), T(18);
  ASSERT_TRUE(science::FieldOf(body, request, 3, x.data(), y.data(), z.data(),
                               {U.data(), gx.data(), gy.data(), gz.data(), T.data()}, nullptr));
  const double Grho = science::kG * 2500;
  const int normal[3] = {5, 0, 3};  // zz, xx, yy: the faces z = 0, x = 2, y = 1
  for (size_t i = 0; i < 3; ++i) {
    const double trace = T[6 * i] + T[6 * i + 3] + T[6 * i + 5];
    EXPECT_NEAR(trace, -2 * std::numbers::pi * Grho, 1e-12 * 4 * std::numbers::pi * Grho) << i;
    const double p[3] = {x[i], y[i], z[i]};
    const int axis = i == 0 ? 2 : i == 1 ? 0 : 1;
    const double h = 1e-6;
    double q1[3] = {p[0], p[1], p[2]}, q0[3] = {p[0], p[1], p[2]};
    q1[axis] += h, q0[axis] -= h;
    const PrismField f1 = Prism(lo, hi, q1), f0 = Prism(lo, hi, q0);
    const double g1[3] = {f1.gx, f1.gy, f1.gz}, g0[3] = {f0.gx, f0.gy, f0.gz};
    EXPECT_NEAR(T[6 * i + normal[i]], (g1[axis] - g0[axis]) / (2 * h) * Grho, 1e-6 * Grho) << i;
  }
}

// The box [0, 2] x [0, 1] x [0, 0.5] km at 2500 kg/m^3 against the prism's
// closed form: at the centre and outside, U times G rho 10^6 (km), g times
// G rho 10^3; the tensor against central differences of the closed form's
// g (step 1e-4 km) and its trace, -4 pi G rho inside and 0 outside.
TEST(Field, BoxInKilometresAgainstThePrism) {
  const double lo[3] = {0, 0, 0}, hi[3] = {2, 1, 0.5};
  const science::Body body(MeshOf(Box(lo, hi)), 2);
  science::FieldRequest request;
  request.units.density = 2500;
  request.units.unit = "km";
  request.gradient = true;
  const std::vector<double> x = {1, 3, -0.7}, y = {0.5, 0.2, 1.4}, z = {0.25, 0.3, 2.1};
  std::vector<double> U(3), gx(3), gy(3), gz(3), T(18);
  ASSERT_TRUE(science::FieldOf(body, request, 3, x.data(), y.data(), z.data(),
                               {U.data(), gx.data(), gy.data(), gz.data(), T.data()}, nullptr));
  const double Grho = science::kG * 2500;
  for (size_t i = 0; i < 3; ++i) {
    const double p[3] = {x[i], y[i], z[i]};
    const PrismField want = Prism(lo, hi, p);
    EXPECT_NEAR(U[i], want.U * Grho * 1e6, 1e-12 * want.U * Grho * 1e6) << i;
    // At the centre g is 0 by symmetry: the sums' rounding is measured
    // against the box's own scale of attraction, G rho times its size.
    const double scale = std::max(std::hypot(want.gx, want.gy, want.gz), 1.0) * Grho * 1e3;
    EXPECT_NEAR(gx[i], want.gx * Grho * 1e3, 1e-12 * scale) << i;
    EXPECT_NEAR(gy[i], want.gy * Grho * 1e3, 1e-12 * scale) << i;
    EXPECT_NEAR(gz[i], want.gz * Grho * 1e3, 1e-12 * scale) << i;
    // Tensor row a, column b: d g_a / d p_b, by differences of the closed
    // form (truncation about h^2 |g'''|, well below 1e-7 of the diagonal).
    const double h = 1e-4;
    const int index[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
    for (int b = 0; b < 3; ++b) {
      double q1[3] = {p[0], p[1], p[2]}, q0[3] = {p[0], p[1], p[2]};
      q1[b] += h, q0[b] -= h;
      const PrismField f1 = Prism(lo, hi, q1), f0 = Prism(lo, hi, q0);
      const double d[3] = {(f1.gx - f0.gx) / (2 * h), (f1.gy - f0.gy) / (2 * h),
                           (f1.gz - f0.gz) / (2 * h)};
      for (int a = 0; a < 3; ++a)
        EXPECT_NEAR(T[6 * i + index[a][b]], d[a] * Grho, 1e-7 * Grho) << i << a << b;
    }
    const double trace = T[6 * i] + T[6 * i + 3] + T[6 * i + 5];
    EXPECT_NEAR(trace, i == 0 ? -4 * std::numbers::pi * Grho : 0,
                1e-12 * 4 * std::numbers::pi * Grho)
        << i;
  }
}

// The surface table of the box in metres: at every facet centroid the
// prism's closed form, the slope from its g and the facet's outward normal,
// U/U0 with U0 the closed form at the centre of mass; with a spin of 1 h
// about z the effective potential U + w^2 d^2 / 2 and gravity g + w^2 d, d
// the centroid's distance vector from the axis through the centre of mass.
TEST(Surface, BoxAgainstThePrism) {
  const double lo[3] = {0, 0, 0}, hi[3] = {2, 1, 0.5}, centre[3] = {1, 0.5, 0.25};
  const Shape box = Box(lo, hi);
  const science::Body body(MeshOf(box), 1);
  science::SurfaceRequest request;
  request.units.density = 2000;
  request.spin_period = 1;
  science::Surface s;
  ASSERT_TRUE(science::SurfaceOf(body, request, &s, nullptr));
  ASSERT_EQ(s.U.size(), 12u);
  const double Grho = science::kG * 2000, w2 = std::pow(2 * std::numbers::pi / 3600, 2);
  const double U0 = Prism(lo, hi, centre).U * Grho;
  EXPECT_NEAR(s.U0, U0, 1e-12 * U0);
  for (size_t f = 0; f < 12; ++f) {
    const double* A = &box.vertices[3 * box.faces[3 * f]];
    const double* B = &box.vertices[3 * box.faces[3 * f + 1]];
    const double* C = &box.vertices[3 * box.faces[3 * f + 2]];
    const double p[3] = {(A[0] + B[0] + C[0]) / 3, (A[1] + B[1] + C[1]) / 3,
                         (A[2] + B[2] + C[2]) / 3};
    EXPECT_DOUBLE_EQ(s.cx[f], p[0]);
    const PrismField want = Prism(lo, hi, p);
    const double g[3] = {want.gx * Grho, want.gy * Grho, want.gz * Grho};
    const double gn = std::hypot(g[0], g[1], g[2]);
    EXPECT_NEAR(s.U[f], want.U * Grho, 1e-12 * want.U * Grho) << f;
    EXPECT_NEAR(s.gx[f], g[0], 1e-12 * gn) << f;
    EXPECT_NEAR(s.g[f], gn, 1e-12 * gn) << f;
    EXPECT_NEAR(s.UU0[f], want.U * Grho / U0, 1e-12) << f;
    // The outward normal of a box's side is the axis it is flat in.
    double n[3] = {0, 0, 0};
    for (int c = 0; c < 3; ++c)
      if (A[c] == B[c] && B[c] == C[c]) n[c] = A[c] == lo[c] ? -1 : 1;
    const double slope =
        std::acos(-(n[0] * g[0] + n[1] * g[1] + n[2] * g[2]) / gn) * 180 / std::numbers::pi;
    EXPECT_NEAR(s.slope[f], slope, 1e-9) << f;
    const double d[2] = {p[0] - centre[0], p[1] - centre[1]};
    EXPECT_NEAR(s.Ueff[f], s.U[f] + 0.5 * w2 * (d[0] * d[0] + d[1] * d[1]), 1e-15 * U0) << f;
    EXPECT_NEAR(s.gxeff[f], s.gx[f] + w2 * d[0], 1e-15 * gn) << f;
    EXPECT_EQ(s.gzeff[f], s.gz[f]) << f;
  }
}

// ------------------------------------------------------------ statistics

// Area-weighted percentiles and fractions by hand: values 1, 2, 3 over
// areas 1, 1, 2 (and a facet of no slope, left out): half the area is
// covered at 2, three quarters at 3; 3/4 of the area lies above 1.5.
TEST(Statistics, AreaWeightedByHand) {
  const auto st = science::Statistics({3, 1, NAN, 2}, {2, 1, 5, 1}, {25, 50, 75, 100}, {1.5, 3});
  ASSERT_EQ(st.percentiles.size(), 4u);
  EXPECT_EQ(st.percentiles[0].second, 1);
  EXPECT_EQ(st.percentiles[1].second, 2);
  EXPECT_EQ(st.percentiles[2].second, 3);
  EXPECT_EQ(st.percentiles[3].second, 3);
  EXPECT_EQ(st.above[0].second, 0.75);
  EXPECT_EQ(st.above[1].second, 0);
  EXPECT_EQ(st.min_facet, 1u);
  EXPECT_EQ(st.max_facet, 0u);
}

// The summary of the box in km with its mass given: the density is M / V,
// the GM G M, the area 2 (ab + bc + ca), the statistics those of the slope
// column with the default percentiles and slopes.
TEST(Statistics, SummaryOfABox) {
  const double lo[3] = {0, 0, 0}, hi[3] = {2, 1, 0.5};
  const science::Body body(MeshOf(Box(lo, hi)), 1);
  science::SurfaceRequest request;
  request.units.unit = "km";
  request.units.mass = 4e12;
  science::Surface s;
  ASSERT_TRUE(science::SurfaceOf(body, request, &s, nullptr));
  const science::Summary sum = science::Summarise(body, request, s);
  EXPECT_DOUBLE_EQ(sum.units.density, 4e12 / 1e9);
  EXPECT_DOUBLE_EQ(sum.volume, 1);
  EXPECT_DOUBLE_EQ(sum.mass, 4e12);
  EXPECT_DOUBLE_EQ(sum.gm, science::kG * 4e12);
  EXPECT_DOUBLE_EQ(sum.area, 2 * (2 + 0.5 + 1));
  EXPECT_EQ(sum.slope_name, "slope");
  const auto st = science::Statistics(s.slope, s.area, {5, 25, 50, 75, 95}, {10, 20, 30, 40});
  EXPECT_EQ(sum.slope.percentiles, st.percentiles);
  EXPECT_EQ(sum.slope.above, st.above);
}

// ------------------------------------------------------------ inertia

// A box a x b x c of mass M: I = M/12 diag(b^2 + c^2, a^2 + c^2, a^2 + b^2)
// about its centre, principal axes the box's own. Rotated by R and moved
// far from the origin (1e5 sizes): R I R^T, the same moments, axes the
// columns of R (up to sign); summed about a vertex, no digit lost to the
// offset.
TEST(Inertia, BoxAndRotatedBox) {
  const double lo[3] = {-1, -0.5, -0.25}, hi[3] = {1, 0.5, 0.25};  // a, b, c = 2, 1, 0.5
  const double a = 2, b = 1, c = 0.5, V = a * b * c;
  const double want[3] = {V * (b * b + c * c) / 12, V * (a * a + c * c) / 12,
                          V * (a * a + b * b) / 12};
  science::Inertia in = science::InertiaOf(MeshOf(Box(lo, hi)), science::Units{});
  EXPECT_NEAR(in.volume, V, 1e-15);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(in.tensor[i][j], i == j ? want[i] : 0, 1e-15) << i << j;
  // Increasing: the axis of x (b^2 + c^2 the smallest) first.
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(in.moments[i], want[i], 1e-15);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(std::fabs(in.axes[i][i]), 1, 1e-12);

  const Rotation R = RotationAbout({1, 2, 3}, 0.7);
  const std::array<double, 3> offset = {3e5, -1e5, 2e5};
  in = science::InertiaOf(MeshOf(Box(lo, hi, R, offset)), science::Units{});
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(in.centre[k], offset[k], 1e-9);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double rir = 0;  // (R diag(want) R^T)_ij
      for (int k = 0; k < 3; ++k) rir += R[i][k] * want[k] * R[j][k];
      EXPECT_NEAR(in.tensor[i][j], rir, 1e-10) << i << j;
    }
  double det = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(in.moments[i], want[i], 1e-10);
    double along = 0;  // the principal axis i against R's column i
    for (int k = 0; k < 3; ++k) along += in.axes[i][k] * R[k][i];
    EXPECT_NEAR(std::fabs(along), 1, 1e-9) << i;
  }
  const auto& e = in.axes;
  det = e[0][0] * (e[1][1] * e[2][2] - e[1][2] * e[2][1]) -
        e[0][1] * (e[1][0] * e[2][2] - e[1][2] * e[2][0]) +
        e[0][2] * (e[1][0] * e[2][1] - e[1][1] * e[2][0]);
  EXPECT_NEAR(det, 1, 1e-12);
  // SI: times the density and the unit's metres to the fifth.
  science::UnitsRequest r;
  r.density = 2000;
  r.unit = "km";
  in = science::InertiaOf(MeshOf(Box(lo, hi)), science::Resolve(r, V));
  EXPECT_NEAR(in.moments[2], want[2] * 2000 * 1e15, 1e-12 * want[2] * 2000 * 1e15);
}

// ------------------------------------------------------------ body

// The check is made once and kept; four threads evaluating one body at
// once, with and without a tolerance, each get what it alone would get.
TEST(Body, CheckedOnceAndSafeFromSeveralThreads) {
  const science::Body body(MeshOf(Icosphere(3, 10)), 1);
  const mesh::CheckReport* first = &body.Check();
  EXPECT_EQ(&body.Check(), first);
  EXPECT_TRUE(first->Problem().empty());
  const size_t n = 3000;
  std::vector<double> x(n), y(n), z(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = 0.37 * double(i);
    x[i] = 30 * std::cos(t), y[i] = 30 * std::sin(t), z[i] = 0.01 * double(i) - 15;
  }
  struct Run {
    science::FieldRequest request;
    std::vector<double> U, gx, gy, gz;
    void Into(const science::Body& body, const std::vector<double>& x, const std::vector<double>& y,
              const std::vector<double>& z) {
      const size_t n = x.size();
      U.assign(n, 0), gx.assign(n, 0), gy.assign(n, 0), gz.assign(n, 0);
      science::FieldOf(body, request, n, x.data(), y.data(), z.data(),
                       {U.data(), gx.data(), gy.data(), gz.data()}, nullptr);
    }
  };
  std::vector<Run> alone(4), together(4);
  for (int k = 0; k < 4; ++k) {
    alone[k].request.evaluation.threads = 1 + k % 2;
    if (k >= 2) alone[k].request.evaluation.tolerance = 1e-6;
    together[k].request = alone[k].request;
    alone[k].Into(body, x, y, z);
  }
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) threads.emplace_back([&, k] { together[k].Into(body, x, y, z); });
  for (auto& t : threads) t.join();
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(together[k].U, alone[k].U) << k;
    EXPECT_EQ(together[k].gz, alone[k].gz) << k;
  }
}

}  // namespace
