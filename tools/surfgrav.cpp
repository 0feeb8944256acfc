// surfgrav, direct build: SurfaceIntegral (unguarded si) per facet and point.
#include "engine/direct.h"
#include "tools/surfgrav_cmd.h"

int main(int argc, char** argv) {
  DirectEngine engine;
  return SurfgravMain(argc, argv, engine);
}
