// The processes of one polyfield run: one, or the ranks of an MPI job when
// the program was started by mpirun (and built with MPI). Every rank reads
// the model and makes the same calls; the library divides the evaluation
// (science::Evaluation's part and parts), rank 0 gathers the shares and
// writes every output, and a failure on any rank is agreed on by all, so
// that rank 0 tells it once and every rank ends with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "common/failure.h"

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
  // A failure of this rank, agreed on with the others (who meet it at their
  // next Agree); an Agreed failure is returned as it is.
  Failure Settle(std::exception_ptr failure) const;
  // Rank 0's status, on every rank.
  int Status(int status) const;

  // One array of a gather: `width` values a point.
  struct Values {
    double* data;
    size_t width;
  };
  // The values of each rank's points (mine[i] = 1, n flags) put into rank
  // `root`'s arrays; the other ranks' arrays are left as they are. A rank
  // that cannot make its buffers ends it on every rank, as by Agree.
  void Gather(const uint8_t* mine, size_t n, const std::vector<Values>& arrays,
              unsigned root = 0) const;
  // Rank `from`'s count values of data, on every rank.
  void Broadcast(double* data, size_t count, unsigned from) const;
  // Rank 0 hands to sink the texts of `pieces` pieces in their order,
  // piece p made by text(p) on rank p mod count (and sent to rank 0). A
  // failure there on any rank is agreed on at the end, as by Agree, and
  // nothing after the failed piece reaches the sink.
  void Relay(size_t pieces, const std::function<void(const std::string&)>& sink,
             const std::function<std::string(size_t)>& text) const;
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
