// polyfield surface's figures: --picture and --latlon by the extension, the
// style options, and their refusals before any evaluation.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

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

}  // namespace
