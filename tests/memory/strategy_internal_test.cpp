// White-box checks of the size classes and their refills (the region heap's
// placements are checked against a model in placement_internal_test.cpp), and
// fault-injection walks over every allocation site of start-up, tag creation,
// the sync table and thread tags, with and without a jump buffer armed. After every injected
// failure the library must still work and give back every byte; ASan checks for leaks at exit.
#include <gtest/gtest.h>

#include <csetjmp>
#include <vector>

#include "internal.h"
#include "memory/strategy.h"
#include "testing.h"
#include "../fault_walk.h"

namespace {

using namespace psp::testing; // FaultSwitch, g_failAllocation, g_failRegion, globalUsage

char *get(uint64_t size, PSP_MEMTAG tag = PSP_TAG_DEFAULT) {
  return static_cast<char *>(psp_getMem(size, tag, 1, nullptr, "t", 1));
}

TEST(StrategyInternal, SizeClassBoundariesAndRefills) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
  auto blockSize = [&](uint64_t request) {
    uint64_t size = 0;
    tag->methods.blockSize(&size, get(request, tag));
    return size;
  };
  // Each power of two 16 ... 8192 is a block size, for requests above the one below.
  for (uint64_t block = 16; block <= 8192; block *= 2) {
    EXPECT_EQ(blockSize(block / 2 + 1), block) << block / 2 + 1;
    EXPECT_EQ(blockSize(block), block);
  }
  EXPECT_EQ(blockSize(8193), 8224u);
  EXPECT_EQ(blockSize(40000), 40000u);
  psp_freeTagMem(tag, 0, "t", 1);
  // Refills of the 16-byte class carve 2, 4, 8, ... 128, then 128 again.
  // After each batch is used up exactly, no byte is spare (counter 2).
  PSP_MEMINFO info;
  for (uint64_t batch : {2, 4, 8, 16, 32, 64, 128, 128, 1}) {
    for (uint64_t i = 0; i < batch; ++i)
      get(8, tag);
    psp_getTagMemInfo(tag, &info);
    EXPECT_EQ(info.counters[2], batch == 1 ? 127u * 16 : 0u) << "batch " << batch;
  }
  EXPECT_EQ(info.counters[0], (2u + 4 + 8 + 16 + 32 + 64 + 128 + 128 + 1) * 8);
  psp_freeTagMem(tag, 1, "t", 1);
  psp_term();
}

void libraryWorks() {
  char *p = get(100);
  PSP_SEM m = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1);
  EXPECT_TRUE(p != nullptr && m != PSP_SEM_NONE);
  psp_freeMem(p, PSP_TAG_DEFAULT, "t", 1);
  psp_syncDelete(m);
}

TEST(FaultInternal, StartupUndoesEveryPartialState) {
  for (FaultSwitch *sw : {&g_failAllocation, &g_failRegion})
    walk(
        *sw,
        [] {
          PSP_STATUS rc = psp_init();
          EXPECT_TRUE(rc == PSP_OKAY || rc == PSP_ERR_NOMEMORY || rc == PSP_ERR_SYSTEM) << rc;
          if (rc == PSP_OKAY)
            psp_term();
          EXPECT_EQ(psp::g_flags.initCount.load(), 0u);
        },
        [] {
          EXPECT_EQ(globalUsage(), 0u);
          ASSERT_EQ(psp_init(), PSP_OKAY);
          libraryWorks();
          psp_term();
        });
}

// Tags of every kind (4 is refused), with and without a mutex and a jump
// buffer: each failure refuses or, with the buffer, jumps; either way the tag
// still works and gives back every byte.
TEST(FaultInternal, TagsOfEveryKindWithAndWithoutMutexAndJump) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  libraryWorks(); // the default tag keeps the chunk this makes
  const uint64_t base = globalUsage();
  jmp_buf jump;
  PSP_MEMTAG tag;
  for (FaultSwitch *sw : {&g_failAllocation, &g_failRegion})
    for (uint32_t kind = 0; kind <= 4; ++kind)
      for (uint16_t mode = 0; mode < 4; ++mode) // bit 0: a mutex, bit 1: a jump buffer
        walk(
            *sw,
            [&] {
              tag = nullptr;
              PSP_STATUS rc = psp_createTagEx_rc(mode & 2 ? &jump : nullptr, mode & 1, kind,
                                                 nullptr, nullptr, &tag);
              EXPECT_TRUE(rc == PSP_OKAY ? tag != nullptr
                                         : tag == nullptr && (kind == 4 || sw->reached()));
              if (rc != PSP_OKAY)
                return;
              const bool failedBefore = sw->reached();
              bool jumped = leavesByJump(jump, [&] {
                EXPECT_TRUE(get(300, tag) != nullptr || sw->reached());
                char *big = get(5000, tag);
                EXPECT_TRUE(big != nullptr || sw->reached());
                if (big != nullptr && kind != PSP_TAGKIND_ARENA)
                  psp_extendMem(big, 20000, tag, 1, 0, nullptr, "t", 1);
              });
              // With the buffer, a failure in these calls jumps; without, none does.
              EXPECT_EQ(jumped, (mode & 2) && !failedBefore && sw->reached());
            },
            [&] {
              if (tag != nullptr) {
                psp_resetTag(nullptr, tag);
                EXPECT_NE(get(64, tag), nullptr);
                psp_freeTagMem(tag, 1, "t", 1);
              }
              EXPECT_EQ(globalUsage(), base);
              libraryWorks();
            });
  psp_term();
}

TEST(FaultInternal, SyncTableBlockAllocationJumpsOrReports) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  // With every allocation failing, objects come from block 0 until it is
  // full; the next one needs block 1, whose allocation fails: without a jump
  // buffer that is the message and PSP_SEM_NONE.
  std::vector<PSP_SEM> made;
  g_failAllocation.arm(1, true);
  testing::internal::CaptureStdout();
  for (PSP_SEM s; (s = psp_syncCreate_check(PSP_SYNC_EVENT, "here", 7)) != PSP_SEM_NONE;)
    made.push_back(s);
  g_failAllocation.disarm();
  // Windows: the log's stdout sink writes to the standard handle it took at
  // psp_init, which redirecting descriptor 1 afterwards does not move.
#ifdef _WIN32
  const char *logged = "";
#else
  const char *logged = "Insufficient number of semaphores, called from here:7\n";
#endif
  EXPECT_EQ(testing::internal::GetCapturedStdout(), logged);
  EXPECT_GT(made.size(), 1000u);
  // Another thread deletes and remakes an object of block 0, under the table lock.
  const auto tableLockFree = [&] {
    onOtherThread("the sync-table lock", [&] {
      psp_syncDelete(made.back());
      made.back() = psp_syncCreate_check(PSP_SYNC_EVENT, "t", 1);
      EXPECT_NE(made.back(), PSP_SEM_NONE);
    });
  };
  tableLockFree();
  // With PSP_TAG_DEFAULT's jump armed: a jump, from a plain create and from a
  // thread-safe tag creation, leaving nothing behind.
  const uint64_t base = globalUsage();
  jmp_buf jump;
  psp_resetTag(&jump, PSP_TAG_DEFAULT);
  g_failAllocation.arm(1);
  EXPECT_TRUE(leavesByJump(jump, [] { psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1); }));
  g_failAllocation.arm(1);
  EXPECT_TRUE(leavesByJump(jump, [] { psp_createTagEx(nullptr, 1, 1, nullptr, nullptr); }));
  g_failAllocation.disarm();
  psp_resetTag(nullptr, PSP_TAG_DEFAULT);
  tableLockFree();
  EXPECT_EQ(globalUsage(), base);
  libraryWorks();
  psp_term(); // closes the objects still made
}

// A thread's first use creates its tag; the body then arms the tag's jump and
// fails a region request, leaving by the jump; the thread's end frees it all.
uint32_t threadTagBody(void *) {
  if (get(200, PSP_TAG_THREAD) == nullptr && !g_failAllocation.reached())
    return 1;
  jmp_buf jump;
  psp_resetTag(&jump, PSP_TAG_THREAD);
  g_failRegion.arm(1, true);
  bool jumped = leavesByJump(jump, [] { get(0x500000, PSP_TAG_THREAD); }); // a region of its own
  g_failRegion.disarm();
  return jumped ? 0 : 2;
}

TEST(FaultInternal, ThreadTagsUnderEveryFailure) {
  psp_test::Watchdog dog(10);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  libraryWorks();
  const uint64_t base = globalUsage();
  walk(
      g_failAllocation,
      [] {
        PSP_THREAD thread;
        ASSERT_EQ(psp_threadBeginEx(threadTagBody, 0, nullptr, &thread), PSP_OKAY);
        EXPECT_EQ(psp_threadJoin(&thread), 0);
      },
      [&] {
        EXPECT_EQ(globalUsage(), base);
        libraryWorks();
      });
  psp_term();
}

} // namespace
