// plumbline_s, tabled build: per-facet table, table form.
#include "engine/tabled.h"
#include "tools/plumbline_cmd.h"

int main(int argc, char** argv) {
  TabledEngine engine(TableGuard::kRelative);
  return PlumblineMain(argc, argv, engine);
}
