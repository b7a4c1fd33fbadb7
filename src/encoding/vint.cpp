// vint.cpp - the variable-length integer codec and the zig-zag mapping.
//
// A value takes 1 to 9 bytes; the first byte alone tells the length, and the
// payload after it is big-endian. Each class subtracts the sum of the ranges
// of the classes below it, so every value has exactly one encoding and the
// encodings sort like the values. This form is persisted by callers: the
// class table below must never change.
//
// The codec is pure: bytes go straight to the caller's emitter or come from
// its reader, and a decoder stores its result only after the last byte.
#include "internal.h"

#include <array>

namespace {

struct VintClass {
  uint8_t length;    // total bytes, lead included
  uint8_t lead;      // fixed bits of the first byte
  uint8_t leadMask;  // payload bits the first byte carries
  uint64_t offset;   // subtracted before encoding
  uint64_t maxValue; // largest value of the class
};

// Indexed by class number; row 0 marks an invalid lead byte.
constexpr VintClass kClasses[10] = {
    {0, 0, 0, 0, 0},
    {1, 0x00, 0x7F, 0, 0x7F},
    {2, 0x80, 0x3F, 0x80, 0x407F},
    {3, 0xC0, 0x1F, 0x4080, 0x20407F},
    {4, 0xE0, 0x07, 0x204080, 0x820407F},
    {5, 0xE8, 0x07, 0x8204080, 0x80820407F},
    {6, 0xF0, 0x07, 0x808204080, 0x8080820407F},
    {7, 0xF8, 0x00, 0x80808204080, 0x108080820407F},
    {8, 0xF9, 0x00, 0x1080808204080, 0x10108080820407F},
    {9, 0xFA, 0x00, 0x101080808204080, UINT64_MAX},
};

constexpr std::array<uint8_t, 256> makeLeadTable() {
  std::array<uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    uint8_t c = 0;
    if (b < 0x80)
      c = 1;
    else if (b < 0xC0)
      c = 2;
    else if (b < 0xE0)
      c = 3;
    else if (b < 0xE8)
      c = 4;
    else if (b < 0xF0)
      c = 5;
    else if (b < 0xF8)
      c = 6;
    else if (b <= 0xFA)
      c = static_cast<uint8_t>(7 + (b - 0xF8));
    table[b] = c;
  }
  return table;
}

constexpr std::array<uint8_t, 256> kLeadClass = makeLeadTable();

// Classes 4-9 (values above 0x20407F); at most four comparisons in all.
inline unsigned longClassOf(uint64_t value) {
  unsigned c = 4;
  while (c < 9 && value > kClasses[c].maxValue)
    ++c;
  return c;
}

// The one-byte forms stay out of these two, so the exported functions reach
// them without saving a register: a one-byte value costs one call of the
// caller's function and a compare.
__attribute__((noinline)) PSP_STATUS encodeLong(uint64_t value, PSP_EMITTER emitter,
                                                void *context) {
  unsigned c = value <= 0x407F ? 2 : value <= 0x20407F ? 3 : longClassOf(value);
  const VintClass &k = kClasses[c];
  uint64_t w = value - k.offset;
  unsigned shift = 8 * (k.length - 1u);
  // Classes 7-9 carry no payload in the lead byte, and their shift reaches 64
  // only for class 9, whose lead bits are then dropped by the mask.
  uint8_t lead = static_cast<uint8_t>(k.lead | ((shift < 64 ? w >> shift : 0) & k.leadMask));
  int status = emitter(context, lead);
  while (status == 0 && shift != 0) {
    shift -= 8;
    status = emitter(context, static_cast<int>((w >> shift) & 0xFF));
  }
  return status;
}

__attribute__((noinline)) PSP_STATUS decodeLong(PSP_BYTE_READER reader, void *context,
                                                uint64_t *value, uint8_t lead) {
  unsigned c = kLeadClass[lead];
  if (c == 0)
    return PSP_ERR_VINT;
  const VintClass &k = kClasses[c];
  uint64_t acc = lead & k.leadMask;
  unsigned tail = k.length - 1u;
  uint8_t byte;
  do {
    if (PSP_STATUS status = reader(context, &byte))
      return status;
    acc = (acc << 8) | byte;
  } while (--tail != 0);
  *value = acc + k.offset; // wraps for the few non-canonical nine-byte forms
  return PSP_OKAY;
}

inline PSP_STATUS decode(PSP_BYTE_READER reader, void *context, uint64_t *value) {
  uint8_t byte;
  if (PSP_STATUS status = reader(context, &byte))
    return status;
  if (byte < 0x80) {
    *value = byte;
    return PSP_OKAY;
  }
  return decodeLong(reader, context, value, byte);
}

} // namespace

PSP_API uint64_t psp_vintConvertToUnsigned(int64_t value) {
  uint64_t twice = static_cast<uint64_t>(value) << 1;
  return value < 0 ? ~twice : twice;
}

PSP_API int64_t psp_vintConvertToSigned(uint64_t value) {
  uint64_t half = value >> 1;
  return static_cast<int64_t>((value & 1) ? ~half : half);
}

PSP_API PSP_STATUS psp_vintEncodeUIntmax(uint64_t value, PSP_EMITTER emitter, void *context) {
  if (value <= 0x7F)
    return emitter(context, static_cast<int>(value));
  return encodeLong(value, emitter, context);
}

PSP_API PSP_STATUS psp_vintDecodeUIntmax(PSP_BYTE_READER reader, void *context, uint64_t *out) {
  return decode(reader, context, out);
}

PSP_API PSP_STATUS psp_vintDecodeUInt32(PSP_BYTE_READER reader, void *context, uint32_t *out) {
  uint64_t value;
  PSP_STATUS status = decode(reader, context, &value);
  if (status != PSP_OKAY)
    return status;
  if (value > UINT32_MAX)
    return PSP_ERR_RANGE;
  *out = static_cast<uint32_t>(value);
  return PSP_OKAY;
}

PSP_API PSP_STATUS psp_vintDecodeSize_t(PSP_BYTE_READER reader, void *context, uint64_t *out) {
  return decode(reader, context, out);
}
