// surfgrav_m, threaded build: per-facet table, points divided among THREADS threads.
#include "engine/chooser.h"
#include "tools/surfgrav_cmd.h"

int main(int argc, char** argv) {
  Chooser engine(TableGuard::kRelative, Chooser::kThreadsSetting);
  return SurfgravMain(argc, argv, engine);
}
