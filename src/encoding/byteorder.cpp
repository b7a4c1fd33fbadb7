// byteorder.cpp - byte-order reversal, bit scans, hexadecimal digits,
// rounding and float classification.
//
// Pure functions: no state, no allocation, no lock; they work before psp_init.
// The swaps take a pointer to unaligned storage and reverse it in place.
#include "internal.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace {

template <typename T> void reverseInPlace(void *value) {
  T v;
  std::memcpy(&v, value, sizeof v);
  if constexpr (sizeof(T) == 2)
    v = static_cast<T>((v >> 8) | (v << 8));
  else if constexpr (sizeof(T) == 4)
    v = __builtin_bswap32(v);
  else
    v = __builtin_bswap64(v);
  std::memcpy(value, &v, sizeof v);
}

// Stores the sign of a non-finite value: 1 for sign bit clear, 0 for set.
uint32_t storeSign(bool negative, uint32_t *positive) {
  if (positive != nullptr)
    *positive = negative ? 0 : 1;
  return 1;
}

uint32_t validate(double value, uint32_t *kind) {
  if (std::isfinite(value))
    return 1;
  if (kind != nullptr) {
    bool negative = std::signbit(value);
    if (std::isnan(value))
      *kind = negative ? 2 : 1;
    else
      *kind = negative ? 4 : 3;
  }
  return 0;
}

} // namespace

PSP_API void psp_swaporderInt16(void *value) { reverseInPlace<uint16_t>(value); }
PSP_API void psp_swaporderUInt16(void *value) { reverseInPlace<uint16_t>(value); }
PSP_API void psp_swaporderInt32(void *value) { reverseInPlace<uint32_t>(value); }
PSP_API void psp_swaporderUInt32(void *value) { reverseInPlace<uint32_t>(value); }
PSP_API void psp_swaporderFloat(void *value) { reverseInPlace<uint32_t>(value); }
PSP_API void psp_swaporderInt64(void *value) { reverseInPlace<uint64_t>(value); }
PSP_API void psp_swaporderUInt64(void *value) { reverseInPlace<uint64_t>(value); }
PSP_API void psp_swaporderDouble(void *value) { reverseInPlace<uint64_t>(value); }

PSP_API uint32_t psp_bitFirstSet(uint32_t value) {
  return static_cast<uint32_t>(std::bit_width(value));
}

PSP_API uint32_t psp_bitFirstSet64(uint64_t value) {
  return static_cast<uint32_t>(std::bit_width(value));
}

PSP_API uint64_t psp_bitReverse64(uint64_t v) {
  v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
  v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
  v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
  v = ((v >> 8) & 0x00FF00FF00FF00FFull) | ((v & 0x00FF00FF00FF00FFull) << 8);
  v = ((v >> 16) & 0x0000FFFF0000FFFFull) | ((v & 0x0000FFFF0000FFFFull) << 16);
  return std::rotl(v, 32);
}

PSP_API uint8_t psp_hexdigit(uint8_t ch) {
  if (ch >= '0' && ch <= '9')
    return static_cast<uint8_t>(ch - '0');
  if (ch >= 'a' && ch <= 'f')
    return static_cast<uint8_t>(ch - 'a' + 10);
  if (ch >= 'A' && ch <= 'F')
    return static_cast<uint8_t>(ch - 'A' + 10);
  return 0xFF;
}

PSP_API double psp_round(double value) {
  // Halves away from zero; a NaN takes the second branch and stays NaN.
  return value >= 0.0 ? std::floor(value + 0.5) : std::ceil(value - 0.5);
}

PSP_API float psp_ceilf(float value) { return std::ceil(value); }
PSP_API float psp_floorf(float value) { return std::floor(value); }

PSP_API uint32_t psp_isnanf(float value, uint32_t *positive) {
  return psp_isnan(static_cast<double>(value), positive);
}

PSP_API uint32_t psp_isnan(double value, uint32_t *positive) {
  if (!std::isnan(value))
    return 0;
  return storeSign(std::signbit(value), positive);
}

PSP_API uint32_t psp_isinff(float value, uint32_t *positive) {
  double wide = value;
  if (std::isfinite(wide))
    return 0;
  return storeSign(std::signbit(wide), positive);
}

PSP_API uint32_t psp_validateFloat(float value, uint32_t *kind) {
  return validate(static_cast<double>(value), kind);
}

PSP_API uint32_t psp_validateDouble(double value, uint32_t *kind) { return validate(value, kind); }
