// A run of one process (the program built without MPI): nothing to divide,
// gather or agree on.
#include "cli/ranks.h"

namespace cli {

Ranks::Ranks(int*, char***) {}
Ranks::~Ranks() = default;
void Ranks::Agree() const {}
Failure Ranks::Settle(std::exception_ptr failure) const {
  return FailureOf(failure);
}
int Ranks::Status(int status) const {
  return status;
}
void Ranks::Gather(const uint8_t*, size_t, const std::vector<Values>&) const {}
science::BlockExchange* Ranks::Exchange() {
  return nullptr;
}

}  // namespace cli
