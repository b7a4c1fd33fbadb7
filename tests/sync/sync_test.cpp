// Sync objects, threads and atomics: mutex ownership and abandonment, slot
// reuse and exhaustion, exit codes, wrap-around, and events, locking and
// creation from many threads at once.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "../watchdog.h"
#include "psp.h"

namespace {

struct Library {
  Library() { EXPECT_EQ(psp_init(), PSP_OKAY); }
  ~Library() { psp_term(); }
};
void yieldUntil(const std::atomic<int> &flag, int value) {
  while (flag.load() != value)
    std::this_thread::yield();
}

TEST(Sync, MutexIsRecursiveOwnedAndRecoversWhenAbandoned) {
  psp_test::Watchdog dog(10);
  Library lib;
  PSP_SEM m = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1);
  EXPECT_EQ(psp_syncEnterExcl(m), PSP_OKAY);
  EXPECT_EQ(psp_syncWait(m, 0), PSP_OKAY); // recursion
  std::thread([&] {
    EXPECT_EQ(psp_syncWait(m, 20), PSP_TIMEOUT);
    psp_syncExitExcl(m); // not the owner: no effect
  }).join();
  psp_syncExitExcl(m);
  std::thread([&] { EXPECT_EQ(psp_syncWait(m, 0), PSP_TIMEOUT); }).join(); // still held once
  psp_syncExitExcl(m);
  std::thread([&] {
    EXPECT_EQ(psp_syncWait(m, 0), PSP_OKAY);
    psp_syncExitExcl(m);
  }).join();
  // A thread dies holding it: the next wait reports a timeout once, then the
  // mutex is free; a second abandonment is taken over by an enter, and owned.
  std::thread([&] { psp_syncEnterExcl(m); }).join();
  EXPECT_EQ(psp_syncWait(m, 1000), PSP_TIMEOUT);
  EXPECT_EQ(psp_syncWait(m, 0), PSP_OKAY);
  psp_syncExitExcl(m);
  std::thread([&] { psp_syncEnterExcl(m); }).join();
  EXPECT_EQ(psp_syncEnterExcl(m), PSP_OKAY);
  std::thread([&] { EXPECT_EQ(psp_syncWait(m, 0), PSP_TIMEOUT); }).join();
  psp_syncExitExcl(m);
  psp_syncDelete(m);
}

TEST(Sync, SlotsAreReusedAndExhaustionIsReported) {
  Library lib;
  std::vector<PSP_SEM> made;
  for (PSP_SEM s; (s = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1)) != PSP_SEM_NONE;)
    made.push_back(s);
  // 131072 slots, a few of them held by the library itself.
  EXPECT_TRUE(made.size() <= 131072u && made.size() >= 131072u - 16) << made.size();
  testing::internal::CaptureStdout();
  EXPECT_EQ(psp_syncCreate_check(PSP_SYNC_EVENT, "caller", 42), PSP_SEM_NONE);
  // Windows: the log's stdout sink writes to the standard handle it took at
  // psp_init, which redirecting descriptor 1 afterwards does not move.
#ifdef _WIN32
  const char *logged = "";
#else
  const char *logged = "Insufficient number of semaphores, called from caller:42\n";
#endif
  EXPECT_EQ(testing::internal::GetCapturedStdout(), logged);
  // A freed slot is the very next one handed out; a double delete is ignored,
  // and so is a request of an unknown type, which takes no slot.
  psp_syncDelete(made[5000]);
  psp_syncDelete(made[5000]);
  EXPECT_EQ(psp_syncCreate_check(3, "t", 1), PSP_SEM_NONE);
  EXPECT_EQ(psp_syncCreate_check(PSP_SYNC_EVENT, "t", 1), made[5000]);
  EXPECT_EQ(psp_syncCreate_check(PSP_SYNC_EVENT, "t", 1), PSP_SEM_NONE);
  // The term closes every object still made.
}

// That a thread's own tag is destroyed at its end is checked by MemoryConcurrency.
TEST(Threads, ExitCodeReachesJoin) {
  psp_test::Watchdog dog(10);
  Library lib;
  auto body = [](void *code) { return *static_cast<uint32_t *>(code); };
  for (uint32_t code : {7u, 0u, static_cast<uint32_t>(PSP_ERR_SYSTEM)}) {
    PSP_THREAD thread; // a tiny stack is clamped
    ASSERT_EQ(psp_threadBegin(body, code == 7 ? 1 : 0, &code, nullptr, &thread), PSP_OKAY);
    EXPECT_EQ(psp_threadJoin(&thread), static_cast<PSP_STATUS>(code));
    EXPECT_EQ(psp_threadJoin(&thread), PSP_ERR_SYSTEM); // already joined
  }
  EXPECT_NE(psp_threadId(), 0u);
}

TEST(Atomics, CompareAndSwapAndWrapAround) {
  volatile uint32_t counter = 5;
  EXPECT_EQ(psp_atomicSetUInt32(&counter, 5, 9), 1u);
  EXPECT_EQ(psp_atomicSetUInt32(&counter, 5, 7), 0u);
  EXPECT_EQ(counter, 9u);
  counter = 0xFFFFFFFFu;
  psp_atomicIncrUInt32(&counter);
  EXPECT_EQ(counter, 0u);
  psp_atomicDecrUInt32(&counter);
  EXPECT_EQ(counter, 0xFFFFFFFFu);
}

// An event starts signalled, is reset by a start and set by a resume, which
// releases every waiter. Many threads create and delete objects and take one
// mutex plainly, recursively and with timed waits, never two at once.
TEST(SyncConcurrency, EventsMutexesAndCreationAcrossThreads) {
  psp_test::Watchdog dog(30);
  Library lib;
  PSP_SEM mutex = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1),
          event = psp_syncCreate_check(PSP_SYNC_EVENT, "t", 1);
  EXPECT_EQ(psp_syncWait(event, 0), PSP_OKAY);
  psp_syncStart(event);
  EXPECT_EQ(psp_syncWait(event, 0), PSP_TIMEOUT);
  EXPECT_EQ(psp_syncWait(event, 30), PSP_TIMEOUT);
  uint64_t inside = 0, entries = 0;
  volatile uint32_t arrived = 0;
  std::atomic<uint32_t> released{0}, taken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3000; ++round) {
        PSP_SEM mine = psp_syncCreate_check(round % 2 ? PSP_SYNC_EVENT : PSP_SYNC_MUTEX, "t", 1);
        EXPECT_NE(mine, PSP_SEM_NONE);
        const bool timed = (round + t) % 3 == 0;
        if ((timed ? psp_syncWait(mutex, round % 2) : psp_syncEnterExcl(mutex)) == PSP_OKAY) {
          EXPECT_EQ(psp_syncEnterExcl(mutex), PSP_OKAY); // a second level
          EXPECT_EQ(inside++, 0u);
          ++entries;
          --inside;
          psp_syncExitExcl(mutex);
          psp_syncExitExcl(mutex);
          ++taken;
        } else {
          EXPECT_TRUE(timed);
        }
        psp_syncDelete(mine);
      }
      psp_atomicIncrUInt32(&arrived);
      EXPECT_EQ(psp_syncWait(event, 0xFFFFFFFFu), PSP_OKAY);
      ++released;
    });
  while (!psp_atomicSetUInt32(&arrived, 8, 8))
    std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let them block
  EXPECT_EQ(released.load(), 0u);
  psp_syncResume(event);
  for (std::thread &t : threads)
    t.join();
  EXPECT_EQ(entries, taken.load());
  EXPECT_EQ(released.load(), 8u);
  EXPECT_EQ(psp_syncWait(event, 0), PSP_OKAY); // a wait does not reset it
  psp_syncDelete(PSP_SEM_NONE);                // the term closes the others
}

// An owner that ends while others sleep on its mutex wakes one of them,
// which sees the abandonment once.
TEST(SyncConcurrency, AbandonedMutexWakesOneSleeper) {
  psp_test::Watchdog dog(30);
  Library lib;
  PSP_SEM m = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1);
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> step{0};
    std::thread owner([&] {
      psp_syncEnterExcl(m);
      psp_syncEnterExcl(m);
      step = 1;
      yieldUntil(step, 2);
      std::this_thread::sleep_for(std::chrono::milliseconds(2)); // let the others sleep
    });
    yieldUntil(step, 1);
    std::atomic<int> abandoned{0}, okay{0};
    std::vector<std::thread> sleepers;
    for (int s = 0; s < 3; ++s)
      sleepers.emplace_back([&] {
        PSP_STATUS st = psp_syncWait(m, 0xFFFFFFFFu);
        (st == PSP_TIMEOUT ? abandoned : okay)++;
        if (st == PSP_OKAY)
          psp_syncExitExcl(m);
      });
    step = 2;
    owner.join();
    for (std::thread &s : sleepers)
      s.join();
    EXPECT_EQ(abandoned.load(), 1);
    EXPECT_EQ(okay.load(), 2);
  }
  psp_syncDelete(m);
}

// A thread holds a caller's mutex across the last psp_term: its robust-mutex
// list links through it, so its next robust lock, new library mutexes and its
// own end must not meet freed memory.
TEST(SyncConcurrency, MutexHeldByAnotherThreadAcrossTheLastTerm) {
  psp_test::ChildResult result = psp_test::runInChild(60, [] {
    for (int round = 0; round < 20; ++round) {
      EXPECT_EQ(psp_init(), PSP_OKAY);
      PSP_SEM held = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1);
      std::atomic<int> step{0};
      std::thread holder([&] {
        psp_syncEnterExcl(held);
        step = 1;
        yieldUntil(step, 2);
#ifndef _WIN32 // a robust list exists only on POSIX
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_t own;
        pthread_mutex_init(&own, &attr);
        pthread_mutex_lock(&own);
        pthread_mutex_unlock(&own);
        pthread_mutex_destroy(&own);
        pthread_mutexattr_destroy(&attr);
#endif
        EXPECT_EQ(psp_init(), PSP_OKAY);
        PSP_SEM fresh = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 2);
        EXPECT_EQ(psp_syncEnterExcl(fresh), PSP_OKAY);
        psp_syncExitExcl(fresh);
        psp_syncDelete(fresh);
        psp_term();
      });
      yieldUntil(step, 1);
      psp_term();
      step = 2;
      holder.join();
    }
    return true;
  });
  EXPECT_TRUE(result.ok()) << psp_test::describe(result);
}

} // namespace
