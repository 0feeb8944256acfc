// fieldpts_m, threaded build: per-facet table, points divided among THREADS threads.
#include "engine/tabled.h"
#include "tools/fieldpts_cmd.h"

int main(int argc, char** argv) {
  ThreadedEngine<TableGuard::kRelative> engine;
  return FieldptsMain(argc, argv, engine);
}
