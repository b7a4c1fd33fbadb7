// scratch.h - short-lived memory for the service sources.
//
// A Scratch hands out a few blocks from the calling thread's PSP_TAG_THREAD
// and frees them when it goes out of scope. It never takes a tag's jump (a
// failed request gives NULL), so its destructor always runs; without
// psp_init every request fails.
#pragma once

#include "internal.h"

#include <cstring>

namespace psp {

class Scratch {
public:
  Scratch() : tag_(resolveTag(PSP_TAG_THREAD)) {}
  ~Scratch() {
    for (int i = 0; i < used_; ++i)
      tagFree(tag_, blocks_[i]);
  }
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  bool ready() const { return tag_ != nullptr; }
  char *take(uint64_t size) {
    if (tag_ == nullptr || size >= 0xFFFFFFF0u || used_ == kBlocks)
      return nullptr;
    char *block = static_cast<char *>(tagTryAlloc(tag_, static_cast<uint32_t>(size)));
    if (block != nullptr)
      blocks_[used_++] = block;
    return block;
  }
  // a + b + c as one string, or NULL.
  char *join(const char *a, const char *b, const char *c = "") {
    size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c);
    char *text = take(la + lb + lc + 1);
    if (text != nullptr) {
      std::memcpy(text, a, la);
      std::memcpy(text + la, b, lb);
      std::memcpy(text + la + lb, c, lc + 1);
    }
    return text;
  }
  static void *fromTag(void *self, uint64_t size) {
    return static_cast<Scratch *>(self)->take(size);
  }

private:
  static constexpr int kBlocks = 6;
  psp_memtag_rec *tag_;
  void *blocks_[kBlocks];
  int used_ = 0;
};

} // namespace psp
