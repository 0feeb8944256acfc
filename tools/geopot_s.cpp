// geopot_s, tabled build: per-facet table, table form.
#include "engine/tabled.h"
#include "tools/geopot_cmd.h"

int main(int argc, char** argv) {
  TabledEngine engine(TableGuard::kRelative);
  return GeopotMain(argc, argv, engine);
}
