// pspglobal.cpp - process-wide named globals.
//
// One table, sorted by name in unsigned byte order, maps a name to a zeroed
// block in PSP_TAG_DEFAULT that is made on first demand and lives until
// shut-down. Every find-or-create holds the named-globals lock, so the
// initialiser of a name runs exactly once even when threads race for it.
// Finalisers run at shut-down from the last entry to the first, that is in
// descending name order. Allocation failures inside the lock never jump from
// there: the lock is released first, then the default tag's jump is taken.
//
// The lock is recursive, so an initialiser or finaliser may ask for names
// itself, growing and shifting the table under the call that runs it. No
// index or entry reference is kept across such a callback: the entry is found
// again by name, which is unique, once the callback has returned.
#include "internal.h"

#include <cstring>

namespace psp {
namespace {

struct GlobalEntry {
  char *name;
  void *value;
  uint64_t size;
  PSP_GLOBAL_FINI finaliser;
};

struct GlobalTable {
  GlobalEntry *entries;
  uint32_t count;
  uint32_t capacity;
  PSP_SEM lock;
  bool open; // from start-up until the shut-down has run every finaliser
};

GlobalTable g_table;

constexpr uint32_t kGrowBy = 5;
constexpr uint64_t kMaxValue = 0xFFFFFFFD;

// Binary search; on a miss *index is where the name belongs.
bool find(const char *name, uint32_t *index) {
  uint32_t lo = 0, hi = g_table.count;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    int cmp = std::strcmp(name, g_table.entries[mid].name); // compares unsigned bytes
    if (cmp == 0) {
      *index = mid;
      return true;
    }
    if (cmp > 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  *index = lo;
  return false;
}

// The index of a name known to be in the table.
uint32_t indexOf(const char *name) {
  uint32_t index = 0;
  find(name, &index);
  return index;
}

// Frees an entry whose finaliser has run or was never stored.
void removeEntry(uint32_t i) {
  GlobalEntry &e = g_table.entries[i];
  psp_freeMem(e.name, PSP_TAG_DEFAULT, "pspglobal", 200);
  psp_freeMem(e.value, PSP_TAG_DEFAULT, "pspglobal", 201);
  --g_table.count;
  std::memmove(&g_table.entries[i], &g_table.entries[i + 1],
               (g_table.count - i) * sizeof(GlobalEntry));
}

// Makes the entry at index i. Reports whether an allocation ran out (as
// opposed to the initialiser refusing), so the caller can take the jump
// after leaving the lock.
PSP_STATUS create(uint32_t i, const char *name, uint64_t size, PSP_GLOBAL_INIT initialiser,
                  PSP_GLOBAL_FINI finaliser, void **out, bool *outOfMemory) {
  psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT);
  if (g_table.count == g_table.capacity) {
    uint32_t capacity = g_table.capacity + kGrowBy;
    auto bytes = static_cast<uint32_t>(capacity * sizeof(GlobalEntry));
    void *grown = g_table.entries == nullptr ? tagTryAlloc(tag, bytes)
                                             : tagTryRealloc(tag, g_table.entries, bytes, 1);
    if (grown == nullptr) {
      // The old array and its entries stay as they were.
      *outOfMemory = true;
      return PSP_ERR_NOMEMORY;
    }
    g_table.entries = static_cast<GlobalEntry *>(grown);
    g_table.capacity = capacity;
  }
  ++g_table.count;
  std::memmove(&g_table.entries[i + 1], &g_table.entries[i],
               (g_table.count - 1 - i) * sizeof(GlobalEntry));
  GlobalEntry &e = g_table.entries[i];
  e = GlobalEntry{nullptr, nullptr, size, nullptr};

  e.value = tagTryAlloc(tag, static_cast<uint32_t>(size));
  if (e.value != nullptr)
    std::memset(e.value, 0, size);
  size_t nameLength = std::strlen(name) + 1;
  if (e.value != nullptr && nameLength < 0xFFFFFFFEull) {
    e.name = static_cast<char *>(tagTryAlloc(tag, static_cast<uint32_t>(nameLength)));
    if (e.name != nullptr)
      std::memcpy(e.name, name, nameLength);
  }
  if (e.value == nullptr || e.name == nullptr) {
    *outOfMemory = true;
    removeEntry(i);
    return PSP_ERR_NOMEMORY;
  }
  void *value = e.value;
  // From here on `e` and `i` may be stale: the initialiser can add names.
  if (initialiser != nullptr && initialiser(value) != 0) {
    removeEntry(indexOf(name));
    return PSP_ERR_NOMEMORY;
  }
  g_table.entries[indexOf(name)].finaliser = finaliser;
  *out = value;
  return PSP_OKAY;
}

} // namespace

PSP_STATUS globalsStartup() {
  g_table = GlobalTable{nullptr, 0, 0, PSP_SEM_NONE, false};
  if (!initialised() || syncDisabled())
    return PSP_ERR_GLOBALS;
  g_table.lock = psp_syncCreate_check(PSP_SYNC_MUTEX, "pspglobal", 61);
  g_table.open = g_table.lock != PSP_SEM_NONE;
  return g_table.open ? PSP_OKAY : PSP_ERR_GLOBALS;
}

void globalsShutdown() {
  // Last entry first. A finaliser may ask for names: an existing one is still
  // there (its own included), a new one joins the table and is finalised in
  // its turn, so every finaliser runs once.
  while (g_table.count > 0) {
    GlobalEntry &e = g_table.entries[g_table.count - 1];
    const char *name = e.name;
    PSP_GLOBAL_FINI finaliser = e.finaliser;
    e.finaliser = nullptr;
    if (finaliser != nullptr)
      finaliser(e.value);
    removeEntry(indexOf(name));
  }
  g_table.open = false; // later demands (a tag callback) find no table
  psp_freeMem(g_table.entries, PSP_TAG_DEFAULT, "pspglobal", 184);
  g_table.entries = nullptr;
  g_table.capacity = 0;
  psp_syncDelete(g_table.lock);
  g_table.lock = PSP_SEM_NONE;
}

PSP_STATUS globalFindOrCreate(const char *name, uint64_t size, PSP_GLOBAL_INIT initialiser,
                              PSP_GLOBAL_FINI finaliser, void **out) {
  if (name == nullptr || size == 0 || out == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (!initialised())
    return PSP_ERR_NOMEMORY;
  bool outOfMemory = false;
  PSP_STATUS status = PSP_OKAY;
  {
    SemGuard guard(g_table.lock);
    uint32_t index;
    if (!g_table.open)
      status = PSP_ERR_NOMEMORY;
    else if (find(name, &index))
      *out = g_table.entries[index].value;
    else if (size > kMaxValue)
      status = PSP_ERR_NOMEMORY; // refused like any oversize request: no jump
    else
      status = create(index, name, size, initialiser, finaliser, out, &outOfMemory);
  }
  // The guard is gone: no library lock and no destructor is live here.
  if (outOfMemory)
    tagJumpIfArmed(resolveTag(PSP_TAG_DEFAULT));
  return status;
}

} // namespace psp

PSP_API PSP_STATUS psp_globalGet(const char *name, uint64_t size, PSP_GLOBAL_INIT initialiser,
                                 PSP_GLOBAL_FINI finaliser, void **out) {
  return psp::globalFindOrCreate(name, size, initialiser, finaliser, out);
}
