// internal.h - records and entry points shared across the library's sources.
//
// The process flags, the memory-tag record and the hooks through which the
// frame (psp_init / psp_term) starts and stops each subsystem live here. Every
// name is in namespace psp and has hidden visibility; only the psp_ functions
// of psp.h leave the shared library.
#pragma once

#include "psp.h"

#include <atomic>
#include <cstdint>

namespace psp {

// Process-wide flags, zero when the process starts. Only readOnly and noDisk
// outlive psp_term.
struct ProcessFlags {
  std::atomic<uint32_t> initCount{0};
  std::atomic<uint32_t> lockReady{0};    // 1 while both library locks exist
  std::atomic<uint32_t> lockSpin{0};     // taken 0 -> 1 while the locks are made or torn down
  std::atomic<uint32_t> syncDisabled{0}; // every PSP_SEM lock is a no-op while set
  std::atomic<uint32_t> terminating{0};  // tag mutexes are left alone while set
  std::atomic<uint32_t> readOnly{0};
  std::atomic<uint32_t> noDisk{0};
  std::atomic<uint32_t> service{0}; // running as a system service
};

extern ProcessFlags g_flags;

inline bool initialised() { return g_flags.initCount.load(std::memory_order_relaxed) != 0; }
inline bool syncDisabled() { return g_flags.syncDisabled.load(std::memory_order_relaxed) != 0; }
inline bool terminating() { return g_flags.terminating.load(std::memory_order_relaxed) != 0; }

// ---- library locks (frame) ----
void lockSetup();    // lazy; safe to race from several threads
void lockTeardown(); // releases what this thread holds, then deletes both
void syncTableLockEnter();
void syncTableLockLeave();

// ---- memory tags ----
// The seven strategy operations, copied into each tag record by the
// strategy's constructor.
struct MemMethods {
  void (*destroyState)(void *state);
  void *(*alloc)(uint32_t size, void *state);
  void *(*realloc)(void *block, uint32_t size, void *state, uint32_t keep);
  void (*free)(void *block, void *state);
  void (*freeAll)(void *state);
  void (*blockSize)(uint64_t *result, void *block);
  void (*info)(void *state, PSP_MEMINFO *info);
};

PSP_STATUS memStartup();
void memShutdown();

// Blocks of kind-0 and kind-2 tags (PSP_TAG_DEFAULT and PSP_TAG_THREAD
// included) are 8-aligned; kinds 1 and 3 give 16-aligned blocks.
//
// Allocation inside the library on a caller's behalf. resolveTag turns
// PSP_TAG_THREAD / PSP_TAG_DEFAULT into records and gives NULL when the
// library is not initialised or there is no such tag. tagAlloc and tagRealloc
// call the tag's method with the tag's mutex held; when the method fails and
// the tag has a jump buffer they longjmp(*jump, 1) after releasing the mutex,
// otherwise they return NULL. Callers must hold no library lock and no object
// with a non-trivial destructor across them.
//
// Where the jump lands, the caller's frames are abandoned: a library function
// that calls tagAlloc / tagRealloc must have nothing to undo at that point
// (no SemGuard or other live destructor, no half-linked record), or must use
// tagTryAlloc and call tagJumpIfArmed itself once it is consistent again.
psp_memtag_rec *resolveTag(PSP_MEMTAG tag);
void *tagAlloc(psp_memtag_rec *tag, uint32_t size);
void *tagRealloc(psp_memtag_rec *tag, void *block, uint32_t size, uint32_t keep);
void tagFree(psp_memtag_rec *tag, void *block);
// The same allocation without the jump: NULL on failure.
void *tagTryAlloc(psp_memtag_rec *tag, uint32_t size);
// Jumps to the tag's jump buffer if it has one; returns otherwise.
void tagJumpIfArmed(psp_memtag_rec *tag);

// Tag life cycle for library-made tags (log sinks, pools, file layer).
// createTag builds a tag that is not yet in the tag list; registerTag appends
// it. The status is 0, -10000 (no record) or -14000 (unknown kind, no state).
PSP_STATUS createTag(jmp_buf *jump, uint16_t threadSafe, uint32_t kind, PSP_TAG_CALLBACK callback,
                     void *context, psp_memtag_rec **out);
void registerTag(psp_memtag_rec *tag);
// Destroys the calling thread's PSP_TAG_THREAD, if it has one, and clears
// its slot (thread trampoline, memory shut-down).
void threadTagRelease();

// ---- synchronization objects ----
void syncTableClear(); // called by lockSetup with the sync-table lock fresh
void syncShutdown();

// A PSP_SYNC_MUTEX for one of the library's own locks that no caller can
// wait on (tag mutexes, the tag-list, global-heap and bootstrap locks). It is
// recursive but not robust: the library never runs caller code or ends a
// thread while holding such a lock, so no owner can die holding it, and it
// skips the robust-list bookkeeping that makes a robust lock several times
// dearer. Otherwise it is psp_syncCreate_check(PSP_SYNC_MUTEX, file, line).
PSP_SEM syncCreateLock(const char *file, int32_t line);

// The guarded lock of every optional PSP_SEM inside the library: nothing
// happens for PSP_SEM_NONE or while the sync-disabled flag is set. Locking
// waits without limit; an abandoned mutex is repaired and taken.
void semLockSlow(PSP_SEM sem);
void semUnlockSlow(PSP_SEM sem);
inline void semLock(PSP_SEM sem) {
  if (sem != PSP_SEM_NONE)
    semLockSlow(sem);
}
inline void semUnlock(PSP_SEM sem) {
  if (sem != PSP_SEM_NONE)
    semUnlockSlow(sem);
}

// Scoped form of semLock / semUnlock. `active` false makes it a no-op (the
// freeing paths skip tag mutexes while terminating). A function that may
// reach a tag jump must let every SemGuard go out of scope first.
class SemGuard {
public:
  explicit SemGuard(PSP_SEM sem, bool active = true) : sem_(active ? sem : PSP_SEM_NONE) {
    semLock(sem_);
  }
  ~SemGuard() { semUnlock(sem_); }
  SemGuard(const SemGuard &) = delete;
  SemGuard &operator=(const SemGuard &) = delete;

private:
  PSP_SEM sem_;
};

// ---- named globals ----
PSP_STATUS globalsStartup();
void globalsShutdown();

// ---- log sinks ----
extern PSP_LOG_SINK g_stdoutSink;
extern PSP_LOG_SINK g_stderrSink;
extern PSP_LOG_SINK g_logSink;
PSP_STATUS sinkSetup(PSP_LOG_SINK *sink, const char *target); // target NULL: none
void sinkPop(PSP_LOG_SINK *sink);                             // pops the top node

// ---- temporary directory ----
void tmpDirRelease(); // frees the chosen directory, if any

// ---- system service ----
// Service and registry names: what systemd takes as the name of a unit
// (letters, digits, "_-.:", at most 247 characters), without a leading '-'
// or '.' and without "..", so no name can climb out of a directory, read as
// an option or break a line of the install-count store.
bool serviceNameValid(const char *name);
// Install counts: 0 for a name without one, or when the store cannot be
// read (also before psp_init). Adjusting gives 0 or PSP_ERR_SYSTEM.
uint32_t registryCount(const char *name);
PSP_STATUS registryAdjust(const char *name, int32_t delta);

// ---- diagnostics ----
// Messages the library prints itself ("Failed to create thread\n").
void diag(const char *format, ...);

} // namespace psp

// The record a PSP_SEM points to: one slot of the sync table. handle points
// at the slot's native object, which lives in the same table block.
struct psp_sem_slot {
  void *handle;
  void *entry;   // the table entry whose block holds the slot
  int16_t kind;  // 0 free, PSP_SYNC_MUTEX, PSP_SYNC_EVENT
  uint16_t next; // free: next free index (0xFFFF ends); handed out: 0xFFFE
};

// The record a PSP_MEMTAG points to.
struct psp_memtag_rec {
  psp_memtag_rec *next;
  psp_memtag_rec *prev;
  PSP_SEM mutex; // PSP_SEM_NONE unless thread-safe
  jmp_buf *jump; // where a failed allocation jumps, or NULL
  void *state;   // the strategy's own state
  psp::MemMethods methods;
  PSP_TAG_CALLBACK callback;
  void *context;
};
