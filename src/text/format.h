// format.h - the library's printf-style engine, one template for narrow
// (char) and wide (char16_t) text, and the sinks it writes into.
//
// The engine reads a format and an argument list and hands every output unit
// to a sink. A sink is any type with
//   int put(Unit c);                      one unit
//   int run(const Unit *p, uint64_t n);   n units
//   int fill(Unit c, uint64_t n);         c repeated n times
// each returning 0 to go on; anything else stops the call and is its result.
// The library's own sinks (CountSink, BoundedSink) never fail and inline into
// the engine, so formatting into a buffer pays no call per unit; EmitterSink
// carries a caller's PSP_EMITTER and passes one unit per call.
//
// Invariants: the engine never allocates (the wide locale record aside, which
// is released before the conversion specification that made it ends), keeps no state
// between calls, and works on its own va_copy of the caller's list. Nothing in
// its frames has a non-trivial destructor, so a tag jump taken while the wide
// locale record is made abandons no live object. Callers of the wide engine
// must likewise hold no library lock across it, since that allocation may jump.
#pragma once

#include "psp.h"

#include <clocale>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace psp::fmt {

inline constexpr uint64_t kNoPrecision = UINT64_MAX;
inline constexpr uint64_t kMaxField = 2147483647;
// psp_vsnprintf and the builders refuse complete lengths from here on.
inline constexpr uint64_t kMaxLength = 0x7FFFFFFE;

// ---- sinks ----------------------------------------------------------------

// Measures only.
template <typename Unit> struct CountSink {
  uint64_t total = 0;
  int put(Unit) {
    ++total;
    return 0;
  }
  int run(const Unit *, uint64_t n) {
    total += n;
    return 0;
  }
  int fill(Unit, uint64_t n) {
    total += n;
    return 0;
  }
};

// A bounded area of `size` units: at most size - 1 are stored, one is held
// back for the terminator. total counts the complete output, stored or not.
template <typename Unit> struct BoundedSink {
  Unit *buf;
  uint64_t capacity; // size - 1
  uint64_t total = 0;

  BoundedSink(Unit *area, uint64_t size) : buf(area), capacity(size - 1) {}

  int put(Unit c) {
    if (total < capacity)
      buf[total] = c;
    ++total;
    return 0;
  }
  int run(const Unit *p, uint64_t n) {
    if (total < capacity) {
      uint64_t room = capacity - total;
      std::memcpy(buf + total, p, (n < room ? n : room) * sizeof(Unit));
    }
    total += n;
    return 0;
  }
  int fill(Unit c, uint64_t n) {
    if (total < capacity) {
      uint64_t room = capacity - total;
      uint64_t k = n < room ? n : room;
      Unit *d = buf + total;
      if constexpr (sizeof(Unit) == 1) {
        std::memset(d, static_cast<unsigned char>(c), k);
      } else {
        for (uint64_t i = 0; i < k; ++i)
          d[i] = c;
      }
    }
    total += n;
    return 0;
  }
  void terminate() { buf[total < capacity ? total : capacity] = 0; }
};

// A caller's emitter: one call per unit, stopping at the first nonzero result.
template <typename Unit> struct EmitterSink {
  PSP_EMITTER emit;
  void *sink;

  int put(Unit c) {
    return emit(sink, static_cast<int>(static_cast<std::make_unsigned_t<Unit>>(c)));
  }
  int run(const Unit *p, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
      if (int st = put(p[i]))
        return st;
    return 0;
  }
  int fill(Unit c, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
      if (int st = put(c))
        return st;
    return 0;
  }
};

// ---- locale ---------------------------------------------------------------

// The wide engine's view of the locale: both strings converted to UTF-16, or
// NULL (rendered as '.' and ','). Made in PSP_TAG_DEFAULT, strings in
// PSP_TAG_THREAD; wideLocaleRelease gives all three back. When the record
// cannot be made a shared record with two NULLs stands in.
struct WideLocale {
  const char16_t *decimalPoint;
  const char16_t *thousandsSep;
};
WideLocale *wideLocaleAcquire();
void wideLocaleRelease(WideLocale *record);

// Fetched at most once per conversion specification, and only when a
// conversion needs the decimal point or the separator, so a locale change by
// the host shows at the next conversion specification.
template <typename Unit> class LocaleCache;

template <> class LocaleCache<char> {
public:
  const char *decimalPoint() {
    fetch();
    return decimalPoint_;
  }
  const char *thousandsSep() {
    fetch();
    return thousandsSep_;
  }
  void release() { fetched_ = false; }

private:
  void fetch() {
    if (fetched_)
      return;
    const std::lconv *conv = std::localeconv();
    decimalPoint_ = conv->decimal_point;
    thousandsSep_ = conv->thousands_sep;
    fetched_ = true;
  }
  const char *decimalPoint_ = nullptr;
  const char *thousandsSep_ = nullptr;
  bool fetched_ = false;
};

template <> class LocaleCache<char16_t> {
public:
  const char16_t *decimalPoint() { return fetch()->decimalPoint; }
  const char16_t *thousandsSep() { return fetch()->thousandsSep; }
  void release() {
    if (record_ != nullptr)
      wideLocaleRelease(record_);
    record_ = nullptr;
  }

private:
  WideLocale *fetch() {
    if (record_ == nullptr)
      record_ = wideLocaleAcquire();
    return record_;
  }
  WideLocale *record_ = nullptr;
};

// ---- the engine -----------------------------------------------------------

namespace detail {

enum : uint32_t {
  kLeft = 0x0001,
  kPlus = 0x0002,
  kSpace = 0x0004,
  kAlt = 0x0008,
  kZero = 0x0010,
  kGroup = 0x0020,
  kUpper = 0x0040,
  kUnsigned = 0x0080,
  kGeneral = 0x0100,
  kScientific = 0x0200,
};

enum : uint32_t {
  kLenNone = 0,
  kLenHH = 1,
  kLenH = 2,
  kLenL = 3,
  kLenLL = 4,
  kLenBigL = 5,
  kLenZ = 6,
  kLenT = 7,
  kLenJ = 8,
};

inline constexpr char kLowerDigits[] = "0123456789abcdef";
inline constexpr char kUpperDigits[] = "0123456789ABCDEF";
inline constexpr char kDigitPairs[] = "00010203040506070809101112131415161718192021222324"
                                      "25262728293031323334353637383940414243444546474849"
                                      "50515253545556575859606162636465666768697071727374"
                                      "75767778798081828384858687888990919293949596979899";
inline constexpr int kScratch = 43;

// va_list is an array type on some ABIs; a struct passes it by reference
// everywhere.
struct Args {
  va_list ap;
};

struct ConvSpec {
  uint32_t flags;
  uint32_t length;
  uint32_t base;
  uint64_t width;
  uint64_t precision;
};

// The sink plus the count of units passed to it so far, which %n reads.
template <typename Unit, typename Sink> struct Out {
  Sink &sink;
  uint32_t count = 0;

  int put(Unit c) {
    ++count;
    return sink.put(c);
  }
  int run(const Unit *p, uint64_t n) {
    count += static_cast<uint32_t>(n);
    return n ? sink.run(p, n) : 0;
  }
  int fill(Unit c, uint64_t n) {
    count += static_cast<uint32_t>(n);
    return n ? sink.fill(c, n) : 0;
  }
  // ASCII text in either width.
  int ascii(const char *text, uint64_t n) {
    if constexpr (sizeof(Unit) == 1) {
      return run(text, n);
    } else {
      for (uint64_t i = 0; i < n; ++i)
        if (int st = put(static_cast<Unit>(text[i])))
          return st;
      return 0;
    }
  }
};

#define PSP_FMT_TRY(expr)                                                                          \
  do {                                                                                             \
    if (int st_ = (expr))                                                                          \
      return st_;                                                                                  \
  } while (0)

template <typename Unit> inline uint64_t unitLength(const Unit *s) {
  if constexpr (sizeof(Unit) == 1) {
    return std::strlen(s);
  } else {
    uint64_t n = 0;
    while (s[n] != 0)
      ++n;
    return n;
  }
}

// Length limited to `limit` units, never reading past the terminator.
template <typename Unit> inline uint64_t unitLength(const Unit *s, uint64_t limit) {
  if constexpr (sizeof(Unit) == 1) {
    const void *nul = std::memchr(s, 0, limit);
    return nul ? static_cast<uint64_t>(static_cast<const char *>(nul) - s) : limit;
  } else {
    uint64_t n = 0;
    while (n < limit && s[n] != 0)
      ++n;
    return n;
  }
}

// Digits of v in `base`, written backwards ending at `end`; returns the first.
template <typename Unit> inline Unit *digitsOf(uint64_t v, uint32_t base, bool upper, Unit *end) {
  Unit *p = end;
  if (base == 10) {
    while (v >= 100) {
      const char *pair = kDigitPairs + (v % 100) * 2;
      v /= 100;
      *--p = static_cast<Unit>(pair[1]);
      *--p = static_cast<Unit>(pair[0]);
    }
    if (v >= 10) {
      const char *pair = kDigitPairs + v * 2;
      *--p = static_cast<Unit>(pair[1]);
      *--p = static_cast<Unit>(pair[0]);
    } else {
      *--p = static_cast<Unit>('0' + v);
    }
    return p;
  }
  const char *table = upper ? kUpperDigits : kLowerDigits;
  uint32_t shift = base == 16 ? 4 : 3;
  uint64_t mask = base - 1;
  do {
    *--p = static_cast<Unit>(table[v & mask]);
    v >>= shift;
  } while (v != 0);
  return p;
}

// Separator units for `digits` integer digits, and the separator to emit.
template <typename Unit> struct Grouping {
  const Unit *text = nullptr; // NULL: no separators
  uint64_t length = 0;
  uint64_t chars = 0;
};

template <typename Unit>
inline Grouping<Unit> groupingFor(const ConvSpec &s, uint64_t digits, LocaleCache<Unit> &locale) {
  Grouping<Unit> g;
  if (!(s.flags & kGroup))
    return g;
  static constexpr Unit kComma[] = {',', 0};
  const Unit *sep = locale.thousandsSep();
  if (sep == nullptr)
    sep = kComma;
  uint64_t len = unitLength(sep);
  if (len == 0 || digits == 0)
    return g;
  g.text = sep;
  g.length = len;
  g.chars = ((digits + 2) / 3 - 1) * len;
  return g;
}

template <typename Unit, typename Sink>
inline int emitGrouped(Out<Unit, Sink> &out, const Unit *digits, uint64_t n,
                       const Grouping<Unit> &g) {
  if (g.chars == 0)
    return out.run(digits, n);
  for (uint64_t i = 0; i < n; ++i) {
    PSP_FMT_TRY(out.put(digits[i]));
    uint64_t left = n - i - 1;
    if (left != 0 && left % 3 == 0)
      PSP_FMT_TRY(out.run(g.text, g.length));
  }
  return 0;
}

template <typename Unit, typename Sink>
int emitInteger(Out<Unit, Sink> &out, ConvSpec &s, uint64_t magnitude, char sign,
                LocaleCache<Unit> &locale) {
  Unit scratch[kScratch];
  Unit *end = scratch + kScratch;
  Unit *digits = digitsOf(magnitude, s.base, (s.flags & kUpper) != 0, end);
  uint64_t n = static_cast<uint64_t>(end - digits);

  const char *prefix = "";
  uint64_t prefixLen = 0;
  if ((s.flags & kAlt) && magnitude != 0) {
    if (s.base == 8) {
      prefix = "0";
      prefixLen = 1;
      if (s.precision != kNoPrecision)
        --s.precision; // 0 thereby becomes "none"
    } else if (s.base == 16) {
      prefix = (s.flags & kUpper) ? "0X" : "0x";
      prefixLen = 2;
    }
  }
  if (s.precision == 0 && magnitude == 0)
    n = 0;

  Grouping<Unit> g = groupingFor(s, n, locale);
  uint64_t zeros = 0;
  if (s.precision != kNoPrecision && s.precision > g.chars + n)
    zeros = s.precision - (g.chars + n);
  uint64_t field = (sign ? 1 : 0) + g.chars + prefixLen +
                   (s.precision != kNoPrecision && s.precision > n ? s.precision : n);
  uint64_t leading = 0, trailing = 0;
  if (s.width > field) {
    uint64_t pad = s.width - field;
    if (s.flags & kLeft)
      trailing = pad;
    else if ((s.flags & kZero) && s.precision == kNoPrecision)
      zeros += pad;
    else
      leading = pad;
  }

  PSP_FMT_TRY(out.fill(' ', leading));
  if (sign)
    PSP_FMT_TRY(out.put(static_cast<Unit>(sign)));
  PSP_FMT_TRY(out.ascii(prefix, prefixLen));
  PSP_FMT_TRY(out.fill('0', zeros));
  PSP_FMT_TRY(emitGrouped(out, end - n, n, g));
  return out.fill(' ', trailing);
}

template <typename Unit, typename Sink>
int emitString(Out<Unit, Sink> &out, const ConvSpec &s, const Unit *text) {
  static constexpr Unit kNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
  if (text == nullptr)
    text = kNull;
  uint64_t n = s.precision == kNoPrecision ? unitLength(text) : unitLength(text, s.precision);
  uint64_t pad = s.width > n ? s.width - n : 0;
  if (!(s.flags & kLeft))
    PSP_FMT_TRY(out.fill(' ', pad));
  PSP_FMT_TRY(out.run(text, n));
  if (s.flags & kLeft)
    PSP_FMT_TRY(out.fill(' ', pad));
  return 0;
}

// 10^k by k multiplications (or |k| divisions) from 1.0: the digits the
// engine prints depend on exactly this rounding, so no table and no pow.
inline double powerOfTen(int k) {
  double p = 1.0;
  for (; k > 0; --k)
    p *= 10.0;
  for (; k < 0; ++k)
    p /= 10.0;
  return p;
}

// Splits a (scaled by 10^-X in scientific mode) into an integer part and a
// fraction of P digits, rounded half up. Fails when the integer part does
// not fit 64 bits.
inline bool splitRound(double ax, int P, bool scientific, int &X, uint64_t &I, uint64_t &F) {
  double a = ax;
  if (scientific)
    a = a / powerOfTen(X);
  if (!(a < 18446744073709551616.0))
    return false;
  I = static_cast<uint64_t>(a);
  uint64_t M = static_cast<uint64_t>(powerOfTen(P));
  double f = (a - static_cast<double>(I)) * static_cast<double>(M);
  F = static_cast<uint64_t>(f);
  if (f - static_cast<double>(F) >= 0.5)
    ++F;
  if (F >= M) {
    ++I;
    F = 0;
    if (scientific && I == 10) {
      ++X;
      I = 1;
    }
  }
  return true;
}

template <typename Unit, typename Sink>
int emitFloat(Out<Unit, Sink> &out, ConvSpec &s, double x, LocaleCache<Unit> &locale) {
  char sign = 0;
  if (x < 0.0)
    sign = '-';
  else if (s.flags & kPlus)
    sign = '+';
  else if (s.flags & kSpace)
    sign = ' ';

  if (x != x || (x != 0.0 && x == x * 2)) {
    const char *text = x != x ? "1.#QNAN" : "1.#INF";
    uint64_t n = x != x ? 7 : 6;
    uint64_t field = (sign ? 1 : 0) + n;
    uint64_t pad = s.width > field ? s.width - field : 0;
    if (!(s.flags & kLeft))
      PSP_FMT_TRY(out.fill(' ', pad));
    if (sign)
      PSP_FMT_TRY(out.put(static_cast<Unit>(sign)));
    PSP_FMT_TRY(out.ascii(text, n));
    if (s.flags & kLeft)
      PSP_FMT_TRY(out.fill(' ', pad));
    return 0;
  }

  const bool general = (s.flags & kGeneral) != 0;
  bool scientific = general || (s.flags & kScientific) != 0;
  const bool trim = general && !(s.flags & kAlt);
  // Precisions beyond 19 are capped below, so a 64-bit value can hold them.
  uint64_t given = s.precision == kNoPrecision ? 6 : s.precision;
  int P = given > 20 ? 20 : static_cast<int>(given);
  if (general)
    --P; // significant digits after the first
  double ax = x < 0.0 ? -x : x;

  int X = 0;
  if (scientific && ax != 0.0) {
    if (ax < 1.0) {
      double t = 1.0;
      do {
        t /= 10.0;
        --X;
      } while (t > ax);
    } else if (ax >= 10.0) {
      double t = 10.0;
      while (ax >= t) {
        t *= 10.0;
        ++X;
      }
    }
  }
  if (P > 19)
    P = 19;
  uint64_t I = 0, F = 0;
  if (!splitRound(ax, P, scientific, X, I, F))
    return PSP_ERR_RANGE;
  if (general && P + 1 > X && X >= -4) {
    scientific = false;
    P -= X;
    if (P > 19)
      P = 19;
    if (!splitRound(ax, P, false, X, I, F))
      return PSP_ERR_RANGE;
  }

  Unit intScratch[kScratch], fracScratch[kScratch];
  Unit *intEnd = intScratch + kScratch;
  Unit *intDigits = digitsOf(I, 10, false, intEnd);
  uint64_t intLen = static_cast<uint64_t>(intEnd - intDigits);

  uint64_t places = static_cast<uint64_t>(P);
  if (trim) {
    if (F == 0) {
      places = 0;
    } else {
      while (F % 10 == 0) {
        F /= 10;
        --places;
      }
    }
  }
  Unit *fracEnd = fracScratch + kScratch;
  Unit *fracDigits = fracEnd;
  if (F != 0)
    fracDigits = digitsOf(F, 10, false, fracEnd);
  uint64_t fracLen = static_cast<uint64_t>(fracEnd - fracDigits);
  uint64_t fracZeros = places > fracLen ? places - fracLen : 0;

  static constexpr Unit kDot[] = {'.', 0};
  const Unit *point = nullptr;
  uint64_t pointLen = 0;
  if (places > 0 || (s.flags & kAlt)) {
    point = locale.decimalPoint();
    if (point == nullptr)
      point = kDot;
    pointLen = unitLength(point);
  }

  char exponent[8];
  uint64_t expLen = 0;
  if (scientific) {
    int e = X < 0 ? -X : X;
    exponent[0] = (s.flags & kUpper) ? 'E' : 'e';
    exponent[1] = X < 0 ? '-' : '+';
    char tmp[8];
    int k = 0;
    do {
      tmp[k++] = static_cast<char>('0' + e % 10);
      e /= 10;
    } while (e != 0);
    while (k < 3)
      tmp[k++] = '0';
    expLen = 2;
    while (k > 0)
      exponent[expLen++] = tmp[--k];
  }

  Grouping<Unit> g = groupingFor(s, intLen, locale);
  uint64_t field = (sign ? 1 : 0) + g.chars + pointLen + expLen + places + intLen;
  uint64_t leading = 0, zeros = 0, trailing = 0;
  if (s.width > field) {
    uint64_t pad = s.width - field;
    if (s.flags & kLeft)
      trailing = pad;
    else if (s.flags & kZero)
      zeros = pad;
    else
      leading = pad;
  }

  PSP_FMT_TRY(out.fill(' ', leading));
  if (sign)
    PSP_FMT_TRY(out.put(static_cast<Unit>(sign)));
  PSP_FMT_TRY(out.fill('0', zeros));
  PSP_FMT_TRY(emitGrouped(out, intDigits, intLen, g));
  PSP_FMT_TRY(out.run(point, pointLen));
  PSP_FMT_TRY(out.fill('0', fracZeros));
  PSP_FMT_TRY(out.run(fracDigits, fracLen));
  PSP_FMT_TRY(out.ascii(exponent, expLen));
  return out.fill(' ', trailing);
}

inline int64_t readSigned(Args &a, uint32_t length) {
  switch (length) {
  case kLenNone:
    return va_arg(a.ap, int);
  case kLenHH:
    return static_cast<int8_t>(va_arg(a.ap, int));
  case kLenH:
    return static_cast<int16_t>(va_arg(a.ap, int));
  case kLenL: // the platform's long: 64 bits on LP64, 32 on Windows
    return va_arg(a.ap, long);
  default:
    return va_arg(a.ap, int64_t);
  }
}

inline uint64_t readUnsigned(Args &a, uint32_t length) {
  switch (length) {
  case kLenNone:
    return va_arg(a.ap, unsigned);
  case kLenHH:
    return static_cast<uint8_t>(va_arg(a.ap, unsigned));
  case kLenH:
    return static_cast<uint16_t>(va_arg(a.ap, unsigned));
  case kLenL:
    return va_arg(a.ap, unsigned long);
  default:
    return va_arg(a.ap, uint64_t);
  }
}

inline void storeCount(Args &a, uint32_t length, uint32_t count) {
  void *target = va_arg(a.ap, void *);
  switch (length) {
  case kLenNone:
    *static_cast<int32_t *>(target) = static_cast<int32_t>(count);
    break;
  case kLenHH:
    *static_cast<int8_t *>(target) = static_cast<int8_t>(count);
    break;
  case kLenH:
    *static_cast<int16_t *>(target) = static_cast<int16_t>(count);
    break;
  case kLenZ:
    *static_cast<uint64_t *>(target) = count;
    break;
  case kLenL:
    *static_cast<long *>(target) = static_cast<int32_t>(count);
    break;
  default: // ll, I64, L, t, j
    *static_cast<int64_t *>(target) = static_cast<int32_t>(count);
    break;
  }
}

template <typename Unit> inline bool isDigit(Unit c) { return c >= '0' && c <= '9'; }

// Reads decimal digits into `value`; false when it would exceed 2147483647.
template <typename Unit> inline bool readNumber(const Unit *&p, uint64_t &value) {
  while (isDigit(*p)) {
    uint64_t d = static_cast<uint64_t>(*p - '0');
    if (value > (kMaxField - d) / 10)
      return false;
    value = value * 10 + d;
    ++p;
  }
  return true;
}

// One conversion specification, `p` just past its '%'. Leaves `p` past the
// conversion character, or on the terminator when the format ends inside.
template <typename Unit, typename Sink>
int convert(Out<Unit, Sink> &out, const Unit *&p, Args &a, LocaleCache<Unit> &locale) {
  ConvSpec s{0, kLenNone, 0, 0, kNoPrecision};
  for (;; ++p) {
    switch (*p) {
    case ' ':
      s.flags |= kSpace;
      continue;
    case '#':
      s.flags |= kAlt;
      continue;
    case '\'':
      s.flags |= kGroup;
      continue;
    case '+':
      s.flags |= kPlus;
      continue;
    case '-':
      s.flags |= kLeft;
      continue;
    case '0':
      s.flags |= kZero;
      continue;
    default:
      break;
    }
    break;
  }

  if (*p == '*') {
    int w = va_arg(a.ap, int);
    int64_t wide = w;
    if (wide < 0) {
      s.flags |= kLeft;
      wide = -wide;
    }
    if (static_cast<uint64_t>(wide) > kMaxField)
      return PSP_ERR_RANGE;
    s.width = static_cast<uint64_t>(wide);
    ++p;
  } else if (!readNumber(p, s.width)) {
    return PSP_ERR_RANGE;
  }

  if (*p == '.') {
    ++p;
    s.precision = 0;
    if (*p == '*') {
      int v = va_arg(a.ap, int);
      s.precision = v < 0 ? kNoPrecision : static_cast<uint64_t>(v);
      ++p;
    } else if (!readNumber(p, s.precision)) {
      return PSP_ERR_RANGE;
    }
  }

  switch (*p) {
  case 'h':
    if (p[1] == 'h') {
      s.length = kLenHH;
      p += 2;
    } else {
      s.length = kLenH;
      ++p;
    }
    break;
  case 'l':
    if (p[1] == 'l') {
      s.length = kLenLL;
      p += 2;
    } else {
      s.length = kLenL;
      ++p;
    }
    break;
  case 'L':
    s.length = kLenBigL;
    ++p;
    break;
  case 'j':
    s.length = kLenJ;
    ++p;
    break;
  case 'z':
    s.length = kLenZ;
    ++p;
    break;
  case 't':
    s.length = kLenT;
    ++p;
    break;
  case 'I':
    if (p[1] == '6' && p[2] == '4') {
      s.length = kLenLL;
      p += 3;
    } else if (p[1] == '3' && p[2] == '2') {
      s.length = kLenNone;
      p += 3;
    }
    break;
  default:
    break;
  }

  Unit c = *p;
  if (c == 0)
    return 0; // cut off: nothing for this conversion
  ++p;

  switch (c) {
  case 'd':
  case 'i': {
    int64_t v = readSigned(a, s.length);
    s.base = 10;
    char sign = v < 0 ? '-' : (s.flags & kPlus) ? '+' : (s.flags & kSpace) ? ' ' : 0;
    uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    return emitInteger(out, s, magnitude, sign, locale);
  }
  case 'X':
    s.flags |= kUpper;
    [[fallthrough]];
  case 'x':
    s.base = 16;
    goto unsignedConversion;
  case 'o':
    s.base = 8;
    goto unsignedConversion;
  case 'u':
    s.base = 10;
  unsignedConversion:
    s.flags |= kUnsigned;
    return emitInteger(out, s, readUnsigned(a, s.length), 0, locale);
  case 'p':
    s.flags |= kUpper | kUnsigned;
    s.base = 16;
    s.precision = 16;
    return emitInteger(out, s, reinterpret_cast<uintptr_t>(va_arg(a.ap, void *)), 0, locale);
  case 'F':
  case 'A':
    s.flags |= kUpper;
    [[fallthrough]];
  case 'f':
  case 'a':
    return emitFloat(out, s, va_arg(a.ap, double), locale);
  case 'E':
    s.flags |= kUpper;
    [[fallthrough]];
  case 'e':
    s.flags |= kScientific;
    return emitFloat(out, s, va_arg(a.ap, double), locale);
  case 'G':
    s.flags |= kUpper;
    [[fallthrough]];
  case 'g':
    s.flags |= kGeneral;
    if (s.precision == 0)
      s.precision = 1;
    return emitFloat(out, s, va_arg(a.ap, double), locale);
  case 's':
    return emitString(out, s, va_arg(a.ap, const Unit *));
  case 'c':
    return out.put(static_cast<Unit>(va_arg(a.ap, int)));
  case '%':
    return out.put('%');
  case 'n':
    storeCount(a, s.length, out.count);
    return 0;
  default:
    return 0; // unknown conversion: consumed, prints nothing
  }
}

template <typename Unit, typename Sink> PSP_STATUS run(Sink &sink, const Unit *p, Args &a) {
  Out<Unit, Sink> out{sink};
  LocaleCache<Unit> locale;
  while (*p != 0) {
    if (*p != '%') {
      const Unit *start = p;
      while (*p != 0 && *p != '%')
        ++p;
      PSP_FMT_TRY(out.run(start, static_cast<uint64_t>(p - start)));
      continue;
    }
    ++p;
    int st = convert(out, p, a, locale);
    locale.release();
    if (st != 0)
      return st;
  }
  return PSP_OKAY;
}

#undef PSP_FMT_TRY

} // namespace detail

// Formats into `sink`; the status is 0, the first nonzero sink result or
// PSP_ERR_RANGE. The caller's list is left as it was.
template <typename Unit, typename Sink>
PSP_STATUS formatTo(Sink &sink, const Unit *format, va_list args) {
  detail::Args a;
  va_copy(a.ap, args);
  PSP_STATUS st = detail::run<Unit, Sink>(sink, format, a);
  va_end(a.ap);
  return st;
}

// Length of the complete output in units; false on a nonzero engine status or
// a length of kMaxLength or more (the builders' and psp_vsnprintf's refusal).
template <typename Unit> bool measure(const Unit *format, va_list args, uint64_t *length) {
  CountSink<Unit> sink;
  if (formatTo(sink, format, args) != PSP_OKAY || sink.total >= kMaxLength)
    return false;
  *length = sink.total;
  return true;
}

// psp_vsnprintf / psp_vsnwprintf.
template <typename Unit>
int32_t formatBounded(Unit *buf, uint64_t size, const Unit *format, va_list args) {
  uint64_t total;
  if (buf == nullptr || size == 0) {
    CountSink<Unit> sink;
    if (formatTo(sink, format, args) != PSP_OKAY)
      return -1;
    total = sink.total;
  } else {
    BoundedSink<Unit> sink(buf, size);
    if (formatTo(sink, format, args) != PSP_OKAY)
      return -1; // what was stored stays, unterminated
    sink.terminate();
    total = sink.total;
  }
  return total < kMaxLength ? static_cast<int32_t>(total) : -1;
}

} // namespace psp::fmt
