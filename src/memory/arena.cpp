// arena.cpp - kind 2: bump allocation in global-heap chunks.
//
// A chunk is a 24-byte header (prev, next, used, free) and its data area.
// Requests are rounded up to 8 and carved in order from the first chunk on
// the room list that can hold them; a chunk whose room runs out exactly moves
// to the full list. Blocks have no header: single free does nothing and
// resize always fails, so memory comes back only through free-all.
//
// roomBound is an upper bound of the free room of every chunk on the room
// list, exact after a search that found nothing. A request above it skips the
// walk, so a room list of nearly full chunks costs one walk, not one per
// large request.
#include "memory/strategy.h"
#include "testing.h"

namespace psp::mem {

namespace {

constexpr uint64_t kMinChunk = 4096;

struct ArenaChunk {
  ArenaChunk *prev;
  ArenaChunk *next;
  uint32_t used;
  uint32_t free;
};

static_assert(sizeof(ArenaChunk) == 24);

struct ArenaState {
  ArenaChunk *room;
  ArenaChunk *full;
  uint64_t minChunk;
  CounterPair handedOut;
  uint32_t roomBound;
};

ArenaState *stateOf(void *state) { return static_cast<ArenaState *>(state); }

void push(ArenaChunk *&list, ArenaChunk *chunk) {
  chunk->prev = nullptr;
  chunk->next = list;
  if (list != nullptr)
    list->prev = chunk;
  list = chunk;
}

void unlink(ArenaChunk *&list, ArenaChunk *chunk) {
  if (chunk->prev != nullptr)
    chunk->prev->next = chunk->next;
  else
    list = chunk->next;
  if (chunk->next != nullptr)
    chunk->next->prev = chunk->prev;
}

void arenaDestroyState(void *state) { bootstrapFree(state); }

void *arenaAlloc(uint32_t size, void *state) {
  if (PSP_FAULT_ALLOCATION())
    return nullptr;
  ArenaState *a = stateOf(state);
  const uint64_t s = (uint64_t{size == 0 ? 1u : size} + 7) & ~uint64_t{7};
  ArenaChunk *chunk = nullptr;
  if (s <= a->roomBound) {
    uint32_t largest = 0;
    for (ArenaChunk *c = a->room; c != nullptr; c = c->next) {
      if (c->free >= s) {
        chunk = c;
        break;
      }
      if (c->free > largest)
        largest = c->free;
    }
    if (chunk == nullptr)
      a->roomBound = largest;
  }
  if (chunk == nullptr) {
    const uint64_t bytes = (s > a->minChunk ? s : a->minChunk) + sizeof(ArenaChunk);
    chunk = static_cast<ArenaChunk *>(globalAlloc(bytes, nullptr));
    if (chunk == nullptr)
      return nullptr;
    chunk->used = 0;
    chunk->free = static_cast<uint32_t>(bytes - sizeof(ArenaChunk));
    push(a->room, chunk);
    if (chunk->free > a->roomBound)
      a->roomBound = chunk->free;
  }
  char *block = reinterpret_cast<char *>(chunk + 1) + chunk->used;
  chunk->used += static_cast<uint32_t>(s);
  chunk->free -= static_cast<uint32_t>(s);
  a->handedOut.add(s);
  if (chunk->free == 0) {
    unlink(a->room, chunk);
    push(a->full, chunk);
  }
  return block;
}

void *arenaRealloc(void *, uint32_t, void *, uint32_t) { return nullptr; }

void arenaFree(void *, void *) {}

void arenaFreeAll(void *state) {
  ArenaState *a = stateOf(state);
  for (ArenaChunk *list : {a->room, a->full}) {
    while (list != nullptr) {
      ArenaChunk *next = list->next;
      globalFree(list, nullptr);
      list = next;
    }
  }
  a->room = nullptr;
  a->full = nullptr;
  a->roomBound = 0;
  a->handedOut.value = 0;
}

void arenaBlockSize(uint64_t *result, void *) { *result = 0; }

void arenaInfo(void *state, PSP_MEMINFO *info) {
  ArenaState *a = stateOf(state);
  info->counters[0] = a->handedOut.value;
  info->counters[1] = a->handedOut.peak;
  for (int i = 2; i < 6; ++i)
    info->counters[i] = 0;
}

} // namespace

bool makeArenaKind(psp_memtag_rec *tag) {
  ArenaState *a = static_cast<ArenaState *>(bootstrapAllocZeroed(sizeof(ArenaState)));
  if (a == nullptr)
    return false;
  a->minChunk = kMinChunk;
  tag->state = a;
  tag->methods = MemMethods{arenaDestroyState, arenaAlloc,     arenaRealloc, arenaFree,
                            arenaFreeAll,      arenaBlockSize, arenaInfo};
  return true;
}

} // namespace psp::mem
