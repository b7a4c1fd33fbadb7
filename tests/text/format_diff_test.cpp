// Generated integer and string conversions against the C library's snprintf,
// where the grammars agree (no %p, ', I64, %c, %%, nor '#' with 'o').
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "psp.h"

namespace {

template <typename V> void compare(const std::string &format, V v) {
  char mine[256], theirs[256];
  int32_t n = psp_snprintf(mine, sizeof mine, format.c_str(), v);
  int m = std::snprintf(theirs, sizeof theirs, format.c_str(), v);
  ASSERT_EQ(n, m) << format;
  ASSERT_STREQ(mine, theirs) << format;
}

TEST(FormatDifferential, AgainstCLibrary) {
  std::mt19937_64 rng(20240611);
  const int64_t edges[] = {0,     1,      -1,    7,         8,         255,       256,      -128,
                           32767, -32768, 65535, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN};
  const char *lengths[] = {"", "hh", "h", "l", "ll", "z", "j", "t"};
  const char *texts[] = {"", "a", "hello", "a longer text of thirty bytes!", "\xE2\x82\xAC"};
  for (int i = 0; i < 50000 && !HasFatalFailure(); ++i) {
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
    f += length;
    f += conversion;
    f += '>';
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

} // namespace
