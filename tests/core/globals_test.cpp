// Named globals: one zeroed block per name, refusals, initialiser failure,
// finaliser order at the last psp_term, nested and racing first demands.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../watchdog.h"
#include "psp.h"

namespace {

void *demand(const std::string &name, uint64_t size, PSP_GLOBAL_INIT init = nullptr,
             PSP_GLOBAL_FINI fini = nullptr, PSP_STATUS want = PSP_OKAY) {
  void *v = nullptr;
  EXPECT_EQ(psp_globalGet(name.c_str(), size, init, fini, &v), want) << name;
  return v;
}

uint32_t failingInit(void *) { return 1; }
int g_initRuns;
uint32_t countingInit(void *value) {
  *static_cast<int *>(value) = 42 + g_initRuns++;
  return 0;
}
std::string g_finalised;
void recordFinaliser(void *value) { g_finalised += static_cast<const char *>(value); }

TEST(Globals, BlocksRefusalsInitialisersAndFinaliserOrder) {
  g_finalised.clear();
  ASSERT_EQ(psp_init(), PSP_OKAY);
  ASSERT_EQ(psp_init(), PSP_OKAY);
  void *first = demand("a", 8);
  EXPECT_EQ(0, std::memcmp(first, "\0\0\0\0\0\0\0\0", 8));
  void *out = &out;
  EXPECT_EQ(psp_globalGet(nullptr, 8, nullptr, nullptr, &out), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_globalGet("x", 0, nullptr, nullptr, &out), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_globalGet("x", 8, nullptr, nullptr, nullptr), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(out, &out);
  // An oversize request is refused without the default tag's jump.
  jmp_buf jump;
  psp_resetTag(&jump, PSP_TAG_DEFAULT);
  if (setjmp(jump) != 0)
    FAIL() << "an oversize request jumped";
  for (uint64_t size : {0xFFFFFFFEull, 0xFFFFFFFFull, 1ull << 40})
    demand("oversize", size, nullptr, nullptr, PSP_ERR_NOMEMORY);
  EXPECT_EQ(demand("a", 0xFFFFFFFEull), first) << "an existing name ignores the size";
  EXPECT_NE(demand("oversize", 4), nullptr) << "no entry left";
  psp_resetTag(nullptr, PSP_TAG_DEFAULT);
  // A failing initialiser removes the entry; a retry runs the new one, once.
  EXPECT_EQ(demand("flaky", 4, failingInit, nullptr, PSP_ERR_NOMEMORY), nullptr);
  g_initRuns = 0;
  demand("flaky", 4, countingInit);
  EXPECT_EQ(*static_cast<int *>(demand("flaky", 4, countingInit)), 42);
  // Finalisers run at the last term, in descending unsigned byte order: 0xC3
  // sorts after every ASCII letter.
  for (const char *name : {"B", "\xC3", "a2", "A"})
    static_cast<char *>(demand(name, 2, nullptr, recordFinaliser))[0] = name[0];
  psp_term();
  EXPECT_EQ(g_finalised, "");
  psp_term();
  EXPECT_EQ(g_finalised, "\xC3"
                         "aBA");
  // A fresh start has a fresh, empty table.
  ASSERT_EQ(psp_init(), PSP_OKAY);
  EXPECT_EQ(static_cast<char *>(demand("a2", 2))[0], 0);
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
    const std::string name = "race" + std::to_string(round);
    std::vector<void *> got(6);
    std::vector<std::thread> threads;
    for (void *&v : got)
      threads.emplace_back([&] { v = demand(name, 32, slowInit); });
    for (auto &t : threads)
      t.join();
    EXPECT_EQ(g_raceInits.load(), 1);
    EXPECT_EQ(std::count(got.begin(), got.end(), got[0]), 6);
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
  for (const char *name : kNested)
    blocks.push_back(std::strcpy(
        static_cast<char *>(demand(std::string(prefix) + name, 24, nullptr, countFinaliser)),
        name));
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
  demand("~late", 8, nullptr, countFinaliser);
}

TEST(GlobalsReentry, NestedDemandsFromInitialisersAndFinalisers) {
  psp_test::ChildResult result = psp_test::runInChild(60, [] {
    g_finalisedBlocks.clear();
    EXPECT_EQ(psp_init(), PSP_OKAY);
    void *outer = demand("m", 32, nestingInit, countFinaliser);
    EXPECT_STREQ(outer != nullptr ? static_cast<char *>(outer) : "", "outer");
    EXPECT_EQ(demand("m", 32), outer);
    std::vector<void *> expected = demandNested("in-"); // found, not made again
    demand("f", 8, nestingThenFailing, countFinaliser, PSP_ERR_NOMEMORY);
    for (void *v : demandNested("bad-"))
      expected.push_back(v); // the failure kept the nested entries
    expected.push_back(outer);
    expected.push_back(demand("n", 8, nullptr, creatingFinaliser));
    for (size_t i = 0; i < std::size(kNested); ++i)
      EXPECT_STREQ(static_cast<char *>(expected[i]), kNested[i]);
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
