// Variable-length integers: exact bytes at class boundaries, round trips and
// order, bad leads, failing callbacks, the 32-bit range, wrap, zig-zag.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "psp.h"

namespace {

using V = std::vector<uint8_t>;

struct Bytes {
  V data;
  size_t pos = 0;
  int failAt = -1; // byte index at which reading or writing fails
};

int emitTo(void *sink, int ch) {
  auto *b = static_cast<Bytes *>(sink);
  if (static_cast<int>(b->data.size()) == b->failAt)
    return -777;
  b->data.push_back(static_cast<uint8_t>(ch));
  return 0;
}

PSP_STATUS readFrom(void *ctx, uint8_t *byte) {
  auto *b = static_cast<Bytes *>(ctx);
  if (static_cast<int>(b->pos) == b->failAt)
    return -888;
  if (b->pos >= b->data.size())
    return PSP_ERR_ENDOFDATA;
  *byte = b->data[b->pos++];
  return PSP_OKAY;
}

V encode(uint64_t v) {
  Bytes b;
  EXPECT_EQ(psp_vintEncodeUIntmax(v, emitTo, &b), PSP_OKAY);
  return b.data;
}

uint64_t decode(V bytes) {
  Bytes b{std::move(bytes)};
  uint64_t v = 0xDEADBEEF;
  EXPECT_EQ(psp_vintDecodeUIntmax(readFrom, &b, &v), PSP_OKAY);
  EXPECT_EQ(b.pos, b.data.size()) << "decoder must consume exactly the encoding";
  return v;
}

TEST(Vint, ExactBytesRoundTripsAndOrder) {
  EXPECT_EQ(encode(300), V({0x80, 0xAC}));
  EXPECT_EQ(encode(1000000), V({0xCF, 0x01, 0xC0}));
  EXPECT_EQ(encode(4294967295u), V({0xE8, 0xF7, 0xDF, 0xBF, 0x7F}));
  EXPECT_EQ(encode(UINT64_MAX), V({0xFA, 0xFE, 0xFE, 0xF7, 0xF7, 0xF7, 0xDF, 0xBF, 0x7F}));
  // The largest value of each class (1, 2, ... 8 bytes), and the lead byte of
  // the next class, whose first value follows it with zero bytes.
  const uint64_t lastOfClass[] = {0x7F,        0x407F,        0x20407F,        0x820407F,
                                  0x80820407F, 0x8080820407F, 0x108080820407F, 0x10108080820407F};
  const uint8_t nextLead[] = {0x80, 0xC0, 0xE0, 0xE8, 0xF0, 0xF8, 0xF9, 0xFA};
  for (size_t length = 1; length <= 8; ++length) {
    uint64_t last = lastOfClass[length - 1];
    V below = encode(last), firstOfNext(length + 1, 0);
    firstOfNext[0] = nextLead[length - 1];
    EXPECT_EQ(below.size(), length) << std::hex << last;
    EXPECT_EQ(encode(last + 1), firstOfNext) << std::hex << last;
    EXPECT_EQ(decode(below), last);
    EXPECT_EQ(decode(firstOfNext), last + 1);
  }
  // Random values of every width round-trip, and byte order is value order.
  std::mt19937_64 rng(42);
  V previous;
  uint64_t previousValue = 0;
  for (int bits = 0; bits <= 64; ++bits)
    for (int i = 0; i < 40; ++i) {
      uint64_t v = bits == 64 ? rng() : rng() & ((uint64_t{1} << bits) - 1);
      V bytes = encode(v);
      ASSERT_EQ(decode(bytes), v);
      EXPECT_TRUE(previous.empty() || (previousValue < v) == (previous < bytes)) << v;
      previous = bytes;
      previousValue = v;
    }
}

TEST(Vint, FailuresStoreNothingRangeAndWrap) {
  // Invalid lead bytes: only that byte is read.
  for (int lead = 0xFB; lead <= 0xFF; ++lead) {
    Bytes b{{static_cast<uint8_t>(lead), 0, 0, 0}};
    uint64_t v = 99;
    uint32_t v32 = 99;
    EXPECT_EQ(psp_vintDecodeUIntmax(readFrom, &b, &v), PSP_ERR_VINT);
    EXPECT_EQ(b.pos, 1u);
    b.pos = 0;
    EXPECT_EQ(psp_vintDecodeUInt32(readFrom, &b, &v32), PSP_ERR_VINT);
    EXPECT_EQ(v + v32, 198u);
  }
  // A reader failing at any byte is passed through.
  V four = encode(2113664);
  for (int failAt = 0; failAt < 4; ++failAt) {
    Bytes b{four, 0, failAt};
    uint64_t v = 1234;
    EXPECT_EQ(psp_vintDecodeSize_t(readFrom, &b, &v), -888);
    EXPECT_EQ(v, 1234u);
  }
  // An emitter failing at any byte stops the encoding there.
  for (int failAt = 0; failAt < 9; ++failAt) {
    Bytes b;
    b.failAt = failAt;
    EXPECT_EQ(psp_vintEncodeUIntmax(UINT64_MAX, emitTo, &b), -777);
    EXPECT_EQ(b.data.size(), static_cast<size_t>(failAt));
  }
  // The 32-bit form refuses what does not fit; a nine-byte form wraps.
  Bytes fits{{0xE8, 0xF7, 0xDF, 0xBF, 0x7F}}, tooBig{{0xE8, 0xF7, 0xDF, 0xBF, 0x80}};
  uint32_t v32 = 0;
  EXPECT_EQ(psp_vintDecodeUInt32(readFrom, &fits, &v32), PSP_OKAY);
  EXPECT_EQ(v32, 4294967295u);
  EXPECT_EQ(psp_vintDecodeUInt32(readFrom, &tooBig, &v32), PSP_ERR_RANGE);
  EXPECT_EQ(v32, 4294967295u);
  EXPECT_EQ(decode({0xFA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0x10108080820407Full);
}

TEST(Vint, ZigZag) {
  const int64_t s[] = {0, -1, 1, -64, 63, INT64_MIN, INT64_MAX};
  const uint64_t u[] = {0, 1, 2, 127, 126, UINT64_MAX, UINT64_MAX - 1};
  for (size_t i = 0; i < std::size(s); ++i) {
    EXPECT_EQ(psp_vintConvertToUnsigned(s[i]), u[i]) << s[i];
    EXPECT_EQ(psp_vintConvertToSigned(u[i]), s[i]) << u[i];
  }
}

} // namespace
