// Byte order, bit scans, hex digits, rounding and float checks.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "psp.h"

namespace {

TEST(ByteOrder, EveryAliasReversesItsWidthInPlace) {
  struct Case {
    void (*swap)(void *);
    size_t width;
  } cases[] = {{psp_swaporderInt16, 2},  {psp_swaporderUInt16, 2}, {psp_swaporderInt32, 4},
               {psp_swaporderUInt32, 4}, {psp_swaporderFloat, 4},  {psp_swaporderInt64, 8},
               {psp_swaporderUInt64, 8}, {psp_swaporderDouble, 8}};
  for (const Case &c : cases) {
    uint8_t raw[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    c.swap(raw + 1); // unaligned on purpose
    EXPECT_EQ(raw[0], 0);
    for (size_t i = 0; i < c.width; ++i)
      EXPECT_EQ(raw[1 + i], c.width - i) << c.width;
    EXPECT_EQ(raw[1 + c.width], 1 + c.width) << "touches only its width";
  }
}

TEST(Bits, FirstSetReverseAndHexDigits) {
  EXPECT_EQ(psp_bitFirstSet(0), 0u);
  EXPECT_EQ(psp_bitFirstSet(0x100), 9u);
  EXPECT_EQ(psp_bitFirstSet64(0), 0u);
  for (uint32_t bit = 0; bit < 64; ++bit) {
    uint64_t v = uint64_t{1} << bit;
    EXPECT_EQ(psp_bitFirstSet64(v | 1), bit + 1);
    if (bit < 32) {
      EXPECT_EQ(psp_bitFirstSet(static_cast<uint32_t>(v) | 1), bit + 1);
    }
    EXPECT_EQ(psp_bitReverse64(v), uint64_t{1} << (63 - bit));
  }
  EXPECT_EQ(psp_bitReverse64(0x00000000000000F1ull), 0x8F00000000000000ull);
  const char *digits = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(psp_hexdigit(static_cast<uint8_t>(digits[i])), i);
    EXPECT_EQ(psp_hexdigit(static_cast<uint8_t>(std::toupper(digits[i]))), i);
  }
  for (int c : std::initializer_list<int>{'g', 'G', '/', ':', '@', '`', 0, 0xFF})
    EXPECT_EQ(psp_hexdigit(static_cast<uint8_t>(c)), 0xFF) << c;
}

TEST(Floats, RoundingHalvesAwayFromZeroAndClassification) {
  for (auto [in, out] : {std::pair{2.5, 3.0}, {-2.5, -3.0}, {2.4, 2.0}})
    EXPECT_EQ(psp_round(in), out) << in;
  EXPECT_TRUE(std::signbit(psp_round(-0.4)));
  EXPECT_TRUE(std::isnan(psp_round(std::nan(""))));
  EXPECT_EQ(psp_ceilf(1.25f), 2.0f);
  EXPECT_EQ(psp_floorf(-1.25f), -2.0f);
  // Classifications store their answer only where it is stated.
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double v;
    uint32_t isnan, isinf, valid, sign, kind;
  } cases[] = {
      {1.0, 0, 0, 1, 0, 0},  {0.0, 0, 0, 1, 0, 0}, {4.9e-324, 0, 0, 1, 0, 0}, {nan, 1, 1, 0, 1, 1},
      {-nan, 1, 1, 0, 0, 2}, {inf, 0, 1, 0, 1, 3}, {-inf, 0, 1, 0, 0, 4},
  };
  for (const Case &c : cases) {
    uint32_t out = 77;
    EXPECT_EQ(psp_isnan(c.v, &out), c.isnan) << c.v;
    EXPECT_EQ(out, c.isnan ? c.sign : 77u) << c.v;
    out = 77;
    EXPECT_EQ(psp_isinff(static_cast<float>(c.v), &out), c.isinf) << c.v;
    EXPECT_EQ(out, c.isinf ? c.sign : 77u) << c.v;
    out = 77;
    EXPECT_EQ(psp_validateDouble(c.v, &out), c.valid) << c.v;
    EXPECT_EQ(out, c.valid ? 77u : c.kind) << c.v;
    out = 77;
    EXPECT_EQ(psp_validateFloat(static_cast<float>(c.v), &out), c.valid) << c.v;
    EXPECT_EQ(psp_isnanf(static_cast<float>(c.v), nullptr), c.isnan);
  }
}

} // namespace
