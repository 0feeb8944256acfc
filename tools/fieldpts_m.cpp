// fieldpts_m, threaded build: per-facet table, points divided among THREADS threads.
#include "engine/chooser.h"
#include "tools/fieldpts_cmd.h"

int main(int argc, char** argv) {
  Chooser engine(TableGuard::kRelative, Chooser::kThreadsSetting);
  return FieldptsMain(argc, argv, engine);
}
