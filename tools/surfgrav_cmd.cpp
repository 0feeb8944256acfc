// surfgrav: one implementation for the direct, tabled and threaded builds.
#include "tools/surfgrav_cmd.h"

#include <cstdio>

#include "common/error.h"
#include "common/print.h"
#include "common/read.h"
#include "tools/surface.h"

int SurfgravMain(int argc, char** argv, FieldEngine& engine) {
  if (argc != 2) Error("usage : surfgrav STL");
  const FacetView model = LoadPlainModel(engine, argv[1]);
  const terms::Vec c = PrintVolumeLine(model);
  double U, gx, gy, gz;
  engine.Evaluate(1, &c.x, &c.y, &c.z, {&U, &gx, &gy, &gz});
  PrintFour(U, gx, gy, gz);
  PrintFacetLines(engine, model);
  engine.Release();
  return FinishOutput();
}
