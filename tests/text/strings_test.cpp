// Strings: number conversions, bounded copies, search, the tokenizer, error
// messages and builders (without the library: unicode_test).
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "../watchdog.h"
#include "bytes_in_use.h"
#include "psp.h"

namespace {

// On failure the output keeps what it held.
template <typename T, typename F> void number(F f, const char *text, PSP_STATUS st, T value = 0) {
  T out = T(99);
  EXPECT_EQ(f(text, &out), st) << text;
  EXPECT_EQ(out, st == PSP_OKAY ? value : T(99)) << text;
}

TEST(StrUtil, Integers) {
  for (const char *t : {"abc", "00", "-0", "0x", " 0", "+0"}) // one "0" or a non-zero digit
    number<int64_t>(psp_atoi64, t, PSP_ERR_NOTANUMBER);
  number<int64_t>(psp_atoi64, "0", PSP_OKAY, 0);
  number<int64_t>(psp_atoi64, "007", PSP_OKAY, 7);
  number<int64_t>(psp_atoi64, "  -12abc", PSP_OKAY, -12);
  number<int64_t>(psp_atoi64, "-9223372036854775808", PSP_OKAY, INT64_MIN);
  number<int64_t>(psp_atoi64, "9223372036854775808", PSP_ERR_RANGE);
  number<int32_t>(psp_atoi32, "2147483648", PSP_ERR_RANGE);
  number<int32_t>(psp_atoi32, "-2147483649", PSP_ERR_RANGE);
  number<int32_t>(psp_atoi32, "-2147483648", PSP_OKAY, INT32_MIN);
  number<int32_t>(psp_atoi32, "2147483647", PSP_OKAY, INT32_MAX);
  number<uint64_t>(psp_atoui64, "-1", PSP_OKAY, UINT64_MAX); // negated modulo 2^64
  number<uint64_t>(psp_atoui64, "18446744073709551616", PSP_ERR_RANGE);
  number<uint64_t>(psp_atoui64, "00", PSP_ERR_NOTANUMBER);
  number<uint32_t>(psp_atoui32, "4294967296", PSP_ERR_RANGE);
  number<uint32_t>(psp_atoui32, "-1", PSP_ERR_RANGE);
  number<uint32_t>(psp_atoui32, "4294967295", PSP_OKAY, UINT32_MAX);
}

TEST(StrUtil, FloatingPoint) {
  number<double>(psp_strtod, "1e999", PSP_ERR_RANGE); // the double form keeps its output
  number<double>(psp_strtod, "1e-999", PSP_ERR_RANGE);
  float f = 7.5f;
  EXPECT_EQ(psp_strtof("1e999", &f), PSP_ERR_RANGE);
  EXPECT_EQ(f, INFINITY); // the float form stores even on a range error
  EXPECT_EQ(psp_strtof("1e-999", &f), PSP_ERR_RANGE);
  EXPECT_EQ(f, 0.0f);
  EXPECT_EQ(psp_strtof("1e39", &f), PSP_ERR_RANGE); // fits a double, not a float
  number<double>(psp_strtod, "inf", PSP_OKAY, INFINITY);
  number<double>(psp_strtod, "hello", PSP_OKAY, 0.0); // no number reads as 0.0
  number<float>(psp_strtof, "-INF", PSP_OKAY, -INFINITY);
  EXPECT_EQ(psp_strtof("NaN", &f), PSP_OKAY);
  EXPECT_EQ(std::bit_cast<uint32_t>(f), 0x7FC00000u);
  EXPECT_EQ(std::bit_cast<uint64_t>(psp_atof("NaN")), 0x7FFFFFFFFFFFFFFFull);
  EXPECT_EQ(psp_atof("+inf"), INFINITY);
  EXPECT_EQ(psp_atof(" 12.5e1 "), 125.0);
  psp_atof("1e999");
  EXPECT_EQ(errno, ERANGE); // left as the runtime set it
}

TEST(StrUtil, BoundedCopiesAndSearch) {
  char buf[8] = "xxxxxxx";
  EXPECT_EQ(psp_strncpyZ(buf, "abcdef", 4), buf);
  EXPECT_EQ(std::string(buf, 5), std::string("abc\0x", 5));
  psp_strncpyZ(buf, "ab", 6); // the rest of the size is zero-filled
  psp_strncpyZ(buf, "abc", 0);
  EXPECT_EQ(std::string(buf, 7), std::string("ab\0\0\0\0x", 7));
  PSP_WCHAR w[6] = u"xxxxx";
  EXPECT_EQ(psp_wcsncpyZ(w, u"abcdef", 4), w);
  EXPECT_EQ(std::u16string(w, 5), std::u16string(u"abc\0x", 5));
  psp_wcsncpyZ(w, nullptr, 5);
  EXPECT_EQ(std::u16string(w, 5), std::u16string(5, u'\0'));
  const char *hello = "Hello";
  EXPECT_EQ(psp_strcasestr(hello, "LL"), hello + 2);
  EXPECT_EQ(psp_strcasestr(hello, "loo"), nullptr);
  EXPECT_EQ(psp_strcasestr(hello, nullptr), hello);
  EXPECT_EQ(psp_strcasestr("", ""), nullptr);
}

using Words = std::vector<std::string>;

// On failure the outputs are left alone; no tokens means a NULL array.
Words tokens(std::string text, const char *delimiters, uint32_t trim, PSP_STATUS st = PSP_OKAY) {
  char **array = reinterpret_cast<char **>(1);
  uint32_t count = 77;
  PSP_STATUS got = psp_tokenize(text.data(), delimiters, &array, &count, trim, PSP_TAG_THREAD);
  EXPECT_EQ(got, st);
  if (got != PSP_OKAY) {
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(array, reinterpret_cast<char **>(1));
    return {};
  }
  EXPECT_TRUE(count != 0 || array == nullptr);
  Words out(array, array + count);
  psp_freeMem(array, PSP_TAG_THREAD, "test", __LINE__);
  return out;
}

// Without tokens the tokenizer needs no memory, nor the library.
TEST(StrUtil, TokenizeAndMessages) {
  EXPECT_EQ(tokens(", ,,", ", ", 0), Words{});
  EXPECT_EQ(tokens(" \t, \t", ",", 1), Words{});
  EXPECT_EQ(tokens("a,b", ",", 0, PSP_ERR_NOMEMORY), Words{});
  EXPECT_EQ(psp_strerr_alloc(ENOENT, PSP_TAG_DEFAULT), nullptr);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  EXPECT_EQ(tokens("a, b,,c", ", ", 0), (Words{"a", "b", "c"}));
  EXPECT_EQ(tokens(" a , , b", ",", 1), (Words{"a", "b"}));
  EXPECT_EQ(tokens(" a , , b", ",", 0), (Words{" a ", " ", " b"}));
  EXPECT_EQ(tokens("\tx y\t", ",", 1), (Words{"x y"}));
  // Numbers the runtime does not know: EINVAL and no message from POSIX's
  // strerror_r, "Unknown error" from Windows' strerror_s.
  for (uint32_t unknown : {999999u, 0xFFFFFFFFu}) {
    char *text = psp_strerr_alloc(unknown, PSP_TAG_DEFAULT);
#ifdef _WIN32
    EXPECT_STREQ(text, "Unknown error");
    psp_freeMem(text, PSP_TAG_DEFAULT, "test", __LINE__);
#else
    EXPECT_EQ(text, nullptr);
#endif
  }
  psp_term();
}

// The builders make exact blocks; appending takes a NULL old string as
// making; a failing format allocates nothing and leaves the output; the wide
// engine's locale record does not accumulate in any tag.
TEST(Builders, ExactBlocksAppendingAndFailingFormats) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
  EXPECT_STREQ(psp_makeStrVA("test", __LINE__, tag, "%s%c%s", "dir", '\\', "name"), "dir\\name");
  EXPECT_EQ(std::u16string(psp_makeWStrVA("test", __LINE__, tag, u"%d", 7)), u"7");
  EXPECT_EQ(bytesInUse(tag), 9u + 4u);
  psp_freeTagMem(tag, 0, "test", __LINE__);
  char *s = psp_appendStrVA("test", __LINE__, tag, nullptr, "x=");
  s = psp_appendStrVA("test", __LINE__, tag, s, "%d%s", 42, "");
  EXPECT_EQ(psp_appendStrVA_rc("test", __LINE__, &s, tag, s, "%s", "!"), PSP_OKAY);
  EXPECT_STREQ(s, "x=42!");
  PSP_WCHAR *w = psp_appendWStrVA("test", __LINE__, tag, nullptr, u"%s", u"ab");
  ASSERT_EQ(psp_appendWStrVA_rc("test", __LINE__, &w, tag, w, u"%c%d", u'c', 1), PSP_OKAY);
  EXPECT_EQ(std::u16string(w), u"abc1");
  EXPECT_EQ(bytesInUse(tag), 6u + 10u);
  psp_freeTagMem(tag, 0, "test", __LINE__);

  char *keep = reinterpret_cast<char *>(0x1);
  PSP_WCHAR *wkeep = nullptr;
  EXPECT_EQ(psp_makeStrVA("test", __LINE__, tag, "%3000000000d", 1), nullptr);
  EXPECT_EQ(psp_makeStrVA_rc("test", __LINE__, &keep, tag, "%f", 1e20), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_appendStrVA_rc("test", __LINE__, &keep, tag, nullptr, "%2147483646d", 1),
            PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_makeWStrVA_rc("test", __LINE__, &wkeep, tag, u"%.2147483648d", 1),
            PSP_ERR_NOMEMORY);
  // 0x7FFFFFFD units need 0xFFFFFFFC bytes: refused before any allocation.
  EXPECT_EQ(psp_makeWStrVA("test", __LINE__, tag, u"%2147483646d", 1), nullptr);
  EXPECT_EQ(keep, reinterpret_cast<char *>(0x1));
  EXPECT_EQ(wkeep, nullptr);
  EXPECT_EQ(bytesInUse(tag), 0u);

  PSP_WCHAR buf[64];
  psp_snwprintf(buf, 64, u"%.2f", 1.5); // the thread tag now exists
  uint64_t defaultBefore = bytesInUse(PSP_TAG_DEFAULT), threadBefore = bytesInUse(PSP_TAG_THREAD);
  for (int i = 0; i < 100; ++i)
    psp_snwprintf(buf, 64, u"%'d %.2f %e", 1234567, 1.5, 2.0);
  EXPECT_EQ(bytesInUse(PSP_TAG_DEFAULT), defaultBefore);
  EXPECT_EQ(bytesInUse(PSP_TAG_THREAD), threadBefore);
  psp_freeTagMem(tag, 1, "test", __LINE__);
  psp_term();
}

// The old string as an argument, or as the format itself, stays readable
// until the new text is written, whichever way the tag's resize moves it.
TEST(BuildersSelfAppend, OldStringAsArgumentOrFormat) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  for (uint32_t kind : {PSP_TAGKIND_BUCKET, PSP_TAGKIND_HEAP, PSP_TAGKIND_MALLOC}) {
    PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, kind, nullptr, nullptr);
    char *s = psp_makeStrVA("test", __LINE__, tag, "abcdefgh");
    std::string expected = "abcdefgh";
    for (int round = 0; round < 10; ++round) {
      if (round % 3 == 2) {
        s = psp_appendStrVA("test", __LINE__, tag, s, s); // the format is the old text
        expected += expected;
      } else {
        s = psp_appendStrVA("test", __LINE__, tag, s, "%s|%.3s", s, s + 1);
        expected += expected + "|" + expected.substr(1, 3);
      }
      ASSERT_EQ(std::string(s ? s : "NULL"), expected) << "kind " << kind << " round " << round;
    }
    PSP_WCHAR *w = psp_makeWStrVA("test", __LINE__, tag, u"wxyz");
    std::u16string wide = u"wxyz";
    for (int round = 0; round < 8; ++round) {
      ASSERT_EQ(psp_appendWStrVA_rc("test", __LINE__, &w, tag, w, u"%s", w), PSP_OKAY);
      wide += wide;
      ASSERT_EQ(std::u16string(w), wide) << "kind " << kind;
    }
    psp_freeTagMem(tag, 1, "test", __LINE__);
  }
  psp_term();
}

int countUnit(void *count, int) {
  ++*static_cast<int *>(count);
  return 0;
}

// Each row: a call given NULL where it needs an output or an input.
#define CALL(expr) std::make_pair(#expr, std::function<PSP_STATUS()>([&] { return expr; }))

TEST(NullArguments, RefusedWithAStatusAndNothingAllocated) {
  psp_test::ChildResult result = psp_test::runInChild(60, [] {
    EXPECT_EQ(psp_init(), PSP_OKAY);
    PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
    PSP_WCHAR arg[] = u"x", *wargv[] = {arg, arg};
    char text[] = "a b c", **tokens = nullptr, **argv = nullptr;
    const std::vector<std::pair<const char *, std::function<PSP_STATUS()>>> calls = {
        CALL(psp_convToUTF8_rc(u"abc", 0, nullptr, tag)),
        CALL(psp_convToWchar_rc("abc", 0, nullptr, tag)),
        CALL(psp_makeStrVA_rc("t", 1, nullptr, tag, "%d", 5)),
        CALL(psp_appendStrVA_rc("t", 1, nullptr, tag, nullptr, "%d", 5)),
        CALL(psp_makeWStrVA_rc("t", 1, nullptr, tag, u"%d", 5)),
        CALL(psp_appendWStrVA_rc("t", 1, nullptr, tag, nullptr, u"%d", 5)),
        CALL(psp_poolCreateEx(nullptr, 0, 1, nullptr, nullptr, nullptr, nullptr)), // own tag
        CALL(psp_poolCreateEx(tag, 0, 0, nullptr, nullptr, nullptr, nullptr)),
        CALL(psp_convArgvToUTF8(2, wargv, nullptr, tag)),
        CALL(psp_convArgvToUTF8(2, nullptr, &argv, tag)),
        CALL(psp_tokenize(nullptr, " ", &tokens, nullptr, 0, tag)),
        CALL(psp_tokenize(text, " ", nullptr, nullptr, 0, tag))};
    uint64_t usageBefore = 0, usageAfter = 0;
    psp_getMemUsage(&usageBefore, nullptr);
    for (const auto &[name, call] : calls) {
      EXPECT_EQ(call(), PSP_ERR_INVALIDPARAM) << name;
      EXPECT_EQ(bytesInUse(tag), 0u) << name << " allocated in the caller's tag";
    }
    psp_getMemUsage(&usageAfter, nullptr);
    EXPECT_EQ(usageAfter, usageBefore);
    EXPECT_EQ(tokens, nullptr);
    EXPECT_EQ(argv, nullptr);
    PSP_POOL pool = nullptr;
    EXPECT_EQ(psp_poolCreateEx(tag, 0, 1, nullptr, nullptr, nullptr, &pool), PSP_OKAY);
    psp_poolPut(pool, nullptr);
    EXPECT_NE(psp_poolGetMem(pool, 8, 3, nullptr), nullptr) << "the pool still works";
    psp_poolDestroy(pool);
    int units = 0;
    EXPECT_EQ(psp_outputString(countUnit, &units, nullptr) + units, 0);
    psp_freeTagMem(tag, 1, "t", 2);
    psp_term();
    return true;
  });
  EXPECT_TRUE(result.ok()) << psp_test::describe(result);
}

} // namespace
