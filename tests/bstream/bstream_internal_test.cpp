// Allocation failures in the buffered streams: every site walked with and
// without a jump buffer on PSP_TAG_DEFAULT and on a string's tag. After each
// failure nothing is leaked, the buffers still work, and no byte put before
// the failure is lost; a buffer that cannot grow writes 4096 at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <vector>

#include "internal.h"
#include "../fault_walk.h"

namespace {

using psp::testing::g_failAllocation;
using psp::testing::leavesByJump;

std::vector<uint8_t> g_written;
std::vector<uint32_t> g_calls;

PSP_STATUS keep(void *, const uint8_t *p, uint32_t n) {
  g_written.insert(g_written.end(), p, p + n);
  g_calls.push_back(n);
  return PSP_OKAY;
}

PSP_STATUS replay(void *ctx, uint8_t *buf, uint32_t capacity, uint32_t *filled, uint32_t) {
  auto *pos = static_cast<size_t *>(ctx);
  size_t n = std::min<size_t>(capacity, g_written.size() - *pos);
  std::copy_n(g_written.begin() + *pos, n, buf);
  *pos += n;
  *filled = static_cast<uint32_t>(n);
  return n != 0 ? PSP_OKAY : PSP_ERR_ENDOFDATA;
}

uint64_t defaultTagInUse() {
  PSP_MEMINFO info;
  psp_getTagMemInfo(PSP_TAG_DEFAULT, &info);
  return info.counters[0];
}

TEST(BstreamFaultInternal, EverySiteWithAndWithoutJump) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  for (int armed = 0; armed <= 1; ++armed) {
    jmp_buf jump;
    psp_resetTag(armed ? &jump : nullptr, PSP_TAG_DEFAULT);
    PSP_MEMTAG strings =
        psp_createTagEx(armed ? &jump : nullptr, 0, PSP_TAGKIND_MALLOC, nullptr, nullptr);
    const uint64_t base = defaultTagInUse();
    PSP_OUTPUT_BUFF out;
    PSP_INPUT_BUFF in;
    size_t pos;
    char *text;
    psp::testing::walk(
        g_failAllocation,
        [&] {
          out = nullptr, in = nullptr, text = nullptr, pos = 0;
          g_written.clear();
          leavesByJump(jump, [&] {
            if (psp_outputBuffCreate(keep, nullptr, 0, &out) != PSP_OKAY)
              return;
            for (uint32_t i = 0; i < 10000; ++i)
              psp_outputBuffPutInt32(out, i);
            psp_outputBuffPutStringWithLength(out, "after the numbers");
            if (psp_inputBuffCreate(replay, &pos, 0, &in) != PSP_OKAY)
              return;
            psp_outputBuffFlush(out);
            psp_inputBuffGetBytes(in, nullptr, 40000);
            psp_inputBuffGetString(in, &text, strings);
          });
          if (out != nullptr) {
            // Whatever was put before a failure or a jump reaches the callback.
            ASSERT_EQ(psp_outputBuffFlush(out), PSP_OKAY);
            for (uint32_t i = 0; i < g_written.size() / 4 && i < 10000; ++i)
              ASSERT_EQ(reinterpret_cast<uint32_t *>(g_written.data())[i], i);
          }
          if (text != nullptr) {
            EXPECT_STREQ(text, "after the numbers");
          }
          psp_freeMem(text, strings, "t", 1);
          psp_outputBuffDestroy(out);
          psp_inputBuffDestroy(in);
        },
        [&] { EXPECT_EQ(defaultTagInUse(), base); });
    psp_resetTag(nullptr, PSP_TAG_DEFAULT);
    psp_freeTagMem(strings, 1, "t", 1);
  }
  psp_term();
}

TEST(BstreamFaultInternal, BufferThatCannotGrowWritesWhatItHas) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_OUTPUT_BUFF out = nullptr;
  ASSERT_EQ(psp_outputBuffCreate(keep, nullptr, 0, &out), PSP_OKAY);
  g_written.clear();
  g_calls.clear();
  std::vector<uint8_t> run(10000, 5);
  g_failAllocation.arm(1);
  EXPECT_EQ(psp_outputBuffPutBytes(out, run.data(), run.size()), PSP_OKAY);
  g_failAllocation.disarm();
  EXPECT_EQ(psp_outputBuffPutBytes(out, run.data(), 100), PSP_OKAY); // no growth is tried again
  EXPECT_EQ(psp_outputBuffFlush(out), PSP_OKAY);
  EXPECT_EQ(g_calls, std::vector<uint32_t>({4096, 4096, 1908}));
  EXPECT_EQ(g_written.size(), 10100u);
  psp_outputBuffDestroy(out);
  psp_term();
}

} // namespace
