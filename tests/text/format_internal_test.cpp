// The engine's template interface as other library sources use it: a sink of
// their own, inlined, whose results stop the call like an emitter's.
#include <gtest/gtest.h>

#include <string>

#include "text/format.h"

namespace {

// Collects units; refuses everything once `limit` units are in.
template <typename Unit> struct CappedSink {
  std::basic_string<Unit> text;
  size_t limit = SIZE_MAX;
  int put(Unit c) { return run(&c, 1); }
  int run(const Unit *p, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
      if (text.size() == limit)
        return 77;
      text.push_back(p[i]);
    }
    return 0;
  }
  int fill(Unit c, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
      if (int st = put(c))
        return st;
    return 0;
  }
};

template <typename Unit, typename Sink> PSP_STATUS format(Sink &sink, const Unit *f, ...) {
  va_list args;
  va_start(args, f);
  PSP_STATUS st = psp::fmt::formatTo(sink, f, args);
  va_end(args);
  return st;
}

TEST(FormatInternal, OwnSinksAndStops) {
  CappedSink<char> all;
  EXPECT_EQ(format(all, "%-6s|%5.1f|%#x", "ab", 2.25, 255u), PSP_OKAY);
  EXPECT_EQ(all.text, "ab    |  2.3|0xff");
  CappedSink<char16_t> wide;
  wide.limit = 5;
  EXPECT_EQ(format(wide, u"%s and %d", u"left", 3), 77);
  EXPECT_EQ(wide.text, u"left ");
}

} // namespace
