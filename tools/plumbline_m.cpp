// plumbline_m, threaded build: per-facet table, points divided among THREADS threads.
#include "engine/tabled.h"
#include "tools/plumbline_cmd.h"

int main(int argc, char** argv) {
  ThreadedEngine<TableGuard::kNone> engine;
  return PlumblineMain(argc, argv, engine);
}
