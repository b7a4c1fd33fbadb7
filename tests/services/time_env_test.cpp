// Clocks, environment, locale and process wrappers against the C library; time zones are set only
// in forked children.
#include "../scratch_dir.h"
#include "../watchdog.h"

#include <chrono>
#include <clocale>
#include <ctime>
#include <tuple>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#endif

using namespace psp_test;

namespace {

bool sameAsLibc(const PSP_TM &t, const tm &c) {
  return t.sec == c.tm_sec && t.min == c.tm_min && t.hour == c.tm_hour && t.mday == c.tm_mday &&
         t.mon == c.tm_mon && t.year == c.tm_year && t.wday == c.tm_wday && t.yday == c.tm_yday &&
         (t.isdst > 0) == (c.tm_isdst > 0);
}

} // namespace

TEST(Time, LocalTimeMatchesTheCLibraryInEveryZone) {
  // POSIX rules need no time-zone database; Lord Howe shifts by 30 minutes.
  // The Windows runtime reads only "EST5EDT"-like zones, under the US rules.
#ifdef _WIN32
  const char *zones[] = {"UTC0", "EST5EDT", "IST-5:30"};
#else
  const char *zones[] = {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3",
                         "<+0530>-5:30", "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0"};
#endif
  for (const char *zone : zones) {
    auto r = runInChild(60, [zone] {
      setEnv("TZ", zone);
      // Fixed instants, then three years in steps that cross every change of offset.
      std::vector<int64_t> instants = {0, -1, -86400LL * 400, 951782400, 32503680000LL};
      for (int64_t t = 1735689600; t < 1735689600 + 3 * 366 * 86400LL; t += 3599 * 5 + 17)
        instants.push_back(t);
      for (int64_t t : instants) {
        PSP_TM got;
        const std::time_t c = static_cast<std::time_t>(t);
        const tm *want = std::localtime(&c); // the C library's own, on one thread only
        if ((psp_timeLocaltime(t, &got) == &got) != (want != nullptr) ||
            (want != nullptr && !sameAsLibc(got, *want)))
          return false;
      }
      return true;
    });
    EXPECT_TRUE(r.ok()) << zone << ": " << describe(r);
  }
  PSP_TM tm = {};
  tm.year = 77;
  EXPECT_EQ(psp_timeLocaltime(0, nullptr), nullptr);
  EXPECT_EQ(psp_timeLocaltime(INT64_MAX, &tm), nullptr); // beyond any year the platform holds
  EXPECT_EQ(tm.year, 77);
  // The Windows runtime refuses times before 1970.
  EXPECT_EQ(psp_timeLocaltime(-1, &tm), kWindows ? nullptr : &tm);
}

TEST(Time, ClocksAgreeWithTheCLibrary) {
  // The fine clock: time() may read a coarse one that still shows the last second.
  auto fineSeconds = [] {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  };
  int attempt = 0;
  for (; attempt < 100; ++attempt) {
    const int64_t before = fineSeconds();
    PSP_TM got;
    uint16_t fraction = 0xFFFF, alone = 0xFFFF;
    EXPECT_EQ(psp_timeUTC(&got, &fraction), &got);
    EXPECT_EQ(psp_timeUTC(nullptr, &alone), nullptr); // the fraction without a record
    int64_t secs = psp_timeSecs(), seed = psp_seed();
    uint64_t ms = psp_timeMilliSecs();
    if (fineSeconds() != before)
      continue; // a second boundary passed: try again
    const std::time_t c = static_cast<std::time_t>(before);
    tm want = *std::gmtime(&c);
    want.tm_yday = 0; // not computed
    EXPECT_TRUE(sameAsLibc(got, want));
    EXPECT_TRUE(fraction % 10 == 0 && fraction < 10000 && alone < 10000);
    EXPECT_TRUE(secs == before && seed == before && ms / 1000 == static_cast<uint64_t>(before));
    break;
  }
  EXPECT_LT(attempt, 100) << "the clock never stayed within one second";
  // The monotonic clock never goes back, and a sleep lasts at least as asked.
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
  // {name, value (NULL: unset), the same name and the value in UTF-16}
  const std::tuple<const char *, const char *, const char16_t *, const char16_t *> cases[] = {
      {"PSP_SVC_T", "w\xC3\xA4-\xE2\x82\xAC-\xF0\x9F\x98\x80", u"PSP_SVC_T",
       u"w\u00E4-\u20AC-\U0001F600"},
      {"PSP_SVC_T", "a\377b", u"PSP_SVC_T", u"a?b"}, // not UTF-8: '?' for the broken byte
      {longName.c_str(), "long", longWide.c_str(), u"long"},
      {"PSP_SVC_T", nullptr, u"PSP_SVC_T", nullptr}};
  for (const auto &[name, value, wname, wide] : cases) {
#ifdef _WIN32 // the environment is UTF-16 there: set what the runtime will hand back
    _wputenv_s(reinterpret_cast<const wchar_t *>(wname),
               wide ? reinterpret_cast<const wchar_t *>(wide) : L"");
#else
    setEnv(name, value);
#endif
    EXPECT_EQ(psp_getenv(name), std::getenv(name));
    const PSP_WCHAR *got = psp_getenvW(wname);
    EXPECT_EQ(got ? std::u16string(got) : u"(null)", wide ? wide : u"(null)") << name;
  }
  setEnv(longName.c_str(), nullptr);
  const char16_t lone[] = {u'P', 0xD800, 0};
  EXPECT_EQ(psp_getenvW(lone), nullptr);
  EXPECT_EQ(psp_getenvW(nullptr), nullptr);
  EXPECT_EQ(psp_getenv(nullptr), nullptr);
}

TEST(Environment, WideResultsBelongToTheirThread) {
  Watchdog dog(10); // a thread ends: its tag goes back under the tag-list lock
  setEnv("PSP_SVC_A", "main");
  setEnv("PSP_SVC_B", "other");
  const PSP_WCHAR *mine = psp_getenvW(u"PSP_SVC_A");
  std::thread([] {
    for (int i = 0; i < 3; ++i) // grows and is freed when the thread ends
      EXPECT_EQ(std::u16string(psp_getenvW(u"PSP_SVC_B")), u"other");
    EXPECT_EQ(std::u16string(psp_setlocaleW(LC_ALL, nullptr)), u"C");
  }).join();
  EXPECT_EQ(std::u16string(mine), u"main");
  setEnv("PSP_SVC_A", nullptr);
  setEnv("PSP_SVC_B", nullptr);
}

TEST(Environment, Locales) {
  EXPECT_EQ(std::u16string(psp_setlocaleW(LC_NUMERIC, u"C")), u"C");
  EXPECT_EQ(psp_setlocaleW(LC_NUMERIC, u"no_such_LOCALE.x"), nullptr);
  EXPECT_STREQ(psp_setlocale(LC_ALL, nullptr), "C");
  EXPECT_EQ(psp_setlocale(LC_ALL, "no_such_LOCALE.x"), nullptr);
  // {category, name, whether a locale is made}; "POSIX" is not Windows' name
  const std::tuple<int, const char *, bool> cases[] = {{LC_NUMERIC, "C", true},
                                                       {LC_ALL, "POSIX", !kWindows},
                                                       {LC_TIME, "no_such.x", false},
                                                       {9999, "C", false},
                                                       {-1, "C", false},
                                                       {LC_ALL, nullptr, false}};
  for (const auto &[category, name, made] : cases) {
    void *locale = psp_createlocale(category, name);
    EXPECT_EQ(locale != nullptr, made) << category;
    psp_freelocale(locale);
  }
}

TEST(Process, Wrappers) {
#ifdef _WIN32
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  EXPECT_EQ(psp_get_pid(), static_cast<uint32_t>(_getpid()));
  EXPECT_EQ(psp_getcpucount(), system.dwNumberOfProcessors);
  errno = ENOENT; // the system's error number, not the runtime's
  SetLastError(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(psp_errno(), static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
#else
  EXPECT_EQ(psp_get_pid(), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(psp_getcpucount(), static_cast<uint32_t>(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_LT(open("/no/such/file", O_RDONLY), 0);
  EXPECT_EQ(psp_errno(), static_cast<uint32_t>(ENOENT));
#endif
  EXPECT_EQ(psp_daemonStart(), PSP_ERR_SYSTEM);
  psp_daemonComplete();
  for (const char *dir : {".", static_cast<const char *>(nullptr), "/no/such/dir"})
    EXPECT_EQ(psp_dirSync(dir), PSP_OKAY);
  char text[] = "a,,b";
  char *context = nullptr;
  EXPECT_STREQ(psp_strtok(text, ",", &context), "a");
  EXPECT_STREQ(psp_strtok(nullptr, ",", &context), "b");
  EXPECT_EQ(psp_strtok(nullptr, ",", &context), nullptr);
  EXPECT_EQ(psp_strtok(text, nullptr, &context), nullptr);
}
