// strbuild.cpp - string builders: format into a block allocated from a
// memory tag, or append formatted text to such a block.
//
// Every call formats twice over fresh copies of the arguments: a measuring
// pass, then the write into a block sized exactly to the measured length plus
// the terminator. It allocates (or resizes) once and only after the
// measurement succeeded, so a failing format allocates nothing.
//
// Appending reads its arguments after the resize, which may move the old
// string and free it. So the measuring pass notes whether any text it reads
// (a %s argument, or the format itself) lies in the old string; if so the
// new text is written first into scratch memory, the old string resized, and
// the text copied in after it.
//
// A failed allocation in a tag with a jump buffer leaves through tagAlloc /
// tagRealloc (or psp_getMem). The frames below hold nothing that needs
// unwinding at that point: no lock, no object with a destructor, and the
// va_list of the VA forms needs no va_end on the supported ABIs.
#include "internal.h"
#include "text/format.h"

#include <cstring>

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

// Measures, and notes whether any text read lies in [from, to).
template <typename Unit> struct OverlapCountSink {
  uintptr_t from, to;
  uint64_t total = 0;
  bool overlaps = false;
  int put(Unit) {
    ++total;
    return 0;
  }
  int run(const Unit *p, uint64_t n) {
    const auto at = reinterpret_cast<uintptr_t>(p);
    if (n != 0 && at < to && at + n * sizeof(Unit) > from)
      overlaps = true;
    total += n;
    return 0;
  }
  int fill(Unit, uint64_t n) {
    total += n;
    return 0;
  }
};

constexpr uint64_t kStackScratch = 256; // units

// Appending text that reads the old string: format it into scratch while the
// old string is intact, resize, then copy it in.
template <typename Unit>
Unit *appendOverlapping(psp_memtag_rec *rec, Unit *old, uint64_t offset, uint64_t length,
                        const Unit *format, va_list args) {
  Unit stackScratch[kStackScratch];
  Unit *scratch = stackScratch;
  psp_memtag_rec *thread = nullptr;
  if (length + 1 > kStackScratch) {
    thread = resolveTag(PSP_TAG_THREAD);
    scratch = thread != nullptr ? static_cast<Unit *>(tagTryAlloc(
                                      thread, static_cast<uint32_t>((length + 1) * sizeof(Unit))))
                                : nullptr;
    if (scratch == nullptr) {
      tagJumpIfArmed(rec);
      return nullptr;
    }
  }
  fmt::formatBounded(scratch, length + 1, format, args);
  auto *block = static_cast<Unit *>(
      tagTryRealloc(rec, old, static_cast<uint32_t>((offset + length + 1) * sizeof(Unit)), 1));
  if (block != nullptr)
    std::memcpy(block + offset, scratch, (length + 1) * sizeof(Unit));
  if (thread != nullptr)
    tagFree(thread, scratch);
  if (block == nullptr)
    tagJumpIfArmed(rec); // nothing of this call is left to undo
  return block;
}

template <typename Unit>
Unit *appendString(const char *file, int32_t line, PSP_MEMTAG tag, Unit *old, const Unit *format,
                   va_list args) {
  uint64_t offset = old != nullptr ? fmt::detail::unitLength(old) : 0;
  const auto from = reinterpret_cast<uintptr_t>(old);
  OverlapCountSink<Unit> measured{from, old != nullptr ? from + (offset + 1) * sizeof(Unit) : 0};
  if (fmt::formatTo(measured, format, args) != PSP_OKAY || measured.total >= fmt::kMaxLength)
    return nullptr;
  const uint64_t length = measured.total;
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
    if (measured.overlaps)
      return appendOverlapping(rec, old, offset, length, format, args);
    block = static_cast<Unit *>(tagRealloc(rec, old, static_cast<uint32_t>(bytes), 1));
  }
  if (block == nullptr)
    return nullptr;
  fmt::formatBounded(block + offset, length + 1, format, args); // over the old terminator
  return block;
}

// The _rc forms: the out-parameter is written only on success; a NULL one is
// refused before anything is formatted or allocated.
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
  if (out == nullptr)
    return PSP_ERR_INVALIDPARAM;
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
  if (out == nullptr)
    return PSP_ERR_INVALIDPARAM;
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
  if (out == nullptr)
    return PSP_ERR_INVALIDPARAM;
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
  if (out == nullptr)
    return PSP_ERR_INVALIDPARAM;
  va_list args;
  va_start(args, format);
  PSP_WCHAR *s = appendString(file, line, tag, old, format, args);
  va_end(args);
  return deliver(s, out);
}
