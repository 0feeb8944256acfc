// The processes of one polyfield run: one, or the ranks of an MPI job when
// the program was started by mpirun (and built with MPI). Every rank reads
// the model and makes the same calls, with the same plans of its field
// evaluations (science::FieldPlan: the engines' plans made by rank 0 and
// handed to the others, SharedPlan); the ranks deal out a plan's units,
// a range of them a rank (Mine), rank 0 gathers them and writes every output,
// and a failure on any rank is agreed on by all, so that rank 0 tells it
// once and every rank ends with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "common/failure.h"
#include "engine/tree/tree.h"
#include "mesh/check.h"
#include "mesh/mesh.h"
#include "science/field.h"

namespace cli {

class Ranks {
 public:
  // Joins the job when mpirun started the program; else a run of one.
  Ranks(int* argc, char*** argv);
  ~Ranks();
  Ranks(const Ranks&) = delete;
  Ranks& operator=(const Ranks&) = delete;

  unsigned rank() const { return rank_; }
  unsigned count() const { return count_; }
  bool Root() const { return rank_ == 0; }

  // Every rank calls it at the same points of the run: returns when no rank
  // failed; else throws, on every rank, the failure of the lowest rank that
  // failed (Agreed).
  void Agree() const;
  // The same, where this rank may have failed (`failure`, null when not):
  // throws, on every rank, the failure of the lowest rank that failed.
  void Agree(std::exception_ptr failure) const;
  // A failure of this rank, agreed on with the others (who meet it at their
  // next Agree); an Agreed failure is returned as it is.
  Failure Settle(std::exception_ptr failure) const;
  // Rank 0's status, on every rank.
  int Status(int status) const;

  // Rank r's share of n items (a plan's units, a tree's parts): the r-th
  // of `count` ranges of nearly as many, in order, [First(n, r),
  // First(n, r + 1)); the units of a plan follow its points through space,
  // so a rank's units take few of the far cells the others' take.
  static size_t First(size_t n, unsigned r, unsigned count) { return n * r / count; }
  std::vector<size_t> Mine(size_t n) const {
    std::vector<size_t> mine;
    for (size_t u = First(n, rank_, count_); u < First(n, rank_ + 1, count_); ++u)
      mine.push_back(u);
    return mine;
  }
  // The rank of `count` whose share of n items holds item k < n.
  static unsigned Owner(size_t n, size_t k, unsigned count) {
    // First(n, k count / n, count) <= k: its share or a later one.
    unsigned r = static_cast<unsigned>(k * count / n);
    while (k >= First(n, r + 1, count)) ++r;
    return r;
  }
  // Every rank's values for each rank (out[r] for rank r) handed over: of
  // the result, in[r] came from rank r. A rank that cannot make room for
  // what it receives ends it on every rank, as by Agree, with "memory
  // allocation error for <what>.".
  template <class Values>
  std::vector<Values> Exchange(std::vector<Values> out, const char* what) const;
  // Every rank's units of the plan (Mine) put into rank 0's results; the
  // other ranks' are left as they are. A rank that cannot make its buffers
  // ends it on every rank, as by Agree.
  void Gather(const science::FieldPlan& plan, const science::FieldResult& out) const;
  // The sum of `count` over the ranks below this one.
  size_t Below(size_t count) const;
  // Every rank's values one after the other in rank order, on every rank;
  // a rank that cannot make room for them ends it on every rank, as by
  // Agree, with "memory allocation error for <what>.".
  template <class Allocator>
  void Concatenate(std::vector<double, Allocator>* values, const char* what) const;
  // Whether every rank has the same text.
  bool Same(const std::string& text) const;
  // Rank `from`'s model, on every rank; a rank that cannot make room for it
  // ends it on every rank, as by Agree.
  void Broadcast(mesh::Mesh* model, unsigned from) const;
  // Rank `from`'s count values of data, on every rank.
  void Broadcast(double* data, size_t count, unsigned from) const;
  // Rank `from`'s check report, on every rank.
  void Broadcast(mesh::CheckReport* report, unsigned from) const;
  // Rank `from`'s words, on every rank; a rank that cannot make room for
  // them ends it on every rank, as by Agree.
  void Broadcast(std::vector<uint64_t>* words, unsigned from) const;
  // Count values given to rank `to`, which takes them, in the order given,
  // from this rank.
  void Give(const double* data, size_t count, unsigned to) const;
  void Take(double* data, size_t count, unsigned from) const;

  // The failure of another rank, already told to this one.
  class Agreed : public Failure {
   public:
    using Failure::Failure;
  };

 private:
  // make() (the room for what is received), its memory exhausted agreed
  // on as "memory allocation error for <what>." (as by Agree).
  template <typename F>
  void MakeRoom(F make, const char* what) const;

  unsigned rank_ = 0, count_ = 1;
  bool joined_ = false;
};

// The failure an exception stands for: a Failure as it is, memory
// exhausted as such, any other as its message.
inline Failure FailureOf(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Failure& e) {
    return e;
  } catch (const std::bad_alloc&) {
    return Failure("memory allocation error.");
  } catch (const std::exception& e) {
    return Failure(e.what());
  } catch (...) {
    return Failure("unknown failure");
  }
}

}  // namespace cli
