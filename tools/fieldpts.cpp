// fieldpts, direct build: SurfaceIntegral (guarded si) per facet and point.
#include "engine/direct.h"
#include "tools/fieldpts_cmd.h"

int main(int argc, char** argv) {
  DirectEngine engine;
  return FieldptsMain(argc, argv, engine);
}
