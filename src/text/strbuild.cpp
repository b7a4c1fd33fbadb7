// strbuild.cpp - string builders: format into a block allocated from a
// memory tag, or append formatted text to such a block.
//
// Every call formats twice over fresh copies of the arguments: a measuring
// pass, then the write into a block sized exactly to the measured length plus
// the terminator. It allocates (or resizes) once and only after the
// measurement succeeded, so a failing format allocates nothing.
//
// A failed allocation in a tag with a jump buffer leaves through tagAlloc /
// tagRealloc (or psp_getMem). The frames below hold nothing that needs
// unwinding at that point: no lock, no object with a destructor, and the
// va_list of the VA forms needs no va_end on the supported ABIs.
#include "internal.h"
#include "text/format.h"

namespace psp {
namespace {

constexpr uint64_t kMaxBlock = 0xFFFFFFFE; // the builders' block-size refusal

template <typename Unit> Unit *makeString(PSP_MEMTAG tag, const Unit *format, va_list args) {
  uint64_t length;
  if (!fmt::measure(format, args, &length))
    return nullptr;
  uint64_t bytes = (length + 1) * sizeof(Unit);
  if (bytes >= kMaxBlock || !initialised())
    return nullptr;
  psp_memtag_rec *rec = resolveTag(tag);
  if (rec == nullptr)
    return nullptr;
  auto *block = static_cast<Unit *>(tagAlloc(rec, static_cast<uint32_t>(bytes)));
  if (block == nullptr)
    return nullptr;
  // The measuring pass proved the format good and the block large enough.
  fmt::formatBounded(block, length + 1, format, args);
  return block;
}

template <typename Unit>
Unit *appendString(const char *file, int32_t line, PSP_MEMTAG tag, Unit *old, const Unit *format,
                   va_list args) {
  uint64_t offset = old != nullptr ? fmt::detail::unitLength(old) : 0;
  uint64_t length;
  if (!fmt::measure(format, args, &length))
    return nullptr;
  uint64_t bytes = (offset + length + 1) * sizeof(Unit);
  if (bytes >= kMaxBlock)
    return nullptr;
  Unit *block;
  if (old == nullptr) {
    block = static_cast<Unit *>(psp_getMem(bytes, tag, PSP_MEM_NORMAL, nullptr, file, line));
  } else {
    if (!initialised())
      return nullptr;
    psp_memtag_rec *rec = resolveTag(tag);
    if (rec == nullptr)
      return nullptr;
    block = static_cast<Unit *>(tagRealloc(rec, old, static_cast<uint32_t>(bytes), 1));
  }
  if (block == nullptr)
    return nullptr;
  fmt::formatBounded(block + offset, length + 1, format, args); // over the old terminator
  return block;
}

// The _rc forms: the out-parameter is written only on success.
template <typename Unit> PSP_STATUS deliver(Unit *s, Unit **out) {
  if (s == nullptr)
    return PSP_ERR_NOMEMORY;
  *out = s;
  return PSP_OKAY;
}

} // namespace
} // namespace psp

using psp::appendString;
using psp::deliver;
using psp::makeString;

// ---- narrow ----------------------------------------------------------------

PSP_API char *psp_makeStrV(const char *, int32_t, PSP_MEMTAG tag, const char *format,
                           va_list args) {
  return makeString(tag, format, args);
}

PSP_API char *psp_makeStrVA(const char *, int32_t, PSP_MEMTAG tag, const char *format, ...) {
  va_list args;
  va_start(args, format);
  char *s = makeString(tag, format, args);
  va_end(args);
  return s;
}

PSP_API PSP_STATUS psp_makeStrVA_rc(const char *, int32_t, char **out, PSP_MEMTAG tag,
                                    const char *format, ...) {
  va_list args;
  va_start(args, format);
  char *s = makeString(tag, format, args);
  va_end(args);
  return deliver(s, out);
}

PSP_API char *psp_appendStrV(const char *file, int32_t line, PSP_MEMTAG tag, char *old,
                             const char *format, va_list args) {
  return appendString(file, line, tag, old, format, args);
}

PSP_API char *psp_appendStrVA(const char *file, int32_t line, PSP_MEMTAG tag, char *old,
                              const char *format, ...) {
  va_list args;
  va_start(args, format);
  char *s = appendString(file, line, tag, old, format, args);
  va_end(args);
  return s;
}

PSP_API PSP_STATUS psp_appendStrVA_rc(const char *file, int32_t line, char **out, PSP_MEMTAG tag,
                                      char *old, const char *format, ...) {
  va_list args;
  va_start(args, format);
  char *s = appendString(file, line, tag, old, format, args);
  va_end(args);
  return deliver(s, out);
}

// ---- wide ------------------------------------------------------------------

PSP_API PSP_WCHAR *psp_makeWStrV(const char *, int32_t, PSP_MEMTAG tag, const PSP_WCHAR *format,
                                 va_list args) {
  return makeString(tag, format, args);
}

PSP_API PSP_WCHAR *psp_makeWStrVA(const char *, int32_t, PSP_MEMTAG tag, const PSP_WCHAR *format,
                                  ...) {
  va_list args;
  va_start(args, format);
  PSP_WCHAR *s = makeString(tag, format, args);
  va_end(args);
  return s;
}

PSP_API PSP_STATUS psp_makeWStrVA_rc(const char *, int32_t, PSP_WCHAR **out, PSP_MEMTAG tag,
                                     const PSP_WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  PSP_WCHAR *s = makeString(tag, format, args);
  va_end(args);
  return deliver(s, out);
}

PSP_API PSP_WCHAR *psp_appendWStrV(const char *file, int32_t line, PSP_MEMTAG tag, PSP_WCHAR *old,
                                   const PSP_WCHAR *format, va_list args) {
  return appendString(file, line, tag, old, format, args);
}

PSP_API PSP_WCHAR *psp_appendWStrVA(const char *file, int32_t line, PSP_MEMTAG tag, PSP_WCHAR *old,
                                    const PSP_WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  PSP_WCHAR *s = appendString(file, line, tag, old, format, args);
  va_end(args);
  return s;
}

PSP_API PSP_STATUS psp_appendWStrVA_rc(const char *file, int32_t line, PSP_WCHAR **out,
                                       PSP_MEMTAG tag, PSP_WCHAR *old, const PSP_WCHAR *format,
                                       ...) {
  va_list args;
  va_start(args, format);
  PSP_WCHAR *s = appendString(file, line, tag, old, format, args);
  va_end(args);
  return deliver(s, out);
}
