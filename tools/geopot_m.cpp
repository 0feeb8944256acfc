// geopot_m, threaded build: per-facet table, points divided among THREADS threads.
#include "engine/threaded.h"
#include "tools/geopot_cmd.h"

int main(int argc, char** argv) {
  ThreadedEngine engine(TableGuard::kRelative);
  return GeopotMain(argc, argv, engine);
}
