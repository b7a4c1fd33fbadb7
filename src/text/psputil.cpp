// psputil.cpp - string and number helpers: case-insensitive search, bounded
// copies that always terminate, an in-place tokenizer, error messages in new
// memory, and decimal and floating conversions that report range errors and
// missing numbers as status codes instead of through errno.
//
// They sit on the C runtime's string and number functions (its reentrant
// tokenizer, case-insensitive comparisons and error texts through os.h;
// strtoll, strtoull, strtod, strtof) and inherit their exact parsing. Everything is reentrant:
// errno is per thread.
//
// Jumps: psp_tokenize and psp_strerr_alloc allocate in the caller's tag, which
// may longjmp out of psp_getMem or tagRealloc; no frame here holds a lock or
// an object with a non-trivial destructor across those calls.
#include "internal.h"
#include "platform/os.h"

#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr uint64_t kMaxBlock = 0xFFFFFFFCu; // largest array or buffer the helpers grow to

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Strips spaces and tabs at both ends, in place. NULL when nothing is left.
char *trimmed(char *token) {
  while (isBlank(*token))
    ++token;
  if (*token == '\0')
    return nullptr;
  char *last = token + std::strlen(token) - 1;
  while (isBlank(*last))
    --last;
  last[1] = '\0';
  return token;
}

// The words the floating conversions take before the runtime sees the text.
enum class Special { None, NaN, PlusInf, MinusInf };

Special specialWord(const char *text) {
  if (!text)
    return Special::None;
  if (psp::os::compareNoCase(text, "nan") == 0)
    return Special::NaN;
  if (psp::os::compareNoCase(text, "inf") == 0 || psp::os::compareNoCase(text, "+inf") == 0)
    return Special::PlusInf;
  if (psp::os::compareNoCase(text, "-inf") == 0)
    return Special::MinusInf;
  return Special::None;
}

// A result of 0 stands for a number only when the text is exactly "0".
bool isPlainZero(const char *text) { return text[0] == '0' && text[1] == '\0'; }

} // namespace

// ---- text ----

PSP_API char *psp_strcasestr(const char *haystack, const char *needle) {
  if (*haystack == '\0')
    return nullptr;
  if (!needle)
    needle = "";
  size_t n = std::strlen(needle);
  for (const char *p = haystack; *p; ++p)
    if (psp::os::compareNoCase(p, needle, n) == 0)
      return const_cast<char *>(p);
  return nullptr;
}

PSP_API char *psp_strncpyZ(char *dst, const char *src, uint64_t size) {
  if (size == 0)
    return dst;
  std::strncpy(dst, src ? src : "", size - 1);
  dst[size - 1] = '\0';
  return dst;
}

PSP_API PSP_WCHAR *psp_wcsncpyZ(PSP_WCHAR *dst, const PSP_WCHAR *src, uint64_t size) {
  if (size == 0)
    return dst;
  // wcsncpy semantics over 16-bit units: copy up to the terminator, zero the
  // rest of the size - 1 places.
  uint64_t i = 0;
  if (src)
    for (; i < size - 1 && src[i]; ++i)
      dst[i] = src[i];
  for (; i < size - 1; ++i)
    dst[i] = 0;
  dst[size - 1] = 0;
  return dst;
}

PSP_API PSP_STATUS psp_tokenize(char *text, const char *delimiters, char ***tokens, uint32_t *count,
                                uint32_t trim, PSP_MEMTAG tag) {
  if (!text || !tokens)
    return PSP_ERR_INVALIDPARAM;
  if (!delimiters)
    delimiters = "";
  char **array = nullptr;
  uint64_t kept = 0;
  char *save = nullptr;
  for (char *token = psp::os::tokenize(text, delimiters, &save); token;
       token = psp::os::tokenize(nullptr, delimiters, &save)) {
    if (trim && !(token = trimmed(token)))
      continue;
    uint64_t bytes = (kept + 1) * sizeof(char *);
    char **grown;
    if (bytes > kMaxBlock) {
      grown = nullptr;
    } else if (!array) {
      grown = static_cast<char **>(
          psp_getMem(bytes, tag, PSP_MEM_NORMAL, nullptr, "psputil", __LINE__));
    } else {
      psp_memtag_rec *rec = psp::resolveTag(tag);
      grown =
          rec ? static_cast<char **>(psp::tagRealloc(rec, array, static_cast<uint32_t>(bytes), 1))
              : nullptr;
    }
    if (!grown) {
      // The old array is still valid after a failed resize.
      if (array)
        psp_freeMem(array, tag, "psputil", __LINE__);
      return PSP_ERR_NOMEMORY;
    }
    array = grown;
    array[kept++] = token;
  }
  *tokens = array;
  if (count)
    *count = static_cast<uint32_t>(kept);
  return PSP_OKAY;
}

PSP_API char *psp_strerr_alloc(uint32_t errnum, PSP_MEMTAG tag) {
  uint64_t size = 256;
  auto *buf =
      static_cast<char *>(psp_getMem(size, tag, PSP_MEM_NORMAL, nullptr, "psputil", __LINE__));
  if (!buf)
    return nullptr;
  for (;;) {
    int rc = psp::os::errorText(static_cast<int>(errnum), buf, size);
    if (rc == ERANGE) {
      psp_memtag_rec *rec = psp::resolveTag(tag);
      char *grown = nullptr;
      if (rec && 2 * size - 1 <= kMaxBlock)
        grown = static_cast<char *>(psp::tagRealloc(rec, buf, static_cast<uint32_t>(2 * size), 1));
      if (!grown)
        break;
      buf = grown;
      size *= 2;
      continue;
    }
    if (rc == EINVAL)
      break;
    return buf;
  }
  psp_freeMem(buf, tag, "psputil", __LINE__);
  return nullptr;
}

// ---- integers ----

namespace {

// The status rules shared by the signed and unsigned conversions. Only a
// result of 0 or an extreme needs a closer look: an extreme with ERANGE is an
// overflow, and a 0 counts as a number only when the text is exactly "0".
template <typename T>
PSP_STATUS finishInteger(const char *text, T value, int error, bool extreme, T *out) {
  if (value == 0 || extreme) {
    if (error == ERANGE)
      return PSP_ERR_RANGE;
    if (value == 0 && (error == EINVAL || !isPlainZero(text)))
      return PSP_ERR_NOTANUMBER;
  }
  if (out)
    *out = value;
  return PSP_OKAY;
}

} // namespace

PSP_API PSP_STATUS psp_atoi64(const char *text, int64_t *out) {
  if (!text)
    return PSP_ERR_NOTANUMBER;
  errno = 0;
  int64_t value = std::strtoll(text, nullptr, 10);
  return finishInteger(text, value, errno, value == INT64_MIN || value == INT64_MAX, out);
}

PSP_API PSP_STATUS psp_atoui64(const char *text, uint64_t *out) {
  if (!text)
    return PSP_ERR_NOTANUMBER;
  errno = 0;
  uint64_t value = std::strtoull(text, nullptr, 10);
  return finishInteger(text, value, errno, value == UINT64_MAX, out);
}

PSP_API PSP_STATUS psp_atoi32(const char *text, int32_t *out) {
  int64_t value;
  PSP_STATUS st = psp_atoi64(text, &value);
  if (st != PSP_OKAY)
    return st;
  if (value < INT32_MIN || value > INT32_MAX)
    return PSP_ERR_RANGE;
  if (out)
    *out = static_cast<int32_t>(value);
  return PSP_OKAY;
}

PSP_API PSP_STATUS psp_atoui32(const char *text, uint32_t *out) {
  uint64_t value;
  PSP_STATUS st = psp_atoui64(text, &value);
  if (st != PSP_OKAY)
    return st;
  if (value > UINT32_MAX)
    return PSP_ERR_RANGE;
  if (out)
    *out = static_cast<uint32_t>(value);
  return PSP_OKAY;
}

// ---- floating point ----

namespace {

// The special words first, then the runtime's parse; a NULL text reads as 0.
// Every path returns a value, whatever specialWord answers.
template <typename F> F readFloating(const char *text) {
  switch (specialWord(text)) {
  case Special::NaN:
    // All payload bits for a double, the quiet bit alone for a float.
    if constexpr (sizeof(F) == sizeof(double))
      return std::bit_cast<double>(0x7FFFFFFFFFFFFFFFull);
    else
      return std::bit_cast<float>(0x7FC00000u);
  case Special::PlusInf:
    return std::numeric_limits<F>::infinity();
  case Special::MinusInf:
    return -std::numeric_limits<F>::infinity();
  case Special::None:
    break;
  }
  if (!text)
    return F(0);
  if constexpr (sizeof(F) == sizeof(double))
    return std::strtod(text, nullptr);
  else
    return std::strtof(text, nullptr);
}

} // namespace

PSP_API double psp_atof(const char *text) {
  errno = 0;
  return readFloating<double>(text);
}

PSP_API PSP_STATUS psp_strtod(const char *text, double *out) {
  errno = 0;
  double value = psp_atof(text);
  if ((std::isinf(value) || value == 0.0) && errno == ERANGE)
    return PSP_ERR_RANGE;
  if (out)
    *out = value;
  return PSP_OKAY;
}

PSP_API PSP_STATUS psp_strtof(const char *text, float *out) {
  errno = 0;
  float value = readFloating<float>(text);
  bool range = (std::isinf(value) || value == 0.0f) && errno == ERANGE;
  if (out)
    *out = value; // stored even on a range error, unlike the double form
  return range ? PSP_ERR_RANGE : PSP_OKAY;
}
