// Allocation failures in the buffered streams: every site walked with and
// without a jump buffer on PSP_TAG_DEFAULT and on a string's tag. After each
// failure nothing is leaked and no byte put before it is lost; a buffer that
// cannot grow writes what it has, 4096 bytes at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <vector>

#include "internal.h"
#include "../fault_walk.h"

namespace {

std::vector<uint8_t> g_wire;
std::vector<uint32_t> g_writes;

PSP_STATUS keep(void *, const uint8_t *p, uint32_t n) {
  g_wire.insert(g_wire.end(), p, p + n);
  g_writes.push_back(n);
  return PSP_OKAY;
}

PSP_STATUS replay(void *ctx, uint8_t *buf, uint32_t capacity, uint32_t *filled, uint32_t) {
  auto *pos = static_cast<size_t *>(ctx);
  *filled = static_cast<uint32_t>(std::min<size_t>(capacity, g_wire.size() - *pos));
  std::copy_n(g_wire.begin() + *pos, *filled, buf);
  *pos += *filled;
  return *filled != 0 ? PSP_OKAY : PSP_ERR_ENDOFDATA;
}

uint64_t defaultTagInUse() {
  PSP_MEMINFO info;
  psp_getTagMemInfo(PSP_TAG_DEFAULT, &info);
  return info.counters[0];
}

TEST(BstreamFaultInternal, EverySiteWithAndWithoutJump) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  for (jmp_buf *jump : {static_cast<jmp_buf *>(nullptr), new jmp_buf[1]}) {
    psp_resetTag(jump, PSP_TAG_DEFAULT);
    PSP_MEMTAG strings = psp_createTagEx(jump, 0, PSP_TAGKIND_MALLOC, nullptr, nullptr);
    const uint64_t base = defaultTagInUse();
    PSP_OUTPUT_BUFF out;
    PSP_INPUT_BUFF in;
    size_t pos;
    char *text;
    jmp_buf unused;
    auto op = [&] {
      out = nullptr, in = nullptr, text = nullptr, pos = 0;
      g_wire.clear();
      psp::testing::leavesByJump(jump ? *jump : unused, [&] {
        if (psp_outputBuffCreate(keep, nullptr, 0, &out) != PSP_OKAY)
          return;
        for (uint32_t i = 0; i < 10000; ++i)
          psp_outputBuffPutInt32(out, i);
        psp_outputBuffPutStringWithLength(out, "after the numbers");
        if (psp_inputBuffCreate(replay, &pos, 0, &in) == PSP_OKAY && !psp_outputBuffFlush(out) &&
            !psp_inputBuffGetBytes(in, nullptr, 40000))
          psp_inputBuffGetString(in, &text, strings);
      });
      // Whatever was put before a failure or a jump reaches the callback.
      EXPECT_EQ(psp_outputBuffFlush(out), out ? PSP_OKAY : PSP_ERR_INVALIDPARAM);
      for (uint32_t i = 0; i < g_wire.size() / 4 && i < 10000; ++i)
        ASSERT_EQ(reinterpret_cast<uint32_t *>(g_wire.data())[i], i);
      EXPECT_STREQ(text ? text : "after the numbers", "after the numbers");
      psp_freeMem(text, strings, "t", 1);
      psp_outputBuffDestroy(out);
      psp_inputBuffDestroy(in);
    };
    psp::testing::walk(psp::testing::g_failAllocation, op,
                       [&] { EXPECT_EQ(defaultTagInUse(), base); });
    psp_resetTag(nullptr, PSP_TAG_DEFAULT);
    psp_freeTagMem(strings, 1, "t", 1);
    delete[] jump;
  }
  psp_term();
}

TEST(BstreamFaultInternal, BufferThatCannotGrowWritesWhatItHas) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_OUTPUT_BUFF out = nullptr;
  ASSERT_EQ(psp_outputBuffCreate(keep, nullptr, 0, &out), PSP_OKAY);
  g_writes.clear();
  std::vector<uint8_t> run(10000, 5);
  psp::testing::g_failAllocation.arm(1);
  EXPECT_EQ(psp_outputBuffPutBytes(out, run.data(), run.size()), PSP_OKAY);
  psp::testing::g_failAllocation.disarm();
  EXPECT_EQ(psp_outputBuffPutBytes(out, run.data(), 100), PSP_OKAY); // no growth is tried again
  EXPECT_EQ(psp_outputBuffFlush(out), PSP_OKAY);
  EXPECT_EQ(g_writes, std::vector<uint32_t>({4096, 4096, 1908}));
  psp_outputBuffDestroy(out);
  psp_term();
}

} // namespace
