// arena.cpp - kind 2: bump allocation in global-heap chunks.
//
// A chunk is a 24-byte header and its data area. Requests are rounded up to
// 8 and carved in order from the first chunk on the room list (newest first)
// that can hold them; a chunk whose room runs out exactly moves to the front
// of the full list. Blocks have no header: single free does nothing and
// resize always fails, so memory comes back only through free-all.
//
// The room list is kept in two parts, every chunk of the first newer than
// every chunk of the second, so that their concatenation is the list:
//  - `recent`, the newest chunks with room, newest first, looked at in turn;
//  - `older`, a treap of the rest in list order (newer to the right) whose
//    nodes hold the largest room of their subtree, so the newest of them with
//    room enough is found in logarithmic time.
// A new chunk enters `recent` at the front; when `recent` is full its oldest
// chunk moves to the right end of the treap. Chunks never move back.
//
// Once its first block is carved a chunk has less than the minimum chunk
// size left (a larger request gets a chunk of exactly its size, full at once),
// so room fits in 16 bits and the header keeps its 24 bytes.
#include "memory/strategy.h"
#include "testing.h"

#include <cstring>

namespace psp::mem {

namespace {

constexpr uint64_t kMinChunk = 4096;
constexpr uint32_t kRecent = 8;

struct ArenaChunk {
  ArenaChunk *left;  // in `older`: older chunks; on the full list: the next chunk
  ArenaChunk *right; // in `older`: newer chunks
  uint32_t used;
  uint16_t room;    // free bytes
  uint16_t maxRoom; // in `older`: the largest room in this subtree
};

static_assert(sizeof(ArenaChunk) == 24 && kMinChunk <= 0xFFFF);

struct ArenaState {
  // The newest chunk's free room and next block, kept here while it is the
  // newest: its header is brought up to date only when the slow path runs.
  char *bump;
  uint64_t bumpRoom;           // 0 while there is no chunk with room
  ArenaChunk *recent[kRecent]; // newest first
  uint32_t recentCount;
  ArenaChunk *older;
  ArenaChunk *full;
  uint64_t minChunk;
  CounterPair handedOut;
};

ArenaState *stateOf(void *state) { return static_cast<ArenaState *>(state); }

uint16_t maxRoom(const ArenaChunk *c) { return c != nullptr ? c->maxRoom : 0; }

void refresh(ArenaChunk *c) {
  uint16_t m = c->room;
  if (maxRoom(c->left) > m)
    m = c->left->maxRoom;
  if (maxRoom(c->right) > m)
    m = c->right->maxRoom;
  c->maxRoom = m;
}

// Joins two treaps, every chunk of `older` older than every chunk of `newer`.
ArenaChunk *join(ArenaChunk *older, ArenaChunk *newer) {
  if (older == nullptr)
    return newer;
  if (newer == nullptr)
    return older;
  if (treapPriority(older) >= treapPriority(newer)) {
    older->right = join(older->right, newer);
    refresh(older);
    return older;
  }
  newer->left = join(older, newer->left);
  refresh(newer);
  return newer;
}

// Adds c as the newest chunk of the treap.
void appendOlder(ArenaState *a, ArenaChunk *c) {
  const uint32_t p = treapPriority(c);
  ArenaChunk **link = &a->older;
  for (; *link != nullptr && treapPriority(*link) >= p; link = &(*link)->right) {
    if ((*link)->maxRoom < c->room)
      (*link)->maxRoom = c->room;
  }
  c->left = *link;
  c->right = nullptr;
  refresh(c);
  *link = c;
}

void pushFull(ArenaState *a, ArenaChunk *c) {
  c->left = a->full;
  a->full = c;
}

char *carve(ArenaState *a, ArenaChunk *c, uint32_t s) {
  char *block = reinterpret_cast<char *>(c + 1) + c->used;
  c->used += s;
  c->room = static_cast<uint16_t>(c->room - s);
  a->handedOut.add(s);
  return block;
}

// Carves s bytes from the newest chunk with room for them in the subtree at
// `link`, whose maxRoom is at least s. A chunk left full leaves the treap.
char *takeOlder(ArenaState *a, ArenaChunk *&link, uint32_t s) {
  ArenaChunk *c = link;
  char *block;
  if (maxRoom(c->right) >= s) {
    block = takeOlder(a, c->right, s);
  } else if (c->room >= s) {
    block = carve(a, c, s);
    if (c->room == 0) {
      link = join(c->left, c->right);
      pushFull(a, c);
      return block;
    }
  } else {
    block = takeOlder(a, c->left, s);
  }
  refresh(c);
  return block;
}

void arenaDestroyState(void *state) { bootstrapFree(state); }

char *dataOf(ArenaChunk *c) { return reinterpret_cast<char *>(c + 1); }

// The newest chunk's header takes back its room from the state.
void flushNewest(ArenaState *a) {
  if (a->recentCount != 0) {
    ArenaChunk *c = a->recent[0];
    c->used = static_cast<uint32_t>(a->bump - dataOf(c));
    c->room = static_cast<uint16_t>(a->bumpRoom);
  }
}

void loadNewest(ArenaState *a) {
  if (a->recentCount != 0) {
    ArenaChunk *c = a->recent[0];
    a->bump = dataOf(c) + c->used;
    a->bumpRoom = c->room;
  } else {
    a->bumpRoom = 0;
  }
}

void *arenaAllocFrom(ArenaState *a, uint64_t s);

// Any request that does not leave room in the newest chunk.
[[gnu::noinline]] void *arenaAllocSlow(ArenaState *a, uint32_t size) {
  flushNewest(a);
  void *block = arenaAllocFrom(a, (uint64_t{size == 0 ? 1u : size} + 7) & ~uint64_t{7});
  loadNewest(a);
  return block;
}

void *arenaAllocFrom(ArenaState *a, uint64_t s) {
  for (uint32_t i = 0; i < a->recentCount; ++i) {
    ArenaChunk *c = a->recent[i];
    if (c->room >= s) {
      char *block = carve(a, c, static_cast<uint32_t>(s));
      if (c->room == 0) {
        --a->recentCount;
        std::memmove(&a->recent[i], &a->recent[i + 1], (a->recentCount - i) * sizeof c);
        pushFull(a, c);
      }
      return block;
    }
  }
  if (maxRoom(a->older) >= s)
    return takeOlder(a, a->older, static_cast<uint32_t>(s));

  const uint64_t data = s > a->minChunk ? s : a->minChunk;
  ArenaChunk *c = static_cast<ArenaChunk *>(globalAlloc(data + sizeof(ArenaChunk), nullptr));
  if (c == nullptr)
    return nullptr;
  c->used = static_cast<uint32_t>(s);
  c->room = static_cast<uint16_t>(data - s);
  a->handedOut.add(s);
  if (c->room == 0) {
    pushFull(a, c);
  } else {
    if (a->recentCount == kRecent)
      appendOlder(a, a->recent[--a->recentCount]);
    std::memmove(&a->recent[1], &a->recent[0], a->recentCount * sizeof c);
    a->recent[0] = c;
    ++a->recentCount;
  }
  return c + 1;
}

void *arenaAlloc(uint32_t size, void *state) {
  if (PSP_FAULT_ALLOCATION())
    return nullptr;
  ArenaState *a = stateOf(state);
  // Rounded up to 8; a size of 0 becomes 2^32 here and goes the slow way.
  const uint64_t s = (uint64_t{size - 1u} | 7) + 1;
  // Most requests fit the newest chunk and leave room in it. The peak is
  // brought up to date when it is read or the arena reset.
  if (a->bumpRoom > s) {
    char *block = a->bump;
    a->bump = block + s;
    a->bumpRoom -= s;
    a->handedOut.value += s;
    return block;
  }
  return arenaAllocSlow(a, size);
}

void syncPeak(ArenaState *a) {
  if (a->handedOut.value > a->handedOut.peak)
    a->handedOut.peak = a->handedOut.value;
}

void *arenaRealloc(void *, uint32_t, void *, uint32_t) { return nullptr; }

void arenaFree(void *, void *) {}

// Gives the chunks back in list order: the room list, newest first, then the
// full list.
void arenaFreeAll(void *state) {
  ArenaState *a = stateOf(state);
  SemGuard guard(globalHeapLock());
  for (uint32_t i = 0; i < a->recentCount; ++i)
    globalFreeLocked(a->recent[i], nullptr);
  // The treap's newest chunk is the root once the root has no right child;
  // rotating left brings it there.
  for (ArenaChunk *t = a->older; t != nullptr;) {
    if (ArenaChunk *r = t->right) {
      t->right = r->left;
      r->left = t;
      t = r;
    } else {
      ArenaChunk *next = t->left;
      globalFreeLocked(t, nullptr);
      t = next;
    }
  }
  for (ArenaChunk *c = a->full; c != nullptr;) {
    ArenaChunk *next = c->left;
    globalFreeLocked(c, nullptr);
    c = next;
  }
  a->recentCount = 0;
  a->bumpRoom = 0;
  a->older = nullptr;
  a->full = nullptr;
  syncPeak(a);
  a->handedOut.value = 0;
}

void arenaBlockSize(uint64_t *result, void *) { *result = 0; }

void arenaInfo(void *state, PSP_MEMINFO *info) {
  ArenaState *a = stateOf(state);
  syncPeak(a);
  info->counters[0] = a->handedOut.value;
  info->counters[1] = a->handedOut.peak;
  for (int i = 2; i < 6; ++i)
    info->counters[i] = 0;
}

} // namespace

uint64_t arenaStateBytes() { return sizeof(ArenaState); }

void arenaKindInit(psp_memtag_rec *tag, void *zeroedState) {
  stateOf(zeroedState)->minChunk = kMinChunk;
  tag->state = zeroedState;
  tag->methods = MemMethods{arenaDestroyState, arenaAlloc,     arenaRealloc, arenaFree,
                            arenaFreeAll,      arenaBlockSize, arenaInfo};
}

bool makeArenaKind(psp_memtag_rec *tag) {
  void *state = bootstrapAllocZeroed(sizeof(ArenaState));
  if (state == nullptr)
    return false;
  arenaKindInit(tag, state);
  return true;
}

} // namespace psp::mem
