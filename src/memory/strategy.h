// strategy.h - the allocator strategies beneath the memory tags, private to
// src/memory.
//
// One region-heap algorithm serves three owners: the global heap (regions
// from malloc or the caller's buffer), every kind-1 tag and the bootstrap tag
// (regions from the global heap). The size-class, arena and malloc kinds sit
// beside it. Strategy states are never locked by themselves: the owning tag's
// mutex covers them, and the global heap takes its own lock.
#pragma once

#include "internal.h"

#include <cstdint>

namespace psp::mem {

// Largest block a region heap hands out. Block sizes are u32 in the block
// header; this leaves room for the headers around a maximal block.
constexpr uint64_t kMaxBlock = 0xFFFFFF00u;

inline uint64_t round16(uint64_t n) { return (n + 15) & ~uint64_t{15}; }

// A value and its high-water mark.
struct CounterPair {
  uint64_t value;
  uint64_t peak;
  void add(uint64_t n) {
    value += n;
    if (value > peak)
      peak = value;
  }
  void sub(uint64_t n) { value -= n; }
};

struct RegionHeader;

// Given the wanted region size (in/out: the source may hand out more) and the
// heap's counter pair; returns a 16-aligned region or NULL.
using RegionSource = void *(*)(uint64_t *size, CounterPair *pair);
using RegionSink = void (*)(void *region, CounterPair *pair);

struct RegionHeap {
  RegionHeader *regions;
  uint64_t minRegion;
  RegionSource source;
  RegionSink sink;
  CounterPair inUse; // sum of live block sizes
  CounterPair pair;  // handed to source and sink
};

// n is at most kMaxBlock. Results are 16-aligned.
void *regionAlloc(RegionHeap &heap, uint64_t n);
void regionFree(RegionHeap &heap, void *block);
void *regionResize(RegionHeap &heap, void *block, uint64_t n, bool keep);
uint32_t regionBlockSize(const void *block);
void regionFreeAll(RegionHeap &heap); // every region straight back to the sink

// ---- global heap ----
// Every block carries a 16-byte prefix with its byte count (request + 16);
// usage is the sum of those counts. The lock is made at start-up.
void globalHeapReset();
void globalHeapSetLock(PSP_SEM lock);
void *globalAlloc(uint64_t request, CounterPair *pair);
void *globalResize(void *block, uint64_t request);
void globalFree(void *block, CounterPair *pair);
// Region source and sink over the global heap, for kind 1 and the bootstrap.
void *globalRegionSource(uint64_t *size, CounterPair *pair);
void globalRegionSink(void *region, CounterPair *pair);

// ---- bootstrap tag: tag records and strategy states ----
extern psp_memtag_rec g_bootstrap;
void bootstrapInit();
void *bootstrapAllocZeroed(uint64_t size); // 1 .. 0xFFFFFFFD bytes, else NULL
void bootstrapFree(void *block);

// ---- the four kinds ----
// Each fills tag->state and tag->methods; false when the state cannot be had.
bool makeBucketKind(psp_memtag_rec *tag);
bool makeHeapKind(psp_memtag_rec *tag);
bool makeArenaKind(psp_memtag_rec *tag);
bool makeMallocKind(psp_memtag_rec *tag);
// The kind-1 methods, shared with the bootstrap tag.
MemMethods heapKindMethods();

} // namespace psp::mem
