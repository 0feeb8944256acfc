// Shared pieces of the field commands.
#include "tools/surface.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "common/error.h"
#include "common/print.h"
#include "common/read.h"
#include "tools/progress.h"

terms::VolumeSum ModelVolume(const FacetView& model) {
  terms::VolumeSum sum;
  for (uint32_t f = 0; f < model.n; ++f) {
    const float* v = model.V(f);
    sum.Add({v[0], v[1], v[2]}, {v[3], v[4], v[5]}, {v[6], v[7], v[8]});
  }
  return sum;
}

FacetView LoadPlainModel(FieldEngine& engine, const char* path) {
  engine.Start();
  uint32_t n;
  Facet* facets;
  ReadFacet(path, &n, &facets);
  const FacetView model = FacetView::Of(n, facets);
  engine.Load(model);
  return model;
}

terms::Vec PrintVolumeLine(const FacetView& model) {
  const terms::VolumeSum volume = ModelVolume(model);
  const terms::Vec c = volume.Centroid();
  PrintFour(volume.Volume(), c.x, c.y, c.z);
  return c;
}

void PrintFacetLines(FieldEngine& engine, const FacetView& model) {
  AtCentroids(engine, model, Want::kAll, [&](size_t first, size_t count, const FieldOut& r) {
    for (size_t i = 0; i < count; ++i)
      PrintFacetLine(model.V(first + i), r.U[i], r.gx[i], r.gy[i], r.gz[i]);
  });
}

void PrintFour(double a, double b, double c, double d) {
  Line line;
  line.E(a).Tab().E(b).Tab().E(c).Tab().E(d).Char('\n').Flush(stdout);
}

void PrintFacetLine(const float* v, double U, double gx, double gy, double gz) {
  Line line;
  for (int k = 0; k < 9; ++k) line.E(v[k]).Tab();
  line.E(U).Tab().E(gx).Tab().E(gy).Tab().E(gz).Char('\n').Flush(stdout);
}

terms::Vec FacetCentroid(const float* v) {
  return {(double{v[0]} + v[3] + v[6]) / 3, (double{v[1]} + v[4] + v[7]) / 3,
          (double{v[2]} + v[5] + v[8]) / 3};
}

void AtCentroids(FieldEngine& engine, const FacetView& model, Want want,
                 const std::function<void(size_t, size_t, const FieldOut&)>& sink) {
  Progress progress(model.n, model.n);
  const size_t chunk = std::min<size_t>(engine.Batch(), model.n);
  // Point coordinates, then the results.
  double* x = chunk > SIZE_MAX / (3 * sizeof(double))
                  ? nullptr
                  : static_cast<double*>(std::malloc(3 * sizeof(double) * chunk));
  if (!x) Error("memory allocation error for P, X, Y and Z.");
  double *y = x + chunk, *z = y + chunk;
  const FieldOut all = AllocateMemory(chunk);
  FieldOut out;
  if (want != Want::kAttraction) out.U = all.U;
  if (want != Want::kPotential) {
    out.gx = all.gx;
    out.gy = all.gy;
    out.gz = all.gz;
  }
  // An engine that takes every point at once tells the progress line how
  // far it is; the others are told between their chunks.
  EvaluateOptions options;
  if (progress.Shown() && chunk == model.n)
    options.more = [&](double share) {
      progress.Update(static_cast<size_t>(share * static_cast<double>(model.n)));
      return true;
    };
  for (size_t first = 0; first < model.n; first += chunk) {
    const size_t count = std::min(chunk, model.n - first);
    for (size_t i = 0; i < count; ++i) {
      const terms::Vec c = FacetCentroid(model.V(first + i));
      x[i] = c.x;
      y[i] = c.y;
      z[i] = c.z;
    }
    engine.Evaluate(count, x, y, z, out, options);
    sink(first, count, out);
    progress.Update(first + count);
  }
  std::free(x);
  std::free(all.U);
}

FieldOut AllocateMemory(size_t count) {
  double* block = count > SIZE_MAX / (4 * sizeof(double))
                      ? nullptr
                      : static_cast<double*>(std::malloc(4 * sizeof(double) * count));
  if (!block) Error("memory allocation error for P, X, Y and Z.");
  return {block, block + count, block + 2 * count, block + 3 * count};
}
