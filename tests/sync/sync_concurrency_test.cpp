// Concurrency stress for sync objects and threads; CI runs these under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <vector>

#include "psp.h"

namespace {

struct Shared {
  PSP_SEM mutex;
  uint64_t counter;
};

uint32_t churn(void *arg) {
  Shared *shared = static_cast<Shared *>(arg);
  for (int round = 0; round < 200; ++round) {
    PSP_SEM mine[8];
    for (PSP_SEM &s : mine) {
      s = psp_syncCreate_check(round % 2 ? PSP_SYNC_EVENT : PSP_SYNC_MUTEX, "t", 1);
      if (s == PSP_SEM_NONE)
        return 1;
    }
    psp_syncEnterExcl(shared->mutex);
    ++shared->counter;
    psp_syncExitExcl(shared->mutex);
    for (PSP_SEM s : mine)
      psp_syncDelete(s);
  }
  return 0;
}

TEST(SyncConcurrency, CreateDeleteAndLockFromManyThreads) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  Shared shared{psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1), 0};
  std::vector<PSP_THREAD> threads(6);
  for (PSP_THREAD &t : threads)
    ASSERT_EQ(psp_threadBeginEx(churn, 0, &shared, &t), PSP_OKAY);
  for (PSP_THREAD &t : threads)
    EXPECT_EQ(psp_threadJoin(&t), 0);
  EXPECT_EQ(shared.counter, 6u * 200u);
  psp_syncDelete(shared.mutex);
  psp_term();
}

struct Gate {
  PSP_SEM event;
  volatile uint32_t arrived;
};

uint32_t waitAtGate(void *arg) {
  Gate *gate = static_cast<Gate *>(arg);
  psp_atomicIncrUInt32(&gate->arrived);
  return psp_syncWait(gate->event, 0xFFFFFFFFu) == PSP_OKAY ? 0 : 1;
}

TEST(SyncConcurrency, EventReleasesAllWaitersAndAtomicsCount) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  Gate gate{psp_syncCreate_check(PSP_SYNC_EVENT, "t", 1), 0};
  psp_syncStart(gate.event);
  std::vector<PSP_THREAD> threads(8);
  for (PSP_THREAD &t : threads)
    ASSERT_EQ(psp_threadBeginEx(waitAtGate, 0, &gate, &t), PSP_OKAY);
  while (!psp_atomicSetUInt32(&gate.arrived, 8, 8)) {
  }
  psp_syncResume(gate.event);
  for (PSP_THREAD &t : threads)
    EXPECT_EQ(psp_threadJoin(&t), 0);
  psp_syncDelete(gate.event);
  psp_term();
}

} // namespace
