// A run of one process (the program built without MPI): nothing to divide,
// gather or agree on. Started by mpirun all the same, the first rank runs
// the whole job and the others end at once, so that one process writes
// and speaks.
#include "cli/ranks.h"

#include <cstdlib>

#include "engine/memory.h"

namespace cli {

Ranks::Ranks(int*, char***) {
  for (const char* name : {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK"}) {
    const char* rank = std::getenv(name);
    if (rank && std::atoi(rank) > 0) std::exit(0);
  }
}
Ranks::~Ranks() = default;
void Ranks::Agree() const {}
void Ranks::Agree(std::exception_ptr failure) const {
  if (failure) std::rethrow_exception(failure);
}
Failure Ranks::Settle(std::exception_ptr failure) const {
  return FailureOf(failure);
}
int Ranks::Status(int status) const {
  return status;
}
void Ranks::Gather(const science::FieldPlan&, const science::FieldResult&) const {}
size_t Ranks::Below(size_t) const {
  return 0;
}
template <class Allocator>
void Ranks::Concatenate(std::vector<double, Allocator>*, const char*) const {}
template void Ranks::Concatenate(std::vector<double>*, const char*) const;
template void Ranks::Concatenate(std::vector<double, memory::Aligned<double>>*, const char*) const;
template <class Values>
std::vector<Values> Ranks::Exchange(std::vector<Values> out, const char*) const {
  return out;
}
template std::vector<std::vector<uint32_t>> Ranks::Exchange(std::vector<std::vector<uint32_t>>,
                                                            const char*) const;
template std::vector<tree::Doubles> Ranks::Exchange(std::vector<tree::Doubles>, const char*) const;
bool Ranks::Same(const std::string&) const {
  return true;
}
void Ranks::Broadcast(mesh::Mesh*, unsigned) const {}
void Ranks::Broadcast(double*, size_t, unsigned) const {}
void Ranks::Broadcast(std::vector<uint64_t>*, unsigned) const {}
void Ranks::Broadcast(mesh::CheckReport*, unsigned) const {}
void Ranks::Give(const double*, size_t, unsigned) const {}
void Ranks::Take(double*, size_t, unsigned) const {}

}  // namespace cli
