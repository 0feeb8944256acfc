// Reading and writing: ReadFacet on a 1,000,000-facet binary STL and on a
// ~50 MB ASCII STL; fieldpts_s and fieldpts_m parsing a 1,000,000-line point
// file and printing its 1,000,000 lines (on the 12-facet cube, so that the
// field costs little). Files are generated in a temporary directory.
//
//   build/bench/io_bench [benchmark options]
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "common/read.h"
#include "tests/support/torus.h"

namespace {

std::string Dir() {
  static const std::string dir = [] {
    char name[] = "/tmp/io_bench.XXXXXX";
    return std::string(mkdtemp(name));
  }();
  return dir;
}

// A torus of about `facets` facets written by `write` into the directory.
template <class Write>
std::string TorusFile(const char* name, size_t facets, Write write) {
  const std::string p = Dir() + "/" + name;
  write(p, models::TorusOf(facets));
  return p;
}

const std::string& Binary() {
  static const std::string path = TorusFile(
      "binary.stl", 1000000,
      [](const std::string& p, const std::vector<Facet>& f) { models::WriteBinary(p, f); });
  return path;
}

const std::string& Ascii() {
  static const std::string path = TorusFile("ascii.stl", 200000, models::WriteAscii);
  return path;
}

const std::string& PointFile() {
  static const std::string path = [] {
    const std::string p = Dir() + "/points.txt";
    FILE* f = std::fopen(p.c_str(), "w");
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-3, 4);
    for (int i = 0; i < 1000000; ++i) std::fprintf(f, "%.9f %.9f %.9f\n", u(rng), u(rng), u(rng));
    std::fclose(f);
    return p;
  }();
  return path;
}

void Read(benchmark::State& state, const std::string& path) {
  size_t facets = 0;
  for (auto _ : state) {
    uint32_t n;
    Facet* f;
    ReadFacet(path.c_str(), &n, &f);
    facets = n;
    std::free(f);
  }
  state.counters["facets"] = static_cast<double>(facets);
  state.counters["MB"] = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
}

void ReadBinary(benchmark::State& state) {
  Read(state, Binary());
}
void ReadAscii(benchmark::State& state) {
  Read(state, Ascii());
}

// Wall time of one run of a program of the suite, output to a regular file.
void Program(benchmark::State& state, const char* program) {
  const std::string points = PointFile();
  const std::string cmd = std::string(SUITE_BIN_DIR) + "/" + program + " " + SOURCE_DIR +
                          "/tests/data/cube.stl " + points + " > " + Dir() + "/out.txt";
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("program failed");
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["lines"] = 1e6;
}

}  // namespace

BENCHMARK(ReadBinary)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadAscii)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Program, fieldpts_s, "fieldpts_s")
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK_CAPTURE(Program, fieldpts_m, "fieldpts_m")
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(Dir());
  return 0;
}
