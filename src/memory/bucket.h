// bucket.h - kind 0's state and its common paths, private to src/memory.
//
// The allocation interface calls these inline for a kind-0 tag (see
// pspmem.cpp), so a plain allocation or free of a size-class block costs no
// indirect call; the refill and the large blocks stay in bucket.cpp.
#pragma once

#include "memory/strategy.h"

#include <cstddef>
#include <cstring>

namespace psp::mem {

constexpr int kBucketClasses = 10;
constexpr uint32_t kBucketLargest = 8192;

struct BucketChunk {
  BucketChunk *next;
  BucketChunk *prev;
};

struct BucketFreeBlock {
  BucketFreeBlock *next;
};

struct BucketHeader {
  uint32_t requested;
  uint32_t blockSize;
};

// The six counters, kept so that an allocation or a free writes two values:
// overhead is derived as total - in use - free bytes, where total (the
// state and every chunk) changes only when a chunk comes or goes. Its peak
// is kept as the room total - peak, which moves with total, so the test for
// a new peak is one sum and one compare: in use + free bytes < room.
struct BucketCounters {
  CounterPair inUse;     // requested bytes of live blocks
  CounterPair freeBytes; // block bytes on the free lists
  uint64_t total;
  int64_t overheadRoom; // total - the overhead's peak; below 0 once total fell under the peak
  uint64_t overhead() const { return total - inUse.value - freeBytes.value; }
  uint64_t overheadPeak() const { return total - static_cast<uint64_t>(overheadRoom); }
  void noteOverhead() {
    const int64_t held = static_cast<int64_t>(inUse.value + freeBytes.value);
    if (held < overheadRoom)
      overheadRoom = held;
  }
  void addTotal(int64_t delta) {
    total += static_cast<uint64_t>(delta);
    overheadRoom += delta;
  }
};

// The block freed last may wait in `lastFreed`, not yet on its list nor in
// the counters: an allocation of the same size takes it back with nothing
// to count, which is what a free followed by an allocation of the same size
// costs. It waits only while the free bytes stay within their peak, so
// taking it back or counting it later raises no peak; the reports add it
// in. Every other operation first puts it on its list ("spills" it), so each
// class stays last in, first out. Its header is copied beside it, so that
// the allocation compares and the spill counts without reading the block.
//
// The inline paths keep two modes in the tag's record. inlineAlloc
// kBucketPlain: no block waits (kBucketWaiting: one may). inlineFree
// kBucketWaiting: a free may wait. Waiting is turned off (kBucketPlain) by a
// free that finds a block waiting, so that a run of frees costs what it
// always did, not a check each, and on again by the allocation after such a
// run; an allocation of another size than the block waiting turns it off
// until the tag is reset, as frees and allocations of mixed sizes gain
// nothing from it.
struct BucketState {
  BucketCounters counters;
  BucketFreeBlock *lists[kBucketClasses];
  BucketChunk *chunks;
  BucketHeader *lastFreed;
  uint64_t lastHeader;          // the waiting block's header as one word, or kBucketNone
  uint8_t grow[kBucketClasses]; // blocks the class's next chunk holds
};

// lastHeader when no block waits: no request has size 0.
constexpr uint64_t kBucketNone = 0;

// For 1 <= s <= 8192: the top bit of s - 1 (at least bit 3), so that the
// class serving s has blocks of 2 << top bytes and index top - 3. Pointer-
// sized, so the - 3 folds into the address of the class's list; written out
// on x86-64, where the builtin's int result costs a sign extension.
inline size_t bucketTopBit(uint32_t s) {
  const uint64_t v = (uint64_t{s} - 1) | 15;
#if defined(__x86_64__)
  size_t top;
  __asm__("bsr %1, %0" : "=r"(top) : "r"(v) : "cc");
  return top;
#else
  return 63u ^ static_cast<size_t>(__builtin_clzll(v));
#endif
}
// The index of a class's list from its block size, a power of two.
inline size_t bucketClassOfBlock(uint32_t blockSize) {
#if defined(__x86_64__)
  size_t low;
  __asm__("bsf %1, %0" : "=r"(low) : "r"(uint64_t{blockSize}) : "cc");
  return low - 4;
#else
  return static_cast<size_t>(__builtin_ctz(blockSize)) - 4;
#endif
}
inline int bucketClassOf(uint32_t s) { return static_cast<int>(bucketTopBit(s)) - 3; }

// The modes of a kind-0 tag's inline paths. A tag with a mutex, and any tag
// in a testing build (whose fault injection counts the methods' calls),
// keeps 0 and goes through its methods.
constexpr uint8_t kBucketPlain = 1;
constexpr uint8_t kBucketWaiting = 2;

// Hidden, so that the inline paths reach them without the offset table.
#ifdef _WIN32
#define PSP_BUCKET_LOCAL
#else
#define PSP_BUCKET_LOCAL [[gnu::visibility("hidden")]]
#endif
PSP_BUCKET_LOCAL void *bucketAlloc(uint32_t size, void *state);
PSP_BUCKET_LOCAL void bucketFree(void *block, void *state);
void bucketUseLocked(psp_memtag_rec *tag);
void bucketWaitAgain(psp_memtag_rec *tag); // after a reset

// A counter that rises, with its peak. A new peak is rare once a tag has
// warmed up, so its store is kept off the straight path.
inline void bucketRaise(CounterPair &c, uint64_t n) {
  c.value += n;
  if (c.value > c.peak) [[unlikely]]
    c.peak = c.value;
}

// Requested size low, block size high: a header as one word.
inline uint64_t bucketHeaderWord(uint32_t requested, uint32_t blockSize) {
  return uint64_t{blockSize} << 32 | requested;
}

// A size-class block onto its list, counted.
inline void bucketPushCounted(BucketState *b, BucketHeader *h, uint32_t requested,
                              uint32_t blockSize) {
  BucketFreeBlock *f = reinterpret_cast<BucketFreeBlock *>(h);
  BucketFreeBlock **head = &b->lists[bucketClassOfBlock(blockSize)];
  f->next = *head;
  *head = f;
  b->counters.inUse.sub(requested);
  bucketRaise(b->counters.freeBytes, blockSize);
}

inline void bucketSpill(BucketState *b) {
  if (const uint64_t word = b->lastHeader) {
    b->lastHeader = kBucketNone;
    bucketPushCounted(b, b->lastFreed, static_cast<uint32_t>(word),
                      static_cast<uint32_t>(word >> 32));
  }
}

// For 1 <= s <= 8192, when no block waits: a block from the class's list,
// counted; NULL (nothing changed) when the list is empty.
inline void *bucketPopCounted(BucketState *b, uint32_t s, size_t top) {
  BucketFreeBlock **head = &b->lists[top - 3];
  BucketFreeBlock *f = *head;
  if (f == nullptr) [[unlikely]]
    return nullptr;
  *head = f->next;
  const uint32_t blockSize = uint32_t{2} << top;
  BucketHeader *h = reinterpret_cast<BucketHeader *>(f);
  h->requested = s;
  h->blockSize = blockSize;
  BucketCounters &k = b->counters;
  bucketRaise(k.inUse, s);
  k.freeBytes.sub(blockSize);
  const int64_t held = static_cast<int64_t>(k.inUse.value + k.freeBytes.value);
  if (held < k.overheadRoom) [[unlikely]]
    k.overheadRoom = held;
  return h + 1;
}

// For 1 <= s <= 8192: the block waiting when it has the same size (a small
// block's size decides its class, so that alone is compared), else NULL
// with *other set when a block of another size waits.
inline void *bucketTakeWaiting(BucketState *b, uint32_t s, bool *other) {
  const uint64_t last = b->lastHeader;
  *other = last != kBucketNone;
  if (static_cast<uint32_t>(last) != s)
    return nullptr;
  b->lastHeader = kBucketNone;
  return b->lastFreed + 1;
}

// For 1 <= s <= 8192: the block waiting, else one from the class's list;
// NULL (nothing changed) when a block of another size waits or the list is
// empty.
inline void *bucketTryPop(BucketState *b, uint32_t s) {
  bool other;
  if (void *block = bucketTakeWaiting(b, s, &other))
    return block;
  if (other)
    return nullptr;
  return bucketPopCounted(b, s, bucketTopBit(s));
}

// A size-class block freed while no block waits: onto its list, counted.
// False (nothing changed) for a large block.
inline bool bucketTryPush(BucketState *b, void *block) {
  BucketHeader *h = reinterpret_cast<BucketHeader *>(static_cast<char *>(block) - 8);
  const uint32_t blockSize = h->blockSize;
  if (blockSize > kBucketLargest) [[unlikely]]
    return false;
  bucketPushCounted(b, h, h->requested, blockSize);
  return true;
}

// A size-class block freed while none waits and its bytes stay within the
// free bytes' peak: it waits. False (nothing changed) otherwise.
inline bool bucketTryWait(BucketState *b, void *block) {
  BucketHeader *h = reinterpret_cast<BucketHeader *>(static_cast<char *>(block) - 8);
  const uint32_t blockSize = h->blockSize;
  if (blockSize > kBucketLargest || b->lastHeader != kBucketNone ||
      blockSize > b->counters.freeBytes.peak - b->counters.freeBytes.value) [[unlikely]]
    return false;
  b->lastFreed = h;
  b->lastHeader = bucketHeaderWord(h->requested, blockSize);
  return true;
}

} // namespace psp::mem
