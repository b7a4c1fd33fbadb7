// wide.h - UTF-8 names turned into the UTF-16 the Windows "W" calls take.
#pragma once

#include "internal.h"
#include "text/unicode.h"

#include <cstdlib>
#include <cstring>

namespace psp::os {

// A strict conversion that lives for one call. It is made in the calling
// thread's tag, as the library's file names are, without the tag's jump;
// FromHeap uses the C heap instead, for the calls that work before psp_init.
// Empty when the name is NULL, not UTF-8, or no memory could be had.
class WideName {
public:
  enum Source { ThreadTag, FromHeap };

  explicit WideName(const char *utf8, Source source = ThreadTag) : source_(source) {
    if (utf8 == nullptr)
      return;
    const uint64_t length = std::strlen(utf8);
    const uint64_t units = unicode::utf8ToUtf16(nullptr, 0, utf8, length, PSP_CONV_STRICT);
    if (units == unicode::kFailed || units > 0x10000000u)
      return;
    // Never the tag's jump: the caller may hold memory of its own that it
    // must give back first.
    if (source == FromHeap)
      text_ = static_cast<char16_t *>(std::malloc(units * sizeof(char16_t)));
    else if (psp_memtag_rec *tag = initialised() ? resolveTag(PSP_TAG_THREAD) : nullptr)
      text_ = static_cast<char16_t *>(
          tagTryAlloc(tag, static_cast<uint32_t>(units * sizeof(char16_t))));
    if (text_ != nullptr)
      unicode::utf8ToUtf16(text_, units, utf8, length, PSP_CONV_STRICT);
  }
  ~WideName() {
    if (text_ == nullptr)
      return;
    if (source_ == FromHeap)
      std::free(text_);
    else if (psp_memtag_rec *tag = resolveTag(PSP_TAG_THREAD))
      tagFree(tag, text_);
  }
  WideName(const WideName &) = delete;
  WideName &operator=(const WideName &) = delete;

  explicit operator bool() const { return text_ != nullptr; }
  const wchar_t *get() const { return reinterpret_cast<const wchar_t *>(text_); }

private:
  char16_t *text_ = nullptr;
  Source source_;
};

} // namespace psp::os
