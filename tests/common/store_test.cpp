// STL writer: the byte layout, the recomputed normal, standard output, the
// reversed block write, and failures that leave no partial file behind.
#include "common/store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/read.h"
#include "tests/support/run.h"

namespace {

AttributedFacet Tri(std::initializer_list<float> v, uint16_t attribute = 0) {
  AttributedFacet f{};
  std::copy(v.begin(), v.end(), f.v);
  f.attribute = attribute;
  return f;
}

std::string Store(const std::vector<AttributedFacet>& facets) {
  const std::string path = TempDir() + "/out.stl";
  StoreFacet(path.c_str(), static_cast<uint32_t>(facets.size()), facets.data());
  return ReadFile(path);
}

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s.push_back(static_cast<char>(x));
  return s;
}

float FloatAt(const std::string& file, size_t offset) {
  uint32_t bits = 0;
  for (int k = 3; k >= 0; --k) bits = bits << 8 | static_cast<unsigned char>(file[offset + k]);
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

TEST(StoreFacet, SingleFacetIsTheListed134Bytes) {
  const std::string file = Store({Tri({0, 0, 0, 1, 0, 0, 0, 1, 0}, 0x801F)});
  // Little-endian IEEE: 1.0f is 00 00 80 3F.
  const std::string one = Bytes({0x00, 0x00, 0x80, 0x3F}), zero(4, '\0');
  const std::string want = std::string(80, '\0') + Bytes({1, 0, 0, 0}) + zero + zero + one + zero +
                           zero + zero + one + zero + zero + zero + one + zero +
                           Bytes({0x1F, 0x80});
  ASSERT_EQ(file.size(), 134u);
  EXPECT_EQ(file, want);
}

TEST(StoreFacet, NormalIsTwiceTheAreaNotUnit) {
  const std::string file = Store({Tri({0, 0, 0, 2, 0, 0, 0, 2, 0})});
  EXPECT_EQ(FloatAt(file, 84), 0.0f);
  EXPECT_EQ(FloatAt(file, 88), 0.0f);
  EXPECT_EQ(FloatAt(file, 92), 4.0f);
}

TEST(StoreFacet, NormalFollowsTheVertexOrder) {
  // (1,2,3), (4,6,5), (-1,0,7): u = (3,4,2), w = (-2,-2,4);
  // u x w = (4*4 - 2*(-2), 2*(-2) - 3*4, 3*(-2) - 4*(-2)) = (20, -16, 2).
  std::string file = Store({Tri({1, 2, 3, 4, 6, 5, -1, 0, 7})});
  EXPECT_EQ(FloatAt(file, 84), 20.0f);
  EXPECT_EQ(FloatAt(file, 88), -16.0f);
  EXPECT_EQ(FloatAt(file, 92), 2.0f);
  // The same triangle with vertices 2 and 3 exchanged gives the opposite normal.
  file = Store({Tri({1, 2, 3, -1, 0, 7, 4, 6, 5})});
  EXPECT_EQ(FloatAt(file, 84), -20.0f);
  EXPECT_EQ(FloatAt(file, 88), 16.0f);
  EXPECT_EQ(FloatAt(file, 92), -2.0f);
}

TEST(StoreFacet, DegenerateFacetHasZeroNormalAndKeepsItsData) {
  const std::string file = Store({Tri({0, 0, 0, 1, 1, 1, 2, 2, 2}, 0x1234)});
  ASSERT_EQ(file.size(), 134u);
  for (size_t off : {84, 88, 92}) EXPECT_EQ(FloatAt(file, off), 0.0f);
  const float want[9] = {0, 0, 0, 1, 1, 1, 2, 2, 2};
  for (int k = 0; k < 9; ++k) EXPECT_EQ(FloatAt(file, 96 + 4 * k), want[k]);
  EXPECT_EQ(file.substr(132), Bytes({0x34, 0x12}));
}

TEST(StoreFacet, CountZeroGivesHeaderAndCountOnly) {
  EXPECT_EQ(Store({}), std::string(84, '\0'));
}

TEST(StoreFacet, CountIsLittleEndianAndLengthIs84Plus50PerFacet) {
  std::vector<AttributedFacet> facets(258, Tri({0, 0, 0, 1, 0, 0, 0, 1, 0}, 0xABCD));
  const std::string file = Store(facets);
  ASSERT_EQ(file.size(), 84u + 50u * 258);
  EXPECT_EQ(file.substr(80, 4), Bytes({0x02, 0x01, 0, 0}));
  EXPECT_EQ(file.substr(file.size() - 2), Bytes({0xCD, 0xAB}));
}

TEST(StoreFacet, ValuedRecordsWriteTheAttributeOfTheirSlot) {
  ValuedFacet f{};
  const float v[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  std::copy(v, v + 9, f.v);
  f.value = 12.5;
  f.attribute = 0xFC00;
  const std::string path = TempDir() + "/valued.stl";
  StoreFacet(path.c_str(), 1, &f);
  const std::string file = ReadFile(path);
  ASSERT_EQ(file.size(), 134u);
  EXPECT_EQ(file.substr(132), Bytes({0x00, 0xFC}));
}

TEST(StoreFacet, CubeReadBackIsIdenticalRecordForRecord) {
  uint32_t n = 0, m = 0;
  AttributedFacet *first = nullptr, *again = nullptr;
  ReadFacet(DataPath("cube_binary.stl").c_str(), &n, &first);
  ASSERT_EQ(n, 12u);
  first[3].attribute = 0x83E0;  // a colour survives as well
  const std::string path = TempDir() + "/cube.stl";
  StoreFacet(path.c_str(), n, first);
  ReadFacet(path.c_str(), &m, &again);
  ASSERT_EQ(m, n);
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(std::memcmp(first[i].v, again[i].v, sizeof first[i].v), 0) << "facet " << i;
    EXPECT_EQ(first[i].attribute, again[i].attribute) << "facet " << i;
  }
  // The cube's file was written with the same normals (its facets are unit
  // right triangles, so twice the area is 1): the files agree field for
  // field (a zero normal component may differ in sign) apart from the colour
  // given to facet 3.
  const std::string original = ReadFile(DataPath("cube_binary.stl")), written = ReadFile(path);
  ASSERT_EQ(written.size(), original.size());
  EXPECT_EQ(written.substr(0, 84), original.substr(0, 84));
  for (uint32_t i = 0; i < n; ++i) {
    const size_t at = 84 + 50 * i;
    for (int k = 0; k < 12; ++k)
      EXPECT_EQ(FloatAt(written, at + 4 * k), FloatAt(original, at + 4 * k)) << i << " " << k;
    EXPECT_EQ(written.substr(at + 48, 2),
              i == 3 ? Bytes({0xE0, 0x83}) : original.substr(at + 48, 2));
  }
  std::free(first);
  std::free(again);
}

TEST(StoreFacet, DashWritesStandardOutputWhateverFollows) {
  const std::string path = TempDir() + "/stdout.stl";
  const AttributedFacet f = Tri({0, 0, 0, 1, 0, 0, 0, 1, 0}, 0x801F);
  std::fflush(stdout);
  const int saved = dup(1);
  FILE* target = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(target);
  dup2(fileno(target), 1);
  StoreFacet("-not-a-file-name", 1, &f);
  dup2(saved, 1);
  close(saved);
  std::fclose(target);
  EXPECT_EQ(ReadFile(path).size(), 134u);
  EXPECT_FALSE(std::filesystem::exists("-not-a-file-name"));
}

TEST(StoreFacet, UnwritablePathIsNotStored) {
  InstallErrorHook();
  const AttributedFacet f = Tri({0, 0, 0, 1, 0, 0, 0, 1, 0});
  const std::string path = TempDir() + "/no/such/dir/out.stl";
  try {
    StoreFacet(path.c_str(), 1, &f);
    FAIL() << "no error";
  } catch (const ErrorCalled& e) {
    EXPECT_STREQ(e.what(), "STL file not stored.");
  }
  SetErrorHook(nullptr);
}

// A full device fails when the stream is flushed at close; the device itself
// is not a regular file and stays.
TEST(StoreFacetDeathTest, FullDeviceIsAWriteError) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const AttributedFacet f = Tri({0, 0, 0, 1, 0, 0, 0, 1, 0});
  EXPECT_EXIT(StoreFacet("/dev/full", 1, &f), testing::ExitedWithCode(1),
              "^facet data write error.\n$");
  struct stat st;
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(StoreFacetDeathTest, FullStandardOutputIsAWriteError) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const AttributedFacet f = Tri({0, 0, 0, 1, 0, 0, 0, 1, 0});
  EXPECT_EXIT(
      {
        if (!std::freopen("/dev/full", "w", stdout)) std::_Exit(3);
        StoreFacet("-", 1, &f);
        std::_Exit(0);
      },
      testing::ExitedWithCode(1), "^facet data write error.\n$");
}

// A file size limit makes a regular file fail part way: at the final close
// for a small model (the data still sits in the stream buffer), during the
// writes for a large one. Neither leaves the truncated file behind.
void FailAtSizeLimit(const std::string& path, uint32_t count) {
  std::vector<AttributedFacet> facets(count, Tri({0, 0, 0, 1, 0, 0, 0, 1, 0}));
  EXPECT_EXIT(
      {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit;
        limit.rlim_cur = limit.rlim_max = 1000;
        setrlimit(RLIMIT_FSIZE, &limit);
        StoreFacet(path.c_str(), count, facets.data());
        std::_Exit(0);
      },
      testing::ExitedWithCode(1), "^facet data write error.\n$");
  EXPECT_FALSE(std::filesystem::exists(path)) << path;
}

TEST(StoreFacetDeathTest, FailedCloseRemovesThePartialFile) {
  FailAtSizeLimit(TempDir() + "/small.stl", 100);
}

TEST(StoreFacetDeathTest, FailedWriteRemovesThePartialFile) {
  FailAtSizeLimit(TempDir() + "/large.stl", 100000);
}

// Fwrite on a stream that takes a limited number of bytes, one call each.
struct Sink {
  std::string bytes;
  size_t room;
  int calls = 0;
};

FILE* LimitedStream(Sink* sink) {
  cookie_io_functions_t io{};
  io.write = [](void* cookie, const char* buf, size_t size) -> ssize_t {
    Sink* s = static_cast<Sink*>(cookie);
    ++s->calls;
    if (s->bytes.size() + size > s->room) return -1;
    s->bytes.append(buf, size);
    return static_cast<ssize_t>(size);
  };
  FILE* f = fopencookie(sink, "w", io);
  std::setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

TEST(Fwrite, ReversesTheBytesOfEveryItem) {
  Sink sink{"", 100};
  FILE* f = LimitedStream(&sink);
  const uint32_t words[2] = {0x01020304, 0xA0B0C0D0};
  EXPECT_EQ(stl_detail::Fwrite(words, 4, 2, f), 2u);
  const unsigned char shorts[4] = {1, 2, 3, 4};
  EXPECT_EQ(stl_detail::Fwrite(shorts, 2, 2, f), 2u);
  std::fclose(f);
  // Each item's bytes in reverse memory order, items in order.
  std::string want;
  for (int k = 3; k >= 0; --k) want.push_back(reinterpret_cast<const char*>(&words[0])[k]);
  for (int k = 3; k >= 0; --k) want.push_back(reinterpret_cast<const char*>(&words[1])[k]);
  want += Bytes({2, 1, 4, 3});
  EXPECT_EQ(sink.bytes, want);
  EXPECT_EQ(sink.calls, 12);  // one character-output call per byte
}

TEST(Fwrite, CountZeroWritesNothing) {
  Sink sink{"", 100};
  FILE* f = LimitedStream(&sink);
  const uint32_t word = 7;
  EXPECT_EQ(stl_detail::Fwrite(&word, 4, 0, f), 0u);
  std::fclose(f);
  EXPECT_EQ(sink.calls, 0);
}

TEST(Fwrite, StopsAtTheFirstByteThatFailsAndCountsWholeItems) {
  Sink sink{"", 6};
  FILE* f = LimitedStream(&sink);
  const uint32_t words[3] = {1, 2, 3};
  EXPECT_EQ(stl_detail::Fwrite(words, 4, 3, f), 1u);
  EXPECT_EQ(sink.bytes.size(), 6u);
  EXPECT_EQ(sink.calls, 7);  // six written, the seventh failed, no more tried
  std::fclose(f);
}

TEST(NarrowToFloat, RoundsToNearestAndOverflowsToInfinity) {
  EXPECT_EQ(NarrowToFloat(0.1), 0.1f);
  EXPECT_EQ(NarrowToFloat(-2.5), -2.5f);
  EXPECT_EQ(NarrowToFloat(FLT_MAX), FLT_MAX);
  // Just below the halfway point to 2^128 still rounds to FLT_MAX.
  EXPECT_EQ(NarrowToFloat(0x1.fffffefffffffp+127), FLT_MAX);
  EXPECT_EQ(NarrowToFloat(0x1.ffffffp+127), INFINITY);
  EXPECT_EQ(NarrowToFloat(1e300), INFINITY);
  EXPECT_EQ(NarrowToFloat(-1e300), -INFINITY);
  EXPECT_EQ(NarrowToFloat(INFINITY), INFINITY);
  EXPECT_TRUE(std::isnan(NarrowToFloat(NAN)));
}

}  // namespace
