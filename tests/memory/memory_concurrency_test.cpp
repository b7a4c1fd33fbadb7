// Concurrency stress for memory tags; CI runs these under ThreadSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "psp.h"

namespace {

struct Work {
  PSP_MEMTAG tag;
  uint32_t seed;
};

// Allocates, fills, resizes and frees in the given tag, checking contents.
uint32_t hammer(void *arg) {
  Work *work = static_cast<Work *>(arg);
  uint32_t x = work->seed;
  auto next = [&x] { return x = x * 1664525u + 1013904223u; };
  std::vector<std::pair<unsigned char *, uint32_t>> live;
  for (int i = 0; i < 3000; ++i) {
    if (live.size() < 64 && next() % 3 != 0) {
      uint32_t size = 1 + (next() >> 8) % 3000;
      auto *p = static_cast<unsigned char *>(psp_getMem(size, work->tag, 1, nullptr, "t", 1));
      if (p == nullptr)
        return 1;
      std::memset(p, static_cast<int>(size & 0xFF), size);
      live.push_back({p, size});
    } else if (!live.empty()) {
      size_t at = (next() >> 8) % live.size();
      auto [p, size] = live[at];
      for (uint32_t k = 0; k < size; ++k)
        if (p[k] != (size & 0xFF))
          return 2;
      psp_freeMem(p, work->tag, "t", 1);
      live[at] = live.back();
      live.pop_back();
    }
  }
  for (auto [p, size] : live)
    psp_freeMem(p, work->tag, "t", 1);
  // Thread-local tag use, left for the trampoline to destroy.
  for (int i = 0; i < 100; ++i)
    if (psp_getMem(1 + i * 40, PSP_TAG_THREAD, 1, nullptr, "t", 1) == nullptr)
      return 3;
  return 0;
}

void runThreads(PSP_MEMTAG shared, bool ownTags) {
  std::vector<PSP_THREAD> threads(6);
  std::vector<Work> work(threads.size());
  for (size_t i = 0; i < threads.size(); ++i) {
    work[i].tag = ownTags
                      ? psp_createTagEx(nullptr, 0, static_cast<uint32_t>(i % 4), nullptr, nullptr)
                      : shared;
    work[i].seed = static_cast<uint32_t>(i + 1);
    ASSERT_EQ(psp_threadBeginEx(hammer, 0, &work[i], &threads[i]), PSP_OKAY);
  }
  for (PSP_THREAD &t : threads)
    EXPECT_EQ(psp_threadJoin(&t), 0);
  if (ownTags)
    for (Work &w : work)
      psp_freeTagMem(w.tag, 1, "t", 1);
}

TEST(MemoryConcurrency, ManyThreadsOnSharedTags) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  // The default tag keeps its size-class chunks; everything after it must
  // come back in full, thread tags included.
  runThreads(PSP_TAG_DEFAULT, false);
  uint64_t before = 0, after = 0;
  psp_getMemUsage(&before, nullptr);
  for (uint32_t kind : {1u, 3u}) {
    PSP_MEMTAG tag = psp_createTagEx(nullptr, 1, kind, nullptr, nullptr);
    runThreads(tag, false);
    psp_freeTagMem(tag, 1, "t", 1);
  }
  psp_getMemUsage(&after, nullptr);
  EXPECT_EQ(after, before);
  psp_term();
}

TEST(MemoryConcurrency, ThreadsWithTheirOwnTags) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  uint64_t before = 0, after = 0;
  psp_getMemUsage(&before, nullptr);
  runThreads(nullptr, true);
  psp_getMemUsage(&after, nullptr);
  EXPECT_EQ(after, before);
  psp_term();
}

} // namespace
