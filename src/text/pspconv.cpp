// pspconv.cpp - the exported UTF-8 / UTF-16 conversions.
//
// Everything here is a thin layer over the decoders and sinks of unicode.h.
// Conversions run in two passes, measure then convert, so an allocating form
// makes exactly one allocation of the exact size. No state outlives a call:
// every walk keeps its state on the caller's stack, so all of this is
// reentrant, and everything but the allocating forms works before psp_init.
//
// NULL input text counts as empty. A destination of size 0 receives nothing
// and the bounded conversions then give 0.
//
// Jumps: the allocating forms call tagAlloc, which longjmps when the tag has a
// jump buffer and the allocation fails. No frame of this file holds a lock or
// an object with a non-trivial destructor across that call; the argument
// vector allocates without the jump and takes it only after freeing what it
// made.
#include "text/unicode.h"

namespace psp::unicode {

namespace {

inline uint64_t utf8Size(const char *text) { return text ? std::strlen(text) : 0; }
inline uint64_t utf16Size(const char16_t *text) { return text ? utf16Length(text) : 0; }

// Whole characters only: once one does not fit, nothing more is copied, but
// the walk goes on so that later invalid input is still seen.
struct WholeCharCopy {
  char *dst; // NULL counts only
  uint64_t room;
  uint64_t bytes = 0;
  uint64_t chars = 0;
  bool full = false;
  int put(uint32_t cp) {
    if (full)
      return 0;
    uint64_t k = static_cast<uint64_t>(utf8Length(cp));
    if (k > room) {
      full = true;
      return 0;
    }
    if (dst)
      encodeUtf8(cp, dst + bytes);
    bytes += k;
    room -= k;
    ++chars;
    return 0;
  }
  int ascii(const char *run, uint64_t n) {
    if (full)
      return 0;
    uint64_t m = n <= room ? n : room;
    if (dst)
      std::memcpy(dst + bytes, run, m);
    bytes += m;
    room -= m;
    chars += m;
    full = m < n;
    return 0;
  }
};

// UTF-8 bytes of the first characters up to a limit. A limit of 0 is lowered
// past zero on the first character and so never stops the walk.
struct LimitedByteCount {
  uint64_t bytes = 0;
  uint64_t remaining;
  int put(uint32_t cp) {
    bytes += static_cast<uint64_t>(utf8Length(cp));
    return --remaining == 0 ? PSP_NO : 0;
  }
  int ascii(const char *, uint64_t n) {
    if (remaining == 0 || n < remaining) {
      bytes += n;
      remaining -= n;
      return 0;
    }
    bytes += remaining;
    remaining = 0;
    return PSP_NO;
  }
};

// Input is converted in stretches whose longest output fits in the room
// left, through a store that checks no room; what remains once the stretches
// get short goes through the bounded store. The result is the same as one
// walk through the bounded store: a stretch ends only where cutBefore allows,
// and nothing in it is skipped for want of room.
template <class Counter, class Store, class Direct, uint64_t kMaxOut, class Out, class In,
          class Walk>
uint64_t bounded(Out *dst, uint64_t size, const In *src, uint64_t count, int mode, Walk walk) {
  if (!dst) {
    Counter counter;
    if (walk(src, count, counter, mode) != PSP_OKAY)
      return kFailed;
    return counter.used + 1;
  }
  if (size == 0)
    return 0;
  constexpr uint64_t kShortest = 32;
  Store store{dst, size - 1};
  Direct direct{dst};
  while (count != 0) {
    uint64_t n = (store.capacity - store.used) / kMaxOut;
    if (n < count) {
      for (int back = 0; back < 4 && n >= kShortest && !cutBefore(src[n]); ++back)
        --n;
      if (n < kShortest || !cutBefore(src[n]))
        break;
    } else {
      n = count;
    }
    direct.out = dst + store.used;
    if (walk(src, n, direct, mode) != PSP_OKAY)
      return kFailed;
    store.used = static_cast<uint64_t>(direct.out - dst);
    src += n;
    count -= n;
  }
  if (count != 0 && walk(src, count, store, mode) != PSP_OKAY)
    return kFailed;
  dst[store.used] = 0; // the held-back unit always has room for it
  return store.used + 1;
}

} // namespace

uint64_t utf16ToUtf8(char *dst, uint64_t size, const char16_t *src, uint64_t count, int mode) {
  return bounded<Utf8Counter, Utf8Store, Utf8Direct, 3>(
      dst, size, src, count, mode,
      [](auto *s, uint64_t n, auto &sink, int m) { return walkUtf16(s, n, sink, m); });
}

uint64_t utf8ToUtf16(char16_t *dst, uint64_t size, const char *src, uint64_t count, int mode) {
  return bounded<Utf16Counter, Utf16Store, Utf16Direct, 1>(
      dst, size, src, count, mode,
      [](auto *s, uint64_t n, auto &sink, int m) { return decodeUtf8(s, n, sink, m); });
}

// With jump false a failed allocation returns instead of jumping, so that the
// caller can undo its own work first.
static PSP_STATUS toUtf8Block(psp_memtag_rec *rec, const char16_t *src, uint64_t count, int mode,
                              bool jump, char **out) {
  uint64_t n = utf16ToUtf8(nullptr, 0, src, count, mode);
  if (n == kFailed)
    return PSP_ERR_BADCHAR;
  if (n >= 0xFFFFFFFEu)
    return PSP_ERR_NOMEMORY;
  auto size = static_cast<uint32_t>(n);
  char *block = static_cast<char *>(jump ? tagAlloc(rec, size) : tagTryAlloc(rec, size));
  if (!block)
    return PSP_ERR_NOMEMORY;
  utf16ToUtf8(block, n, src, count, mode);
  *out = block;
  return PSP_OKAY;
}

PSP_STATUS allocUtf8(PSP_MEMTAG tag, const char16_t *src, uint64_t count, int mode, char **out) {
  if (!initialised())
    return PSP_ERR_NOMEMORY;
  psp_memtag_rec *rec = resolveTag(tag);
  if (!rec)
    return PSP_ERR_NOMEMORY;
  return toUtf8Block(rec, src, count, mode, true, out);
}

PSP_STATUS allocUtf16(PSP_MEMTAG tag, const char *src, uint64_t count, int mode, char16_t **out) {
  if (!initialised())
    return PSP_ERR_NOMEMORY;
  uint64_t n = utf8ToUtf16(nullptr, 0, src, count, mode);
  if (n == kFailed)
    return PSP_ERR_BADCHAR;
  psp_memtag_rec *rec = resolveTag(tag);
  if (!rec || n >= 0x7FFFFFFFu) // 2n must stay below 0xFFFFFFFE
    return PSP_ERR_NOMEMORY;
  auto *block = static_cast<char16_t *>(tagAlloc(rec, static_cast<uint32_t>(2 * n)));
  if (!block)
    return PSP_ERR_NOMEMORY;
  utf8ToUtf16(block, n, src, count, mode);
  *out = block;
  return PSP_OKAY;
}

} // namespace psp::unicode

using namespace psp::unicode;

// ---- single characters ----

PSP_API int psp_utf8_codes(uint32_t codePoint, char *area) {
  if (!area)
    return utf8Length(codePoint);
  return encodeUtf8(codePoint, area);
}

PSP_API uint64_t psp_uchar_to_utf8(uint32_t codePoint, char *area, uint64_t size) {
  uint64_t n = static_cast<uint64_t>(utf8Length(codePoint));
  if (n <= size && area) {
    encodeUtf8(codePoint, area);
    std::memset(area + n, 0, size - n);
  }
  return n;
}

PSP_API int psp_utf16_codes(uint32_t codePoint, PSP_WCHAR *area) {
  if (!area)
    return utf16Length(codePoint);
  return encodeUtf16(codePoint, area);
}

// ---- walks with a caller's sink ----

PSP_API PSP_STATUS psp_processWString(const PSP_WCHAR *text, PSP_EMITTER sink, void *context,
                                      int mode) {
  EmitterSink s{sink, context};
  return walkUtf16(text, utf16Size(text), s, mode);
}

PSP_API PSP_STATUS psp_processWBuff(const PSP_WCHAR *units, uint64_t count, PSP_EMITTER sink,
                                    void *context, int mode) {
  EmitterSink s{sink, context};
  return walkUtf16(units, units ? count : 0, s, mode);
}

// ---- bounded conversions ----

PSP_API uint64_t psp_wchar_to_utf8(char *dst, const PSP_WCHAR *src, uint64_t size, int mode) {
  return utf16ToUtf8(dst, size, src, utf16Size(src), mode);
}

PSP_API uint64_t psp_wchar_to_utf8_len(char *dst, uint64_t size, const PSP_WCHAR *src,
                                       uint64_t count, int mode) {
  return utf16ToUtf8(dst, size, src, src ? count : 0, mode);
}

PSP_API uint64_t psp_utf8_to_wchar(PSP_WCHAR *dst, const char *src, uint64_t size, int mode) {
  return utf8ToUtf16(dst, size, src, utf8Size(src), mode);
}

PSP_API uint64_t psp_utf8_to_wchar_len(PSP_WCHAR *dst, uint64_t size, const char *src,
                                       uint64_t count, int mode) {
  return utf8ToUtf16(dst, size, src, src ? count : 0, mode);
}

// ---- allocating conversions ----

PSP_API char *psp_convToUTF8(const PSP_WCHAR *text, int mode, PSP_MEMTAG tag) {
  char *out = nullptr;
  allocUtf8(tag, text, utf16Size(text), mode, &out);
  return out;
}

PSP_API char *psp_convToUTF8_len(const PSP_WCHAR *units, uint32_t count, int mode, PSP_MEMTAG tag) {
  char *out = nullptr;
  allocUtf8(tag, units, units ? count : 0, mode, &out);
  return out;
}

PSP_API PSP_WCHAR *psp_convToWchar(const char *text, int mode, PSP_MEMTAG tag) {
  char16_t *out = nullptr;
  allocUtf16(tag, text, utf8Size(text), mode, &out);
  return out;
}

// The _rc forms refuse a NULL out-parameter before converting: the block
// would be lost.
PSP_API PSP_STATUS psp_convToUTF8_rc(const PSP_WCHAR *text, int mode, char **out, PSP_MEMTAG tag) {
  if (out == nullptr)
    return PSP_ERR_INVALIDPARAM;
  *out = psp_convToUTF8(text, mode, tag);
  return *out ? PSP_OKAY : PSP_ERR_NOMEMORY;
}

PSP_API PSP_STATUS psp_convToWchar_rc(const char *text, int mode, PSP_WCHAR **out, PSP_MEMTAG tag) {
  if (out == nullptr)
    return PSP_ERR_INVALIDPARAM;
  *out = psp_convToWchar(text, mode, tag);
  return *out ? PSP_OKAY : PSP_ERR_NOMEMORY;
}

// ---- UTF-8 measuring and copying over counted input ----

PSP_API uint64_t psp_copyUTF8Chars(char *dst, uint64_t room, const char *src, uint64_t length,
                                   uint64_t *chars, int mode) {
  WholeCharCopy copy{dst, room};
  if (decodeUtf8(src, src ? length : 0, copy, mode) != PSP_OKAY)
    return kFailed;
  if (chars)
    *chars = copy.chars;
  return copy.bytes;
}

PSP_API uint64_t psp_countUTF8bytes(const char *src, uint64_t length, uint64_t charLimit,
                                    int mode) {
  LimitedByteCount count{0, charLimit};
  if (decodeUtf8(src, src ? length : 0, count, mode) != PSP_OKAY)
    return kFailed;
  return count.bytes;
}

PSP_API uint32_t psp_countUTF8chars(const char *src, uint64_t length, int mode) {
  Utf16Counter count;
  if (decodeUtf8(src, src ? length : 0, count, mode) != PSP_OKAY)
    return 0;
  return static_cast<uint32_t>(count.used);
}

// ---- argument vector ----

PSP_API PSP_STATUS psp_convArgvToUTF8(uint32_t argc, PSP_WCHAR **wargv, char ***out,
                                      PSP_MEMTAG tag) {
  if (wargv == nullptr || out == nullptr)
    return PSP_ERR_INVALIDPARAM;
  uint64_t bytes = uint64_t{argc} * sizeof(char *);
  if (!psp::initialised() || bytes == 0 || bytes >= 0xFFFFFFFEu)
    return PSP_ERR_SYSTEM;
  psp_memtag_rec *rec = psp::resolveTag(tag);
  if (!rec)
    return PSP_ERR_SYSTEM;
  auto **argv = static_cast<char **>(psp::tagAlloc(rec, static_cast<uint32_t>(bytes)));
  if (!argv)
    return PSP_ERR_SYSTEM;
  std::memset(argv, 0, bytes);
  for (uint32_t i = 0; i < argc; ++i) {
    if (!wargv[i])
      continue;
    // No jump from inside: the strings made so far go back to the tag first.
    PSP_STATUS st =
        toUtf8Block(rec, wargv[i], utf16Length(wargv[i]), PSP_CONV_STRICT, false, &argv[i]);
    if (st != PSP_OKAY) {
      for (uint32_t j = i; j-- > 0;)
        if (argv[j])
          psp::tagFree(rec, argv[j]);
      psp::tagFree(rec, argv);
      if (st == PSP_ERR_NOMEMORY)
        psp::tagJumpIfArmed(rec);
      return st;
    }
  }
  *out = argv;
  return PSP_OKAY;
}
