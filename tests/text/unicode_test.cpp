// Unicode conversion: every invalid form in every mode, boundary code points,
// round trips, skipping into small buffers, sink results, the counting and
// copying helpers, and the allocating forms.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "psp.h"

namespace {

using U16 = std::u16string;
constexpr uint64_t kFail = ~uint64_t{0};
constexpr int kOther = 2; // overlong accepted, everything else strict

// Converts counted UTF-8 with measure-then-convert and checks that the two
// agree; nullopt-like "fail" is reported through ok.
U16 toU16(const std::string &in, int mode, bool *ok) {
  uint64_t n = psp_utf8_to_wchar_len(nullptr, 0, in.data(), in.size(), mode);
  *ok = n != kFail;
  if (!*ok)
    return U16();
  U16 out(n, u'\xAAAA');
  EXPECT_EQ(psp_utf8_to_wchar_len(out.data(), n, in.data(), in.size(), mode), n);
  EXPECT_EQ(out.back(), 0);
  out.pop_back();
  EXPECT_EQ(psp_countUTF8chars(in.data(), in.size(), mode), out.size());
  return out;
}

std::string toU8(const U16 &in, int mode, bool *ok) {
  uint64_t n = psp_wchar_to_utf8_len(nullptr, 0, in.data(), in.size(), mode);
  *ok = n != kFail;
  if (!*ok)
    return std::string();
  std::string out(n, '\xAA');
  EXPECT_EQ(psp_wchar_to_utf8_len(out.data(), n, in.data(), in.size(), mode), n);
  EXPECT_EQ(out.back(), 0);
  out.pop_back();
  return out;
}

TEST(Unicode, SingleCharacterEncoders) {
  const std::pair<uint32_t, std::string> cases[] = {{0x7F, "\x7F"},
                                                    {0x80, "\xC2\x80"},
                                                    {0x7FF, "\xDF\xBF"},
                                                    {0x800, "\xE0\xA0\x80"},
                                                    {0xD800, "\xED\xA0\x80"},
                                                    {0xFFFF, "\xEF\xBF\xBF"},
                                                    {0x10000, "\xF0\x90\x80\x80"},
                                                    {0x10FFFF, "\xF4\x8F\xBF\xBF"},
                                                    {0x110000, ""}};
  for (auto &[cp, utf8] : cases) {
    char area[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(std::string(area, psp_utf8_codes(cp, area)), utf8) << std::hex << cp;
    EXPECT_EQ(psp_utf8_codes(cp, nullptr), static_cast<int>(utf8.size()));
  }
  char area[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(psp_uchar_to_utf8(0xE9, area, 1), 2u);
  EXPECT_EQ(area[0], 'x');
  EXPECT_EQ(psp_uchar_to_utf8(0xE9, area, 4), 2u);
  EXPECT_EQ(std::string(area, 4), std::string("\xC3\xA9\0\0", 4));
  PSP_WCHAR w[2];
  EXPECT_EQ(psp_utf16_codes(0xFFFF, w), 1);
  EXPECT_EQ(w[0], 0xFFFF);
  EXPECT_EQ(psp_utf16_codes(0x1F600, w), 2);
  EXPECT_EQ(U16(w, 2), u"\xD83D\xDE00");
}

// Each row: input, the result in replace mode and in mode 2 (nullopt: the
// conversion fails). Strict mode fails on every row.
TEST(Unicode, InvalidUtf8InEveryMode) {
  const U16 nul(1, u'\0');
  const std::optional<U16> fails;
  struct {
    std::string in;
    U16 replace;
    std::optional<U16> other;
  } rows[] = {
      {std::string("\xC0\x80", 2), nul, nul}, // overlong forms of U+0000
      {std::string("\xE0\x80\x80", 3), nul, nul},
      {std::string("\xF0\x80\x80\x80", 4), nul, nul},
      {"\xC1\xBF", u"\x7F", u"\x7F"},
      {"\xE0\x9F\xBF", u"\x7FF", u"\x7FF"},
      {"\xF0\x8F\xBF\xBF", u"?", fails}, // overlong U+FFFF is still U+FFFF
      {"\xF0\x8D\xA0\x80", u"?", fails}, // overlong surrogate
      {"\xED\xA0\x80", u"?", fails},
      {"\xEF\xBF\xBE", u"?", fails},
      {"\xEF\xBF\xBF", u"?", fails},
      {"\xF4\x90\x80\x80", u"?", fails},
      {"\xF7\xBF\xBF\xBF", u"?", fails},
      {"\xF8\x88\x80\x80", u"????", fails}, // no five-byte or longer forms
      {"\xFF", u"?", fails},
      {"\x80", u"?", fails},
      {"\xE2\x82\x41", u"?A", fails},
      {"a\xF0\x9F\x98", u"a?", fails},
      {"\xE2\xFF\x41", u"?A", fails}, // 0xF8..0xFF joins the broken sequence
      {"\xE2\x82\xF8\x41", u"?A", fails},
      {"\xE2\xC3\xA9", u"?\xE9", fails},
      {"\xC3\xF0\x9F\x98\x80", u"?\U0001F600", fails},
      {std::string("\xC3\0b", 3), U16(u"?\0b", 3), fails}, // NUL is a character here
  };
  for (auto &r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.in));
    bool ok;
    toU16(r.in, PSP_CONV_STRICT, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(psp_countUTF8chars(r.in.data(), r.in.size(), PSP_CONV_STRICT), 0u);
    EXPECT_EQ(psp_countUTF8bytes(r.in.data(), r.in.size(), 0, PSP_CONV_STRICT), kFail);
    EXPECT_EQ(toU16(r.in, PSP_CONV_REPLACE, &ok), r.replace);
    U16 other = toU16(r.in, kOther, &ok);
    EXPECT_EQ(ok, r.other.has_value());
    if (ok) {
      EXPECT_EQ(other, *r.other);
    }
  }
  bool ok;
  for (int mode : {PSP_CONV_STRICT, PSP_CONV_REPLACE, kOther})
    EXPECT_EQ(toU16("\xC3\xA9", mode, &ok), U16(u"\xE9"));
  // The string form stops at the NUL: an unfinished sequence before it.
  PSP_WCHAR out[4];
  EXPECT_EQ(psp_utf8_to_wchar(out, "\xC3", 4, PSP_CONV_REPLACE), 2u);
  EXPECT_EQ(out[0], u'?');
  EXPECT_EQ(psp_utf8_to_wchar(nullptr, "\xC3", 0, PSP_CONV_STRICT), kFail);
}

TEST(Unicode, InvalidUtf16InEveryMode) {
  struct {
    U16 in;
    const char *replace;
  } rows[] = {{u"\xDC00", "?"},           {u"\xD800", "?"},
              {u"\xD800\x41", "?A"},      {u"\xD800\xD800\xDC00", "?\xF0\x90\x80\x80"},
              {u"\xDC00\xD800", "??"},    {u"x\xDBFF", "x?"},
              {U16(u"\xD800\0", 2), "?!"}}; // a 0 unit is a character in counted input
  for (auto &r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.in));
    std::string want = r.replace;
    if (want.back() == '!')
      want.back() = '\0';
    bool ok;
    EXPECT_EQ(toU8(r.in, PSP_CONV_REPLACE, &ok), want);
    toU8(r.in, PSP_CONV_STRICT, &ok);
    EXPECT_FALSE(ok);
    toU8(r.in, kOther, &ok);
    EXPECT_FALSE(ok);
  }
  bool ok;
  EXPECT_EQ(toU8(u"\xFFFF\xFFFE", PSP_CONV_STRICT, &ok), "\xEF\xBF\xBF\xEF\xBF\xBE");
  EXPECT_EQ(toU8(u"\xD83D\xDE00", PSP_CONV_STRICT, &ok), "\xF0\x9F\x98\x80");
  EXPECT_EQ(psp_wchar_to_utf8(nullptr, u"\x20AC", 0, PSP_CONV_STRICT), 4u);
  EXPECT_EQ(psp_utf8_to_wchar(nullptr, "abc", 0, PSP_CONV_STRICT), 4u);
  // The string form ends at the 0 unit, leaving the high half unpaired.
  const PSP_WCHAR text[] = {0xD800, 0, 0xDC00, 0};
  char out[8];
  EXPECT_EQ(psp_wchar_to_utf8(out, text, sizeof out, PSP_CONV_REPLACE), 2u);
  EXPECT_STREQ(out, "?");
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
  bool ok;
  for (int mode : {PSP_CONV_STRICT, PSP_CONV_REPLACE, kOther}) {
    EXPECT_TRUE(toU8(wide, mode, &ok) == narrow) << mode;
    EXPECT_TRUE(toU16(narrow, mode, &ok) == wide) << mode;
  }
  EXPECT_EQ(psp_countUTF8bytes(narrow.data(), narrow.size(), 0, PSP_CONV_STRICT), narrow.size());
  // The string forms give the same as the counted ones.
  EXPECT_EQ(psp_utf8_to_wchar(nullptr, narrow.c_str(), 0, PSP_CONV_STRICT), wide.size() + 1);
  EXPECT_EQ(psp_wchar_to_utf8(nullptr, wide.c_str(), 0, PSP_CONV_STRICT), narrow.size() + 1);
}

TEST(Unicode, CharactersThatDoNotFitAreSkipped) {
  char out8[4];
  EXPECT_EQ(psp_wchar_to_utf8(out8,
                              u"a\x20AC"
                              "b",
                              sizeof out8, PSP_CONV_STRICT),
            3u);
  EXPECT_EQ(std::string(out8, 3), std::string("ab\0", 3));
  PSP_WCHAR out16[8];
  EXPECT_EQ(psp_utf8_to_wchar(out16,
                              "a\xF0\x9F\x98\x80"
                              "b",
                              3, PSP_CONV_STRICT),
            3u);
  EXPECT_EQ(U16(out16, 3), U16(u"ab\0", 3));
  EXPECT_EQ(psp_utf8_to_wchar(out16, "abcdefghijkl", 5, PSP_CONV_STRICT), 5u);
  EXPECT_EQ(U16(out16), u"abcd");
  EXPECT_EQ(psp_wchar_to_utf8(out8, u"abcdefghijkl", 1, PSP_CONV_STRICT), 1u);
  EXPECT_EQ(out8[0], '\0');
  // A failure still reports -1 after partial stores.
  EXPECT_EQ(psp_utf8_to_wchar(out16, "abc\xFF", 8, PSP_CONV_STRICT), kFail);
}

struct Recorder {
  std::u32string seen;
  size_t stopAfter = SIZE_MAX;
  int answer = 0;
};

int record(void *sink, int ch) {
  auto *r = static_cast<Recorder *>(sink);
  r->seen.push_back(static_cast<char32_t>(ch));
  return r->seen.size() >= r->stopAfter ? r->answer : 0;
}

TEST(Unicode, CallerSinkResults) {
  const PSP_WCHAR text[] = {u'a', 0xD83D, 0xDE00, u'b', 0, u'c'};
  Recorder all;
  EXPECT_EQ(psp_processWBuff(text, 6, record, &all, PSP_CONV_STRICT), PSP_OKAY);
  EXPECT_EQ(all.seen, std::u32string(U"a\U0001F600b\0c", 5));
  Recorder str;
  EXPECT_EQ(psp_processWString(text, record, &str, PSP_CONV_STRICT), PSP_OKAY);
  EXPECT_EQ(str.seen, U"a\U0001F600b");

  for (int answer : {PSP_NO, -5, PSP_EXISTS}) {
    Recorder r{{}, 2, answer};
    EXPECT_EQ(psp_processWString(u"abcdefghij", record, &r, PSP_CONV_STRICT),
              answer == PSP_NO ? PSP_OKAY : answer);
    EXPECT_EQ(r.seen, U"ab");
  }
  Recorder pending{{}, 1, PSP_PENDING}; // cannot mean stop: the walk goes on
  EXPECT_EQ(psp_processWString(u"abc", record, &pending, PSP_CONV_STRICT), PSP_OKAY);
  EXPECT_EQ(pending.seen, U"abc");
  // The '?' of replace mode goes to the sink like any character.
  Recorder onMark{{}, 1, -9};
  EXPECT_EQ(psp_processWString(u"\xDC00z", record, &onMark, PSP_CONV_REPLACE), -9);
  Recorder atEnd{{}, 2, -3};
  EXPECT_EQ(psp_processWString(u"x\xD800", record, &atEnd, PSP_CONV_REPLACE), -3);
  EXPECT_EQ(psp_processWString(u"x\xD800", record, &all, PSP_CONV_STRICT), PSP_ERR_BADCHAR);
}

TEST(Unicode, CopyingAndCountingUtf8) {
  const char text[] = "a\xE2\x82\xAC"
                      "b";
  char out[8] = {};
  uint64_t chars = 99;
  EXPECT_EQ(psp_copyUTF8Chars(out, 3, text, 5, &chars, PSP_CONV_STRICT), 1u);
  EXPECT_EQ(chars, 1u);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(out[1], 0); // b would fit but comes after the character that did not
  EXPECT_EQ(psp_copyUTF8Chars(nullptr, 4, text, 5, &chars, PSP_CONV_STRICT), 4u);
  EXPECT_EQ(chars, 2u);
  EXPECT_EQ(psp_copyUTF8Chars(out, 2, "abcdef", 6, &chars, PSP_CONV_STRICT), 2u);
  // The walk runs on after the copy stops, so later invalid input still fails.
  EXPECT_EQ(psp_copyUTF8Chars(out, 1, "ab\xFF", 3, &chars, PSP_CONV_STRICT), kFail);
  EXPECT_EQ(psp_copyUTF8Chars(out, 8, "\xC0\x80", 2, &chars, PSP_CONV_REPLACE), 1u);
  EXPECT_EQ(psp_copyUTF8Chars(out, 8, "x\xFF", 2, &chars, PSP_CONV_REPLACE), 2u);
  EXPECT_EQ(std::string(out, 2), "x?");

  EXPECT_EQ(psp_countUTF8bytes(text, 5, 2, PSP_CONV_STRICT), 4u);
  EXPECT_EQ(psp_countUTF8bytes(text, 5, 0, PSP_CONV_STRICT), 5u);
  EXPECT_EQ(psp_countUTF8bytes("abcdefghijklmnop", 16, 11, PSP_CONV_STRICT), 11u);
  EXPECT_EQ(psp_countUTF8bytes("ab\xFF", 3, 2, PSP_CONV_STRICT), 2u); // stopped before it
  EXPECT_EQ(psp_countUTF8bytes("ab\xFF", 3, 3, PSP_CONV_STRICT), kFail);
  EXPECT_EQ(psp_countUTF8chars("\xF0\x9F\x98\x80", 4, PSP_CONV_STRICT), 2u);
}

TEST(Unicode, AllocatingFormsNeedTheLibrary) {
  char *out = reinterpret_cast<char *>(1);
  EXPECT_EQ(psp_convToUTF8_rc(u"abc", PSP_CONV_STRICT, &out, PSP_TAG_THREAD), PSP_ERR_NOMEMORY);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(psp_convToWchar("abc", PSP_CONV_STRICT, PSP_TAG_DEFAULT), nullptr);
  PSP_WCHAR arg[] = u"x", *argv[] = {arg};
  char **out8 = nullptr;
  EXPECT_EQ(psp_convArgvToUTF8(1, argv, &out8, PSP_TAG_THREAD), PSP_ERR_SYSTEM);
}

uint64_t bytesInUse(PSP_MEMTAG tag) {
  PSP_MEMINFO info{};
  EXPECT_EQ(psp_getTagMemInfo(tag, &info), PSP_OKAY);
  return info.counters[0];
}

// One block of the exact size each (bytes in use count requested sizes); an
// argument vector with a bad entry gives back everything it made.
TEST(UnicodeAlloc, ExactBlocksAndArgumentVector) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
  ASSERT_NE(tag, nullptr);
  char *s = psp_convToUTF8(u"a\x20AC\xD83D\xDE00", PSP_CONV_STRICT, tag);
  EXPECT_STREQ(s, "a\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(bytesInUse(tag), 9u);
  PSP_WCHAR *w = nullptr;
  EXPECT_EQ(psp_convToWchar_rc("h\xC3\xA9\xF0\x9F\x98\x80", PSP_CONV_STRICT, &w, tag), PSP_OKAY);
  EXPECT_EQ(U16(w), u"h\xE9\xD83D\xDE00");
  EXPECT_EQ(bytesInUse(tag), 9u + 10u);
  char *z = psp_convToUTF8_len(u"a\0bc", 3, PSP_CONV_STRICT, tag);
  EXPECT_EQ(std::string(z, 4), std::string("a\0b\0", 4));
  EXPECT_EQ(psp_convToUTF8(u"x\xDC00", PSP_CONV_STRICT, tag), nullptr);
  psp_freeTagMem(tag, 0, "test", __LINE__);

  PSP_WCHAR one[] = u"one", two[] = u"zw\xF6lf", bad[] = u"b\xD800";
  PSP_WCHAR *argv[] = {one, nullptr, two};
  char **out = nullptr;
  ASSERT_EQ(psp_convArgvToUTF8(3, argv, &out, tag), PSP_OKAY);
  EXPECT_STREQ(out[0], "one");
  EXPECT_EQ(out[1], nullptr);
  EXPECT_STREQ(out[2], "zw\xC3\xB6lf");
  psp_freeTagMem(tag, 0, "test", __LINE__);
  PSP_WCHAR *badArgv[] = {one, two, bad, one};
  char **untouched = reinterpret_cast<char **>(1);
  EXPECT_EQ(psp_convArgvToUTF8(4, badArgv, &untouched, tag), PSP_ERR_BADCHAR);
  EXPECT_EQ(untouched, reinterpret_cast<char **>(1));
  EXPECT_EQ(bytesInUse(tag), 0u);
  EXPECT_EQ(psp_convArgvToUTF8(0, argv, &out, tag), PSP_ERR_SYSTEM);
  psp_freeTagMem(tag, 1, "test", __LINE__);
  psp_term();
}

} // namespace
