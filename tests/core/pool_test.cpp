// Object pools: reuse of the head item, release of items that are too small,
// the cap on pooled items, flags, destroy with a caller's or an own tag.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "psp.h"

namespace {

struct Counts {
  int constructed = 0;
  int destroyed = 0;
};

void construct(void *context, void *block) {
  ++static_cast<Counts *>(context)->constructed;
  std::memset(block, 0xC5, 8);
}
void destruct(void *context, void *) { ++static_cast<Counts *>(context)->destroyed; }

class Pool : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(psp_init(), PSP_OKAY); }
  void TearDown() override { psp_term(); }
  PSP_POOL make(PSP_MEMTAG tag, uint32_t threadSafe = 0) {
    PSP_POOL pool = nullptr;
    EXPECT_EQ(psp_poolCreateEx(tag, 7, threadSafe, construct, destruct, &counts, &pool), PSP_OKAY);
    return pool;
  }
  Counts counts;
};

TEST_F(Pool, ReuseSkipsCallbacksAndTooSmallHeadIsReleased) {
  PSP_POOL pool = make(PSP_TAG_DEFAULT);
  void *a = psp_poolGetMem(pool, 64, 1, nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(counts.constructed, 1);
  std::memset(a, 'x', 64);
  psp_poolPut(pool, a);
  void *b = psp_poolGetMem(pool, 32, 1, nullptr);
  EXPECT_EQ(b, a);
  EXPECT_EQ(static_cast<char *>(b)[63], 'x') << "a pooled block keeps its contents";
  EXPECT_EQ(counts.constructed, 1);
  EXPECT_EQ(counts.destroyed, 0);
  psp_poolPut(pool, b);
  void *c = psp_poolGetMem(pool, 100, 1, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(counts.destroyed, 1);
  EXPECT_EQ(counts.constructed, 2);
  std::memset(c, 1, 100);
  psp_poolPut(pool, c);
  psp_poolDestroy(pool);
  EXPECT_EQ(counts.destroyed, 2) << "destroy releases pooled items with the destructor";
}

TEST_F(Pool, MaxPooledCapsTheFreeListAndRefusals) {
  psp_poolDestroy(nullptr);
  PSP_POOL pool = make(PSP_TAG_THREAD);
  EXPECT_EQ(psp_poolGetMem(pool, 0xFFFFFFFEull, 1, nullptr), nullptr);
  EXPECT_EQ(psp_poolGetMem(pool, UINT64_MAX - 4, 1, nullptr), nullptr);
  EXPECT_EQ(counts.constructed, 0);
  psp_poolSetMaxPooled(pool, 1);
  void *a = psp_poolGetMem(pool, 16, 1, nullptr);
  void *b = psp_poolGetMem(pool, 16, 1, nullptr);
  psp_poolPut(pool, a);
  psp_poolPut(pool, b);
  EXPECT_EQ(counts.destroyed, 1);
  EXPECT_EQ(psp_poolGetMem(pool, 16, 1, nullptr), a);
  psp_poolPut(pool, a);
  psp_poolDestroy(pool);
}

TEST_F(Pool, FlagsClearOrCopyEvenOnReuse) {
  PSP_POOL pool = make(nullptr, 1);
  char *a = static_cast<char *>(psp_poolGetMem(pool, 24, 3, nullptr));
  ASSERT_NE(a, nullptr);
  for (int i = 0; i < 24; ++i)
    EXPECT_EQ(a[i], 0);
  std::memset(a, 9, 24);
  psp_poolPut(pool, a);
  char *b = static_cast<char *>(psp_poolGetMem(pool, 24, 3, nullptr));
  EXPECT_EQ(b, a);
  EXPECT_EQ(b[5], 0);
  psp_poolPut(pool, b);
  const char src[] = "copied into the block!";
  char *c = static_cast<char *>(psp_poolGetMem(pool, sizeof src, 5, src));
  EXPECT_STREQ(c, src);
  psp_poolDestroy(pool); // owns its tag: no destructor runs, c goes with the tag
  EXPECT_EQ(counts.destroyed, 0);
}

TEST(PoolLifecycle, OwnTagNeedsInitAndForgottenPoolGoesAtTerm) {
  PSP_POOL pool = nullptr;
  EXPECT_EQ(psp_poolCreateEx(nullptr, 0, 0, nullptr, nullptr, nullptr, &pool), PSP_ERR_SYSTEM);
  EXPECT_EQ(pool, nullptr);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  ASSERT_EQ(psp_poolCreateEx(nullptr, 0, 1, nullptr, nullptr, nullptr, &pool), PSP_OKAY);
  ASSERT_NE(psp_poolGetMem(pool, 4000, 3, nullptr), nullptr);
  psp_term(); // the pool's tag is destroyed with every other tag (ASan checks nothing leaks)
}

TEST(PoolConcurrency, SharedPoolUnderManyThreads) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  std::atomic<int> made{0}, released{0};
  struct Ctx {
    std::atomic<int> *made, *released;
  } ctx{&made, &released};
  PSP_POOL pool = nullptr;
  ASSERT_EQ(psp_poolCreateEx(
                PSP_TAG_DEFAULT, 0, 1, [](void *c, void *) { ++*static_cast<Ctx *>(c)->made; },
                [](void *c, void *) { ++*static_cast<Ctx *>(c)->released; }, &ctx, &pool),
            PSP_OKAY);
  psp_poolSetMaxPooled(pool, 8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      std::vector<void *> held;
      for (int i = 0; i < 3000; ++i) {
        void *b = psp_poolGetMem(pool, 16 + (i * 7 + t) % 64, 1, nullptr);
        ASSERT_NE(b, nullptr);
        std::memset(b, t, 16);
        held.push_back(b);
        if (held.size() > 5) {
          psp_poolPut(pool, held.front());
          held.erase(held.begin());
        }
      }
      for (void *b : held)
        psp_poolPut(pool, b);
    });
  for (auto &t : threads)
    t.join();
  psp_poolDestroy(pool);
  EXPECT_EQ(made.load(), released.load()) << "every block made was finally released";
  psp_term();
}

} // namespace
