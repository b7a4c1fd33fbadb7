// Memory tags through the public interface: flags and refusals, the _rc
// twins, reset and destroy, moves, limits and the caller buffer, the jump,
// and random operation sequences checked against a model for every kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <random>
#include <vector>

#include "psp.h"

namespace {

struct Library {
  Library() { EXPECT_EQ(psp_init(), PSP_OKAY); }
  ~Library() { psp_term(); }
};

uint64_t usage() {
  uint64_t u = 0;
  psp_getMemUsage(&u, nullptr);
  return u;
}

TEST(Memory, NothingWorksBeforeInit) {
  void *out = &out;
  EXPECT_EQ(psp_getMem(16, PSP_TAG_DEFAULT, PSP_MEM_NORMAL, nullptr, "t", 1), nullptr);
  EXPECT_EQ(psp_getMem_rc(16, PSP_TAG_THREAD, 1, nullptr, &out, "t", 1), PSP_ERR_NOMEMORY);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(psp_createTagEx(nullptr, 0, 0, nullptr, nullptr), nullptr);
  PSP_MEMTAG tag = PSP_TAG_DEFAULT;
  EXPECT_EQ(psp_createTagEx_rc(nullptr, 0, 0, nullptr, nullptr, &tag), PSP_ERR_SYSTEM);
  EXPECT_EQ(tag, PSP_TAG_DEFAULT);
  PSP_MEMINFO info;
  EXPECT_EQ(psp_getTagMemInfo(PSP_TAG_DEFAULT, &info), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_moveMem(&out, 8, PSP_TAG_THREAD, PSP_TAG_DEFAULT), nullptr);
  psp_freeMem(&out, PSP_TAG_DEFAULT, "t", 1);
  psp_freeTagMem(PSP_TAG_DEFAULT, 1, "t", 1);
  psp_resetTag(nullptr, PSP_TAG_DEFAULT);
  EXPECT_EQ(psp_syncCreate_check(PSP_SYNC_MUTEX, "t", 1), PSP_SEM_NONE);
}

TEST(Memory, FlagsAndRefusals) {
  Library lib;
  jmp_buf jump;
  if (setjmp(jump) != 0)
    FAIL() << "a refusal jumped";
  psp_resetTag(&jump, PSP_TAG_DEFAULT);
  void *out = &out;
  // Zero size without a length bit, copy without a source, and huge sizes are
  // refused without jumping.
  EXPECT_EQ(psp_getMem_rc(0, PSP_TAG_DEFAULT, 1, nullptr, &out, "t", 1), PSP_ERR_NOMEMORY);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(psp_getMem(8, PSP_TAG_DEFAULT, PSP_MEM_COPY, nullptr, "t", 1), nullptr);
  EXPECT_EQ(psp_getMem(0xFFFFFFFEull, PSP_TAG_DEFAULT, 1, nullptr, "t", 1), nullptr);
  psp_resetTag(nullptr, PSP_TAG_DEFAULT);

  char *s = static_cast<char *>(psp_getMem(0, PSP_TAG_DEFAULT, PSP_MEM_STRDUP, "abc", "t", 1));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::memcmp(s, "abc", 4), 0);
  const char16_t wide[] = u"hi";
  char16_t *w =
      static_cast<char16_t *>(psp_getMem(99, PSP_TAG_DEFAULT, PSP_MEM_WSTRDUP, wide, "t", 1));
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(std::memcmp(w, wide, 6), 0);
  // Size from the source only for exactly 13 or 21; ZERO wins over COPY.
  char *z = static_cast<char *>(
      psp_getMem(4, PSP_TAG_DEFAULT, PSP_MEM_ZERO | PSP_MEM_COPY | 1, "wxyz", "t", 1));
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(std::memcmp(z, "\0\0\0\0", 4), 0);
  // A zero size with a length bit but not STRDUP gives a freeable block.
  void *zero = psp_getMem(0, PSP_TAG_DEFAULT, PSP_MEM_NORMAL | PSP_MEM_STRLEN, nullptr, "t", 1);
  EXPECT_NE(zero, nullptr);

  // extendMem: ZERO clears the added tail; COPY with added copies the tail,
  // without it the whole block.
  char *b = static_cast<char *>(psp_getMem(4, PSP_TAG_DEFAULT, 5, "abcd", "t", 1));
  b = static_cast<char *>(psp_extendMem(b, 100, PSP_TAG_DEFAULT, 3, 96, nullptr, "t", 1));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::memcmp(b, "abcd", 4), 0);
  EXPECT_TRUE(std::all_of(b + 4, b + 100, [](char c) { return c == 0; }));
  b = static_cast<char *>(psp_extendMem(b, 102, PSP_TAG_DEFAULT, 5, 2, "XY", "t", 1));
  EXPECT_EQ(std::memcmp(b + 100, "XY", 2), 0);
  b = static_cast<char *>(psp_extendMem(b, 0, PSP_TAG_DEFAULT, PSP_MEM_STRDUP, 0, "new", "t", 1));
  EXPECT_STREQ(b, "new");
  void *again = &again;
  EXPECT_EQ(psp_extendMem_rc(b, 8, PSP_TAG_DEFAULT, 4, 0, nullptr, &again, "t", 1),
            PSP_ERR_NOMEMORY);
  EXPECT_EQ(again, nullptr);
  EXPECT_STREQ(b, "new"); // the refused resize left the block alone
  // A NULL block makes extendMem an allocation.
  void *fresh = nullptr;
  EXPECT_EQ(psp_extendMem_rc(nullptr, 8, PSP_TAG_THREAD, 1, 0, nullptr, &fresh, "t", 1), 0);
  EXPECT_NE(fresh, nullptr);
  for (void *p : {static_cast<void *>(s), static_cast<void *>(w), static_cast<void *>(z), zero,
                  static_cast<void *>(b)})
    psp_freeMem(p, PSP_TAG_DEFAULT, "t", 1);
  psp_freeMem(fresh, PSP_TAG_THREAD, "t", 1);
  psp_freeMem(nullptr, PSP_TAG_DEFAULT, "t", 1);
}

int g_callbacks;
void countCallback(void *context) { g_callbacks += *static_cast<int *>(context); }

TEST(Memory, ResetKeepsTagAndDestroyRunsCallback) {
  Library lib;
  const uint64_t base = usage();
  int weight = 1;
  g_callbacks = 0;
  for (uint32_t kind = 0; kind <= 3; ++kind) {
    PSP_MEMTAG tag = psp_createTagEx(nullptr, 1, kind, countCallback, &weight);
    ASSERT_NE(tag, nullptr);
    for (int i = 0; i < 100; ++i)
      ASSERT_NE(psp_getMem(100 + i * 97, tag, 1, nullptr, "t", 1), nullptr);
    psp_freeTagMem(tag, 0, "t", 1);
    EXPECT_EQ(g_callbacks, static_cast<int>(kind));
    EXPECT_NE(psp_getMem(10, tag, 1, nullptr, "t", 1), nullptr);
    psp_freeTagMem(tag, 1, "t", 1);
    EXPECT_EQ(g_callbacks, static_cast<int>(kind) + 1);
  }
  EXPECT_EQ(usage(), base);
  PSP_MEMTAG out = PSP_TAG_THREAD;
  EXPECT_EQ(psp_createTagEx_rc(nullptr, 0, 4, nullptr, nullptr, &out), PSP_ERR_SYSTEM);
  EXPECT_EQ(out, PSP_TAG_THREAD);
}

TEST(Memory, ForgottenTagCallbackRunsAtTerm) {
  int weight = 5;
  g_callbacks = 0;
  ASSERT_EQ(psp_init(), PSP_OKAY);
  ASSERT_NE(psp_createTagEx(nullptr, 0, 1, countCallback, &weight), nullptr);
  psp_term();
  EXPECT_EQ(g_callbacks, 5);
  uint64_t u = 1;
  psp_getMemUsage(&u, nullptr);
  EXPECT_EQ(u, 0u);
}

TEST(Memory, MoveBetweenTags) {
  Library lib;
  PSP_MEMTAG safe = psp_createTagEx(nullptr, 1, 1, nullptr, nullptr);
  char *b = static_cast<char *>(psp_getMem(0, safe, PSP_MEM_STRDUP, "moving", "t", 1));
  EXPECT_EQ(psp_moveMem(b, 7, safe, safe), b);
  char *moved = static_cast<char *>(psp_moveMem(b, 7, PSP_TAG_THREAD, safe));
  ASSERT_NE(moved, nullptr);
  EXPECT_STREQ(moved, "moving");
  PSP_MEMINFO info;
  ASSERT_EQ(psp_getTagMemInfo(safe, &info), PSP_OKAY);
  EXPECT_EQ(info.counters[0], 0u); // freed in the source tag
  EXPECT_EQ(psp_moveMem(moved, 0, PSP_TAG_DEFAULT, PSP_TAG_THREAD), nullptr);
  psp_freeMem(moved, PSP_TAG_THREAD, "t", 1);
  psp_freeTagMem(safe, 1, "t", 1);
}

TEST(Memory, LimitRulesAndRefusalJumps) {
  EXPECT_EQ(psp_setMemLimit(nullptr, 100), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_setMemLimit(nullptr, 0x4003FF), PSP_ERR_SYSTEM);
  ASSERT_EQ(psp_setMemLimit(nullptr, 0x400400), PSP_OKAY);
  {
    Library lib;
    char buffer[64];
    EXPECT_EQ(psp_setMemLimit(buffer, 0x400400), PSP_ERR_SYSTEM);
    // The first region is granted at zero usage; a second one is refused.
    PSP_MEMTAG arena = psp_createTagEx(nullptr, 0, 2, nullptr, nullptr);
    EXPECT_NE(psp_getMem(0x300000, arena, 1, nullptr, "t", 1), nullptr);
    EXPECT_EQ(psp_getMem(0x200000, arena, 1, nullptr, "t", 1), nullptr);
    jmp_buf jump;
    volatile int jumps = 0;
    if (setjmp(jump) == 0) {
      psp_resetTag(&jump, arena);
      psp_getMem(0x200000, arena, 1, nullptr, "t", 1);
      ADD_FAILURE() << "no jump";
    } else {
      jumps = jumps + 1;
    }
    EXPECT_EQ(jumps, 1);
    psp_resetTag(nullptr, arena);
    // Kind 3 is neither counted nor limited.
    PSP_MEMTAG sys = psp_createTagEx(nullptr, 0, 3, nullptr, nullptr);
    EXPECT_NE(psp_getMem(0x800000, sys, 1, nullptr, "t", 1), nullptr);
    psp_freeTagMem(arena, 1, "t", 1);
    psp_freeTagMem(sys, 1, "t", 1);
    // With no caller buffer, the limit may still change.
    EXPECT_EQ(psp_setMemLimit(nullptr, 0), PSP_OKAY);
  }
}

TEST(Memory, CallerBufferIsTheOnlyRegion) {
  const uint64_t size = 0x500000;
  std::vector<unsigned char> buffer(size + 3);
  ASSERT_EQ(psp_setMemLimit(buffer.data() + 3, size), PSP_OKAY); // misaligned on purpose
  {
    Library lib;
    unsigned char *lo = buffer.data(), *hi = buffer.data() + buffer.size();
    std::vector<void *> blocks;
    for (int i = 0; i < 64; ++i) {
      void *p = psp_getMem(1000 + i, PSP_TAG_DEFAULT, 1, nullptr, "t", 1);
      ASSERT_NE(p, nullptr);
      EXPECT_TRUE(p >= lo && p < hi);
      blocks.push_back(p);
    }
    EXPECT_EQ(psp_getMem(size, PSP_TAG_DEFAULT, 1, nullptr, "t", 1), nullptr);
    for (void *p : blocks)
      psp_freeMem(p, PSP_TAG_DEFAULT, "t", 1);
    EXPECT_EQ(psp_setMemLimit(nullptr, 0), PSP_ERR_SYSTEM);
  }
  // After the term the buffer is free again and can be withdrawn.
  EXPECT_EQ(psp_setMemLimit(nullptr, 0), PSP_OKAY);
}

TEST(Memory, MallocKindReportsDoubleFreeAndChangesNothing) {
  Library lib;
  PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, 3, nullptr, nullptr);
  void *a = psp_getMem(32, tag, 1, nullptr, "t", 1);
  void *b = psp_getMem(32, tag, 1, nullptr, "t", 1);
  psp_freeMem(a, tag, "t", 1);
  testing::internal::CaptureStdout();
  psp_freeMem(a, tag, "t", 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Attempting to free previously freed memory\n");
  void *c = psp_extendMem(b, 5000, tag, 1, 0, nullptr, "t", 1);
  ASSERT_NE(c, nullptr);
  psp_freeMem(c, tag, "t", 1);
  psp_freeTagMem(tag, 1, "t", 1);
}

// Random operation sequences against a model: every live block keeps its
// contents, no two live blocks overlap, and destroying the tag gives back
// every byte of the global heap.
void runModel(uint32_t kind, uint32_t seed) {
  std::mt19937 rng(seed);
  struct Live {
    unsigned char *p;
    uint64_t size;
    unsigned char fill;
  };
  const uint64_t base = usage();
  PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, kind, nullptr, nullptr);
  ASSERT_NE(tag, nullptr);
  std::vector<Live> live;
  auto pickSize = [&] {
    uint32_t r = rng() % 100;
    return r < 70 ? 1 + rng() % 256 : r < 95 ? 1 + rng() % 8192 : 8193 + rng() % 40000;
  };
  auto check = [&] {
    std::vector<Live> sorted = live;
    std::sort(sorted.begin(), sorted.end(), [](auto &x, auto &y) { return x.p < y.p; });
    for (size_t i = 0; i < sorted.size(); ++i) {
      ASSERT_TRUE(std::all_of(sorted[i].p, sorted[i].p + sorted[i].size,
                              [&](unsigned char c) { return c == sorted[i].fill; }))
          << "kind " << kind << " contents";
      if (i + 1 < sorted.size()) {
        ASSERT_LE(sorted[i].p + sorted[i].size, sorted[i + 1].p) << "kind " << kind << " overlap";
      }
    }
  };
  for (int step = 0; step < 4000; ++step) {
    uint32_t op = rng() % 100;
    if (op < 45 || live.empty()) {
      uint64_t size = pickSize();
      auto *p = static_cast<unsigned char *>(psp_getMem(size, tag, 1, nullptr, "t", 1));
      ASSERT_NE(p, nullptr);
      unsigned char fill = static_cast<unsigned char>(rng());
      std::memset(p, fill, size);
      live.push_back({p, size, fill});
    } else if (op < 75) {
      size_t i = rng() % live.size();
      psp_freeMem(live[i].p, tag, "t", 1);
      live[i] = live.back();
      live.pop_back();
    } else if (op < 99) {
      Live &l = live[rng() % live.size()];
      uint64_t size = pickSize();
      auto *p = static_cast<unsigned char *>(psp_extendMem(l.p, size, tag, 1, 0, nullptr, "t", 1));
      if (kind == 2) {
        ASSERT_EQ(p, nullptr);
        continue;
      }
      ASSERT_NE(p, nullptr);
      ASSERT_TRUE(std::all_of(p, p + std::min(size, l.size), [&](auto c) { return c == l.fill; }));
      std::memset(p, l.fill, size);
      l.p = p;
      l.size = size;
    } else {
      psp_freeTagMem(tag, 0, "t", 1);
      live.clear();
    }
    if (step % 97 == 0)
      check();
  }
  check();
  psp_freeTagMem(tag, 1, "t", 1);
  EXPECT_EQ(usage(), base) << "kind " << kind;
}

TEST(Memory, RandomSequencesMatchModelForEveryKind) {
  Library lib;
  for (uint32_t kind = 0; kind <= 3; ++kind)
    for (uint32_t seed = 1; seed <= 3; ++seed)
      runModel(kind, seed * 7919 + kind);
}

} // namespace
