// bucket.h - kind 0's state and its common paths, private to src/memory.
//
// The allocation interface calls these inline for a kind-0 tag (see
// pspmem.cpp), so a plain allocation or free of a size-class block costs no
// indirect call; the refill and the large blocks stay in bucket.cpp.
#pragma once

#include "memory/strategy.h"

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

struct BucketState {
  CounterPair inUse;
  CounterPair freeBytes;
  CounterPair overhead;
  BucketFreeBlock *lists[kBucketClasses];
  uint32_t grow[kBucketClasses];
  BucketChunk *chunks;
};

// For 1 <= s <= 8192: the class whose blocks are the smallest power of two >= s.
inline int bucketClassOf(uint32_t s) { return s <= 16 ? 0 : 28 - __builtin_clz(s - 1); }

// The methods kind 0 puts in its records, compared by the allocation
// interface to take the inline paths below. A testing build keeps to the
// methods, whose calls fault injection counts.
void *bucketAlloc(uint32_t size, void *state);
void bucketFree(void *block, void *state);
#ifdef PSP_TESTING
constexpr bool kBucketInline = false;
#else
constexpr bool kBucketInline = true;
#endif

// The common case for 1 <= s <= 8192: a block from a class that has one,
// else NULL (and nothing changed).
inline void *bucketTryPop(BucketState *b, uint32_t s) {
  const int c = bucketClassOf(s);
  BucketFreeBlock *f = b->lists[c];
  if (f == nullptr)
    return nullptr;
  b->lists[c] = f->next;
  const uint32_t blockSize = 16u << c;
  BucketHeader *h = reinterpret_cast<BucketHeader *>(f);
  h->requested = s;
  h->blockSize = blockSize;
  b->inUse.add(s);
  b->freeBytes.sub(blockSize);
  b->overhead.add(blockSize - s);
  return reinterpret_cast<char *>(f) + sizeof(BucketHeader);
}

// A size-class block back on its list; false (nothing changed) for a large one.
inline bool bucketTryPush(BucketState *b, void *block) {
  BucketHeader *h = reinterpret_cast<BucketHeader *>(static_cast<char *>(block) - 8);
  const uint32_t s = h->requested;
  const uint32_t blockSize = h->blockSize;
  if (blockSize > kBucketLargest)
    return false;
  b->inUse.sub(s);
  const int c = __builtin_ctz(blockSize) - 4;
  BucketFreeBlock *f = reinterpret_cast<BucketFreeBlock *>(h);
  f->next = b->lists[c];
  b->lists[c] = f;
  b->freeBytes.add(blockSize);
  b->overhead.sub(blockSize - s);
  return true;
}

} // namespace psp::mem
