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

#include <cstddef>
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

// A region: this header, then its data area tiled by blocks. The usual
// allocation and free never read it: what they need of it is in the blocks.
struct RegionHeader {
  uint32_t dataSize; // region size - 32
  uint32_t number;   // creation order in its heap; higher is nearer the list front
  uint64_t spare;
  RegionHeader *next;
  RegionHeader *prev;
};

// A block's distance from its region's start (a multiple of 16, at least
// 32), with kRegionTop set when the block is the region's last.
constexpr uint32_t kRegionTop = 1;

// The 16 bytes before every block of a region heap, then (free blocks only)
// the index links in the first 16 data bytes.
//  - allocated: `mark` is the size of the free block just below (0 when the
//    block below is allocated or the region starts there), and `owner` its
//    region's number and the block's place (distance and top flag);
//  - free: `mark` is the block's place (never 0), and `order` its place in
//    the best-fit walk: region number << 32 | stamp, higher first.
struct RegionBlock {
  struct Owner {
    uint32_t place;
    uint32_t number;
  };
  uint32_t size; // data bytes, a multiple of 16
  uint32_t mark;
  union {
    Owner owner;
    uint64_t order;
  };
  RegionBlock *child[2]; // treap children: [0] met earlier in the walk, [1] later
};

static_assert(sizeof(RegionHeader) == 32 && offsetof(RegionBlock, child) == 16);

// Free-block bins: one per size up to 1024 bytes, then 32 per power of two.
// Narrow bins keep each treap short: a descent in a large heap costs a cache
// miss per level, and the bitmap finds the next non-empty bin in a few words.
constexpr unsigned kExactBins = 64;
constexpr unsigned kSizedBinsLog2 = 5;
constexpr unsigned kBins = kExactBins + 22 * (1u << kSizedBinsLog2);
constexpr unsigned kBinWords = (kBins + 63) / 64;
static_assert(kBinWords <= 64); // summarised in one word
// An exact bin's first blocks in walk order, kept in the heap state ahead of
// its treap. A build may ask for fewer, so that tests drive the treap paths.
#ifndef PSP_FRONT_SLOTS
#define PSP_FRONT_SLOTS 16
#endif
constexpr unsigned kFrontSlots = PSP_FRONT_SLOTS;
static_assert(kFrontSlots >= 1 && kFrontSlots <= 255); // counted in a byte

// An exact bin's front: its first blocks with their walk orders, the last
// used slot the bin's first block; unused slots are zero.
struct RegionFront {
  // Two zero slots below the first, so the top two can be read without a bound.
  static constexpr unsigned kPad = 2;
  uint64_t orderAll[kPad + kFrontSlots];
  RegionBlock *blockAll[kPad + kFrontSlots];
  uint64_t *order() { return orderAll + kPad; }
  RegionBlock **block() { return blockAll + kPad; }
  const uint64_t *order() const { return orderAll + kPad; }
};

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
  // The index of the free blocks (regionheap.cpp).
  uint64_t regionsMade = 0;
  uint32_t stamp = 0; // the last stamp given to a pushed block, in any region
  uint64_t binMap[kBinWords] = {};
  uint64_t binWords = 0; // bit w: binMap[w] has a bin

  RegionBlock *bins[kBins] = {};
  // Per exact bin: its first blocks (the rest in its treap, which holds
  // blocks only while the front does), and the walk order of the treap's
  // first block (0: empty).
  RegionFront front[kExactBins] = {};
  uint8_t frontCount[kExactBins] = {};
  uint64_t treapFirst[kExactBins] = {};
};

// n is at most kMaxBlock. Results are 16-aligned.
void *regionAlloc(RegionHeap &heap, uint64_t n);
void regionFree(RegionHeap &heap, void *block);
void *regionResize(RegionHeap &heap, void *block, uint64_t n, bool keep);
uint32_t regionBlockSize(const void *block);
void regionFreeAll(RegionHeap &heap); // every region straight back to the sink

// Treap priority of a node: a multiplicative (Fibonacci) hash of its address,
// so no node stores one; blocks laid out at regular strides get priorities
// spread over the whole range.
inline uint32_t treapPriority(const void *node) {
  return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(node) >> 4) * 0x9E3779B97F4A7C15ull >>
                               32);
}

// ---- global heap ----
// Every block carries a 16-byte prefix with its byte count (request + 16);
// usage is the sum of those counts. The lock is made at start-up.
void globalHeapReset();
void globalHeapSetLock(PSP_SEM lock);
void globalHeapRelease(); // the kept empty regions back to free()
void *globalAlloc(uint64_t request, CounterPair *pair);
void *globalResize(void *block, uint64_t request);
void globalFree(void *block, CounterPair *pair);
// For many frees in a row: globalFreeLocked under a SemGuard of globalHeapLock().
PSP_SEM globalHeapLock();
void globalFreeLocked(void *block, CounterPair *pair);
const RegionHeap &globalHeap(); // for white-box tests
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
// The arena over state memory the caller provides (zeroed, arenaStateBytes).
uint64_t arenaStateBytes();
void arenaKindInit(psp_memtag_rec *tag, void *zeroedState);
bool makeMallocKind(psp_memtag_rec *tag);
// The kind-1 methods, shared with the bootstrap tag.
MemMethods heapKindMethods();

} // namespace psp::mem
