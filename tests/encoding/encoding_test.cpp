// Byte order, bits, hex digits, floats, and variable-length integers.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "psp.h"

namespace {

TEST(ByteOrder, EveryAliasReversesItsWidthInPlace) {
  const std::pair<void (*)(void *), size_t> cases[] = {
      {psp_swaporderInt16, 2},  {psp_swaporderUInt16, 2}, {psp_swaporderInt32, 4},
      {psp_swaporderUInt32, 4}, {psp_swaporderFloat, 4},  {psp_swaporderInt64, 8},
      {psp_swaporderUInt64, 8}, {psp_swaporderDouble, 8}};
  for (const auto &[swap, width] : cases) {
    uint8_t raw[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    swap(raw + 1); // unaligned on purpose; only its width changes
    for (size_t i = 0; i < 10; ++i)
      EXPECT_EQ(raw[i], i >= 1 && i <= width ? width + 1 - i : i) << width << " at " << i;
  }
}

TEST(Bits, FirstSetReverseAndHexDigits) {
  EXPECT_EQ(psp_bitFirstSet(0) + psp_bitFirstSet64(0), 0u);
  for (uint32_t bit = 0; bit < 64; ++bit) {
    uint64_t v = uint64_t{1} << bit;
    EXPECT_EQ(psp_bitFirstSet64(v | 1), bit + 1);
    EXPECT_EQ(psp_bitFirstSet(static_cast<uint32_t>(v) | 1), bit < 32 ? bit + 1 : 1);
    EXPECT_EQ(psp_bitReverse64(v), uint64_t{1} << (63 - bit));
  }
  EXPECT_EQ(psp_bitReverse64(0xF1), 0x8F00000000000000ull);
  const std::string digits = "0123456789abcdef0123456789ABCDEF";
  for (int c = 0; c < 256; ++c) { // every byte: its value as a hex digit, or 0xFF
    const size_t at = digits.find(static_cast<char>(c));
    EXPECT_EQ(psp_hexdigit(static_cast<uint8_t>(c)), at == std::string::npos ? 0xFF : at % 16) << c;
  }
}

TEST(Floats, RoundingHalvesAwayFromZeroAndClassification) {
  for (auto [in, out] : {std::pair{2.5, 3.0}, {-2.5, -3.0}, {2.4, 2.0}})
    EXPECT_EQ(psp_round(in), out) << in;
  EXPECT_TRUE(std::signbit(psp_round(-0.4)));
  EXPECT_TRUE(std::isnan(psp_round(std::nan(""))));
  EXPECT_EQ(psp_ceilf(1.25f) + psp_floorf(-1.25f), 0.0f);
  // Classifications store their answer only where it is stated (77: untouched).
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const struct {
    double v;
    uint32_t isnan, isinf, valid, sign, kind;
  } cases[] = {{1.0, 0, 0, 1, 0, 0}, {0.0, 0, 0, 1, 0, 0},  {4.9e-324, 0, 0, 1, 0, 0},
               {nan, 1, 1, 0, 1, 1}, {-nan, 1, 1, 0, 0, 2}, {inf, 0, 1, 0, 1, 3},
               {-inf, 0, 1, 0, 0, 4}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.v);
    uint32_t o[3] = {77, 77, 77};
    EXPECT_EQ(psp_isnan(c.v, &o[0]), c.isnan);
    EXPECT_EQ(psp_isinff(static_cast<float>(c.v), &o[1]), c.isinf);
    EXPECT_EQ(psp_validateDouble(c.v, &o[2]), c.valid);
    EXPECT_EQ(std::vector<uint32_t>(o, o + 3),
              (std::vector<uint32_t>{c.isnan ? c.sign : 77, c.isinf ? c.sign : 77,
                                     c.valid ? 77 : c.kind}));
    EXPECT_EQ(psp_validateFloat(static_cast<float>(c.v), &o[2]), c.valid);
    EXPECT_EQ(psp_isnanf(static_cast<float>(c.v), nullptr), c.isnan);
  }
}

using V = std::vector<uint8_t>;

struct Bytes {
  V data;
  size_t pos = 0, failAt = SIZE_MAX; // byte index at which reading or writing fails
};

int emitTo(void *sink, int ch) {
  auto *b = static_cast<Bytes *>(sink);
  if (b->data.size() == b->failAt)
    return -777;
  b->data.push_back(static_cast<uint8_t>(ch));
  return 0;
}

PSP_STATUS readFrom(void *ctx, uint8_t *byte) {
  auto *b = static_cast<Bytes *>(ctx);
  if (b->pos == b->failAt)
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
      previous = bytes, previousValue = v;
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
  // A reader or an emitter failing at any byte is passed through, and stops
  // the encoding there.
  for (size_t failAt = 0; failAt < 9; ++failAt) {
    Bytes in{encode(2113664), 0, failAt}, out{{}, 0, failAt};
    uint64_t v = 1234;
    if (failAt < 4) {
      EXPECT_EQ(psp_vintDecodeSize_t(readFrom, &in, &v), -888);
      EXPECT_EQ(v, 1234u);
    }
    EXPECT_EQ(psp_vintEncodeUIntmax(UINT64_MAX, emitTo, &out), -777);
    EXPECT_EQ(out.data.size(), failAt);
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
  const int64_t signedValues[] = {0, -1, 1, -64, 63, INT64_MIN, INT64_MAX};
  const uint64_t unsignedValues[] = {0, 1, 2, 127, 126, UINT64_MAX, UINT64_MAX - 1};
  for (size_t i = 0; i < std::size(signedValues); ++i) {
    EXPECT_EQ(psp_vintConvertToUnsigned(signedValues[i]), unsignedValues[i]) << signedValues[i];
    EXPECT_EQ(psp_vintConvertToSigned(unsignedValues[i]), signedValues[i]) << unsignedValues[i];
  }
}

} // namespace
