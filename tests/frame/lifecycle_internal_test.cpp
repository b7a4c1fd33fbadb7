// White-box lifecycle checks: the process flags and the rollback of a failed
// start-up at every step.
#include <gtest/gtest.h>

#include "../watchdog.h"
#include "internal.h"
#include "testing.h"

namespace {

// After the last psp_term only the locks stay made, for the next start-up.
void expectDown(int step = 0) {
  const auto &f = psp::g_flags;
  EXPECT_EQ(f.initCount + f.running + f.syncDisabled + f.terminating, 0u) << "step " << step;
}

TEST(LifecycleInternal, FlagsSurviveTermAndNoStateStays) {
  psp_rdonly();
  ASSERT_EQ(psp_init(), PSP_OKAY);
  EXPECT_EQ(psp::g_flags.initCount.load() + psp::g_flags.running.load(), 2u);
  psp_nodisk();
  psp_term();
  expectDown();
  EXPECT_EQ(psp::g_flags.lockReady.load(), 1u);
  EXPECT_EQ(psp::g_flags.readOnly.load() + psp::g_flags.noDisk.load(), 2u);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  EXPECT_EQ(psp::g_flags.readOnly.load(), 1u);
  psp_term();
}

TEST(LifecycleInternal, FailedStartupStepRollsBack) {
  for (int step = 2; step <= 6; ++step) {
    psp::testing::g_failStartupStep = step;
    EXPECT_EQ(psp_init(), -4242) << "step " << step;
    psp::testing::g_failStartupStep = 0;
    expectDown(step);
    EXPECT_EQ(psp::g_stdoutSink.top, nullptr);
    ASSERT_EQ(psp_init(), PSP_OKAY) << "step " << step;
    psp_term();
  }
  psp_test::Watchdog dog(10); // a lock that is not recursive hangs here
  ASSERT_EQ(psp_enterCritSec(), PSP_OKAY);
  psp::testing::g_failStartupStep = 4;
  EXPECT_EQ(psp_init(), -4242);
  psp::testing::g_failStartupStep = 0;
  psp_exitCritSec(); // the lock is gone; this must be a no-op
  ASSERT_EQ(psp_init(), PSP_OKAY);
  psp_term();
}

} // namespace
