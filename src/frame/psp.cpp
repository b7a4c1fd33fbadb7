// psp.cpp - library lifecycle: psp_init / psp_term, the library lock, the
// process flags and the version.
//
// Loading the library runs none of its code. The two process locks (library
// lock, sync-table lock) are made lazily under a spin flag, so the first
// psp_init or psp_enterCritSec may race from several threads, and are then
// kept for the life of the process: a thread may be waiting for the library
// lock at any moment, so it is never deleted or made anew.
//
// Only the psp_init that raises the count from 0 runs the start-up sequence,
// and only the psp_term that lowers it from 1 runs the shut-down sequence;
// both hold the library lock throughout. Other threads see the library
// (`running`) only once start-up has finished, and no longer from the moment
// the last psp_term begins, before anything is torn down. A failed start-up
// undoes the steps already done, in the order of the rollback table, and
// leaves the count at 0.
#include "internal.h"
#include "platform/os.h"
#include "testing.h"

namespace psp {

ProcessFlags g_flags;

namespace {

os::RecursiveLock g_libraryLock;
os::RecursiveLock g_syncTableLock;

// How deeply the library lock is held, and by whom. Only the holder changes
// these, so the end of a shut-down can release every level this thread holds.
uint32_t g_libraryDepth;
std::atomic<const void *> g_libraryOwner{nullptr};

// Set while this thread runs start-up, its rollback or the last psp_term.
thread_local bool t_lifecycle = false;

const void *currentThreadKey() {
  static thread_local char key;
  return &key;
}

void libraryEnter() {
  os::lockEnter(g_libraryLock);
  g_libraryOwner.store(currentThreadKey(), std::memory_order_relaxed);
  ++g_libraryDepth;
}

void libraryLeave() {
  if (--g_libraryDepth == 0)
    g_libraryOwner.store(nullptr, std::memory_order_relaxed);
  os::lockLeave(g_libraryLock);
}

template <typename Body> void underSpinFlag(Body body) {
  uint32_t expected = 0;
  for (uint32_t round = 0;
       !g_flags.lockSpin.compare_exchange_weak(expected, 1, std::memory_order_acquire); ++round) {
    expected = 0;
    os::spinPause(round);
  }
  body();
  g_flags.lockSpin.store(0, std::memory_order_release);
}

// Start-up and shut-down steps, in the order the sequence runs them.
enum StartupStep { kLocks = 1, kMemory, kGlobals, kStdoutSink, kStderrSink, kLogSink };

void drainSink(PSP_LOG_SINK *sink) { sinkDestroy(sink); }

// Undoes every step before `failed`, newest first.
void rollback(int failed) {
  if (failed > kLogSink)
    drainSink(&g_logSink);
  if (failed > kStderrSink)
    drainSink(&g_stderrSink);
  if (failed > kStdoutSink)
    drainSink(&g_stdoutSink);
  if (failed > kGlobals) {
    globalsShutdown();
  }
  if (failed > kMemory) {
    syncShutdown();
    memShutdown();
  }
  lockTeardown();
}

PSP_STATUS runStep(int step) {
  PSP_STATUS status = PSP_OKAY;
  switch (step) {
  case kMemory:
    status = memStartup();
    break;
  case kGlobals:
    status = globalsStartup();
    break;
  case kStdoutSink:
    status = sinkCreate(&g_stdoutSink, "stdout");
    break;
  case kStderrSink:
    status = sinkCreate(&g_stderrSink, "stderr");
    break;
  case kLogSink:
    status = sinkCreate(&g_logSink, nullptr);
    break;
  }
#ifdef PSP_TESTING
  if (status == PSP_OKAY && step == testing::g_failStartupStep) {
    // Undo the step itself, as a real failure would have, then report it.
    if (step == kMemory) {
      syncShutdown();
      memShutdown();
    } else if (step >= kStdoutSink)
      drainSink(step == kStdoutSink   ? &g_stdoutSink
                : step == kStderrSink ? &g_stderrSink
                                      : &g_logSink);
    else
      globalsShutdown();
    status = -4242;
  }
#endif
  return status;
}

PSP_STATUS startup() {
  lockSetup();
  syncTableClear();
  for (int step = kMemory; step <= kLogSink; ++step) {
    PSP_STATUS status = runStep(step);
    if (status != PSP_OKAY) {
      rollback(step);
      return status;
    }
  }
  return PSP_OKAY;
}

// The library lock is never deleted, but the end of a full shut-down or of a
// failed start-up acts on this thread as deleting it would: every level it
// holds is released, and a later psp_exitCritSec from it does nothing.
void releaseLibraryLock() {
  if (g_libraryOwner.load(std::memory_order_relaxed) != currentThreadKey())
    return;
  // Counted first: once the last level is gone the depth is the next holder's.
  uint32_t levels = g_libraryDepth;
  g_libraryDepth = 0;
  g_libraryOwner.store(nullptr, std::memory_order_relaxed);
  while (levels-- > 0)
    os::lockLeave(g_libraryLock);
}

// Threads on their way out may be giving back their own tags; wait for them
// once no new one can enter.
void drainExitingThreads() {
  for (uint32_t round = 0; g_flags.threadsExiting.load() != 0; ++round)
    os::spinPause(round);
}

void shutdown() {
  // Drained log first, unlike the rollback order.
  drainSink(&g_logSink);
  drainSink(&g_stdoutSink);
  drainSink(&g_stderrSink);
  tmpDirRelease();
  g_flags.terminating.store(1);
  globalsShutdown();
  syncShutdown();
  memShutdown();
  lockTeardown();
  g_flags.terminating.store(0);
}

} // namespace

#ifdef PSP_TESTING
int testing::g_failStartupStep;
#endif

bool onLifecycleThread() { return t_lifecycle; }

void lockSetup() {
  if (g_flags.lockReady.load(std::memory_order_acquire) != 0)
    return;
  underSpinFlag([] {
    if (g_flags.lockReady.load(std::memory_order_relaxed) != 0)
      return;
    os::lockInit(g_libraryLock);
    os::lockInit(g_syncTableLock);
    g_flags.lockReady.store(1, std::memory_order_release);
  });
}

void lockTeardown() { g_flags.syncDisabled.store(0); }

bool threadExitEnter() {
  // Paired with the last psp_term, which clears `running` and then waits for
  // the count to drain: either this thread sees it cleared, or psp_term sees
  // this thread inside.
  g_flags.threadsExiting.fetch_add(1);
  if (g_flags.running.load() != 0)
    return true;
  g_flags.threadsExiting.fetch_sub(1);
  return false;
}

void threadExitLeave() { g_flags.threadsExiting.fetch_sub(1); }

void syncTableLockEnter() { os::lockEnter(g_syncTableLock); }
void syncTableLockLeave() { os::lockLeave(g_syncTableLock); }

} // namespace psp

using namespace psp;

PSP_API PSP_STATUS psp_init(void) {
  lockSetup();
  libraryEnter();
  // A finaliser or tag callback run by start-up or shut-down calling back in
  // would rebuild a library half torn down: refused.
  if (t_lifecycle) {
    libraryLeave();
    return PSP_ERR_SYSTEM;
  }
  const uint32_t old = g_flags.initCount.load();
  g_flags.initCount.store(old + 1);
  if (old != 0) {
    libraryLeave();
    return PSP_OKAY;
  }
  t_lifecycle = true;
  PSP_STATUS status = startup();
  t_lifecycle = false;
  if (status == PSP_OKAY) {
    g_flags.running.store(1, std::memory_order_release); // published whole
    g_flags.tagFloor.store(2, std::memory_order_release);
    g_flags.liveGeneration.store(memGeneration(), std::memory_order_release);
    libraryLeave();
    return PSP_OKAY;
  }
  g_flags.initCount.store(0);
  releaseLibraryLock();
  return status;
}

PSP_API void psp_term(void) {
  lockSetup();
  libraryEnter();
  const uint32_t count = g_flags.initCount.load();
  // An unmatched psp_term leaves the count at 0 rather than wrapping it, and
  // one made from inside start-up or shut-down is ignored.
  if (count == 0 || t_lifecycle) {
    libraryLeave();
    return;
  }
  g_flags.initCount.store(count - 1);
  if (count > 1) {
    libraryLeave();
    return;
  }
  // Marked down before anything is torn down: from here on other threads see
  // no library, and those waiting for the lock find the count at 0.
  g_flags.tagFloor.store(UINTPTR_MAX);
  g_flags.liveGeneration.store(0);
  g_flags.running.store(0);
  drainExitingThreads();
  t_lifecycle = true;
  shutdown();
  t_lifecycle = false;
  releaseLibraryLock();
}

PSP_API void psp_rdonly(void) { g_flags.readOnly.store(1); }

PSP_API void psp_nodisk(void) { g_flags.noDisk.store(1); }

PSP_API void psp_version(uint16_t *major, uint16_t *minor, uint16_t *build) {
  if (major != nullptr)
    *major = PSP_VERSION_MAJOR;
  if (minor != nullptr)
    *minor = PSP_VERSION_MINOR;
  if (build != nullptr)
    *build = PSP_VERSION_BUILD;
}

PSP_API PSP_STATUS psp_enterCritSec(void) {
  lockSetup();
  libraryEnter();
  return PSP_OKAY;
}

PSP_API void psp_exitCritSec(void) {
  // Leaving a lock this thread does not hold is ignored rather than undefined.
  if (g_flags.lockReady.load() != 0 &&
      g_libraryOwner.load(std::memory_order_relaxed) == currentThreadKey())
    libraryLeave();
}
