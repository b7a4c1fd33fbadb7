// sysmalloc.cpp - kind 3: one platform malloc per block.
//
// Each block is malloc(size + 16) whose 16-byte header links it to the next
// newer and the next older block of the tag; the head is the newest. This
// memory is neither counted in the global usage nor held to the limit.
//
// A free of a pointer that is not a live block of the tag (typically a
// second free) prints "Attempting to free previously freed memory\n" and
// changes nothing. Liveness is answered by a set of the tag's live headers,
// an open-addressing table kept beside the list, so the check never reads
// memory that has already gone back to malloc. The state and the table come
// from malloc as well.
#include "memory/strategy.h"
#include "platform/os.h"
#include "testing.h"

#include <cstdlib>
#include <cstring>

namespace psp::mem {

namespace {

struct MallocHeader {
  MallocHeader *newer;
  MallocHeader *older;
};

static_assert(sizeof(MallocHeader) == 16);

// Linear probing with backward-shift deletion; capacity is a power of two
// and the load stays at most one half.
struct LiveSet {
  MallocHeader **slots;
  uint64_t capacity;
  uint64_t count;

  static uint64_t hash(const MallocHeader *h) {
    return (reinterpret_cast<uintptr_t>(h) >> 4) * 0x9E3779B97F4A7C15ull;
  }
  uint64_t home(const MallocHeader *h) const { return hash(h) >> (64 - __builtin_ctzll(capacity)); }

  uint64_t find(const MallocHeader *h) const {
    if (capacity == 0)
      return UINT64_MAX;
    for (uint64_t i = home(h);; i = (i + 1) & (capacity - 1)) {
      if (slots[i] == h)
        return i;
      if (slots[i] == nullptr)
        return UINT64_MAX;
    }
  }

  void place(MallocHeader *h) {
    uint64_t i = home(h);
    while (slots[i] != nullptr)
      i = (i + 1) & (capacity - 1);
    slots[i] = h;
  }

  // Room for one more entry; false when the table cannot grow.
  bool reserve() {
    if ((count + 1) * 2 <= capacity)
      return true;
    uint64_t newCapacity = capacity == 0 ? 16 : capacity * 2;
    MallocHeader **fresh =
        static_cast<MallocHeader **>(std::calloc(newCapacity, sizeof(MallocHeader *)));
    if (fresh == nullptr)
      return false;
    MallocHeader **old = slots;
    uint64_t oldCapacity = capacity;
    slots = fresh;
    capacity = newCapacity;
    for (uint64_t i = 0; i < oldCapacity; ++i)
      if (old[i] != nullptr)
        place(old[i]);
    std::free(old);
    return true;
  }

  void insert(MallocHeader *h) {
    place(h);
    ++count;
  }

  void erase(uint64_t i) {
    --count;
    for (uint64_t j = (i + 1) & (capacity - 1); slots[j] != nullptr; j = (j + 1) & (capacity - 1)) {
      uint64_t want = home(slots[j]);
      // slots[j] may move into the hole at i unless its home lies in (i, j].
      bool stays = i <= j ? (want > i && want <= j) : (want > i || want <= j);
      if (!stays) {
        slots[i] = slots[j];
        i = j;
      }
    }
    slots[i] = nullptr;
  }
};

struct MallocState {
  MallocHeader *head;
  LiveSet live;
};

MallocState *stateOf(void *state) { return static_cast<MallocState *>(state); }

MallocHeader *headerOf(void *block) {
  return reinterpret_cast<MallocHeader *>(static_cast<char *>(block) - sizeof(MallocHeader));
}

void reportDoubleFree() {
  static const char message[] = "Attempting to free previously freed memory\n";
  os::writeStdout(message, sizeof message - 1);
}

void mallocDestroyState(void *state) {
  std::free(stateOf(state)->live.slots);
  std::free(state);
}

void *mallocAlloc(uint32_t size, void *state) {
  if (PSP_FAULT_ALLOCATION())
    return nullptr;
  MallocState *m = stateOf(state);
  if (!m->live.reserve())
    return nullptr;
  MallocHeader *h = static_cast<MallocHeader *>(std::malloc(uint64_t{size} + 16));
  if (h == nullptr)
    return nullptr;
  h->newer = nullptr;
  h->older = m->head;
  if (m->head != nullptr)
    m->head->newer = h;
  m->head = h;
  m->live.insert(h);
  return h + 1;
}

void *mallocRealloc(void *block, uint32_t size, void *state, uint32_t) {
  if (PSP_FAULT_ALLOCATION())
    return nullptr;
  MallocState *m = stateOf(state);
  MallocHeader *h = headerOf(block);
  uint64_t at = m->live.find(h);
  if (at == UINT64_MAX)
    return nullptr;
  MallocHeader *moved = static_cast<MallocHeader *>(std::realloc(h, uint64_t{size} + 16));
  if (moved == nullptr)
    return nullptr;
  if (moved != h) {
    m->live.erase(at);
    m->live.insert(moved); // no growth: one out, one in
    if (moved->newer != nullptr)
      moved->newer->older = moved;
    else
      m->head = moved;
    if (moved->older != nullptr)
      moved->older->newer = moved;
  }
  return moved + 1;
}

void mallocFree(void *block, void *state) {
  MallocState *m = stateOf(state);
  MallocHeader *h = headerOf(block);
  uint64_t at = m->live.find(h);
  if (at == UINT64_MAX) {
    reportDoubleFree();
    return;
  }
  m->live.erase(at);
  if (h->newer != nullptr)
    h->newer->older = h->older;
  else
    m->head = h->older;
  if (h->older != nullptr)
    h->older->newer = h->newer;
  h->newer = nullptr;
  h->older = nullptr;
  std::free(h);
}

void mallocFreeAll(void *state) {
  MallocState *m = stateOf(state);
  while (MallocHeader *h = m->head) {
    m->head = h->older;
    std::free(h);
  }
  if (m->live.capacity != 0)
    std::memset(static_cast<void *>(m->live.slots), 0, m->live.capacity * sizeof(MallocHeader *));
  m->live.count = 0;
}

void mallocInfo(void *, PSP_MEMINFO *info) { std::memset(info, 0, sizeof *info); }

} // namespace

bool makeMallocKind(psp_memtag_rec *tag) {
  MallocState *m = static_cast<MallocState *>(std::calloc(1, sizeof(MallocState)));
  if (m == nullptr)
    return false;
  tag->state = m;
  tag->methods = MemMethods{mallocDestroyState, mallocAlloc, mallocRealloc, mallocFree,
                            mallocFreeAll,      nullptr,     mallocInfo};
  return true;
}

} // namespace psp::mem
