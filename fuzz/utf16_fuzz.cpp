// Walks arbitrary 16-bit units as UTF-16 in strict, replace and mode 2 and
// checks the walker and the UTF-16 to UTF-8 conversions against the literal
// model: the code points a caller's sink receives, sink results that stop the
// walk, measuring equals converting, small buffers skip exactly what does not
// fit, strict mode never accepts what replace mode would change, and accepted
// text round-trips. Inputs and outputs are exact-size heap blocks so that ASan
// sees any overrun.
#include <cstring>
#include <vector>

#include "unicode_reference.h"

using ref::check;

namespace {

struct Collect {
  std::vector<uint32_t> cps;
  size_t stopAt; // answer `answer` on this call (1-based); 0 never
  int answer;
};

int collect(void *sink, int ch) {
  auto *c = static_cast<Collect *>(sink);
  c->cps.push_back(static_cast<uint32_t>(ch));
  return c->cps.size() == c->stopAt ? c->answer : 0;
}

std::vector<uint8_t> convert(const PSP_WCHAR *in, size_t n, int mode, uint64_t *measured) {
  *measured = psp_wchar_to_utf8_len(nullptr, 0, in, n, mode);
  if (*measured == ~uint64_t{0})
    return {};
  char *out = static_cast<char *>(malloc(*measured));
  check(psp_wchar_to_utf8_len(out, *measured, in, n, mode) == *measured);
  std::vector<uint8_t> v(out, out + *measured);
  free(out);
  return v;
}

void oneMode(const uint16_t *units, size_t n, const PSP_WCHAR *in, int mode, uint64_t knob) {
  ref::Walk want = ref::utf16(units, n, mode);
  bool ok = want.status == PSP_OKAY;

  Collect all{{}, 0, 0};
  check(psp_processWBuff(in, n, collect, &all, mode) == want.status);
  check(all.cps == want.cps);

  // A sink that stops the walk on one of its calls.
  static const int answers[] = {PSP_NO, -1, 7, PSP_ERR_NOMEMORY};
  int answer = answers[knob % 4];
  Collect stop{{}, 1 + knob % (want.cps.size() + 1), answer};
  PSP_STATUS st = psp_processWBuff(in, n, collect, &stop, mode);
  if (stop.stopAt <= want.cps.size()) {
    check(st == (answer == PSP_NO ? PSP_OKAY : answer) && stop.cps.size() == stop.stopAt);
  } else {
    check(st == want.status && stop.cps == want.cps);
  }

  std::vector<uint8_t> bytes;
  for (uint32_t cp : want.cps)
    ref::putUtf8(bytes, cp);
  bytes.push_back(0);
  uint64_t measured;
  std::vector<uint8_t> got = convert(in, n, mode, &measured);
  check(ok ? got == bytes : measured == ~uint64_t{0});
  if (!ok)
    return;

  uint64_t small = 1 + knob % measured;
  char *out = static_cast<char *>(malloc(small));
  auto expect = ref::boundedStore<uint8_t>(want.cps, small, ref::putUtf8);
  check(psp_wchar_to_utf8_len(out, small, in, n, mode) == expect.size());
  check(std::memcmp(out, expect.data(), expect.size()) == 0);
  free(out);

  // The UTF-8 produced converts back to the code points that made it, except
  // that U+FFFE and U+FFFF, which the walker passes, are invalid UTF-8.
  bool nonchar = false;
  std::vector<uint16_t> units16;
  for (uint32_t cp : want.cps) {
    nonchar |= cp == 0xFFFE || cp == 0xFFFF;
    ref::putUtf16(units16, cp);
  }
  const char *utf8 = reinterpret_cast<const char *>(got.data());
  uint64_t backSize = psp_utf8_to_wchar_len(nullptr, 0, utf8, got.size() - 1, PSP_CONV_STRICT);
  if (nonchar) {
    check(backSize == ~uint64_t{0});
    return;
  }
  check(backSize == units16.size() + 1);
  auto *back = static_cast<PSP_WCHAR *>(malloc(backSize * 2));
  psp_utf8_to_wchar_len(back, backSize, utf8, got.size() - 1, PSP_CONV_STRICT);
  check(units16.empty() || std::memcmp(back, units16.data(), units16.size() * 2) == 0);
  if (mode != PSP_CONV_REPLACE)
    check(units16.size() == n && (n == 0 || std::memcmp(back, units, n * 2) == 0));
  free(back);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  size_t n = size / 2;
  std::vector<uint16_t> units(n);
  if (n)
    std::memcpy(units.data(), data, n * 2);
  auto *in = static_cast<PSP_WCHAR *>(malloc(n ? n * 2 : 1));
  if (n)
    std::memcpy(in, units.data(), n * 2);
  uint64_t knob = size ? data[size - 1] * 257u + data[0] : 0;
  for (int mode : {PSP_CONV_STRICT, PSP_CONV_REPLACE, 2})
    oneMode(units.data(), n, in, mode, knob);

  uint64_t m0, m1, m2;
  std::vector<uint8_t> strict = convert(in, n, PSP_CONV_STRICT, &m0);
  std::vector<uint8_t> replaced = convert(in, n, PSP_CONV_REPLACE, &m1);
  std::vector<uint8_t> other = convert(in, n, 2, &m2);
  check(m1 != ~uint64_t{0} && m0 == m2 && strict == other);
  if (m0 != ~uint64_t{0})
    check(strict == replaced);

  // The string walk is the counted walk up to the first 0 unit.
  size_t len = 0;
  while (len < n && units[len])
    ++len;
  auto *z = static_cast<PSP_WCHAR *>(malloc((len + 1) * 2));
  std::memcpy(z, in, len * 2);
  z[len] = 0;
  for (int mode : {PSP_CONV_STRICT, PSP_CONV_REPLACE, 2}) {
    check(psp_wchar_to_utf8(nullptr, z, 0, mode) ==
          psp_wchar_to_utf8_len(nullptr, 0, in, len, mode));
    Collect a{{}, 0, 0}, b{{}, 0, 0};
    check(psp_processWString(z, collect, &a, mode) == psp_processWBuff(in, len, collect, &b, mode));
    check(a.cps == b.cps);
  }
  free(z);
  free(in);
  return 0;
}
