// Library lifecycle: init counting, repeated cycles, process flags, version,
// the critical section and a racing first psp_init.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "psp.h"

namespace {

TEST(Lifecycle, InitCountsAndOnlyLastTermShutsDown) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  psp_term();
  // Still initialised: the critical section is usable and a third init only counts.
  EXPECT_EQ(psp_enterCritSec(), PSP_OKAY);
  psp_exitCritSec();
  psp_term();
}

TEST(Lifecycle, RepeatedCyclesInOneProcess) {
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(psp_init(), PSP_OKAY) << "cycle " << i;
    psp_term();
  }
}

TEST(Lifecycle, UnmatchedTermIsHarmless) {
  psp_term();
  psp_term();
  ASSERT_EQ(psp_init(), PSP_OKAY);
  psp_term();
  // A stray term after a full shut-down must not leave the count wrapped:
  // the next init is again the first one.
  psp_term();
  ASSERT_EQ(psp_init(), PSP_OKAY);
  psp_term();
}

TEST(Lifecycle, VersionWritesOnlyNonNullPointers) {
  uint16_t major = 0, minor = 0, build = 0;
  psp_version(&major, &minor, &build);
  EXPECT_EQ(major, 14);
  EXPECT_EQ(minor, 1);
  EXPECT_EQ(build, 3194);

  uint16_t onlyMinor = 77;
  psp_version(nullptr, &onlyMinor, nullptr);
  EXPECT_EQ(onlyMinor, 1);
  psp_version(nullptr, nullptr, nullptr);
}

TEST(Lifecycle, CriticalSectionWorksBeforeInitAndIsRecursive) {
  EXPECT_EQ(psp_enterCritSec(), PSP_OKAY);
  EXPECT_EQ(psp_enterCritSec(), PSP_OKAY);
  // Init and term may be called from inside the section.
  ASSERT_EQ(psp_init(), PSP_OKAY);
  psp_term();
  psp_exitCritSec();
  psp_exitCritSec();
  // Leaving more often than entering is ignored.
  psp_exitCritSec();
}

TEST(Lifecycle, CriticalSectionExcludesOtherThreads) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  std::atomic<int> inside{0};
  std::atomic<int> worst{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        psp_enterCritSec();
        int now = ++inside;
        if (now > worst)
          worst = now;
        --inside;
        psp_exitCritSec();
      }
    });
  }
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(worst.load(), 1);
  psp_term();
}

TEST(LifecycleConcurrency, FirstInitRacesFromManyThreads) {
  for (int round = 0; round < 20; ++round) {
    constexpr int kThreads = 8;
    std::atomic<int> go{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        while (go.load() == 0) {
        }
        if (psp_init() != PSP_OKAY)
          ++failures;
      });
    }
    go = 1;
    for (auto &t : threads)
      t.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kThreads; ++t)
      psp_term();
  }
}

} // namespace
