// Number fields: ScanDoubles against the C library's "%lf %lf %lf" scanner,
// whose results on these lines are listed (glibc's behaviour, which every
// program's point, vertex and triangle lines follow).
#include "common/scan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Case {
  const char* line;
  int count;
  std::vector<double> values;
};

// An exponent letter without digits is taken by the scanner together with one
// sign, and the next number starts after them; a second exponent letter ends
// the fields.
const Case kCases[] = {
    {"1 2 3", 3, {1, 2, 3}},
    {"1e 2 3", 3, {1, 2, 3}},
    {"1 2e 3", 3, {1, 2, 3}},
    {"1e+ 2 3", 3, {1, 2, 3}},
    {"1e- 2 3", 3, {1, 2, 3}},
    {"1.e 2 3", 3, {1, 2, 3}},
    {".5e 2 3", 3, {0.5, 2, 3}},
    {"1e+-2 3 4", 3, {1, -2, 3}},
    {"01e.20", 2, {1, 0.2}},
    {"5.e+.5 1 1", 3, {5, 0.5, 1}},
    {"1e1.5 2", 3, {10, 0.5, 2}},
    {"1ee 2 3", 1, {1}},
    {"1e5e 2 3", 1, {1e5}},
    {"1E+5E 2 3", 1, {1e5}},
    {"1e+e 2 3", 1, {1}},
    {"-e 2 3", 0, {}},
    {"-. 1 2", 0, {}},
    {"1, 2, 3", 1, {1}},
    {"  1\t2   3 trailing words", 3, {1, 2, 3}},
    {"0x1p3 -0x.8p1 0x10", 3, {8, -1, 16}},
    {"1e400 -1e400 1e-400", 3, {HUGE_VAL, -HUGE_VAL, 0}},
};

TEST(ScanDoubles, AgreesWithTheListedScannerResults) {
  for (const Case& c : kCases) {
    double got[3] = {0, 0, 0};
    ASSERT_EQ(ScanDoubles(c.line, 3, got), c.count) << c.line;
    for (int k = 0; k < c.count; ++k) EXPECT_EQ(got[k], c.values[k]) << c.line << " field " << k;
  }
}

TEST(ScanDoubles, AgreesWithTheCLibraryOnEveryListedLine) {
  for (const Case& c : kCases) {
    double fast[3], slow[3];
    const int n = std::sscanf(c.line, "%lf %lf %lf", &slow[0], &slow[1], &slow[2]);
    ASSERT_EQ(ScanDoubles(c.line, 3, fast), n < 0 ? 0 : n) << c.line;
    // Bit for bit: the sign of a zero and the payload of a NaN included.
    for (int k = 0; k < n; ++k)
      EXPECT_EQ(std::memcmp(&fast[k], &slow[k], sizeof(double)), 0)
          << c.line << " field " << k << ": " << fast[k] << " against " << slow[k];
  }
}

TEST(ScanDoubles, NanAndInfinityInAnyCase) {
  double got[3];
  ASSERT_EQ(ScanDoubles("nan -INF Infinity", 3, got), 3);
  EXPECT_TRUE(std::isnan(got[0]));
  EXPECT_EQ(got[1], -HUGE_VAL);
  EXPECT_EQ(got[2], HUGE_VAL);
}

TEST(ScanDoubles, EndFollowsTheTakenExponentLetter) {
  double got[2];
  const char* line = "1e+ 7";
  const char* end = nullptr;
  ASSERT_EQ(ScanDoubles(line, 1, got, &end), 1);
  EXPECT_EQ(end, line + 3);
}

}  // namespace
