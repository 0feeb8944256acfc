// plumbline, direct build: SurfaceIntegral (unguarded si) per facet pair.
#include "engine/direct.h"
#include "tools/plumbline_cmd.h"

int main(int argc, char** argv) {
  DirectEngine engine;
  return PlumblineMain(argc, argv, engine);
}
