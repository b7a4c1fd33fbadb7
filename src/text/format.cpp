// format.cpp - the exported format functions, narrow and wide, the bounded
// buffers PSP_UTF8_BUFF / PSP_WCHAR_BUFF with their emitters, and the wide
// engine's locale record.
//
// Every function here is a thin shape over the one engine in format.h. The
// buffer records follow the exported layout: once `overflow` is set nothing
// more is stored, while `total` and `totalChars` keep counting, so a caller
// learns the size it would have needed.
//
// The wide locale record lives only for the conversion specification that
// needed it: made in PSP_TAG_DEFAULT, its strings in PSP_TAG_THREAD, and all
// three given back when the conversion specification ends, so nothing accumulates in
// either tag.
#include "internal.h"
#include "text/format.h"

namespace psp::fmt {

namespace {

WideLocale g_fallbackLocale{nullptr, nullptr};

template <typename Buff, typename Unit> void buffInit(Buff *buff, Unit *area, uint64_t size) {
  buff->buf = size != 0 ? area : nullptr;
  buff->capacity = buff->buf != nullptr ? size - 1 : 0;
  buff->used = 0;
  buff->stored = 0;
  buff->total = 0;
  buff->totalChars = 0;
  buff->overflow = 0;
}

} // namespace

WideLocale *wideLocaleAcquire() {
  psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT);
  if (tag == nullptr)
    return &g_fallbackLocale;
  // May jump when the default tag has a jump buffer; nothing is held yet.
  auto *record = static_cast<WideLocale *>(tagAlloc(tag, sizeof(WideLocale)));
  if (record == nullptr)
    return &g_fallbackLocale;
  record->decimalPoint = nullptr;
  record->thousandsSep = nullptr;
  const std::lconv *conv = std::localeconv();
  // localeconv's strings may be overwritten by its next call: convert both
  // before anything else can ask for them.
  const char *point = conv->decimal_point;
  const char *sep = conv->thousands_sep;
  if (point != nullptr)
    record->decimalPoint = psp_convToWchar(point, PSP_CONV_STRICT, PSP_TAG_THREAD);
  if (sep != nullptr)
    record->thousandsSep = psp_convToWchar(sep, PSP_CONV_STRICT, PSP_TAG_THREAD);
  return record;
}

void wideLocaleRelease(WideLocale *record) {
  if (record == &g_fallbackLocale)
    return;
  if (record->decimalPoint != nullptr)
    psp_freeMem(const_cast<char16_t *>(record->decimalPoint), PSP_TAG_THREAD, "pspformat",
                __LINE__);
  if (record->thousandsSep != nullptr)
    psp_freeMem(const_cast<char16_t *>(record->thousandsSep), PSP_TAG_THREAD, "pspformat",
                __LINE__);
  if (psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT))
    tagFree(tag, record);
}

} // namespace psp::fmt

using psp::fmt::EmitterSink;
using psp::fmt::formatBounded;
using psp::fmt::formatTo;

// ---- narrow ----------------------------------------------------------------

PSP_API PSP_STATUS psp_vfnprintf(PSP_EMITTER emitter, void *sink, const char *format,
                                 va_list args) {
  EmitterSink<char> out{emitter, sink};
  return formatTo(out, format, args);
}

PSP_API PSP_STATUS psp_fnprintf(PSP_EMITTER emitter, void *sink, const char *format, ...) {
  va_list args;
  va_start(args, format);
  PSP_STATUS st = psp_vfnprintf(emitter, sink, format, args);
  va_end(args);
  return st;
}

PSP_API int32_t psp_vsnprintf(char *buf, uint64_t size, const char *format, va_list args) {
  return formatBounded(buf, size, format, args);
}

PSP_API int32_t psp_snprintf(char *buf, uint64_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int32_t n = formatBounded(buf, size, format, args);
  va_end(args);
  return n;
}

// One function under two names: the two records differ only in the type of
// `buf`, and a size in units means the same for both.
PSP_API void psp_utf8BuffInit(PSP_UTF8_BUFF *buff, char *area, uint64_t size) {
  psp::fmt::buffInit(buff, area, size);
}

#if defined(__GNUC__) && !defined(_WIN32)
PSP_API void psp_wcharBuffInit(PSP_WCHAR_BUFF *buff, PSP_WCHAR *area, uint64_t size)
    __attribute__((alias("psp_utf8BuffInit")));
#else
PSP_API void psp_wcharBuffInit(PSP_WCHAR_BUFF *buff, PSP_WCHAR *area, uint64_t size) {
  psp::fmt::buffInit(buff, area, size);
}
#endif

PSP_API int psp_emitCharAsUtf8(void *sink, int ch) {
  auto *buff = static_cast<PSP_UTF8_BUFF *>(sink);
  if (!buff->overflow && buff->capacity >= buff->used + 1) {
    buff->buf[buff->used++] = static_cast<char>(ch);
    ++buff->stored;
  } else {
    buff->overflow = 1;
  }
  ++buff->total;
  ++buff->totalChars;
  return 0;
}

PSP_API void psp_utf8BuffTerm(PSP_UTF8_BUFF *buff) {
  if (buff->buf != nullptr) {
    ++buff->capacity; // the held-back byte
    buff->overflow = 0;
  } else {
    buff->overflow = 1;
  }
  psp_emitCharAsUtf8(buff, 0);
}

PSP_API int psp_outputString(PSP_EMITTER emitter, void *sink, const char *text) {
  if (text == nullptr)
    return 0;
  for (; *text != 0; ++text)
    if (int st = emitter(sink, static_cast<unsigned char>(*text)))
      return st;
  return 0;
}

// ---- wide ------------------------------------------------------------------

PSP_API PSP_STATUS psp_vfnwprintf(PSP_EMITTER emitter, void *sink, const PSP_WCHAR *format,
                                  va_list args) {
  EmitterSink<char16_t> out{emitter, sink};
  return formatTo(out, format, args);
}

PSP_API PSP_STATUS psp_fnwprintf(PSP_EMITTER emitter, void *sink, const PSP_WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  PSP_STATUS st = psp_vfnwprintf(emitter, sink, format, args);
  va_end(args);
  return st;
}

PSP_API int32_t psp_vsnwprintf(PSP_WCHAR *buf, uint64_t size, const PSP_WCHAR *format,
                               va_list args) {
  return formatBounded(buf, size, format, args);
}

PSP_API int32_t psp_snwprintf(PSP_WCHAR *buf, uint64_t size, const PSP_WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  int32_t n = formatBounded(buf, size, format, args);
  va_end(args);
  return n;
}

PSP_API int psp_wcharBuffEmit(PSP_WCHAR_BUFF *buff, uint32_t codePoint) {
  PSP_WCHAR units[2];
  int n = 1;
  if (codePoint <= 0xFFFF) {
    units[0] = static_cast<PSP_WCHAR>(codePoint);
  } else {
    n = 2;
    units[0] = static_cast<PSP_WCHAR>((((codePoint - 0x10000) >> 10) & 0x3FF) | 0xD800);
    units[1] = static_cast<PSP_WCHAR>((codePoint & 0x3FF) | 0xDC00);
  }
  if (!buff->overflow && buff->capacity >= buff->used + n) {
    for (int i = 0; i < n; ++i)
      buff->buf[buff->used++] = units[i];
    ++buff->stored;
  } else {
    buff->overflow = 1;
  }
  buff->total += n;
  ++buff->totalChars;
  return n;
}

PSP_API int psp_emitCharAsWChar(void *sink, int codePoint) {
  psp_wcharBuffEmit(static_cast<PSP_WCHAR_BUFF *>(sink), static_cast<uint32_t>(codePoint));
  return 0;
}

PSP_API void psp_wcharBuffTerm(PSP_WCHAR_BUFF *buff) {
  if (buff->buf != nullptr) {
    ++buff->capacity;
    buff->overflow = 0;
  } else {
    buff->overflow = 1;
  }
  psp_wcharBuffEmit(buff, 0);
}
