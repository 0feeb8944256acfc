// geopot, direct build: SurfaceIntegral (unguarded si) per facet pair.
#include "engine/direct.h"
#include "tools/geopot_cmd.h"

int main(int argc, char** argv) {
  DirectEngine engine;
  return GeopotMain(argc, argv, engine);
}
