// Every allocation site of pools and named globals failing, with and without
// a jump on their tag: nothing leaks, no lock stays held, all keeps working.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>

#include "internal.h"
#include "testing.h"
#include "../fault_walk.h"

namespace {

using namespace psp::testing; // FaultSwitch, the switches, walk, leavesByJump, onOtherThread

// Demands the global named g<i>: refused (status returned) or made.
PSP_STATUS demand(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "g%02d", i);
  void *v = nullptr;
  return psp_globalGet(name, 40, nullptr, nullptr, &v);
}

// Pools on the jump tag and on their own, then enough new global names to
// grow the array twice, under every failure of each kind of site.
TEST(CoreFaultInternal, PoolsAndNamedGlobalsEverySiteWithAndWithoutJump) {
  for (int armed = 0; armed <= 1; ++armed)
    for (FaultSwitch *sw : {&g_failAllocation, &g_failRegion}) {
      ASSERT_EQ(psp_init(), PSP_OKAY);
      jmp_buf jump;
      PSP_MEMTAG tag =
          psp_createTagEx(armed ? &jump : nullptr, 1, PSP_TAGKIND_BUCKET, nullptr, nullptr);
      const uint64_t base = globalUsage();
      for (PSP_MEMTAG poolTag : {tag, static_cast<PSP_MEMTAG>(nullptr)}) {
        PSP_POOL pool = nullptr;
        walk(
            *sw,
            [&] {
              leavesByJump(jump, [&] {
                pool = nullptr;
                if (psp_poolCreateEx(poolTag, 0, 1, nullptr, nullptr, nullptr, &pool) != PSP_OKAY)
                  return;
                void *a = psp_poolGetMem(pool, 64, 3, nullptr);
                void *b = psp_poolGetMem(pool, 9000, 1, nullptr);
                psp_poolPut(pool, a); // NULL: ignored
                psp_poolPut(pool, b);
              });
              if (pool != nullptr) {
                onOtherThread("the pool's mutex",
                              [&] { psp_poolPut(pool, psp_poolGetMem(pool, 16, 1, nullptr)); });
                psp_poolDestroy(pool);
              }
            },
            [&] {
              // A size-class tag keeps its chunks until reset.
              psp_freeTagMem(tag, 0, "t", 1);
              EXPECT_EQ(globalUsage(), base);
            });
      }
      psp_freeTagMem(tag, 1, "t", 1);
      if (armed)
        psp_resetTag(&jump, PSP_TAG_DEFAULT);
      int made = 0;
      walk(
          *sw,
          [&] {
            leavesByJump(jump, [&] {
              while (made < 12 && demand(made) == PSP_OKAY)
                ++made;
            });
          },
          [&] {
            // Every name made so far is still there.
            onOtherThread("the named-globals lock", [&] {
              for (int i = 0; i < made; ++i)
                EXPECT_EQ(demand(i), PSP_OKAY) << i;
            });
          });
      EXPECT_EQ(made, 12);
      psp_resetTag(nullptr, PSP_TAG_DEFAULT);
      psp_term();
      EXPECT_EQ(globalUsage(), 0u);
    }
}

} // namespace
