// Faults injected from outside, end to end through the real programs: outputs
// that cannot be written, inputs that are directories, FIFOs, empty, cut
// short, oversized or strange, and extreme THREADS values. Each must end with
// the documented message and status 1, or succeed where that is right, and
// leave no partial output file behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/run.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kFieldpts = {"fieldpts", "fieldpts_s", "fieldpts_m"};
const std::vector<std::string> kColouring = {"plumbline", "plumbline_s", "plumbline_m",
                                             "geopot",    "geopot_s",    "geopot_m"};
const std::vector<std::string> kGlobes = {"globe_ih", "globe_th", "globe_oh"};
const std::vector<std::string> kThreaded = {"fieldpts_m", "surfgrav_m", "plumbline_m", "geopot_m"};

// Every program that reads an STL model, in its one-argument form.
std::vector<std::string> StlReaders() {
  std::vector<std::string> all = kFieldpts;
  for (const char* p : {"surfgrav", "surfgrav_s", "surfgrav_m"}) all.push_back(p);
  all.insert(all.end(), kColouring.begin(), kColouring.end());
  return all;
}

const char* const kReaderMessages[] = {"facet data read error.\n",
                                       "binary facet data read error.\n",
                                       "ASCII facet data read error.\n", "no facet.\n"};

std::string Cube() {
  return ReadFile(DataPath("cube.stl"));
}
std::string CubeBinary() {
  return ReadFile(DataPath("cube_binary.stl"));
}

std::string MakeFifo() {
  static int n = 0;
  const std::string p = TempDir() + "/fifo" + std::to_string(n++);
  if (mkfifo(p.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
  return p;
}

// Feeds `data` into a FIFO once a program opens it for reading. Finish()
// releases the writer also when the program never opened the FIFO.
class FifoFeeder {
 public:
  FifoFeeder(std::string path, std::string data)
      : path_(std::move(path)), data_(std::move(data)), thread_([this] {
          const int fd = open(path_.c_str(), O_WRONLY);
          if (fd < 0) return;
          size_t done = 0;
          while (done < data_.size()) {
            const ssize_t w = write(fd, data_.data() + done, data_.size() - done);
            if (w <= 0) break;
            done += static_cast<size_t>(w);
          }
          close(fd);
        }) {}
  void Finish() {
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);  // never blocks
    thread_.join();
    if (fd >= 0) close(fd);
  }

 private:
  std::string path_, data_;
  std::thread thread_;
};

// Collects what a program writes into a FIFO.
class FifoDrain {
 public:
  explicit FifoDrain(std::string path)
      : path_(std::move(path)), thread_([this] {
          const int fd = open(path_.c_str(), O_RDONLY);
          if (fd < 0) return;
          char buf[4096];
          for (ssize_t got; (got = read(fd, buf, sizeof buf)) > 0;)
            got_.append(buf, static_cast<size_t>(got));
          close(fd);
        }) {}
  std::string Finish() {
    const int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);  // a reader waits: succeeds
    if (fd >= 0) close(fd);
    thread_.join();
    return got_;
  }

 private:
  std::string path_;
  std::string got_;
  std::thread thread_;
};

// ---------------------------------------------------------------- outputs

TEST(FaultOutput, StandardOutputOnAFullDevice) {
  for (const std::string& p : StlReaders())
    ExpectFailure(::Run(p, {DataPath("cube.stl")}, "", {"STDOUT=/dev/full"}),
                  "standard output write error.", p);
  for (const std::string& p : kFieldpts)
    ExpectFailure(::Run(p, {DataPath("cube.stl"), "-"}, "0.5 0.5 0.5\n", {"STDOUT=/dev/full"}),
                  "standard output write error.", p + " with points");
  for (const std::string& p : kGlobes)
    ExpectFailure(::Run(p, {"1"}, "0 0 2\n", {"STDOUT=/dev/full"}), "standard output write error.",
                  p);
  ExpectFailure(::Run("polygrav_m", {DataPath("cube.vf.txt")}, "", {"STDOUT=/dev/full"}),
                "standard output write error.", "polygrav_m");
  ExpectFailure(::Run("facetpaint", {DataPath("cube_binary.stl")}, "", {"STDOUT=/dev/full"}),
                "standard output write error.", "facetpaint listing");
  ExpectFailure(::Run("stlrender", {DataPath("cube.stl"), "-"}, "", {"STDOUT=/dev/full"}),
                "PNG data write error.", "stlrender");
  ExpectFailure(::Run("tribuild", {"-"}, "0 0 0 1 0 0 0 1 0\n", {"STDOUT=/dev/full"}),
                "facet data write error.", "tribuild");
}

TEST(FaultOutput, ModelToAFullDeviceOrFullStandardOutput) {
  for (const std::string& p : kColouring) {
    ExpectFailure(::Run(p, {DataPath("cube.stl"), BlueMap(), "/dev/full"}),
                  "facet data write error.", p);
    ExpectFailure(::Run(p, {DataPath("cube.stl"), BlueMap(), "-"}, "", {"STDOUT=/dev/full"}),
                  "facet data write error.", p + " to standard output");
  }
  // The device is left alone: only a regular file of our own is removed.
  EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST(FaultOutput, ModelToADirectoryOrAMissingFolder) {
  const std::string dir = TempDir();
  for (const std::string& p : kColouring) {
    ExpectFailure(::Run(p, {DataPath("cube.stl"), BlueMap(), dir}), "STL file not stored.", p);
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(fs::is_empty(dir));
    const std::string missing = dir + "/missing/out.stl";
    ExpectFailure(::Run(p, {DataPath("cube.stl"), BlueMap(), missing}), "STL file not stored.", p);
    EXPECT_FALSE(fs::exists(dir + "/missing"));
  }
}

// The cube's file is 684 bytes; at most 300 can be written. What stood
// under the output's name is kept as it was, and no partial file is left.
TEST(FaultOutput, WriteFailingPartWayKeepsTheOlderFile) {
  const std::string dir = TempDir();
  for (const std::string& p : kColouring) {
    const std::string out = dir + "/" + p + ".stl";
    WriteFile(out, "an older file of the same name");
    ExpectFailure(::Run(p, {DataPath("cube.stl"), BlueMap(), out}, "", {"RLIMIT_FSIZE=300"}),
                  "facet data write error.", p);
    EXPECT_EQ(ReadFile(out), "an older file of the same name") << p;
    const std::string fresh = dir + "/fresh_" + p + ".stl";
    ExpectFailure(::Run(p, {DataPath("cube.stl"), BlueMap(), fresh}, "", {"RLIMIT_FSIZE=300"}),
                  "facet data write error.", p);
    EXPECT_FALSE(fs::exists(fresh)) << p;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()),
            static_cast<long>(kColouring.size()));
}

TEST(FaultOutput, ModelIntoAFifo) {
  for (const std::string& p : kColouring) {
    const std::string fifo = MakeFifo();
    FifoDrain drain(fifo);
    const RunResult r = ::Run(p, {DataPath("cube.stl"), BlueMap(), fifo});
    const std::string got = drain.Finish();
    EXPECT_EQ(r.status, 0) << p << r.err;
    EXPECT_EQ(got.size(), 84u + 50u * 12u) << p;
    EXPECT_TRUE(fs::is_fifo(fifo)) << p;  // not removed, not replaced
  }
}

// ---------------------------------------------------------------- inputs

TEST(FaultInput, DirectoryGivenAsAnyInputFile) {
  const std::string dir = TempDir();
  for (const std::string& p : StlReaders())
    ExpectFailure(::Run(p, {dir}), "STL file not found.", p);
  for (const std::string& p : kColouring)
    ExpectFailure(::Run(p, {DataPath("cube.stl"), dir, TempDir() + "/o.stl"}),
                  "CM_STL file not found.", p);
  for (const std::string& p : kFieldpts) {
    const RunResult r = ::Run(p, {DataPath("cube.stl"), dir});
    ExpectFailure(r, "point file not found.", p);
    EXPECT_EQ(Lines(r.out).size(), 1u) << p;  // the volume line comes first
  }
  ExpectFailure(::Run("polygrav_m", {dir}), dir + " : file not found.", "polygrav_m model");
  const RunResult points = ::Run("polygrav_m", {DataPath("cube.vf.txt"), dir});
  ExpectFailure(points, dir + " : file not found.", "polygrav_m points");
  EXPECT_EQ(Lines(points.out).size(), 1u);  // the summary line comes first
  ExpectFailure(::Run("facetpaint", {dir}), "STL file not found.", "facetpaint model");
  ExpectFailure(::Run("facetpaint", {DataPath("cube.stl"), dir, TempDir() + "/o.stl"}),
                "RGB file not found.", "facetpaint RGB file");
  ExpectFailure(::Run("tribuild", {dir, TempDir() + "/o.stl"}, "0 0 0 1 0 0 0 1 0\n"),
                "CM_STL file not found.", "tribuild colour map");
  ExpectFailure(::Run("stlrender", {dir, TempDir() + "/o.png"}), "STL file not found.",
                "stlrender");
  // The same directory as the output of the utilities: nothing is created in it.
  ExpectFailure(::Run("facetpaint", {DataPath("cube.stl"), dir}), "STL file not stored.",
                "facetpaint output");
  ExpectFailure(::Run("tribuild", {dir}, "0 0 0 1 0 0 0 1 0\n"), "STL file not stored.",
                "tribuild output");
  ExpectFailure(::Run("stlrender", {DataPath("cube.stl"), dir}), "PNG file not stored.",
                "stlrender output");
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST(FaultInput, EveryInputThroughAFifo) {
  const std::string points = "0.5 0.5 0.5\n2 0 0\n";
  for (const std::string& p : kFieldpts) {
    const RunResult want = ::Run(p, {DataPath("cube.stl"), "-"}, points);
    ASSERT_EQ(want.status, 0);
    const std::string model = MakeFifo(), list = MakeFifo();
    FifoFeeder feed_model(model, Cube()), feed_points(list, points);
    const RunResult r = ::Run(p, {model, list});
    feed_model.Finish();
    feed_points.Finish();
    EXPECT_EQ(r.status, 0) << p << r.err;
    EXPECT_EQ(r.out, want.out) << p;
  }
  for (const std::string& p : kColouring) {
    const std::string model = MakeFifo(), map = MakeFifo(), out = TempDir() + "/o.stl";
    FifoFeeder feed_model(model, CubeBinary()), feed_map(map, "- 0 0 255\n");
    const RunResult r = ::Run(p, {model, map, out});
    feed_model.Finish();
    feed_map.Finish();
    EXPECT_EQ(r.status, 0) << p << r.err;
    const std::string written = ReadFile(out);
    ASSERT_EQ(written.size(), 684u) << p;
    EXPECT_EQ(written.substr(132, 2), "\x1f\x80") << p;  // pure blue on the first facet
  }
}

TEST(FaultInput, EmptyFiles) {
  const std::string empty = TempDir() + "/empty";
  WriteFile(empty, "");
  for (const std::string& p : StlReaders()) {
    ExpectFailure(::Run(p, {empty}), "facet data read error.", p);
    ExpectFailure(::Run(p, {"-"}, ""), "facet data read error.", p + " on standard input");
  }
  for (const std::string& p : kFieldpts) {
    const RunResult r = ::Run(p, {DataPath("cube.stl"), empty});
    EXPECT_EQ(r.status, 0) << p;
    EXPECT_EQ(r.out, "1.000000e+00\t5.000000e-01\t5.000000e-01\t5.000000e-01\n") << p;
  }
  // An empty colour map colours nothing: every attribute 0.
  for (const std::string& p : kColouring) {
    const std::string out = TempDir() + "/o.stl";
    ASSERT_EQ(::Run(p, {DataPath("cube.stl"), empty, out}).status, 0) << p;
    const std::string written = ReadFile(out);
    ASSERT_EQ(written.size(), 684u);
    for (int i = 0; i < 12; ++i)
      EXPECT_EQ(written.substr(132 + 50 * i, 2), std::string(2, '\0')) << p;
  }
}

TEST(FaultInput, BinaryModelCutAtEveryByte) {
  const std::string model = CubeBinary();
  ASSERT_EQ(model.size(), 684u);
  for (size_t k = 0; k <= model.size(); ++k) {
    const RunResult r = ::Run("fieldpts", {"-"}, model.substr(0, k));
    const std::string what = "cut at " + std::to_string(k);
    if (k < 96)
      ExpectFailure(r, "facet data read error.", what);
    else if (k < model.size())
      ExpectFailure(r, "binary facet data read error.", what);
    else
      EXPECT_EQ(r.status, 0) << what;
  }
}

TEST(FaultInput, AsciiModelCutAtEveryByte) {
  const std::string model = Cube();
  // Cut anywhere after the "endsolid" token the model is complete.
  const size_t complete = model.rfind("endsolid") + 8;
  for (size_t k = 0; k <= model.size(); ++k) {
    const RunResult r = ::Run("fieldpts", {"-"}, model.substr(0, k));
    const std::string what = "cut at " + std::to_string(k);
    if (k < 96)
      ExpectFailure(r, "facet data read error.", what);
    else if (k < complete)
      ExpectFailure(r, "ASCII facet data read error.", what);
    else
      EXPECT_EQ(r.status, 0) << what;
  }
}

// 80 zero bytes, the count 4,000,000,000 and `facets` facets of data.
std::string HugeCount(int facets) {
  std::string s(80, '\0');
  const uint32_t count = 4000000000u;
  for (int k = 0; k < 4; ++k) s.push_back(static_cast<char>(count >> (8 * k)));
  const std::string cube = CubeBinary();
  for (int i = 0; i < facets; ++i) s += cube.substr(84 + 50 * (i % 12), 50);
  return s;
}

TEST(FaultInput, BinaryCountOfFourBillionWithLittleData) {
  // The count is a claim: memory follows the data present, so 200 MB of
  // address space are plenty (without it, the reader would ask for 200 GB).
  std::vector<std::string> env;
  if (!kSanitized) env.push_back("RLIMIT_AS=200000000");
  for (int facets : {1, 12, 3000}) {
    const std::string model = HugeCount(facets);
    ExpectFailure(::Run("fieldpts", {"-"}, model, env), "binary facet data read error.",
                  std::to_string(facets) + " facets");
    const std::string path = TempDir() + "/huge.stl";
    WriteFile(path, model);
    ExpectFailure(::Run("plumbline_m", {path}, "", env), "binary facet data read error.",
                  "plumbline_m");
  }
}

TEST(FaultInput, TenMegabyteLines) {
  const std::string ten(10'000'000, 'a');
  std::string model = Cube();
  // A solid's name is skipped to its LF, however long.
  const RunResult want = ::Run("fieldpts", {DataPath("cube.stl")});
  const RunResult named =
      ::Run("fieldpts", {"-"}, "solid " + ten + "\n" + model.substr(model.find('\n') + 1));
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_EQ(named.out, want.out);
  // A token of ten million characters is no keyword.
  ExpectFailure(::Run("fieldpts", {"-"}, model.substr(0, model.find('\n') + 1) + ten + "\n"),
                "ASCII facet data read error.", "long token");
  // A point line is taken in pieces of 1023 characters: the point, then a
  // piece without numbers that ends the list.
  for (const std::string& p : kFieldpts) {
    const RunResult r = ::Run(p, {DataPath("cube.stl"), "-"}, "0.5 0.5 0.5" + ten + "\n2 0 0\n");
    EXPECT_EQ(r.status, 0) << p;
    EXPECT_EQ(Lines(r.out).size(), 2u) << p;
  }
  // A colour-map line likewise: the colour, then a piece of blanks, which
  // ends the map as an empty line does; a long range list is no range list.
  for (const std::string p : {"plumbline", "geopot_m"}) {
    const std::string map = TempDir() + "/long.cm", out = TempDir() + "/o.stl";
    WriteFile(map, "- 0 0 255" + std::string(10'000'000, ' ') + "\n");
    ASSERT_EQ(::Run(p, {DataPath("cube.stl"), map, out}).status, 0) << p;
    EXPECT_EQ(ReadFile(out).substr(132, 2), "\x1f\x80");
    WriteFile(map, std::string(10'000'000, '7') + " 0 0 0\n");
    const std::string never = TempDir() + "/never.stl";
    ExpectFailure(::Run(p, {DataPath("cube.stl"), map, never}), "bad color specification.", p);
    EXPECT_FALSE(fs::exists(never)) << p;  // never opened: the map is read first
  }
  // The globe's points come free-format from standard input.
  const RunResult g = ::Run("globe_oh", {"0"}, std::string(10'000'000, ' ') + "0 0 2\n");
  EXPECT_EQ(g.status, 0);
  EXPECT_EQ(Lines(g.out).size(), 2u);
}

TEST(FaultInput, NulBytesInTextInputs) {
  std::string model = Cube();
  const RunResult want = ::Run("fieldpts", {DataPath("cube.stl")});
  // Within the first 96 bytes a NUL makes the file binary; the text read as
  // a count then claims far more facets than follow.
  std::string early = model;
  early[3] = '\0';
  ExpectFailure(::Run("fieldpts", {"-"}, early), "binary facet data read error.",
                "NUL in the name");
  // Later, a NUL ends the token it is in: after a number it cuts nothing off
  // the number, within a keyword it spoils the keyword.
  std::string after_number = model;
  const size_t v = after_number.find("vertex", 200);
  after_number.insert(after_number.find_first_of("0123456789", v) + 1, 1, '\0');
  const RunResult r = ::Run("fieldpts", {"-"}, after_number);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want.out);
  std::string in_keyword = model;
  in_keyword[in_keyword.find("endloop") + 3] = '\0';
  ExpectFailure(::Run("fieldpts", {"-"}, in_keyword), "ASCII facet data read error.",
                "NUL in a keyword");
  // A point line is parsed up to its NUL: two numbers end the list.
  for (const std::string& p : kFieldpts) {
    const RunResult pts =
        ::Run(p, {DataPath("cube.stl"), "-"}, std::string("0.5 0.5\0 0.5\n2 0 0\n", 19));
    EXPECT_EQ(pts.status, 0) << p;
    EXPECT_EQ(Lines(pts.out).size(), 1u) << p;
  }
  // A colour-map line likewise: the range list alone.
  const std::string map = TempDir() + "/nul.cm";
  WriteFile(map, std::string("-\0 0 0 255\n", 11));
  ExpectFailure(::Run("plumbline", {DataPath("cube.stl"), map, TempDir() + "/o.stl"}),
                "bad color specification.", "NUL in a colour map");
  for (const std::string& p : kGlobes) {
    const RunResult g = ::Run(p, {"0"}, std::string("0 0 2\n\0 0 3\n", 12));
    EXPECT_EQ(g.status, 0) << p;
    EXPECT_EQ(Lines(g.out).size(), 2u) << p;  // the NUL ends the points
  }
}

TEST(FaultInput, NotANumberInfinityOverflowAndHexadecimal) {
  for (const std::string& p : kFieldpts) {
    const RunResult decimal = ::Run(p, {DataPath("cube.stl"), "-"}, "0.5 0.5 0.5\n0 0 0\n");
    // Hexadecimal floats and an underflow to zero are numbers like any other.
    const RunResult hex =
        ::Run(p, {DataPath("cube.stl"), "-"}, "0x1p-1 0x.8p0 0X1P-1\n1e-400 0 0x0p0\n");
    EXPECT_EQ(hex.status, 0) << p;
    EXPECT_EQ(hex.out, decimal.out) << p;
    // nan, inf and an overflow to infinity are points whose field is not a
    // number: printed, never a crash.
    const RunResult special = ::Run(p, {DataPath("cube.stl"), "-"}, "nan inf 1e400\n-INF 0 0\n");
    EXPECT_EQ(special.status, 0) << p;
    const std::vector<std::string> lines = Lines(special.out);
    ASSERT_EQ(lines.size(), 3u) << p;
    EXPECT_EQ(lines[1].substr(0, 9), "nan\tinf\ti") << p;
    EXPECT_EQ(lines[2].substr(0, 5), "-inf\t") << p;
    // A dangling exponent letter belongs to its number ("0.5e" is 0.5), as
    // in the C library's scanner.
    const RunResult dangling = ::Run(p, {DataPath("cube.stl"), "-"}, "0.5e 0.5E+ 0.5\n0 0 0\n");
    EXPECT_EQ(dangling.out, decimal.out) << p;
  }
  // Model coordinates in hexadecimal read as their decimal values; infinite
  // and not-a-number coordinates make a model whose values are not numbers,
  // which every tool reports or colours with entry 0 without failing.
  std::string model = Cube();
  const RunResult want = ::Run("fieldpts", {DataPath("cube.stl")});
  std::string hex = model;
  for (size_t at; (at = hex.find("vertex 1 ")) != std::string::npos;)
    hex.replace(at, 9, "vertex 0x1p0 ");
  EXPECT_EQ(::Run("fieldpts", {"-"}, hex).out, want.out);
  for (const char* odd : {"1e400", "nan", "-inf"}) {
    std::string bad = model;
    const size_t at = bad.find("vertex 1 ");
    bad.replace(at, 9, std::string("vertex ") + odd + " ");
    const std::string path = TempDir() + "/odd.stl";
    WriteFile(path, bad);
    for (const std::string& p : StlReaders())
      EXPECT_EQ(::Run(p, {path}).status, 0) << p << " " << odd;
    for (const std::string& p : kColouring) {
      const std::string out = TempDir() + "/o.stl";
      EXPECT_EQ(::Run(p, {path, BlueMap(), out}).status, 0) << p << " " << odd;
      EXPECT_EQ(ReadFile(out).size(), 684u) << p << " " << odd;
    }
  }
  // Colour components and range bounds that are not finite numbers.
  const std::string map = TempDir() + "/odd.cm", out = TempDir() + "/o.stl";
  for (const char* line : {"- nan\n", "- inf 0 0\n", "- 0 1e400 0\n", "- 0 0 -nan\n"}) {
    WriteFile(map, line);
    ExpectFailure(::Run("plumbline", {DataPath("cube.stl"), map, out}), "bad R, G and/or B value.",
                  line);
  }
  WriteFile(map, "- 0x1p7\n");  // grey 128
  ASSERT_EQ(::Run("geopot", {DataPath("cube.stl"), map, out}).status, 0);
  EXPECT_EQ(ReadFile(out).substr(132, 2), "\x10\xc2");
  WriteFile(map, "0x10 0 0 0\n");
  ExpectFailure(::Run("geopot", {DataPath("cube.stl"), map, out}), "bad range list.",
                "hex range list");
  for (const char* p : {"plumbline", "plumbline_m"}) {
    ExpectFailure(::Run(p, {DataPath("cube.stl"), "nan", "90", BlueMap(), out}),
                  "bad range of deviation of the vertical in degree.", "nan bound");
    ExpectFailure(::Run(p, {DataPath("cube.stl"), "0", "inf", BlueMap(), out}),
                  "bad range of deviation of the vertical in degree.", "inf bound");
  }
  for (const char* p : {"geopot", "geopot_m"})
    ExpectFailure(::Run(p, {DataPath("cube.stl"), "nan", "1", BlueMap(), out}),
                  "bad range of normalized potential.", "nan bound");
}

TEST(FaultInput, ExtremeThreadCounts) {
  for (const std::string& p : kThreaded) {
    const RunResult one = ::Run(p, {DataPath("cube.stl")}, "", {"THREADS=1"});
    ASSERT_EQ(one.status, 0) << p;
    // As many slots as THREADS says are reserved but never touched, and only
    // as many threads as there are items start.
    const RunResult most = ::Run(p, {DataPath("cube.stl")}, "", {"THREADS=2147483647"});
    if (most.status == 0)
      EXPECT_EQ(most.out, one.out) << p;
    else
      ExpectFailure(most, "memory allocation error for multi-threading.", p);
    // atoi of a number beyond int: the C library's wrap to a negative value.
    for (const char* t :
         {"THREADS=2147483648", "THREADS=99999999999999999999", "THREADS=-2147483648"})
      ExpectFailure(::Run(p, {DataPath("cube.stl")}, "", {t}), "bad number of THREADS.",
                    p + " " + t);
  }
}

TEST(FaultInput, AllocationThreadStartAndJoinRefused) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' runtime must come first in the library list";
  const std::string faults = std::string("LD_PRELOAD=") + FAULTS_LIBRARY;
  // The facet array cannot grow beyond 100 bytes: two facets.
  for (const std::string& p : StlReaders())
    ExpectFailure(::Run(p, {DataPath("cube.stl")}, "", {faults, "FAIL_REALLOC_ABOVE=100"}),
                  "facet memory allocation error.", p);
  for (const std::string& p : kThreaded) {
    ExpectFailure(
        ::Run(p, {DataPath("cube.stl")}, "", {faults, "FAIL_THREAD_START=0", "THREADS=2"}),
        "multi-threading initialization error.", p);
    ExpectFailure(::Run(p, {DataPath("cube.stl")}, "", {faults, "FAIL_THREAD_JOIN=1", "THREADS=2"}),
                  "multi-threading termination error.", p);
    // With one thread nothing is started or joined.
    EXPECT_EQ(
        ::Run(p, {DataPath("cube.stl")}, "", {faults, "FAIL_THREAD_START=0", "FAIL_THREAD_JOIN=1"})
            .status,
        0)
        << p;
  }
}

TEST(FaultInput, ReaderMessagesOnlyForGarbage) {
  // Bytes of every value, in growing runs: whatever the reader makes of
  // them, it is one of its own messages.
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 131 + i / 7) & 0xFF));
  for (size_t k : {96u, 97u, 134u, 1000u, 4096u}) {
    const RunResult r = ::Run("fieldpts", {"-"}, junk.substr(0, k));
    EXPECT_EQ(r.status, 1);
    bool known = false;
    for (const char* m : kReaderMessages) known = known || r.err == m;
    EXPECT_TRUE(known) << r.err;
  }
}

}  // namespace
