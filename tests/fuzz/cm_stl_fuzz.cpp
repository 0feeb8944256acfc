// Colour-map reader: any input fills the table or ends with one of the
// colour map's messages; every entry is then 0 (no colour) or a colour word
// with bit 15 set.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/cm_stl.h"
#include "tests/fuzz/harness.h"

namespace {
const char* const kMessages[] = {"bad color specification.", "bad R, G and/or B value.",
                                 "bad range list.", nullptr};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CatchErrors();
  AsStdin(data, size);
  static uint16_t table[kColourEntries];
  try {
    CM_STL("-", table);
  } catch (const Fatal& e) {
    if (!OneOf(e.what(), kMessages)) Broken(std::string("colour map message: ") + e.what());
    return 0;
  }
  for (uint32_t i = 0; i < kColourEntries; ++i)
    if (table[i] != 0 && !(table[i] & 0x8000)) Broken("table entry neither 0 nor a colour");
  return 0;
}
