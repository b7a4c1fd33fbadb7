// Allocation throughput of the memory tags against glibc malloc and mimalloc,
// measured in the same run, for blocks of 16-8192 bytes in three mixes:
//  - Lifo:   a batch of 64 allocations freed newest first (/0: 16-8192 bytes,
//            /1: 16-256 bytes);
//  - Random: 1024 slots, each step frees a random slot and refills it;
//  - Grow:   a string grown from 16 bytes to 8 KiB by resizes, then freed.
//  - Pair32: one 32-byte allocation freed at once;
//  - Lifo32: 64 allocations of 32 bytes freed newest first.
// The tags: one of each kind made for the benchmark, PSP_TAG_DEFAULT (kind 0
// with a mutex) and PSP_TAG_THREAD (the calling thread's own kind-0 tag).
// Items are allocation+free pairs (for Grow: resizes). A thread is started
// and joined before any measurement, so glibc runs as in a multi-threaded
// process.
//
// mimalloc is opened with dlopen(RTLD_LOCAL) and called through mi_malloc /
// mi_free, so it cannot take over malloc for the process: the glibc baseline
// stays glibc (checked at start-up with dladdr on the malloc in use).
#include <benchmark/benchmark.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "psp.h"

namespace {

// Log-uniform sizes: 16..8192 (the general mix) or 16..256 (small objects,
// the arena's usual diet).
std::vector<uint32_t> makeSizes(double topExponent) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> exponent(4.0, topExponent);
  std::vector<uint32_t> t(4096);
  for (uint32_t &s : t)
    s = static_cast<uint32_t>(std::exp2(exponent(rng)));
  return t;
}

const std::vector<uint32_t> &sizes(bool small = false) {
  static const std::vector<uint32_t> general = makeSizes(13.0);
  static const std::vector<uint32_t> smallOnes = makeSizes(8.0);
  return small ? smallOnes : general;
}

using MiMalloc = void *(*)(size_t);
using MiFree = void (*)(void *);
using MiRealloc = void *(*)(void *, size_t);
MiMalloc g_miMalloc;
MiFree g_miFree;
MiRealloc g_miRealloc;

struct Glibc {
  void *alloc(uint32_t n) { return std::malloc(n); }
  void *grow(void *p, uint32_t n) { return std::realloc(p, n); }
  void release(void *p) { std::free(p); }
  void endBatch() {}
};

struct Mimalloc {
  void *alloc(uint32_t n) { return g_miMalloc(n); }
  void *grow(void *p, uint32_t n) { return g_miRealloc(p, n); }
  void release(void *p) { g_miFree(p); }
  void endBatch() {}
};

struct Tag {
  PSP_MEMTAG tag;
  bool resetPerBatch;
  void *alloc(uint32_t n) { return psp_getMem(n, tag, PSP_MEM_NORMAL, nullptr, "bench", 1); }
  void *grow(void *p, uint32_t n) {
    return psp_extendMem(p, n, tag, PSP_MEM_NORMAL, 0, nullptr, "bench", 1);
  }
  void release(void *p) { psp_freeMem(p, tag, "bench", 1); }
  // The arena frees nothing singly; its memory comes back with a reset.
  void endBatch() {
    if (resetPerBatch)
      psp_freeTagMem(tag, 0, "bench", 1);
  }
};

template <typename A> void lifo(benchmark::State &state, A a) {
  const std::vector<uint32_t> &table = sizes(state.range(0) != 0);
  void *batch[64];
  size_t at = 0;
  for (auto _ : state) {
    for (void *&p : batch) {
      p = a.alloc(table[at++ & 4095]);
      static_cast<char *>(p)[0] = 1;
    }
    for (int i = 63; i >= 0; --i)
      a.release(batch[i]);
    a.endBatch();
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * 64);
}

template <typename A> void pair32(benchmark::State &state, A a) {
  for (auto _ : state) {
    void *p = a.alloc(32);
    benchmark::DoNotOptimize(p);
    a.release(p);
  }
  state.SetItemsProcessed(state.iterations());
}

template <typename A> void lifo32(benchmark::State &state, A a) {
  void *batch[64];
  for (auto _ : state) {
    for (void *&p : batch) {
      p = a.alloc(32);
      benchmark::DoNotOptimize(p);
    }
    for (int i = 63; i >= 0; --i)
      a.release(batch[i]);
  }
  state.SetItemsProcessed(state.iterations() * 64);
}

template <typename A> void randomOrder(benchmark::State &state, A a) {
  const std::vector<uint32_t> &table = sizes();
  std::vector<void *> slots(1024);
  for (size_t i = 0; i < slots.size(); ++i)
    slots[i] = a.alloc(table[i]);
  std::vector<uint16_t> order(8192);
  std::mt19937 rng(7);
  for (uint16_t &o : order)
    o = static_cast<uint16_t>(rng() % slots.size());
  size_t at = 0;
  for (auto _ : state) {
    for (int k = 0; k < 64; ++k, ++at) {
      void *&slot = slots[order[at & 8191]];
      a.release(slot);
      slot = a.alloc(table[at & 4095]);
      static_cast<char *>(slot)[0] = 1;
    }
    benchmark::ClobberMemory();
  }
  for (void *p : slots)
    a.release(p);
  state.SetItemsProcessed(state.iterations() * 64);
}

template <typename A> void growString(benchmark::State &state, A a) {
  int64_t steps = 0;
  for (auto _ : state) {
    uint32_t size = 16;
    char *p = static_cast<char *>(a.alloc(size));
    while (size < 8192) {
      uint32_t next = size + size / 2;
      p = static_cast<char *>(a.grow(p, next));
      p[next - 1] = 1;
      size = next;
      ++steps;
    }
    a.release(p);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(steps);
}

struct Library {
  Library() {
    psp_init();
    bucket = psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
    arena = psp_createTagEx(nullptr, 0, PSP_TAGKIND_ARENA, nullptr, nullptr);
    heap = psp_createTagEx(nullptr, 0, PSP_TAGKIND_HEAP, nullptr, nullptr);
  }
  PSP_MEMTAG bucket, arena, heap;
};

Library &library() {
  static Library lib;
  return lib;
}

#define PSP_MIXES(name, make)                                                                      \
  void BM_Lifo_##name(benchmark::State &s) { lifo(s, make); }                                      \
  void BM_Random_##name(benchmark::State &s) { randomOrder(s, make); }                             \
  void BM_Pair32_##name(benchmark::State &s) { pair32(s, make); }                                  \
  void BM_Lifo32_##name(benchmark::State &s) { lifo32(s, make); }                                  \
  BENCHMARK(BM_Pair32_##name);                                                                     \
  BENCHMARK(BM_Lifo32_##name);                                                                     \
  BENCHMARK(BM_Lifo_##name)->Arg(0)->Arg(1);                                                       \
  BENCHMARK(BM_Random_##name);

PSP_MIXES(Glibc, Glibc{})
PSP_MIXES(Mimalloc, Mimalloc{})
PSP_MIXES(TagBucket, (Tag{library().bucket, false}))
PSP_MIXES(TagDefault, (Tag{PSP_TAG_DEFAULT, false}))
PSP_MIXES(TagThread, (Tag{PSP_TAG_THREAD, false}))
PSP_MIXES(TagHeap, (Tag{library().heap, false}))

void BM_Lifo_TagArena(benchmark::State &s) { lifo(s, Tag{library().arena, true}); }
BENCHMARK(BM_Lifo_TagArena)->Arg(0)->Arg(1);

void BM_Grow_Glibc(benchmark::State &s) { growString(s, Glibc{}); }
void BM_Grow_Mimalloc(benchmark::State &s) { growString(s, Mimalloc{}); }
void BM_Grow_TagBucket(benchmark::State &s) { growString(s, Tag{library().bucket, false}); }
void BM_Grow_TagDefault(benchmark::State &s) { growString(s, Tag{PSP_TAG_DEFAULT, false}); }
void BM_Grow_TagHeap(benchmark::State &s) { growString(s, Tag{library().heap, false}); }
BENCHMARK(BM_Grow_Glibc);
BENCHMARK(BM_Grow_Mimalloc);
BENCHMARK(BM_Grow_TagBucket);
BENCHMARK(BM_Grow_TagDefault);
BENCHMARK(BM_Grow_TagHeap);

} // namespace

int main(int argc, char **argv) {
  void *mi = dlopen("libmimalloc.so.2", RTLD_NOW | RTLD_LOCAL);
  if (mi == nullptr) {
    std::fprintf(stderr, "mimalloc not found: %s\n", dlerror());
    return 1;
  }
  g_miMalloc = reinterpret_cast<MiMalloc>(dlsym(mi, "mi_malloc"));
  g_miFree = reinterpret_cast<MiFree>(dlsym(mi, "mi_free"));
  g_miRealloc = reinterpret_cast<MiRealloc>(dlsym(mi, "mi_realloc"));
  Dl_info where;
  void *active = dlsym(RTLD_DEFAULT, "malloc");
  if (dladdr(active, &where) == 0 || std::strstr(where.dli_fname, "libc.so") == nullptr) {
    std::fprintf(stderr, "malloc is not glibc's (%s)\n", where.dli_fname);
    return 1;
  }
  benchmark::AddCustomContext("malloc", where.dli_fname);
  std::thread([] {}).join();
  library();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  psp_term();
  return 0;
}
