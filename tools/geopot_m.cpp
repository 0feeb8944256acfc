// geopot_m, threaded build: per-facet table, points divided among THREADS threads.
#include "engine/tabled.h"
#include "tools/geopot_cmd.h"

int main(int argc, char** argv) {
  ThreadedEngine<TableGuard::kNone> engine;
  return GeopotMain(argc, argv, engine);
}
