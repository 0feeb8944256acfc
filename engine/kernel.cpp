// Preparation of the model for the vectorised evaluator (welding of equal
// vertices, one record per edge, facet groups), and the choice of the
// instruction set at run time.
#include "engine/kernel.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "common/error.h"
#include "common/geometry.h"
#include "engine/isa_targets.h"

namespace kernel {

namespace {
// Each instruction set's name, and the word POLYFIELD_SIMD gives it, in the
// order of Simd.
struct SimdNames {
  const char* name;
  const char* key;
};
constexpr SimdNames kSimdNames[] = {
    {"baseline", "baseline"}, {"AVX2", "avx2"}, {"AVX-512", "avx512"}};
const char* Key(Simd simd) {
  return kSimdNames[static_cast<int>(simd)].key;
}
}  // namespace

namespace {

// Open-addressing tables of one chunk: vertex by its weld key (equal
// coordinates are one vertex), edge by its two local end vertices (lower
// first).
class ChunkMaps {
 public:
  explicit ChunkMaps(uint32_t chunk_facets) {
    size_t size = 1;
    while (size < 4 * 3 * size_t{chunk_facets}) size *= 2;
    mask_ = size - 1;
    vertex_slot_.assign(size, -1);
    edge_slot_.assign(size, -1);
  }
  void Clear() {
    std::fill(vertex_slot_.begin(), vertex_slot_.end(), -1);
    std::fill(edge_slot_.begin(), edge_slot_.end(), -1);
    vertex_key_.clear();
    edge_key_.clear();
  }
  // Local index of the vertex at v[0..2]; `added` tells a new one.
  int32_t Vertex(const double* v, bool* added) {
    const geometry::WeldKey key = geometry::WeldKeyOf(v);
    for (size_t s = geometry::WeldHash(key) & mask_;; s = (s + 1) & mask_) {
      const int32_t i = vertex_slot_[s];
      if (i < 0) {
        vertex_slot_[s] = static_cast<int32_t>(vertex_key_.size());
        vertex_key_.push_back(key);
        *added = true;
        return vertex_slot_[s];
      }
      if (vertex_key_[size_t(i)] == key) {
        *added = false;
        return i;
      }
    }
  }
  // Local index of the edge between local vertices a and b.
  int32_t Edge(int32_t a, int32_t b, bool* added) {
    const uint64_t key = a < b ? (uint64_t(uint32_t(a)) << 32 | uint32_t(b))
                               : (uint64_t(uint32_t(b)) << 32 | uint32_t(a));
    uint64_t h = key * 0x9E3779B97F4A7C15ull;
    h ^= h >> 31;
    for (size_t s = h & mask_;; s = (s + 1) & mask_) {
      const int32_t i = edge_slot_[s];
      if (i < 0) {
        edge_slot_[s] = static_cast<int32_t>(edge_key_.size());
        edge_key_.push_back(key);
        *added = true;
        return edge_slot_[s];
      }
      if (edge_key_[size_t(i)] == key) {
        *added = false;
        return i;
      }
    }
  }

 private:
  size_t mask_;
  std::vector<int32_t> vertex_slot_, edge_slot_;
  std::vector<geometry::WeldKey> vertex_key_;
  std::vector<uint64_t> edge_key_;
};

bool ZeroEntry(const SIEntry& e) {
  return e.nx == 0 && e.ny == 0 && e.nz == 0;
}

uint32_t RoundUp(size_t n) {
  return static_cast<uint32_t>((n + kGroup - 1) / kGroup * kGroup);
}

}  // namespace

void Model::Build(const Facets& facets, uint32_t chunk_facets) {
  BuildFrom(facets, chunk_facets, nullptr);
}

void Model::Build(const Facets& facets, const std::vector<uint32_t>& starts) {
  BuildFrom(facets, kMaxChunk, &starts);
}

// One chunk as it is built: its facet groups go straight into the model's
// storage, its local vertex and edge lists are kept here until the chunk
// is closed.
class Model::ChunkBuilder {
 public:
  ChunkBuilder(Model* model, uint32_t chunk_facets) : m_(*model), maps_(chunk_facets) {}

  void Open() {
    maps_.Clear();
    vx_.clear(), vy_.clear(), vz_.clear(), il_.clear(), ea_.clear(), eb_.clear();
    p_ = Pending{};
    p_.facet = m_.real_.size();
    p_.corner = m_.index_.size();
    in_chunk_ = 0;
  }
  uint32_t Facets() const { return in_chunk_; }

  // Facet v (nine doubles) with its table entry: its lane of the current
  // group (a new group, zero-filled, every kGroup facets: padding adds 0),
  // its corners' local vertices and its edges' local indices.
  void Add(const double v[9], const SIEntry& e, double area2) {
    const uint32_t lane = in_chunk_ % kGroup;
    if (lane == 0) {
      m_.real_.resize(m_.real_.size() + kFacetFields * kGroup, 0.0);
      m_.index_.resize(m_.index_.size() + kCornerFields * kGroup, -1);
    }
    double* out = &m_.real_[m_.real_.size() - kFacetFields * kGroup] + lane;
    int32_t* corner = &m_.index_[m_.index_.size() - kCornerFields * kGroup] + lane;
    const double fields[kFacetFields] = {e.nx,  e.ny,  e.nz,  e.m1x, e.m1y, e.m1z, e.m2x, e.m2y,
                                         e.m2z, e.m3x, e.m3y, e.m3z, v[0],  v[1],  v[2],  v[3],
                                         v[4],  v[5],  v[6],  v[7],  v[8],  area2};
    for (int k = 0; k < kFacetFields; ++k) out[k * kGroup] = fields[k];
    int32_t local[3];
    for (int k = 0; k < 3; ++k) {
      bool added;
      local[k] = maps_.Vertex(v + 3 * k, &added);
      if (added) {
        vx_.push_back(v[3 * k]);
        vy_.push_back(v[3 * k + 1]);
        vz_.push_back(v[3 * k + 2]);
      }
      corner[(kVa + k) * kGroup] = local[k];
    }
    const double inverse[3] = {e.il1, e.il2, e.il3};
    for (int k = 0; k < 3; ++k) {
      bool added;
      const int32_t a = local[k], b = local[(k + 1) % 3];
      const int32_t edge = maps_.Edge(a, b, &added);
      if (added) {
        // 1/L from either direction is the same number: (b - a)^2 = (a - b)^2.
        ea_.push_back(a);
        eb_.push_back(b);
        il_.push_back(inverse[k]);
      }
      corner[(kE1 + k) * kGroup] = edge;
    }
    ++in_chunk_;
  }

  // Pads the last group (vertex 0, and an edge slot of its own whose 1/L
  // is 0: its logarithm is taken as 0), appends the vertex and edge lists,
  // padded to whole groups, and records the chunk.
  void Close(std::vector<Pending>* pending) {
    p_.groups = RoundUp(in_chunk_) / kGroup;
    const int32_t pad_edge = static_cast<int32_t>(il_.size());
    for (uint32_t lane = in_chunk_ % kGroup; lane && lane < kGroup; ++lane) {
      int32_t* corner = &m_.index_[m_.index_.size() - kCornerFields * kGroup] + lane;
      for (int k = 0; k < 3; ++k) {
        corner[(kVa + k) * kGroup] = 0;
        corner[(kE1 + k) * kGroup] = pad_edge;
      }
    }
    p_.vertices = RoundUp(vx_.size());
    p_.edges = RoundUp(il_.size() + 1);
    m_.vertices_ += vx_.size();
    m_.edges_ += il_.size();
    m_.facets_ += in_chunk_;
    vx_.resize(p_.vertices, 0.0), vy_.resize(p_.vertices, 0.0), vz_.resize(p_.vertices, 0.0);
    il_.resize(p_.edges, 0.0), ea_.resize(p_.edges, 0), eb_.resize(p_.edges, 0);
    p_.vx = m_.real_.size();
    for (const auto* list : {&vx_, &vy_, &vz_, &il_})
      m_.real_.insert(m_.real_.end(), list->begin(), list->end());
    p_.il = p_.vx + 3 * size_t{p_.vertices};
    p_.ea = m_.index_.size();
    m_.index_.insert(m_.index_.end(), ea_.begin(), ea_.end());
    m_.index_.insert(m_.index_.end(), eb_.begin(), eb_.end());
    pending->push_back(p_);
  }

 private:
  Model& m_;
  ChunkMaps maps_;
  Pending p_{};
  uint32_t in_chunk_ = 0;
  std::vector<double> vx_, vy_, vz_, il_;
  std::vector<int32_t> ea_, eb_;
};

void Model::Reserve(size_t n, size_t chunks) {
  // Everything the table can need, reserved from the facet count: the
  // vectors never grow (no doubling, no copy) and are not shrunk after.
  // Per chunk beyond kBytesPerFacet: the padding of its last group (up to
  // kGroup - 1 facets) and of its vertex and edge lists (kGroup each, one
  // padding edge).
  real_.reserve(n * 34 + chunks * ((kGroup - 1) * kFacetFields + 3 * kGroup + 2 * kGroup));
  index_.reserve(n * 12 + chunks * ((kGroup - 1) * kCornerFields + 4 * kGroup));
}

void Model::Publish(const std::vector<Pending>& pending) {
  chunk_.reserve(pending.size());
  for (const Pending& p : pending)
    chunk_.push_back({p.groups, p.vertices, p.edges, real_.data() + p.facet,
                      index_.data() + p.corner, real_.data() + p.vx,
                      real_.data() + p.vx + p.vertices, real_.data() + p.vx + 2 * p.vertices,
                      index_.data() + p.ea, index_.data() + p.ea + p.edges, real_.data() + p.il});
}

void Model::BuildFrom(const Facets& facets, uint32_t chunk_facets,
                      const std::vector<uint32_t>* starts) {
  Release();
  const uint32_t n = facets.n;
  if (chunk_facets < kGroup || chunk_facets > kMaxChunk || chunk_facets % kGroup)
    chunk_facets = kMaxChunk;
  try {
    Reserve(n, (size_t{n} + chunk_facets - 1) / chunk_facets + (starts ? starts->size() : 0));
    ChunkBuilder chunk(this, chunk_facets);
    std::vector<Pending> pending;
    size_t next_start = 0;  // the first of `starts` beyond the current chunk's
    uint32_t f = 0;
    while (f < n) {
      chunk.Open();
      uint32_t stop = n;
      if (starts) {
        while (next_start < starts->size() && (*starts)[next_start] <= f) ++next_start;
        if (next_start < starts->size()) stop = (*starts)[next_start];
      }
      for (; f < stop && chunk.Facets() < chunk_facets; ++f) {
        double v[9], area2;
        facets.Corners(f, v);
        const SIEntry e = MakeSIEntry(v, &area2);
        if (!ZeroEntry(e)) chunk.Add(v, e, area2);
      }
      if (chunk.Facets() == 0) continue;  // only zero-area facets up to the stop
      chunk.Close(&pending);
    }
    Publish(pending);
  } catch (const std::bad_alloc&) {
    Error("memory allocation error for SI.");
  }
}

void Model::Release() {
  chunk_ = {};
  real_ = {};
  index_ = {};
  facets_ = vertices_ = edges_ = 0;
}

bool Supported(Simd simd) {
#if defined(__x86_64__) || defined(__i386__)
  switch (simd) {
    case Simd::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") &&
             __builtin_cpu_supports("fma");
    case Simd::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Simd::kBaseline:
      return true;
  }
  return false;
#else
  return simd == Simd::kBaseline;
#endif
}

namespace {

// POLYFIELD_SIMD, when set: the instruction set it names.
Simd Chosen() {
  const char* name = std::getenv("POLYFIELD_SIMD");
  if (!name) {
    return Supported(Simd::kAvx512) ? Simd::kAvx512
           : Supported(Simd::kAvx2) ? Simd::kAvx2
                                    : Simd::kBaseline;
  }
  for (Simd simd : {Simd::kBaseline, Simd::kAvx2, Simd::kAvx512}) {
    if (std::strcmp(name, Key(simd)) != 0) continue;
    if (!Supported(simd)) Error("POLYFIELD_SIMD: this processor has no such instruction set.");
    return simd;
  }
  Error("POLYFIELD_SIMD: not one of baseline, avx2, avx512.");
}

}  // namespace

Simd Best() {
  static const Simd best = Chosen();
  return best;
}

const char* Name(Simd simd) {
  return kSimdNames[static_cast<int>(simd)].name;
}

const Isa& For(Simd simd) {
  switch (simd) {
#if KERNEL_X86
    case Simd::kAvx512:
      return avx512::kIsa;
    case Simd::kAvx2:
      return avx2::kIsa;
#endif
    default:
      return baseline::kIsa;
  }
}

namespace {

constexpr size_t kScratchDoubles = kScratchBytes / sizeof(double);
struct ScratchBlock {
  double* p = nullptr;
  ~ScratchBlock() {
    if (p) memory::Aligned<double>().deallocate(p, kScratchDoubles);
  }
};
thread_local ScratchBlock scratch;

}  // namespace

void* ThreadScratch() {
  if (!scratch.p) {
    try {
      scratch.p = memory::Aligned<double>().allocate(kScratchDoubles);
    } catch (const std::bad_alloc&) {
      Error("memory allocation error for SI.");
    }
  }
  return scratch.p;
}

}  // namespace kernel
