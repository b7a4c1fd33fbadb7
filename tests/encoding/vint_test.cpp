// Variable-length integers: exact bytes at every class boundary, round trips
// and ordering, invalid lead bytes, reader and emitter failures, the 32-bit
// range check, the non-canonical wrap, zig-zag extremes.
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

TEST(Vint, ExactBytesAtEveryClassBoundary) {
  EXPECT_EQ(encode(300), V({0x80, 0xAC}));
  EXPECT_EQ(encode(1000000), V({0xCF, 0x01, 0xC0}));
  EXPECT_EQ(encode(4294967295u), V({0xE8, 0xF7, 0xDF, 0xBF, 0x7F}));
  EXPECT_EQ(encode(UINT64_MAX), V({0xFA, 0xFE, 0xFE, 0xF7, 0xF7, 0xF7, 0xDF, 0xBF, 0x7F}));
  // Largest value of each class, and the lead byte the next class starts with.
  const struct {
    uint64_t last;
    size_t length;
    uint8_t nextLead;
  } edges[] = {{0x7F, 1, 0x80},
               {0x407F, 2, 0xC0},
               {0x20407F, 3, 0xE0},
               {0x820407F, 4, 0xE8},
               {0x80820407F, 5, 0xF0},
               {0x8080820407F, 6, 0xF8},
               {0x108080820407F, 7, 0xF9},
               {0x10108080820407F, 8, 0xFA}};
  for (const auto &e : edges) {
    V below = encode(e.last), above = encode(e.last + 1);
    ASSERT_EQ(below.size(), e.length) << std::hex << e.last;
    ASSERT_EQ(above.size(), e.length + 1) << std::hex << e.last;
    V firstOfNext(e.length + 1, 0); // the first value of a class encodes w = 0
    firstOfNext[0] = e.nextLead;
    EXPECT_EQ(above, firstOfNext);
    EXPECT_EQ(decode(below), e.last);
    EXPECT_EQ(decode(above), e.last + 1);
  }
}

TEST(Vint, RoundTripAndByteOrderMatchesValueOrder) {
  std::mt19937_64 rng(42);
  V previous;
  uint64_t previousValue = 0;
  for (int bits = 0; bits <= 64; ++bits)
    for (int i = 0; i < 40; ++i) {
      uint64_t v = bits == 64 ? rng() : rng() & ((uint64_t{1} << bits) - 1);
      V bytes = encode(v);
      ASSERT_EQ(decode(bytes), v);
      if (!previous.empty()) {
        EXPECT_EQ(previousValue < v, previous < bytes) << v;
      }
      previous = bytes;
      previousValue = v;
    }
}

TEST(Vint, FailuresStoreNothing) {
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
}

TEST(Vint, Decode32RangeAndNonCanonicalWrap) {
  Bytes fits{{0xE8, 0xF7, 0xDF, 0xBF, 0x7F}}, tooBig{{0xE8, 0xF7, 0xDF, 0xBF, 0x80}};
  uint32_t v32 = 0;
  EXPECT_EQ(psp_vintDecodeUInt32(readFrom, &fits, &v32), PSP_OKAY);
  EXPECT_EQ(v32, 4294967295u);
  EXPECT_EQ(psp_vintDecodeUInt32(readFrom, &tooBig, &v32), PSP_ERR_RANGE);
  EXPECT_EQ(v32, 4294967295u);
  EXPECT_EQ(decode({0xFA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0x10108080820407Full);
}

TEST(Vint, ZigZag) {
  const struct {
    int64_t s;
    uint64_t u;
  } pairs[] = {{0, 0},
               {-1, 1},
               {1, 2},
               {-64, 127},
               {63, 126},
               {INT64_MIN, UINT64_MAX},
               {INT64_MAX, UINT64_MAX - 1}};
  for (auto p : pairs) {
    EXPECT_EQ(psp_vintConvertToUnsigned(p.s), p.u) << p.s;
    EXPECT_EQ(psp_vintConvertToSigned(p.u), p.s) << p.u;
  }
}

} // namespace
