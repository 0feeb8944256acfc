// polyfield's bodies of parts and point masses end to end: the header that
// lists every part, a cube with a cubic void against the prism's closed
// form, the three subcommands taking the options, and the refusals with the
// option, the file and the line; a cavity that pokes out of its host and
// parts that overlap.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/prism.h"
#include "tests/support/run.h"
#include "tests/support/shapes.h"

namespace {

constexpr double kG = 6.67430e-11;

RunResult Polyfield(const std::vector<std::string>& args, const std::string& input = "") {
  return ::Run("polyfield", args, input);
}

// A box as vertex/face text in a temporary file.
std::string BoxFile(const std::string& dir, const std::string& name, const double lo[3],
                    const double hi[3], bool holed = false) {
  const Shape box = ::Box(lo, hi);
  std::ostringstream out;
  out.precision(17);
  const size_t faces = box.faces.size() / 3 - (holed ? 1 : 0);
  out << box.vertices.size() / 3 << " " << faces << "\n";
  for (size_t i = 0; i < box.vertices.size(); i += 3)
    out << box.vertices[i] << " " << box.vertices[i + 1] << " " << box.vertices[i + 2] << "\n";
  for (size_t i = 0; i < 3 * faces; i += 3)
    out << box.faces[i] << " " << box.faces[i + 1] << " " << box.faces[i + 2] << "\n";
  const std::string path = dir + "/" + name;
  WriteFile(path, out.str());
  return path;
}

std::vector<std::string> Header(const std::string& out) {
  std::vector<std::string> h;
  for (const std::string& line : Lines(out))
    if (line.rfind("# ", 0) == 0) h.push_back(line.substr(2));
  return h;
}

// The unit cube in km at 2000 kg/m^3 with the void [0.25, 0.5]^3 (a part of
// -2000) and 1e12 kg at (2, 0, 0) km: the header lists both parts with
// their facets and masses, the point masses and the total; U at a point is
// the prisms' closed forms and the point mass's G m / r.
TEST(PolyfieldBodies, HeaderAndFieldOfACubeWithAVoid) {
  const std::string dir = TempDir();
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1}, vlo[3] = {0.25, 0.25, 0.25},
               vhi[3] = {0.5, 0.5, 0.5};
  const std::string cube = BoxFile(dir, "cube.vf.txt", lo, hi);
  const std::string hole = BoxFile(dir, "void.vf.txt", vlo, vhi);
  WriteFile(dir + "/m.txt", "# one point mass\n2, 0, 0, 1e12\n");
  const RunResult r = Polyfield({"field", cube, "-", "--density", "2000", "--unit", "km", "--add",
                                 hole + ":-2000", "--mascons", dir + "/m.txt"},
                                "0.9 0.7 0.6\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> h = Header(r.out);
  ASSERT_GE(h.size(), 7u);
  EXPECT_EQ(h[1], "model: " + cube + " (8 vertices, 12 faces)");
  EXPECT_EQ(h[2],
            "body: 2 parts and 1 point mass; where parts overlap their densities add (the density "
            "of a point is the sum of the densities of the parts that hold it)");
  EXPECT_EQ(h[3], "part 1: " + cube +
                      ", density 2000 kg/m^3, 12 facets, mass 2e+12 kg (its surface is "
                      "the body's)");
  EXPECT_EQ(h[4], "part 2: " + hole + ", density -2000 kg/m^3, 12 facets, mass -3.125e+10 kg");
  EXPECT_EQ(h[5], "point masses: " + dir + "/m.txt, 1 of total mass 1e+12 kg");
  // (1e12 0.5 - 3.125e10 0.375 + 1e12 2) / 2.96875e12 along x, by hand.
  EXPECT_EQ(h[6].rfind("total mass: 2.96875e+12 kg; centre of mass: 1.0065789473684", 0), 0u)
      << h[6];
  const std::vector<double> row = Numbers(Lines(r.out).back());
  const double p[3] = {0.9, 0.7, 0.6};
  const double U = kG * 2000 * 1e6 * (Prism(lo, hi, p).U - Prism(vlo, vhi, p).U) +
                   kG * 1e12 / (1000 * std::hypot(1.1, 0.7, 0.6));
  EXPECT_NEAR(row.at(3), U, 1e-12 * U);

  // surface and harmonics take the same options and list the same parts.
  const RunResult s = Polyfield({"surface", cube, "--density", "2000", "--unit", "km", "--add",
                                 hole + ":-2000", "--summary"});
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_NE(s.out.find("# part 2: " + hole + ", density -2000"), std::string::npos);
  EXPECT_NE(s.out.find("# mass: 1.96875e+12 kg"), std::string::npos) << s.out;
  const RunResult c =
      Polyfield({"harmonics", cube, "--degree", "2", "--density", "2000", "--add", hole + ":-2000",
                 "--add", hole + ":500", "--mascons", dir + "/m.txt"});
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_NE(c.out.find("# part 2: " + hole + ", density -2000"), std::string::npos);
  EXPECT_NE(c.out.find("# part 3: " + hole + ", density 500"), std::string::npos);
  EXPECT_NE(c.out.find("# point masses: " + dir + "/m.txt"), std::string::npos);
}

// A cavity that pokes out of its host is refused, naming its file and a
// vertex outside, unless --no-check; one on the host's floor is inside.
// Parts of positive density that overlap are told on standard error, and
// their densities add. Masses by hand: the unit cube at 1000 kg/m^3, less
// 1000 or plus 500 times the part's volume.
TEST(PolyfieldBodies, CavityOutsideItsHostAndOverlaps) {
  const std::string dir = TempDir();
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
  const double plo[3] = {0.75, 0.25, 0.25}, phi[3] = {1.25, 0.75, 0.75};
  const double flo[3] = {0.25, 0.25, 0}, fhi[3] = {0.75, 0.75, 0.5};
  const double clo[3] = {0.25, 0.25, 0.25}, chi[3] = {0.5, 0.5, 0.5};
  const std::string cube = BoxFile(dir, "cube.vf.txt", lo, hi);
  const std::string poke = BoxFile(dir, "poke.vf.txt", plo, phi);
  const std::string floor = BoxFile(dir, "floor.vf.txt", flo, fhi);
  const std::string core = BoxFile(dir, "core.vf.txt", clo, chi);
  const auto total = [](const std::string& out) {
    for (const std::string& line : Header(out))
      if (line.rfind("total mass: ", 0) == 0) return line.substr(12, line.find(" kg") - 12);
    return std::string("none");
  };
  const std::string refused = "polyfield: " + poke +
                              ": part 2, of density -1000 kg/m^3, reaches outside the parts of "
                              "positive density (a negative mass in empty space): its vertex at "
                              "1.25 ";
  for (const std::string command : {"field", "harmonics"}) {
    std::vector<std::string> args = {command, cube};
    if (command == "field")
      args.push_back("-");
    else
      args.insert(args.end(), {"--degree", "1"});
    args.insert(args.end(), {"--density", "1000", "--add", poke + ":-1000"});
    const RunResult r = Polyfield(args, "2 2 2\n");
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_EQ(r.out, "") << command;
    EXPECT_EQ(r.err.substr(0, refused.size()), refused) << r.err;
    const std::string end = command == "field"
                                ? " m lies outside them (--no-check evaluates anyway)\n"
                                : " m lies outside them\n";
    ASSERT_GE(r.err.size(), end.size());
    EXPECT_EQ(r.err.substr(r.err.size() - end.size()), end) << r.err;
  }
  RunResult r = Polyfield(
      {"field", cube, "-", "--density", "1000", "--add", poke + ":-1000", "--no-check"}, "2 2 2\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(total(r.out), "875");
  r = Polyfield({"field", cube, "-", "--density", "1000", "--add", floor + ":-1000"}, "2 2 2\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(total(r.out), "875");
  r = Polyfield({"surface", cube, "--density", "1000", "--add", core + ":500", "--summary"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "polyfield: " + core + ": part 2 overlaps part 1 (" + cube +
                       "), both of positive density: their densities add where they overlap "
                       "(1000 + 500 = 1500 kg/m^3)\n");
  EXPECT_EQ(total(r.out), "1007.8125");
}

// Refused before any evaluation, each naming the option, or the file and
// its line.
TEST(PolyfieldBodies, Refusals) {
  const std::string dir = TempDir();
  const double lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
  const std::string cube = BoxFile(dir, "cube.vf.txt", lo, hi);
  const std::string holed = BoxFile(dir, "holed.vf.txt", lo, hi, true);
  WriteFile(dir + "/m.txt", "1 2 3 4\n\n1 2 3\n");
  WriteFile(dir + "/zero.txt", "0.5 0.5 0.5 -1000\n");
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"field", cube, "-", "--add", cube + ":1000"},
       "polyfield: --add needs --density (the model's, kg/m^3; each part carries its own)"},
      {{"field", cube, "-", "--mass", "5", "--mascons", dir + "/m.txt"},
       "polyfield: --mass is for one homogeneous model: with --mascons give --density (the "
       "model's; each part carries its own)"},
      {{"field", cube, "-", "--density", "1", "--add", cube + ":0"},
       "polyfield: --add " + cube +
           ":0: density 0 is not a finite non-zero number (kg/m^3; negative for a cavity or a "
           "lighter core)"},
      {{"field", cube, "-", "--density", "1", "--add", cube},
       "polyfield: --add: \"" + cube +
           "\" is not PART:DENSITY (a model file and its density in kg/m^3)"},
      {{"field", cube, "-", "--density", "1", "--add", cube + ":1e3kg"},
       "polyfield: --add " + cube + ":1e3kg: the density \"1e3kg\" is not a number"},
      {{"field", cube, "-", "--density", "1", "--mascons", dir + "/m.txt"},
       "polyfield: " + dir + "/m.txt:3: expected four finite numbers x y z mass, found \"1 2 3\""},
      {{"field", cube, "-", "--density", "1", "--add", dir + "/none.stl:5"},
       "polyfield: " + dir + "/none.stl: cannot be opened"},
      {{"field", cube, "-", "--density", "1", "--add", holed + ":5"},
       "polyfield: " + holed +
           ": unfit for the field formulas: not closed: 3 boundary edges (polyfield check tells "
           "more; --no-check evaluates anyway)"},
      {{"surface", cube, "--density", "1000", "--mascons", dir + "/zero.txt"},
       "polyfield: " + cube +
           ": U/U0 and the spin (about the centre of mass) need a positive total mass: the parts "
           "and point masses add up to 0 kg"},
      {{"harmonics", cube, "--degree", "2", "--density", "1000", "--mascons", dir + "/zero.txt"},
       "polyfield: " + cube +
           ": the coefficients need a positive total mass: the parts and point masses add up "
           "to 0 kg"},
      {{"field", cube, "-", "--density", "1", "--mascons", "-"},
       "polyfield: POINTS and --mascons cannot both be read from standard input"},
  };
  for (const auto& c : cases) ExpectFailure(Polyfield(c.args, "2 2 2\n"), c.message, c.message);
}

}  // namespace
