// The ranks of an MPI job (MPI_COMM_WORLD), joined only when a launcher
// started the program: without one it is a run of one process, as built
// without MPI. Messages larger than an int counts are sent in pieces.
#include <mpi.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "cli/ranks.h"

namespace cli {

namespace {

// Tags of the point-to-point messages.
constexpr int kGatherTag = 1, kBlockTag = 2, kRelayTag = 3;
// Doubles a message at most (1 GiB).
constexpr size_t kPiece = size_t{1} << 27;
// Bytes of a relayed text a message at most: rank 0 can always take them,
// into a buffer of its own, when it cannot hold the text they are of.
constexpr size_t kRelayPiece = size_t{1} << 16;

// Started by a launcher: Open MPI's, or any PMI/PMIx one.
bool Launched() {
  for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_RANK"})
    if (std::getenv(name)) return true;
  return false;
}

// f(at, n) for the pieces [at, at + n) of count items, at most `piece` each
// (one empty piece for none: a message is sent and received all the same).
template <typename F>
void InPieces(size_t count, size_t piece, F f) {
  size_t at = 0;
  do {
    const size_t n = std::min(count - at, piece);
    f(at, n);
    at += n;
  } while (at < count);
}

template <typename T>
void Send(const T* data, size_t count, MPI_Datatype type, int to, int tag, size_t piece = kPiece) {
  InPieces(count, piece, [&](size_t at, size_t n) {
    MPI_Send(data + at, static_cast<int>(n), type, to, tag, MPI_COMM_WORLD);
  });
}

template <typename T>
void Receive(T* data, size_t count, MPI_Datatype type, int from, int tag, size_t piece = kPiece) {
  InPieces(count, piece, [&](size_t at, size_t n) {
    MPI_Recv(data + at, static_cast<int>(n), type, from, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  });
}

// The message of a failure with its quantities still marked, for the
// receiver to spell.
std::string Marked(const Failure& e) {
  return e.Spelled([](std::string_view name) { return Quantity(name); });
}

// Every rank's failure or none: the lowest rank that failed tells its
// message and kind to all.
std::optional<Ranks::Agreed> Agreement(const Failure* mine, unsigned rank, unsigned count) {
  unsigned lowest = mine ? rank : count;
  MPI_Allreduce(MPI_IN_PLACE, &lowest, 1, MPI_UNSIGNED, MPI_MIN, MPI_COMM_WORLD);
  if (lowest == count) return std::nullopt;
  std::string text = rank == lowest ? Marked(*mine) : "";
  unsigned long long size[2] = {text.size(),
                                rank == lowest ? static_cast<unsigned long long>(mine->kind()) : 0};
  MPI_Bcast(size, 2, MPI_UNSIGNED_LONG_LONG, static_cast<int>(lowest), MPI_COMM_WORLD);
  text.resize(size[0]);
  MPI_Bcast(text.data(), static_cast<int>(size[0]), MPI_CHAR, static_cast<int>(lowest),
            MPI_COMM_WORLD);
  return Ranks::Agreed(text, static_cast<Failure::Kind>(size[1]));
}

}  // namespace

Ranks::Ranks(int* argc, char*** argv) {
  if (!Launched()) return;
  int provided = 0;
  MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided);
  joined_ = true;
  int r = 0, n = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &r);
  MPI_Comm_size(MPI_COMM_WORLD, &n);
  rank_ = static_cast<unsigned>(r), count_ = static_cast<unsigned>(n);
}

Ranks::~Ranks() {
  if (joined_) MPI_Finalize();
}

void Ranks::Agree() const {
  if (count_ == 1) return;
  if (const auto agreed = Agreement(nullptr, rank_, count_)) throw *agreed;
}

Failure Ranks::Settle(std::exception_ptr failure) const {
  try {
    std::rethrow_exception(failure);
  } catch (const Agreed& e) {
    return e;
  } catch (...) {
  }
  const Failure mine = FailureOf(failure);
  if (count_ == 1) return mine;
  return *Agreement(&mine, rank_, count_);
}

int Ranks::Status(int status) const {
  if (count_ > 1) MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
  return status;
}

void Ranks::Gather(const uint8_t* mine, size_t n, const std::vector<Values>& arrays,
                   unsigned root) const {
  if (count_ == 1) return;
  // Every buffer is made before any value moves, and the ranks agree on
  // that: a rank that cannot make its buffers ends the gather on every rank
  // with its failure, where a send or a receive would wait for ever.
  size_t width = 0;
  for (const Values& a : arrays) width = std::max(width, a.width);
  const bool gathers = rank_ == root;
  std::vector<uint64_t> index, counts(gathers ? count_ : 0);
  std::vector<double> packed;
  std::optional<Failure> failed;
  uint64_t count = 0;
  try {
    if (!gathers) {
      for (size_t i = 0; i < n; ++i)
        if (mine[i]) index.push_back(i);
      count = index.size();
      packed.reserve(count * width);
    }
  } catch (const std::bad_alloc&) {
    failed = Failure("memory allocation error for the results of the points.");
  }
  MPI_Gather(&count, 1, MPI_UINT64_T, counts.data(), 1, MPI_UINT64_T, static_cast<int>(root),
             MPI_COMM_WORLD);
  if (gathers && !failed) {
    try {
      const uint64_t most = *std::max_element(counts.begin(), counts.end());
      index.reserve(most);
      packed.reserve(most * width);
    } catch (const std::bad_alloc&) {
      failed = Failure("memory allocation error for the results of the points.");
    }
  }
  if (const auto agreed = Agreement(failed ? &*failed : nullptr, rank_, count_)) throw *agreed;
  if (!gathers) {
    // This rank's points (their indices) and their values, array by array.
    if (count == 0) return;
    Send(index.data(), count, MPI_UINT64_T, static_cast<int>(root), kGatherTag);
    for (const Values& a : arrays) {
      packed.resize(count * a.width);
      for (size_t k = 0; k < count; ++k)
        std::copy_n(a.data + index[k] * a.width, a.width, &packed[k * a.width]);
      Send(packed.data(), packed.size(), MPI_DOUBLE, static_cast<int>(root), kGatherTag);
    }
    return;
  }
  for (unsigned from = 0; from < count_; ++from) {
    const uint64_t c = counts[from];
    if (from == root || c == 0) continue;
    index.resize(c);
    Receive(index.data(), c, MPI_UINT64_T, static_cast<int>(from), kGatherTag);
    for (const Values& a : arrays) {
      packed.resize(c * a.width);
      Receive(packed.data(), packed.size(), MPI_DOUBLE, static_cast<int>(from), kGatherTag);
      for (size_t k = 0; k < c; ++k)
        std::copy_n(&packed[k * a.width], a.width, a.data + index[k] * a.width);
    }
  }
}

void Ranks::Broadcast(double* data, size_t count, unsigned from) const {
  if (count_ == 1) return;
  InPieces(count, kPiece, [&](size_t at, size_t n) {
    MPI_Bcast(data + at, static_cast<int>(n), MPI_DOUBLE, static_cast<int>(from), MPI_COMM_WORLD);
  });
}

void Ranks::Relay(size_t pieces, const std::function<void(const std::string&)>& sink,
                  const std::function<std::string(size_t)>& text) const {
  // A rank that fails to make a piece sends, for it and for each of its
  // later pieces, a mark instead, so that rank 0 still takes every piece and
  // every rank reaches the agreement that ends the relay (where the lowest
  // rank that failed tells its failure); rank 0 writes nothing after a mark.
  // Rank 0 failing to hold a piece takes it all the same, a message at a
  // time, and fails as for a piece of its own.
  constexpr uint64_t kFailed = ~uint64_t{0};
  static char drain[kRelayPiece];
  std::exception_ptr failed;
  bool dropped = false;
  std::string t;
  for (size_t p = 0; p < pieces; ++p) {
    const int owner = static_cast<int>(p % count_);
    if (owner == static_cast<int>(rank_)) {
      if (!failed) {
        try {
          t = text(p);
        } catch (...) {
          failed = std::current_exception();
        }
      }
      if (rank_ == 0) {
        if (!failed && !dropped) sink(t);
        continue;
      }
      const uint64_t size = failed ? kFailed : t.size();
      MPI_Send(&size, 1, MPI_UINT64_T, 0, kRelayTag, MPI_COMM_WORLD);
      if (!failed && size > 0) Send(t.data(), t.size(), MPI_CHAR, 0, kRelayTag, kRelayPiece);
    } else if (rank_ == 0) {
      uint64_t size = 0;
      MPI_Recv(&size, 1, MPI_UINT64_T, owner, kRelayTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      if (size == kFailed) {
        dropped = true;
        continue;
      }
      // A piece's own block, freed once written.
      std::string piece;
      if (!failed) {
        try {
          piece.assign(size, '\0');
        } catch (...) {
          failed = std::current_exception();
        }
      }
      if (failed) {
        // The sender waits on this piece: taken all the same, and dropped.
        if (size > 0)
          InPieces(size, kRelayPiece, [&](size_t, size_t n) {
            MPI_Recv(drain, static_cast<int>(n), MPI_CHAR, owner, kRelayTag, MPI_COMM_WORLD,
                     MPI_STATUS_IGNORE);
          });
        continue;
      }
      if (size > 0) Receive(piece.data(), size, MPI_CHAR, owner, kRelayTag, kRelayPiece);
      if (!dropped) sink(piece);
    }
  }
  std::optional<Failure> mine;
  if (failed) mine = FailureOf(failed);
  if (const auto agreed = Agreement(mine ? &*mine : nullptr, rank_, count_)) throw *agreed;
}

void Ranks::Give(const double* data, size_t count, unsigned to) const {
  Send(data, count, MPI_DOUBLE, static_cast<int>(to), kBlockTag);
}

void Ranks::Take(double* data, size_t count, unsigned from) const {
  Receive(data, count, MPI_DOUBLE, static_cast<int>(from), kBlockTag);
}

}  // namespace cli
