// Number conversions (zero rules, limits, float/double range errors), bounded
// copies, case-insensitive search, the tokenizer and error messages.
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <string>
#include <vector>

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
  if (count == 0) {
    EXPECT_EQ(array, nullptr);
  }
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

} // namespace
