// The short paths of psp_getMem and psp_freeMem for tags without a mutex:
// a failed allocation in any kind still jumps (or gives NULL without a jump
// buffer), and kind 0's counters stay exact when the overhead's peak is
// above everything the tag holds.
#include <gtest/gtest.h>

#include <csetjmp>

#include "psp.h"

namespace {

void *get(uint64_t size, PSP_MEMTAG tag) { return psp_getMem(size, tag, 1, nullptr, "t", 1); }

PSP_MEMINFO infoOf(PSP_MEMTAG tag) {
  PSP_MEMINFO info{};
  EXPECT_EQ(psp_getTagMemInfo(tag, &info), PSP_OKAY);
  return info;
}

jmp_buf g_jump;

TEST(MemoryHotPath, RefusalsJumpInEveryKindWithoutAMutex) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  ASSERT_EQ(psp_setMemLimit(nullptr, 0x400400), PSP_OKAY);
  // Each request needs a region of its own, which the limit refuses.
  for (uint32_t kind : {PSP_TAGKIND_BUCKET, PSP_TAGKIND_HEAP, PSP_TAGKIND_ARENA}) {
    PSP_MEMTAG plain = psp_createTagEx(nullptr, 0, kind, nullptr, nullptr);
    PSP_MEMTAG armed = psp_createTagEx(&g_jump, 0, kind, nullptr, nullptr);
    EXPECT_EQ(get(5000000, plain), nullptr) << kind;
    void *small = get(100, plain);
    EXPECT_NE(small, nullptr) << kind;
    psp_freeMem(small, plain, "t", 1);
    volatile int jumped = 0;
    if (setjmp(g_jump) == 0)
      get(5000000, armed);
    else
      jumped = 1;
    EXPECT_EQ(jumped, 1) << kind;
    EXPECT_NE(get(100, armed), nullptr) << kind;
    psp_freeTagMem(plain, 1, "t", 1);
    psp_freeTagMem(armed, 1, "t", 1);
  }
  EXPECT_EQ(psp_setMemLimit(nullptr, 0), PSP_OKAY);
  psp_term();
}

TEST(MemoryHotPath, OverheadPeakOutlivesTheChunkThatMadeIt) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
  // A large block: 24 header bytes and 24 of rounding over the state's 176.
  psp_freeMem(get(9000, tag), tag, "t", 1);
  PSP_MEMINFO info = infoOf(tag);
  EXPECT_EQ(info.counters[4], 176u);
  EXPECT_EQ(info.counters[5], 224u);
  // A refill of two 16-byte blocks adds 32 bytes of headers; the first 1-byte
  // block stays under the old peak (223), the second passes it (238).
  void *a = get(1, tag);
  EXPECT_EQ(infoOf(tag).counters[5], 224u);
  void *b = get(1, tag);
  info = infoOf(tag);
  const uint64_t held[6] = {2, 9000, 0, 32, 238, 238};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(info.counters[i], held[i]) << i;
  psp_freeMem(a, tag, "t", 1);
  psp_freeMem(b, tag, "t", 1);
  psp_freeTagMem(tag, 0, "t", 1);
  info = infoOf(tag);
  const uint64_t reset[6] = {0, 9000, 0, 32, 176, 238};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(info.counters[i], reset[i]) << i;
  psp_freeTagMem(tag, 1, "t", 1);
  psp_term();
}

} // namespace
