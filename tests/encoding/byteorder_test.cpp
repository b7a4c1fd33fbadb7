// Byte order, bit scans, hexadecimal digits, rounding and float checks.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>

#include "psp.h"

namespace {

TEST(ByteOrder, EveryAliasReversesItsWidth) {
  uint8_t b2[2] = {1, 2};
  psp_swaporderInt16(b2);
  EXPECT_EQ(b2[0], 2);
  psp_swaporderUInt16(b2);
  EXPECT_EQ(b2[0], 1);

  void (*four[])(void *) = {psp_swaporderInt32, psp_swaporderUInt32, psp_swaporderFloat};
  for (auto swap : four) {
    uint8_t b[4] = {1, 2, 3, 4};
    swap(b);
    EXPECT_EQ(0, std::memcmp(b, "\x04\x03\x02\x01", 4));
  }
  void (*eight[])(void *) = {psp_swaporderInt64, psp_swaporderUInt64, psp_swaporderDouble};
  for (auto swap : eight) {
    // Unaligned storage must work too.
    uint8_t raw[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    swap(raw + 1);
    EXPECT_EQ(0, std::memcmp(raw, "\x00\x08\x07\x06\x05\x04\x03\x02\x01", 9));
  }
  double d = 1.5;
  psp_swaporderDouble(&d);
  psp_swaporderDouble(&d);
  EXPECT_EQ(d, 1.5);
}

TEST(Bits, FirstSet) {
  EXPECT_EQ(psp_bitFirstSet(0), 0u);
  EXPECT_EQ(psp_bitFirstSet(1), 1u);
  EXPECT_EQ(psp_bitFirstSet(0x100), 9u);
  EXPECT_EQ(psp_bitFirstSet(0xFFFF), 16u);
  EXPECT_EQ(psp_bitFirstSet(0x10000), 17u);
  EXPECT_EQ(psp_bitFirstSet(0x80000000u), 32u);
  EXPECT_EQ(psp_bitFirstSet64(0), 0u);
  EXPECT_EQ(psp_bitFirstSet64(0xFFFFFFFFu), 32u);
  EXPECT_EQ(psp_bitFirstSet64(0x100000000ull), 33u);
  EXPECT_EQ(psp_bitFirstSet64(UINT64_MAX), 64u);
  for (uint32_t bit = 0; bit < 64; ++bit)
    EXPECT_EQ(psp_bitFirstSet64((uint64_t{1} << bit) | 1), bit + 1);
}

TEST(Bits, Reverse64) {
  EXPECT_EQ(psp_bitReverse64(1), 0x8000000000000000ull);
  EXPECT_EQ(psp_bitReverse64(0x8000000000000000ull), 1u);
  EXPECT_EQ(psp_bitReverse64(0x00000000000000F1ull), 0x8F00000000000000ull);
  for (uint32_t bit = 0; bit < 64; ++bit)
    EXPECT_EQ(psp_bitReverse64(uint64_t{1} << bit), uint64_t{1} << (63 - bit));
  uint64_t v = 0x0123456789ABCDEFull;
  EXPECT_EQ(psp_bitReverse64(psp_bitReverse64(v)), v);
}

TEST(Bits, HexDigit) {
  const char *digits = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(psp_hexdigit(static_cast<uint8_t>(digits[i])), i);
    EXPECT_EQ(psp_hexdigit(static_cast<uint8_t>(std::toupper(digits[i]))), i);
  }
  for (int c : std::initializer_list<int>{'g', 'G', '/', ':', '@', '`', ' ', 0, 0xFF})
    EXPECT_EQ(psp_hexdigit(static_cast<uint8_t>(c)), 0xFF) << c;
}

TEST(Rounding, HalvesAwayFromZero) {
  EXPECT_EQ(psp_round(2.5), 3.0);
  EXPECT_EQ(psp_round(-2.5), -3.0);
  EXPECT_EQ(psp_round(2.4), 2.0);
  double negZero = psp_round(-0.4);
  EXPECT_EQ(negZero, 0.0);
  EXPECT_TRUE(std::signbit(negZero));
  EXPECT_TRUE(std::isnan(psp_round(std::nan(""))));
  EXPECT_EQ(psp_ceilf(1.25f), 2.0f);
  EXPECT_EQ(psp_floorf(-1.25f), -2.0f);
}

TEST(FloatChecks, Classification) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  uint32_t out = 77;

  EXPECT_EQ(psp_isnan(1.0, &out), 0u);
  EXPECT_EQ(out, 77u);
  EXPECT_EQ(psp_isnan(nan, &out), 1u);
  EXPECT_EQ(out, 1u);
  EXPECT_EQ(psp_isnan(-nan, &out), 1u);
  EXPECT_EQ(out, 0u);
  EXPECT_EQ(psp_isnanf(-std::numeric_limits<float>::quiet_NaN(), nullptr), 1u);
  EXPECT_EQ(psp_isnan(inf, nullptr), 0u);

  out = 77;
  EXPECT_EQ(psp_isinff(0.0f, &out), 0u);
  EXPECT_EQ(psp_isinff(std::numeric_limits<float>::denorm_min(), &out), 0u);
  EXPECT_EQ(out, 77u);
  EXPECT_EQ(psp_isinff(-std::numeric_limits<float>::infinity(), &out), 1u);
  EXPECT_EQ(out, 0u);
  EXPECT_EQ(psp_isinff(std::numeric_limits<float>::quiet_NaN(), &out), 1u);
  EXPECT_EQ(out, 1u);

  out = 77;
  EXPECT_EQ(psp_validateDouble(1.0, &out), 1u);
  EXPECT_EQ(out, 77u);
  EXPECT_EQ(psp_validateDouble(nan, &out), 0u);
  EXPECT_EQ(out, 1u);
  EXPECT_EQ(psp_validateDouble(-nan, &out), 0u);
  EXPECT_EQ(out, 2u);
  EXPECT_EQ(psp_validateDouble(inf, &out), 0u);
  EXPECT_EQ(out, 3u);
  EXPECT_EQ(psp_validateDouble(-inf, &out), 0u);
  EXPECT_EQ(out, 4u);
  EXPECT_EQ(psp_validateFloat(-std::numeric_limits<float>::infinity(), &out), 0u);
  EXPECT_EQ(out, 4u);
  EXPECT_EQ(psp_validateFloat(std::numeric_limits<float>::max(), nullptr), 1u);
}

} // namespace
