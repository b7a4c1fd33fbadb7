// Format engines: the worked tables through the narrow and the wide engine
// unit for unit, bounded buffers and their records, emitter stops, %n at
// every width, formats cut off anywhere, range errors and the host locale.
#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <vector>

#include "psp.h"

namespace {

std::u16string widen(const char *s) {
  std::u16string w;
  for (; *s; ++s)
    w.push_back(static_cast<unsigned char>(*s));
  return w;
}

template <typename... A> std::string narrow(const char *format, A... a) {
  char buf[512];
  int32_t n = psp_snprintf(buf, sizeof buf, format, a...);
  EXPECT_EQ(n, static_cast<int32_t>(std::string(buf).size())) << format;
  return buf;
}

template <typename... A> std::u16string wide(const char16_t *format, A... a) {
  char16_t buf[512];
  int32_t n = psp_snwprintf(buf, 512, format, a...);
  std::u16string s(buf);
  EXPECT_EQ(n, static_cast<int32_t>(s.size()));
  return s;
}

// The same row through both engines: the wide result must be the narrow one,
// unit for unit.
template <typename... A> void both(const char *expected, const char *format, A... a) {
  EXPECT_EQ(narrow(format, a...), expected) << format;
  EXPECT_EQ(wide(widen(format).c_str(), a...), widen(expected)) << format;
}

TEST(Format, IntegerTable) {
  both("  007", "%5.3d", 7);
  both("7    ", "%-5d", 7);
  both("-0042", "%05d", -42);
  both("+5", "%+d", 5);
  both(" 5", "% d", 5);
  both("     007", "%08.3d", 7);
  both("0xff", "%#x", 255);
  both("0XFF", "%#X", 255);
  both("0", "%#x", 0);
  both("010", "%#o", 8);
  both("010", "%#.0o", 8);
  both("", "%#.0o", 0);
  both("0x000000ff", "%#010x", 255);
  both("", "%.0d", 0);
  both("     ", "%5.0d", 0);
  both("ffffffff", "%x", -1);
  both("4294967295", "%u", -1);
  both("-56", "%hhd", 200);
  both("0", "%hu", 65536);
  both("-9223372036854775808", "%lld", INT64_MIN);
  both("-9223372036854775808", "%I64d", INT64_MIN);
  both("1777777777777777777777", "%llo", UINT64_MAX);
  both("-1", "%ld", -1L); // l follows the 64-bit long
  both("-1", "%Ld", int64_t{-1});
  both("-1 2", "%I32d %d", -1, 2);
  both("0000000000001234", "%p", reinterpret_cast<void *>(0x1234));
  both("0X0000000000001234", "%#p", reinterpret_cast<void *>(0x1234));
  both("  0000000000001234", "%18p", reinterpret_cast<void *>(0x1234));
  both("7   |", "%*d|", -4, 7);
  both("7", "%.*d", -1, 7);
  both("00010", "%#.5o", 8);
  EXPECT_EQ(narrow("%'d", 1234567), "1234567"); // empty separator in the C locale
}

TEST(Format, StringsCharsAndUnknowns) {
  EXPECT_EQ(narrow("%.3s", "abcdef"), "abc");
  EXPECT_EQ(narrow("%5s|%-5s|%05s", "ab", "ab", "ab"), "   ab|ab   |   ab");
  EXPECT_EQ(narrow("%s %.2s", nullptr, nullptr), "(null) (n");
  EXPECT_EQ(wide(u"%.3s|%-4s|%s", u"abcdef", u"ab", nullptr), u"abc|ab  |(null)");
  EXPECT_EQ(narrow("\xE2\x82\xAC%.1s", "\xE2\x82\xAC"), "\xE2\x82\xAC\xE2"); // bytes, not chars
  both("A|", "%5c|", 'A');
  both("%", "%5%", 0);
  both("[]", "[%y%k%S%C]", 0);
  both("d", "%Id", 5);
  EXPECT_EQ(wide(u"%c", 0x20AC), std::u16string(1, u'\x20AC'));
  const char16_t pair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(wide(u"%.1s", pair), std::u16string(1, char16_t(0xD83D)));
  // A unit that only ends in 'd' is no conversion.
  const char16_t odd[] = {'%', 0x0164, 'x', 0};
  EXPECT_EQ(wide(odd, 1), u"x");
}

TEST(Format, FloatTable) {
  both("3.141590", "%f", 3.14159);
  both("1 2 3", "%.0f %.0f %.0f", 0.5, 1.5, 2.5);
  both("0.13", "%.2f", 0.125);
  both("1.234560e+005", "%e", 123456.0);
  both("1.000000e-003", "%e", 0.001);
  both("1.00e+001", "%.2e", 9.999);
  both("1.000000E+300", "%E", 1e300);
  both("100000 1e+006 0.0001 1e-005", "%g %g %g %g", 100000.0, 1000000.0, 0.0001, 0.00001);
  both("123.456 0 1e+006", "%g %g %g", 123.456, 0.0, 999999.5);
  both("0.1000000000000000000", "%.20f", 0.1);
  both("18000000000000000000.000000", "%f", 1.8e19);
  both("-000003.14", "%010.2f", -3.14159);
  both("2.3     |", "%-8.1f|", 2.25);
  both("  1.#INF -1.#INF", "%08f %-7f", INFINITY, -INFINITY);
  both("0.000000", "%f", -0.0);
  both("+1.#QNAN 1.#QNAN", "%+f %F", NAN, -NAN);
  both("1.00000 1 1.E+000", "%#g %g %#.0E", 1.0, 1.0, 1.0);
  both("0.3333333333333332992", "%.30f", 1.0 / 3);
  both("3.141590", "%Lf", 3.14159); // L reads a double
  both("3.141590 3.141590", "%a %A", 3.14159, 3.14159);
  both("100 1E-005 0.001", "%G %G %.3g", 100.0, 0.00001, 0.001);
  both("1.797693e+308 2.22507e-308", "%e %g", DBL_MAX, DBL_MIN);
  both("5.e+000", "%#.0e", 5.0);
  both("+0.00 12.50", "%+.2f% .2f", 0.0, 12.5);
}

// Measure and write from one list, as the builders do.
std::string twice(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int32_t n = psp_vsnprintf(nullptr, 0, format, args);
  std::string s(static_cast<size_t>(n) + 1, '\0');
  EXPECT_EQ(psp_vsnprintf(s.data(), s.size(), format, args), n);
  va_end(args);
  s.pop_back();
  return s;
}

TEST(Format, BoundedBuffers) {
  EXPECT_EQ(twice("%s=%d %.1f", "k", 42, 0.25), "k=42 0.3");
  char b[8] = "zzzzzzz";
  EXPECT_EQ(psp_snprintf(b, 4, "%s", "abcdef"), 6);
  EXPECT_STREQ(b, "abc");
  EXPECT_EQ(psp_snprintf(b, 0, "%s", "abcdef"), 6);
  EXPECT_EQ(b[0], 'a');
  EXPECT_EQ(psp_snprintf(b, 1, "%s", "abcdef"), 6);
  EXPECT_EQ(b[0], '\0');
  EXPECT_EQ(b[1], 'b');
  EXPECT_EQ(psp_snprintf(nullptr, 0, "%d", 12345), 5);

  char16_t w[8] = u"zzzzzzz";
  EXPECT_EQ(psp_snwprintf(w, 4, u"%s", u"abcdef"), 6);
  EXPECT_EQ(std::u16string(w), u"abc");
  EXPECT_EQ(psp_snwprintf(nullptr, 0, u"%s", u"abcdef"), 6);

  // A failing call keeps what it stored, unterminated.
  char f[8] = "zzzzzzz";
  EXPECT_EQ(psp_snprintf(f, sizeof f, "ab%f", 1e20), -1);
  EXPECT_EQ(std::string(f, 3), "abz");
}

// capacity, used, stored, total, totalChars, overflow
template <typename B> std::vector<uint64_t> counters(const B &b) {
  return {b.capacity, b.used, b.stored, b.total, b.totalChars, b.overflow};
}
using V = std::vector<uint64_t>;

TEST(Format, BufferRecords) {
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

struct Recorder {
  std::string text;
  size_t stopAt = SIZE_MAX;
};

int record(void *sink, int ch) {
  auto *r = static_cast<Recorder *>(sink);
  if (r->text.size() == r->stopAt)
    return -555;
  EXPECT_TRUE(ch >= 0 && ch <= 255);
  r->text.push_back(static_cast<char>(ch));
  return 0;
}

TEST(Format, EmitterResultStopsTheCall) {
  Recorder r;
  r.stopAt = 4;
  int n = -1;
  EXPECT_EQ(psp_fnprintf(record, &r, "ab%dcd%n", 123, &n), -555);
  EXPECT_EQ(r.text, "ab12");
  EXPECT_EQ(n, -1); // nothing read after the stop

  Recorder all;
  EXPECT_EQ(psp_fnprintf(record, &all, "%s\xFF", "x"), PSP_OKAY);
  EXPECT_EQ(all.text, "x\xFF");
  EXPECT_EQ(psp_outputString(record, &all, "yz"), 0);
  EXPECT_EQ(all.text, "x\xFFyz");
  r.text.clear();
  EXPECT_EQ(psp_outputString(record, &r, "abcdef"), -555);
  EXPECT_EQ(psp_outputString(record, &r, ""), 0);
}

TEST(Format, CountAtEveryWidth) {
  union Slot {
    uint64_t all;
    int8_t i8;
    int16_t i16;
    int32_t i32;
    int64_t i64;
  };
  const char *formats[] = {"%hhn",  "%hn", "%n",  "%I32n", "%ln", "%lln",
                           "%I64n", "%Ln", "%zn", "%jn",   "%tn"};
  const uint64_t stored[] = {0xFF,  0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, ~0ull, ~0ull,
                             ~0ull, ~0ull,  ~0ull,      ~0ull,      ~0ull};
  for (size_t i = 0; i < std::size(formats); ++i) {
    // Two widths of 2147483647 make the 32-bit count 0xFFFFFFFE; the measuring
    // pass stores it without producing the text.
    std::string f = std::string("%2147483647d%2147483647d") + formats[i];
    Slot s;
    s.all = 0xAAAAAAAAAAAAAAAAull;
    EXPECT_EQ(psp_snprintf(nullptr, 0, f.c_str(), 1, 2, &s), -1);
    uint64_t mask = stored[i];
    uint64_t expect = (0xFFFFFFFEull | ~0xFFFFFFFFull) & mask; // sign-extended -2
    if (formats[i][1] == 'z')
      expect = 0xFFFFFFFE;
    EXPECT_EQ(s.all & mask, expect) << formats[i];
    EXPECT_EQ(s.all & ~mask, 0xAAAAAAAAAAAAAAAAull & ~mask) << formats[i];
  }
  int a = 0, b = 0;
  both("abc-12", "abc%n-12%n", &a, &b);
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 6);
}

TEST(Format, FormatCutOffAnywhere) {
  const std::string full = "ab%-+ #0'12.5lldcd%s";
  const std::string conversion = "-00042      ";
  const size_t specEnd = full.find("cd");
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    std::string f = full.substr(0, cut);
    std::string want = cut <= 2 ? f : "ab";
    if (cut >= specEnd) // a cut inside the trailing %s prints nothing for it
      want += conversion + full.substr(specEnd, std::min(cut, specEnd + 2) - specEnd);
    char buf[64];
    EXPECT_EQ(psp_snprintf(buf, sizeof buf, f.c_str(), -42ll, ""), int32_t(want.size()));
    EXPECT_EQ(std::string(buf), want) << "cut at " << cut;
    char16_t wbuf[64];
    EXPECT_EQ(psp_snwprintf(wbuf, 64, widen(f.c_str()).c_str(), -42ll, u""), int32_t(want.size()));
    EXPECT_EQ(std::u16string(wbuf), widen(want.c_str()));
  }
}

TEST(Format, RangeErrorsAndHugeFields) {
  Recorder r;
  EXPECT_EQ(psp_fnprintf(record, &r, "x%2147483648d", 1), PSP_ERR_RANGE);
  EXPECT_EQ(psp_fnprintf(record, &r, "%.2147483648d", 1), PSP_ERR_RANGE);
  EXPECT_EQ(psp_fnprintf(record, &r, "%99999999999999999999d", 1), PSP_ERR_RANGE);
  EXPECT_EQ(psp_fnprintf(record, &r, "%*d", INT32_MIN, 1), PSP_ERR_RANGE);
  EXPECT_EQ(r.text, "x"); // what went out before the error stays out
  EXPECT_EQ(psp_fnwprintf(record, &r, u"%f", 1e20), PSP_ERR_RANGE);
  EXPECT_EQ(psp_fnprintf(record, &r, "%f", DBL_MAX), PSP_ERR_RANGE);
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
  // de_DE: decimal comma, thousands dot. Built on the fly; skipped where the
  // locale sources are missing.
  std::string dir = ::testing::TempDir() + "psp_locale";
  std::string cmd = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
  std::system(("mkdir -p " + dir).c_str());
  std::system(cmd.c_str());
  setenv("LOCPATH", dir.c_str(), 1);
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
    GTEST_SKIP() << "no de_DE locale";
  EXPECT_EQ(narrow("%'d %'.2f %'x", 1234567, 1234.5, 0x123456), "1.234.567 1.234,50 123.456");
  EXPECT_EQ(narrow("%'12.8d|%'05d", 1234567, 12345), "  1.234.567|12.345");
  EXPECT_EQ(narrow("%.0f %#.0f", 2.0, 2.0), "2 2,");
  ASSERT_EQ(psp_init(), PSP_OKAY);
  PSP_WCHAR *probe = psp_convToWchar(".", PSP_CONV_STRICT, PSP_TAG_THREAD);
  if (probe == nullptr) {
    psp_term();
    GTEST_SKIP() << "wide locale strings need the Unicode converter";
  }
  psp_freeMem(probe, PSP_TAG_THREAD, "test", __LINE__);
  EXPECT_EQ(wide(u"%'d %'.2f", 1234567, 1234.5), u"1.234.567 1.234,50");
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(wide(u"%'d %.1f", 1234567, 0.25), u"1234567 0.3");
  psp_term();
}

TEST(Format, WideLocaleFallsBackBeforeInit) {
  // Without the library there is no record: the separator falls back to ','.
  EXPECT_EQ(wide(u"%'d %.1f", 1234567, 0.5), u"1,234,567 0.5");
}

} // namespace
