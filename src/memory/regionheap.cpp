// regionheap.cpp - the best-fit coalescing region heap, and the kind-1 tag
// strategy built on it.
//
// A region is a 32-byte header followed by its data area, which is carved
// into blocks, each with a 16-byte header (u32 size, then the free-list link
// while free or the owning region while allocated). Block data is 16-aligned
// and sizes are multiples of 16. Invariants:
//  - the blocks of a region tile its data area exactly;
//  - no two free blocks of a region are adjacent (free and resize merge them);
//  - inUse.value is the sum of the sizes of the live blocks;
//  - a region whose whole data area is one free block goes back to its sink
//    at once, so an empty heap holds no region.
// Allocation carves from the high end of the best-fitting free block, so the
// free remainder stays where it is in the unordered free list.
#include "memory/strategy.h"
#include "testing.h"

#include <cstring>

namespace psp::mem {

struct BlockHeader {
  uint32_t size;
  uint32_t spare;
  union {
    BlockHeader *nextFree; // while free
    RegionHeader *region;  // while allocated
  };
};

struct RegionHeader {
  uint64_t dataSize; // region size - 32
  RegionHeader *next;
  RegionHeader *prev;
  BlockHeader *freeHead;
};

static_assert(sizeof(BlockHeader) == 16);
static_assert(sizeof(RegionHeader) == 32);

namespace {

char *bytes(void *p) { return static_cast<char *>(p); }

BlockHeader *headerOf(void *block) { return reinterpret_cast<BlockHeader *>(bytes(block) - 16); }

BlockHeader *firstBlock(RegionHeader *region) {
  return reinterpret_cast<BlockHeader *>(bytes(region) + sizeof(RegionHeader));
}

char *endOf(BlockHeader *h) { return bytes(h) + 16 + h->size; }

void linkRegion(RegionHeap &heap, RegionHeader *region) {
  region->prev = nullptr;
  region->next = heap.regions;
  if (heap.regions != nullptr)
    heap.regions->prev = region;
  heap.regions = region;
}

void unlinkRegion(RegionHeap &heap, RegionHeader *region) {
  if (region->prev != nullptr)
    region->prev->next = region->next;
  else
    heap.regions = region->next;
  if (region->next != nullptr)
    region->next->prev = region->prev;
}

// The free block that starts exactly at `at`, with the link that points to it.
BlockHeader *findFreeAt(RegionHeader *region, char *at, BlockHeader ***linkOut) {
  for (BlockHeader **link = &region->freeHead; *link != nullptr; link = &(*link)->nextFree) {
    if (bytes(*link) == at) {
      *linkOut = link;
      return *link;
    }
  }
  return nullptr;
}

RegionHeader *newRegion(RegionHeap &heap, uint64_t n) {
  uint64_t size = (n + 16 > heap.minRegion ? n + 16 : heap.minRegion) + sizeof(RegionHeader);
  if (PSP_FAULT_REGION())
    return nullptr;
  void *raw = heap.source(&size, &heap.pair);
  if (raw == nullptr)
    return nullptr;
  RegionHeader *region = static_cast<RegionHeader *>(raw);
  region->dataSize = size - sizeof(RegionHeader);
  BlockHeader *all = firstBlock(region);
  all->size = static_cast<uint32_t>(region->dataSize - 16);
  all->nextFree = nullptr;
  region->freeHead = all;
  linkRegion(heap, region);
  return region;
}

} // namespace

void *regionAlloc(RegionHeap &heap, uint64_t n) {
  n = round16(n == 0 ? 1 : n);
  if (n > kMaxBlock)
    return nullptr;
  BlockHeader *best = nullptr;
  BlockHeader **bestLink = nullptr;
  RegionHeader *bestRegion = nullptr;
  for (RegionHeader *region = heap.regions; region != nullptr; region = region->next) {
    for (BlockHeader **link = &region->freeHead; *link != nullptr; link = &(*link)->nextFree) {
      BlockHeader *b = *link;
      if (b->size < n || (best != nullptr && b->size >= best->size))
        continue;
      best = b;
      bestLink = link;
      bestRegion = region;
      if (b->size == n)
        goto found;
    }
  }
  if (best == nullptr) {
    bestRegion = newRegion(heap, n);
    if (bestRegion == nullptr)
      return nullptr;
    best = bestRegion->freeHead;
    bestLink = &bestRegion->freeHead;
  }
found:
  BlockHeader *taken;
  if (best->size <= n + 16) {
    *bestLink = best->nextFree;
    taken = best;
  } else {
    taken = reinterpret_cast<BlockHeader *>(bytes(best) + best->size - n);
    taken->size = static_cast<uint32_t>(n);
    best->size -= static_cast<uint32_t>(n + 16);
  }
  taken->region = bestRegion;
  heap.inUse.add(taken->size);
  return bytes(taken) + 16;
}

void regionFree(RegionHeap &heap, void *block) {
  BlockHeader *h = headerOf(block);
  RegionHeader *region = h->region;
  heap.inUse.sub(h->size);

  BlockHeader *below = nullptr;
  BlockHeader *above = nullptr;
  BlockHeader **aboveLink = nullptr;
  for (BlockHeader **link = &region->freeHead; *link != nullptr; link = &(*link)->nextFree) {
    BlockHeader *f = *link;
    if (f < h) {
      if (below == nullptr || f > below)
        below = f;
    } else if (above == nullptr || f < above) {
      above = f;
      aboveLink = link;
    }
  }
  if (above != nullptr && bytes(above) == endOf(h)) {
    *aboveLink = above->nextFree;
    h->size += above->size + 16;
  }
  BlockHeader *merged;
  if (below != nullptr && endOf(below) == bytes(h)) {
    below->size += h->size + 16;
    merged = below;
  } else {
    h->nextFree = region->freeHead;
    region->freeHead = h;
    merged = h;
  }
  if (merged == firstBlock(region) && merged->size == region->dataSize - 16) {
    unlinkRegion(heap, region);
    heap.sink(region, &heap.pair);
  }
}

void *regionResize(RegionHeap &heap, void *block, uint64_t n, bool keep) {
  n = round16(n == 0 ? 1 : n);
  if (n > kMaxBlock)
    return nullptr;
  BlockHeader *h = headerOf(block);
  const uint32_t original = h->size;
  BlockHeader **aboveLink = nullptr;
  if (BlockHeader *above = findFreeAt(h->region, endOf(h), &aboveLink)) {
    *aboveLink = above->nextFree;
    h->size += above->size + 16;
    heap.inUse.add(above->size + 16);
  }
  if (h->size < n) {
    void *moved = regionAlloc(heap, n);
    if (moved == nullptr)
      return nullptr; // still valid, and still counted at its grown size
    if (keep)
      std::memcpy(moved, block, original);
    regionFree(heap, block);
    return moved;
  }
  if (h->size > n + 16) {
    BlockHeader *tail = reinterpret_cast<BlockHeader *>(bytes(h) + 16 + n);
    tail->size = h->size - static_cast<uint32_t>(n) - 16;
    tail->nextFree = h->region->freeHead;
    h->region->freeHead = tail;
    heap.inUse.sub(h->size - n);
    h->size = static_cast<uint32_t>(n);
  }
  return block;
}

uint32_t regionBlockSize(const void *block) {
  return reinterpret_cast<const BlockHeader *>(static_cast<const char *>(block) - 16)->size;
}

void regionFreeAll(RegionHeap &heap) {
  while (RegionHeader *region = heap.regions) {
    heap.regions = region->next;
    heap.sink(region, &heap.pair);
  }
  heap.inUse.value = 0;
}

// ---- kind 1: a region heap over global-heap regions of at least 4096 bytes ----

namespace {

RegionHeap *heapOf(void *state) { return static_cast<RegionHeap *>(state); }

void heapDestroyState(void *state) { bootstrapFree(state); }

void *heapAlloc(uint32_t size, void *state) {
  if (PSP_FAULT_ALLOCATION())
    return nullptr;
  return regionAlloc(*heapOf(state), size);
}

void *heapRealloc(void *block, uint32_t size, void *state, uint32_t keep) {
  if (PSP_FAULT_ALLOCATION())
    return nullptr;
  return regionResize(*heapOf(state), block, size, keep != 0);
}

void heapFree(void *block, void *state) { regionFree(*heapOf(state), block); }

void heapFreeAll(void *state) { regionFreeAll(*heapOf(state)); }

void heapBlockSize(uint64_t *result, void *block) { *result = regionBlockSize(block); }

void heapInfo(void *state, PSP_MEMINFO *info) {
  RegionHeap *heap = heapOf(state);
  info->counters[0] = heap->inUse.value;
  info->counters[1] = heap->inUse.peak;
  info->counters[2] = heap->pair.value;
  info->counters[3] = heap->pair.peak;
  info->counters[4] = 0;
  info->counters[5] = 0;
}

} // namespace

MemMethods heapKindMethods() {
  return MemMethods{heapDestroyState, heapAlloc,     heapRealloc, heapFree,
                    heapFreeAll,      heapBlockSize, heapInfo};
}

bool makeHeapKind(psp_memtag_rec *tag) {
  RegionHeap *heap = static_cast<RegionHeap *>(bootstrapAllocZeroed(sizeof(RegionHeap)));
  if (heap == nullptr)
    return false;
  heap->minRegion = 4096;
  heap->source = globalRegionSource;
  heap->sink = globalRegionSink;
  tag->state = heap;
  tag->methods = heapKindMethods();
  return true;
}

} // namespace psp::mem
