// Unicode conversion: invalid forms in every mode, round trips, and bounded
// conversions against the fuzz targets' model.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "../../fuzz/unicode_reference.h"

namespace {

using U16 = std::u16string;
using Result = std::optional<U16>;
constexpr uint64_t kFail = ~uint64_t{0};
constexpr int kOther = 2; // overlong accepted, everything else strict

// Measure, then convert into exactly that much; the two must agree.
template <typename Out, typename In, typename F>
std::optional<std::basic_string<Out>> convert(F f, const std::basic_string<In> &in, int mode) {
  uint64_t n = f(nullptr, 0, in.data(), in.size(), mode);
  if (n == kFail)
    return std::nullopt;
  std::basic_string<Out> out(n, Out(0xAA));
  EXPECT_EQ(f(out.data(), n, in.data(), in.size(), mode), n);
  EXPECT_EQ(out.back(), 0);
  out.pop_back();
  return out;
}
Result toU16(const std::string &in, int mode) {
  return convert<char16_t>(psp_utf8_to_wchar_len, in, mode);
}
std::optional<std::string> toU8(const U16 &in, int mode) {
  return convert<char>(psp_wchar_to_utf8_len, in, mode);
}

TEST(Unicode, BoundaryCodePoints) {
  const uint32_t cps[] = {0x7F, 0x80, 0x7FF, 0x800, 0xD800, 0xFFFF, 0x10000, 0x10FFFF, 0x110000};
  std::string built;
  for (uint32_t cp : cps) {
    char b[4];
    int n = psp_utf8_codes(cp, b);
    EXPECT_EQ(psp_utf8_codes(cp, nullptr), n);
    built.append(b, n);
  }
  EXPECT_EQ(built, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
                   "\xF4\x8F\xBF\xBF"); // nothing for 0x110000
  char area[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(psp_uchar_to_utf8(0xE9, area, 1), 2u);
  EXPECT_EQ(area[0], 'x');
  EXPECT_EQ(psp_uchar_to_utf8(0xE9, area, 4), 2u);
  EXPECT_EQ(std::string(area, 4), std::string("\xC3\xA9\0\0", 4));
}

// Each row: input, the result in replace mode and in mode 2 (nullopt: the
// conversion fails). Strict mode fails on every row.
TEST(Unicode, InvalidUtf8InEveryMode) {
  const U16 nul(1, u'\0');
  const Result fails;
  std::vector<std::tuple<std::string, U16, Result>> rows = {
      {std::string("\xC0\x80", 2), nul, nul}, // overlong forms of U+0000
      {std::string("\xE0\x80\x80", 3), nul, nul},
      {std::string("\xF0\x80\x80\x80", 4), nul, nul},
      {"\xC1\xBF", u"\x7F", u"\x7F"},
      {"\xE0\x9F\xBF", u"\x7FF", u"\x7FF"},
      {"\xF8\x88\x80\x80", u"????", fails}, // no five-byte or longer forms
      {"\xE2\x82\x41", u"?A", fails},
      {"a\xF0\x9F\x98", u"a?", fails},
      {"\xE2\xFF\x41", u"?A", fails}, // 0xF8..0xFF joins the broken sequence
      {"\xE2\x82\xF8\x41", u"?A", fails},
      {"\xE2\xC3\xA9", u"?\xE9", fails},
      {"\xC3\xF0\x9F\x98\x80", u"?\U0001F600", fails},
      {std::string("\xC3\0b", 3), U16(u"?\0b", 3), fails}}; // NUL is a character here
  // One '?' each: overlong U+FFFF (still U+FFFF) and surrogate, surrogates
  // high and low, non-characters, beyond U+10FFFF, stray bytes.
  for (const char *in :
       {"\xF0\x8F\xBF\xBF", "\xF0\x8D\xA0\x80", "\xED\xA0\x80", "\xED\xB0\x80", "\xED\xBF\xBF",
        "\xEF\xBF\xBE", "\xEF\xBF\xBF", "\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF", "\xFF", "\x80"})
    rows.push_back({in, u"?", fails});
  for (auto &[in, replaced, other] : rows) {
    SCOPED_TRACE(testing::PrintToString(in));
    EXPECT_EQ(toU16(in, PSP_CONV_STRICT), fails);
    EXPECT_EQ(psp_countUTF8bytes(in.data(), in.size(), 0, PSP_CONV_STRICT), kFail);
    EXPECT_EQ(toU16(in, PSP_CONV_REPLACE), replaced);
    EXPECT_EQ(toU16(in, kOther), other);
  }
  // Limits and whole-character copies stop early but still fail on what follows.
  EXPECT_EQ(psp_countUTF8bytes("ab\xFF", 3, 2, PSP_CONV_STRICT), 2u);
  char area[1];
  uint64_t chars = 0;
  EXPECT_EQ(psp_copyUTF8Chars(area, 1, "ab\xFF", 3, &chars, PSP_CONV_STRICT), kFail);
}

// Stray surrogates in the replace and strict modes are the model test's
// (below); here input ending in a high one or in a 0 unit (a character in
// counted input), a pair right after a lone high one, and mode 2 refusing.
TEST(Unicode, InvalidUtf16InEveryMode) {
  const std::pair<U16, std::string> rows[] = {{u"x\xDBFF", "x?"},
                                              {U16(u"\xD800\0", 2), std::string("?\0", 2)},
                                              {u"\xD800\xD800\xDC00", "?\xF0\x90\x80\x80"}};
  for (auto &[in, replaced] : rows) {
    SCOPED_TRACE(testing::PrintToString(in));
    EXPECT_EQ(toU8(in, PSP_CONV_REPLACE), replaced);
    EXPECT_EQ(toU8(in, PSP_CONV_STRICT), std::nullopt);
    EXPECT_EQ(toU8(in, kOther), std::nullopt);
  }
}

TEST(Unicode, EveryScalarValueRoundTrips) {
  U16 wide;
  std::string narrow;
  for (uint32_t cp = 1; cp <= 0x10FFFF; ++cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)
      continue;
    PSP_WCHAR w[2];
    wide.append(w, psp_utf16_codes(cp, w));
    char b[4];
    narrow.append(b, psp_utf8_codes(cp, b));
  }
  for (int mode : {PSP_CONV_STRICT, PSP_CONV_REPLACE, kOther}) {
    EXPECT_TRUE(toU8(wide, mode) == narrow) << mode;
    EXPECT_TRUE(toU16(narrow, mode) == wide) << mode;
  }
}

int collect(void *sink, int ch) {
  static_cast<std::u32string *>(sink)->push_back(static_cast<char32_t>(ch));
  return PSP_PENDING;
}

// The fuzz targets try the stopping answers; PSP_PENDING cannot mean stop.
TEST(Unicode, PendingFromTheSinkDoesNotStop) {
  std::u32string seen;
  EXPECT_EQ(psp_processWString(u"a\xD83D\xDE00", collect, &seen, PSP_CONV_STRICT), PSP_OKAY);
  EXPECT_EQ(seen, U"a\U0001F600");
}

// Conversions and string builders alike.
TEST(Unicode, AllocatingFormsNeedTheLibrary) {
  char *out = reinterpret_cast<char *>(1), *built = nullptr, **out8 = nullptr;
  PSP_WCHAR arg[] = u"x", *argv[] = {arg};
  EXPECT_EQ(psp_convToUTF8_rc(u"abc", PSP_CONV_STRICT, &out, PSP_TAG_THREAD), PSP_ERR_NOMEMORY);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(psp_convToWchar("abc", PSP_CONV_STRICT, PSP_TAG_DEFAULT), nullptr);
  EXPECT_EQ(psp_convArgvToUTF8(1, argv, &out8, PSP_TAG_THREAD), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_makeStrVA("test", __LINE__, PSP_TAG_DEFAULT, "%d", 1), nullptr);
  EXPECT_EQ(psp_makeWStrVA("test", __LINE__, PSP_TAG_THREAD, u"x"), nullptr);
  EXPECT_EQ(psp_appendStrVA_rc("test", __LINE__, &built, PSP_TAG_THREAD, nullptr, "x"),
            PSP_ERR_NOMEMORY);
  EXPECT_EQ(built, nullptr);
}

// Bytes (UTF-8) or units (UTF-16, no 0 unit) converted in both modes into
// destinations of every size up to the whole (everySize), or of sizes from
// whole to a third, must store what the model stores; odd sizes go through
// the NUL-terminated forms, even ones the counted.
template <typename In> void expectModel(const std::vector<In> &in, bool everySize) {
  constexpr bool from8 = sizeof(In) == 1;
  using Out = std::conditional_t<from8, uint16_t, uint8_t>;
  auto put = [](std::vector<Out> &v, uint32_t cp) {
    if constexpr (from8)
      ref::putUtf16(v, cp);
    else
      ref::putUtf8(v, cp);
  };
  std::vector<In> z = in;
  z.push_back(0);
  for (int mode : {PSP_CONV_REPLACE, PSP_CONV_STRICT}) {
    ref::Walk w = from8
                      ? ref::utf8(reinterpret_cast<const uint8_t *>(in.data()), in.size(), mode)
                      : ref::utf16(reinterpret_cast<const uint16_t *>(in.data()), in.size(), mode);
    std::vector<Out> whole;
    for (uint32_t cp : w.cps)
      put(whole, cp);
    const uint64_t all = whole.size() + 1;
    std::vector<uint64_t> sizes = {all, all - 1, all - 2, all * 2 / 3, all / 2, all / 3, 100};
    if (everySize) {
      sizes.clear();
      for (uint64_t size = 1; size <= all + 1; ++size)
        sizes.push_back(size);
    }
    for (uint64_t size : sizes) {
      std::vector<Out> got(size, Out(0xEEEE));
      uint64_t n;
      if constexpr (from8) {
        auto *dst = reinterpret_cast<PSP_WCHAR *>(got.data());
        n = size % 2 ? psp_utf8_to_wchar(dst, z.data(), size, mode)
                     : psp_utf8_to_wchar_len(dst, size, in.data(), in.size(), mode);
      } else {
        auto *dst = reinterpret_cast<char *>(got.data());
        auto *src = reinterpret_cast<const PSP_WCHAR *>(z.data());
        n = size % 2 ? psp_wchar_to_utf8(dst, src, size, mode)
                     : psp_wchar_to_utf8_len(dst, size, src, in.size(), mode);
      }
      SCOPED_TRACE(testing::Message() << "mode " << mode << " size " << size);
      if (w.status != PSP_OKAY) {
        ASSERT_EQ(n, kFail);
        continue;
      }
      got.resize(n);
      ASSERT_EQ(got, ref::boundedStore<Out>(w.cps, size, put));
    }
  }
}

// Text mixing every length of character with invalid pieces: a long
// conversion runs in stretches without room checks, and where a stretch ends
// must not change what is stored, skipped or refused.
TEST(Unicode, EveryDestinationSizeMatchesTheModel) {
  // clang-format off
  const char *const pieces8[] = {"a", " ", "\xC3\xA9", "\xD0\x9F", "\xE6\x97\xA5",
      "\xF0\x9F\x98\x80", "\x80", "\xBF", "\xE6\x97", "\xF0\x9F\x98", "\xF8", "\xFF", "\xC0\x80",
      "\xED\xA0\x80", "\xEF\xBF\xBE"};
  // clang-format on
  const uint16_t pieces16[] = {0x41, 0x20, 0xE9, 0x41F, 0x65E5, 0xD83D, 0xDE00, 0xFFFE, 0xDC00};
  std::mt19937 rng(5);
  for (int text = 0; text < 40; ++text) {
    std::vector<char> in8;
    std::vector<uint16_t> in16;
    for (size_t i = 0, pieces = 40 + rng() % 120; i < pieces; ++i) {
      // Runs of one kind, as real text has, with a stray piece now and then.
      uint32_t kind = rng() % 100 < 70 ? (i / 8) % 6 : rng() % 15;
      in8.insert(in8.end(), pieces8[kind], pieces8[kind] + std::strlen(pieces8[kind]));
      in16.push_back(pieces16[kind % 9]);
    }
    SCOPED_TRACE(testing::Message() << "text " << text);
    expectModel(in8, true);
    expectModel(in16, true);
  }
}

// Long nearly-ASCII UTF-16: other units at every offset of a sixteen-unit
// chunk, where the second block of a long conversion's first stretch (a third
// of it) goes through the wide loop; and mixed stretches that switch the
// loops over and back.
TEST(UnicodeWideAscii, OtherUnitsAtEveryChunkOffsetAndMixedStretchesMatchTheModel) {
  auto ascii = [](std::vector<uint16_t> &v, size_t n, size_t from) {
    for (size_t i = 0; i < n; ++i)
      v.push_back(static_cast<uint16_t>("the quick brown fox jumps. "[(from + i) % 27]));
  };
  // Two-byte, three-byte, a pair, a lone low and a lone high half, a high
  // half before ASCII, and U+FFFF.
  const std::vector<std::vector<uint16_t>> others = {
      {0xE9}, {0x65E5}, {0xD83D, 0xDE00}, {0xDC00}, {0xD800}, {0xD800, 0x41}, {0xFFFF}};
  for (const auto &other : others) {
    for (size_t offset = 0; offset < 18; ++offset) {
      std::vector<uint16_t> in;
      ascii(in, 300 + offset, 0);
      for (size_t more : {61, 2000}) {
        in.insert(in.end(), other.begin(), other.end());
        ascii(in, more, offset);
      }
      expectModel(in, false);
    }
  }
  const uint16_t mixed[] = {0x41F, 0x440, 0x20, 0x65E5, 0x672C, 0xD83D, 0xDE00, 0xE9, 0x2C};
  for (size_t length : {30, 300, 1500}) {
    std::vector<uint16_t> in;
    for (int round = 0; round < 3; ++round) {
      ascii(in, 600 + 37 * round, length);
      for (size_t i = 0; i < length; ++i)
        in.push_back(mixed[(i + round) % 9]);
    }
    in.push_back(0xE9);
    expectModel(in, false);
  }
}

} // namespace
