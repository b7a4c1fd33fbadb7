// Init counting, unmatched terms, version, the critical section and a racing
// first psp_init.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "psp.h"
#include "../watchdog.h"

namespace {

bool running() {
  void *p = psp_getMem(8, PSP_TAG_DEFAULT, PSP_MEM_NORMAL, nullptr, "t", 1);
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

TEST(LifecycleConcurrency, FirstInitRacesAndCriticalSectionExcludes) {
  psp_test::Watchdog dog(20);
  for (int round = 0; round < 10; ++round) {
    constexpr int kThreads = 6;
    std::atomic<int> go{0}, failures{0}, inside{0}, worst{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        while (go.load() == 0) {
        }
        if (psp_init() != PSP_OKAY)
          ++failures;
        for (int i = 0; i < 300; ++i) {
          psp_enterCritSec();
          int now = ++inside;
          if (now > worst)
            worst = now;
          --inside;
          psp_exitCritSec();
        }
      });
    go = 1;
    for (auto &t : threads)
      t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(worst.load(), 1);
    for (int t = 0; t < kThreads; ++t)
      psp_term();
    EXPECT_FALSE(running());
  }
}

} // namespace
