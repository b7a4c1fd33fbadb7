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

// Allocation inside the library on a caller's behalf. resolveTag turns
// PSP_TAG_THREAD / PSP_TAG_DEFAULT into records and gives NULL when the
// library is not initialised or there is no such tag. tagAlloc and tagRealloc
// call the tag's method with the tag's mutex held; when the method fails and
// the tag has a jump buffer they longjmp(*jump, 1) after releasing the mutex,
// otherwise they return NULL. Callers must hold no library lock and no object
// with a non-trivial destructor across them.
psp_memtag_rec *resolveTag(PSP_MEMTAG tag);
void *tagAlloc(psp_memtag_rec *tag, uint32_t size);
void *tagRealloc(psp_memtag_rec *tag, void *block, uint32_t size, uint32_t keep);
void tagFree(psp_memtag_rec *tag, void *block);

// ---- synchronization objects ----
void syncTableClear(); // called by lockSetup with the sync-table lock fresh
void syncShutdown();

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

// ---- diagnostics ----
// Messages the library prints itself ("Failed to create thread\n").
void diag(const char *format, ...);

} // namespace psp

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
