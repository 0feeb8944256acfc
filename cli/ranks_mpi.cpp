// The ranks of an MPI job (MPI_COMM_WORLD), joined only when a launcher
// started the program: without one it is a run of one process, as built
// without MPI. Messages larger than an int counts are sent in pieces.
#include <mpi.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "cli/ranks.h"
#include "engine/memory.h"

namespace cli {

namespace {

// Tags of the point-to-point messages.
constexpr int kGatherTag = 1, kBlockTag = 2, kExchangeTag = 3;
// Doubles a message at most (1 GiB).
constexpr size_t kPiece = size_t{1} << 27;

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

// Waits for a request without spinning: a rank that waits for another
// (for rank 0 reading or checking the model, for a slower rank's share)
// sleeps between tests, at most `longest` nanoseconds, rather than spend a
// core. A message in transit moves on at each test: its waits are short.
void Quietly(MPI_Request* request, long longest = 1000000) {
  int done = 0;
  MPI_Test(request, &done, MPI_STATUS_IGNORE);
  for (long nap = 1000; !done; nap = std::min(2 * nap, longest)) {
    const timespec pause{0, nap};
    nanosleep(&pause, nullptr);
    MPI_Test(request, &done, MPI_STATUS_IGNORE);
  }
}

// A message sent and received in pieces, each waited for quietly (the
// receiver often waits for the sender's work), a tenth of a millisecond
// at most between tests.
constexpr long kMessageNap = 100000;
template <typename T>
void Send(const T* data, size_t count, MPI_Datatype type, int to, int tag, size_t piece = kPiece) {
  InPieces(count, piece, [&](size_t at, size_t n) {
    MPI_Request request;
    MPI_Isend(data + at, static_cast<int>(n), type, to, tag, MPI_COMM_WORLD, &request);
    Quietly(&request, kMessageNap);
  });
}

template <typename T>
void Receive(T* data, size_t count, MPI_Datatype type, int from, int tag, size_t piece = kPiece) {
  InPieces(count, piece, [&](size_t at, size_t n) {
    MPI_Request request;
    MPI_Irecv(data + at, static_cast<int>(n), type, from, tag, MPI_COMM_WORLD, &request);
    Quietly(&request, kMessageNap);
  });
}

// Values sent to one rank while others are received from another, in
// pieces, each pair of pieces waited for quietly.
template <typename T>
void SendReceive(const T* out, size_t sent, int to, T* in, size_t received, int from,
                 MPI_Datatype type) {
  const auto pieces = [](size_t n) { return std::max<size_t>(1, (n + kPiece - 1) / kPiece); };
  for (size_t i = 0; i < std::max(pieces(sent), pieces(received)); ++i) {
    MPI_Request request[2] = {MPI_REQUEST_NULL, MPI_REQUEST_NULL};
    if (i < pieces(received)) {
      const size_t at = i * kPiece, n = std::min(received - std::min(received, at), kPiece);
      MPI_Irecv(in + at, static_cast<int>(n), type, from, kExchangeTag, MPI_COMM_WORLD,
                &request[0]);
    }
    if (i < pieces(sent)) {
      const size_t at = i * kPiece, n = std::min(sent - std::min(sent, at), kPiece);
      MPI_Isend(out + at, static_cast<int>(n), type, to, kExchangeTag, MPI_COMM_WORLD, &request[1]);
    }
    for (MPI_Request& r : request)
      if (r != MPI_REQUEST_NULL) Quietly(&r, kMessageNap);
  }
}

template <typename T>
MPI_Datatype TypeOf() {
  if constexpr (std::is_same_v<T, double>)
    return MPI_DOUBLE;
  else
    return MPI_UINT32_T;
}

// Rank `from`'s count values of data, on every rank, in pieces.
template <typename T>
void BroadcastValues(T* data, size_t count, MPI_Datatype type, unsigned from) {
  InPieces(count, kPiece, [&](size_t at, size_t n) {
    MPI_Bcast(data + at, static_cast<int>(n), type, static_cast<int>(from), MPI_COMM_WORLD);
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
  MPI_Request request;
  MPI_Iallreduce(MPI_IN_PLACE, &lowest, 1, MPI_UNSIGNED, MPI_MIN, MPI_COMM_WORLD, &request);
  Quietly(&request);
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

void Ranks::Agree(std::exception_ptr failure) const {
  if (count_ == 1) {
    if (failure) std::rethrow_exception(failure);
    return;
  }
  try {
    if (failure) std::rethrow_exception(failure);
  } catch (const Agreed&) {
    throw;
  } catch (...) {
  }
  const std::optional<Failure> mine =
      failure ? std::optional<Failure>(FailureOf(failure)) : std::nullopt;
  if (const auto agreed = Agreement(mine ? &*mine : nullptr, rank_, count_)) throw *agreed;
}

template <typename F>
void Ranks::MakeRoom(F make, const char* what) const {
  std::exception_ptr failed;
  try {
    make();
  } catch (const std::bad_alloc&) {
    failed =
        std::make_exception_ptr(Failure(std::string("memory allocation error for ") + what + "."));
  }
  Agree(failed);
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

namespace {

// The values a rank's units of a plan write, unit by unit in order, its
// points in order: the field's four a point, or the tensor's six; f(point,
// tensor) for each point.
template <typename F>
void ForValues(const science::FieldPlan& plan, unsigned rank, unsigned count, F f) {
  const size_t units = plan.Units();
  for (size_t u = Ranks::First(units, rank, count); u < Ranks::First(units, rank + 1, count); ++u) {
    const bool tensor = plan.Tensor(u);
    for (const size_t i : plan.Points(u)) f(i, tensor);
  }
}

}  // namespace

void Ranks::Gather(const science::FieldPlan& plan, const science::FieldResult& out) const {
  if (count_ == 1) return;
  // Every rank knows from the plan which values every other rank sends.
  // Every buffer is made before any value moves, and the ranks agree on
  // that: a rank that cannot make its buffers ends the gather on every rank
  // with its failure, where a send or a receive would wait for ever.
  const auto size = [&](unsigned rank) {
    size_t values = 0;
    ForValues(plan, rank, count_, [&](size_t, bool tensor) { values += tensor ? 6 : 4; });
    return values;
  };
  double* const field[4] = {out.U, out.gx, out.gy, out.gz};
  std::vector<double> packed;
  std::optional<Failure> failed;
  try {
    if (rank_ != 0) {
      packed.reserve(size(rank_));
      ForValues(plan, rank_, count_, [&](size_t i, bool tensor) {
        if (tensor)
          packed.insert(packed.end(), out.tensor + 6 * i, out.tensor + 6 * i + 6);
        else
          for (double* a : field) packed.push_back(a[i]);
      });
    } else {
      size_t most = 0;
      for (unsigned from = 1; from < count_; ++from) most = std::max(most, size(from));
      packed.reserve(most);
    }
  } catch (const std::bad_alloc&) {
    failed = Failure("memory allocation error for the results of the points.");
  }
  if (const auto agreed = Agreement(failed ? &*failed : nullptr, rank_, count_)) throw *agreed;
  if (rank_ != 0) {
    Send(packed.data(), packed.size(), MPI_DOUBLE, 0, kGatherTag);
    return;
  }
  for (unsigned from = 1; from < count_; ++from) {
    packed.resize(size(from));
    Receive(packed.data(), packed.size(), MPI_DOUBLE, static_cast<int>(from), kGatherTag);
    const double* v = packed.data();
    ForValues(plan, from, count_, [&](size_t i, bool tensor) {
      if (tensor) {
        std::copy_n(v, 6, out.tensor + 6 * i);
        v += 6;
      } else {
        for (double* a : field) a[i] = *v++;
      }
    });
  }
}

bool Ranks::Same(const std::string& text) const {
  if (count_ == 1) return true;
  unsigned long long size = text.size();
  MPI_Bcast(&size, 1, MPI_UNSIGNED_LONG_LONG, 0, MPI_COMM_WORLD);
  std::string first = rank_ == 0 ? text : std::string(size, '\0');
  BroadcastValues(first.data(), size, MPI_CHAR, 0);
  int same = first == text;
  MPI_Allreduce(MPI_IN_PLACE, &same, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  return same != 0;
}

void Ranks::Broadcast(mesh::Mesh* m, unsigned from) const {
  if (count_ == 1) return;
  unsigned long long size[5] = {m->vertices.size(), m->faces.size(), m->normals.size(),
                                m->attributes.size(), m->solids};
  MPI_Bcast(size, 5, MPI_UNSIGNED_LONG_LONG, static_cast<int>(from), MPI_COMM_WORLD);
  MakeRoom(
      [&] {
        m->vertices.resize(size[0]), m->faces.resize(size[1]), m->normals.resize(size[2]);
        m->attributes.resize(size[3]);
      },
      "the model");
  m->solids = size[4];
  BroadcastValues(m->vertices.data(), m->vertices.size(), MPI_DOUBLE, from);
  BroadcastValues(m->faces.data(), m->faces.size(), MPI_UINT32_T, from);
  BroadcastValues(m->normals.data(), m->normals.size(), MPI_FLOAT, from);
  BroadcastValues(m->attributes.data(), m->attributes.size(), MPI_UINT16_T, from);
}

size_t Ranks::Below(size_t count) const {
  unsigned long long mine = count, below = 0;
  MPI_Exscan(&mine, &below, 1, MPI_UNSIGNED_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
  return rank_ == 0 ? 0 : static_cast<size_t>(below);
}

template <class Allocator>
void Ranks::Concatenate(std::vector<double, Allocator>* values, const char* what) const {
  if (count_ == 1) return;
  std::vector<unsigned long long> sizes(count_);
  const unsigned long long size = values->size();
  MPI_Allgather(&size, 1, MPI_UNSIGNED_LONG_LONG, sizes.data(), 1, MPI_UNSIGNED_LONG_LONG,
                MPI_COMM_WORLD);
  size_t total = 0, first = 0;
  for (unsigned r = 0; r < count_; ++r) {
    if (r == rank_) first = total;
    total += sizes[r];
  }
  std::vector<double, Allocator> all;
  MakeRoom([&] { all.resize(total); }, what);
  std::copy(values->begin(), values->end(), all.begin() + ptrdiff_t(first));
  std::vector<double, Allocator>().swap(*values);
  size_t at = 0;
  for (unsigned r = 0; r < count_; ++r) {
    BroadcastValues(all.data() + at, sizes[r], MPI_DOUBLE, r);
    at += sizes[r];
  }
  values->swap(all);
}

template void Ranks::Concatenate(std::vector<double>*, const char*) const;
template void Ranks::Concatenate(std::vector<double, memory::Aligned<double>>*, const char*) const;

template <class Values>
std::vector<Values> Ranks::Exchange(std::vector<Values> out, const char* what) const {
  if (count_ == 1) return out;
  using T = typename Values::value_type;
  std::vector<unsigned long long> sent(count_), got(count_);
  for (unsigned r = 0; r < count_; ++r) sent[r] = out[r].size();
  MPI_Alltoall(sent.data(), 1, MPI_UNSIGNED_LONG_LONG, got.data(), 1, MPI_UNSIGNED_LONG_LONG,
               MPI_COMM_WORLD);
  std::vector<Values> in(count_);
  MakeRoom(
      [&] {
        for (unsigned r = 0; r < count_; ++r)
          if (r != rank_) in[r].resize(got[r]);
      },
      what);
  in[rank_] = std::move(out[rank_]);
  // In turn, to the rank s above and from the rank s below: every rank
  // sends and receives at each step.
  for (unsigned s = 1; s < count_; ++s) {
    const unsigned to = (rank_ + s) % count_, from = (rank_ + count_ - s) % count_;
    SendReceive(out[to].data(), out[to].size(), static_cast<int>(to), in[from].data(),
                in[from].size(), static_cast<int>(from), TypeOf<T>());
    Values().swap(out[to]);
  }
  return in;
}

template std::vector<std::vector<uint32_t>> Ranks::Exchange(std::vector<std::vector<uint32_t>>,
                                                            const char*) const;
template std::vector<tree::Doubles> Ranks::Exchange(std::vector<tree::Doubles>, const char*) const;

void Ranks::Broadcast(double* data, size_t count, unsigned from) const {
  if (count_ == 1) return;
  BroadcastValues(data, count, MPI_DOUBLE, from);
}

void Ranks::Broadcast(std::vector<uint64_t>* words, unsigned from) const {
  if (count_ == 1) return;
  unsigned long long size = words->size();
  MPI_Bcast(&size, 1, MPI_UNSIGNED_LONG_LONG, static_cast<int>(from), MPI_COMM_WORLD);
  MakeRoom([&] { words->resize(size); }, "the plan");
  BroadcastValues(words->data(), words->size(), MPI_UINT64_T, from);
}

void Ranks::Broadcast(mesh::CheckReport* report, unsigned from) const {
  static_assert(std::is_trivially_copyable_v<mesh::CheckReport>);
  if (count_ == 1) return;
  MPI_Bcast(report, static_cast<int>(sizeof *report), MPI_BYTE, static_cast<int>(from),
            MPI_COMM_WORLD);
}

void Ranks::Give(const double* data, size_t count, unsigned to) const {
  Send(data, count, MPI_DOUBLE, static_cast<int>(to), kBlockTag);
}

void Ranks::Take(double* data, size_t count, unsigned from) const {
  Receive(data, count, MPI_DOUBLE, static_cast<int>(from), kBlockTag);
}

}  // namespace cli
