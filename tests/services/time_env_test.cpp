// Clocks, environment, locale and process wrappers against the C library;
// time zones are set only in forked children.
#include "psp.h"

#include "../watchdog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool sameAsLibc(const PSP_TM &t, const tm &c) {
  return t.sec == c.tm_sec && t.min == c.tm_min && t.hour == c.tm_hour && t.mday == c.tm_mday &&
         t.mon == c.tm_mon && t.year == c.tm_year && t.wday == c.tm_wday && t.yday == c.tm_yday &&
         (t.isdst > 0) == (c.tm_isdst > 0);
}

} // namespace

TEST(Time, LocalTimeMatchesTheCLibraryInEveryZone) {
  // POSIX rules need no time-zone database; Lord Howe shifts by 30 minutes.
  const char *zones[] = {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3",
                         "<+0530>-5:30", "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0"};
  for (const char *zone : zones) {
    auto r = psp_test::runInChild(60, [zone] {
      setenv("TZ", zone, 1);
      // Fixed instants, then three years in steps that cross every change of offset.
      std::vector<int64_t> instants = {0, -1, -86400LL * 400, 951782400, 32503680000LL};
      for (int64_t t = 1735689600; t < 1735689600 + 3 * 366 * 86400LL; t += 3599 * 5 + 17)
        instants.push_back(t);
      for (int64_t t : instants) {
        PSP_TM got;
        time_t c = static_cast<time_t>(t);
        tm want;
        if (psp_timeLocaltime(t, &got) != &got || !localtime_r(&c, &want) || !sameAsLibc(got, want))
          return false;
      }
      return true;
    });
    EXPECT_TRUE(r.ok()) << zone << ": " << psp_test::describe(r);
  }
  PSP_TM tm = {};
  tm.year = 77;
  EXPECT_EQ(psp_timeLocaltime(0, nullptr), nullptr);
  EXPECT_EQ(psp_timeLocaltime(INT64_MAX, &tm), nullptr); // beyond any year the platform holds
  EXPECT_EQ(tm.year, 77);
}

TEST(Time, UtcAndWallClocksAgreeWithTheCLibrary) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    // time() reads the coarse clock, which may still show the last second.
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const time_t before = ts.tv_sec;
    PSP_TM got;
    uint16_t fraction = 0xFFFF, alone = 0xFFFF;
    EXPECT_EQ(psp_timeUTC(&got, &fraction), &got);
    EXPECT_EQ(psp_timeUTC(nullptr, &alone), nullptr); // the fraction without a record
    int64_t secs = psp_timeSecs(), seed = psp_seed();
    uint64_t ms = psp_timeMilliSecs();
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != before)
      continue; // a second boundary passed: try again
    tm want;
    gmtime_r(&before, &want);
    want.tm_yday = 0; // not computed
    EXPECT_TRUE(sameAsLibc(got, want));
    EXPECT_TRUE(fraction % 10 == 0 && fraction < 10000 && alone < 10000);
    EXPECT_TRUE(secs == before && seed == before && ms / 1000 == static_cast<uint64_t>(before));
    return;
  }
  FAIL() << "the clock never stayed within one second";
}

TEST(Time, MonotonicClockNeverGoesBack) {
  uint64_t last = psp_timeNanoSecs();
  ASSERT_NE(last, 0u);
  for (int i = 0; i < 200000; ++i) {
    uint64_t now = psp_timeNanoSecs();
    ASSERT_GE(now, last);
    last = now;
  }
  psp_sleep(0);
  psp_sleep(25);
  EXPECT_GE(psp_timeNanoSecs() - last, 25000000u);
}

TEST(Environment, GetenvRoundTripsThroughUtf16) {
  const std::string longName(300, 'N'); // longer than the on-stack copy
  const std::u16string longWide(300, u'N');
  struct Case {
    const char *name, *value;
    const char16_t *wname, *wide;
  } cases[] = {{"PSP_SVC_T", "w\xC3\xA4-\xE2\x82\xAC-\xF0\x9F\x98\x80", u"PSP_SVC_T",
                u"w\u00E4-\u20AC-\U0001F600"},
               {"PSP_SVC_T",
                "a\xFF"
                "b",
                u"PSP_SVC_T", u"a?b"}, // not UTF-8: '?' for the broken byte
               {longName.c_str(), "long", longWide.c_str(), u"long"},
               {"PSP_SVC_T", nullptr, u"PSP_SVC_T", nullptr}}; // unset
  for (const Case &c : cases) {
    c.value ? setenv(c.name, c.value, 1) : unsetenv(c.name);
    EXPECT_EQ(psp_getenv(c.name), std::getenv(c.name));
    const PSP_WCHAR *got = psp_getenvW(c.wname);
    EXPECT_EQ(got ? std::u16string(got) : u"(null)", c.wide ? c.wide : u"(null)") << c.name;
  }
  unsetenv(longName.c_str());
  const char16_t lone[] = {u'P', 0xD800, 0};
  EXPECT_EQ(psp_getenvW(lone), nullptr);
  EXPECT_EQ(psp_getenvW(nullptr), nullptr);
  EXPECT_EQ(psp_getenv(nullptr), nullptr);
}

TEST(Environment, WideResultsBelongToTheirThread) {
  psp_test::Watchdog dog(10); // a thread ends: its tag goes back under the tag-list lock
  setenv("PSP_SVC_A", "main", 1);
  setenv("PSP_SVC_B", "other", 1);
  const PSP_WCHAR *mine = psp_getenvW(u"PSP_SVC_A");
  std::thread([] {
    for (int i = 0; i < 3; ++i) // grows and is freed when the thread ends
      EXPECT_EQ(std::u16string(psp_getenvW(u"PSP_SVC_B")), u"other");
    EXPECT_EQ(std::u16string(psp_setlocaleW(LC_ALL, nullptr)), u"C");
  }).join();
  EXPECT_EQ(std::u16string(mine), u"main");
  unsetenv("PSP_SVC_A");
  unsetenv("PSP_SVC_B");
}

TEST(Environment, Locales) {
  EXPECT_EQ(std::u16string(psp_setlocaleW(LC_NUMERIC, u"C")), u"C");
  EXPECT_EQ(psp_setlocaleW(LC_NUMERIC, u"no_such_LOCALE.x"), nullptr);
  EXPECT_STREQ(psp_setlocale(LC_ALL, nullptr), "C");
  EXPECT_EQ(psp_setlocale(LC_ALL, "no_such_LOCALE.x"), nullptr);
  struct Case {
    int category;
    const char *name;
    bool made;
  } cases[] = {{LC_NUMERIC, "C", true}, {LC_ALL, "POSIX", true}, {LC_TIME, "no_such.x", false},
               {9999, "C", false},      {-1, "C", false},        {LC_ALL, nullptr, false}};
  for (const Case &c : cases) {
    void *locale = psp_createlocale(c.category, c.name);
    EXPECT_EQ(locale != nullptr, c.made) << c.category;
    psp_freelocale(locale);
  }
}

TEST(Process, Wrappers) {
  EXPECT_EQ(psp_get_pid(), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(psp_getcpucount(), static_cast<uint32_t>(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_EQ(psp_daemonStart(), PSP_ERR_SYSTEM);
  psp_daemonComplete();
  for (const char *dir : {".", static_cast<const char *>(nullptr), "/no/such/dir"})
    EXPECT_EQ(psp_dirSync(dir), PSP_OKAY);
  EXPECT_LT(open("/no/such/file", O_RDONLY), 0);
  EXPECT_EQ(psp_errno(), static_cast<uint32_t>(ENOENT));

  char text[] = "a,,b";
  char *context = nullptr;
  EXPECT_STREQ(psp_strtok(text, ",", &context), "a");
  EXPECT_STREQ(psp_strtok(nullptr, ",", &context), "b");
  EXPECT_EQ(psp_strtok(nullptr, ",", &context), nullptr);
  EXPECT_EQ(psp_strtok(text, nullptr, &context), nullptr);
}
