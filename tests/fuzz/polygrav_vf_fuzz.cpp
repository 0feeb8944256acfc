// polygrav_m vertex/face file: any input gives the field at the vertices and
// at the face centres, or ends with one of the model's messages.
#include <cstdint>

#include "tests/fuzz/polygrav_run.h"

namespace {
const char* const kMessages[] = {"bad data number.", "data read error.", nullptr};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CatchErrors();
  const char* model = AsFile(data, size);
  polygrav_run::Run(model, nullptr, kMessages);
  polygrav_run::Run(model, "--", kMessages);
  return 0;
}
