// bucket.h - kind 0's state and its common paths, private to src/memory.
//
// The allocation interface calls these inline for a kind-0 tag (see
// pspmem.cpp), so a plain allocation or free of a size-class block costs no
// indirect call; the refill and the large blocks stay in bucket.cpp.
#pragma once

#include "memory/strategy.h"

#include <bit>
#include <cstddef>
#include <cstring>

namespace psp::mem {

constexpr int kBucketClasses = 10;
constexpr uint32_t kBucketLargest = 8192;

struct BucketChunk {
  BucketChunk *next;
  BucketChunk *prev;
};

// A free block's link sits in its first data word, so its header keeps the
// block size while it is on a list and an allocation writes only the
// requested size. The lists hold data addresses.
struct BucketFreeBlock {
  BucketFreeBlock *next;
};

struct BucketHeader {
  uint32_t requested;
  uint32_t sizeWord; // see bucketSizeWord
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
// kBucketWaiting: no block waits and a free may wait; kBucketParked: one may
// wait, and a free puts it on its list first. Waiting is turned off
// (kBucketPlain) by a free in kBucketParked, so that a run of frees costs
// what it always did, not a check each, and on again by the allocation after
// such a run; an allocation of another size than the block waiting turns it
// off until the tag is reset, as frees and allocations of mixed sizes gain
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

// Classes and sizes come from a table and from the header, not from bit
// scans, which cost several cycles each on some processors.
//
// A block's size word (its header's second half): for a size-class block its
// block size, a power of two from 16, with the class in the low four bits;
// for a large block its size rounded up to 32 (the global heap's limit keeps
// it below 4 GiB). The block size is the word without its low four bits
// either way.
constexpr uint32_t kBucketLargestWord = kBucketLargest | (kBucketClasses - 1);
constexpr uint32_t bucketSizeWord(size_t c) { return (16u << c) | static_cast<uint32_t>(c); }
constexpr uint32_t bucketBlockBytes(uint32_t word) { return word & ~15u; }
constexpr size_t bucketClassOfWord(uint32_t word) { return word & 15u; }

// The class serving 1 <= s <= 8192, by sixteenths: the bit length of (s - 1) / 16.
struct BucketClassTable {
  uint8_t of[kBucketLargest / 16];
  constexpr BucketClassTable() : of() {
    for (uint32_t i = 0; i < kBucketLargest / 16; ++i)
      for (uint32_t v = i; v != 0; v >>= 1)
        ++of[i];
  }
};
inline constexpr BucketClassTable kBucketClassTable{};
inline size_t bucketClassOf(uint32_t s) { return kBucketClassTable.of[(s - 1) >> 4]; }

// The modes of a kind-0 tag's inline paths. A tag with a mutex, and any tag
// in a testing build (whose fault injection counts the methods' calls),
// keeps 0 and goes through its methods.
constexpr uint8_t kBucketPlain = 1;
constexpr uint8_t kBucketWaiting = 2;
constexpr uint8_t kBucketParked = 3; // inlineFree only

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

// A header as one word, requested size low, size word high, read whole.
static_assert(std::endian::native == std::endian::little);
inline uint64_t bucketHeaderWord(const BucketHeader *h) {
  uint64_t word;
  std::memcpy(&word, h, sizeof word);
  return word;
}

// A size-class block (its data) onto its list, counted.
inline void bucketPushCounted(BucketState *b, void *block, uint32_t requested, uint32_t word) {
  BucketFreeBlock *f = static_cast<BucketFreeBlock *>(block);
  BucketFreeBlock **head = &b->lists[bucketClassOfWord(word)];
  f->next = *head;
  *head = f;
  b->counters.inUse.sub(requested);
  bucketRaise(b->counters.freeBytes, bucketBlockBytes(word));
}

inline void bucketSpill(BucketState *b) {
  if (const uint64_t word = b->lastHeader) {
    b->lastHeader = kBucketNone;
    bucketPushCounted(b, b->lastFreed + 1, static_cast<uint32_t>(word),
                      static_cast<uint32_t>(word >> 32));
  }
}

// For 1 <= s <= 8192 of class c, when no block waits: a block from the
// class's list, counted; NULL (nothing changed) when the list is empty.
inline void *bucketPopCounted(BucketState *b, uint32_t s, size_t c) {
  BucketFreeBlock **head = &b->lists[c];
  BucketFreeBlock *f = *head;
  if (f == nullptr) [[unlikely]]
    return nullptr;
  *head = f->next;
  BucketHeader *h = reinterpret_cast<BucketHeader *>(f) - 1;
  h->requested = s;
  const uint32_t blockSize = bucketBlockBytes(h->sizeWord);
  BucketCounters &k = b->counters;
  bucketRaise(k.inUse, s);
  k.freeBytes.sub(blockSize);
  const int64_t held = static_cast<int64_t>(k.inUse.value + k.freeBytes.value);
  if (held < k.overheadRoom) [[unlikely]]
    k.overheadRoom = held;
  return f;
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
  return bucketPopCounted(b, s, bucketClassOf(s));
}

// A size-class block freed while no block waits: onto its list, counted.
// False (nothing changed) for a large block.
inline bool bucketTryPush(BucketState *b, void *block) {
  BucketHeader *h = reinterpret_cast<BucketHeader *>(static_cast<char *>(block) - 8);
  const uint32_t word = h->sizeWord;
  if (word > kBucketLargestWord) [[unlikely]]
    return false;
  bucketPushCounted(b, block, h->requested, word);
  return true;
}

// A size-class block freed while none waits (the caller knows) and its bytes
// stay within the free bytes' peak: it waits. False (nothing changed)
// otherwise.
inline bool bucketTryWait(BucketState *b, void *block) {
  BucketHeader *h = reinterpret_cast<BucketHeader *>(static_cast<char *>(block) - 8);
  const uint64_t header = bucketHeaderWord(h);
  const auto word = static_cast<uint32_t>(header >> 32);
  if (word > kBucketLargestWord ||
      bucketBlockBytes(word) > b->counters.freeBytes.peak - b->counters.freeBytes.value)
      [[unlikely]]
    return false;
  b->lastFreed = h;
  b->lastHeader = header;
  return true;
}

} // namespace psp::mem
