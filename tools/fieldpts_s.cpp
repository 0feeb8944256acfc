// fieldpts_s, tabled build: per-facet table, table form.
#include "engine/chooser.h"
#include "tools/fieldpts_cmd.h"

int main(int argc, char** argv) {
  Chooser engine(TableGuard::kRelative);
  return FieldptsMain(argc, argv, engine);
}
