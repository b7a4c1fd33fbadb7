// Named globals: one zeroed block per name, sorted table growth, initialiser
// failure, finaliser order at the last psp_term, racing first demands.
#include <gtest/gtest.h>

#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../watchdog.h"
#include "psp.h"

namespace {

class Globals : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(psp_init(), PSP_OKAY); }
  void TearDown() override { psp_term(); }
};

TEST_F(Globals, SameZeroedBlockPerNameAndRefusalsWithoutTheJump) {
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

  // An oversize request is refused without the default tag's jump.
  jmp_buf jump;
  psp_resetTag(&jump, PSP_TAG_DEFAULT);
  if (setjmp(jump) == 0) {
    for (uint64_t size : {0xFFFFFFFEull, 0xFFFFFFFFull, 1ull << 40})
      EXPECT_EQ(psp_globalGet("oversize", size, nullptr, nullptr, &out), PSP_ERR_NOMEMORY);
    EXPECT_EQ(psp_globalGet("a", 0xFFFFFFFEull, nullptr, nullptr, &out), PSP_OKAY);
    EXPECT_EQ(out, first) << "an existing name ignores the size";
    EXPECT_EQ(psp_globalGet("oversize", 4, nullptr, nullptr, &out), PSP_OKAY) << "no entry left";
  } else {
    ADD_FAILURE() << "an oversize request jumped";
  }
  psp_resetTag(nullptr, PSP_TAG_DEFAULT);
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

// Nested demands from initialisers and finalisers grow and shift the table
// under the outer call: each name keeps its block, each finaliser runs once,
// and a failing initialiser takes out only its own entry.
std::map<void *, int> g_finalisedBlocks;
void countFinaliser(void *value) { ++g_finalisedBlocks[value]; }

const char *const kNested[] = {"a0", "z0", "a1", "z1", "m0", "a2", "z2", "m1", "b0", "y0", "b1"};

std::vector<void *> demandNested(const char *prefix) {
  std::vector<void *> blocks;
  for (const char *name : kNested) {
    void *v = nullptr;
    EXPECT_EQ(psp_globalGet((std::string(prefix) + name).c_str(), 24, nullptr, countFinaliser, &v),
              PSP_OKAY);
    std::strcpy(static_cast<char *>(v), name);
    blocks.push_back(v);
  }
  return blocks;
}

uint32_t nestingInit(void *value) {
  demandNested("in-");
  std::strcpy(static_cast<char *>(value), "outer");
  return 0;
}
uint32_t nestingThenFailing(void *) {
  demandNested("bad-");
  return 1;
}
void creatingFinaliser(void *value) {
  countFinaliser(value);
  void *late = nullptr;
  EXPECT_EQ(psp_globalGet("~late", 8, nullptr, countFinaliser, &late), PSP_OKAY);
}

TEST(GlobalsReentry, NestedDemandsFromInitialisersAndFinalisers) {
  psp_test::ChildResult result = psp_test::runInChild(60, [] {
    g_finalisedBlocks.clear();
    EXPECT_EQ(psp_init(), PSP_OKAY);
    void *outer = nullptr, *again = nullptr, *failed = nullptr, *creator = nullptr;
    EXPECT_EQ(psp_globalGet("m", 32, nestingInit, countFinaliser, &outer), PSP_OKAY);
    EXPECT_NE(outer, nullptr);
    EXPECT_STREQ(outer != nullptr ? static_cast<char *>(outer) : "", "outer");
    EXPECT_EQ(psp_globalGet("m", 32, nullptr, nullptr, &again), PSP_OKAY);
    EXPECT_EQ(again, outer);
    std::vector<void *> expected = demandNested("in-"); // found, not made again
    EXPECT_EQ(psp_globalGet("f", 8, nestingThenFailing, countFinaliser, &failed), PSP_ERR_NOMEMORY);
    for (void *v : demandNested("bad-"))
      expected.push_back(v); // the failure kept the nested entries
    EXPECT_EQ(psp_globalGet("n", 8, nullptr, creatingFinaliser, &creator), PSP_OKAY);
    expected.push_back(outer);
    expected.push_back(creator);
    size_t i = 0;
    for (const char *name : kNested) {
      EXPECT_STREQ(static_cast<char *>(expected[i++]), name);
    }
    psp_term();
    EXPECT_EQ(g_finalisedBlocks.size(), expected.size() + 1) << "plus the one made at the end";
    for (void *v : expected)
      EXPECT_EQ(g_finalisedBlocks[v], 1);
    for (auto &entry : g_finalisedBlocks)
      EXPECT_EQ(entry.second, 1);
    return true;
  });
  EXPECT_TRUE(result.ok()) << psp_test::describe(result);
}

} // namespace
