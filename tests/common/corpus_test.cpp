// The reader on real STL files written by other programs. The expected facet
// counts, volumes, attribute words and messages are read from the corpus's own
// README, where they were worked out independently of this code.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <regex>

#include "common/read.h"
#include "engine/terms.h"
#include "tests/support/run.h"

namespace {

const std::string kCorpus = DataPath("corpus");

struct Expected {
  std::string file;
  std::string message;  // empty: the file must read
  uint32_t facets = 0;
  double volume = 0;
  std::string attributes;
};

std::vector<Expected> Table() {
  std::vector<Expected> rows;
  const std::string readme = ReadFile(kCorpus + "/README.md");
  const std::regex read_row(
      R"(^\| `([a-z0-9_]+\.stl)` \| \d+ \| [^|]+ \| (\d+) \| \d+ \| ([-+0-9.e]+) \| ([^|]+) \|)");
  const std::regex fail_row(R"re(^\| `(fail_[a-z0-9_]+\.stl)` \| \d+ \| [^|]+ \| "([^"]+)")re");
  for (const std::string& line : Lines(readme)) {
    std::smatch m;
    if (std::regex_search(line, m, fail_row)) {
      rows.push_back({m[1], m[2], 0, 0, ""});
    } else if (std::regex_search(line, m, read_row)) {
      rows.push_back({m[1], "", static_cast<uint32_t>(std::stoul(m[2])), std::stod(m[3]), m[4]});
    }
  }
  return rows;
}

TEST(Corpus, EveryFileReadsOrFailsAsWorkedOut) {
  InstallErrorHook();
  const auto rows = Table();
  ASSERT_GE(rows.size(), 60u);
  for (const Expected& e : rows) {
    SCOPED_TRACE(e.file);
    uint32_t n = 0;
    AttributedFacet* f = nullptr;
    std::string message;
    try {
      ReadFacet((kCorpus + "/" + e.file).c_str(), &n, &f);
    } catch (const ErrorCalled& error) {
      message = error.what();
    }
    EXPECT_EQ(message, e.message);
    if (!e.message.empty()) continue;
    EXPECT_EQ(n, e.facets);
    terms::VolumeSum sum;
    for (uint32_t i = 0; i < n; ++i) {
      const float* v = f[i].v;
      sum.Add({v[0], v[1], v[2]}, {v[3], v[4], v[5]}, {v[6], v[7], v[8]});
    }
    // Volumes are listed to 7 significant digits.
    EXPECT_NEAR(sum.Volume(), e.volume, 6e-7 * std::fabs(e.volume) + 1e-12);
    std::smatch all;
    const std::string attributes = e.attributes;
    if (std::regex_search(attributes, all, std::regex(R"(all (0x[0-9a-f]+))"))) {
      const auto word = static_cast<uint16_t>(std::stoul(all[1], nullptr, 16));
      for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(f[i].attribute, word);
    }
    std::free(f);
  }
}

}  // namespace
