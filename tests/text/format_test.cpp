// Format engines: the narrow one against the C library, the wide one against
// the narrow; tables for what the C library does not share.
#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "psp.h"

namespace {

std::u16string widen(const std::string &s) { // byte for unit
  const auto *bytes = reinterpret_cast<const unsigned char *>(s.data());
  return {bytes, bytes + s.size()};
}

template <typename... A> std::string narrow(const char *format, A... a) {
  char buf[512];
  int32_t n = psp_snprintf(buf, sizeof buf, format, a...);
  EXPECT_EQ(n, int32_t(std::strlen(buf))) << format;
  return buf;
}

template <typename... A> std::u16string wide(const char16_t *format, A... a) {
  char16_t buf[512];
  int32_t n = psp_snwprintf(buf, 512, format, a...);
  EXPECT_EQ(n, int32_t(std::u16string(buf).size()));
  return buf;
}

// The wide result must be the narrow one, unit for unit.
template <typename... A> void both(const char *expected, const char *format, A... a) {
  EXPECT_EQ(narrow(format, a...), expected) << format;
  EXPECT_EQ(wide(widen(format).c_str(), a...), widen(expected)) << format;
}

template <typename V> void compare(const std::string &format, V v) {
  char mine[256], theirs[256];
  int32_t n = psp_snprintf(mine, sizeof mine, format.c_str(), v);
  ASSERT_EQ(n, std::snprintf(theirs, sizeof theirs, format.c_str(), v)) << format;
  ASSERT_STREQ(mine, theirs) << format;
  if constexpr (std::is_pointer_v<V>)
    ASSERT_EQ(wide(widen(format).c_str(), widen(v).c_str()), widen(mine)) << format;
  else
    ASSERT_EQ(wide(widen(format).c_str(), v), widen(mine)) << format;
}

TEST(Format, GeneratedIntegersAndStrings) {
  std::mt19937_64 rng(20240611);
  const int64_t edges[] = {0,     1,      -1,    7,         8,         255,       256,      -128,
                           32767, -32768, 65535, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN};
  const char *lengths[] = {"", "hh", "h", "l", "ll", "z", "j", "t"};
  const char *texts[] = {"", "a", "hello", "a longer text of thirty bytes!", "\xE2\x82\xAC"};
  for (int i = 0; i < 50000 && !HasFailure(); ++i) {
    char conversion = "diuoxXs"[rng() % 7];
    std::string f = "<%";
    for (int k = 0, n = rng() % 4; k < n; ++k) {
      char flag = "-+ 0#"[rng() % (conversion == 'o' ? 4 : 5)]; // no # for o
#ifdef _WIN32
      // MinGW's printf signs %u under '+' and ' '; C and the library do not.
      if (conversion == 'u' && (flag == '+' || flag == ' '))
        continue;
#endif
      f += flag;
    }
    if (rng() % 3)
      f += std::to_string(rng() % 25);
    if (unsigned p = rng() % 3) // none, "." alone, or "." and digits
      f += p == 1 ? std::string(".") : '.' + std::to_string(rng() % 25);
    std::string length = conversion == 's' ? "" : lengths[rng() % std::size(lengths)];
    f += length + conversion + '>';
    int64_t v = rng() % 3 ? static_cast<int64_t>(rng()) >> (rng() % 64) : edges[rng() % 15];
    if (conversion == 's')
      compare(f, texts[rng() % std::size(texts)]);
    else if (length.empty() || length[0] == 'h')
      compare(f, static_cast<int>(v));
    else if (length == "l")
      compare(f, static_cast<long>(v)); // 32 bits on Windows
    else
      compare(f, v);
  }
}

// l follows the platform's long; L with an integer reads 64 bits, as ll does.
TEST(Format, IntegerTable) {
  both("010|010||00010", "%#o|%#.0o|%#.0o|%#.5o", 8, 8, 0, 8); // '#' with 'o' is not generated
  both("-56|0|-1|-1|-1 2", "%hhd|%hu|%ld|%Ld|%I32d %d", 200, 65536, -1L, int64_t{-1}, -1, 2);
  both("-9223372036854775808", "%I64d", INT64_MIN);
  void *p = reinterpret_cast<void *>(0x1234);
  both("0000000000001234|0X0000000000001234|  0000000000001234", "%p|%#p|%18p", p, p, p);
  both("7   |7", "%*d|%.*d", -4, 7, -1, 7);
}

TEST(Format, StringsCharsAndUnknowns) {
  both("(null) (n", "%s %.2s", nullptr, nullptr);
  both("A|%|[]|d", "%5c|%5%|[%y%k%S%C]|%Id", 'A', 5);
  EXPECT_EQ(wide(u"%c", 0x20AC), u"\x20AC");
  EXPECT_EQ(wide(u"%.1s", u"\U0001F600"), u"\xD83D"); // units, not characters
  EXPECT_EQ(wide(u"%\u0164x", 1), u"x"); // a unit that only ends in 'd' is no conversion
}

TEST(Format, FloatTable) {
  both("3.141590|1 2 3|0.13|+0.00 12.50", "%f|%.0f %.0f %.0f|%.2f|%+.2f% .2f", 3.14159, 0.5, 1.5,
       2.5, 0.125, 0.0, 12.5);
  both("1.234560e+005|1.000000e-003|1.00e+001|1.000000E+300|1.797693e+308", "%e|%e|%.2e|%E|%e",
       123456.0, 0.001, 9.999, 1e300, DBL_MAX);
  both("100000 1e+006 0.0001 1e-005 123.456 0 1e+006 2.22507e-308", "%g %g %g %g %g %g %g %g",
       100000.0, 1000000.0, 0.0001, 0.00001, 123.456, 0.0, 999999.5, DBL_MIN);
  both("0.1000000000000000000|18000000000000000000.000000|0.3333333333333332992", "%.20f|%f|%.30f",
       0.1, 1.8e19, 1.0 / 3);
  both("-000003.14|2.3     |0.000000", "%010.2f|%-8.1f|%f", -3.14159, 2.25, -0.0);
  both("  1.#INF -1.#INF|+1.#QNAN 1.#QNAN", "%08f %-7f|%+f %F", INFINITY, -INFINITY, NAN, -NAN);
  both("1.00000 1 1.E+000|5.e+000|100 1E-005 0.001", "%#g %g %#.0E|%#.0e|%G %G %.3g", 1.0, 1.0, 1.0,
       5.0, 100.0, 0.00001, 0.001);
  both("3.141590|3.141590 3.141590", "%Lf|%a %A", 3.14159, 3.14159, 3.14159); // L reads a double
}

// Bounded buffers keep what fits and terminate; the records count what was
// stored and what was asked (capacity, used, stored, total, totalChars,
// overflow), in units and in characters.
template <typename B> std::vector<uint64_t> counters(const B &b) {
  return {b.capacity, b.used, b.stored, b.total, b.totalChars, b.overflow};
}
using V = std::vector<uint64_t>;

TEST(Format, BoundedBuffersAndRecords) {
  char b[8] = "zzzzzzz";
  EXPECT_EQ(psp_snprintf(b, 0, "%s", "abcdef") + psp_snprintf(b, 1, "%s", "abcdef"), 12);
  EXPECT_EQ(std::string(b, 2), std::string("\0z", 2));
  EXPECT_EQ(psp_snprintf(b, 4, "%s", "abcdef"), 6);
  EXPECT_STREQ(b, "abc");
  char16_t w16[8] = u"zzzzzzz";
  EXPECT_EQ(psp_snwprintf(w16, 4, u"%s", u"abcdef"), 6);
  EXPECT_EQ(std::u16string(w16), u"abc");
  // A failing call keeps what it stored, unterminated.
  EXPECT_EQ(psp_snprintf(b, sizeof b, "%s%f", "xy", 1e20), -1);
  EXPECT_EQ(std::string(b, 3), "xyc");

  char area[4];
  PSP_UTF8_BUFF u;
  psp_utf8BuffInit(&u, area, sizeof area);
  EXPECT_EQ(psp_fnprintf(psp_emitCharAsUtf8, &u, "%s", "hello"), PSP_OKAY);
  EXPECT_EQ(counters(u), (V{3, 3, 3, 5, 5, 1}));
  psp_utf8BuffTerm(&u);
  EXPECT_STREQ(area, "hel");
  EXPECT_EQ(counters(u), (V{4, 4, 4, 6, 6, 0}));
  psp_utf8BuffInit(&u, area, 0);
  psp_emitCharAsUtf8(&u, 'x');
  psp_utf8BuffTerm(&u);
  EXPECT_EQ(u.buf, nullptr);
  EXPECT_EQ(counters(u), (V{0, 0, 0, 2, 2, 1}));

  char16_t units[4];
  PSP_WCHAR_BUFF w;
  psp_wcharBuffInit(&w, units, 3); // room for two units
  EXPECT_EQ(psp_wcharBuffEmit(&w, 0x1F600), 2);
  EXPECT_EQ(std::u16string(units, 2), u"\U0001F600");
  EXPECT_EQ(counters(w), (V{2, 2, 1, 2, 1, 0}));
  psp_wcharBuffInit(&w, units, 2); // room for one unit
  EXPECT_EQ(psp_wcharBuffEmit(&w, 0x1F600), 2);
  EXPECT_EQ(psp_emitCharAsWChar(&w, 'A'), 0); // not stored after an overflow
  EXPECT_EQ(counters(w), (V{1, 0, 0, 3, 2, 1}));
  psp_wcharBuffTerm(&w);
  EXPECT_EQ(units[0], 0);
  EXPECT_EQ(counters(w), (V{2, 1, 1, 4, 3, 0}));
}

// Keeps the bytes it gets; refuses with -555 once it holds four.
int record(void *sink, int ch) {
  auto *text = static_cast<std::string *>(sink);
  EXPECT_TRUE(ch >= 0 && ch <= 255);
  if (text->size() == 4)
    return -555;
  text->push_back(static_cast<char>(ch));
  return 0;
}

TEST(Format, EmitterResultStopsTheCall) {
  std::string r, w, all;
  int n = -1;
  EXPECT_EQ(psp_fnprintf(record, &r, "ab%dcd%n", 123, &n), -555);
  EXPECT_EQ(r, "ab12");
  EXPECT_EQ(n, -1); // nothing read after the stop
  EXPECT_EQ(psp_fnwprintf(record, &w, u"%-6s|", u"ab"), -555);
  EXPECT_EQ(w, "ab  ");
  EXPECT_EQ(psp_fnprintf(record, &all, "%s\xFF", "x"), PSP_OKAY); // bytes as 0..255
  EXPECT_EQ(all, "x\xFF");
  EXPECT_EQ(psp_outputString(record, &r, "abcdef"), -555);
}

TEST(Format, CountAtEveryWidth) {
  // Two widths of 2147483647 make the 32-bit count 0xFFFFFFFE (-2); the
  // measuring pass stores it without producing the text. Only the bytes of
  // the named width change; %zn stores an unsigned size.
  const uint64_t all = ~0ull, low = 0xFFFFFFFF, longMask = sizeof(long) == 8 ? all : low;
  const std::pair<const char *, uint64_t> rows[] = {
      {"%hhn", 0xFF},    {"%hn", 0xFFFF}, {"%n", low},    {"%I32n", low},
      {"%ln", longMask}, {"%lln", all},   {"%I64n", all}, {"%Ln", all},
      {"%zn", all},      {"%jn", all},    {"%tn", all}};
  for (auto [conversion, mask] : rows) {
    std::string f = std::string("%2147483647d%2147483647d") + conversion;
    uint64_t slot = 0xAAAAAAAAAAAAAAAAull;
    EXPECT_EQ(psp_snprintf(nullptr, 0, f.c_str(), 1, 2, &slot), -1);
    uint64_t expect = conversion[1] == 'z' ? 0xFFFFFFFE : ~uint64_t{1} & mask;
    EXPECT_EQ(slot & mask, expect) << conversion;
    EXPECT_EQ(slot & ~mask, 0xAAAAAAAAAAAAAAAAull & ~mask) << conversion;
  }
  int a = 0, b = 0;
  both("abc-12", "abc%n-12%n", &a, &b);
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(3, 6));
}

TEST(Format, FormatCutOffAnywhere) {
  const std::string full = "ab%-+ #0'12.5lldcd%s";
  const size_t specEnd = full.find("cd");
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    std::string f = full.substr(0, cut);
    std::string want = cut <= 2 ? f : "ab";
    if (cut >= specEnd) // a cut inside the trailing %s prints nothing for it
      want += "-00042      " + full.substr(specEnd, cut - specEnd).substr(0, 2);
    EXPECT_EQ(narrow(f.c_str(), -42ll, ""), want) << "cut at " << cut;
    EXPECT_EQ(wide(widen(f).c_str(), -42ll, u""), widen(want)) << "cut at " << cut;
  }
}

TEST(Format, RangeErrorsAndHugeFields) {
  std::string r;
  EXPECT_EQ(psp_fnprintf(record, &r, "x%2147483648d", 1), PSP_ERR_RANGE);
  EXPECT_EQ(psp_fnprintf(record, &r, "%.2147483648d", 1), PSP_ERR_RANGE);
  EXPECT_EQ(psp_fnprintf(record, &r, "%99999999999999999999d", 1), PSP_ERR_RANGE);
  EXPECT_EQ(psp_fnprintf(record, &r, "%*d", INT32_MIN, 1), PSP_ERR_RANGE);
  EXPECT_EQ(r, "x"); // what went out before the error stays out
  EXPECT_EQ(psp_fnwprintf(record, &r, u"%f", 1e20), PSP_ERR_RANGE);
  EXPECT_EQ(psp_fnprintf(record, &r, "%f", 18446744073709551616.0), PSP_ERR_RANGE);
  EXPECT_EQ(psp_snprintf(nullptr, 0, "%.2147483647s", "abc"), 3);
  EXPECT_EQ(psp_snprintf(nullptr, 0, "%.2147483647f", 0.5), 21);
  EXPECT_EQ(psp_snprintf(nullptr, 0, "%2147483645d", 1), 2147483645);
  EXPECT_EQ(psp_snprintf(nullptr, 0, "%2147483646d", 1), -1);
  char small[6];
  EXPECT_EQ(psp_snprintf(small, sizeof small, "%.2147483647d", 5), -1);
  EXPECT_STREQ(small, "00000"); // terminated even when the length is refused
  EXPECT_EQ(psp_snwprintf(nullptr, 0, u"%-2147483647s|", u"a"), -1);
}

TEST(Format, HostLocale) {
  // Without the library there is no record: the wide separator falls back to ','.
  EXPECT_EQ(wide(u"%'d %.1f", 1234567, 0.5), u"1,234,567 0.5");
  // German (decimal comma, thousands dot): the Windows runtime knows it by
  // name; elsewhere it is built on the fly where possible.
#ifdef _WIN32
  const char *german = "German_Germany.1252";
#else
  const char *german = "de_DE.UTF-8";
  std::string dir = ::testing::TempDir() + "psp_locale";
  std::string make = "mkdir -p " + dir + "; localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8";
  std::system((make + " >/dev/null 2>&1").c_str());
  setenv("LOCPATH", dir.c_str(), 1);
#endif
  if (std::setlocale(LC_NUMERIC, german) == nullptr)
    GTEST_SKIP() << "no German locale";
  EXPECT_EQ(narrow("%'d %'.2f %'x", 1234567, 1234.5, 0x123456), "1.234.567 1.234,50 123.456");
  EXPECT_EQ(narrow("%'12.8d|%'05d|%.0f %#.0f", 1234567, 12345, 2.0, 2.0),
            "  1.234.567|12.345|2 2,");
  ASSERT_EQ(psp_init(), PSP_OKAY);
  EXPECT_EQ(wide(u"%'d %'.2f", 1234567, 1234.5), u"1.234.567 1.234,50");
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(wide(u"%'d %.1f", 1234567, 0.25), u"1234567 0.3");
  psp_term();
}

} // namespace
