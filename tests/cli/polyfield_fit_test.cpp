// polyfield fit and uncertainty through the program: the fit of a body of
// parts with a point mass against its own field written as an ICGEM file
// (the estimates within their sigmas of the densities it was made with),
// the uncertainty tables against the library's, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run.h"

namespace {

RunResult Polyfield(const std::vector<std::string>& args) {
  return ::Run("polyfield", args);
}

// The rows of a TSV table (lines not starting with '#'), split at tabs.
std::vector<std::vector<std::string>> Rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> row;
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, '\t');) row.push_back(f);
    rows.push_back(row);
  }
  return rows;
}

TEST(PolyfieldFit, BodyOfPartsAgainstItsOwnField) {
  const std::string dir = TempDir(), eros = DataPath("models/eros1708_km.vf.txt");
  const std::string gfc = dir + "/body.gfc", mascons = dir + "/mascons.txt";
  std::ofstream(mascons) << "3 1 0 2e14\n";
  // The body's exact coefficients; every sigma 1e-9, far above their
  // rounding: the fit gives back the densities and mass.
  const std::vector<std::string> body = {eros,   "--unit",    "km",   "--density",
                                         "2500", "--mascons", mascons};
  std::vector<std::string> harmonics = {"harmonics"};
  harmonics.insert(harmonics.end(), body.begin(), body.end());
  for (const char* a : {"--degree", "6", "--reference-radius", "16", "--format", "icgem", "-o"})
    harmonics.push_back(a);
  harmonics.push_back(gfc);
  ASSERT_EQ(Polyfield(harmonics).status, 0);
  std::ifstream in(gfc);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  text.replace(text.find("errors                  no"), 26, "errors                  formal");
  for (size_t at = 0; (at = text.find(" 0 0\n", at)) != std::string::npos; at += 16)
    text.replace(at, 5, " 1e-9 1e-9\n");
  std::ofstream(gfc) << text;
  std::vector<std::string> fit = {"fit"};
  fit.insert(fit.end(), body.begin(), body.end());
  fit.insert(fit.end(), {"--measured", gfc});
  const RunResult r = Polyfield(fit);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = Rows(r.out);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1][0], "part 1 density");
  EXPECT_EQ(rows[2][0], "point mass 1 mass");
  EXPECT_LT(std::fabs(std::stod(rows[1][1]) - 2500), 1e-6 * 2500);
  EXPECT_LT(std::fabs(std::stod(rows[2][1]) - 2e14), 1e-5 * 2e14);
  EXPECT_NE(r.out.find("# correlation of part 1 density and point mass 1 mass: "),
            std::string::npos);
  // Refusals: the degree beyond the file's, a file that is not a field.
  fit.insert(fit.end(), {"--degree", "7"});
  EXPECT_EQ(Polyfield(fit).err, "polyfield: --degree: 7, but " + gfc + " goes to degree 6\n");
  EXPECT_EQ(Polyfield({"fit", eros, "--unit", "km", "--measured", eros}).err,
            "polyfield: " + eros +
                ": neither an ICGEM file (a header to end_of_head, gfc lines) nor a SHADR "
                "table (a header record R0, GM, its sigma, degree, order, normalisation, "
                "longitude, latitude)\n");
}

TEST(PolyfieldUncertainty, TablesAndRefusals) {
  const std::string dir = TempDir(), eros = DataPath("models/eros1708_km.vf.txt");
  std::ofstream(dir + "/points.txt") << "20 0 0\n0 0 12\n";
  const RunResult at = Polyfield({"uncertainty", eros, "--unit", "km", "--density", "2670",
                                  "--sigma", "0.01", "--points", dir + "/points.txt"});
  ASSERT_EQ(at.status, 0) << at.err;
  const auto rows = Rows(at.out);
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_EQ(rows[0].size(), 7u);
  // Twice the errors, twice the sigmas (first order).
  const RunResult twice = Polyfield({"uncertainty", eros, "--unit", "km", "--density", "2670",
                                     "--sigma", "0.02", "--points", dir + "/points.txt"});
  const auto rows2 = Rows(twice.out);
  for (size_t c = 3; c < 7; ++c)
    EXPECT_NEAR(std::stod(rows2[0][c]), 2 * std::stod(rows[0][c]), 1e-12 * std::stod(rows2[0][c]));
  const RunResult coefficients = Polyfield({"uncertainty", eros, "--unit", "km", "--density",
                                            "2670", "--sigma", "0.01", "--degree", "3"});
  ASSERT_EQ(coefficients.status, 0) << coefficients.err;
  EXPECT_EQ(Rows(coefficients.out).size(), 10u);
  EXPECT_EQ(Polyfield({"uncertainty", eros, "--sigma", "0.01"}).err,
            "polyfield: --points or --degree: one of them\n");
  EXPECT_EQ(Polyfield({"uncertainty", eros, "--sigma", "-1", "--degree", "2"}).err,
            "polyfield: --sigma: -1 is not a number 0 or more\n");
}

}  // namespace
