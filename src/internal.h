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
  std::atomic<uint32_t> initCount{0};    // changed only under the library lock
  std::atomic<uint32_t> lockReady{0};    // 1 once both library locks exist; they are never deleted
  std::atomic<uint32_t> lockSpin{0};     // taken 0 -> 1 while the locks are made
  std::atomic<uint32_t> syncDisabled{0}; // every PSP_SEM lock is a no-op while set
  std::atomic<uint32_t> terminating{0};  // tag mutexes are left alone while set
  std::atomic<uint32_t> readOnly{0};
  std::atomic<uint32_t> noDisk{0};
  std::atomic<uint32_t> service{0}; // running as a system service
  // 1 from the end of start-up to the start of the last psp_term: what every
  // other thread reads as "initialised".
  std::atomic<uint32_t> running{0};
  std::atomic<uint32_t> threadsExiting{0}; // inside threadExitEnter / threadExitLeave
  // The highest handle that is not a tag record: the special handles (0-2)
  // while running, every handle otherwise. Set with `running`, so the
  // allocation paths test the handle and the library state in one compare.
  std::atomic<uintptr_t> tagFloor{UINTPTR_MAX};
  // The start-up whose threads' own tags the allocation paths may take from
  // their thread-local copy: its number while running, 0 otherwise. Set with
  // `running`.
  std::atomic<uint64_t> liveGeneration{0};
};

extern ProcessFlags g_flags;

// True on the thread that runs start-up, a failed start-up's rollback or the
// last psp_term: it works on the library while no other thread may.
bool onLifecycleThread();

// Other threads see the library only once start-up has finished, and no
// longer once the last psp_term has begun; the thread building or tearing it
// down sees it throughout.
inline bool initialised() {
  return g_flags.running.load(std::memory_order_acquire) != 0 || onLifecycleThread();
}
inline bool syncDisabled() { return g_flags.syncDisabled.load(std::memory_order_relaxed) != 0; }
inline bool terminating() { return g_flags.terminating.load(std::memory_order_relaxed) != 0; }

// ---- library locks (frame) ----
void lockSetup();    // lazy; safe to race from several threads
void lockTeardown(); // ends the sync-disabled state; the locks themselves stay
void syncTableLockEnter();
void syncTableLockLeave();

// Work a thread does on its way out (giving back its own tag) runs inside
// this gate. Enter gives false, and nothing needs leaving, when the library
// is not running; the last psp_term waits for the gate to drain before it
// tears anything down, so the work never meets a half-dismantled library.
bool threadExitEnter();
void threadExitLeave();

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
uint64_t memGeneration(); // the start-up's number, raised by each memStartup

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
// The same allocation and resize without the jump: NULL on failure.
void *tagTryAlloc(psp_memtag_rec *tag, uint32_t size);
void *tagTryRealloc(psp_memtag_rec *tag, void *block, uint32_t size, uint32_t keep);
// Jumps to the tag's jump buffer if it has one; returns otherwise.
void tagJumpIfArmed(psp_memtag_rec *tag);

// Tag life cycle for library-made tags (log sinks, pools, file layer).
// createTag builds a tag that is not yet in the tag list; registerTag appends
// it. The status is 0, -10000 (no record) or -14000 (unknown kind, no state).
PSP_STATUS createTag(jmp_buf *jump, uint16_t threadSafe, uint32_t kind, PSP_TAG_CALLBACK callback,
                     void *context, psp_memtag_rec **out);
void registerTag(psp_memtag_rec *tag);
// Destroys the calling thread's PSP_TAG_THREAD, if it has one, and clears
// its slot: the thread trampoline, once the thread's body has returned.
void threadTagRelease();

// ---- synchronization objects ----
void syncTableClear(); // called by lockSetup with the sync-table lock fresh
void syncShutdown();

// A PSP_SYNC_MUTEX for one of the library's own locks that no caller can
// wait on (tag mutexes, the tag-list, global-heap and bootstrap locks). It is
// recursive but reports no abandonment: the library never runs caller code
// or ends a thread while holding such a lock, so no owner can die holding
// it, and it skips the bookkeeping of the owner's list of held mutexes.
// Otherwise it is psp_syncCreate_check(PSP_SYNC_MUTEX, file, line).
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
// Makes a sink (its mutex and tag once the library runs) and pushes the
// target `name` when not NULL; on failure nothing is left of it.
PSP_STATUS sinkCreate(PSP_LOG_SINK *sink, const char *name);
// Pops every target, then deletes the mutex and destroys the tag.
void sinkDestroy(PSP_LOG_SINK *sink);

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
// What psp_serviceStart was given: the service's name, the caller's stop
// flag, and main with its two arguments.
struct ServiceCall {
  const char *name;
  uint16_t *stopFlag;
  uint32_t argument1;
  void *argument2;
  PSP_SERVICE_MAIN main;
};
// Runs the call as a service when the service manager started this process,
// leaving psp_serviceStart's result in `result`; false, with nothing run,
// when it did not (the console case).
bool runAsService(const ServiceCall &call, int32_t &result);

// ---- file handles ----
// The file layer's own thread-safe tag, kept in the named global "pspfile";
// NULL when the global cannot be had.
PSP_MEMTAG fileTag();
// Opens `name` into a new handle allocated from `tag` (any tag, the special
// handles included). Non-zero on failure: a status, or a positive errno from
// the disk backend that callers treat as failure and never pass on.
PSP_STATUS openFileHandle(const char *name, uint32_t mode, uint16_t options, PSP_MEMTAG tag,
                          PSP_FH *out);
// A mode bit that only the library's own opens may pass: with the create
// bit, the file must not exist yet and a symbolic link is never followed.
constexpr uint32_t kFileExclusive = 0x80000000u;
// Closes the native handle, then frees the record into `tag`; NULL is ignored.
void closeFileHandle(PSP_FH fh, PSP_MEMTAG tag);
// Removes a file by name; a missing file counts as removed.
PSP_STATUS fileRemoveName(const char *name);
// 0, 1 or 2 for "stdin", "stdout", "stderr" in any case; -1 for other names.
int stdStreamNumber(const char *name);

// Operations counted by the file fault switches of testing.h: the 19 slots
// in table order, then removal and the status query of a name.
enum FileOp : uint32_t {
  kFileOpen,
  kFileClose,
  kFileSeek,
  kFileRead,
  kFileWrite,
  kFileSeekRead,
  kFileSeekWrite,
  kFilePageOut,
  kFileSpare,
  kFileLength,
  kFileSetSize,
  kFileSync,
  kFileMap,
  kFileRemap,
  kFileUnmap,
  kFileIsATTY,
  kFileSetEcho,
  kFileLock,
  kFileUnlock,
  kFileRemove,
  kFileStat,
  kFileOpCount
};

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
  // Kind 0's inline paths (see memory/bucket.h); 0: none.
  uint8_t inlineAlloc;
  uint8_t inlineFree;
};

// The table of file operations behind a handle. Every slot but `open` takes
// the handle's native value first; an empty slot is NULL.
struct PSP_FILE_BACKEND {
  PSP_STATUS (*open)(const char *name, uint32_t mode, uint16_t options, uint64_t *native);
  PSP_STATUS (*close)(uint64_t native);
  PSP_STATUS (*seek)(uint64_t native, int64_t offset, uint32_t origin, uint64_t *newPos);
  PSP_STATUS (*read)(uint64_t native, void *buf, uint32_t len, uint64_t *count);
  PSP_STATUS (*write)(uint64_t native, const void *buf, uint32_t len);
  PSP_STATUS (*seekRead)(uint64_t native, uint64_t pos, void *buf, uint32_t len, uint64_t *count);
  PSP_STATUS (*seekWrite)(uint64_t native, uint64_t pos, const void *buf, uint32_t len);
  PSP_STATUS (*pageOut)(uint64_t native, uint64_t value, uint32_t len);
  PSP_STATUS (*spare)(uint64_t native);
  PSP_STATUS (*length)(uint64_t native, uint64_t *length);
  PSP_STATUS (*setSize)(uint64_t native, uint64_t size);
  PSP_STATUS (*sync)(uint64_t native);
  PSP_STATUS (*map)(uint64_t native, void *a, void *b);
  PSP_STATUS (*remap)(uint64_t native, void *a, void *b);
  PSP_STATUS (*unmap)(uint64_t native, void *a, void *b);
  PSP_STATUS (*isATTY)(uint64_t native, uint32_t *flag);
  PSP_STATUS (*setEcho)(uint64_t native, uint32_t on);
  PSP_STATUS (*lock)(uint64_t native);
  PSP_STATUS (*unlock)(uint64_t native);
};

// The record a PSP_FH points to. After a successful open `mode` holds no
// create or truncate bit; `mode` and `options` never change afterwards.
struct psp_fh_rec {
  char *name;      // owned copy, same tag as the record
  uint64_t native; // 0 while none is open
  uint32_t mode;
  uint16_t options;
  const PSP_FILE_BACKEND *backend; // NULL until chosen
};
