// The table writer both faces share: indices print as integers (100000, never
// 1e+05), every other number in its shortest round-trip form, header lines
// with their control characters escaped, NPY fields titled with their units.
#include "science/table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string Written(science::TableFormat format, const std::vector<std::string>& header,
                    const std::vector<science::Column>& columns) {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  science::WriteTable(out, format, header, columns);
  std::fclose(out);
  std::string text(data, size);
  std::free(data);
  return text;
}

TEST(Table, IndicesAreIntegers) {
  const std::vector<double> facet = {0, 99999, 100000, 200000, 3000000},
                            value = {0.5, 1e5, 100000, 2.5e-7, NAN};
  const std::string text = Written(science::TableFormat::kTsv, {"model: m\nx"},
                                   {{"facet", "", &facet, true}, {"U", "[m^2/s^2]", &value}});
  EXPECT_EQ(text,
            "# model: m\\nx\n# facet\tU[m^2/s^2]\n0\t0.5\n99999\t1e+05\n100000\t1e+05\n"
            "200000\t2.5e-07\n3000000\tnan\n");
  EXPECT_EQ(science::HeaderLine("a\rb\x01"
                                "c\td"),
            "a\\rb\\x01c\td");
}

// A header line is one line of UTF-8 to every reader: NEL, the other C1
// controls and the line and paragraph separators escaped, as is a byte of
// no UTF-8 character; other letters kept. A word keeps ._+- and ASCII.
TEST(Table, HeaderLinesAreOneLineOfUtf8) {
  EXPECT_EQ(science::HeaderLine("a\xc2\x85"
                                "b\xe2\x80\xa8"
                                "c\xe2\x80\xa9"
                                "d\xc2\x9f"
                                "e \xe9 \xc3\xa9 \xc0\xaf"),
            "a\\u0085b\\u2028c\\u2029d\\u009fe \\xe9 \xc3\xa9 \\xc0\\xaf");
  EXPECT_EQ(science::HeaderWord("x\nend_of_head ==\t\xc3\xa9-1.5+c"), "x_end_of_head_____-1.5+c");
}

TEST(Table, NpyTitlesCarryUnits) {
  const std::vector<double> x = {1, 2}, U = {3, 4};
  const std::string npy =
      Written(science::TableFormat::kNpy, {"ignored"}, {{"x", "[km]", &x}, {"U/U0", "", &U}});
  const size_t header = static_cast<unsigned char>(npy[8]) | static_cast<unsigned char>(npy[9])
                                                                 << 8;
  EXPECT_EQ((10 + header) % 64, 0u);
  EXPECT_EQ(npy.substr(10, header).substr(0, 77),
            "{'descr': [(('x[km]', 'x'), '<f8'), ('U/U0', '<f8'), ], 'fortran_order': Fals");
  ASSERT_EQ(npy.size(), 10 + header + 32);
  EXPECT_EQ(npy.substr(10 + header + 8, 8), std::string("\0\0\0\0\0\0\x08\x40", 8));  // 3.0
}

}  // namespace
