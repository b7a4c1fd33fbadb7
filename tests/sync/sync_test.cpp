// Sync objects, threads and atomics through the public interface: event and
// mutex semantics across threads, the abandoned mutex, slot reuse and
// exhaustion, exit codes and thread-tag cleanup, and atomic wrap-around.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "psp.h"

namespace {

struct Library {
  Library() { EXPECT_EQ(psp_init(), PSP_OKAY); }
  ~Library() { psp_term(); }
};

TEST(Sync, EventStartsSignalledAndFollowsStartAndResume) {
  Library lib;
  PSP_SEM ev = psp_syncCreate_check(PSP_SYNC_EVENT, "t", 1);
  ASSERT_NE(ev, PSP_SEM_NONE);
  EXPECT_EQ(psp_syncWait(ev, 0), PSP_OKAY);
  psp_syncStart(ev);
  EXPECT_EQ(psp_syncWait(ev, 0), PSP_TIMEOUT);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(psp_syncWait(ev, 30), PSP_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
  // Every blocked waiter is released by one resume, and the event stays set.
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (psp_syncWait(ev, 0xFFFFFFFFu) == PSP_OKAY)
        ++released;
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(released.load(), 0);
  psp_syncResume(ev);
  for (auto &t : waiters)
    t.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(psp_syncWait(ev, 0), PSP_OKAY);
  psp_syncDelete(ev);
  psp_syncDelete(PSP_SEM_NONE);
}

TEST(Sync, MutexIsRecursiveAndOwned) {
  Library lib;
  PSP_SEM m = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1);
  EXPECT_EQ(psp_syncEnterExcl(m), PSP_OKAY);
  EXPECT_EQ(psp_syncWait(m, 0), PSP_OKAY); // recursion
  std::thread other([&] {
    EXPECT_EQ(psp_syncWait(m, 0), PSP_TIMEOUT);
    EXPECT_EQ(psp_syncWait(m, 20), PSP_TIMEOUT);
    psp_syncExitExcl(m); // not the owner: no effect
  });
  other.join();
  psp_syncExitExcl(m);
  std::thread still([&] { EXPECT_EQ(psp_syncWait(m, 0), PSP_TIMEOUT); });
  still.join();
  psp_syncExitExcl(m);
  std::thread now([&] {
    EXPECT_EQ(psp_syncWait(m, 0), PSP_OKAY);
    psp_syncExitExcl(m);
  });
  now.join();
  psp_syncDelete(m);
}

TEST(Sync, AbandonedMutexReportsTimeoutOnceAndRecovers) {
  Library lib;
  PSP_SEM m = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1);
  std::thread owner([&] { psp_syncEnterExcl(m); }); // dies holding it
  owner.join();
  EXPECT_EQ(psp_syncWait(m, 1000), PSP_TIMEOUT);
  EXPECT_EQ(psp_syncWait(m, 0), PSP_OKAY);
  psp_syncExitExcl(m);
  std::thread again([&] { psp_syncEnterExcl(m); });
  again.join();
  EXPECT_EQ(psp_syncEnterExcl(m), PSP_OKAY); // taken over, and owned
  std::thread probe([&] { EXPECT_EQ(psp_syncWait(m, 0), PSP_TIMEOUT); });
  probe.join();
  psp_syncExitExcl(m);
  psp_syncDelete(m);
}

TEST(Sync, SlotsAreReusedAndExhaustionIsReported) {
  Library lib;
  std::vector<PSP_SEM> made;
  PSP_SEM last;
  while ((last = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1)) != PSP_SEM_NONE)
    made.push_back(last);
  // The library holds a few objects of its own.
  EXPECT_LE(made.size(), 131072u);
  EXPECT_GE(made.size(), 131072u - 16);
  testing::internal::CaptureStdout();
  EXPECT_EQ(psp_syncCreate_check(PSP_SYNC_EVENT, "caller", 42), PSP_SEM_NONE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Insufficient number of semaphores, called from caller:42\n");
  // A freed slot is the very next one handed out; a double delete is ignored.
  PSP_SEM freed = made[5000];
  psp_syncDelete(freed);
  psp_syncDelete(freed);
  EXPECT_EQ(psp_syncCreate_check(PSP_SYNC_EVENT, "t", 1), freed);
  EXPECT_EQ(psp_syncCreate_check(PSP_SYNC_EVENT, "t", 1), PSP_SEM_NONE);
  EXPECT_EQ(psp_syncCreate_check(3, "t", 1), PSP_SEM_NONE);
  for (PSP_SEM s : made)
    psp_syncDelete(s);
}

uint32_t useThreadTag(void *arg) {
  for (int i = 0; i < 200; ++i)
    psp_getMem(64 + i, PSP_TAG_THREAD, 1, nullptr, "t", 1); // never freed by hand
  return *static_cast<uint32_t *>(arg);
}

TEST(Threads, ExitCodeReachesJoinAndThreadTagIsDestroyed) {
  Library lib;
  uint64_t before = 0, after = 0;
  psp_getMemUsage(&before, nullptr);
  for (uint32_t code : {7u, 0u, static_cast<uint32_t>(PSP_ERR_SYSTEM)}) {
    PSP_THREAD thread;
    ASSERT_EQ(psp_threadBegin(useThreadTag, 0, &code, nullptr, &thread), PSP_OKAY);
    EXPECT_NE(thread.handle, nullptr);
    EXPECT_EQ(psp_threadJoin(&thread), static_cast<PSP_STATUS>(code));
  }
  PSP_THREAD small;
  uint32_t code = 3;
  ASSERT_EQ(psp_threadBeginEx(useThreadTag, 1, &code, &small), PSP_OKAY); // tiny stack: clamped
  EXPECT_EQ(psp_threadJoin(&small), 3);
  psp_getMemUsage(&after, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_NE(psp_threadId(), 0u);
}

TEST(Atomics, CompareAndSwapAndWrapAround) {
  volatile uint32_t counter = 5;
  EXPECT_EQ(psp_atomicSetUInt32(&counter, 5, 9), 1u);
  EXPECT_EQ(counter, 9u);
  EXPECT_EQ(psp_atomicSetUInt32(&counter, 5, 9), 0u);
  EXPECT_EQ(counter, 9u);
  counter = 0xFFFFFFFFu;
  psp_atomicIncrUInt32(&counter);
  EXPECT_EQ(counter, 0u);
  psp_atomicDecrUInt32(&counter);
  EXPECT_EQ(counter, 0xFFFFFFFFu);
}

} // namespace
