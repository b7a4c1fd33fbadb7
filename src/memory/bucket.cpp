// bucket.cpp - kind 0: power-of-two size classes over global-heap chunks.
//
// Class i holds blocks of 16 << i bytes (16 .. 8192). Every block has an
// 8-byte header (requested size, block size); while the block is free its
// first data word is its free-list link. A class refills by taking one chunk
// of `grow` blocks from the global heap, doubling `grow` (2 .. 128) after
// each refill. A request above 8192 bytes gets a chunk of its own: 16 bytes of
// chunk links, the 8-byte header, then the data rounded up to 32. Every chunk
// is on the state's chunk list, so free-all is one walk. Blocks are 8-aligned.
//
// Counters (for psp_getTagMemInfo): requested bytes in use, bytes on the
// free lists, and overhead = state + chunk headers + block headers + rounding
// slack. A large block's 24 header bytes are added and taken back together.
#include "memory/bucket.h"
#include "testing.h"

#include <cstring>

namespace psp::mem {

namespace {

constexpr size_t kClasses = kBucketClasses;
constexpr uint32_t kLargest = kBucketLargest;
constexpr uint32_t kMaxGrow = 128;

using Chunk = BucketChunk;
using FreeBlock = BucketFreeBlock;
using BlockHeader = BucketHeader;

static_assert(sizeof(Chunk) == 16 && sizeof(BlockHeader) == 8);
// The overhead has always started at 176 bytes, the state's size.
// The state is allocated at that size.
constexpr size_t kStateBytes = 176;
static_assert(sizeof(BucketState) <= kStateBytes);

BucketState *stateOf(void *state) { return static_cast<BucketState *>(state); }

BlockHeader *headerOf(void *block) {
  return reinterpret_cast<BlockHeader *>(static_cast<char *>(block) - sizeof(BlockHeader));
}

void linkChunk(BucketState *b, Chunk *chunk) {
  chunk->prev = nullptr;
  chunk->next = b->chunks;
  if (b->chunks != nullptr)
    b->chunks->prev = chunk;
  b->chunks = chunk;
}

void unlinkChunk(BucketState *b, Chunk *chunk) {
  if (chunk->prev != nullptr)
    chunk->prev->next = chunk->next;
  else
    b->chunks = chunk->next;
  if (chunk->next != nullptr)
    chunk->next->prev = chunk->prev;
}

// Carves a fresh chunk into `grow` blocks of class c. Nothing changes when
// the global heap refuses.
FreeBlock *refill(BucketState *b, size_t c) {
  const uint32_t blockSize = 16u << c;
  const uint32_t count = b->grow[c];
  const uint64_t stride = blockSize + sizeof(BlockHeader);
  char *chunk = static_cast<char *>(globalAlloc(sizeof(Chunk) + count * stride, nullptr));
  if (chunk == nullptr)
    return nullptr;
  if (count < kMaxGrow)
    b->grow[c] = static_cast<uint8_t>(count * 2);
  linkChunk(b, reinterpret_cast<Chunk *>(chunk));
  b->counters.addTotal(static_cast<int64_t>(sizeof(Chunk) + stride * count));
  // Pushed in address order, so the highest block is handed out first.
  FreeBlock *head = b->lists[c];
  char *at = chunk + sizeof(Chunk);
  for (uint32_t i = 0; i < count; ++i, at += stride) {
    BlockHeader *h = reinterpret_cast<BlockHeader *>(at);
    h->requested = 0;
    h->sizeWord = bucketSizeWord(c);
    FreeBlock *f = reinterpret_cast<FreeBlock *>(h + 1);
    f->next = head;
    head = f;
  }
  b->lists[c] = head;
  b->counters.freeBytes.add(uint64_t{blockSize} * count);
  b->counters.noteOverhead();
  return head;
}

void *allocLarge(BucketState *b, uint32_t s) {
  bucketSpill(b);
  const uint64_t rounded = (uint64_t{s} + 31) & ~uint64_t{31};
  char *chunk = static_cast<char *>(globalAlloc(rounded + 24, nullptr));
  if (chunk == nullptr)
    return nullptr;
  linkChunk(b, reinterpret_cast<Chunk *>(chunk));
  BlockHeader *h = reinterpret_cast<BlockHeader *>(chunk + sizeof(Chunk));
  h->requested = s;
  h->sizeWord = static_cast<uint32_t>(rounded);
  b->counters.addTotal(static_cast<int64_t>(rounded + 24));
  b->counters.inUse.add(s);
  b->counters.noteOverhead();
  return chunk + 24;
}

void *allocLargeOrRefill(BucketState *b, uint32_t s);

inline void *allocBlock(BucketState *b, uint32_t s) {
  if (s == 0)
    s = 1;
  if (s <= kLargest) {
    if (void *block = bucketTryPop(b, s))
      return block;
  }
  return allocLargeOrRefill(b, s);
}

// A block of another size waiting is spilled; an empty class is refilled,
// then gives its first block.
void *allocLargeOrRefill(BucketState *b, uint32_t s) {
  if (s > kLargest)
    return allocLarge(b, s);
  bucketSpill(b);
  const size_t c = bucketClassOf(s);
  if (void *block = bucketPopCounted(b, s, c))
    return block;
  if (refill(b, c) == nullptr)
    return nullptr;
  return bucketPopCounted(b, s, c);
}

// A free with waiting off: one waiting (from before) goes first.
inline void freeBlock(BucketState *b, void *block) {
  bucketSpill(b);
  if (bucketTryPush(b, block))
    return;
  BlockHeader *h = headerOf(block);
  b->counters.inUse.sub(h->requested);
  Chunk *chunk = reinterpret_cast<Chunk *>(static_cast<char *>(block) - 24);
  unlinkChunk(b, chunk);
  b->counters.addTotal(-static_cast<int64_t>(uint64_t{h->sizeWord} + 24));
  globalFree(chunk, nullptr);
}

void bucketDestroyState(void *state) { bootstrapFree(state); }

void *bucketRealloc(void *block, uint32_t size, void *state, uint32_t keep) {
  if (PSP_FAULT_ALLOCATION())
    return nullptr;
  BucketState *b = stateOf(state);
  bucketSpill(b);
  if (size == 0)
    size = 1;
  BlockHeader *h = headerOf(block);
  const uint32_t s = h->requested;
  const uint32_t word = h->sizeWord;
  const size_t oldClass = word <= kBucketLargestWord ? bucketClassOfWord(word) : kClasses;
  const size_t newClass = size <= kLargest ? bucketClassOf(size) : kClasses;
  if (oldClass != newClass) {
    void *moved = allocBlock(b, size);
    if (moved == nullptr)
      return nullptr;
    if (keep != 0)
      std::memcpy(moved, block, s < size ? s : size);
    freeBlock(b, block);
    return moved;
  }
  if (newClass < kClasses) {
    h->requested = size;
    b->counters.inUse.sub(s);
    b->counters.inUse.add(size);
    b->counters.noteOverhead();
    return block;
  }
  // Both large: resize the chunk in the global heap and relink it.
  const uint64_t rounded = (uint64_t{size} + 31) & ~uint64_t{31};
  Chunk *chunk = static_cast<Chunk *>(globalResize(static_cast<char *>(block) - 24, rounded + 24));
  if (chunk == nullptr)
    return nullptr;
  if (chunk->prev != nullptr)
    chunk->prev->next = chunk;
  else
    b->chunks = chunk;
  if (chunk->next != nullptr)
    chunk->next->prev = chunk;
  h = reinterpret_cast<BlockHeader *>(chunk + 1);
  h->requested = size;
  h->sizeWord = static_cast<uint32_t>(rounded);
  b->counters.addTotal(static_cast<int64_t>(rounded) - static_cast<int64_t>(word));
  b->counters.inUse.sub(s);
  b->counters.inUse.add(size);
  b->counters.noteOverhead();
  return reinterpret_cast<char *>(chunk) + 24;
}

void bucketFreeAll(void *state) {
  BucketState *b = stateOf(state);
  while (Chunk *chunk = b->chunks) {
    b->chunks = chunk->next;
    globalFree(chunk, nullptr);
  }
  for (size_t c = 0; c < kClasses; ++c) {
    b->lists[c] = nullptr;
    b->grow[c] = 2;
  }
  b->lastHeader = kBucketNone;
  b->counters.inUse.value = 0;
  b->counters.freeBytes.value = 0;
  b->counters.addTotal(static_cast<int64_t>(kStateBytes) - static_cast<int64_t>(b->counters.total));
}

void bucketBlockSize(uint64_t *result, void *block) {
  *result = bucketBlockBytes(headerOf(block)->sizeWord);
}

void bucketInfo(void *state, PSP_MEMINFO *info) {
  BucketState *b = stateOf(state);
  const BucketCounters &k = b->counters;
  // The waiting block counts as freed.
  const uint64_t last = b->lastHeader;
  const uint64_t requested = static_cast<uint32_t>(last);
  const uint64_t blockSize = bucketBlockBytes(static_cast<uint32_t>(last >> 32));
  info->counters[0] = k.inUse.value - requested;
  info->counters[1] = k.inUse.peak;
  info->counters[2] = k.freeBytes.value + blockSize;
  info->counters[3] = k.freeBytes.peak;
  info->counters[4] = k.overhead() + requested - blockSize;
  info->counters[5] = k.overheadPeak();
}

} // namespace

void *bucketAlloc(uint32_t size, void *state) {
  if (PSP_FAULT_ALLOCATION())
    return nullptr;
  return allocBlock(stateOf(state), size);
}

void bucketFree(void *block, void *state) { freeBlock(stateOf(state), block); }

void bucketUseLocked(psp_memtag_rec *tag) {
  tag->inlineAlloc = 0;
  tag->inlineFree = 0;
}

void bucketWaitAgain(psp_memtag_rec *tag) {
  if (tag->inlineFree != 0)
    tag->inlineFree = kBucketWaiting;
}

bool makeBucketKind(psp_memtag_rec *tag) {
  BucketState *b = static_cast<BucketState *>(bootstrapAllocZeroed(kStateBytes));
  if (b == nullptr)
    return false;
  for (size_t c = 0; c < kClasses; ++c)
    b->grow[c] = 2;
  b->counters.total = kStateBytes; // and room 0: the overhead's peak starts there

  tag->state = b;
  tag->methods = MemMethods{bucketDestroyState, bucketAlloc,     bucketRealloc, bucketFree,
                            bucketFreeAll,      bucketBlockSize, bucketInfo};
#ifndef PSP_TESTING
  tag->inlineAlloc = kBucketPlain;
  tag->inlineFree = kBucketWaiting;
#endif
  return true;
}

} // namespace psp::mem
