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

struct BucketState {
  BucketCounters counters;
  BucketFreeBlock *lists[kBucketClasses];
  uint32_t grow[kBucketClasses];
  BucketChunk *chunks;
};

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

// The methods kind 0 puts in its records, compared by the allocation
// interface to take the inline paths below. A tag with a mutex has twins of
// the two instead (bucketUseLocked), so these alone mean "kind 0, nothing to
// lock". A testing build keeps to the methods, whose calls fault injection
// counts.
// Hidden, so that their addresses are constants rather than loads.
#ifdef _WIN32
#define PSP_BUCKET_LOCAL
#else
#define PSP_BUCKET_LOCAL [[gnu::visibility("hidden")]]
#endif
PSP_BUCKET_LOCAL void *bucketAlloc(uint32_t size, void *state);
PSP_BUCKET_LOCAL void bucketFree(void *block, void *state);
void bucketUseLocked(psp_memtag_rec *tag);
#ifdef PSP_TESTING
constexpr bool kBucketInline = false;
#else
constexpr bool kBucketInline = true;
#endif

// A counter that rises, with its peak. A new peak is rare once a tag has
// warmed up, so its store is kept off the straight path.
inline void bucketRaise(CounterPair &c, uint64_t n) {
  c.value += n;
  if (c.value > c.peak) [[unlikely]]
    c.peak = c.value;
}

// The common case for 1 <= s <= 8192: a block from a class that has one,
// else NULL (and nothing changed).
inline void *bucketTryPop(BucketState *b, uint32_t s) {
  const size_t top = bucketTopBit(s);
  BucketFreeBlock **head = &b->lists[top - 3];
  BucketFreeBlock *f = *head;
  if (f == nullptr) [[unlikely]]
    return nullptr;
  *head = f->next;
  const uint32_t blockSize = uint32_t{2} << top;
  BucketHeader *h = reinterpret_cast<BucketHeader *>(f);
  h->requested = s;
  h->blockSize = blockSize;
  bucketRaise(b->counters.inUse, s);
  b->counters.freeBytes.sub(blockSize);
  const int64_t held = static_cast<int64_t>(b->counters.inUse.value + b->counters.freeBytes.value);
  if (held < b->counters.overheadRoom) [[unlikely]]
    b->counters.overheadRoom = held;
  return reinterpret_cast<char *>(f) + sizeof(BucketHeader);
}

// A size-class block back on its list; false (nothing changed) for a large one.
inline bool bucketTryPush(BucketState *b, void *block) {
  BucketHeader *h = reinterpret_cast<BucketHeader *>(static_cast<char *>(block) - 8);
  const uint32_t s = h->requested;
  const uint32_t blockSize = h->blockSize;
  if (blockSize > kBucketLargest) [[unlikely]]
    return false;
  const size_t c = bucketClassOfBlock(blockSize);
  BucketFreeBlock *f = reinterpret_cast<BucketFreeBlock *>(h);
  f->next = b->lists[c];
  b->lists[c] = f;
  b->counters.inUse.sub(s);
  bucketRaise(b->counters.freeBytes, blockSize);
  return true;
}

} // namespace psp::mem
