// tribuild run as a program: the triangle-line fields and what they mean,
// the identity table and the colour map, vertices kept as given, every
// message with no file left behind, and the round trip through facetpaint.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/little_endian.h"
#include "tests/support/run.h"

namespace {

const char* kTri = "0 0 0 1 0 0 0 1 0";

struct Built {
  RunResult run;
  std::string file;  // the written model; "" when none was written
  bool written = false;
};

Built Build(const std::string& input, const std::string& map = "") {
  const std::string dir = TempDir();
  std::vector<std::string> args;
  if (!map.empty()) {
    WriteFile(dir + "/map.txt", map);
    args.push_back(dir + "/map.txt");
  }
  args.push_back(dir + "/out.stl");
  Built b;
  b.run = ::Run("tribuild", args, input);
  b.written = std::filesystem::exists(dir + "/out.stl");
  if (b.written) b.file = ReadFile(dir + "/out.stl");
  return b;
}

float FloatAt(const std::string& file, size_t offset) {
  return little_endian::At<float>(file, offset);
}

uint32_t Count(const std::string& file) {
  return little_endian::At<uint32_t>(file, 80);
}

uint16_t AttributeOf(const std::string& file, size_t i) {
  return little_endian::At<uint16_t>(file, 84 + 50 * i + 48);
}

// Attribute of the one facet built from kTri followed by `words`.
uint16_t One(const std::string& words, const std::string& map = "") {
  const Built b = Build(std::string(kTri) + " " + words + "\n", map);
  EXPECT_EQ(b.run.status, 0) << words << ": " << b.run.err;
  if (b.file.size() != 134) return 0xDEAD;
  return AttributeOf(b.file, 0);
}

// The message for one bad line, checking that no file was written.
std::string Refused(const std::string& input, const std::string& map = "") {
  const Built b = Build(input, map);
  EXPECT_EQ(b.run.status, 1) << input;
  EXPECT_FALSE(b.written) << input;
  return b.run.err;
}

TEST(Tribuild, Usage) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"a", "b", "c"}}) {
    const RunResult r = ::Run("tribuild", args, std::string(kTri) + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "usage : tribuild {CM_STL} STL\n");
  }
}

TEST(Tribuild, NineNumbersGiveAnUncolouredFacetWithTheNormalOfTheirOrder) {
  Built b = Build(std::string(kTri) + "\n");
  ASSERT_EQ(b.run.status, 0) << b.run.err;
  ASSERT_EQ(b.file.size(), 134u);
  EXPECT_EQ(b.file.substr(0, 80), std::string(80, '\0'));
  EXPECT_EQ(Count(b.file), 1u);
  EXPECT_EQ(FloatAt(b.file, 84), 0.0f);
  EXPECT_EQ(FloatAt(b.file, 88), 0.0f);
  EXPECT_EQ(FloatAt(b.file, 92), 1.0f);
  EXPECT_EQ(AttributeOf(b.file, 0), 0);
  // The other order is never corrected: normal (0, 0, -1), vertices as given.
  b = Build("0 0 0 0 1 0 1 0 0\n");
  ASSERT_EQ(b.run.status, 0) << b.run.err;
  EXPECT_EQ(FloatAt(b.file, 92), -1.0f);
  const float want[9] = {0, 0, 0, 0, 1, 0, 1, 0, 0};
  for (int k = 0; k < 9; ++k) EXPECT_EQ(FloatAt(b.file, 96 + 4 * k), want[k]);
}

TEST(Tribuild, CoordinatesAreRoundedToFloat) {
  const Built b = Build("0.1 -2.5e-3 1e10 1.000000001 0 0 0 3.4e39 -1e300\n");
  ASSERT_EQ(b.run.status, 0) << b.run.err;
  const float want[9] = {0.1f, -2.5e-3f, 1e10f, 1.0f, 0, 0, 0, INFINITY, -INFINITY};
  for (int k = 0; k < 9; ++k) EXPECT_EQ(FloatAt(b.file, 96 + 4 * k), want[k]) << k;
}

TEST(Tribuild, FlagsWithoutAMapAreFifteenBitColours) {
  EXPECT_EQ(One("31744"), 0xFC00);
  EXPECT_EQ(One("32767"), 0xFFFF);
  EXPECT_EQ(One("0"), 0x8000);
  EXPECT_EQ(One("31"), 0x801F);
  EXPECT_EQ(One("+992"), 0x83E0);
  EXPECT_EQ(One("5th"), 0x8005);  // the leading number of the word
}

TEST(Tribuild, BadFlags) {
  for (const char* bad : {"32768", "-1", "65535", "65536", "70000", "-32767",
                          "99999999999999999999", "red", "-", "x1"})
    EXPECT_EQ(Refused(std::string(kTri) + " " + bad + "\n"), "bad flag value.\n") << bad;
}

TEST(Tribuild, FlagsIndexTheColourMap) {
  const std::string map = "5 255 0 0\n";
  EXPECT_EQ(One("5", map), 0xFC00);
  EXPECT_EQ(One("6", map), 0);
  EXPECT_EQ(One("0", map), 0);
  EXPECT_EQ(One("32767", map), 0);
  EXPECT_EQ(One("32767", "32767 0 255 0\n"), 0x83E0);
}

TEST(Tribuild, ThreeWordsAreAColour) {
  EXPECT_EQ(One("255 0 0"), 0xFC00);
  EXPECT_EQ(One("0 0 0"), 0x8000);
  EXPECT_EQ(One("128 128 128"), 0xC210);
  EXPECT_EQ(One("4.12 4 5 and more words"), 0x8000 | 1 << 10 | 1);
  // The colour words are the same with or without a map.
  EXPECT_EQ(One("0 255 0", "- 255 0 0\n"), 0x83E0);
  for (const char* bad :
       {"255 0 256", "-1 0 0", "0 255.5 0", "r 0 0", "0 g 0", "0 0 b", "nan 0 0", "0 0 inf"})
    EXPECT_EQ(Refused(std::string(kTri) + " " + bad + "\n"), "bad R, G and/or B value.\n") << bad;
}

TEST(Tribuild, TwoWordsGiveNoColour) {
  EXPECT_EQ(One("some words"), 0);
  EXPECT_EQ(One("255 0"), 0);
}

TEST(Tribuild, TooFewNumbersOrBlankLinesAnywhere) {
  const std::string tri = std::string(kTri) + "\n";
  for (const std::string& input :
       {std::string("0 0 0 1 0 0 0 1\n"), std::string("0 0 0 1 0 0 0 1 x\n"), tri + "\n",
        "\n" + tri, tri + "\n" + tri, tri + "   \t\n", std::string("a b c\n")})
    EXPECT_EQ(Refused(input), "missing triangle data.\n") << input;
}

TEST(Tribuild, EmptyInputIsNoFacet) {
  EXPECT_EQ(Refused(""), "no facet.\n");
}

TEST(Tribuild, LongLineIsTakenInPieces) {
  // The first 1023 characters are a triangle line; the blanks after them
  // are a line of their own, and a blank line is refused.
  std::string line = kTri;
  line.resize(1100, ' ');
  EXPECT_EQ(Refused(line + "\n"), "missing triangle data.\n");
  // Exactly 1022 characters and the newline fit in one piece.
  line.resize(1022);
  const Built b = Build(line + "\n");
  ASSERT_EQ(b.run.status, 0) << b.run.err;
  EXPECT_EQ(Count(b.file), 1u);
}

TEST(Tribuild, ManyLinesKeepTheirOrderAndAttributes) {
  std::string input;
  const int n = 5000;
  for (int i = 0; i < n; ++i)
    input += "0 0 " + std::to_string(i) + " 1 0 " + std::to_string(i) + " 0 1 " +
             std::to_string(i) + " " + std::to_string(i % 32768) + "\r\n";
  const Built b = Build(input);
  ASSERT_EQ(b.run.status, 0) << b.run.err;
  ASSERT_EQ(b.file.size(), 84u + 50u * n);
  EXPECT_EQ(Count(b.file), static_cast<uint32_t>(n));
  for (int i : {0, 1, 1023, 1024, 2047, 4999}) {
    EXPECT_EQ(FloatAt(b.file, 84 + 50 * i + 12 + 8), static_cast<float>(i));
    EXPECT_EQ(AttributeOf(b.file, i), 0x8000 | i);
  }
}

TEST(Tribuild, ColourMapMessagesComeBeforeAnyLine) {
  EXPECT_EQ(Refused("not a triangle\n", "5-9 1 2\n"), "bad color specification.\n");
  EXPECT_EQ(Refused("", "0-9 256 0 0\n"), "bad R, G and/or B value.\n");
  EXPECT_EQ(Refused("", "9-5 0 0 0\n"), "bad range list.\n");
  const std::string dir = TempDir();
  const RunResult r = ::Run("tribuild", {dir + "/absent.txt", dir + "/out.stl"}, "");
  EXPECT_EQ(r.err, "CM_STL file not found.\n");
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.stl"));
}

TEST(Tribuild, ColourMapAndTrianglesBothOnStandardInput) {
  // The map ends at its blank line; the triangle list follows on the same stream.
  const std::string dir = TempDir();
  const RunResult r = ::Run("tribuild", {"-map", dir + "/out.stl"},
                            "7 0 0 255\n\n" + std::string(kTri) + " 7\n" + kTri + " 8\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string file = ReadFile(dir + "/out.stl");
  ASSERT_EQ(file.size(), 84u + 2 * 50);
  EXPECT_EQ(AttributeOf(file, 0), 0x801F);
  EXPECT_EQ(AttributeOf(file, 1), 0);
}

TEST(Tribuild, WritesStandardOutputAndReportsWriteErrors) {
  RunResult r = ::Run("tribuild", {"-"}, std::string(kTri) + " 31744\n");
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.size(), 134u);
  EXPECT_EQ(AttributeOf(r.out, 0), 0xFC00);
  r = ::Run("tribuild", {TempDir() + "/no/dir/out.stl"}, std::string(kTri) + "\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "STL file not stored.\n");
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  r = ::Run("tribuild", {"/dev/full"}, std::string(kTri) + "\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "facet data write error.\n");
  r = ::Run("tribuild", {"-"}, std::string(kTri) + "\n", {"STDOUT=/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "facet data write error.\n");
}

TEST(Tribuild, FailureLeavesAnExistingOutputUntouched) {
  // No file is opened before the whole list is accepted.
  const std::string dir = TempDir();
  WriteFile(dir + "/out.stl", "previous");
  const RunResult r = ::Run("tribuild", {dir + "/out.stl"}, std::string(kTri) + "\n\n");
  EXPECT_EQ(r.err, "missing triangle data.\n");
  EXPECT_EQ(ReadFile(dir + "/out.stl"), "previous");
}

// The model tribuild writes, listed by facetpaint, gives back the colours
// given to five-bit precision; flags give the colour they encode.
TEST(Tribuild, AReadErrorIsNotTheEndOfTheList) {
  const std::string out = TempDir() + "/m.stl";
  const RunResult r = ::Run("tribuild", {out}, "", {"STDIN=/tmp"});  // reading a directory fails
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "missing triangle data.\n");
  EXPECT_FALSE(std::ifstream(out).good());
}

TEST(TribuildRoundTrip, ListedColoursAreTheGivenOnesToFiveBits) {
  const double rgb[][3] = {{255, 0, 0}, {128, 64, 32},       {10, 200, 90},
                           {0, 0, 0},   {254.9, 0.1, 127.5}, {8.2, 16.5, 33}};
  std::string input;
  for (const auto& c : rgb)
    input += std::string(kTri) + " " + std::to_string(c[0]) + " " + std::to_string(c[1]) + " " +
             std::to_string(c[2]) + "\n";
  input += std::string(kTri) + " " + std::to_string(16 << 10 | 8 << 5 | 31) + "\n";
  input += std::string(kTri) + " no colour\n";
  const std::string dir = TempDir();
  RunResult r = ::Run("tribuild", {dir + "/m.stl"}, input);
  ASSERT_EQ(r.status, 0) << r.err;
  r = ::Run("facetpaint", {dir + "/m.stl"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 8u);
  for (size_t i = 0; i < 6; ++i) {
    const std::vector<double> got = Numbers(lines[i]);
    ASSERT_EQ(got.size(), 3u) << lines[i];
    // One five-bit step is 255/31; rounding to the nearest step is off by
    // at most half of it, and the listing rounds to an integer.
    for (int k = 0; k < 3; ++k) EXPECT_LE(std::fabs(got[k] - rgb[i][k]), 255.0 / 62 + 0.5) << i;
  }
  EXPECT_EQ(lines[6], "132\t66\t255");
  EXPECT_EQ(lines[7], "");
}

}  // namespace
