// pspsync.cpp - the sync-object slot table: mutexes and manual-reset events
// behind PSP_SEM handles, and the guarded lock used inside the library.
//
// The table has 128 entries; each entry's block, made from PSP_TAG_DEFAULT
// the first time the entry is needed, holds 1024 slots, and the platform
// gives it a store of the 1024 native objects the slots' handles point to, so
// a sync object costs no allocation of its own. A free slot's `next` chains
// the block's free list (0xFFFF ends it); a handed-out slot reads 0xFFFE.
// Only the table is guarded, by the sync-table lock; the native objects are
// thread-safe themselves. Blocks stay until the synchronization shut-down,
// which closes every live native object and gives the blocks back.
//
// A caller's mutex that another thread still holds cannot be closed (see
// os::mutexDestroy): deleting it leaves its slot handed out, and the
// shut-down keeps the store it lives in for the rest of the process.
//
// Once the library is down, every operation on a handle made before is a
// no-op: the slot it points to is gone.
#include "internal.h"
#include "platform/os.h"

#include <cstring>

namespace psp {

namespace {

constexpr int kEntries = 128;
constexpr uint16_t kSlotsPerBlock = 1024;
constexpr uint16_t kListEnd = 0xFFFF;
constexpr uint16_t kHandedOut = 0xFFFE;

struct SyncBlock;

struct TableEntry {
  SyncBlock *block;
  uint16_t freeHead;
};

struct SyncBlock {
  psp_sem_slot slots[kSlotsPerBlock];
  os::SyncObject *natives; // kSlotsPerBlock of them, in the platform's store
};

static_assert(sizeof(SyncBlock) < 0xFFFFFFFEu);

TableEntry g_table[kEntries];

os::SyncObject &nativeOf(PSP_SEM sem) { return *static_cast<os::SyncObject *>(sem->handle); }

TableEntry *entryOf(PSP_SEM sem) { return static_cast<TableEntry *>(sem->entry); }

void chainBlock(TableEntry &entry, SyncBlock *block, os::SyncObject *natives) {
  block->natives = natives;
  for (uint16_t i = 0; i < kSlotsPerBlock; ++i) {
    block->slots[i].handle = &block->natives[i];
    block->slots[i].entry = &entry;
    block->slots[i].next = static_cast<uint16_t>(i + 1);
  }
  block->slots[kSlotsPerBlock - 1].next = kListEnd;
  entry.block = block;
  entry.freeHead = 0;
}

PSP_SEM takeSlot(const char *file, int32_t line) {
  syncTableLockEnter();
  for (TableEntry &entry : g_table) {
    if (entry.block == nullptr) {
      psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT);
      void *raw = tag != nullptr ? tagTryAlloc(tag, sizeof(SyncBlock)) : nullptr;
      os::SyncObject *natives = raw != nullptr ? os::nativeStoreCreate(kSlotsPerBlock) : nullptr;
      if (natives == nullptr && raw != nullptr) {
        tagFree(tag, raw);
        raw = nullptr;
      }
      if (raw == nullptr) {
        // Leave the table lock before a possible jump; the table is unchanged.
        syncTableLockLeave();
        if (tag != nullptr)
          tagJumpIfArmed(tag);
        psp_log("Insufficient number of semaphores, called from %s:%d\n", file ? file : "", line);
        return PSP_SEM_NONE;
      }
      std::memset(raw, 0, sizeof(SyncBlock));
      chainBlock(entry, static_cast<SyncBlock *>(raw), natives);
    }
    if (entry.freeHead != kListEnd) {
      psp_sem_slot *slot = &entry.block->slots[entry.freeHead];
      entry.freeHead = slot->next;
      slot->next = kHandedOut;
      syncTableLockLeave();
      return slot;
    }
  }
  syncTableLockLeave();
  psp_log("Insufficient number of semaphores, called from %s:%d\n", file ? file : "", line);
  return PSP_SEM_NONE;
}

// False for a mutex another thread holds, which stays as it is.
bool closeNative(PSP_SEM sem) {
  if (sem->kind == PSP_SYNC_MUTEX)
    return os::mutexDestroy(nativeOf(sem));
  if (sem->kind == PSP_SYNC_EVENT)
    os::eventDestroy(nativeOf(sem));
  return true;
}

// Handles made by a library that is down, and every handle while the
// synchronization shut-down runs, are left alone.
inline bool syncOff() { return syncDisabled() || !initialised(); }

PSP_SEM createObject(int16_t kind, bool robust, const char *file, int32_t line) {
  if (!initialised() || syncDisabled())
    return PSP_SEM_NONE;
  // Other kinds are refused before a slot is taken, so none is lost.
  if (kind != PSP_SYNC_MUTEX && kind != PSP_SYNC_EVENT)
    return PSP_SEM_NONE;
  PSP_SEM sem = takeSlot(file, line);
  if (sem == PSP_SEM_NONE)
    return sem;
  sem->kind = kind;
  if (kind == PSP_SYNC_MUTEX)
    os::mutexInit(nativeOf(sem), robust);
  else
    os::eventInit(nativeOf(sem));
  return sem;
}

} // namespace

PSP_SEM syncCreateLock(const char *file, int32_t line) {
  return createObject(PSP_SYNC_MUTEX, false, file, line);
}

void syncTableClear() { std::memset(static_cast<void *>(g_table), 0, sizeof g_table); }

void syncShutdown() {
  g_flags.syncDisabled.store(1);
  psp_memtag_rec *tag = initialised() ? resolveTag(PSP_TAG_DEFAULT) : nullptr;
  for (TableEntry &entry : g_table) {
    if (entry.block == nullptr)
      continue;
    bool stillHeld = false;
    for (psp_sem_slot &slot : entry.block->slots) {
      if (slot.next == kHandedOut && !closeNative(&slot))
        stillHeld = true;
    }
    // Kept for good when another thread's robust list still runs through it.
    if (!stillHeld)
      os::nativeStoreRelease(entry.block->natives, kSlotsPerBlock);
    if (tag != nullptr)
      tagFree(tag, entry.block);
    // Cleared so that nothing can reach the block once it is gone.
    entry.block = nullptr;
    entry.freeHead = kListEnd;
  }
}

void semLockSlow(PSP_SEM sem) {
  if (syncDisabled())
    return;
  if (sem->kind == PSP_SYNC_MUTEX)
    os::mutexLock(nativeOf(sem), os::kWaitForever);
  else
    os::eventWait(nativeOf(sem), os::kWaitForever);
}

void semUnlockSlow(PSP_SEM sem) {
  if (syncDisabled())
    return;
  if (sem->kind == PSP_SYNC_MUTEX)
    os::mutexUnlock(nativeOf(sem));
}

} // namespace psp

using namespace psp;

PSP_API PSP_SEM psp_syncCreate_check(int16_t kind, const char *file, int32_t line) {
  return createObject(kind, true, file, line);
}

PSP_API void psp_syncDelete(PSP_SEM sem) {
  if (sem == PSP_SEM_NONE || sem == nullptr || syncOff())
    return;
  TableEntry *entry = entryOf(sem);
  syncTableLockEnter();
  // A second delete of the same handle finds the slot free already and is
  // ignored, so it cannot put the slot on the free list twice. A mutex that
  // another thread holds keeps its slot, so its native object is not reused.
  if (sem->next == kHandedOut && closeNative(sem)) {
    sem->kind = 0;
    sem->next = entry->freeHead;
    entry->freeHead = static_cast<uint16_t>(sem - entry->block->slots);
  }
  syncTableLockLeave();
}

PSP_API PSP_STATUS psp_syncEnterExcl(PSP_SEM sem) {
  if (syncOff())
    return PSP_OKAY;
  if (sem->kind == PSP_SYNC_MUTEX)
    os::mutexLock(nativeOf(sem), os::kWaitForever); // an abandoned mutex is taken over
  else if (sem->kind == PSP_SYNC_EVENT)
    os::eventWait(nativeOf(sem), os::kWaitForever);
  return PSP_OKAY;
}

PSP_API void psp_syncExitExcl(PSP_SEM sem) {
  if (syncOff())
    return;
  if (sem->kind == PSP_SYNC_MUTEX)
    os::mutexUnlock(nativeOf(sem));
}

PSP_API PSP_STATUS psp_syncWait(PSP_SEM sem, uint32_t timeoutMs) {
  if (syncOff())
    return PSP_ERR_SYSTEM;
  os::WaitResult result;
  if (sem->kind == PSP_SYNC_MUTEX) {
    result = os::mutexLock(nativeOf(sem), timeoutMs);
    if (result == os::WaitResult::Abandoned) {
      // Reported as not acquired, so it is not left held either: the mutex
      // has been repaired and is free again for the next waiter.
      os::mutexUnlock(nativeOf(sem));
    }
  } else if (sem->kind == PSP_SYNC_EVENT) {
    result = os::eventWait(nativeOf(sem), timeoutMs);
  } else {
    return PSP_ERR_SYSTEM;
  }
  switch (result) {
  case os::WaitResult::Signalled:
    return PSP_OKAY;
  case os::WaitResult::TimedOut:
  case os::WaitResult::Abandoned:
    return PSP_TIMEOUT;
  default:
    return PSP_ERR_SYSTEM;
  }
}

PSP_API void psp_syncStart(PSP_SEM sem) {
  if (!syncOff() && sem->kind == PSP_SYNC_EVENT)
    os::eventReset(nativeOf(sem));
}

PSP_API void psp_syncResume(PSP_SEM sem) {
  if (!syncOff() && sem->kind == PSP_SYNC_EVENT)
    os::eventSet(nativeOf(sem));
}
