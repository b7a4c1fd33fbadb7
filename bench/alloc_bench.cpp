// Allocators at scale, each against glibc malloc/free of the same sizes in
// the same order, measured in the same run (sizes log-uniform in each range,
// or uniform for the Heap mixes marked so):
//  - Fill/N:   an arena tag receives N blocks of 8-256 bytes, then is reset
//              (glibc: N mallocs, then N frees in the same order);
//  - Churn:    N live blocks; each step frees a random one and allocates a
//              new size in its place. Heap = kind 1 without a mutex (16-8192
//              or 16-256 bytes), Large = kind 0 with 16-64 KiB blocks, each
//              its own global-heap block. The uniform mixes draw most
//              general sizes above kind 1's 4 KiB region, so most of those
//              blocks come and go with a region of their own.
// Items are allocations. Every block's first byte is written, as a user
// would. Arguments: {N} for Fill, {N, size mix} for Churn.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "psp.h"

namespace {

enum Mix {
  kSmall = 0,
  kGeneral = 1,
  kLarge = 2,
  kArena = 3,
  kSmallUniform = 4,
  kGeneralUniform = 5
};

// Log-uniform sizes (as memory_bench draws them) or uniform ones, the same
// table for every allocator of one mix.
const std::vector<uint32_t> &sizes(int mix) {
  static std::vector<uint32_t> tables[6];
  std::vector<uint32_t> &t = tables[mix];
  if (t.empty()) {
    const uint32_t bounds[6][2] = {{16, 256}, {16, 8192}, {16384, 65536},
                                   {8, 256},  {16, 256},  {16, 8192}};
    std::mt19937 rng(1234 + mix);
    std::uniform_real_distribution<double> exponent(std::log2(bounds[mix][0]),
                                                    std::log2(bounds[mix][1]));
    std::uniform_int_distribution<uint32_t> uniform(bounds[mix][0], bounds[mix][1]);
    t.resize(1 << 20);
    for (uint32_t &s : t)
      s = mix >= kSmallUniform ? uniform(rng) : static_cast<uint32_t>(std::exp2(exponent(rng)));
  }
  return t;
}

struct Glibc {
  void *alloc(uint32_t n) { return std::malloc(n); }
  void release(void *p) { std::free(p); }
  void releaseAll(std::vector<void *> &blocks) {
    for (void *p : blocks)
      std::free(p);
  }
};

struct Tag {
  PSP_MEMTAG tag;
  void *alloc(uint32_t n) { return psp_getMem(n, tag, PSP_MEM_NORMAL, nullptr, "bench", 1); }
  void release(void *p) { psp_freeMem(p, tag, "bench", 1); }
  void releaseAll(std::vector<void *> &) { psp_freeTagMem(tag, 0, "bench", 1); }
};

template <typename A> void fill(benchmark::State &state, A a) {
  const std::vector<uint32_t> &table = sizes(kArena);
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<void *> blocks(n);
  for (auto _ : state) {
    for (size_t i = 0; i < n; ++i) {
      char *p = static_cast<char *>(a.alloc(table[i & (table.size() - 1)]));
      p[0] = 1;
      blocks[i] = p;
    }
    a.releaseAll(blocks);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

template <typename A> void churn(benchmark::State &state, A a) {
  const std::vector<uint32_t> &table = sizes(static_cast<int>(state.range(1)));
  const size_t live = static_cast<size_t>(state.range(0));
  std::vector<void *> slots(live);
  for (size_t i = 0; i < live; ++i)
    slots[i] = a.alloc(table[i & (table.size() - 1)]);
  std::vector<uint32_t> order(1 << 16);
  std::mt19937 rng(7);
  for (uint32_t &o : order)
    o = static_cast<uint32_t>(rng() % live);
  size_t at = live;
  for (auto _ : state) {
    for (int k = 0; k < 64; ++k, ++at) {
      void *&slot = slots[order[at & (order.size() - 1)]];
      a.release(slot);
      slot = a.alloc(table[at & (table.size() - 1)]);
      static_cast<char *>(slot)[0] = 1;
    }
    benchmark::ClobberMemory();
  }
  for (void *p : slots)
    a.release(p);
  state.SetItemsProcessed(state.iterations() * 64);
}

PSP_MEMTAG newTag(uint32_t kind) { return psp_createTagEx(nullptr, 0, kind, nullptr, nullptr); }

// A fresh tag per benchmark, destroyed after it, so no run inherits another's layout.
template <uint32_t kind>
void withTag(benchmark::State &state, void (*body)(benchmark::State &, Tag)) {
  PSP_MEMTAG tag = newTag(kind);
  body(state, Tag{tag});
  psp_freeTagMem(tag, 1, "bench", 1);
}

void BM_Fill_Glibc(benchmark::State &s) { fill(s, Glibc{}); }
void BM_Fill_Arena(benchmark::State &s) { withTag<PSP_TAGKIND_ARENA>(s, fill<Tag>); }
void BM_Churn_Glibc(benchmark::State &s) { churn(s, Glibc{}); }
void BM_Churn_Heap(benchmark::State &s) { withTag<PSP_TAGKIND_HEAP>(s, churn<Tag>); }
void BM_Churn_Bucket(benchmark::State &s) { withTag<PSP_TAGKIND_BUCKET>(s, churn<Tag>); }

void fillArgs(benchmark::internal::Benchmark *b) {
  for (int64_t n : {1000, 10000, 100000, 1000000})
    b->Arg(n);
}
void heapArgs(benchmark::internal::Benchmark *b) {
  b->Args({1024, kGeneral});
  b->Args({1024, kGeneralUniform});
  for (int64_t n : {1000, 10000, 16384, 100000, 1000000})
    b->Args({n, kSmall});
  b->Args({16384, kSmallUniform});
}
void largeArgs(benchmark::internal::Benchmark *b) {
  for (int64_t n : {256, 1000, 10000, 100000})
    b->Args({n, kLarge});
}
void glibcChurnArgs(benchmark::internal::Benchmark *b) {
  heapArgs(b);
  largeArgs(b);
}

BENCHMARK(BM_Fill_Glibc)->Apply(fillArgs);
BENCHMARK(BM_Fill_Arena)->Apply(fillArgs);
BENCHMARK(BM_Churn_Glibc)->Apply(glibcChurnArgs);
BENCHMARK(BM_Churn_Heap)->Apply(heapArgs);
BENCHMARK(BM_Churn_Bucket)->Apply(largeArgs);

} // namespace

int main(int argc, char **argv) {
  if (psp_init() != PSP_OKAY)
    return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  psp_term();
  return 0;
}
