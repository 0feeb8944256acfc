// facetpaint run as a program: the four forms, the listing format, the RGB
// file rules, every message, no file written after a failure, the round trip
// of its listing, and the listings of real colour-carrying STL files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/little_endian.h"
#include "tests/support/run.h"

namespace {

const char* kUsage =
    "usage : facetpaint STL\n"
    "        facetpaint STL STL\n"
    "        facetpaint STL RGB STL\n"
    "        facetpaint STL R G B STL\n";

// A binary STL of right triangles in the z = i plane, one per attribute word,
// with file normals that agree with the vertex order.
std::string Model(const std::vector<uint16_t>& attributes) {
  std::string s(80, '\0');
  const uint32_t n = static_cast<uint32_t>(attributes.size());
  little_endian::Append(&s, n);
  for (size_t i = 0; i < attributes.size(); ++i) {
    const float z = static_cast<float>(i);
    for (float v : {0.0f, 0.0f, 1.0f, 0.0f, 0.0f, z, 1.0f, 0.0f, z, 0.0f, 1.0f, z})
      little_endian::Append(&s, v);
    little_endian::Append(&s, attributes[i]);
  }
  return s;
}

std::string ModelFile(const std::vector<uint16_t>& attributes) {
  const std::string path = TempDir() + "/model.stl";
  WriteFile(path, Model(attributes));
  return path;
}

// The attribute words of a binary STL file's facets.
std::vector<uint16_t> Attributes(const std::string& file) {
  std::vector<uint16_t> a;
  if (file.size() < 84) return a;
  const uint32_t n = little_endian::At<uint32_t>(file, 80);
  for (uint32_t i = 0; i < n && 84 + 50 * i + 50 <= file.size(); ++i)
    a.push_back(little_endian::At<uint16_t>(file, 84 + 50 * i + 48));
  return a;
}

// Runs the RGB-file form on a model of `facets` uncoloured facets.
RunResult Paint(size_t facets, const std::string& rgb, std::string* out_path) {
  const std::string dir = TempDir();
  WriteFile(dir + "/m.stl", Model(std::vector<uint16_t>(facets, 0)));
  WriteFile(dir + "/rgb.txt", rgb);
  *out_path = dir + "/out.stl";
  return ::Run("facetpaint", {dir + "/m.stl", dir + "/rgb.txt", *out_path});
}

TEST(Facetpaint, UsageForAnyOtherArgumentCount) {
  const std::string m = ModelFile({0});
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {m, "1", "2", "3"}, {m, "1", "2", "3", "4", "5"}}) {
    const RunResult r = ::Run("facetpaint", args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
  }
}

TEST(Facetpaint, ListsColoursAndEmptyLinesForTheRest) {
  const RunResult r = ::Run("facetpaint", {ModelFile({0xFC00, 0x0005, 0})});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "255\t0\t0\n\n\n");
}

TEST(Facetpaint, ListingWidensFiveBitComponents) {
  // r5 = 16 -> trunc(16 * 255 / 31 + 0.5) = 132; g5 = 31 -> 255; b5 = 1 -> 8.
  // Black is a colour (three zeros); 0x7FFF has bit 15 clear (empty line).
  const RunResult r =
      ::Run("facetpaint", {ModelFile({0x8000 | 16 << 10 | 31 << 5 | 1, 0x8000, 0x7FFF})});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "132\t255\t8\n0\t0\t0\n\n");
}

TEST(Facetpaint, AsciiModelListsOnlyEmptyLines) {
  const RunResult r = ::Run("facetpaint", {DataPath("cube.stl")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(12, '\n'));
}

TEST(Facetpaint, ModelFromStandardInput) {
  const RunResult r = ::Run("facetpaint", {"-model"}, Model({0x801F}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0\t0\t255\n");
}

TEST(Facetpaint, ReaderMessagesComeFirst) {
  const std::string absent = TempDir() + "/absent.stl";
  RunResult r = ::Run("facetpaint", {absent});
  EXPECT_EQ(r.err, "STL file not found.\n");
  // The model is read before the colour arguments are looked at.
  r = ::Run("facetpaint", {absent, "255", "0", "300", TempDir() + "/out.stl"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "STL file not found.\n");
}

TEST(Facetpaint, ListingToAFullDeviceFails) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const RunResult r = ::Run("facetpaint", {ModelFile({0xFC00})}, "", {"STDOUT=/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "standard output write error.\n");
}

TEST(Facetpaint, ClearingWritesEveryAttributeZeroAndKeepsTheVertices) {
  const std::string model = Model({0xFC00, 0x0005, 0xFFFF});
  const std::string dir = TempDir();
  WriteFile(dir + "/m.stl", model);
  const RunResult r = ::Run("facetpaint", {dir + "/m.stl", dir + "/out.stl"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string out = ReadFile(dir + "/out.stl");
  ASSERT_EQ(out.size(), 84u + 3 * 50);
  EXPECT_EQ(Attributes(out), (std::vector<uint16_t>{0, 0, 0}));
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(out.substr(84 + 50 * i + 12, 36), model.substr(84 + 50 * i + 12, 36)) << i;
}

TEST(Facetpaint, ClearingToStandardOutput) {
  const RunResult r = ::Run("facetpaint", {ModelFile({0xFC00, 0x83E0}), "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.size(), 84u + 2 * 50);
  EXPECT_EQ(Attributes(r.out), (std::vector<uint16_t>{0, 0}));
}

TEST(Facetpaint, RgbFileWordCounts) {
  std::string out;
  const RunResult r = Paint(8,
                            "255 0 0\n"
                            "5\n"
                            "31767\n"
                            "1 2\n"
                            "\n"
                            "  \t \n"
                            "0 128 255 extra words\n"
                            "4.12 4 5\n",
                            &out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Attributes(ReadFile(out)),
            (std::vector<uint16_t>{0xFC00, 0x0005, 31767, 0, 0, 0, 0x8000 | 16 << 5 | 31,
                                   0x8000 | 1 << 10 | 0 << 5 | 1}));
}

TEST(Facetpaint, FlagWordsAsUnsignedDecimals) {
  std::string out;
  // "%hu" reads the leading number of the word and ignores what follows.
  RunResult r = Paint(4, "0\n+7\n12abc\n-0\n", &out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Attributes(ReadFile(out)), (std::vector<uint16_t>{0, 7, 12, 0}));
  // Out of range, negative, beyond 16 bits (never wrapped round) or no number.
  for (const char* bad : {"31768", "32767", "-1", "-65535", "65536", "70000",
                          "99999999999999999999", "abc", "-", "x5"}) {
    r = Paint(2, std::string("1\n") + bad + "\n", &out);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.err, "bad flag value.\n") << bad;
    EXPECT_FALSE(std::filesystem::exists(out)) << bad;
  }
}

TEST(Facetpaint, RgbWordsMustBeNumbersWithinTheScale) {
  std::string out;
  for (const char* bad :
       {"256 0 0", "0 -1 0", "0 0 255.01", "x 0 0", "0 y 0", "0 0 z", "nan 0 0", "0 inf 0"}) {
    const RunResult r = Paint(1, std::string(bad) + "\n", &out);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.err, "bad R, G and/or B value.\n") << bad;
    EXPECT_FALSE(std::filesystem::exists(out)) << bad;
  }
}

TEST(Facetpaint, ExtraRgbLinesIgnoredTooFewRefusedWithoutOutput) {
  std::string out;
  RunResult r = Paint(2, "255 0 0\n0 255 0\n0 0 255\nnot even read\n", &out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Attributes(ReadFile(out)), (std::vector<uint16_t>{0xFC00, 0x83E0}));
  r = Paint(3, "255 0 0\n0 255 0\n", &out);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "RGB data read error.\n");
  EXPECT_FALSE(std::filesystem::exists(out));
  r = Paint(1, "", &out);
  EXPECT_EQ(r.err, "RGB data read error.\n");
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(Facetpaint, LastRgbLineWithoutNewline) {
  std::string out;
  const RunResult r = Paint(2, "1\n0 0 255", &out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Attributes(ReadFile(out)), (std::vector<uint16_t>{1, 0x801F}));
}

TEST(Facetpaint, LongRgbLineIsTakenInPieces) {
  // 1023 characters make one line; the rest of the physical line (blanks)
  // is the next facet's line, so that facet gets no colour.
  std::string first = "255 0 0";
  first.resize(1100, ' ');
  std::string out;
  const RunResult r = Paint(3, first + "\n0 255 0\n", &out);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Attributes(ReadFile(out)), (std::vector<uint16_t>{0xFC00, 0, 0x83E0}));
}

TEST(Facetpaint, RgbFileMissingOrFromStandardInput) {
  const std::string dir = TempDir();
  WriteFile(dir + "/m.stl", Model({0, 0}));
  RunResult r = ::Run("facetpaint", {dir + "/m.stl", dir + "/absent.txt", dir + "/out.stl"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "RGB file not found.\n");
  EXPECT_FALSE(std::filesystem::exists(dir + "/out.stl"));
  r = ::Run("facetpaint", {dir + "/m.stl", "-rgb", dir + "/out.stl"}, "0 0 255\n7\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Attributes(ReadFile(dir + "/out.stl")), (std::vector<uint16_t>{0x801F, 7}));
}

TEST(Facetpaint, OneColourForEveryFacet) {
  const std::string dir = TempDir();
  WriteFile(dir + "/m.stl", Model({0xFC00, 5, 0}));
  RunResult r = ::Run("facetpaint", {dir + "/m.stl", "0", "0", "0", dir + "/black.stl"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Attributes(ReadFile(dir + "/black.stl")), (std::vector<uint16_t>(3, 0x8000)));
  r = ::Run("facetpaint", {dir + "/black.stl"});
  EXPECT_EQ(r.out, "0\t0\t0\n0\t0\t0\n0\t0\t0\n");
  r = ::Run("facetpaint", {dir + "/m.stl", "128", "128.0", "1.28e2", dir + "/grey.stl"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Attributes(ReadFile(dir + "/grey.stl")), (std::vector<uint16_t>(3, 0xC210)));
  // As atof converts: text that is not a number is 0.
  r = ::Run("facetpaint", {dir + "/m.stl", "red", "0", "255", dir + "/blue.stl"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Attributes(ReadFile(dir + "/blue.stl")), (std::vector<uint16_t>(3, 0x801F)));
}

TEST(Facetpaint, OneColourOutOfScaleWritesNothing) {
  const std::string dir = TempDir();
  WriteFile(dir + "/m.stl", Model({0}));
  for (const std::vector<std::string>& rgb :
       std::vector<std::vector<std::string>>{{"255", "0", "300"},
                                             {"-1", "0", "0"},
                                             {"0", "255.5", "0"},
                                             {"nan", "0", "0"},
                                             {"0", "0", "inf"}}) {
    const RunResult r =
        ::Run("facetpaint", {dir + "/m.stl", rgb[0], rgb[1], rgb[2], dir + "/out.stl"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bad R, G and/or B value.\n") << rgb[0] << " " << rgb[1] << " " << rgb[2];
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.stl"));
  }
}

TEST(Facetpaint, WriterMessages) {
  const std::string m = ModelFile({0xFC00});
  RunResult r = ::Run("facetpaint", {m, TempDir() + "/no/dir/out.stl"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "STL file not stored.\n");
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  r = ::Run("facetpaint", {m, "0", "0", "255", "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "facet data write error.\n");
}

TEST(Facetpaint, ListingFedBackAsRgbFileKeepsTheColours) {
  const std::vector<uint16_t> words = {
      0xFC00, 0x83E0, 0x801F, 0xFFFF, 0x8000, 0xC210, 0x8000 | 3 << 10 | 17 << 5 | 29, 0x0005, 0};
  const std::string dir = TempDir();
  WriteFile(dir + "/m.stl", Model(words));
  const RunResult listed = ::Run("facetpaint", {dir + "/m.stl"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  WriteFile(dir + "/rgb.txt", listed.out);
  const RunResult r = ::Run("facetpaint", {dir + "/m.stl", dir + "/rgb.txt", dir + "/out.stl"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint16_t> want = words;
  want[7] = 0;  // a flag lists as an empty line and comes back as no colour
  EXPECT_EQ(Attributes(ReadFile(dir + "/out.stl")), want);
  // Every one of the 32768 colours survives the round trip.
  std::vector<uint16_t> all;
  for (uint32_t c = 0; c < 32768; ++c) all.push_back(static_cast<uint16_t>(0x8000 | c));
  WriteFile(dir + "/all.stl", Model(all));
  const RunResult all_listed = ::Run("facetpaint", {dir + "/all.stl"});
  WriteFile(dir + "/all.txt", all_listed.out);
  const RunResult all_back =
      ::Run("facetpaint", {dir + "/all.stl", dir + "/all.txt", dir + "/all_out.stl"});
  ASSERT_EQ(all_back.status, 0) << all_back.err;
  EXPECT_EQ(Attributes(ReadFile(dir + "/all_out.stl")), all);
}

// Real files: what the corpus's README says the listing prints.
const std::string kCorpus = DataPath("corpus");

std::string Repeat(const std::string& line, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += line;
  return s;
}

TEST(FacetpaintCorpus, ListingsOfColourCarryingFiles) {
  struct Case {
    const char* file;
    std::string listing;
  };
  const std::string attr_listing =
      "255\t0\t0\n0\t255\t0\n0\t0\t255\n255\t255\t255\n0\t0\t0\n132\t132\t132\n\n\n";
  const Case cases[] = {
      {"binary_colour_bit15_set_white.stl", Repeat("255\t255\t255\n", 3108)},
      {"binary_colour_magics_bit15_clear.stl", Repeat("\n", 260)},
      {"binary_zero_normals_attr_0x2020.stl", Repeat("\n", 3732)},
      {"binary_utf8_mangled_49_extra_bytes.stl", Repeat("\n", 4)},
      {"written_admesh_binary_octahedron_attr_kept.stl", attr_listing},
      {"written_numpystl_binary_octahedron_attr.stl", attr_listing},
  };
  for (const Case& c : cases) {
    const RunResult r = ::Run("facetpaint", {kCorpus + "/" + c.file});
    EXPECT_EQ(r.status, 0) << c.file << r.err;
    EXPECT_EQ(r.out, c.listing) << c.file;
  }
}

TEST(FacetpaintCorpus, PaintedFileListsBackTheGivenColour) {
  const std::string out = TempDir() + "/painted.stl";
  RunResult r = ::Run("facetpaint",
                      {kCorpus + "/binary_header_solid_18808_facets.stl", "255", "128", "0", out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(out).size(), 84u + 50 * 18808);
  r = ::Run("facetpaint", {out});
  EXPECT_EQ(r.out, Repeat("255\t132\t0\n", 18808));
}

}  // namespace
