// surfgrav_s, tabled build: per-facet table, table form.
#include "engine/chooser.h"
#include "tools/surfgrav_cmd.h"

int main(int argc, char** argv) {
  Chooser engine(TableGuard::kRelative);
  return SurfgravMain(argc, argv, engine);
}
