// Init counting, unmatched terms, version and the recursive critical section;
// racing psp_init calls are in concurrency_test.cpp.
#include <gtest/gtest.h>

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

} // namespace
