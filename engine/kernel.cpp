// Preparation of the model for the vectorised evaluator (welding of equal
// vertices, one record per edge, facet groups), and the choice of the
// instruction set at run time.
#include "engine/kernel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/error.h"
#include "engine/isa_targets.h"
#include "engine/terms.h"

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

template <class T>
T* Model::Aligned<T>::allocate(size_t n) {
  if (n > (SIZE_MAX - 64) / sizeof(T)) throw std::bad_alloc();
  const size_t bytes = (n * sizeof(T) + 63) / 64 * 64;
  void* p = std::aligned_alloc(64, bytes ? bytes : 64);
  if (!p) throw std::bad_alloc();
  return static_cast<T*>(p);
}
template struct Model::Aligned<double>;
template struct Model::Aligned<int32_t>;

namespace {

using terms::Cross;
using terms::Norm;
using terms::Vec;

// Open-addressing tables of one chunk: vertex by its three coordinates (as
// bit patterns, -0 taken as +0 so that equal values are one vertex), edge by
// its two local end vertices (lower first).
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
    uint64_t key[3];
    for (int k = 0; k < 3; ++k) {
      const double c = v[k] + 0.0;  // -0 + 0 = +0
      std::memcpy(&key[k], &c, 8);
    }
    uint64_t h = (key[0] * 0x9E3779B97F4A7C15ull) ^ (key[1] * 0xC2B2AE3D27D4EB4Full) ^
                 (key[2] * 0x165667B19E3779F9ull);
    h ^= h >> 29;
    for (size_t s = h & mask_;; s = (s + 1) & mask_) {
      const int32_t i = vertex_slot_[s];
      if (i < 0) {
        vertex_slot_[s] = static_cast<int32_t>(vertex_key_.size() / 3);
        vertex_key_.insert(vertex_key_.end(), key, key + 3);
        *added = true;
        return vertex_slot_[s];
      }
      const uint64_t* k = &vertex_key_[3 * size_t(i)];
      if (k[0] == key[0] && k[1] == key[1] && k[2] == key[2]) {
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
  std::vector<uint64_t> vertex_key_;
  std::vector<uint64_t> edge_key_;
};

bool ZeroEntry(const SIEntry& e) {
  return e.nx == 0 && e.ny == 0 && e.nz == 0;
}

uint32_t RoundUp(size_t n) {
  return static_cast<uint32_t>((n + kGroup - 1) / kGroup * kGroup);
}

// Offsets of one chunk's arrays while the storage still grows.
struct Pending {
  uint32_t groups, vertices, edges;
  size_t facet, corner, vx, ea, il;
};

}  // namespace

void Model::Build(const Facets& facets, uint32_t chunk_facets) {
  BuildFrom(facets, chunk_facets, nullptr);
}

void Model::Build(const Facets& facets, const std::vector<uint32_t>& starts) {
  BuildFrom(facets, kMaxChunk, &starts);
}

void Model::BuildFrom(const Facets& facets, uint32_t chunk_facets,
                      const std::vector<uint32_t>* starts) {
  Release();
  const uint32_t n = facets.n;
  if (chunk_facets < kGroup || chunk_facets > kMaxChunk || chunk_facets % kGroup)
    chunk_facets = kMaxChunk;
  try {
    // Everything the table can need, reserved from the facet count: the
    // vectors never grow (no doubling, no copy) and are not shrunk after.
    // Per chunk beyond kBytesPerFacet: the padding of its last group (up to
    // kGroup - 1 facets) and of its vertex and edge lists (kGroup each, one
    // padding edge).
    const size_t chunks =
        (size_t{n} + chunk_facets - 1) / chunk_facets + (starts ? starts->size() : 0);
    size_t next_start = 0;  // the first of `starts` beyond the current chunk's
    real_.reserve(size_t{n} * 34 +
                  chunks * ((kGroup - 1) * kFacetFields + 3 * kGroup + 2 * kGroup));
    index_.reserve(size_t{n} * 12 + chunks * ((kGroup - 1) * kCornerFields + 4 * kGroup));
    ChunkMaps maps(chunk_facets);
    std::vector<Pending> pending;
    // One chunk's local vertices and edges before they are copied out.
    std::vector<double> vx, vy, vz, il;
    std::vector<int32_t> ea, eb;
    uint32_t f = 0;
    while (f < n) {
      maps.Clear();
      vx.clear(), vy.clear(), vz.clear(), il.clear(), ea.clear(), eb.clear();
      Pending p{};
      p.facet = real_.size();
      p.corner = index_.size();
      uint32_t in_chunk = 0;
      uint32_t stop = n;
      if (starts) {
        while (next_start < starts->size() && (*starts)[next_start] <= f) ++next_start;
        if (next_start < starts->size()) stop = (*starts)[next_start];
      }
      for (; f < stop && in_chunk < chunk_facets; ++f) {
        double v[9];
        facets.Corners(f, v);
        double area2;
        const SIEntry e = MakeSIEntry(v, &area2);
        if (ZeroEntry(e)) continue;
        const uint32_t lane = in_chunk % kGroup;
        if (lane == 0) {  // a new group, zero-filled: padding contributes 0
          real_.resize(real_.size() + kFacetFields * kGroup, 0.0);
          index_.resize(index_.size() + kCornerFields * kGroup, -1);
        }
        double* out = &real_[real_.size() - kFacetFields * kGroup] + lane;
        int32_t* corner = &index_[index_.size() - kCornerFields * kGroup] + lane;
        const double fields[kFacetFields] = {e.nx,  e.ny,  e.nz,  e.m1x, e.m1y, e.m1z, e.m2x, e.m2y,
                                             e.m2z, e.m3x, e.m3y, e.m3z, v[0],  v[1],  v[2],  v[3],
                                             v[4],  v[5],  v[6],  v[7],  v[8],  area2};
        for (int k = 0; k < kFacetFields; ++k) out[k * kGroup] = fields[k];
        int32_t local[3];
        for (int k = 0; k < 3; ++k) {
          bool added;
          local[k] = maps.Vertex(v + 3 * k, &added);
          if (added) {
            vx.push_back(v[3 * k]);
            vy.push_back(v[3 * k + 1]);
            vz.push_back(v[3 * k + 2]);
          }
          corner[(kVa + k) * kGroup] = local[k];
        }
        const double inverse[3] = {e.il1, e.il2, e.il3};
        for (int k = 0; k < 3; ++k) {
          bool added;
          const int32_t a = local[k], b = local[(k + 1) % 3];
          const int32_t edge = maps.Edge(a, b, &added);
          if (added) {
            // 1/L from either direction is the same number: (b - a)^2 = (a - b)^2.
            ea.push_back(a);
            eb.push_back(b);
            il.push_back(inverse[k]);
          }
          corner[(kE1 + k) * kGroup] = edge;
        }
        ++in_chunk;
      }
      if (in_chunk == 0) {  // only zero-area facets up to the stop
        if (f < n) continue;
        break;
      }
      p.groups = RoundUp(in_chunk) / kGroup;
      // Padding lanes: vertex 0, and an edge slot of its own whose 1/L is 0
      // (its logarithm is taken as 0).
      const int32_t pad_edge = static_cast<int32_t>(il.size());
      for (uint32_t lane = in_chunk % kGroup; lane && lane < kGroup; ++lane) {
        int32_t* corner = &index_[index_.size() - kCornerFields * kGroup] + lane;
        for (int k = 0; k < 3; ++k) {
          corner[(kVa + k) * kGroup] = 0;
          corner[(kE1 + k) * kGroup] = pad_edge;
        }
      }
      p.vertices = RoundUp(vx.size());
      p.edges = RoundUp(il.size() + 1);
      vertices_ += vx.size();
      edges_ += il.size();
      facets_ += in_chunk;
      vx.resize(p.vertices, 0.0), vy.resize(p.vertices, 0.0), vz.resize(p.vertices, 0.0);
      il.resize(p.edges, 0.0), ea.resize(p.edges, 0), eb.resize(p.edges, 0);
      p.vx = real_.size();
      real_.insert(real_.end(), vx.begin(), vx.end());
      real_.insert(real_.end(), vy.begin(), vy.end());
      real_.insert(real_.end(), vz.begin(), vz.end());
      p.il = real_.size();
      real_.insert(real_.end(), il.begin(), il.end());
      p.ea = index_.size();
      index_.insert(index_.end(), ea.begin(), ea.end());
      index_.insert(index_.end(), eb.begin(), eb.end());
      pending.push_back(p);
    }
    chunk_.reserve(pending.size());
    for (const Pending& p : pending)
      chunk_.push_back({p.groups, p.vertices, p.edges, real_.data() + p.facet,
                        index_.data() + p.corner, real_.data() + p.vx,
                        real_.data() + p.vx + p.vertices, real_.data() + p.vx + 2 * p.vertices,
                        index_.data() + p.ea, index_.data() + p.ea + p.edges, real_.data() + p.il});
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

struct ScratchBlock {
  void* p = nullptr;
  ~ScratchBlock() { std::free(p); }
};
thread_local ScratchBlock scratch;

}  // namespace

void* ThreadScratch() {
  if (!scratch.p) {
    scratch.p = std::aligned_alloc(64, kScratchBytes);
    if (!scratch.p) Error("memory allocation error for SI.");
  }
  return scratch.p;
}

}  // namespace kernel
