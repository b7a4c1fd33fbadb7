// unicode.h - UTF-8 / UTF-16 conversion for the library's own sources.
//
// Two decoders feed code points one at a time to a sink: walkUtf16 (units to
// code points, pairing surrogates) and decodeUtf8 (bytes to code points). Both
// take counted input; a NUL-terminated string is walked as its length, which
// gives the same result because neither decoder treats NUL specially inside
// counted input. The sink is a template parameter so the library's own sinks
// (counters, bounded stores) inline; a caller's PSP_EMITTER goes through
// EmitterSink.
//
// A sink has `int put(uint32_t cp)` and may have `int ascii(const Unit *run,
// uint64_t n)` for a run of code points below 0x80 (Unit is char or
// char16_t); ascii must behave exactly like n calls of put. A sink result of 0
// means go on, PSP_NO stops the walk with 0, anything else stops it and is
// the walk's result. A sink that never stops may also have `run(p, end)`,
// which converts well-formed input from p on by itself and gives where it
// stopped; the walk takes the piece there and calls run again.
//
// Validity, one policy for both directions: PSP_CONV_STRICT fails on any
// invalid input with PSP_ERR_BADCHAR, overlong UTF-8 included;
// PSP_CONV_REPLACE turns each invalid piece into one '?' and accepts overlong
// forms; any other mode accepts overlong forms and fails on the rest.
#pragma once

#include "internal.h"

#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace psp::unicode {

inline constexpr uint32_t kReplacement = 0x3F; // '?'
inline constexpr uint64_t kFailed = ~uint64_t{0};

// UTF-8 length of a code point; 0 from 0x110000 on.
constexpr int utf8Length(uint32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : cp < 0x110000 ? 4 : 0;
}

constexpr int utf16Length(uint32_t cp) { return cp < 0x10000 ? 1 : 2; }

// Writes utf8Length(cp) bytes; nothing for values from 0x110000 on.
inline int encodeUtf8(uint32_t cp, char *out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  if (cp < 0x110000) {
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
  }
  return 0;
}

// One unit below 0x10000, else a surrogate pair; no range check.
inline int encodeUtf16(uint32_t cp, char16_t *out) {
  if (cp < 0x10000) {
    out[0] = static_cast<char16_t>(cp);
    return 1;
  }
  uint32_t v = cp - 0x10000;
  out[0] = static_cast<char16_t>(0xD800 + ((v >> 10) & 0x3FF));
  out[1] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
  return 2;
}

// Units before the 0 unit. Unrolled, but unit by unit: a wider read could
// pass the terminator into memory the caller does not own.
inline uint64_t utf16Length(const char16_t *text) {
  const char16_t *p = text;
  for (;; p += 4) {
    if (!p[0])
      break;
    if (!p[1])
      return static_cast<uint64_t>(p + 1 - text);
    if (!p[2])
      return static_cast<uint64_t>(p + 2 - text);
    if (!p[3])
      return static_cast<uint64_t>(p + 3 - text);
  }
  return static_cast<uint64_t>(p - text);
}

// ---- walk plumbing ----

inline PSP_STATUS walkResult(int r) { return r == PSP_NO ? PSP_OKAY : r; }

template <class Sink> inline int invalidPiece(Sink &sink, int mode) {
  return mode == PSP_CONV_REPLACE ? sink.put(kReplacement) : PSP_ERR_BADCHAR;
}

template <class Sink, class Unit> inline int putAsciiRun(Sink &sink, const Unit *run, uint64_t n) {
  if constexpr (requires { sink.ascii(run, n); }) {
    return sink.ascii(run, n);
  } else {
    for (uint64_t i = 0; i < n; ++i)
      if (int r = sink.put(static_cast<uint32_t>(run[i])))
        return r;
    return 0;
  }
}

// End of the run of units below 0x80 that starts at p (bytes or 16-bit
// units), one 64-bit word at a time.
template <class Unit> const Unit *asciiRunEnd(const Unit *p, const Unit *end) {
  constexpr uint64_t kHigh = sizeof(Unit) == 1 ? 0x8080808080808080ull : 0xFF80FF80FF80FF80ull;
  constexpr long kPerWord = 8 / sizeof(Unit);
  while (end - p >= kPerWord) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (w & kHigh) {
      if constexpr (std::endian::native == std::endian::little)
        return p + std::countr_zero(w & kHigh) / (8 * sizeof(Unit));
      break;
    }
    p += kPerWord;
  }
  while (p < end && static_cast<uint32_t>(*p) < 0x80)
    ++p;
  return p;
}

// ---- the two decoders ----

// UTF-16 units to code points. A high surrogate not followed by a low one is
// one invalid piece; the unit after it is then processed on its own.
template <class Sink>
[[gnu::always_inline]] inline PSP_STATUS walkUtf16Body(const char16_t *units, uint64_t count,
                                                       Sink &sink, int mode) {
  const char16_t *p = units;
  const char16_t *const end = units + count;
  while (p < end) {
    if constexpr (requires { sink.run(p, end); }) {
      p = sink.run(p, end);
      if (p == end)
        break;
    }
    uint32_t u = *p;
    if (u < 0x80) {
      int r;
      if (end - p > 1 && p[1] >= 0x80) { // a lone space or digit between words
        r = sink.put(u);
        ++p;
      } else {
        const char16_t *q = asciiRunEnd(p + 1, end);
        r = putAsciiRun(sink, p, static_cast<uint64_t>(q - p));
        p = q;
      }
      if (r)
        return walkResult(r);
      continue;
    }
    ++p;
    int r;
    if (u - 0xD800 >= 0x800) {
      r = sink.put(u);
    } else if (u >= 0xDC00) {
      r = invalidPiece(sink, mode); // low surrogate with nothing pending
    } else if (p == end) {
      r = invalidPiece(sink, mode); // input ends while the high half waits
    } else if (uint32_t v = *p; v - 0xDC00 < 0x400) {
      ++p;
      r = sink.put((0x10000 + ((u & 0x3FF) << 10)) | (v & 0x3FF));
    } else {
      r = invalidPiece(sink, mode); // v is looked at again on the next round
    }
    if (r)
      return walkResult(r);
  }
  return PSP_OKAY;
}

// One non-ASCII character of UTF-8 starting at the lead byte *p, by the full
// rules; advances p past what it consumed and gives the sink's or the walk's
// result (0: go on).
template <class Sink>
int decodeUtf8Slow(const uint8_t *&p, const uint8_t *end, Sink &sink, int mode) {
  uint32_t b = *p++;
  if (b < 0xC0 || b >= 0xF8)
    return invalidPiece(sink, mode); // stray continuation, or a byte UTF-8 never uses
  uint32_t cp, need, minimum;
  if (b < 0xE0) {
    cp = b & 0x1F, need = 1, minimum = 0x80;
  } else if (b < 0xF0) {
    cp = b & 0x0F, need = 2, minimum = 0x800;
  } else {
    cp = b & 0x07, need = 3, minimum = 0x10000;
  }
  for (; need != 0; --need) {
    if (p == end)
      return invalidPiece(sink, mode);
    uint32_t c = *p;
    if ((c & 0xC0) != 0x80) {
      if (c >= 0xF8)
        ++p;
      return invalidPiece(sink, mode);
    }
    cp = (cp << 6) | (c & 0x3F);
    ++p;
  }
  if (cp - 0xD800 < 0x800 || cp - 0xFFFE < 2 || cp > 0x10FFFF)
    return invalidPiece(sink, mode);
  if (cp < minimum && mode == PSP_CONV_STRICT)
    return PSP_ERR_BADCHAR;
  return sink.put(cp);
}

// UTF-8 bytes to code points. An unfinished sequence is one invalid piece
// and the byte that broke it starts the next character, except a byte
// 0xF8..0xFF, which is swallowed into the same piece. A complete sequence
// that decodes to a surrogate, U+FFFE, U+FFFF or beyond U+10FFFF is one
// invalid piece; an overlong one fails in strict mode and is accepted
// otherwise. Well-formed characters take the short paths below; everything
// else goes to decodeUtf8Slow, which gives the same result for them too.
template <class Sink>
[[gnu::always_inline]] inline PSP_STATUS decodeUtf8Body(const char *bytes, uint64_t count,
                                                        Sink &sink, int mode) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(bytes);
  const uint8_t *const end = p + count;
  while (p < end) {
    if constexpr (requires { sink.run(p, end); }) {
      p = sink.run(p, end);
      if (p == end)
        break;
    }
    uint32_t b = *p;
    int r;
    if (b < 0x80) {
      if (end - p > 1 && p[1] >= 0x80) { // a lone space or digit between words
        r = sink.put(b);
        ++p;
      } else {
        const uint8_t *q = asciiRunEnd(p + 1, end);
        r = putAsciiRun(sink, reinterpret_cast<const char *>(p), static_cast<uint64_t>(q - p));
        p = q;
      }
    } else if (b - 0xC2 < 0x1E && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
      r = sink.put(((b & 0x1F) << 6) | (p[1] & 0x3Fu));
      p += 2;
    } else if (b - 0xE0 < 0x10 && end - p >= 3 && ((p[1] | (p[2] << 8)) & 0xC0C0) == 0x8080) {
      uint32_t cp = ((b & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
      if (cp < 0x800 || cp - 0xD800 < 0x800 || cp >= 0xFFFE) {
        r = decodeUtf8Slow(p, end, sink, mode);
      } else {
        r = sink.put(cp);
        p += 3;
      }
    } else if (b - 0xF0 < 0x05 && end - p >= 4 &&
               ((p[1] | (p[2] << 8) | (p[3] << 16)) & 0xC0C0C0) == 0x808080) {
      uint32_t cp =
          ((b & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
      if (cp - 0x10000 >= 0x100000) {
        r = decodeUtf8Slow(p, end, sink, mode);
      } else {
        r = sink.put(cp);
        p += 4;
      }
    } else {
      r = decodeUtf8Slow(p, end, sink, mode);
    }
    if (r)
      return walkResult(r);
  }
  return PSP_OKAY;
}

// The walks run on a local copy of the sink: a store writing through char *
// could otherwise alias the caller's sink object and keep its counters in
// memory instead of registers.
template <class Sink>
PSP_STATUS walkUtf16(const char16_t *units, uint64_t count, Sink &sink, int mode) {
  Sink local = sink;
  PSP_STATUS st = walkUtf16Body(units, count, local, mode);
  sink = local;
  return st;
}

template <class Sink>
PSP_STATUS decodeUtf8(const char *bytes, uint64_t count, Sink &sink, int mode) {
  Sink local = sink;
  PSP_STATUS st = decodeUtf8Body(bytes, count, local, mode);
  sink = local;
  return st;
}

// ---- sinks ----

// A caller's emitter. PSP_PENDING cannot be told apart from the walker's own
// "waiting for more input", so it means go on.
struct EmitterSink {
  PSP_EMITTER fn;
  void *context;
  int put(uint32_t cp) {
    int r = fn(context, static_cast<int>(cp));
    return r == PSP_PENDING ? 0 : r;
  }
};

// UTF-8 bytes (Out char) or UTF-16 units (Out char16_t) of a code point.
template <class Out> constexpr int unitsOf(uint32_t cp) {
  return sizeof(Out) == 1 ? utf8Length(cp) : utf16Length(cp);
}

template <class Out> int encodeUnits(uint32_t cp, Out *out) {
  if constexpr (sizeof(Out) == 1)
    return encodeUtf8(cp, out);
  else
    return encodeUtf16(cp, out);
}

// Measures the output in Out units.
template <class Out> struct Counter {
  uint64_t used = 0;
  int put(uint32_t cp) {
    used += static_cast<uint64_t>(unitsOf<Out>(cp));
    return 0;
  }
  template <class Unit> int ascii(const Unit *, uint64_t n) {
    used += n;
    return 0;
  }
};
using Utf8Counter = Counter<char>;
using Utf16Counter = Counter<char16_t>;

// Bounded stores: a character that does not fit is skipped and a later one
// that fits is still stored, so used never passes capacity.
template <class Out> struct Store {
  Out *dst;
  uint64_t capacity;
  uint64_t used = 0;
  int put(uint32_t cp) {
    if (static_cast<uint64_t>(unitsOf<Out>(cp)) <= capacity - used)
      used += static_cast<uint64_t>(encodeUnits(cp, dst + used));
    return 0;
  }
  template <class Unit> int ascii(const Unit *run, uint64_t n) {
    if (n > capacity - used)
      n = capacity - used;
    for (uint64_t i = 0; i < n; ++i)
      dst[used + i] = static_cast<Out>(run[i]);
    used += n;
    return 0;
  }
};
using Utf8Store = Store<char>;
using Utf16Store = Store<char16_t>;

// Stores without a room check, for a stretch of input whose longest output
// is known to fit: a UTF-8 byte gives at most one UTF-16 unit, a UTF-16 unit
// at most three UTF-8 bytes (an invalid piece gives one '?').
struct Utf8Direct {
  char *out;
  // The loop for the next block (see run), kept from one stretch to the
  // next. The first block is short, and mixed text goes on in blocks four
  // times as long, so that it seldom stops to decide.
  enum class Loop : uint8_t { First, Mixed, Wide } next = Loop::First;
  int put(uint32_t cp) {
    out += encodeUtf8(cp, out);
    return 0;
  }
  // Converts units from p on and gives where it stopped: at the end, or
  // before a surrogate that is not the high half of a pair, which the walk
  // then takes. Long input goes in blocks, each through one of two loops
  // chosen by what the block before it held: after a block of nearly all
  // ASCII, a wide loop that narrows sixteen units at a time and takes any
  // other character on its own; otherwise the mixed loop. Both write the
  // same bytes, and the choice costs one test per block, so text that
  // changes script often never pays for a wide test that fails.
  const char16_t *run(const char16_t *p, const char16_t *end) {
    char *o = out;
#if defined(__SSE2__)
    Loop loop = next;
    for (long block; end - p >= (block = loop == Loop::Mixed ? 4 * kBlock : kBlock);) {
      const char16_t *const from = p, *const limit = p + block;
      char *const at = o;
      p = loop == Loop::Wide ? wideLoop(p, limit, end, o) : mixedLoop(p, limit, end, o);
      if (p < limit) { // before an invalid piece
        next = loop;
        out = o;
        return p;
      }
      // Extra bytes beyond one per unit: a two-byte character in 16 units at most.
      loop = (o - at) - (p - from) <= (p - from) / 16 ? Loop::Wide : Loop::Mixed;
    }
    next = loop;
#endif
    p = mixedLoop(p, end, end, o);
    out = o;
    return p;
  }
  static constexpr long kBlock = 256;
  // Units from p up to limit (a pair may end one unit past it); gives where
  // it stopped. One branch on each unit's length: on text that changes
  // script every few characters, blocks of mixed lengths cost more than the
  // branches they save. It spells out putOther's cases itself: calling it,
  // even forced inline, measured 10 % slower on mixed text.
  static const char16_t *mixedLoop(const char16_t *p, const char16_t *limit, const char16_t *end,
                                   char *&out) {
    char *o = out;
    while (p < limit) {
      uint32_t u = *p;
      if (u < 0x80) {
        if constexpr (std::endian::native == std::endian::little) {
          uint64_t w;
          if (end - p >= 4 && (std::memcpy(&w, p, 8), (w & 0xFF80FF80FF80FF80ull) == 0)) {
            uint64_t x = (w | (w >> 8)) & 0x0000FFFF0000FFFFull;
            auto b = static_cast<uint32_t>(x | (x >> 16));
            std::memcpy(o, &b, 4);
            o += 4, p += 4;
            continue;
          }
        }
        *o++ = static_cast<char>(u);
        ++p;
      } else if (u < 0x800) {
        putPair(o, 0xC0 | (u >> 6), 0x80 | (u & 0x3F));
        o += 2, ++p;
      } else if (u - 0xD800 >= 0x800) {
        putPair(o, 0xE0 | (u >> 12), 0x80 | ((u >> 6) & 0x3F));
        o[2] = static_cast<char>(0x80 | (u & 0x3F));
        o += 3, ++p;
      } else if (uint32_t v; u < 0xDC00 && end - p >= 2 && (v = p[1]) - 0xDC00 < 0x400) {
        o += encodeUtf8((0x10000 + ((u & 0x3FF) << 10)) | (v & 0x3FF), o);
        p += 2;
      } else {
        break;
      }
    }
    out = o;
    return p;
  }
#if defined(__SSE2__)
  // The same for text of nearly all ASCII: sixteen units are narrowed and
  // stored at once, and the store is kept only up to the first unit from
  // 0x80 on, which goes on its own. Writing sixteen bytes is safe: the
  // sixteen units ahead need at least that much room.
  [[gnu::noinline]] static const char16_t *wideLoop(const char16_t *p, const char16_t *limit,
                                                    const char16_t *end, char *&out) {
    char *o = out;
    const __m128i bias = _mm_set1_epi16(0x7F80); // carries units from 0x80 on into the sign bit
    while (p < limit) {
      if (end - p >= 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm_packus_epi16(a, b));
        const auto other = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_packs_epi16(_mm_adds_epu16(a, bias), _mm_adds_epu16(b, bias))));
        if (other == 0) {
          o += 16, p += 16;
          continue;
        }
        const int k = std::countr_zero(other);
        o += k, p += k;
      } else if (*p < 0x80) {
        *o++ = static_cast<char>(*p++);
        continue;
      }
      if (!putOther(p, end, o))
        break;
    }
    out = o;
    return p;
  }
#endif
  // The character of a unit from 0x80 on at p; false before a surrogate
  // that is not the high half of a pair.
  static bool putOther(const char16_t *&p, const char16_t *end, char *&o) {
    uint32_t u = *p;
    if (u < 0x800) {
      putPair(o, 0xC0 | (u >> 6), 0x80 | (u & 0x3F));
      o += 2, ++p;
    } else if (u - 0xD800 >= 0x800) {
      putPair(o, 0xE0 | (u >> 12), 0x80 | ((u >> 6) & 0x3F));
      o[2] = static_cast<char>(0x80 | (u & 0x3F));
      o += 3, ++p;
    } else if (uint32_t v; u < 0xDC00 && end - p >= 2 && (v = p[1]) - 0xDC00 < 0x400) {
      o += encodeUtf8((0x10000 + ((u & 0x3FF) << 10)) | (v & 0x3FF), o);
      p += 2;
    } else {
      return false;
    }
    return true;
  }
  // Two bytes in one store where the byte order allows it.
  static void putPair(char *o, uint32_t first, uint32_t second) {
    if constexpr (std::endian::native == std::endian::little) {
      auto t = static_cast<uint16_t>(first | (second << 8));
      std::memcpy(o, &t, 2);
    } else {
      o[0] = static_cast<char>(first);
      o[1] = static_cast<char>(second);
    }
  }
};

struct Utf16Direct {
  char16_t *out;
  int put(uint32_t cp) {
    out += encodeUtf16(cp, out);
    return 0;
  }
  // Converts well-formed characters from p on and gives where it stopped:
  // before anything else, or within three bytes of the end; the walk takes
  // it from there.
  const uint8_t *run(const uint8_t *p, const uint8_t *end) {
    char16_t *o = out;
    if constexpr (std::endian::native == std::endian::little) {
      while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        if ((w & 0x8080808080808080ull) == 0) { // eight ASCII bytes
          for (int i = 0; i < 8; ++i)
            o[i] = p[i];
          o += 8, p += 8;
          // Sixteen in a row: a long run, which a loop the compiler widens takes.
          if (end - p >= 8 && (std::memcpy(&w, p, 8), (w & 0x8080808080808080ull) == 0))
            p = widenAsciiRun(p, end, o);
          continue;
        }
        // Four two-byte characters, none overlong (a lead of C0 or C1).
        if ((w & 0xC0E0C0E0C0E0C0E0ull) == 0x80C080C080C080C0ull &&
            (((w & 0x001E001E001E001Eull) + 0x7FFF7FFF7FFF7FFFull) & 0x8000800080008000ull) ==
                0x8000800080008000ull) {
          uint64_t u = ((w & 0x001F001F001F001Full) << 6) | ((w >> 8) & 0x003F003F003F003Full);
          std::memcpy(o, &u, 8);
          o += 4, p += 8;
          continue;
        }
        if (!step(p, o))
          break;
      }
    }
    while (end - p >= 4 && step(p, o)) {
    }
    out = o;
    return p;
  }
  // The rest of an ASCII run, out of line so that the loop above stays
  // small; advances o.
  [[gnu::noinline]] static const uint8_t *widenAsciiRun(const uint8_t *p, const uint8_t *end,
                                                        char16_t *&o) {
    const uint8_t *q = asciiRunEnd(p + 8, end);
    char16_t *to = o;
    for (; p < q; ++p)
      *to++ = *p;
    o = to;
    return q;
  }
  // One well-formed character at p, at least four bytes before the end.
  static bool step(const uint8_t *&p, char16_t *&o) {
    uint32_t b = p[0];
    if (b < 0x80) {
      *o++ = static_cast<char16_t>(b);
      ++p;
    } else if (b - 0xC2 < 0x1E) {
      if ((p[1] & 0xC0) != 0x80)
        return false;
      *o++ = static_cast<char16_t>(((b & 0x1F) << 6) | (p[1] & 0x3Fu));
      p += 2;
    } else if (b - 0xE0 < 0x10) {
      if (((p[1] | (p[2] << 8)) & 0xC0C0) != 0x8080)
        return false;
      uint32_t cp = ((b & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
      if (cp < 0x800 || cp - 0xD800 < 0x800 || cp >= 0xFFFE)
        return false;
      *o++ = static_cast<char16_t>(cp);
      p += 3;
    } else if (b - 0xF0 < 0x05) {
      if (((p[1] | (p[2] << 8) | (p[3] << 16)) & 0xC0C0C0) != 0x808080)
        return false;
      uint32_t cp =
          ((b & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
      if (cp - 0x10000 >= 0x100000)
        return false;
      o += encodeUtf16(cp, o);
      p += 4;
    } else {
      return false;
    }
    return true;
  }
};

// Where counted input may be cut in two without changing what the walk sees:
// before a unit that is not a low surrogate, before a byte that is not a
// continuation byte and not 0xF8..0xFF (which an unfinished sequence would
// swallow). Either way, a sequence the cut leaves unfinished is one invalid
// piece at the end of the input as it is before the unit that breaks it.
inline bool cutBefore(char16_t u) { return static_cast<uint32_t>(u) - 0xDC00 >= 0x400; }
inline bool cutBefore(char c) {
  uint32_t b = static_cast<uint8_t>(c);
  return b < 0x80 || b - 0xC0 < 0x38;
}

// ---- conversions for the library's own callers ----

// Bounded conversions of counted input. A NULL dst measures; otherwise at
// most size units are written, the terminator included. The result counts
// the terminator; kFailed when the walk fails.
uint64_t utf16ToUtf8(char *dst, uint64_t size, const char16_t *src, uint64_t count, int mode);
uint64_t utf8ToUtf16(char16_t *dst, uint64_t size, const char *src, uint64_t count, int mode);

// Allocating conversions of counted input into a tag: measure, then one
// block of the exact size, NUL-terminated, which the caller frees to the same
// tag. Gives PSP_OKAY and sets *out, or PSP_ERR_BADCHAR (invalid input) or
// PSP_ERR_NOMEMORY (library not initialised, no such tag, result of 4 GiB or
// more, allocation failed) and leaves *out alone. A failed allocation in a tag
// with a jump buffer jumps from inside tagAlloc: callers must hold no lock and
// no object with a non-trivial destructor across these calls.
PSP_STATUS allocUtf8(PSP_MEMTAG tag, const char16_t *src, uint64_t count, int mode, char **out);
PSP_STATUS allocUtf16(PSP_MEMTAG tag, const char *src, uint64_t count, int mode, char16_t **out);

} // namespace psp::unicode
