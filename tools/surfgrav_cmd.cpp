// surfgrav: one implementation for the direct, tabled and threaded builds.
#include "tools/surfgrav_cmd.h"

#include <cstdio>

#include "common/error.h"
#include "common/print.h"
#include "common/read.h"
#include "tools/surface.h"

int SurfgravMain(int argc, char** argv, FieldEngine& engine) {
  if (argc != 2) Error("usage : surfgrav STL");
  engine.Start();
  uint32_t n;
  Facet* facets;
  ReadFacet(argv[1], &n, &facets);
  const FacetView model = FacetView::Of(n, facets);
  engine.Load(model);
  const terms::VolumeSum volume = ModelVolume(model);
  const terms::Vec c = volume.Centroid();
  PrintFour(volume.Volume(), c.x, c.y, c.z);
  double U, gx, gy, gz;
  engine.Evaluate(1, &c.x, &c.y, &c.z, {&U, &gx, &gy, &gz});
  PrintFour(U, gx, gy, gz);
  AtCentroids(engine, model, Want::kAll, [&](size_t first, size_t count, const FieldOut& r) {
    for (size_t i = 0; i < count; ++i)
      PrintFacetLine(model.V(first + i), r.U[i], r.gx[i], r.gy[i], r.gz[i]);
  });
  engine.Release();
  return FinishOutput();
}
