// polyfield surface's figures: --picture and --latlon by the extension, the
// style options, and their refusals before any evaluation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/run.h"

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(PolyfieldFigures, PictureAndMapByTheExtension) {
  const std::string dir = TempDir();
  const RunResult r = ::Run(
      "polyfield", {"surface", DataPath("models/kleopatra.stl"), "--picture", dir + "/k.svg",
                    "--latlon", dir + "/m.pdf", "--png", dir + "/k.png", "--title", "Kleopatra",
                    "--background", "dark", "--shading", "lambert", "-o", dir + "/k.tsv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Read(dir + "/k.svg").substr(0, 5), "<?xml");
  EXPECT_NE(Read(dir + "/k.svg").find("<svg"), std::string::npos);
  const std::string pdf = Read(dir + "/m.pdf");
  EXPECT_EQ(pdf.substr(0, 7), "%PDF-1.");
  EXPECT_EQ(pdf.substr(pdf.size() - 6), "%%EOF\n");
  EXPECT_EQ(Read(dir + "/k.png").substr(1, 3), "PNG");
}

// A PNG's width and height, from its IHDR chunk.
std::pair<uint32_t, uint32_t> PngSize(const std::string& png) {
  const auto at = [&](size_t i) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) v = v << 8 | static_cast<unsigned char>(png.at(i + k));
    return v;
  };
  return {at(16), at(20)};
}

// The texts of an SVG's <text> elements, a line each, by Python's XML parser.
std::string SvgTexts(const std::string& path) {
  const std::string command =
      "python3 -c \"import sys, xml.etree.ElementTree as E; [print(t.text) for t in "
      "E.parse(sys.argv[1]).getroot().iter('{http://www.w3.org/2000/svg}text')]\" " +
      path + " > " + path + ".txt";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return Read(path + ".txt");
}

TEST(PolyfieldFigures, LabelTriadScaleBarAndTheSpinsSlope) {
  const std::string dir = TempDir();
  // With a spin and no --colour: the slope with the spin, as the summary's.
  const RunResult r = ::Run("polyfield", {"surface",
                                          DataPath("models/kleopatra.stl"),
                                          "--unit",
                                          "km",
                                          "--density",
                                          "3600",
                                          "--spin-period",
                                          "5.385",
                                          "--picture",
                                          dir + "/k.svg",
                                          "--png",
                                          dir + "/k.png",
                                          "--latlon",
                                          dir + "/m.png",
                                          "--label",
                                          "slope with spin [deg]",
                                          "--triad",
                                          "--scale-bar",
                                          "--range",
                                          "0,35",
                                          "-o",
                                          dir + "/k.tsv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "polyfield: colour slopeeff over [0, 35]\n");
  const std::string texts = SvgTexts(dir + "/k.svg");
  for (const char* t :
       {"slope with spin [deg]\n", "view from lon 30\u00b0, lat 25\u00b0\n", "20 km\n", "z\n"})
    EXPECT_NE(texts.find(t), std::string::npos) << t << " in\n" << texts;
  // Cut to the content at the default size: the view (seen from lon 30,
  // lat 25 the body is as high as wide, 730 pixels wide with the bar) to
  // the model's width, the 2:1 map to its height.
  const auto [w, h] = PngSize(Read(dir + "/k.png"));
  EXPECT_LT(w, 760u);
  EXPECT_EQ(h, 600u);
  const auto [mw, mh] = PngSize(Read(dir + "/m.png"));
  EXPECT_EQ(mw, 800u);
  EXPECT_LT(mh, 500u);
  // Without a spin the slope, in its unit raised and typeset.
  const RunResult plain =
      ::Run("polyfield", {"surface", DataPath("models/kleopatra.stl"), "--unit", "km", "--density",
                          "3600", "--colour", "U", "--picture", dir + "/u.svg", "--size", "600,400",
                          "-o", dir + "/u.tsv"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_NE(SvgTexts(dir + "/u.svg").find("U [m\u00b2/s\u00b2]\n"), std::string::npos);
  EXPECT_EQ(Read(dir + "/u.svg").find("height=\"400pt\""), Read(dir + "/u.svg").find("height="));
  const RunResult slope = ::Run("polyfield", {"surface", DataPath("models/kleopatra.stl"), "--png",
                                              dir + "/s.png", "-o", dir + "/s.tsv"});
  EXPECT_EQ(slope.err.substr(0, 24), "polyfield: colour slope ") << slope.err;
}

TEST(PolyfieldFigures, StyleOptionsRefusedBeforeTheEvaluation) {
  const std::string dir = TempDir(), model = DataPath("models/kleopatra.stl");
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--picture", dir + "/a.png", "--background", "black"},
       "polyfield: --background: \"black\" is not one of light, dark\n"},
      {{"--latlon", dir + "/a.png", "--shading", "phong"},
       "polyfield: --shading: \"phong\" is not one of none, lambert\n"},
      {{"--picture", dir + "/a.png", "--latlon", dir + "/a.png"},
       "polyfield: --latlon: " + dir + "/a.png is the file of --picture too\n"},
      {{"--latlon", dir + "/a.png", "--format", "npy"},
       "polyfield: --format npy holds the table only: the colour range goes in the header of "
       "--format tsv or csv\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"surface", model};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = ::Run("polyfield", args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.message);
  }
  EXPECT_FALSE(std::ifstream(dir + "/a.png").good());
}

// polyfield equilibria --picture: the zero-velocity figure beside the
// equilibria's table (not the grid's), each equilibrium named as text, the
// size as asked; refused with --continue, and --size without a figure.
TEST(PolyfieldFigures, ZeroVelocityFigureOfTheEquilibria) {
  const std::string dir = TempDir();
  const std::vector<std::string> base = {"equilibria",    DataPath("models/kleopatra.stl"),
                                         "--density",     "3600",
                                         "--unit",        "km",
                                         "--spin-period", "5.385"};
  std::vector<std::string> args = base;
  args.insert(args.end(), {"--picture", dir + "/zv.svg", "-o", dir + "/eq.tsv"});
  RunResult r = ::Run("polyfield", args);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string table = Read(dir + "/eq.tsv");
  EXPECT_NE(table.find("# equilibria: 7 (4 outside)"), std::string::npos) << table;
  EXPECT_EQ(table.find("# grid:"), std::string::npos);
  const std::string texts = SvgTexts(dir + "/zv.svg");
  for (const char* t : {"E1\n", "E4\n", "E7\n", "x [km]\n", "y [km]\n",
                        "kleopatra.stl, spin period 5.385 h: zero-velocity curves of V\n"})
    EXPECT_NE(texts.find(t), std::string::npos) << t << texts;
  EXPECT_EQ(texts.find("E8\n"), std::string::npos) << texts;

  args = base;
  args.insert(args.end(), {"--picture", dir + "/zv.png", "--size", "400,300", "--grid", "60,40"});
  r = ::Run("polyfield", args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(PngSize(Read(dir + "/zv.png")), (std::pair<uint32_t, uint32_t>{400, 300}));
  EXPECT_NE(r.out.find("# grid: 60 x 40"), std::string::npos);

  args = base;
  args.insert(args.end(), {"--picture", dir + "/x.png", "--continue", "spin-period:5.385:5"});
  r = ::Run("polyfield", args);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--picture and --continue: give one"), std::string::npos) << r.err;
  args = base;
  args.insert(args.end(), {"--size", "400,300"});
  r = ::Run("polyfield", args);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--size: only with --picture"), std::string::npos) << r.err;
}

}  // namespace
