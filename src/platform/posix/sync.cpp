// sync.cpp - POSIX mutexes, manual-reset events, thread-local slots and threads.
//
// A mutex is a futex word (0 free, 1 held, 3 free after its owner ended
// while holding it), a count of sleepers, and an owner and a depth. An
// uncontended lock is one compare-and-swap; an unlock is a plain store and a
// look at the sleepers, with no locked instruction: a thread about to sleep
// counts itself and then runs a process-wide barrier (membarrier), which
// orders every other thread's store before its look, so either the unlocker
// sees the sleeper or the sleeper sees the word free. Where that barrier is
// not to be had, the unlock pays a full fence instead; if it fails in use,
// sleepers wake every millisecond to look again. There is no robust-list
// bookkeeping either: a caller's mutex is
// pushed on its owner's list of held mutexes when first taken and popped when
// last released; the list's head is thread-local, and a key destructor that
// runs when the thread ends walks it and leaves every mutex still there in
// state 3, waking one sleeper. The next taker sees 3 once: the mutex is
// "abandoned". The library's own locks are not listed (a dead owner keeps
// them). While held, a listed mutex is reachable from its owner's
// list, so native objects live in mmap'd stores of their own, and a store
// holding a mutex that another thread still owns is never unmapped or reused.
// An event is a plain mutex, a condition variable on CLOCK_MONOTONIC, a
// signalled flag and a generation count; the generation lets a set that is at once followed by a
// reset still release every thread that was waiting when it was set. Timed
// waits run against CLOCK_MONOTONIC so that wall-clock changes do not stretch
// or cut them.
#include "platform/os.h"

#include <linux/futex.h>
#include <linux/membarrier.h>
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

namespace psp::os {

namespace {

constexpr uint32_t kFree = 0, kHeld = 1, kAbandoned = 3;

// Only the owner writes owner, depth and nextHeld; others only compare the
// owner with themselves.
struct Mutex {
  std::atomic<uint32_t> state;
  std::atomic<uint32_t> sleepers; // threads in the contended path
  uint32_t depth;
  std::atomic<uintptr_t> owner;
  Mutex *nextHeld; // the owner's list of held caller's mutexes
  bool listed;     // a caller's mutex, whose abandonment is reported
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

// What a thread holds. Its address is the thread's identity, one TLS
// address computation, cheaper than a call to pthread_self on the lock path.
struct HeldList {
  Mutex *head;
  bool hooked; // the key's value is set, so the exit walk will run
};

thread_local __attribute__((tls_model("initial-exec"))) HeldList t_held;

uintptr_t self() { return reinterpret_cast<uintptr_t>(&t_held); }

long futex(std::atomic<uint32_t> &word, int op, uint32_t value, const timespec *deadline) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), op | FUTEX_PRIVATE_FLAG, value,
                 deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// Whether unlocks may skip the full fence: the process is registered for
// expedited private membarrier. Decided once, before the first mutex exists.
std::atomic<bool> g_lightRelease{false};

bool registerBarrier() {
  long mask = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
  return mask > 0 && (mask & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
         syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

void decideRelease() {
  static const bool decided = [] {
    // A forked child keeps the light unlocks; it registers again.
    pthread_atfork(nullptr, nullptr, [] { registerBarrier(); });
    g_lightRelease.store(registerBarrier(), std::memory_order_relaxed);
    return true;
  }();
  (void)decided;
}

// The sleeper's half: after counting itself, before looking at the word.
// False when the barrier failed and a wake may be missed.
bool heavyBarrier() {
  if (!g_lightRelease.load(std::memory_order_relaxed))
    return true; // the count's own read-modify-write was a full fence
  return syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
}

// Gives the word back as `to` and wakes one sleeper if there are any.
void releaseWord(Mutex *mutex, uint32_t to) {
  mutex->state.store(to, std::memory_order_release);
  uint32_t sleepers;
  if (g_lightRelease.load(std::memory_order_relaxed)) {
    std::atomic_signal_fence(std::memory_order_seq_cst); // the sleeper's barrier orders us
    sleepers = mutex->sleepers.load(std::memory_order_relaxed);
  } else {
    sleepers = mutex->sleepers.fetch_add(0, std::memory_order_seq_cst); // a full fence
  }
  if (sleepers != 0)
    futex(mutex->state, FUTEX_WAKE, 1, nullptr);
}

// Runs as the thread ends (a key destructor): what it still holds is left
// abandoned, for the next taker to see.
void abandonHeld(void *) {
  t_held.hooked = false; // a later lock by another destructor hooks again
  while (Mutex *mutex = t_held.head) {
    t_held.head = mutex->nextHeld;
    mutex->depth = 0;
    mutex->owner.store(0, std::memory_order_relaxed);
    releaseWord(mutex, kAbandoned);
  }
}

__attribute__((noinline)) void hookThreadExit() {
  static const pthread_key_t key = [] {
    pthread_key_t made{};
    pthread_key_create(&made, abandonHeld);
    return made;
  }();
  pthread_setspecific(key, &t_held);
  t_held.hooked = true;
}

// After the word is won: the caller owns one level.
WaitResult taken(Mutex *mutex, uint32_t was) {
  mutex->owner.store(self(), std::memory_order_relaxed);
  mutex->depth = 1;
  if (mutex->listed) {
    if (!t_held.hooked)
      hookThreadExit();
    mutex->nextHeld = t_held.head;
    t_held.head = mutex;
  }
  return was == kAbandoned ? WaitResult::Abandoned : WaitResult::Signalled;
}

// Takes the word if it is free or abandoned.
bool tryWord(Mutex *mutex, uint32_t &was) {
  was = mutex->state.load(std::memory_order_relaxed);
  while (was == kFree || was == kAbandoned) {
    if (mutex->state.compare_exchange_weak(was, kHeld, std::memory_order_acquire))
      return true;
  }
  return false;
}

// The contended path: the caller counts itself among the sleepers, then
// sleeps while the word reads held.
constexpr int kSpins = 400;

inline void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

__attribute__((noinline)) WaitResult lockSlow(Mutex *mutex, uint32_t timeoutMs) {
  uint32_t was;
  if (tryWord(mutex, was))
    return taken(mutex, was);
  if (timeoutMs == 0)
    return WaitResult::TimedOut;
  // Most holds are short: watching the word for a few microseconds spares
  // the barrier that going to sleep costs.
  for (int spin = 0; spin < kSpins; ++spin) {
    spinPause();
    if (mutex->state.load(std::memory_order_relaxed) != kHeld && tryWord(mutex, was))
      return taken(mutex, was);
  }
  timespec deadline{};
  if (timeoutMs != kWaitForever)
    deadline = deadlineAfter(CLOCK_MONOTONIC, timeoutMs);
  mutex->sleepers.fetch_add(1, std::memory_order_seq_cst);
  const bool fenced = heavyBarrier();
  WaitResult result = WaitResult::TimedOut;
  for (;;) {
    if (tryWord(mutex, was)) {
      result = taken(mutex, was);
      break;
    }
    timespec poll{};
    const timespec *until = timeoutMs == kWaitForever ? nullptr : &deadline;
    if (!fenced) {
      poll = deadlineAfter(CLOCK_MONOTONIC, 1);
      if (until == nullptr || poll.tv_sec < deadline.tv_sec ||
          (poll.tv_sec == deadline.tv_sec && poll.tv_nsec < deadline.tv_nsec))
        until = &poll;
    }
    long rc = futex(mutex->state, FUTEX_WAIT_BITSET, kHeld, until);
    if (rc != 0 && errno == ETIMEDOUT && until == &deadline)
      break;
  }
  mutex->sleepers.fetch_sub(1, std::memory_order_relaxed);
  return result;
}

Event *asEvent(SyncObject &object) { return reinterpret_cast<Event *>(object.opaque); }

} // namespace

void mutexInit(SyncObject &object, bool robust) {
  decideRelease();
  Mutex *mutex = new (object.opaque) Mutex{};
  mutex->listed = robust;
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
  // Every level this thread holds is given back first, which also takes the
  // mutex off this thread's list.
  if (mutex->owner.load(std::memory_order_relaxed) == self()) {
    mutex->depth = 1;
    mutexUnlock(object);
  }
  // Another owner keeps it: it is on that thread's list until released.
  uint32_t was = mutex->state.load(std::memory_order_relaxed);
  while (was == kFree || was == kAbandoned) {
    if (mutex->state.compare_exchange_weak(was, kFree, std::memory_order_acquire))
      return true;
  }
  return false;
}

WaitResult mutexLock(SyncObject &object, uint32_t timeoutMs) {
  Mutex *mutex = asMutex(object);
  if (mutex->owner.load(std::memory_order_relaxed) == self()) {
    ++mutex->depth;
    return WaitResult::Signalled;
  }
  uint32_t was = kFree;
  if (mutex->state.compare_exchange_strong(was, kHeld, std::memory_order_acquire))
    return taken(mutex, kFree);
  return lockSlow(mutex, timeoutMs);
}

void mutexUnlock(SyncObject &object) {
  Mutex *mutex = asMutex(object);
  if (mutex->owner.load(std::memory_order_relaxed) != self())
    return;
  if (--mutex->depth != 0)
    return;
  if (mutex->listed) {
    // Mutexes are mostly released newest first: the head, or close to it.
    Mutex **link = &t_held.head;
    while (*link != mutex)
      link = &(*link)->nextHeld;
    *link = mutex->nextHeld;
  }
  mutex->owner.store(0, std::memory_order_relaxed);
  releaseWord(mutex, kFree);
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
