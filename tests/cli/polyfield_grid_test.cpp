// polyfield field --sphere R --grid NLAT,NLON: the table's header and
// columns, its rows in the grid's order, the NPY array of the grid's shape,
// and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run.h"

namespace {

std::vector<std::vector<double>> Rows(const std::string& text, std::string* names) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# ", 0) == 0) {
      *names = line.substr(2);
      continue;
    }
    std::vector<double> row;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');)
      row.push_back(std::strtod(cell.c_str(), nullptr));
    rows.push_back(row);
  }
  return rows;
}

TEST(PolyfieldGrid, RowsNorthFirstWithRadialAndResidual) {
  const RunResult r = ::Run("polyfield", {"field", DataPath("cube.stl"), "--sphere", "1000",
                                          "--grid", "3,4", "--density", "2000", "--unit", "km"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("# grid: 3 x 4 cell centres on the sphere of radius 1000 km about the "
                       "centre of mass 0.5 0.5 0.5; rows from north to south, longitudes from "
                       "-180 eastward\n"),
            std::string::npos)
      << r.out;
  std::string names;
  const auto rows = Rows(r.out, &names);
  EXPECT_EQ(names,
            "lat[deg]\tlon[deg]\tx[km]\ty[km]\tz[km]\tU[m^2/s^2]\tgx[m/s^2]\tgy[m/s^2]\t"
            "gz[m/s^2]\tgr[m/s^2]\tdU[m^2/s^2]\tdgx[m/s^2]\tdgy[m/s^2]\tdgz[m/s^2]");
  ASSERT_EQ(rows.size(), 12u);
  const double gm = 6.67430e-11 * 2000 * 1e9, r2 = 1e6 * 1e6;
  for (size_t k = 0; k < rows.size(); ++k) {
    EXPECT_EQ(rows[k][0], 60.0 * (1 - double(k / 4))) << k;
    EXPECT_EQ(rows[k][1], -135 + 90.0 * double(k % 4)) << k;
    EXPECT_NEAR(rows[k][4], 0.5 + 1000 * std::sin(rows[k][0] * M_PI / 180), 1e-9) << k;
    EXPECT_NEAR(rows[k][9], -gm / r2, 1e-12 * gm / r2) << k;
    EXPECT_LT(std::fabs(rows[k][11]), 1e-12 * gm / r2) << k;
  }
}

TEST(PolyfieldGrid, ShellAboveTheCube) {
  const RunResult r =
      ::Run("polyfield", {"field", DataPath("cube.stl"), "--altitude", "0.25", "--grid", "2,4"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("# grid: 2 x 4 cell centres at the altitude 0.25 (model units) above the "
                       "outermost surface along each direction from the centre of mass 0.5 0.5 "
                       "0.5; rows"),
            std::string::npos)
      << r.out;
  std::string names;
  const auto rows = Rows(r.out, &names);
  ASSERT_EQ(rows.size(), 8u);
  // Latitude 45 and longitude 45 + 90 k: the ray leaves the cube through its
  // top or bottom face at 1/2 / sin 45 from the centre.
  for (const auto& row : rows) {
    const double d = std::sqrt(0.5) + 0.25;
    EXPECT_NEAR(std::fabs(row[4] - 0.5), d * std::sqrt(0.5), 1e-14);
    EXPECT_NEAR(std::hypot(row[2] - 0.5, row[3] - 0.5), d * std::sqrt(0.5), 1e-14);
  }
}

TEST(PolyfieldGrid, NpyHasTheGridsShape) {
  const std::string out = TempDir() + "/grid.npy";
  const RunResult r = ::Run("polyfield", {"field", DataPath("cube.stl"), "--sphere", "10", "--grid",
                                          "5,7", "--format", "npy", "-o", out});
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(out, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(bytes.find("'shape': (5,7), }"), std::string::npos) << bytes.substr(0, 200);
  const size_t header = 10 + (uint8_t(bytes[8]) | uint8_t(bytes[9]) << 8);
  EXPECT_EQ(bytes.size(), header + 5 * 7 * 14 * 8);
}

// A body of the cube and a point mass of its mass (5e11 kg) at (0.75,
// 0.5, 0.5): the grid about their centre of mass with their GM, twice the
// cube's; the shell above the cube from there.
TEST(PolyfieldGrid, ABodyOfPartsAndPointMasses) {
  const std::string mascons = TempDir() + "/one_mascon.txt";
  std::ofstream(mascons) << "0.75 0.5 0.5 5e11\n";
  for (const char* grid : {"--sphere", "--altitude"}) {
    const RunResult r =
        ::Run("polyfield", {"field", DataPath("cube.stl"), "--density", "500", "--unit", "km",
                            "--mascons", mascons, grid, "2", "--grid", "3,6"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("the centre of mass 0.625 0.5 0.5;"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", GM 66.743 m^3/s^2 (of every part and point mass)\n"), std::string::npos)
        << r.out;
  }
}

// --format nc: a netCDF file (the 64-bit offset format); a table of points
// or facets has no such format.
TEST(PolyfieldGrid, NetcdfForAGridOnly) {
  const std::string out = TempDir() + "/grid.nc";
  const RunResult r = ::Run("polyfield", {"field", DataPath("cube.stl"), "--sphere", "3", "--grid",
                                          "4,8", "--format", "nc", "-o", out});
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(out, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(bytes.substr(0, 4), std::string("CDF\x02", 4));
  EXPECT_NE(bytes.find("CF-1.8"), std::string::npos);
  const RunResult other = ::Run("polyfield", {"field", DataPath("cube.stl"), "--sphere", "3",
                                              "--grid", "4,8", "--format", "hdf"});
  EXPECT_EQ(other.err, "polyfield: --format: \"hdf\" is not one of tsv, csv, npy, npz, nc\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"field", DataPath("cube.stl"), "-", "--format", "nc"},
        {"surface", DataPath("cube.stl"), "--format", "nc"}}) {
    const RunResult bad = ::Run("polyfield", args, "1 2 3\n");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err,
              "polyfield: --format: nc is a grid's (with --sphere or --altitude); a table is tsv, "
              "csv, npy or npz\n");
  }
}

TEST(PolyfieldGrid, PointsOrAGridNotBoth) {
  const std::string cube = DataPath("cube.stl");
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"field", cube},
       "polyfield: POINTS or --sphere R (--altitude H) --grid NLAT,NLON: give one\n"},
      {{"field", cube, "-", "--sphere", "3", "--grid", "2,2"},
       "polyfield: POINTS or --sphere R (--altitude H) --grid NLAT,NLON: give one\n"},
      {{"field", cube, "--grid", "2,2"},
       "polyfield: --sphere R (or --altitude H) and --grid NLAT,NLON go together (two numbers "
       "for --grid)\n"},
      {{"field", cube, "--sphere", "3", "--grid", "2"},
       "polyfield: --sphere R (or --altitude H) and --grid NLAT,NLON go together (two numbers "
       "for --grid)\n"},
      {{"field", cube, "--sphere", "0", "--grid", "2,2"},
       "polyfield: --sphere: a positive number in the model's unit\n"},
      {{"field", cube, "--sphere", "3", "--grid", "0,2"},
       "polyfield: --grid: rows and columns NLAT, NLON, at least 1 each and at most 8388608 "
       "points\n"},
      {{"field", cube, "--sphere", "3", "--altitude", "1", "--grid", "2,2"},
       "polyfield: --sphere and --altitude are alternatives: give one\n"},
      {{"field", cube, "--altitude", "-1", "--grid", "2,2"},
       "polyfield: --altitude: 0 or a positive number in the model's unit\n"},
      {{"field", cube, "--sphere", "3", "--grid", "2,2", "--gradient"},
       "polyfield: --gradient: at points only (POINTS), not on a grid\n"},
  };
  for (const auto& c : cases) {
    const RunResult r = ::Run("polyfield", c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
