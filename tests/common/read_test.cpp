// STL reader: the kind decision, the ASCII grammar, the binary layout, the
// orientation rule and every message.
#include "common/read.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/little_endian.h"
#include "tests/support/run.h"

namespace {

struct Model {
  uint32_t n = 0;
  AttributedFacet* f = nullptr;
  ~Model() { std::free(f); }
};

// Reads `data` as a file; returns the error message, or "" on success.
std::string Read(const std::string& data, Model* m) {
  InstallErrorHook();
  const std::string path = TempDir() + "/m.stl";
  WriteFile(path, data);
  try {
    ReadFacet(path.c_str(), &m->n, &m->f);
  } catch (const ErrorCalled& e) {
    return e.what();
  }
  return "";
}

const char* kTriangle =
    "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
    "endloop\nendfacet\nendsolid t\n";

std::string Binary(uint32_t count, int facets, uint16_t attribute = 0, float nz = 1) {
  std::string s(80, '\0');
  little_endian::Append(&s, count);
  for (int i = 0; i < facets; ++i) {
    for (float v : {0.0f, 0.0f, nz, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f})
      little_endian::Append(&s, v);
    little_endian::Append(&s, attribute);
  }
  return s;
}

TEST(ReadAscii, ReadsATriangle) {
  Model m;
  ASSERT_EQ(Read(kTriangle, &m), "");
  ASSERT_EQ(m.n, 1u);
  const float want[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  for (int k = 0; k < 9; ++k) EXPECT_EQ(m.f[0].v[k], want[k]);
  EXPECT_EQ(m.f[0].attribute, 0);
}

TEST(ReadAscii, KeywordsInAnyCaseAndTokensOverLines) {
  Model m;
  ASSERT_EQ(Read("SOLID x\nFaCeT\nNORMAL 0 0\n1 OUTER LOOP VERTEX 0 0 0 VERTEX 1E0 0 0\nvertex\n0\n"
                 "1.0abc 0 ENDLOOP\nENDFACET ENDSOLID",
                 &m),
            "");
  ASSERT_EQ(m.n, 1u);
  EXPECT_EQ(m.f[0].v[3], 1.0f);
  EXPECT_EQ(m.f[0].v[7], 1.0f);  // "1.0abc" reads as 1.0
}

TEST(ReadAscii, OnlyTheFirstSolidIsTaken) {
  Model m;
  ASSERT_EQ(Read(std::string(kTriangle) + kTriangle + "garbage that is never read", &m), "");
  EXPECT_EQ(m.n, 1u);
}

TEST(ReadAscii, OrientationFollowsTheFileNormal) {
  Model m;
  std::string flipped = kTriangle;
  flipped.replace(flipped.find("0 0 1"), 5, "0 0 -1");
  ASSERT_EQ(Read(flipped, &m), "");
  // vertices 2 and 3 exchanged: (0,0,0), (0,1,0), (1,0,0)
  EXPECT_EQ(m.f[0].v[4], 1.0f);
  EXPECT_EQ(m.f[0].v[6], 1.0f);
  std::string zero = kTriangle;
  zero.replace(zero.find("0 0 1"), 5, "0 0 0");
  ASSERT_EQ(Read(zero, &m), "");
  EXPECT_EQ(m.f[0].v[3], 1.0f);  // order kept
}

TEST(ReadAscii, Messages) {
  Model m;
  const std::string pad(100, ' ');
  EXPECT_EQ(Read("solid short\nendsolid short\n", &m), "facet data read error.");
  EXPECT_EQ(Read(pad + "solid", &m), "ASCII facet data read error.");  // EOF in the first line
  EXPECT_EQ(Read("solid x" + pad + "\nendsolid\n", &m), "no facet.");
  EXPECT_EQ(Read("notsolid" + pad + "\n", &m), "ASCII facet data read error.");
  std::string t = std::string("solid ") + pad + (kTriangle + 7);  // a name longer than 96 bytes
  EXPECT_EQ(Read(t.substr(0, t.find("endsolid")), &m), "ASCII facet data read error.");
  std::string word = t;
  word.replace(word.find("vertex 1"), 8, "vertex x");
  EXPECT_EQ(Read(word, &m), "ASCII facet data read error.");
  std::string longtoken = t;
  longtoken.replace(longtoken.find("1 0 0"), 1, "1" + std::string(95, '0'));
  EXPECT_EQ(Read(longtoken, &m), "ASCII facet data read error.");
  std::string just95 = t;
  just95.replace(just95.find("1 0 0"), 1, "1" + std::string(94, '0'));
  EXPECT_EQ(Read(just95, &m), "");
}

TEST(ReadBinary, ReadsCountAndAttributes) {
  Model m;
  ASSERT_EQ(Read(Binary(3, 3, 0x801F) + "trailing bytes are not read", &m), "");
  ASSERT_EQ(m.n, 3u);
  EXPECT_EQ(m.f[2].attribute, 0x801F);
  EXPECT_EQ(m.f[2].v[3], 1.0f);
}

TEST(ReadBinary, HeaderStartingWithSolidIsStillBinary) {
  Model m;
  std::string b = Binary(1, 1);
  b.replace(0, 6, "solid ");
  ASSERT_EQ(Read(b, &m), "");
  EXPECT_EQ(m.n, 1u);
}

TEST(ReadBinary, Messages) {
  Model m;
  EXPECT_EQ(Read("", &m), "facet data read error.");
  EXPECT_EQ(Read(Binary(0, 0) + std::string(12, '\0'), &m), "no facet.");
  EXPECT_EQ(Read(Binary(2, 1), &m), "binary facet data read error.");
  // A count of four billion on a short file: a read error, not an allocation
  // of four billion records.
  EXPECT_EQ(Read(Binary(4000000000u, 2), &m), "binary facet data read error.");
  const std::string one = Binary(1, 1);
  for (size_t cut = 96; cut < one.size(); ++cut)
    EXPECT_EQ(Read(one.substr(0, cut), &m), "binary facet data read error.") << cut;
}

TEST(ReadBinary, ReverseSwapsEveryFieldThenOrients) {
  float block[12] = {0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0};
  for (float& f : block) {
    unsigned char* p = reinterpret_cast<unsigned char*>(&f);
    std::swap(p[0], p[3]);
    std::swap(p[1], p[2]);
  }
  uint16_t attribute = 0x1F80;
  AttributedFacet f;
  stl_detail::Reverse(&f, block, &attribute);
  EXPECT_EQ(f.attribute, 0x801F);
  EXPECT_EQ(f.v[3], 1.0f);
  EXPECT_EQ(f.v[7], 1.0f);
}

TEST(ReadFile, MissingFile) {
  InstallErrorHook();
  uint32_t n;
  Facet* f;
  try {
    ReadFacet("/nonexistent/model.stl", &n, &f);
    FAIL();
  } catch (const ErrorCalled& e) {
    EXPECT_STREQ(e.what(), "STL file not found.");
  }
}

}  // namespace

namespace {
// Coordinates beyond the float range are stored as infinities, not by an
// undefined conversion.
TEST(ReadAscii, HugeCoordinatesBecomeInfinite) {
  Model m;
  std::string t = kTriangle;
  t.replace(t.find("vertex 1 0 0"), 12, "vertex 1e300 -1e300 1e400");
  ASSERT_EQ(Read(t, &m), "");
  EXPECT_EQ(m.f[0].v[3], HUGE_VALF);
  EXPECT_EQ(m.f[0].v[4], -HUGE_VALF);
  EXPECT_EQ(m.f[0].v[5], HUGE_VALF);
}
}  // namespace
