// Buffered binary streams through psp.h only.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "pipe.h"

namespace {

using V = std::vector<uint8_t>;
using W = std::vector<uint32_t>;

// Both ends of a pipe; the library is initialised while they live.
struct Ends {
  Pipe pipe;
  PSP_OUTPUT_BUFF out = nullptr;
  PSP_INPUT_BUFF in = nullptr;
  explicit Ends(uint16_t swap) {
    EXPECT_EQ(psp_init(), PSP_OKAY);
    EXPECT_EQ(psp_outputBuffCreate(pipeWrite, &pipe, swap, &out), PSP_OKAY);
    EXPECT_EQ(psp_inputBuffCreate(pipeRead, &pipe, swap, &in), PSP_OKAY);
  }
  ~Ends() {
    psp_outputBuffDestroy(out);
    psp_inputBuffDestroy(in);
    psp_term();
  }
};

TEST(Bstream, ExactBytesUnderBothOrders) {
  const V host = {0xAB, 2,    1,    4,    3, 2, 1, 8, 7, 6, 5, 4,    3,   2,   1,
                  0,    0,    0x80, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0xC0, 'a', 'b', 0xFF,
                  0xFF, 0xFF, 0xFF, 0,    0, 0, 0, 2, 0, 0, 0, 'h',  'i'};
  const V swapped = {0xAB, 1,    2,    1, 2,    3, 4, 1, 2, 3, 4, 5,   6,   7,   8,
                     0x3F, 0x80, 0,    0, 0xC0, 0, 0, 0, 0, 0, 0, 0,   'a', 'b', 0xFF,
                     0xFF, 0xFF, 0xFF, 0, 0,    0, 0, 0, 0, 0, 2, 'h', 'i'};
  for (uint16_t swap : {0, 1}) {
    Ends e(swap);
    psp_outputBuffPutChar(e.out, 0xAB);
    psp_outputBuffPutInt16(e.out, 0x0102);
    psp_outputBuffPutInt32(e.out, 0x01020304);
    psp_outputBuffPutInt64(e.out, 0x0102030405060708);
    psp_outputBuffPutFloat32(e.out, 1.0f);
    psp_outputBuffPutFloat64(e.out, -2.0);
    psp_outputBuffPutString(e.out, "ab");
    psp_outputBuffPutString(e.out, "");
    psp_outputBuffPutStringWithLength(e.out, nullptr);
    psp_outputBuffPutStringWithLength(e.out, "");
    psp_outputBuffPutStringWithLength(e.out, "hi");
    EXPECT_TRUE(e.pipe.writes.empty()); // all buffered until the flush
    EXPECT_EQ(psp_outputBuffFlush(e.out), PSP_OKAY);
    EXPECT_EQ(e.pipe.bytes, swap ? swapped : host);
  }
}

TEST(Bstream, RandomRoundTripsReadBackAnyBytesAtATime) {
  std::mt19937_64 rng(42);
  for (uint16_t swap : {0, 1}) {
    Ends e(swap);
    std::vector<std::pair<int, uint64_t>> items(3000);
    for (auto &[kind, n] : items) {
      kind = static_cast<int>(rng() % 7), n = rng();
      if (kind == 4) // texts longer than a buffer now and then
        n = n % 8 == 0 ? n % 70000 : n % 40;
      ASSERT_EQ(kind == 4   ? psp_outputBuffPutStringWithLength(e.out, std::string(n, 'q').c_str())
                : kind == 5 ? psp_outputBuffPutFloat64(e.out, std::bit_cast<double>(n))
                : kind == 6 ? psp_outputBuffPutChar(e.out, static_cast<uint8_t>(n))
                : kind == 1 ? psp_outputBuffPutInt16(e.out, static_cast<uint16_t>(n))
                : kind == 2 ? psp_outputBuffPutInt32(e.out, static_cast<uint32_t>(n))
                            : psp_outputBuffPutInt64(e.out, n),
                PSP_OKAY);
    }
    ASSERT_EQ(psp_outputBuffFlush(e.out), PSP_OKAY);
    for (uint32_t chunk : {1u, 4096u}) {
      e.pipe.pos = 0, e.pipe.chunk = chunk;
      psp_inputBuffReset(e.in);
      for (auto [kind, n] : items) {
        uint64_t got = 0;
        char *text = nullptr;
        ASSERT_EQ(kind == 4 ? psp_inputBuffGetString(e.in, &text, PSP_TAG_THREAD)
                  : kind >= 5
                      ? (kind == 5 ? psp_inputBuffGetFloat64 : psp_inputBuffGetChar)(e.in, &got)
                  : kind == 1 ? psp_inputBuffGetInt16(e.in, &got)
                  : kind == 2 ? psp_inputBuffGetInt32(e.in, &got)
                              : psp_inputBuffGetInt64(e.in, &got),
                  PSP_OKAY);
        const uint64_t masks[] = {~0ull, 0xFFFF, 0xFFFFFFFF, ~0ull, 0, ~0ull, 0xFF};
        ASSERT_EQ(got, n & masks[kind]) << "swap " << swap << " chunk " << chunk;
        ASSERT_EQ(text ? std::string(text) : "", std::string(kind == 4 ? n : 0, 'q'));
        psp_freeMem(text, PSP_TAG_THREAD, "t", 1);
      }
      EXPECT_EQ(psp_inputBuffGetInt16(e.in, nullptr), PSP_ERR_ENDOFDATA);
    }
  }
}

TEST(Bstream, GrowsTo32KThenWritesWholeBuffers) {
  Ends e(0);
  for (int i = 0; i < 40000; ++i)
    ASSERT_EQ(psp_outputBuffPutChar(e.out, static_cast<uint8_t>(i)), PSP_OKAY);
  EXPECT_EQ(e.pipe.writes, W({31744}));
  EXPECT_EQ(psp_outputBuffFlush(e.out), PSP_OKAY);
  EXPECT_EQ(psp_outputBuffFlush(e.out), PSP_OKAY); // nothing left: no call
  V run(100000, 7);
  EXPECT_EQ(psp_outputBuffPutBytes(e.out, run.data(), run.size()), PSP_OKAY);
  EXPECT_EQ(psp_outputBuffFlush(e.out), PSP_OKAY);
  EXPECT_EQ(e.pipe.writes, W({31744, 8256, 32768, 32768, 32768, 1696}));
  EXPECT_EQ(e.pipe.bytes[39999], static_cast<uint8_t>(39999));
  EXPECT_EQ(e.pipe.bytes.size(), 140000u);
}

TEST(Bstream, FailingCallbacksLoseNothingAndLeaveNoHalfValue) {
  Ends e(1);
  e.pipe.okWrites = 1;
  std::vector<uint32_t> accepted;
  for (uint32_t i = 0; i < 30000; ++i)
    if (psp_outputBuffPutInt32(e.out, i) == PSP_OKAY)
      accepted.push_back(i);
  EXPECT_EQ(psp_outputBuffFlush(e.out), -777);
  EXPECT_EQ(accepted.size(), 16128u); // 31744 bytes written, then a full buffer kept
  e.pipe.okWrites = -1;
  ASSERT_EQ(psp_outputBuffFlush(e.out), PSP_OKAY);
  e.pipe.failAt = 4 * accepted.size() - 2;
  uint32_t got = 0xEEEE;
  for (uint32_t want : accepted)
    if (psp_inputBuffGetInt32(e.in, &got) == PSP_OKAY) {
      ASSERT_EQ(got, want);
    }
  EXPECT_EQ(got, accepted[accepted.size() - 2]); // the failed get stored nothing
  e.pipe.failAt = SIZE_MAX;
  EXPECT_EQ(psp_inputBuffGetInt16(e.in, &got), PSP_OKAY); // the bytes taken stay taken
  EXPECT_EQ(psp_inputBuffGetChar(e.in, nullptr), PSP_ERR_ENDOFDATA);
}

TEST(Bstream, StringsTruncatedNullEmptySkippedAndDirectSends) {
  Ends e(0);
  for (const char *s : {"0123456789", (const char *)nullptr, "", "skipped", "abc"})
    psp_outputBuffPutStringWithLength(e.out, s);
  psp_outputBuffPutChar(e.out, '!');
  psp_outputBuffFlush(e.out);
  char buf[5] = "????";
  EXPECT_EQ(psp_inputBuffGetStringWithLength(e.in, buf, sizeof buf), PSP_ERR_TRUNCATED);
  EXPECT_STREQ(buf, "0123");
  char *got[2] = {buf, buf};
  for (char *&s : got)
    EXPECT_EQ(psp_inputBuffGetString(e.in, &s, PSP_TAG_THREAD), PSP_OKAY);
  EXPECT_EQ(got[0], nullptr);
  EXPECT_STREQ(got[1] != nullptr ? got[1] : "NULL", "");
  psp_freeMem(got[1], PSP_TAG_THREAD, "t", 1);
  EXPECT_EQ(psp_inputBuffGetString(e.in, nullptr, PSP_TAG_DEFAULT), PSP_OKAY);
  EXPECT_EQ(psp_inputBuffGetStringWithLength(e.in, buf, 0), PSP_ERR_TRUNCATED);
  uint8_t bang = 0;
  EXPECT_EQ(psp_inputBuffGetChar(e.in, &bang), PSP_OKAY);
  EXPECT_EQ(bang, '!');

  // A direct send flushes what is buffered first and hands over the caller's bytes.
  e.pipe.writes.clear();
  V block(100000, 9);
  psp_outputBuffPutString(e.out, "abc");
  EXPECT_EQ(psp_outputBuffSendDirect(e.out, block.data(), 0), PSP_OKAY);
  EXPECT_TRUE(e.pipe.writes.empty()); // nothing sent, not even a flush
  EXPECT_EQ(psp_outputBuffPutBytes(e.out, nullptr, 0), PSP_OKAY);
  EXPECT_EQ(psp_outputBuffSendDirect(e.out, block.data(), block.size()), PSP_OKAY);
  EXPECT_EQ(e.pipe.writes, W({3, 100000}));
  EXPECT_EQ(e.pipe.lastSource, block.data());
  psp_outputBuffPutString(e.out, "d");
  e.pipe.okWrites = 0;
  EXPECT_EQ(psp_outputBuffSendDirect(e.out, block.data(), 1), -777);
}

TEST(BstreamPlain, AlignmentBeforeInitAndNullHandles) {
  const uint32_t fives[] = {5, 6, 6, 8, 8, 8, 8, 5, 5};
  for (int32_t kind = 0; kind < 9; ++kind)
    EXPECT_EQ(psp_align(5, kind), fives[kind]) << kind;
  EXPECT_EQ(psp_align(16, 5), 16u);
  EXPECT_EQ(psp_alignBufferSize(9), 16u);
  EXPECT_EQ(psp_alignBufferSize(16), 16u);
  auto in = reinterpret_cast<PSP_INPUT_BUFF>(8);
  EXPECT_EQ(psp_inputBuffCreate(pipeRead, nullptr, 0, &in), PSP_ERR_NOMEMORY);
  EXPECT_EQ(in, reinterpret_cast<PSP_INPUT_BUFF>(8));
  EXPECT_EQ(psp_inputBuffGetInt32(nullptr, nullptr), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_outputBuffPutInt64(nullptr, 1), PSP_ERR_INVALIDPARAM);
  psp_outputBuffDestroy(nullptr);
}

} // namespace
