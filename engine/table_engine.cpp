// The table engine, and the threaded, monitored sum of a prepared table.
#include "engine/table_engine.h"

#include <algorithm>

TableEngine::TableEngine(TableGuard guard, unsigned threads, kernel::Simd simd)
    : guard_(guard), isa_(&kernel::For(simd)), from_setting_(threads == kThreadsSetting) {
  if (!from_setting_) threads_.SetCount(threads);
}

void TableEngine::Start() {
  if (from_setting_) threads_.Start();
}

void TableEngine::Release() {
  si_.Release();
  threads_.Release();
}

void TableEngine::ExecuteSI(const Points& job, unsigned t, unsigned m) const {
  CalculateSI(*isa_, guard_, si_, t, m, job.count, job.x, job.y, job.z, job.out);
}

bool TableEngine::Evaluate(size_t count, const double* x, const double* y, const double* z,
                           const FieldOut& out, const EvaluateOptions& options) const {
  if (!options.more && options.threads == 0) {
    const Points job{count, x, y, z, out};
    threads_.MultiThreading(count, [&](unsigned t, unsigned m) { ExecuteSI(job, t, m); });
    return true;
  }
  return EvaluateTable(*isa_, guard_, si_, threads_, count, x, y, z, out, options);
}

bool EvaluateTable(const kernel::Isa& isa, TableGuard guard, const kernel::Model& table,
                   ThreadTeam& team, size_t count, const double* x, const double* y,
                   const double* z, const FieldOut& out, const EvaluateOptions& options) {
  // Each thread takes its points in blocks of 1024 of its own; a point's
  // result does not depend on the blocking (kernel.h).
  constexpr size_t kBlock = 1024;
  std::atomic<bool> stop{false};
  team.MultiThreading(
      count,
      [&](unsigned t, unsigned m) {
        const size_t mine = count > t ? (count - t + m - 1) / m : 0;
        for (size_t k = 0; k < mine && !stop; k += kBlock) {
          const size_t end = std::min(count, t + (k + kBlock) * m);
          CalculateSI(isa, guard, table, t + k * m, m, end, x, y, z, out);
          if (t == 0 && options.more &&
              !options.more(double(std::min(mine, k + kBlock)) / double(mine)))
            stop = true;
        }
      },
      options.threads);
  return !stop;
}
