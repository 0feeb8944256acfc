// The bundled colour maps: each is a well-formed CM_STL file (short lines, no
// blank line, "range R G B" lines with components 0..255), names every index
// 0..32767 exactly once, has the colours its control points give at the ends
// and the middle, and is what its generator script writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "common/cm_stl.h"
#include "tests/support/run.h"

namespace {

std::string MapDir() {
  return DataPath("../../share/colormaps");
}

struct Five {
  int r, g, b;
  bool operator==(const Five&) const = default;
};

int FiveOf(double c) {
  return static_cast<int>(std::trunc(c * 31 / 255 + 0.5));
}

// Parses the map by the CM_STL grammar; fails the test on any breach and on
// any index named twice or never. Gives the five-bit colour per index.
void Parse(const std::string& name, std::vector<Five>* out) {
  const std::string text = ReadFile(MapDir() + "/" + name);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::vector<Five>& table = *out;
  table.assign(32768, {-1, -1, -1});
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    SCOPED_TRACE(name + " line " + std::to_string(number) + ": " + line);
    EXPECT_LT(line.size() + 1, 1024u);  // with its LF, within one 1024-byte read
    std::istringstream fields(line);
    std::string ranges;
    double c[3];
    ASSERT_TRUE(fields >> ranges >> c[0] >> c[1] >> c[2]);
    std::string rest;
    EXPECT_FALSE(fields >> rest);
    for (double v : c) EXPECT_TRUE(v >= 0 && v <= 255);
    const Five colour{FiveOf(c[0]), FiveOf(c[1]), FiveOf(c[2])};
    std::istringstream items(ranges);
    std::string item;
    while (std::getline(items, item, ',')) {
      if (item.empty()) continue;
      ASSERT_EQ(item.find_first_not_of("0123456789-"), std::string::npos);
      const size_t dash = item.find('-');
      ASSERT_EQ(item.find('-', dash == std::string::npos ? dash : dash + 1), std::string::npos);
      long lo, hi;
      if (dash == std::string::npos) {
        lo = hi = std::stol(item);
      } else {
        lo = dash == 0 ? 0 : std::stol(item.substr(0, dash));
        hi = dash + 1 == item.size() ? 32767 : std::stol(item.substr(dash + 1));
      }
      ASSERT_TRUE(lo >= 0 && lo <= hi && hi <= 32767);
      for (long i = lo; i <= hi; ++i) {
        EXPECT_EQ(table[i].r, -1) << "index " << i << " named twice";
        table[i] = colour;
      }
    }
  }
  for (size_t i = 0; i < table.size(); ++i)
    if (table[i].r < 0) ADD_FAILURE() << name << ": index " << i << " not named";
}

std::vector<Five> Load(const std::string& name) {
  std::vector<Five> table;
  Parse(name, &table);
  table.resize(32768, {-1, -1, -1});
  return table;
}

double Luminance(const Five& c) {
  return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
}

TEST(Colormaps, ViridisRisesFromDarkVioletToYellow) {
  const auto t = Load("viridis.cm");
  // 255 * (0.267004, 0.004874, 0.329415) = (68.09, 1.24, 84.00) -> (8, 0, 10);
  // 255 * (0.993248, 0.906157, 0.143936) = (253.3, 231.1, 36.7) -> (31, 28, 4).
  EXPECT_EQ(t[0], (Five{8, 0, 10}));
  EXPECT_EQ(t[32767], (Five{31, 28, 4}));
  // Midway, t = 0.500015 lies just short of the table's entry 128 (0.127568
  // 0.566949 0.550556, at t = 0.50196): teal, (3.97, 17.6, 17.3) -> (4, 18, 17).
  EXPECT_NEAR(t[16384].r, 4, 1);
  EXPECT_NEAR(t[16384].g, 18, 1);
  EXPECT_NEAR(t[16384].b, 17, 1);
  // Lightness rises along the map (five-bit steps aside): every 2048 indices.
  for (int i = 0; i + 2048 < 32768; i += 2048)
    EXPECT_LT(Luminance(t[i]), Luminance(t[i + 2048])) << i;
}

TEST(Colormaps, BlueWhiteRedDiverges) {
  const auto t = Load("blue_white_red.cm");
  EXPECT_EQ(t[0], (Five{1, 6, 12}));        // #053061 = (5, 48, 97)
  EXPECT_EQ(t[32767], (Five{13, 0, 4}));    // #67001f = (103, 0, 31)
  EXPECT_EQ(t[16383], (Five{30, 30, 30}));  // #f7f7f7 = 247 -> 30.03
  EXPECT_EQ(t[16384], (Five{30, 30, 30}));
  for (int i = 0; i < 16000; ++i) EXPECT_GT(t[i].b, t[i].r) << i;
  for (int i = 16800; i < 32768; ++i) EXPECT_GT(t[i].r, t[i].b) << i;
}

TEST(Colormaps, GreyRampFromBlackToWhite) {
  const auto t = Load("grey.cm");
  EXPECT_EQ(t[0], (Five{0, 0, 0}));
  EXPECT_EQ(t[32767], (Five{31, 31, 31}));
  int steps = 0;
  for (int i = 0; i < 32768; ++i) {
    EXPECT_TRUE(t[i].r == t[i].g && t[i].g == t[i].b) << i;
    if (i > 0) {
      EXPECT_GE(t[i].r, t[i - 1].r);
      EXPECT_LE(t[i].r - t[i - 1].r, 1);
      steps += t[i].r != t[i - 1].r;
    }
  }
  EXPECT_EQ(steps, 31);  // all 32 greys
}

// The suite's own colour-map reader takes every map without a message and
// fills every entry with a colour word equal to the one parsed above.
TEST(Colormaps, ColourMapReaderTakesEveryMap) {
  InstallErrorHook();
  for (const char* name : {"viridis.cm", "blue_white_red.cm", "grey.cm"}) {
    SCOPED_TRACE(name);
    const auto want = Load(name);
    std::vector<uint16_t> table(kColourEntries, 0);
    try {
      CM_STL((MapDir() + "/" + name).c_str(), table.data());
    } catch (const ErrorCalled& e) {
      FAIL() << e.what();
    }
    for (size_t i = 0; i < table.size(); ++i)
      ASSERT_EQ(table[i], 0x8000 | want[i].r << 10 | want[i].g << 5 | want[i].b) << i;
  }
}

TEST(Colormaps, FilesAreWhatTheScriptWrites) {
  if (std::system("python3 -c '' > /dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
  const std::string dir = TempDir();
  ASSERT_EQ(std::system(("python3 '" + MapDir() + "/make_colormaps.py' '" + dir + "'").c_str()), 0);
  for (const char* name : {"viridis.cm", "blue_white_red.cm", "grey.cm"})
    EXPECT_TRUE(ReadFile(dir + "/" + name) == ReadFile(MapDir() + "/" + name)) << name;
}

}  // namespace
