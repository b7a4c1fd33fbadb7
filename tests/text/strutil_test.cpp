// String and number utilities: the zero rules and range limits of the integer
// conversions, the float/double range-error difference, the special words,
// bounded copies, case-insensitive search, the tokenizer and error messages.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "psp.h"

namespace {

TEST(StrUtil, SignedIntegers) {
  struct {
    const char *text;
    PSP_STATUS status;
    int64_t value;
  } rows[] = {{"0", PSP_OKAY, 0},
              {"007", PSP_OKAY, 7},
              {"12abc", PSP_OKAY, 12},
              {"  -42", PSP_OKAY, -42},

              {"9223372036854775807", PSP_OKAY, INT64_MAX},
              {"-9223372036854775808", PSP_OKAY, INT64_MIN},
              {"9223372036854775808", PSP_ERR_RANGE, 0},
              {"99999999999999999999", PSP_ERR_RANGE, 0},

              {"abc", PSP_ERR_NOTANUMBER, 0},

              {"00", PSP_ERR_NOTANUMBER, 0},
              {"-0", PSP_ERR_NOTANUMBER, 0},
              {"0x", PSP_ERR_NOTANUMBER, 0},
              {" 0", PSP_ERR_NOTANUMBER, 0}};
  for (auto &r : rows) {
    int64_t out = 1234;
    EXPECT_EQ(psp_atoi64(r.text, &out), r.status) << r.text;
    EXPECT_EQ(out, r.status == PSP_OKAY ? r.value : 1234) << r.text;
  }

  int32_t v = 5;
  EXPECT_EQ(psp_atoi32("2147483648", &v), PSP_ERR_RANGE);
  EXPECT_EQ(psp_atoi32("-2147483649", &v), PSP_ERR_RANGE);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(psp_atoi32("-2147483648", &v), PSP_OKAY);
  EXPECT_EQ(v, INT32_MIN);
}

TEST(StrUtil, UnsignedIntegers) {
  uint64_t out = 9;
  EXPECT_EQ(psp_atoui64("18446744073709551615", &out), PSP_OKAY);
  EXPECT_EQ(out, UINT64_MAX);
  EXPECT_EQ(psp_atoui64("-1", &out), PSP_OKAY); // negated modulo 2^64, as the runtime does
  EXPECT_EQ(out, UINT64_MAX);
  out = 9;
  EXPECT_EQ(psp_atoui64("18446744073709551616", &out), PSP_ERR_RANGE);
  EXPECT_EQ(psp_atoui64("00", &out), PSP_ERR_NOTANUMBER);
  EXPECT_EQ(psp_atoui64("x", &out), PSP_ERR_NOTANUMBER);
  EXPECT_EQ(out, 9u);
  EXPECT_EQ(psp_atoui64("0", &out), PSP_OKAY);
  EXPECT_EQ(out, 0u);

  uint32_t v = 3;
  EXPECT_EQ(psp_atoui32("4294967296", &v), PSP_ERR_RANGE);
  EXPECT_EQ(psp_atoui32("-1", &v), PSP_ERR_RANGE);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(psp_atoui32("4294967295", &v), PSP_OKAY);
  EXPECT_EQ(v, UINT32_MAX);
}

TEST(StrUtil, FloatingPoint) {
  double d = 7.5;
  EXPECT_EQ(psp_strtod("1e999", &d), PSP_ERR_RANGE);
  EXPECT_EQ(psp_strtod("1e-999", &d), PSP_ERR_RANGE);
  EXPECT_EQ(d, 7.5);
  float f = 7.5f;
  EXPECT_EQ(psp_strtof("1e999", &f), PSP_ERR_RANGE);
  EXPECT_EQ(f, INFINITY); // the float form stores even on a range error
  EXPECT_EQ(psp_strtof("1e-999", &f), PSP_ERR_RANGE);
  EXPECT_EQ(f, 0.0f);

  EXPECT_EQ(psp_strtod("inf", &d), PSP_OKAY);
  EXPECT_EQ(d, INFINITY);
  EXPECT_EQ(psp_strtod("2.5xyz", &d), PSP_OKAY);
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(psp_strtod("hello", &d), PSP_OKAY); // no number reads as 0.0
  EXPECT_EQ(d, 0.0);
  EXPECT_EQ(psp_strtof("1e39", &f), PSP_ERR_RANGE); // fits a double, not a float
  EXPECT_EQ(psp_strtof("-INF", &f), PSP_OKAY);
  EXPECT_EQ(f, -INFINITY);
  EXPECT_EQ(psp_strtof("NaN", &f), PSP_OKAY);
  uint32_t fbits;
  std::memcpy(&fbits, &f, 4);
  EXPECT_EQ(fbits, 0x7FC00000u);

  double nan = psp_atof("NaN");
  uint64_t bits;
  std::memcpy(&bits, &nan, 8);
  EXPECT_EQ(bits, 0x7FFFFFFFFFFFFFFFull);
  EXPECT_EQ(psp_atof("INF"), INFINITY);
  EXPECT_EQ(psp_atof("+inf"), INFINITY);
  EXPECT_EQ(psp_atof("-Inf"), -INFINITY);
  EXPECT_EQ(psp_atof(" 12.5e1 "), 125.0);
  psp_atof("1e999");
  EXPECT_EQ(errno, ERANGE); // left as the runtime set it
}

TEST(StrUtil, BoundedCopiesAndSearch) {
  char buf[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(psp_strncpyZ(buf, "abcdef", 4), buf);
  EXPECT_EQ(std::string(buf, 5), std::string("abc\0x", 5));
  psp_strncpyZ(buf, "ab", 6); // the rest of the size is zero-filled
  EXPECT_EQ(std::string(buf, 7), std::string("ab\0\0\0\0x", 7));
  psp_strncpyZ(buf, "abc", 0);
  EXPECT_EQ(buf[0], 'a');
  PSP_WCHAR w[6] = {u'x', u'x', u'x', u'x', u'x', u'x'};
  EXPECT_EQ(psp_wcsncpyZ(w, u"abcdef", 4), w);
  EXPECT_EQ(std::u16string(w, 5), std::u16string(u"abc\0x", 5));
  psp_wcsncpyZ(w, nullptr, 5);
  EXPECT_EQ(std::u16string(w, 6), std::u16string(u"\0\0\0\0\0x", 6));

  const char *hello = "Hello";
  EXPECT_EQ(psp_strcasestr(hello, "LL"), hello + 2);
  EXPECT_EQ(psp_strcasestr(hello, "loo"), nullptr);
  EXPECT_EQ(psp_strcasestr(hello, nullptr), hello);
  EXPECT_EQ(psp_strcasestr("", ""), nullptr);
}

std::vector<std::string> tokens(std::string text, const char *delimiters, uint32_t trim,
                                PSP_STATUS expect = PSP_OKAY) {
  char **array = reinterpret_cast<char **>(1);
  uint32_t count = 77;
  std::vector<std::string> out;
  PSP_STATUS st = psp_tokenize(text.data(), delimiters, &array, &count, trim, PSP_TAG_THREAD);
  EXPECT_EQ(st, expect);
  if (st != PSP_OKAY) {
    EXPECT_EQ(array, reinterpret_cast<char **>(1));
    EXPECT_EQ(count, 77u);
    return out;
  }
  for (uint32_t i = 0; i < count; ++i)
    out.emplace_back(array[i]);
  if (count == 0) {
    EXPECT_EQ(array, nullptr);
  }
  psp_freeMem(array, PSP_TAG_THREAD, "test", __LINE__);
  return out;
}

using Words = std::vector<std::string>;

TEST(StrUtil, TokenizeWithoutTokensNeedsNoMemory) {
  EXPECT_EQ(tokens(", ,,", ", ", 0), Words{});
  EXPECT_EQ(tokens(" \t, \t", ",", 1), Words{});
  EXPECT_EQ(tokens("a,b", ",", 0, PSP_ERR_NOMEMORY), Words{}); // no library yet
}

TEST(StrUtil, Tokenize) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  EXPECT_EQ(tokens("a, b,,c", ", ", 0), (Words{"a", "b", "c"}));
  EXPECT_EQ(tokens(" a , , b", ",", 1), (Words{"a", "b"}));
  EXPECT_EQ(tokens(" a , , b", ",", 0), (Words{" a ", " ", " b"}));
  EXPECT_EQ(tokens("\tx y\t", ",", 1), (Words{"x y"}));
  Words many;
  std::string text;
  for (int i = 0; i < 300; ++i) {
    many.push_back(std::to_string(i));
    text += many.back() + ";";
  }
  EXPECT_EQ(tokens(text, ";", 0), many);
  psp_term();
}

TEST(StrUtil, ErrorMessages) {
  EXPECT_EQ(psp_strerr_alloc(ENOENT, PSP_TAG_DEFAULT), nullptr); // no library yet
  ASSERT_EQ(psp_init(), PSP_OKAY);
  char *msg = psp_strerr_alloc(ENOENT, PSP_TAG_DEFAULT);
  ASSERT_NE(msg, nullptr);
  EXPECT_STREQ(msg, std::strerror(ENOENT));
  psp_freeMem(msg, PSP_TAG_DEFAULT, "test", __LINE__);
  // The runtime reports EINVAL for numbers it does not know.
  EXPECT_EQ(psp_strerr_alloc(999999, PSP_TAG_DEFAULT), nullptr);
  EXPECT_EQ(psp_strerr_alloc(0xFFFFFFFFu, PSP_TAG_DEFAULT), nullptr);
  psp_term();
}

} // namespace
