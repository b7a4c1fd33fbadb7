// sync.cpp - Windows mutexes, manual-reset events, thread-local slots and
// threads.
//
// A caller's mutex is an unnamed kernel mutex from CreateMutexA: recursive,
// owned by the thread that waited for it, and abandoned when that thread ends
// holding it (WAIT_ABANDONED: the waiter owns it now). The library's own
// locks are never abandoned (it ends no thread and runs no caller code while
// holding one), so they are critical sections, which take no trip into the
// kernel when uncontended. An event is an unnamed manual-reset event from
// CreateEventA, created signalled. Create results are stored unchecked; a
// failed create leaves a NULL handle whose waits fail.
//
// Threads start through _beginthreadex on a small start routine that copies
// the entry and its argument off the starter's stack before the starter
// returns; the entry's result is the thread's exit code, read back with
// GetExitCodeThread at the join, which closes the handle.
#include "platform/os.h"

#include <windows.h>

#include <process.h>

#include <cstring>

namespace psp::os {

namespace {

struct Mutex {
  HANDLE handle;            // kernel mutex, or NULL for a critical section
  CRITICAL_SECTION section; // used when handle is NULL and robust is false
  bool robust;
};

struct Event {
  HANDLE handle;
};

static_assert(sizeof(Mutex) <= sizeof(SyncObject::opaque));
static_assert(alignof(Mutex) <= alignof(SyncObject));
static_assert(sizeof(Event) <= sizeof(SyncObject::opaque));

Mutex *asMutex(SyncObject &object) { return reinterpret_cast<Mutex *>(object.opaque); }
Event *asEvent(SyncObject &object) { return reinterpret_cast<Event *>(object.opaque); }

WaitResult fromWait(DWORD rc) {
  switch (rc) {
  case WAIT_OBJECT_0:
    return WaitResult::Signalled;
  case WAIT_ABANDONED:
    return WaitResult::Abandoned;
  case WAIT_TIMEOUT:
    return WaitResult::TimedOut;
  default:
    return WaitResult::Failed;
  }
}

bool ownsSection(const CRITICAL_SECTION &section) {
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(section.OwningThread)) ==
         GetCurrentThreadId();
}

// A critical section has no timed enter: poll, sleeping a tick between tries.
WaitResult enterSectionWithin(CRITICAL_SECTION &section, uint32_t timeoutMs) {
  if (timeoutMs == kWaitForever) {
    EnterCriticalSection(&section);
    return WaitResult::Signalled;
  }
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (TryEnterCriticalSection(&section))
      return WaitResult::Signalled;
    if (GetTickCount64() >= deadline)
      return WaitResult::TimedOut;
    Sleep(1);
  }
}

} // namespace

SyncObject *nativeStoreCreate(uint32_t count) {
  return static_cast<SyncObject *>(VirtualAlloc(nullptr, size_t{count} * sizeof(SyncObject),
                                                MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void nativeStoreRelease(SyncObject *store, uint32_t) { VirtualFree(store, 0, MEM_RELEASE); }

void mutexInit(SyncObject &object, bool robust) {
  Mutex *mutex = asMutex(object);
  std::memset(mutex, 0, sizeof *mutex);
  mutex->robust = robust;
  if (robust)
    mutex->handle = CreateMutexA(nullptr, FALSE, nullptr);
  else
    InitializeCriticalSection(&mutex->section);
}

// A kernel mutex lives in the kernel, not in the storage: closing the handle
// while another thread owns it is harmless, so the storage is always free.
bool mutexDestroy(SyncObject &object) {
  Mutex *mutex = asMutex(object);
  if (mutex->robust) {
    // Give back what this thread holds, so no owned object outlives its handle.
    if (mutex->handle != nullptr) {
      while (ReleaseMutex(mutex->handle)) {
      }
      CloseHandle(mutex->handle);
    }
    mutex->handle = nullptr;
    return true;
  }
  while (ownsSection(mutex->section))
    LeaveCriticalSection(&mutex->section);
  DeleteCriticalSection(&mutex->section);
  return true;
}

WaitResult mutexLock(SyncObject &object, uint32_t timeoutMs) {
  Mutex *mutex = asMutex(object);
  if (mutex->robust)
    return fromWait(WaitForSingleObject(mutex->handle, timeoutMs));
  return enterSectionWithin(mutex->section, timeoutMs);
}

void mutexUnlock(SyncObject &object) {
  Mutex *mutex = asMutex(object);
  if (mutex->robust)
    ReleaseMutex(mutex->handle); // fails harmlessly unless the caller owns it
  else if (ownsSection(mutex->section))
    LeaveCriticalSection(&mutex->section);
}

void eventInit(SyncObject &object) {
  asEvent(object)->handle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
}

void eventDestroy(SyncObject &object) {
  Event *event = asEvent(object);
  if (event->handle != nullptr)
    CloseHandle(event->handle);
  event->handle = nullptr;
}

WaitResult eventWait(SyncObject &object, uint32_t timeoutMs) {
  return fromWait(WaitForSingleObject(asEvent(object)->handle, timeoutMs));
}

void eventSet(SyncObject &object) { SetEvent(asEvent(object)->handle); }

void eventReset(SyncObject &object) { ResetEvent(asEvent(object)->handle); }

// The slot is TlsAlloc's. TLS has no thread-exit callback, so a fiber-local
// slot holding the same value stands beside it only to report the end of a
// thread that still holds one; it works in the DLL and in a static link
// alike. FlsFree also calls back, for every thread's value, on the freeing
// thread: the slot is freed only while the library is going down, when the
// hook does nothing.
namespace {
struct Slot {
  DWORD tls = TLS_OUT_OF_INDEXES;
  DWORD fls = FLS_OUT_OF_INDEXES;
  void (*atThreadExit)(void *) = nullptr;
};
Slot g_slot; // the library keeps one slot

void WINAPI threadEnded(void *value) {
  if (value == nullptr || g_slot.atThreadExit == nullptr)
    return;
  TlsSetValue(g_slot.tls, nullptr); // the hook expects the slot cleared
  g_slot.atThreadExit(value);
}
} // namespace

bool tlsCreate(uint32_t &key, void (*atThreadExit)(void *value)) {
  DWORD tls = TlsAlloc();
  if (tls == TLS_OUT_OF_INDEXES)
    return false;
  g_slot.tls = tls;
  g_slot.atThreadExit = atThreadExit;
  g_slot.fls = atThreadExit != nullptr ? FlsAlloc(threadEnded) : FLS_OUT_OF_INDEXES;
  key = tls;
  return true;
}

void tlsDelete(uint32_t key) {
  if (key == g_slot.tls && g_slot.fls != FLS_OUT_OF_INDEXES) {
    FlsFree(g_slot.fls);
    g_slot.fls = FLS_OUT_OF_INDEXES;
  }
  TlsFree(key);
  if (key == g_slot.tls)
    g_slot = Slot{};
}

void *tlsGet(uint32_t key) { return TlsGetValue(key); }

bool tlsSet(uint32_t key, void *value) {
  if (!TlsSetValue(key, value))
    return false;
  if (key == g_slot.tls && g_slot.fls != FLS_OUT_OF_INDEXES)
    FlsSetValue(g_slot.fls, value);
  return true;
}

namespace {

// Lives on the starting thread's stack until the new thread has copied it.
struct StartBlock {
  ThreadEntry entry;
  void *argument;
  SRWLOCK lock;
  CONDITION_VARIABLE taken_cv;
  bool taken;
};

unsigned __stdcall startRoutine(void *raw) {
  StartBlock *start = static_cast<StartBlock *>(raw);
  ThreadEntry entry = start->entry;
  void *argument = start->argument;
  AcquireSRWLockExclusive(&start->lock);
  start->taken = true;
  ReleaseSRWLockExclusive(&start->lock);
  WakeConditionVariable(&start->taken_cv);
  return entry(argument);
}

} // namespace

bool threadCreate(ThreadEntry entry, void *argument, uint32_t stackSize, void **handle) {
  *handle = nullptr;
  StartBlock start{entry, argument, SRWLOCK_INIT, CONDITION_VARIABLE_INIT, false};
  uintptr_t thread = _beginthreadex(nullptr, stackSize, startRoutine, &start, 0, nullptr);
  if (thread == 0)
    return false;
  AcquireSRWLockExclusive(&start.lock);
  while (!start.taken)
    SleepConditionVariableSRW(&start.taken_cv, &start.lock, INFINITE, 0);
  ReleaseSRWLockExclusive(&start.lock);
  *handle = reinterpret_cast<void *>(thread);
  return true;
}

bool threadJoin(void *handle, uint32_t &exitCode) {
  HANDLE thread = static_cast<HANDLE>(handle);
  if (WaitForSingleObject(thread, INFINITE) != WAIT_OBJECT_0)
    return false; // the handle stays open for another try
  DWORD code = 0;
  // The thread is gone either way: an unreadable exit code still closes the
  // handle and reads as the generic failure status (-14000).
  if (!GetExitCodeThread(thread, &code))
    code = static_cast<DWORD>(-14000);
  CloseHandle(thread);
  exitCode = code;
  return true;
}

uint32_t threadId() { return GetCurrentThreadId(); }

} // namespace psp::os
