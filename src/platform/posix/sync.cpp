// sync.cpp - POSIX mutexes, manual-reset events, thread-local slots and threads.
//
// A caller's mutex is a recursive, robust, process-private pthread mutex: a
// thread that dies holding it leaves it "abandoned" (EOWNERDEAD), which the
// next taker sees once and repairs with pthread_mutex_consistent. The
// library's own locks may skip robustness (see syncCreateLock). While held, a
// robust mutex is linked into its owner's robust list, which the owner's
// later lock operations and its exit write through; so native objects live
// in mmap'd stores of their own, and a store holding a mutex that another
// thread still owns is never unmapped or reused. An event is
// a plain mutex, a condition variable on CLOCK_MONOTONIC, a signalled flag and
// a generation count; the generation lets a set that is at once followed by a
// reset still release every thread that was waiting when it was set. Timed
// waits run against CLOCK_MONOTONIC so that wall-clock changes do not stretch
// or cut them.
#include "platform/os.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#if defined(__SANITIZE_THREAD__)
#define PSP_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PSP_TSAN 1
#endif
#endif

namespace psp::os {

namespace {

// The owner and depth are kept beside the native mutex so that a release by
// a thread that does not hold it, and the release of every level before
// destruction, never reach pthread_mutex_unlock with a mutex the caller does
// not own. Only the owner writes them; others only compare the owner.
struct Mutex {
  pthread_mutex_t native;
  std::atomic<uintptr_t> owner;
  uint32_t depth;
};

struct Event {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  uint32_t signalled;
  uint32_t generation; // bumped by every set
};

static_assert(sizeof(Mutex) <= sizeof(SyncObject::opaque));
static_assert(alignof(Mutex) <= alignof(SyncObject));
static_assert(sizeof(Event) <= sizeof(SyncObject::opaque));
static_assert(alignof(Event) <= alignof(SyncObject));

Mutex *asMutex(SyncObject &object) { return reinterpret_cast<Mutex *>(object.opaque); }

// A per-thread identity that costs one TLS address computation, cheaper than
// a call to pthread_self on the lock path.
uintptr_t self() {
  static thread_local __attribute__((tls_model("initial-exec"))) char identity;
  return reinterpret_cast<uintptr_t>(&identity);
}
Event *asEvent(SyncObject &object) { return reinterpret_cast<Event *>(object.opaque); }

timespec deadlineAfter(clockid_t clock, uint32_t ms) {
  timespec ts;
  clock_gettime(clock, &ts);
  ts.tv_sec += ms / 1000;
  ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_nsec -= 1000000000L;
    ++ts.tv_sec;
  }
  return ts;
}

WaitResult fromLockResult(Mutex *mutex, int rc) {
  switch (rc) {
  case EOWNERDEAD:
    // The dead owner's levels are gone with it; the caller holds one.
    pthread_mutex_consistent(&mutex->native);
    mutex->depth = 0;
    [[fallthrough]];
  case 0:
    mutex->owner.store(self(), std::memory_order_relaxed);
    ++mutex->depth;
    return rc == 0 ? WaitResult::Signalled : WaitResult::Abandoned;
  case EBUSY:
  case ETIMEDOUT:
    return WaitResult::TimedOut;
  default:
    return WaitResult::Failed;
  }
}

} // namespace

void mutexInit(SyncObject &object, bool robust) {
  Mutex *mutex = asMutex(object);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (robust)
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
  pthread_mutex_init(&mutex->native, &attr);
  pthread_mutexattr_destroy(&attr);
  new (&mutex->owner) std::atomic<uintptr_t>(0);
  mutex->depth = 0;
}

SyncObject *nativeStoreCreate(uint32_t count) {
  void *store = mmap(nullptr, size_t{count} * sizeof(SyncObject), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return store == MAP_FAILED ? nullptr : static_cast<SyncObject *>(store);
}

void nativeStoreRelease(SyncObject *store, uint32_t count) {
  munmap(store, size_t{count} * sizeof(SyncObject));
}

bool mutexDestroy(SyncObject &object) {
  Mutex *mutex = asMutex(object);
  // A robust mutex sits on its owner's robust list while held; destroying it
  // there would leave the list pointing into freed memory. Give back every
  // level this thread holds first.
  if (mutex->owner.load(std::memory_order_relaxed) == self()) {
    mutex->owner.store(0, std::memory_order_relaxed);
    for (; mutex->depth > 0; --mutex->depth)
      pthread_mutex_unlock(&mutex->native);
  }
  // Another owner, alive, keeps it; a dead one's hold is taken over and let go.
  int rc = pthread_mutex_trylock(&mutex->native);
  if (rc == EBUSY)
    return false;
  if (rc == EOWNERDEAD)
    pthread_mutex_consistent(&mutex->native);
  if (rc == 0 || rc == EOWNERDEAD)
    pthread_mutex_unlock(&mutex->native);
  pthread_mutex_destroy(&mutex->native);
  return true;
}

WaitResult mutexLock(SyncObject &object, uint32_t timeoutMs) {
  Mutex *mutex = asMutex(object);
  if (timeoutMs == kWaitForever)
    return fromLockResult(mutex, pthread_mutex_lock(&mutex->native));
  if (timeoutMs == 0)
    return fromLockResult(mutex, pthread_mutex_trylock(&mutex->native));
#ifdef PSP_TSAN
  // ThreadSanitizer does not intercept pthread_mutex_clocklock; a lock it
  // cannot see would make every later unlock look wrong to it.
  timespec deadline = deadlineAfter(CLOCK_REALTIME, timeoutMs);
  return fromLockResult(mutex, pthread_mutex_timedlock(&mutex->native, &deadline));
#else
  timespec deadline = deadlineAfter(CLOCK_MONOTONIC, timeoutMs);
  return fromLockResult(mutex, pthread_mutex_clocklock(&mutex->native, CLOCK_MONOTONIC, &deadline));
#endif
}

void mutexUnlock(SyncObject &object) {
  Mutex *mutex = asMutex(object);
  if (mutex->owner.load(std::memory_order_relaxed) != self())
    return;
  if (--mutex->depth == 0)
    mutex->owner.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&mutex->native);
}

void eventInit(SyncObject &object) {
  Event *event = asEvent(object);
  pthread_mutex_init(&event->mutex, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&event->cond, &attr);
  pthread_condattr_destroy(&attr);
  event->signalled = 1;
  event->generation = 0;
}

void eventDestroy(SyncObject &object) {
  Event *event = asEvent(object);
  pthread_cond_destroy(&event->cond);
  pthread_mutex_destroy(&event->mutex);
}

WaitResult eventWait(SyncObject &object, uint32_t timeoutMs) {
  Event *event = asEvent(object);
  if (pthread_mutex_lock(&event->mutex) != 0)
    return WaitResult::Failed;
  WaitResult result = WaitResult::Signalled;
  const uint32_t generation = event->generation;
  if (timeoutMs == kWaitForever) {
    while (event->signalled == 0 && event->generation == generation)
      pthread_cond_wait(&event->cond, &event->mutex);
  } else if (event->signalled == 0) {
    timespec deadline = deadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    while (event->signalled == 0 && event->generation == generation) {
      int rc = timeoutMs == 0 ? ETIMEDOUT
                              : pthread_cond_timedwait(&event->cond, &event->mutex, &deadline);
      if (rc == ETIMEDOUT) {
        if (event->signalled == 0 && event->generation == generation)
          result = WaitResult::TimedOut;
        break;
      }
      if (rc != 0 && rc != EINTR) {
        result = WaitResult::Failed;
        break;
      }
    }
  }
  pthread_mutex_unlock(&event->mutex);
  return result;
}

void eventSet(SyncObject &object) {
  Event *event = asEvent(object);
  pthread_mutex_lock(&event->mutex);
  event->signalled = 1;
  ++event->generation;
  pthread_cond_broadcast(&event->cond);
  pthread_mutex_unlock(&event->mutex);
}

void eventReset(SyncObject &object) {
  Event *event = asEvent(object);
  pthread_mutex_lock(&event->mutex);
  event->signalled = 0;
  pthread_mutex_unlock(&event->mutex);
}

bool tlsCreate(uint32_t &key, void (*atThreadExit)(void *value)) {
  static_assert(sizeof(pthread_key_t) <= sizeof(uint32_t));
  pthread_key_t native;
  // A key's destructor runs at thread exit for a non-NULL value, after the
  // value is cleared, and never after pthread_key_delete.
  if (pthread_key_create(&native, atThreadExit) != 0)
    return false;
  key = static_cast<uint32_t>(native);
  return true;
}

void tlsDelete(uint32_t key) { pthread_key_delete(static_cast<pthread_key_t>(key)); }

void *tlsGet(uint32_t key) { return pthread_getspecific(static_cast<pthread_key_t>(key)); }

bool tlsSet(uint32_t key, void *value) {
  return pthread_setspecific(static_cast<pthread_key_t>(key), value) == 0;
}

namespace {

// What the start routine needs; it lives on the starting thread's stack until
// the new thread has copied it out.
struct StartBlock {
  ThreadEntry entry;
  void *argument;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool taken;
};

void *startRoutine(void *raw) {
  StartBlock *start = static_cast<StartBlock *>(raw);
  ThreadEntry entry = start->entry;
  void *argument = start->argument;
  pthread_mutex_lock(&start->mutex);
  start->taken = true;
  pthread_cond_signal(&start->cond);
  pthread_mutex_unlock(&start->mutex);
  // The exit code travels as the thread's own result value.
  return reinterpret_cast<void *>(static_cast<uintptr_t>(entry(argument)));
}

} // namespace

bool threadCreate(ThreadEntry entry, void *argument, uint32_t stackSize, void **handle) {
  static_assert(sizeof(pthread_t) <= sizeof(void *));
  *handle = nullptr;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0)
    return false;
  if (stackSize != 0) {
    size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0)
      size = (size + static_cast<size_t>(page) - 1) / static_cast<size_t>(page) *
             static_cast<size_t>(page);
    pthread_attr_setstacksize(&attr, size);
  }
  StartBlock start{entry, argument, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, false};
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, startRoutine, &start);
  pthread_attr_destroy(&attr);
  if (rc != 0)
    return false;
  pthread_mutex_lock(&start.mutex);
  while (!start.taken)
    pthread_cond_wait(&start.cond, &start.mutex);
  pthread_mutex_unlock(&start.mutex);
  pthread_cond_destroy(&start.cond);
  pthread_mutex_destroy(&start.mutex);
  *handle = reinterpret_cast<void *>(thread);
  return true;
}

bool threadJoin(void *handle, uint32_t &exitCode) {
  void *result = nullptr;
  if (pthread_join(reinterpret_cast<pthread_t>(handle), &result) != 0)
    return false;
  exitCode = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(result));
  return true;
}

uint32_t threadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

} // namespace psp::os
