// surfgrav_m, threaded build: per-facet table, points divided among THREADS threads.
#include "engine/threaded.h"
#include "tools/surfgrav_cmd.h"

int main(int argc, char** argv) {
  ThreadedEngine engine(TableGuard::kRelative);
  return SurfgravMain(argc, argv, engine);
}
