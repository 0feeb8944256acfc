// plumbline_m, threaded build: per-facet table, points divided among THREADS threads.
#include "engine/threaded.h"
#include "tools/plumbline_cmd.h"

int main(int argc, char** argv) {
  ThreadedEngine engine(TableGuard::kRelative);
  return PlumblineMain(argc, argv, engine);
}
