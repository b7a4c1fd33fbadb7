// Decodes arbitrary bytes as UTF-8 in strict, replace and overlong-accepting
// mode and checks every exported UTF-8 reader against the literal model:
// measuring equals converting, bounded stores into small buffers skip exactly
// what does not fit, the counting and whole-character copying forms agree,
// strict mode never accepts what replace mode would change, and accepted text
// round-trips. Inputs and outputs are exact-size heap blocks so that ASan
// sees any overrun.
#include <cstring>
#include <vector>

#include "unicode_reference.h"

using ref::check;

namespace {

template <class T> T *heapCopy(const T *src, size_t n) {
  T *p = static_cast<T *>(malloc(n ? n * sizeof(T) : 1));
  if (n)
    std::memcpy(p, src, n * sizeof(T));
  return p;
}

std::vector<uint16_t> convert(const char *in, size_t n, int mode, uint64_t *measured) {
  *measured = psp_utf8_to_wchar_len(nullptr, 0, in, n, mode);
  if (*measured == ~uint64_t{0})
    return {};
  auto *out = static_cast<PSP_WCHAR *>(malloc(*measured * 2));
  check(psp_utf8_to_wchar_len(out, *measured, in, n, mode) == *measured);
  std::vector<uint16_t> v(out, out + *measured);
  free(out);
  return v;
}

void oneMode(const uint8_t *data, size_t size, const char *in, int mode, uint64_t knob) {
  ref::Walk want = ref::utf8(data, size, mode);
  bool ok = want.status == PSP_OKAY;
  std::vector<uint16_t> units;
  for (uint32_t cp : want.cps)
    ref::putUtf16(units, cp);
  units.push_back(0);

  uint64_t measured;
  std::vector<uint16_t> got = convert(in, size, mode, &measured);
  check(ok ? got == units : measured == ~uint64_t{0});
  check(psp_countUTF8chars(in, size, mode) == (ok ? units.size() - 1 : 0));

  std::vector<uint8_t> bytes;
  for (uint32_t cp : want.cps)
    ref::putUtf8(bytes, cp);
  check(psp_countUTF8bytes(in, size, 0, mode) == (ok ? bytes.size() : ~uint64_t{0}));
  if (!ok)
    return;

  // A small destination: exactly the skipping store of the model.
  uint64_t small = 1 + knob % measured;
  auto *out = static_cast<PSP_WCHAR *>(malloc(small * 2));
  auto expect = ref::boundedStore<uint16_t>(want.cps, small, ref::putUtf16);
  check(psp_utf8_to_wchar_len(out, small, in, size, mode) == expect.size());
  check(std::memcmp(out, expect.data(), expect.size() * 2) == 0);
  free(out);

  // Counting up to a character limit.
  uint64_t limit = knob % (want.cps.size() + 2);
  uint64_t limited = 0;
  for (size_t i = 0; i < want.cps.size() && (limit == 0 || i < limit); ++i)
    limited += static_cast<uint64_t>(psp_utf8_codes(want.cps[i], nullptr));
  check(psp_countUTF8bytes(in, size, limit, mode) == limited);

  // Whole characters into a room of `room` bytes.
  uint64_t room = knob % (bytes.size() + 2);
  uint64_t copied = 0, chars = 0;
  for (uint32_t cp : want.cps) {
    uint64_t k = static_cast<uint64_t>(psp_utf8_codes(cp, nullptr));
    if (copied + k > room)
      break;
    copied += k;
    ++chars;
  }
  char *area = static_cast<char *>(malloc(room ? room : 1));
  uint64_t gotChars = ~uint64_t{0};
  check(psp_copyUTF8Chars(area, room, in, size, &gotChars, mode) == copied);
  check(gotChars == chars && (copied == 0 || std::memcmp(area, bytes.data(), copied) == 0));
  check(psp_copyUTF8Chars(nullptr, room, in, size, nullptr, mode) == copied);
  free(area);

  // Whatever was accepted is valid UTF-16 and converts back.
  uint64_t back = psp_wchar_to_utf8_len(nullptr, 0, reinterpret_cast<PSP_WCHAR *>(got.data()),
                                        got.size() - 1, PSP_CONV_STRICT);
  check(back == bytes.size() + 1);
  if (mode == PSP_CONV_STRICT) {
    check(bytes.size() == size && (size == 0 || std::memcmp(bytes.data(), data, size) == 0));
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *in = heapCopy(reinterpret_cast<const char *>(data), size);
  uint64_t knob = size ? data[size / 2] * 131u + data[0] : 0;
  for (int mode : {PSP_CONV_STRICT, PSP_CONV_REPLACE, 2})
    oneMode(data, size, in, mode, knob);

  // Strict mode never accepts what another mode would change.
  uint64_t m0, m1, m2;
  std::vector<uint16_t> strict = convert(in, size, PSP_CONV_STRICT, &m0);
  std::vector<uint16_t> replaced = convert(in, size, PSP_CONV_REPLACE, &m1);
  std::vector<uint16_t> other = convert(in, size, 2, &m2);
  check(m1 != ~uint64_t{0});
  if (m0 != ~uint64_t{0})
    check(strict == replaced && strict == other);
  if (m2 != ~uint64_t{0})
    check(other == replaced);

  // The string form is the counted form up to the first NUL.
  size_t len = strnlen(in, size);
  char *z = static_cast<char *>(malloc(len + 1));
  std::memcpy(z, in, len);
  z[len] = '\0';
  for (int mode : {PSP_CONV_STRICT, PSP_CONV_REPLACE, 2})
    check(psp_utf8_to_wchar(nullptr, z, 0, mode) ==
          psp_utf8_to_wchar_len(nullptr, 0, in, len, mode));
  free(z);
  free(in);
  return 0;
}
