// regionheap.cpp - the best-fit coalescing region heap, and the kind-1 tag
// strategy built on it.
//
// A region is a 32-byte header followed by its data area, which is carved
// into blocks, each behind a 16-byte header (RegionBlock: size, mark, owning
// region). Block data is 16-aligned and sizes are multiples of 16.
// Invariants:
//  - the blocks of a region tile its data area exactly;
//  - no two free blocks of a region are adjacent (free and resize merge them);
//  - marks as strategy.h states them, so a block's free neighbours are found
//    from its own header and the one above it, without a search;
//  - inUse.value is the sum of the sizes of the live blocks;
//  - a region whose whole data area is one free block goes back to its sink
//    at once, so an empty heap holds no region.
//
// Which free block serves a request is fixed by one walk: regions from the
// front of the region list (newest first), in each its free blocks from the
// most recently pushed, a block keeping its place when it shrinks or grows;
// the first exact fit wins, else the smallest block that fits, ties to the
// first met. Rather than walking, each free block carries its place in that
// walk as the key (size, then region number and stamp, higher first): every
// push takes the heap's next stamp, so a region's stamps rise in push order,
// and a region's number grows with each region made. The free blocks sit in
// treaps by that key, one per size bin, with a bitmap of the non-empty bins, so the walk's answer
// is the first block of the request's own bin that fits, or the first block of the next non-empty
// bin: logarithmic time. The treap links live in the free block's own data; priorities are a hash
// of its address. An exact bin (one size) keeps its first blocks in a short sorted array ahead of
// its treap.
//
// Allocation carves from the high end of the chosen block, so the remainder
// keeps its stamp and so its place.
#include "memory/strategy.h"
#include "testing.h"

#include <cstring>

#ifdef PSP_TESTING
uint32_t psp::testing::g_regionStampLimit = 0xFFFFFFFFu;
#endif

namespace psp::mem {

namespace {

using Block = RegionBlock;

char *bytes(void *p) { return static_cast<char *>(p); }

Block *headerOf(void *block) { return reinterpret_cast<Block *>(bytes(block) - 16); }

Block *firstBlock(RegionHeader *region) {
  return reinterpret_cast<Block *>(bytes(region) + sizeof(RegionHeader));
}

char *regionEnd(RegionHeader *region) {
  return bytes(region) + sizeof(RegionHeader) + region->dataSize;
}

Block *following(Block *b) { return reinterpret_cast<Block *>(bytes(b) + 16 + b->size); }

// The block just above b, unless b is its region's last, learns the size of
// the free block below it (0: none).
void setMarkAbove(Block *b, uint32_t top, uint32_t value) {
  if (top == 0)
    following(b)->mark = value;
}

// ---- the index: a treap per bin ----

unsigned binOf(uint32_t size) {
  if (size <= 16 * kExactBins)
    return (size >> 4) - 1;
  const unsigned p = 31 - static_cast<unsigned>(__builtin_clz(size));
  constexpr unsigned k = kSizedBinsLog2;
  return kExactBins + ((p - 10) << k) + ((size >> (p - k)) & ((1u << k) - 1));
}

RegionHeader *regionAt(Block *b, uint32_t place) {
  return reinterpret_cast<RegionHeader *>(bytes(b) - (place & ~kRegionTop));
}

uint64_t orderOf(uint32_t number, uint32_t stamp) { return uint64_t{number} << 32 | stamp; }
uint32_t numberOf(uint64_t order) { return static_cast<uint32_t>(order >> 32); }

// Makes b a free block at the given place, with the given stamp (its size is
// set).
void makeFree(Block *b, uint32_t place, uint32_t number, uint32_t stamp) {
  b->mark = place;
  b->order = orderOf(number, stamp);
}

// Makes b an allocated block at the given place; its mark is the caller's.
void makeUsed(Block *b, uint32_t place, uint32_t number) {
  b->owner.place = place;
  b->owner.number = number;
}

// True when a is smaller, or as large and met first in the walk. Blocks of
// one exact bin are all as large, so there the order alone decides.
template <bool exact> inline int before(const Block *a, const Block *b) {
  if (exact)
    return a->order > b->order;
  return (a->size < b->size) | ((a->size == b->size) & (a->order > b->order));
}

// The descents below choose a child by index rather than by branch: which
// side a key falls on is a coin toss the branch predictor cannot learn.

template <bool exact> void treapInsert(Block *&root, Block *node) {
  const uint32_t p = treapPriority(node);
  Block **link = &root;
  for (Block *t; (t = *link) != nullptr && treapPriority(t) >= p;)
    link = &t->child[before<exact>(t, node)];
  // Split what hangs there around the new node: hook[1] takes the nodes met
  // before it, hook[0] those met after.
  Block **hook[2] = {&node->child[1], &node->child[0]};
  for (Block *t = *link; t != nullptr;) {
    const int side = before<exact>(t, node);
    *hook[side] = t;
    hook[side] = &t->child[side];
    t = t->child[side];
  }
  *hook[0] = *hook[1] = nullptr;
  *link = node;
}

// Replaces the node at *link by the join of its two subtrees.
void treapRemoveAt(Block **link) {
  Block *sub[2] = {(*link)->child[0], (*link)->child[1]};
  while (sub[0] != nullptr && sub[1] != nullptr) {
    const int k = treapPriority(sub[0]) < treapPriority(sub[1]);
    Block *top = sub[k];
    *link = top;
    link = &top->child[1 - k];
    sub[k] = top->child[1 - k];
  }
  *link = sub[0] != nullptr ? sub[0] : sub[1];
}

template <bool exact> Block **linkTo(Block **link, const Block *b) {
  while (*link != b)
    link = &(*link)->child[before<exact>(*link, b)];
  return link;
}

Block **leftmost(Block **link) {
  while ((*link)->child[0] != nullptr)
    link = &(*link)->child[0];
  return link;
}

void markBin(RegionHeap &heap, unsigned bin) {
  heap.binMap[bin / 64] |= uint64_t{1} << (bin % 64);
  heap.binWords |= uint64_t{1} << (bin / 64);
}

void unmarkBin(RegionHeap &heap, unsigned bin) {
  uint64_t &word = heap.binMap[bin / 64];
  word &= ~(uint64_t{1} << (bin % 64));
  if (word == 0)
    heap.binWords &= ~(uint64_t{1} << (bin / 64));
}

// ---- exact bins: a front ahead of the treap ----
//
// An exact bin keeps its first blocks, up to kFrontSlots of them, in an array
// in the heap state sorted by walk order (the bin's first block in the last
// used slot); only what comes later in the walk than all of them goes to the
// bin's treap, and the treap is empty while the front is. Most frees push a
// block that comes first or nearly first in its bin, and most allocations
// take the first, so with a few dozen free blocks per size both stay in the
// array: a step or two of insertion, and no descent whose turns the branch
// predictor cannot learn.

// Where a block of the given walk order is in the front: the number of its
// blocks that come after it in the walk.
unsigned frontRank(const RegionFront &f, unsigned count, uint64_t order) {
  unsigned below = 0;
  for (unsigned i = 0; i < kFrontSlots; ++i)
    below += f.order()[i] < order;
  return below - (kFrontSlots - count); // unused slots (order 0) counted too
}

void treapFirstAfterRemoval(RegionHeap &heap, unsigned bin, uint64_t removed) {
  if (removed == heap.treapFirst[bin])
    heap.treapFirst[bin] = heap.bins[bin] != nullptr ? (*leftmost(&heap.bins[bin]))->order : 0;
}

// c ? a : b, without a branch.
inline uint64_t pick(bool c, uint64_t a, uint64_t b) { return b ^ ((a ^ b) & (0 - uint64_t{c})); }
inline Block *pick(bool c, Block *a, Block *b) {
  return reinterpret_cast<Block *>(
      pick(c, reinterpret_cast<uintptr_t>(a), reinterpret_cast<uintptr_t>(b)));
}

// Puts a block into the first n slots of a front with room to spare.
inline void frontPut(RegionFront &f, unsigned n, uint64_t order, Block *node) {
  // Three pushes in four land in one of the top two places, and which one is
  // a coin toss: there the choice is made by selects, not by a loop exit. The
  // zero slots below the first stand in for a short front.
  uint64_t *o = f.order() + n;
  Block **b = f.block() + n;
  if (o[-2] < order) {
    const uint64_t o1 = o[-1];
    Block *const b1 = b[-1];
    const bool under = o1 > order;
    o[0] = pick(under, o1, order);
    b[0] = pick(under, b1, node);
    o[-1] = pick(under, order, o1);
    b[-1] = pick(under, node, b1);
    return;
  }
  unsigned at = n;
  for (; at > 0 && f.order()[at - 1] > order; --at) {
    f.order()[at] = f.order()[at - 1];
    f.block()[at] = f.block()[at - 1];
  }
  f.order()[at] = order;
  f.block()[at] = node;
}

// A block for the treap, or for a full front.
[[gnu::noinline]] void frontInsertSlow(RegionHeap &heap, unsigned bin, Block *node) {
  const uint64_t order = node->order;
  RegionFront &f = heap.front[bin];
  if (order < heap.treapFirst[bin]) {
    treapInsert<true>(heap.bins[bin], node);
    return;
  }
  // Full: the block or the front's last, whichever comes later in the walk,
  // goes to the treap, ahead of all there.
  if (order < f.order()[0]) {
    treapInsert<true>(heap.bins[bin], node);
    heap.treapFirst[bin] = order;
    return;
  }
  treapInsert<true>(heap.bins[bin], f.block()[0]);
  heap.treapFirst[bin] = f.order()[0];
  for (unsigned i = 0; i + 1 < kFrontSlots; ++i) {
    f.order()[i] = f.order()[i + 1];
    f.block()[i] = f.block()[i + 1];
  }
  frontPut(f, kFrontSlots - 1, order, node);
}

[[gnu::always_inline]] inline void frontInsert(RegionHeap &heap, unsigned bin, Block *node) {
  const uint64_t order = node->order;
  const unsigned n = heap.frontCount[bin];
  if (order < heap.treapFirst[bin] || n == kFrontSlots)
    return frontInsertSlow(heap, bin, node);
  frontPut(heap.front[bin], n, order, node);
  heap.frontCount[bin] = static_cast<uint8_t>(n + 1);
  markBin(heap, bin);
}

// The front has run empty: the treap's first moves up, or the bin is empty.
[[gnu::noinline]] void frontEmptied(RegionHeap &heap, unsigned bin) {
  if (heap.bins[bin] == nullptr)
    return unmarkBin(heap, bin);
  Block **link = leftmost(&heap.bins[bin]);
  Block *up = *link;
  *link = up->child[1];
  heap.front[bin].order()[0] = up->order;
  heap.front[bin].block()[0] = up;
  heap.frontCount[bin] = 1;
  treapFirstAfterRemoval(heap, bin, up->order);
}

// Takes the front's block at the given place (count - 1: the bin's first).
[[gnu::always_inline]] inline Block *frontRemoveAt(RegionHeap &heap, unsigned bin, unsigned at) {
  RegionFront &f = heap.front[bin];
  const unsigned n = heap.frontCount[bin] - 1u;
  Block *b = f.block()[at];
  for (unsigned i = at; i < n; ++i) {
    f.order()[i] = f.order()[i + 1];
    f.block()[i] = f.block()[i + 1];
  }
  f.order()[n] = 0;
  heap.frontCount[bin] = static_cast<uint8_t>(n);
  if (n == 0)
    frontEmptied(heap, bin);
  return b;
}

Block *frontFirst(RegionHeap &heap, unsigned bin) {
  const unsigned n = heap.frontCount[bin];
  return n != 0 ? heap.front[bin].block()[n - 1] : nullptr;
}

[[gnu::always_inline]] inline Block *frontTakeFirst(RegionHeap &heap, unsigned bin) {
  return frontRemoveAt(heap, bin, heap.frontCount[bin] - 1u);
}

void frontUnindex(RegionHeap &heap, unsigned bin, Block *b) {
  const uint64_t order = b->order;
  if (order > heap.treapFirst[bin]) {
    frontRemoveAt(heap, bin, frontRank(heap.front[bin], heap.frontCount[bin], order));
  } else {
    treapRemoveAt(linkTo<true>(&heap.bins[bin], b));
    treapFirstAfterRemoval(heap, bin, order);
  }
}

// After the regions are renumbered: the fronts' copies of the orders.
void refreshFronts(RegionHeap &heap) {
  for (unsigned bin = 0; bin < kExactBins; ++bin) {
    RegionFront &f = heap.front[bin];
    for (unsigned i = 0; i < heap.frontCount[bin]; ++i)
      f.order()[i] = f.block()[i]->order;
    heap.treapFirst[bin] = heap.bins[bin] != nullptr ? (*leftmost(&heap.bins[bin]))->order : 0;
  }
}

[[gnu::noinline]] void indexSized(RegionHeap &heap, unsigned bin, Block *b) {
  treapInsert<false>(heap.bins[bin], b);
  markBin(heap, bin);
}

[[gnu::always_inline]] inline void indexIn(RegionHeap &heap, unsigned bin, Block *b) {
  if (bin < kExactBins)
    return frontInsert(heap, bin, b);
  indexSized(heap, bin, b);
}

void index(RegionHeap &heap, Block *b) { indexIn(heap, binOf(b->size), b); }

// Takes the block at *link out of the given sized bin.
void unindexAt(RegionHeap &heap, unsigned bin, Block **link) {
  treapRemoveAt(link);
  if (heap.bins[bin] == nullptr)
    unmarkBin(heap, bin);
}

void unindex(RegionHeap &heap, Block *b) {
  const unsigned bin = binOf(b->size);
  if (bin < kExactBins)
    frontUnindex(heap, bin, b);
  else
    unindexAt(heap, bin, linkTo<false>(&heap.bins[bin], b));
}

// The walk's choice for n bytes (block NULL: none fits), its bin, where it
// hangs in a sized bin's treap, and whether it is its bin's first block.
struct Fit {
  Block *block;
  Block **link; // NULL in an exact bin: the choice is its front's first
  unsigned bin;
  bool first;
};

Fit bestFit(RegionHeap &heap, uint32_t n) {
  Fit fit{nullptr, nullptr, binOf(n), true};
  if (fit.bin < kExactBins) {
    // Every block of the bin is n bytes: the first is the one.
    fit.block = frontFirst(heap, fit.bin);
  } else {
    for (Block **link = &heap.bins[fit.bin]; *link != nullptr;) {
      const int small = (*link)->size < n;
      if (!small)
        fit.link = link;
      fit.first &= !small;
      link = &(*link)->child[small];
    }
    if (fit.link != nullptr)
      fit.block = *fit.link;
  }
  if (fit.block == nullptr) {
    fit.first = true;
    const unsigned from = fit.bin + 1;
    unsigned w = from / 64;
    uint64_t bits = w < kBinWords ? heap.binMap[w] & (~uint64_t{0} << (from % 64)) : 0;
    if (bits == 0) {
      // The next non-empty word, from the summary of the words.
      const uint64_t later = w + 1 < 64 ? heap.binWords & (~uint64_t{0} << (w + 1)) : 0;
      if (later != 0) {
        w = static_cast<unsigned>(__builtin_ctzll(later));
        bits = heap.binMap[w];
      }
    }
    if (bits != 0) {
      fit.bin = w * 64 + static_cast<unsigned>(__builtin_ctzll(bits));
      if (fit.bin < kExactBins) {
        fit.block = frontFirst(heap, fit.bin);
      } else {
        fit.link = leftmost(&heap.bins[fit.bin]);
        fit.block = *fit.link;
      }
    }
  }
  return fit;
}

// Takes a found choice out of its bin.
void takeFit(RegionHeap &heap, const Fit &fit) {
  if (fit.bin < kExactBins)
    frontTakeFirst(heap, fit.bin);
  else
    unindexAt(heap, fit.bin, fit.link);
}

// Changes an indexed block's size, in place when it is alone in its bin and
// stays there.
void resizeIndexed(RegionHeap &heap, Block *b, uint32_t size) {
  const unsigned bin = binOf(b->size);
  const unsigned to = binOf(size);
  if (to == bin && heap.bins[bin] == b && b->child[0] == nullptr && b->child[1] == nullptr) {
    b->size = size;
    return;
  }
  unindex(heap, b);
  b->size = size;
  indexIn(heap, to, b);
}

// ---- stamps ----

// Sorts free blocks of one region, chained through child[0], by ascending
// stamp (bottom-up merge sort).
Block *sortByStamp(Block *list) {
  for (size_t width = 1;; width *= 2) {
    Block *sorted = nullptr;
    Block **tail = &sorted;
    size_t merges = 0;
    for (Block *p = list; p != nullptr;) {
      ++merges;
      Block *q = p;
      size_t ps = 0;
      while (ps < width && q != nullptr) {
        q = q->child[0];
        ++ps;
      }
      size_t qs = width;
      while (ps > 0 || (qs > 0 && q != nullptr)) {
        Block *e;
        if (ps == 0 || (qs > 0 && q != nullptr && q->order < p->order)) {
          e = q;
          q = q->child[0];
          --qs;
        } else {
          e = p;
          p = p->child[0];
          --ps;
        }
        *tail = e;
        tail = &e->child[0];
      }
      p = q;
    }
    *tail = nullptr;
    if (merges <= 1)
      return sorted;
    list = sorted;
  }
}

// Calls f(block, free) on every block of the region, bottom up. Marks tell
// them apart: after an allocated block (or at the region start) a block is
// free exactly when its mark is set.
template <typename F> void forEachBlock(RegionHeader *region, F f) {
  bool previousFree = false;
  for (Block *b = firstBlock(region); bytes(b) < regionEnd(region);) {
    Block *next = following(b);
    previousFree = !previousFree && b->mark != 0;
    f(b, previousFree);
    b = next;
  }
}

// Gives the region's free blocks the stamps 1..k in their present order; k.
uint32_t renumberStamps(RegionHeap &heap, RegionHeader *region) {
  Block *list = nullptr;
  forEachBlock(region, [&](Block *b, bool free) {
    if (!free)
      return;
    unindex(heap, b);
    b->child[0] = list;
    list = b;
  });
  uint32_t stamp = 0;
  for (Block *b = sortByStamp(list); b != nullptr;) {
    Block *next = b->child[0];
    b->order = orderOf(region->number, ++stamp);
    index(heap, b);
    b = next;
  }
  return stamp;
}

// Gives the regions the numbers 1..k in list order (the front highest). The
// order of all keys stays as it was, so the treaps stay valid.
void renumberRegions(RegionHeap &heap) {
  uint32_t count = 0;
  for (RegionHeader *r = heap.regions; r != nullptr; r = r->next)
    ++count;
  heap.regionsMade = count;
  for (RegionHeader *r = heap.regions; r != nullptr; r = r->next, --count) {
    r->number = count;
    forEachBlock(r, [&](Block *b, bool free) {
      if (free)
        b->order = orderOf(count, static_cast<uint32_t>(b->order));
      else
        b->owner.number = count;
    });
  }
  refreshFronts(heap);
}

// Stamps are compared only within a region, so when they run out every
// region's restart from 1.
[[gnu::noinline]] void restartStamps(RegionHeap &heap) {
  uint32_t last = 0;
  for (RegionHeader *r = heap.regions; r != nullptr; r = r->next) {
    const uint32_t k = renumberStamps(heap, r);
    last = k > last ? k : last;
  }
  heap.stamp = last;
}

// The stamp of a block about to be pushed. Called while every mark is as
// stated, since it may renumber.
inline uint32_t nextStamp(RegionHeap &heap) {
  if (heap.stamp >= PSP_REGION_STAMP_LIMIT) [[unlikely]]
    restartStamps(heap);
  return ++heap.stamp;
}

// ---- regions ----

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

// A new region at the front, its data one free block with a fresh stamp,
// not yet in the index.
RegionHeader *newRegion(RegionHeap &heap, uint64_t n) {
  uint64_t size = (n + 16 > heap.minRegion ? n + 16 : heap.minRegion) + sizeof(RegionHeader);
  if (PSP_FAULT_REGION())
    return nullptr;
  void *raw = heap.source(&size, &heap.pair);
  if (raw == nullptr)
    return nullptr;
  if (heap.regionsMade >= PSP_REGION_STAMP_LIMIT)
    renumberRegions(heap);
  const uint32_t stamp = nextStamp(heap);
  RegionHeader *region = static_cast<RegionHeader *>(raw);
  region->dataSize = static_cast<uint32_t>(size - sizeof(RegionHeader));
  region->number = static_cast<uint32_t>(++heap.regionsMade);
  Block *all = firstBlock(region);
  all->size = region->dataSize - 16;
  makeFree(all, sizeof(RegionHeader) | kRegionTop, region->number, stamp);
  linkRegion(heap, region);
  return region;
}

// Merges the free block just above allocated h, if any, into h; the bytes h
// gained (0: none). place, h's, takes that block's top flag.
uint32_t absorbAbove(RegionHeap &heap, Block *h, uint32_t &place) {
  Block *up = following(h);
  if ((place & kRegionTop) != 0 || up->mark == 0)
    return 0;
  place |= up->mark & kRegionTop;
  unindex(heap, up);
  const uint32_t gained = up->size + 16;
  h->size += gained;
  return gained;
}

// Every other request: n is rounded and in range.
[[gnu::noinline]] void *regionAllocSlow(RegionHeap &heap, uint64_t n) {
  const Fit fit = bestFit(heap, static_cast<uint32_t>(n));
  Block *best = fit.block;
  if (best == nullptr) {
    if (newRegion(heap, n) == nullptr)
      return nullptr;
    best = firstBlock(heap.regions);
  }
  const uint32_t place = best->mark;
  const uint32_t number = numberOf(best->order);
  Block *taken;
  uint32_t takenPlace;
  if (best->size <= n + 16) {
    if (fit.block != nullptr)
      takeFit(heap, fit);
    taken = best;
    takenPlace = place;
    taken->mark = 0; // below it: an allocated block or the region start
  } else {
    // The rest keeps its stamp, so its place in the walk. The first block of
    // its bin stays first when it shrinks, so if it stays in the bin it need
    // not move (an exact bin's blocks never stay: the rest is smaller).
    const uint32_t rest = best->size - static_cast<uint32_t>(n + 16);
    const unsigned to = binOf(rest);
    const bool stays = fit.block != nullptr && fit.first && to == fit.bin;
    if (fit.block != nullptr && !stays)
      takeFit(heap, fit);
    best->size = rest;
    best->mark = place & ~kRegionTop; // the taken block is above it now
    if (!stays)
      indexIn(heap, to, best);
    taken = following(best);
    taken->size = static_cast<uint32_t>(n);
    taken->mark = rest;
    takenPlace = place + 16 + rest;
  }
  makeUsed(taken, takenPlace, number);
  setMarkAbove(taken, takenPlace & kRegionTop, 0);
  heap.inUse.add(taken->size);
  return bytes(taken) + 16;
}

// Every other free: the block merges with a neighbour or fills its region.
[[gnu::noinline]] void regionFreeSlow(RegionHeap &heap, Block *h) {
  const uint32_t number = h->owner.number;
  uint32_t place = h->owner.place;
  RegionHeader *region = regionAt(h, place);
  heap.inUse.sub(h->size);
  // Pushed (not merged below): take the stamp while every mark is as stated.
  const uint32_t stamp = h->mark == 0 ? nextStamp(heap) : 0;
  absorbAbove(heap, h, place);
  const uint32_t top = place & kRegionTop;
  const uint32_t wholeRegion = region->dataSize - 16;
  Block *merged;
  if (h->mark != 0) {
    merged = reinterpret_cast<Block *>(bytes(h) - 16 - h->mark);
    const uint32_t size = merged->size + h->size + 16;
    if (size == wholeRegion) {
      unindex(heap, merged);
      merged->size = size;
    } else {
      resizeIndexed(heap, merged, size); // keeps its place
    }
    merged->mark |= top;
  } else {
    merged = h;
    makeFree(h, place, number, stamp);
    if (h->size != wholeRegion)
      index(heap, h);
  }
  if (merged->size == wholeRegion) {
    unlinkRegion(heap, region);
    heap.sink(region, &heap.pair);
    return;
  }
  setMarkAbove(merged, top, merged->size);
}

} // namespace

// The usual request: an exact bin holds a block of the very size, and the
// first of them is taken whole. Everything it needs is in the block.
void *regionAlloc(RegionHeap &heap, uint64_t n) {
  n = round16(n == 0 ? 1 : n);
  if (n > kMaxBlock)
    return nullptr;
  const unsigned bin = static_cast<unsigned>(n >> 4) - 1;
  if (bin >= kExactBins || heap.frontCount[bin] == 0)
    return regionAllocSlow(heap, n);
  Block *b = frontTakeFirst(heap, bin);
  const uint32_t place = b->mark;
  makeUsed(b, place, numberOf(b->order));
  b->mark = 0;
  setMarkAbove(b, place & kRegionTop, 0);
  heap.inUse.add(n);
  return bytes(b) + 16;
}

// The usual free: both neighbours allocated, so the block is pushed as it
// is, without reading its region's header.
void regionFree(RegionHeap &heap, void *block) {
  Block *h = headerOf(block);
  const uint32_t place = h->owner.place;
  const uint32_t top = place & kRegionTop;
  Block *up = following(h);
  if (h->mark != 0 || (top == 0 && up->mark != 0) || place == (sizeof(RegionHeader) | kRegionTop))
    return regionFreeSlow(heap, h);
  heap.inUse.sub(h->size);
  const uint32_t stamp = nextStamp(heap);
  makeFree(h, place, h->owner.number, stamp);
  indexIn(heap, binOf(h->size), h);
  if (top == 0)
    up->mark = h->size;
}

void *regionResize(RegionHeap &heap, void *block, uint64_t n, bool keep) {
  n = round16(n == 0 ? 1 : n);
  if (n > kMaxBlock)
    return nullptr;
  Block *h = headerOf(block);
  const uint32_t original = h->size;
  uint32_t place = h->owner.place;
  if (const uint32_t gained = absorbAbove(heap, h, place)) {
    h->owner.place = place;
    heap.inUse.add(gained);
    setMarkAbove(h, place & kRegionTop, 0);
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
    const uint32_t stamp = nextStamp(heap);
    Block *tail = reinterpret_cast<Block *>(bytes(h) + 16 + n);
    tail->size = h->size - static_cast<uint32_t>(n) - 16;
    makeFree(tail, place + 16 + static_cast<uint32_t>(n), h->owner.number, stamp);
    h->owner.place = place & ~kRegionTop;
    heap.inUse.sub(h->size - n);
    h->size = static_cast<uint32_t>(n);
    index(heap, tail);
    setMarkAbove(tail, place & kRegionTop, tail->size);
  }
  return block;
}

uint32_t regionBlockSize(const void *block) {
  return reinterpret_cast<const Block *>(static_cast<const char *>(block) - 16)->size;
}

void regionFreeAll(RegionHeap &heap) {
  while (RegionHeader *region = heap.regions) {
    heap.regions = region->next;
    heap.sink(region, &heap.pair);
  }
  std::memset(heap.binMap, 0, sizeof heap.binMap);
  heap.binWords = 0;
  std::memset(static_cast<void *>(heap.bins), 0, sizeof heap.bins);
  std::memset(static_cast<void *>(heap.front), 0, sizeof heap.front);
  std::memset(heap.frontCount, 0, sizeof heap.frontCount);
  std::memset(heap.treapFirst, 0, sizeof heap.treapFirst);
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
