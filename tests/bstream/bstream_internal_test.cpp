// Allocation failures in the buffered streams, every site with and without a
// jump buffer: nothing leaked, no byte put before the failure lost; a buffer
// that cannot grow writes what it has, 4096 bytes at a time.
#include <gtest/gtest.h>

#include <csetjmp>
#include <vector>

#include "internal.h"
#include "../fault_walk.h"
#include "../text/bytes_in_use.h"
#include "pipe.h"

namespace {

TEST(BstreamFaultInternal, EverySiteWithAndWithoutJump) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  for (jmp_buf *jump : {static_cast<jmp_buf *>(nullptr), new jmp_buf[1]}) {
    psp_resetTag(jump, PSP_TAG_DEFAULT);
    PSP_MEMTAG strings = psp_createTagEx(jump, 0, PSP_TAGKIND_MALLOC, nullptr, nullptr);
    const uint64_t base = bytesInUse(PSP_TAG_DEFAULT);
    PSP_OUTPUT_BUFF out;
    PSP_INPUT_BUFF in;
    Pipe pipe;
    char *text;
    jmp_buf unused;
    auto op = [&] {
      out = nullptr, in = nullptr, text = nullptr, pipe = {};
      psp::testing::leavesByJump(jump ? *jump : unused, [&] {
        if (psp_outputBuffCreate(pipeWrite, &pipe, 0, &out) != PSP_OKAY)
          return;
        for (uint32_t i = 0; i < 10000; ++i)
          psp_outputBuffPutInt32(out, i);
        psp_outputBuffPutStringWithLength(out, "after the numbers");
        if (psp_inputBuffCreate(pipeRead, &pipe, 0, &in) == PSP_OKAY && !psp_outputBuffFlush(out) &&
            !psp_inputBuffGetBytes(in, nullptr, 40000))
          psp_inputBuffGetString(in, &text, strings);
      });
      // Whatever was put before a failure or a jump reaches the callback.
      EXPECT_EQ(psp_outputBuffFlush(out), out ? PSP_OKAY : PSP_ERR_INVALIDPARAM);
      for (uint32_t i = 0; i < pipe.bytes.size() / 4 && i < 10000; ++i)
        ASSERT_EQ(reinterpret_cast<uint32_t *>(pipe.bytes.data())[i], i);
      EXPECT_STREQ(text ? text : "after the numbers", "after the numbers");
      psp_freeMem(text, strings, "t", 1);
      psp_outputBuffDestroy(out);
      psp_inputBuffDestroy(in);
    };
    psp::testing::walk(psp::testing::g_failAllocation, op,
                       [&] { EXPECT_EQ(bytesInUse(PSP_TAG_DEFAULT), base); });
    psp_resetTag(nullptr, PSP_TAG_DEFAULT);
    psp_freeTagMem(strings, 1, "t", 1);
    delete[] jump;
  }
  psp_term();
}

TEST(BstreamFaultInternal, BufferThatCannotGrowWritesWhatItHas) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_OUTPUT_BUFF out = nullptr;
  Pipe pipe;
  ASSERT_EQ(psp_outputBuffCreate(pipeWrite, &pipe, 0, &out), PSP_OKAY);
  std::vector<uint8_t> run(10000, 5);
  psp::testing::g_failAllocation.arm(1);
  EXPECT_EQ(psp_outputBuffPutBytes(out, run.data(), run.size()), PSP_OKAY);
  psp::testing::g_failAllocation.disarm();
  EXPECT_EQ(psp_outputBuffPutBytes(out, run.data(), 100), PSP_OKAY); // no growth is tried again
  EXPECT_EQ(psp_outputBuffFlush(out), PSP_OKAY);
  EXPECT_EQ(pipe.writes, std::vector<uint32_t>({4096, 4096, 1908}));
  psp_outputBuffDestroy(out);
  psp_term();
}

} // namespace
