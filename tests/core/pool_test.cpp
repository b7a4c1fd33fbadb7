// Object pools: head reuse, too-small heads released, the cap, flags, tags.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "psp.h"
#include "../watchdog.h"

namespace {

struct Counts {
  std::atomic<int> constructed{0}, destroyed{0};
};
void construct(void *context, void *) { ++static_cast<Counts *>(context)->constructed; }
void destruct(void *context, void *) { ++static_cast<Counts *>(context)->destroyed; }

PSP_POOL make(PSP_MEMTAG tag, Counts &counts, uint32_t threadSafe = 0) {
  PSP_POOL pool = nullptr;
  EXPECT_EQ(psp_poolCreateEx(tag, 7, threadSafe, construct, destruct, &counts, &pool), PSP_OKAY);
  return pool;
}

// Flags apply to reused blocks too; a pool made with its own tag takes it
// along when destroyed or, forgotten, at the term (ASan checks).
TEST(Pool, ReuseCapRefusalsFlagsAndOwnTag) {
  PSP_POOL pool = nullptr;
  EXPECT_EQ(psp_poolCreateEx(nullptr, 0, 0, nullptr, nullptr, nullptr, &pool), PSP_ERR_SYSTEM);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  Counts counts, own;
  pool = make(PSP_TAG_DEFAULT, counts);
  EXPECT_EQ(psp_poolGetMem(pool, 0xFFFFFFFEull, 1, nullptr), nullptr);
  EXPECT_EQ(psp_poolGetMem(pool, UINT64_MAX - 4, 1, nullptr), nullptr) << "no wrap-around";
  char *a = static_cast<char *>(psp_poolGetMem(pool, 64, 1, nullptr));
  std::memset(a, 'x', 64);
  psp_poolPut(pool, a);
  EXPECT_EQ(psp_poolGetMem(pool, 32, 1, nullptr), a) << "a fitting head is reused";
  EXPECT_EQ(a[63], 'x') << "without callbacks, contents kept";
  EXPECT_EQ(counts.constructed + counts.destroyed, 1);
  psp_poolPut(pool, a);
  char *c = static_cast<char *>(psp_poolGetMem(pool, 100, 1, nullptr));
  EXPECT_EQ(counts.destroyed, 1) << "a head too small is released, not skipped";
  EXPECT_EQ(counts.constructed, 2);
  psp_poolSetMaxPooled(pool, 1);
  void *d = psp_poolGetMem(pool, 16, 1, nullptr);
  psp_poolPut(pool, c);
  psp_poolPut(pool, d);
  EXPECT_EQ(counts.destroyed, 2) << "beyond the cap a put releases";
  psp_poolDestroy(pool);
  EXPECT_EQ(counts.destroyed, 3) << "destroy releases what is pooled";
  psp_poolDestroy(nullptr);
  pool = make(nullptr, own, 1);
  a = static_cast<char *>(psp_poolGetMem(pool, 24, 3, nullptr));
  std::memset(a, 9, 24);
  psp_poolPut(pool, a);
  EXPECT_EQ(psp_poolGetMem(pool, 24, 3, nullptr), a);
  EXPECT_EQ(a[5], 0) << "flags 3 clear a reused block too";
  const char src[] = "copied into the block!";
  EXPECT_STREQ(static_cast<char *>(psp_poolGetMem(pool, sizeof src, 5, src)), src);
  psp_poolPut(pool, a);
  psp_poolDestroy(pool); // its own tag goes, with no destructor run
  EXPECT_EQ(own.destroyed, 0);
  ASSERT_NE(psp_poolGetMem(make(nullptr, own), 4000, 3, nullptr), nullptr);
  psp_term();
}

TEST(PoolConcurrency, SharedPoolUnderManyThreads) {
  psp_test::Watchdog dog(10);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  Counts counts;
  PSP_POOL pool = make(PSP_TAG_DEFAULT, counts, 1);
  psp_poolSetMaxPooled(pool, 8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      void *held[6] = {};
      for (int i = 0; i < 3000; ++i) {
        void *&slot = held[i % 6];
        psp_poolPut(pool, slot); // NULL at first: ignored
        slot = psp_poolGetMem(pool, 16 + (i * 7 + t) % 64, 1, nullptr);
        ASSERT_NE(slot, nullptr);
        std::memset(slot, t, 16);
      }
      for (void *b : held)
        psp_poolPut(pool, b);
    });
  for (auto &t : threads)
    t.join();
  psp_poolDestroy(pool);
  EXPECT_EQ(counts.constructed.load(), counts.destroyed.load()) << "every block made was released";
  psp_term();
}

} // namespace
