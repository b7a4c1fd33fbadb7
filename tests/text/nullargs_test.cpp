// NULL out-pointers, vectors and texts: a status, no crash, nothing allocated.
#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

#include "../watchdog.h"
#include "psp.h"

namespace {

int countUnit(void *count, int) {
  ++*static_cast<int *>(count);
  return 0;
}

TEST(NullArguments, RefusedWithAStatusAndNothingAllocated) {
  psp_test::ChildResult result = psp_test::runInChild(60, [] {
    EXPECT_EQ(psp_init(), PSP_OKAY);
    PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
    PSP_WCHAR arg[] = u"x";
    PSP_WCHAR *wargv[] = {arg, arg};
    char text[] = "a b c";
    char **tokens = nullptr;
    char **argv = nullptr;
    const std::vector<std::pair<const char *, std::function<PSP_STATUS()>>> calls = {
        {"convToUTF8_rc", [&] { return psp_convToUTF8_rc(u"abc", 0, nullptr, tag); }},
        {"convToWchar_rc", [&] { return psp_convToWchar_rc("abc", 0, nullptr, tag); }},
        {"makeStrVA_rc", [&] { return psp_makeStrVA_rc("t", 1, nullptr, tag, "%d", 5); }},
        {"appendStrVA_rc",
         [&] { return psp_appendStrVA_rc("t", 1, nullptr, tag, nullptr, "%d", 5); }},
        {"makeWStrVA_rc", [&] { return psp_makeWStrVA_rc("t", 1, nullptr, tag, u"%d", 5); }},
        {"appendWStrVA_rc",
         [&] { return psp_appendWStrVA_rc("t", 1, nullptr, tag, nullptr, u"%d", 5); }},
        {"poolCreateEx own tag",
         [&] { return psp_poolCreateEx(nullptr, 0, 1, nullptr, nullptr, nullptr, nullptr); }},
        {"poolCreateEx",
         [&] { return psp_poolCreateEx(tag, 0, 0, nullptr, nullptr, nullptr, nullptr); }},
        {"convArgvToUTF8 out", [&] { return psp_convArgvToUTF8(2, wargv, nullptr, tag); }},
        {"convArgvToUTF8 argv", [&] { return psp_convArgvToUTF8(2, nullptr, &argv, tag); }},
        {"tokenize text", [&] { return psp_tokenize(nullptr, " ", &tokens, nullptr, 0, tag); }},
        {"tokenize tokens", [&] { return psp_tokenize(text, " ", nullptr, nullptr, 0, tag); }},
    };
    uint64_t usageBefore = 0, usageAfter = 0;
    psp_getMemUsage(&usageBefore, nullptr);
    for (const auto &[name, call] : calls) {
      EXPECT_EQ(call(), PSP_ERR_INVALIDPARAM) << name;
      PSP_MEMINFO info{};
      psp_getTagMemInfo(tag, &info);
      EXPECT_EQ(info.counters[0], 0u) << name << " allocated in the caller's tag";
    }
    psp_getMemUsage(&usageAfter, nullptr);
    EXPECT_EQ(usageAfter, usageBefore);
    EXPECT_EQ(tokens, nullptr);
    EXPECT_EQ(argv, nullptr);

    PSP_POOL pool = nullptr;
    EXPECT_EQ(psp_poolCreateEx(tag, 0, 1, nullptr, nullptr, nullptr, &pool), PSP_OKAY);
    psp_poolPut(pool, nullptr);
    EXPECT_NE(psp_poolGetMem(pool, 8, 3, nullptr), nullptr) << "the pool still works";
    psp_poolDestroy(pool);
    int units = 0;
    EXPECT_EQ(psp_outputString(countUnit, &units, nullptr), 0);
    EXPECT_EQ(units, 0);
    psp_freeTagMem(tag, 1, "t", 2);
    psp_term();
    return true;
  });
  EXPECT_TRUE(result.ok()) << psp_test::describe(result);
}

} // namespace
