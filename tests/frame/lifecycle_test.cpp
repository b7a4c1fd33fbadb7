// Init counting, unmatched terms, version and the recursive critical section;
// calls overlapping psp_init and psp_term, late calls after the last psp_term,
// and tags of threads the library did not start, each in a forked child.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "../watchdog.h"
#include "psp.h"

namespace {

template <typename Body> void expectCleanChild(unsigned seconds, Body body) {
  psp_test::ChildResult result = psp_test::runInChild(seconds, body);
  EXPECT_TRUE(result.ok()) << psp_test::describe(result);
}

void *defaultBlock(uint64_t size) {
  return psp_getMem(size, PSP_TAG_DEFAULT, PSP_MEM_NORMAL, nullptr, "t", 1);
}

void yieldUntil(const std::atomic<int> &flag, int value) {
  while (flag.load() != value)
    std::this_thread::yield();
}

bool running() {
  void *p = defaultBlock(8);
  psp_freeMem(p, PSP_TAG_DEFAULT, "t", 1);
  return p != nullptr;
}

TEST(Lifecycle, CountingCyclesAndUnmatchedTerms) {
  psp_term(); // unmatched: ignored, the count does not wrap
  EXPECT_FALSE(running());
  for (int cycle = 0; cycle < 20; ++cycle) {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    ASSERT_EQ(psp_init(), PSP_OKAY);
    psp_term();
    EXPECT_TRUE(running()) << "only the last term shuts down";
    psp_term();
    EXPECT_FALSE(running());
    psp_term();
  }
}

TEST(Lifecycle, VersionAndCriticalSectionBeforeInit) {
  uint16_t major = 0, minor = 77, build = 0;
  psp_version(nullptr, &minor, nullptr); // only non-NULL pointers are written
  psp_version(&major, nullptr, &build);
  EXPECT_EQ(std::vector<uint16_t>({major, minor, build}), std::vector<uint16_t>({14, 1, 3194}));
  psp_test::Watchdog dog(10); // a lock that is not recursive hangs here
  EXPECT_EQ(psp_enterCritSec(), PSP_OKAY);
  EXPECT_EQ(psp_enterCritSec(), PSP_OKAY);
  ASSERT_EQ(psp_init(), PSP_OKAY); // init and term may run inside the section
  psp_term();
  psp_exitCritSec();
  psp_exitCritSec();
  psp_exitCritSec(); // leaving more often than entering is ignored
}

// Threads race the first psp_init; one runs the last psp_term while others
// wait in psp_init or the critical section, which admits one thread at a
// time. Inside its own bracket each finds a whole library.
TEST(LifecycleConcurrency, InitUseTermCyclesFromManyThreads) {
  expectCleanChild(120, [] {
    std::atomic<int> broken{0}, go{0}, inside{0}, crowded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
      threads.emplace_back([&] {
        yieldUntil(go, 1);
        for (int round = 0; round < 400; ++round) {
          if (psp_init() != PSP_OKAY) {
            ++broken;
            continue;
          }
          void *block = defaultBlock(64);
          PSP_SEM mutex = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 2);
          if (block == nullptr || mutex == PSP_SEM_NONE)
            ++broken;
          else if (psp_syncEnterExcl(mutex) == PSP_OKAY)
            psp_syncExitExcl(mutex);
          psp_syncDelete(mutex);
          psp_freeMem(block, PSP_TAG_DEFAULT, "t", 3);
          psp_term();
          psp_enterCritSec(); // waits while another thread's psp_term runs
          crowded += ++inside != 1;
          --inside;
          psp_exitCritSec();
        }
      });
    go = 1;
    for (auto &t : threads)
      t.join();
    EXPECT_EQ(broken.load(), 0);
    EXPECT_EQ(crowded.load(), 0) << "two threads in the critical section at once";
    return true;
  });
}

// A finaliser holds the last psp_term open while others wait for the library
// lock; they get in only once it is down, and the section excludes psp_init.
std::atomic<int> g_termRunning;
void holdTermOpen(void *) {
  g_termRunning = 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the others block meanwhile
}

TEST(LifecycleConcurrency, LastTermKeepsWaitersOutUntilItHasEnded) {
  expectCleanChild(30, [] {
    for (int round = 0; round < 10; ++round) {
      g_termRunning = 0;
      EXPECT_EQ(psp_init(), PSP_OKAY);
      void *gate = nullptr;
      EXPECT_EQ(psp_globalGet("gate", 1, nullptr, holdTermOpen, &gate), PSP_OKAY);
      std::atomic<int> initDone{0}, overlapped{0}, started{0};
      std::thread section([&] {
        yieldUntil(g_termRunning, 1);
        psp_enterCritSec();
        const int before = initDone.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (before == 0 && initDone.load() != 0)
          overlapped = 1;
        psp_exitCritSec();
      });
      std::thread starter([&] {
        yieldUntil(g_termRunning, 1);
        EXPECT_EQ(psp_init(), PSP_OKAY);
        started = running();
        psp_term();
      });
      psp_term();
      std::this_thread::sleep_for(std::chrono::milliseconds(2)); // let a waiter take the lock
      psp_enterCritSec(); // so initDone changes only while this thread holds the lock
      EXPECT_EQ(psp_init(), PSP_OKAY);
      initDone = 1;
      psp_exitCritSec();
      psp_term();
      section.join();
      starter.join();
      EXPECT_EQ(overlapped.load(), 0) << "psp_init ran inside another thread's critical section";
      EXPECT_EQ(started.load(), 1)
          << "a psp_init that waited out the last psp_term found no library";
    }
    return true;
  });
}

// Calls during the first psp_init see no library or a whole one, never part.
TEST(LifecycleConcurrency, CallsDuringFirstInitSeeNoneOrAWholeLibrary) {
  expectCleanChild(120, [] {
    std::atomic<int> partial{0};
    for (int round = 0; round < 300; ++round) {
      std::atomic<int> phase{0};
      std::thread user([&] {
        bool seen = false;
        phase = 1;
        while (phase.load() == 1) {
          void *shared = defaultBlock(48);
          void *own = psp_getMem(48, PSP_TAG_THREAD, PSP_MEM_NORMAL, nullptr, "t", 4);
          PSP_SEM sem = psp_syncCreate_check(PSP_SYNC_EVENT, "t", 5);
          for (bool worked : {shared != nullptr, own != nullptr, sem != PSP_SEM_NONE}) {
            if (seen && !worked)
              ++partial;
            seen = seen || worked;
          }
          if (shared != nullptr)
            std::memset(shared, 0xAB, 48);
          psp_freeMem(shared, PSP_TAG_DEFAULT, "t", 4);
          psp_freeMem(own, PSP_TAG_THREAD, "t", 4);
          psp_syncDelete(sem);
        }
      });
      yieldUntil(phase, 1);
      EXPECT_EQ(psp_init(), PSP_OKAY);
      phase = 2;
      user.join();
      psp_term();
    }
    EXPECT_EQ(partial.load(), 0) << "calls saw a library half started";
    return true;
  });
}

// Handles given back after the last psp_term (late C++ destructors) do nothing.
TEST(LateCalls, GivingBackOldHandlesAfterTheLastTermDoesNothing) {
  expectCleanChild(60, [] {
    for (int round = 0; round < 3; ++round) {
      EXPECT_EQ(psp_init(), PSP_OKAY);
      PSP_SEM mutex = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 6),
              event = psp_syncCreate_check(PSP_SYNC_EVENT, "t", 7);
      PSP_RAND rand = psp_randCreate(7), plain = psp_randCreateNoSem(7);
      PSP_POOL owning = nullptr, shared = nullptr;
      psp_poolCreateEx(nullptr, 0, 1, nullptr, nullptr, nullptr, &owning);
      psp_poolCreateEx(PSP_TAG_DEFAULT, 0, 1, nullptr, nullptr, nullptr, &shared);
      void *item = psp_poolGetMem(shared, 32, 0, nullptr);
      PSP_INPUT_BUFF input = nullptr;
      psp_inputBuffCreate([](void *, uint8_t *, uint32_t, uint32_t *, uint32_t) { return 0; },
                          nullptr, 0, &input);
      PSP_MEMTAG tag = psp_createTagEx(nullptr, 1, PSP_TAGKIND_HEAP, nullptr, nullptr);
      void *block = psp_getMem(16, tag, PSP_MEM_NORMAL, nullptr, "t", 8);
      EXPECT_TRUE(owning && shared && item && input && tag && block);
      psp_syncEnterExcl(mutex);
      psp_term();
      psp_syncExitExcl(mutex);
      psp_syncDelete(mutex);
      psp_syncDelete(event);
      psp_randDestroy(rand);
      psp_randDestroy(plain);
      psp_poolPut(shared, item);
      psp_poolDestroy(shared);
      psp_poolDestroy(owning);
      psp_inputBuffDestroy(input);
      psp_freeMem(block, tag, "t", 9);
      psp_freeTagMem(tag, 1, "t", 10);
    }
    return true;
  });
}

// Plain threads allocate from their own tag and end without the trampoline,
// giving the tag back: while the library runs, and while psp_term and
// psp_init run.
std::vector<std::thread> plainThreads(int count, std::atomic<int> &allocated) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t)
    threads.emplace_back([&allocated] {
      EXPECT_NE(psp_getMem(200, PSP_TAG_THREAD, PSP_MEM_NORMAL, nullptr, "t", 11), nullptr);
      EXPECT_NE(psp_makeWStrVA("t", 12, PSP_TAG_THREAD, u"%d", 42), nullptr);
      ++allocated;
    });
  return threads;
}

TEST(ThreadTagConcurrency, PlainThreadsGiveTheirTagBackWhenTheyEnd) {
  expectCleanChild(120, [] {
    std::atomic<int> allocated{0};
    EXPECT_EQ(psp_init(), PSP_OKAY);
    uint64_t settled = 0, later = 0;
    for (int wave = 0; wave < 31; ++wave) {
      for (auto &t : plainThreads(16, allocated))
        t.join();
      psp_getMemUsage(wave == 0 ? &settled : &later, nullptr);
    }
    // 480 kept tags would hold far more than this.
    EXPECT_LE(later, settled + 64 * 1024) << "thread tags outlive their threads";
    psp_term();
    for (int round = 0; round < 100; ++round) {
      EXPECT_EQ(psp_init(), PSP_OKAY);
      allocated = 0;
      std::vector<std::thread> threads = plainThreads(4, allocated);
      yieldUntil(allocated, 4);
      psp_term();
      if (round % 2 == 0) {
        EXPECT_EQ(psp_init(), PSP_OKAY);
      }
      for (auto &t : threads)
        t.join();
      if (round % 2 == 0)
        psp_term();
    }
    return true;
  });
}

} // namespace
