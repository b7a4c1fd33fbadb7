// Named globals: one zeroed block per name, sorted table growth, initialiser
// failure, finaliser order at the last psp_term, racing first demands.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "psp.h"
#include "../watchdog.h"

namespace {

class Globals : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(psp_init(), PSP_OKAY); }
  void TearDown() override { psp_term(); }
};

TEST_F(Globals, SameZeroedBlockPerNameAndRefusals) {
  void *first = nullptr, *second = nullptr;
  ASSERT_EQ(psp_globalGet("a", 8, nullptr, nullptr, &first), PSP_OKAY);
  EXPECT_EQ(0, std::memcmp(first, "\0\0\0\0\0\0\0\0", 8));
  ASSERT_EQ(psp_globalGet("a", 100, nullptr, nullptr, &second), PSP_OKAY);
  EXPECT_EQ(first, second) << "a later size is ignored";

  void *out = reinterpret_cast<void *>(1);
  EXPECT_EQ(psp_globalGet(nullptr, 8, nullptr, nullptr, &out), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_globalGet("x", 0, nullptr, nullptr, &out), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_globalGet("x", 8, nullptr, nullptr, nullptr), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(out, reinterpret_cast<void *>(1));
  EXPECT_EQ(psp_globalGet("huge", 0xFFFFFFFEull, nullptr, nullptr, &out), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_globalGet("huge", 4, nullptr, nullptr, &out), PSP_OKAY) << "no entry was left";
}

uint32_t failingInit(void *) { return 1; }
int g_initRuns;
uint32_t countingInit(void *value) {
  ++g_initRuns;
  *static_cast<int *>(value) = 42;
  return 0;
}

TEST_F(Globals, FailingInitialiserRemovesEntryAndRetryRunsItAgain) {
  void *out = nullptr;
  EXPECT_EQ(psp_globalGet("flaky", 4, failingInit, nullptr, &out), PSP_ERR_NOMEMORY);
  EXPECT_EQ(out, nullptr);
  g_initRuns = 0;
  ASSERT_EQ(psp_globalGet("flaky", 4, countingInit, nullptr, &out), PSP_OKAY);
  ASSERT_EQ(psp_globalGet("flaky", 4, countingInit, nullptr, &out), PSP_OKAY);
  EXPECT_EQ(g_initRuns, 1);
  EXPECT_EQ(*static_cast<int *>(out), 42);
}

std::string g_finalised;
void recordFinaliser(void *value) { g_finalised += static_cast<const char *>(value); }

TEST(GlobalsLifecycle, FinalisersRunAtLastTermInDescendingNameOrder) {
  g_finalised.clear();
  ASSERT_EQ(psp_init(), PSP_OKAY);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  // Unsigned byte order: 0xC3 sorts after every ASCII letter.
  for (const char *name : {"B", "\xC3", "a", "A"}) {
    void *v = nullptr;
    ASSERT_EQ(psp_globalGet(name, 2, nullptr, recordFinaliser, &v), PSP_OKAY);
    static_cast<char *>(v)[0] = name[0];
  }
  psp_term();
  EXPECT_EQ(g_finalised, "");
  psp_term();
  EXPECT_EQ(g_finalised, "\xC3"
                         "aBA");
  // A fresh start has a fresh, empty table.
  ASSERT_EQ(psp_init(), PSP_OKAY);
  void *v = nullptr;
  ASSERT_EQ(psp_globalGet("a", 2, nullptr, nullptr, &v), PSP_OKAY);
  EXPECT_EQ(static_cast<char *>(v)[0], 0);
  psp_term();
}

std::atomic<int> g_raceInits;
uint32_t slowInit(void *) {
  ++g_raceInits;
  std::this_thread::yield();
  return 0;
}

TEST(GlobalsConcurrency, FirstDemandRaceRunsInitialiserOnce) {
  psp_test::Watchdog dog(10);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  for (int round = 0; round < 20; ++round) {
    g_raceInits = 0;
    std::string name = "race" + std::to_string(round);
    std::vector<void *> got(6);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < got.size(); ++t)
      threads.emplace_back([&, t] {
        EXPECT_EQ(psp_globalGet(name.c_str(), 32, slowInit, nullptr, &got[t]), PSP_OKAY);
      });
    for (auto &t : threads)
      t.join();
    EXPECT_EQ(g_raceInits.load(), 1);
    for (void *v : got)
      EXPECT_EQ(v, got[0]);
  }
  psp_term();
}

} // namespace
