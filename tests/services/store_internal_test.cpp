// The install-count store from inside: adjustments from several processes, corrupt files or
// values, the range of counts, the bounded wait of service removal. On Windows: the registry.
#include "internal.h"
#include "testing.h"

#include "../watchdog.h"
#include "scratch_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

using Store = ServiceDir;

// POSIX only: the registry's read, add and write are separate calls, no lock between processes.
#ifndef _WIN32
TEST_F(Store, AdjustConcurrency) {
  constexpr int kProcesses = 4, kRounds = 40;
  auto r = psp_test::runInChild(120, [] {
    pid_t children[kProcesses];
    for (int p = 0; p < kProcesses; ++p) {
      children[p] = fork();
      if (children[p] == 0) {
        bool ok = true;
        std::string own = "own" + std::to_string(p);
        for (int i = 0; i < kRounds; ++i)
          ok = ok && psp::registryAdjust("shared", 1) == PSP_OKAY &&
               psp::registryAdjust(own.c_str(), i % 2 ? -1 : 2) == PSP_OKAY;
        _exit(ok ? 0 : 1);
      }
    }
    int status = 0, failed = 0;
    for (pid_t child : children)
      failed += waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status);
    return failed == 0;
  });
  ASSERT_TRUE(r.ok()) << psp_test::describe(r);
  EXPECT_EQ(psp::registryCount("shared"), static_cast<uint32_t>(kProcesses * kRounds));
  for (int p = 0; p < kProcesses; ++p)
    EXPECT_EQ(psp::registryCount(("own" + std::to_string(p)).c_str()), kRounds / 2u);
}
#endif

TEST_F(Store, CorruptLinesCountZeroAndAreRepaired) {
#ifdef _WIN32
  // A value too wide for a count reads as 0 and is rewritten as one.
  const uint64_t wide = 5;
  ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, ServiceDir::kKey, "psp_store_wide", REG_QWORD,
                            &wide, sizeof wide),
            ERROR_SUCCESS);
  EXPECT_EQ(psp::registryCount("psp_store_wide"), 0u);
  ASSERT_EQ(psp::registryAdjust("psp_store_wide", 1), PSP_OKAY);
  EXPECT_EQ(count("psp_store_wide"), 1u);
  setCount("psp_store_wide", 0);
#else
  put(kStore, "good=3\ngarbage line\nbad=12x\n=5\nx/y=2\ndup=4\ndup=9\nhuge=4294967296\n"
              "\xff\xfe=1\nwin=6\r\nlast=8");
  // {name, its count}: a malformed line or value counts 0, a duplicate its first value
  const std::pair<const char *, uint32_t> cases[] = {{"good", 3},    {"bad", 0}, {"dup", 4},
                                                     {"huge", 0},    {"win", 6}, {"last", 8},
                                                     {"missing", 0}, {"x/y", 0}};
  for (const auto &[name, expected] : cases)
    EXPECT_EQ(psp::registryCount(name), expected) << name;
  ASSERT_EQ(psp::registryAdjust("bad", 1), PSP_OKAY);
  EXPECT_EQ(get(kStore), "good=3\ndup=4\nwin=6\nlast=8\nbad=1\n");
#endif
}

TEST_F(Store, CountsStayInRangeAndNeedTheLibrary) {
  const char *n = "psp_store_n";
  EXPECT_EQ(psp::registryAdjust(n, -5), PSP_OKAY);
  EXPECT_EQ(count(n), 0u);
  setCount(n, 4294967295u);
  EXPECT_EQ(psp::registryAdjust(n, 1), PSP_OKAY);
  EXPECT_EQ(psp::registryCount(n), 4294967295u);
#ifdef _WIN32
  EXPECT_EQ(psp::registryAdjust("psp_store/n", 1), PSP_OKAY); // a value name may hold anything
  setCount("psp_store/n", 0);
#else
  EXPECT_EQ(get(kStore), "psp_store_n=4294967295\n");
  EXPECT_EQ(psp::registryAdjust("bad/name", 1), PSP_ERR_SYSTEM);
  // A store that cannot be read is not overwritten.
  std::remove(at(kStore).c_str());
  ASSERT_EQ(mkdir(at(kStore).c_str(), 0755), 0);
  EXPECT_EQ(psp::registryCount(n), 0u);
  EXPECT_EQ(psp::registryAdjust(n, 1), PSP_ERR_SYSTEM);
  std::remove(at(kStore).c_str()); // rmdir
#endif
  setCount(n, 3); // nothing without the library
  psp_term();
  EXPECT_EQ(psp::registryCount(n), 0u);
  EXPECT_EQ(psp::registryAdjust(n, 1), PSP_ERR_SYSTEM);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  EXPECT_EQ(psp::registryCount(n), 3u);
  setCount(n, 0);
}

// A stop that never finishes holds removal up only for the bounded wait. POSIX only: there the
// bound can be shortened for tests; on Windows it is a fixed 30 s.
#ifndef _WIN32
TEST_F(Store, RemovalWaitsForAStopBoundedly) {
  put("systemctl", "#!/bin/sh\n[ \"$1\" = stop ] && exec sleep 60\nexit 0\n", 0755);
  put("units/slow.service", "[Unit]\n");
  setenv("PSP_SYSTEMD_UNIT_DIR", at("units").c_str(), 1);
  setenv("PSP_SYSTEMCTL", at("systemctl").c_str(), 1);
  put(kStore, "slow=1\n");
  uint32_t saved = psp::testing::g_serviceStopWaitMs;
  psp::testing::g_serviceStopWaitMs = 200;
  auto r = psp_test::runInChild(30, [&] {
    return psp_serviceUninstall("slow", "slow") == PSP_OKAY &&
           get("units/slow.service") == "<missing>" && get(kStore) == "slow=0\n";
  });
  psp::testing::g_serviceStopWaitMs = saved;
  EXPECT_TRUE(r.ok()) << psp_test::describe(r);
}
#endif
