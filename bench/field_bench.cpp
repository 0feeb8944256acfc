// Field evaluation side by side on one closed model: the direct build
// (SurfaceIntegral per facet), the tabled build (vectorised table form, on
// each instruction set this processor has) and the threaded build at 1 and 2
// threads. Prints ns per facet-point and, at the end, the speed-ups.
//
//   build/bench/field_bench [--facets=N] [--points=N] [benchmark options]
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "engine/direct.h"
#include "engine/kernel.h"
#include "engine/table_engine.h"
#include "tests/support/torus.h"

namespace {

size_t g_facets = 20000, g_points = 2000;
std::vector<Facet> g_model;
models::Points g_at;
std::vector<double> g_out(4 * 2000);

FacetView View() {
  return FacetView::Of(static_cast<uint32_t>(g_model.size()), g_model.data());
}
FieldOut Out() {
  const size_t n = g_at.x.size();
  return {g_out.data(), g_out.data() + n, g_out.data() + 2 * n, g_out.data() + 3 * n};
}
void Count(benchmark::State& state, size_t points) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * g_model.size() * points));
}

void Direct(benchmark::State& state) {
  DirectEngine engine;
  engine.Load(View());
  const size_t n = g_at.x.size();
  for (auto _ : state) engine.Evaluate(n, g_at.x.data(), g_at.y.data(), g_at.z.data(), Out());
  Count(state, n);
}

void Tabled(benchmark::State& state, TableGuard guard, kernel::Simd simd) {
  if (!kernel::Supported(simd)) {
    state.SkipWithError("instruction set not available");
    return;
  }
  TableEngine engine(guard, 1, simd);
  engine.Load(View());
  const size_t n = g_at.x.size();
  for (auto _ : state) engine.Evaluate(n, g_at.x.data(), g_at.y.data(), g_at.z.data(), Out());
  Count(state, n);
  engine.Release();
}

// As fieldpts_s with a point file: one point per call.
void TabledSingle(benchmark::State& state) {
  TableEngine engine(TableGuard::kRelative);
  engine.Load(View());
  const size_t n = g_at.x.size();
  double U, gx, gy, gz;
  for (auto _ : state)
    for (size_t i = 0; i < n; ++i)
      engine.Evaluate(1, &g_at.x[i], &g_at.y[i], &g_at.z[i], {&U, &gx, &gy, &gz});
  Count(state, n);
  engine.Release();
}

void Threaded(benchmark::State& state) {
  const std::string m = std::to_string(state.range(0));
  setenv("THREADS", m.c_str(), 1);
  TableEngine engine(TableGuard::kRelative, TableEngine::kThreadsSetting);
  engine.Start();
  engine.Load(View());
  const size_t n = g_at.x.size();
  for (auto _ : state) engine.Evaluate(n, g_at.x.data(), g_at.y.data(), g_at.z.data(), Out());
  Count(state, n);
  engine.Release();
}

// Console output as usual, and the real time per facet-point of every run
// kept for the closing summary.
class Summary : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
      const double per = 1e9 / benchmark::GetTimeUnitMultiplier(r.time_unit) /
                         static_cast<double>(g_model.size() * g_points);
      const std::string name =
          r.run_name.function_name + (r.run_name.args.empty() ? "" : "/" + r.run_name.args);
      // Repetitions: keep the fastest, the one least disturbed by other work.
      auto& t = ns_[name];
      const double real = r.GetAdjustedRealTime() * per, cpu = r.GetAdjustedCPUTime() * per;
      if (t.first == 0 || real < t.first) t = {real, cpu};
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto get = [&](const std::string& name) {
      auto it = ns_.find(name);
      return it == ns_.end() ? 0.0 : it->second.first;
    };
    const double direct = get("direct"), best = get("tabled/best"), avx2 = get("tabled/avx2"),
                 t1 = get("threaded/1"), t2 = get("threaded/2");
    std::printf("\n%zu facets, %zu points, evaluator %s; ns per facet-point (fastest run):\n",
                g_model.size(), g_points, kernel::Name(kernel::Best()));
    std::printf("  %-28s %10s %10s\n", "", "real", "cpu");
    for (const auto& [name, t] : ns_)
      std::printf("  %-28s %10.3f %10.3f\n", name.c_str(), t.first, t.second);
    if (direct > 0 && best > 0)
      std::printf("  tabled / direct speed-up:     %9.2fx\n", direct / best);
    if (direct > 0 && avx2 > 0)
      std::printf("  tabled AVX2 / direct:         %9.2fx\n", direct / avx2);
    if (t1 > 0 && t2 > 0) std::printf("  threaded, 2 / 1 thread:       %9.2fx\n", t1 / t2);
    std::printf(
        "(threaded cpu is the calling thread's only; the machine's other load shows as real > "
        "cpu)\n");
  }

 private:
  std::map<std::string, std::pair<double, double>> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--facets=", 9) == 0)
      g_facets = std::strtoul(argv[i] + 9, nullptr, 10);
    if (std::strncmp(argv[i], "--points=", 9) == 0)
      g_points = std::strtoul(argv[i] + 9, nullptr, 10);
  }
  g_model = models::TorusOf(g_facets);
  g_at = models::Scatter(g_points);
  g_out.assign(4 * g_points, 0.0);
  using kernel::Simd;
  benchmark::RegisterBenchmark("direct", Direct)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("tabled/best", Tabled, TableGuard::kRelative, kernel::Best())
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("tabled/avx2", Tabled, TableGuard::kRelative, Simd::kAvx2)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("tabled/baseline", Tabled, TableGuard::kRelative, Simd::kBaseline)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("tabled/best-unguarded", Tabled, TableGuard::kNone, kernel::Best())
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("tabled/one-point-per-call", TabledSingle)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("threaded", Threaded)
      ->Arg(1)
      ->Arg(2)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::Initialize(&argc, argv);
  Summary reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
