// White-box checks of the strategies (size classes, refills, region
// coalescing and return) and fault-injection walks over every allocation
// site of start-up, tag creation, the sync table and thread tags, with and
// without a jump buffer armed. After every injected failure the library must
// still work and give back every byte; ASan checks for leaks at exit.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdlib>
#include <vector>

#include "internal.h"
#include "memory/strategy.h"
#include "testing.h"

namespace {

using psp::testing::FaultSwitch;
using psp::testing::g_failAllocation;
using psp::testing::g_failRegion;

uint64_t usage() {
  uint64_t u = 0;
  psp_getMemUsage(&u, nullptr);
  return u;
}

uint64_t blockSize(PSP_MEMTAG tag, void *block) {
  uint64_t size = 0;
  tag->methods.blockSize(&size, block);
  return size;
}

TEST(StrategyInternal, SizeClassBoundariesRefillsAndResize) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
  const std::pair<uint64_t, uint64_t> classes[] = {{1, 16},      {16, 16},     {17, 32},
                                                   {8192, 8192}, {8193, 8224}, {40000, 40000}};
  for (auto [request, block] : classes) {
    void *p = psp_getMem(request, tag, 1, nullptr, "t", 1);
    EXPECT_EQ(blockSize(tag, p), block) << request;
  }
  psp_freeTagMem(tag, 0, "t", 1);
  // Refills of the 16-byte class carve 2, 4, 8, ... 128, then 128 again.
  PSP_MEMINFO info;
  uint64_t carved = 0;
  for (uint64_t batch : {2, 4, 8, 16, 32, 64, 128, 128}) {
    for (uint64_t i = 0; i < batch; ++i)
      psp_getMem(8, tag, 1, nullptr, "t", 1);
    carved += batch;
    psp_getTagMemInfo(tag, &info);
    EXPECT_EQ(info.counters[2], 0u) << "batch " << batch; // the batch is used up exactly
  }
  psp_getMem(8, tag, 1, nullptr, "t", 1);
  psp_getTagMemInfo(tag, &info);
  EXPECT_EQ(info.counters[2], 127u * 16);
  EXPECT_EQ(info.counters[0], (carved + 1) * 8);
  // Same class keeps the address; another class moves and keeps the bytes.
  char *p = static_cast<char *>(psp_getMem(20, tag, 1, nullptr, "t", 1));
  p[19] = 'x';
  EXPECT_EQ(psp_extendMem(p, 30, tag, 1, 0, nullptr, "t", 1), p);
  char *q = static_cast<char *>(psp_extendMem(p, 40, tag, 1, 0, nullptr, "t", 1));
  EXPECT_NE(q, p);
  EXPECT_EQ(q[19], 'x');
  EXPECT_EQ(blockSize(tag, q), 64u);
  // Large to large resizes the chunk.
  char *big = static_cast<char *>(psp_getMem(9000, tag, 1, nullptr, "t", 1));
  big[8999] = 'y';
  big = static_cast<char *>(psp_extendMem(big, 100000, tag, 1, 0, nullptr, "t", 1));
  EXPECT_EQ(big[8999], 'y');
  psp_freeMem(big, tag, "t", 1);
  psp_freeTagMem(tag, 1, "t", 1);
  psp_term();
}

// A region heap over a counting malloc source.
int g_regionsOut;
void *countingSource(uint64_t *size, psp::mem::CounterPair *) {
  ++g_regionsOut;
  return std::aligned_alloc(16, (*size + 15) & ~uint64_t{15});
}
void countingSink(void *region, psp::mem::CounterPair *) {
  --g_regionsOut;
  std::free(region);
}

TEST(StrategyInternal, RegionHeapCarvesHighCoalescesAndReturnsRegions) {
  using namespace psp::mem;
  RegionHeap heap{nullptr, 4096, countingSource, countingSink, {}, {}};
  char *a = static_cast<char *>(regionAlloc(heap, 100)); // 112
  char *b = static_cast<char *>(regionAlloc(heap, 200)); // 208, carved just below a
  char *c = static_cast<char *>(regionAlloc(heap, 16));
  EXPECT_EQ(g_regionsOut, 1);
  EXPECT_EQ(b + 208 + 16, a);
  EXPECT_EQ(heap.inUse.value, 112u + 208 + 16);
  // Freeing a and b merges them; the merged space serves 112 + 16 + 208 exactly.
  regionFree(heap, a);
  regionFree(heap, b);
  EXPECT_EQ(regionAlloc(heap, 336), b);
  // Growing in place absorbs the free neighbour above.
  regionFree(heap, b);
  char *hi = static_cast<char *>(regionAlloc(heap, 96)); // top of the freed space
  char *lo = static_cast<char *>(regionAlloc(heap, 96)); // just below hi
  EXPECT_EQ(lo + 96 + 16, hi);
  regionFree(heap, hi);
  char *e = static_cast<char *>(regionResize(heap, lo, 200, true));
  EXPECT_EQ(e, lo);
  EXPECT_EQ(regionBlockSize(e), 208u);
  EXPECT_EQ(regionResize(heap, e, 32, true), e); // shrinking splits the tail off
  EXPECT_EQ(regionBlockSize(e), 32u);
  EXPECT_EQ(heap.inUse.value, 32u + 16);
  // A request above the minimum gets a region of its own, returned when freed.
  char *huge = static_cast<char *>(regionAlloc(heap, 10000));
  EXPECT_EQ(g_regionsOut, 2);
  regionFree(heap, huge);
  EXPECT_EQ(g_regionsOut, 1);
  regionFree(heap, e);
  regionFree(heap, c);
  EXPECT_EQ(g_regionsOut, 0);
  EXPECT_EQ(heap.regions, nullptr);
  EXPECT_EQ(heap.inUse.value, 0u);
}

// Runs `op` with the Nth event of `sw` failing, for N = 1, 2, ... until the
// operation no longer reaches N. After each, `check` must hold.
template <typename Op, typename Check> void walk(FaultSwitch &sw, Op op, Check check) {
  for (uint64_t n = 1; n < 500; ++n) {
    sw.arm(n);
    op();
    bool reached = sw.reached();
    sw.disarm();
    check();
    if (!reached)
      return;
  }
  ADD_FAILURE() << "walk did not end";
}

// Calls fn; true when it left through `jump` instead of returning.
template <typename Fn> __attribute__((noinline)) bool leavesByJump(jmp_buf &jump, Fn fn) {
  if (setjmp(jump) != 0)
    return true;
  fn();
  return false;
}

void libraryWorks() {
  void *p = psp_getMem(100, PSP_TAG_DEFAULT, 1, nullptr, "t", 1);
  ASSERT_NE(p, nullptr);
  psp_freeMem(p, PSP_TAG_DEFAULT, "t", 1);
  PSP_SEM m = psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1);
  ASSERT_NE(m, PSP_SEM_NONE);
  psp_syncDelete(m);
}

TEST(FaultInternal, StartupUndoesEveryPartialState) {
  for (FaultSwitch *sw : {&g_failAllocation, &g_failRegion}) {
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
          EXPECT_EQ(usage(), 0u);
          ASSERT_EQ(psp_init(), PSP_OKAY);
          libraryWorks();
          psp_term();
        });
  }
}

TEST(FaultInternal, TagCreationEveryKindWithAndWithoutMutex) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  libraryWorks(); // the default tag keeps the chunk this makes
  const uint64_t base = usage();
  for (FaultSwitch *sw : {&g_failAllocation, &g_failRegion})
    for (uint32_t kind = 0; kind <= 4; ++kind)
      for (uint16_t safe = 0; safe <= 1; ++safe)
        walk(
            *sw,
            [&] {
              PSP_MEMTAG tag = nullptr;
              PSP_STATUS rc = psp_createTagEx_rc(nullptr, safe, kind, nullptr, nullptr, &tag);
              if (rc == PSP_OKAY) {
                if (psp_getMem(5000, tag, 1, nullptr, "t", 1) == nullptr) {
                  EXPECT_TRUE(sw->reached());
                }
                psp_freeTagMem(tag, 1, "t", 1);
              } else {
                EXPECT_EQ(tag, nullptr);
              }
            },
            [&] {
              EXPECT_EQ(usage(), base);
              libraryWorks();
            });
  psp_term();
}

TEST(FaultInternal, FailedAllocationJumpsWithTagConsistent) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  libraryWorks();
  const uint64_t base = usage();
  for (uint32_t kind = 0; kind <= 3; ++kind) {
    jmp_buf jump;
    PSP_MEMTAG tag = psp_createTagEx(&jump, 1, kind, nullptr, nullptr);
    void *keep = psp_getMem(300, tag, 1, nullptr, "t", 1);
    int jumps = 0;
    for (int site = 0; site < 3; ++site) {
      jumps += leavesByJump(jump, [&] {
        g_failAllocation.arm(1);
        if (site == 0)
          psp_getMem(64, tag, 1, nullptr, "t", 1);
        else if (site == 1)
          psp_extendMem(keep, 20000, tag, 1, 0, nullptr, "t", 1);
        else
          psp::tagRealloc(tag, keep, 9000, 1); // the library's own entry point
      });
      g_failAllocation.disarm();
      libraryWorks(); // no lock was left held
    }
    EXPECT_EQ(jumps, 3);
    // The tag is intact: the kept block is still there and the tag works.
    psp_resetTag(nullptr, tag);
    void *more = psp_getMem(64, tag, 1, nullptr, "t", 1);
    EXPECT_NE(more, nullptr);
    psp_freeMem(keep, tag, "t", 1);
    psp_freeTagMem(tag, 1, "t", 1);
  }
  EXPECT_EQ(usage(), base);
  // The default tag jumps too, and is left usable.
  jmp_buf jump;
  EXPECT_TRUE(leavesByJump(jump, [&] {
    psp_resetTag(&jump, PSP_TAG_DEFAULT);
    g_failAllocation.arm(1);
    psp_getMem(1 << 20, PSP_TAG_DEFAULT, 1, nullptr, "t", 1);
  }));
  g_failAllocation.disarm();
  psp_resetTag(nullptr, PSP_TAG_DEFAULT);
  libraryWorks();
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
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Insufficient number of semaphores, called from here:7\n");
  EXPECT_GT(made.size(), 1000u);
  // With PSP_TAG_DEFAULT's jump armed: a jump, from a plain create and from a
  // thread-safe tag creation, leaving nothing behind.
  const uint64_t base = usage();
  for (int site = 0; site < 2; ++site) {
    jmp_buf jump;
    bool jumped = leavesByJump(jump, [&] {
      psp_resetTag(&jump, PSP_TAG_DEFAULT);
      g_failAllocation.arm(1);
      if (site == 0)
        psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1);
      else
        psp_createTagEx(nullptr, 1, PSP_TAGKIND_HEAP, nullptr, nullptr);
    });
    g_failAllocation.disarm();
    psp_resetTag(nullptr, PSP_TAG_DEFAULT);
    EXPECT_TRUE(jumped) << "site " << site;
    EXPECT_EQ(usage(), base);
  }
  libraryWorks();
  for (PSP_SEM s : made)
    psp_syncDelete(s);
  psp_term();
}

uint32_t threadTagBody(void *arg) {
  uint64_t n = *static_cast<uint64_t *>(arg);
  g_failAllocation.arm(n);
  void *p = psp_getMem(200, PSP_TAG_THREAD, 1, nullptr, "t", 1);
  bool reached = g_failAllocation.reached();
  g_failAllocation.disarm();
  if (p == nullptr && !reached)
    return 2;
  // Arm the thread tag's jump and fail once more: the body leaves by the jump.
  jmp_buf jump;
  bool jumped = leavesByJump(jump, [&] {
    psp_resetTag(&jump, PSP_TAG_THREAD);
    g_failRegion.arm(1, true);
    psp_getMem(100000, PSP_TAG_THREAD, 1, nullptr, "t", 1);
  });
  g_failRegion.disarm();
  if (!jumped)
    return 3;
  return reached ? 1 : 0;
}

TEST(FaultInternal, ThreadTagsUnderEveryFailure) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  libraryWorks();
  const uint64_t base = usage();
  for (uint64_t n = 1; n < 100; ++n) {
    PSP_THREAD thread;
    ASSERT_EQ(psp_threadBeginEx(threadTagBody, 0, &n, &thread), PSP_OKAY);
    PSP_STATUS rc = psp_threadJoin(&thread);
    g_failRegion.disarm();
    EXPECT_NE(rc, 2) << n;
    EXPECT_EQ(usage(), base) << n;
    libraryWorks();
    if (rc == 0)
      break;
  }
  psp_term();
}

} // namespace
