// String builders: exact block sizes, appending, NULL old strings, failing
// formats that allocate nothing, the not-initialised answers, and the jump
// of a tag whose allocation fails under the memory limit. Also that the wide
// engine's locale record does not accumulate in its tags.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstring>
#include <string>

#include "psp.h"

namespace {

class Builders : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    tag = psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
    ASSERT_NE(tag, nullptr);
  }
  void TearDown() override {
    psp_freeTagMem(tag, 1, "test", __LINE__);
    psp_term();
  }
  // Requested bytes in use in the tag (the first counter of a bucket tag).
  uint64_t inUse(PSP_MEMTAG t = nullptr) {
    PSP_MEMINFO info{};
    EXPECT_EQ(psp_getTagMemInfo(t ? t : tag, &info), PSP_OKAY);
    return info.counters[0];
  }
  PSP_MEMTAG tag = nullptr;
};

TEST_F(Builders, MakeSizesTheBlockExactly) {
  char *s = psp_makeStrVA("test", __LINE__, tag, "%s%c%s", "dir", '\\', "name");
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "dir\\name");
  EXPECT_EQ(inUse(), 9u);
  char *empty = psp_makeStrVA("test", __LINE__, tag, "");
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(inUse(), 10u);

  PSP_WCHAR *w = psp_makeWStrVA("test", __LINE__, tag, u"%d", 7);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(std::u16string(w), u"7");
  EXPECT_EQ(inUse(), 14u);
  psp_freeMem(s, tag, "test", __LINE__);
  psp_freeMem(empty, tag, "test", __LINE__);
  psp_freeMem(w, tag, "test", __LINE__);
  EXPECT_EQ(inUse(), 0u);
}

TEST_F(Builders, AppendGrowsInPlaceOfTheOld) {
  char *s = psp_appendStrVA("test", __LINE__, tag, nullptr, "x="); // NULL old: making
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(inUse(), 3u);
  s = psp_appendStrVA("test", __LINE__, tag, s, "%d", 42);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "x=42");
  EXPECT_EQ(inUse(), 5u);
  s = psp_appendStrVA("test", __LINE__, tag, s, "");
  EXPECT_STREQ(s, "x=42");
  EXPECT_EQ(inUse(), 5u);

  char *out = nullptr;
  EXPECT_EQ(psp_appendStrVA_rc("test", __LINE__, &out, tag, s, "%s", "!"), PSP_OKAY);
  EXPECT_STREQ(out, "x=42!");

  PSP_WCHAR *w = psp_appendWStrVA("test", __LINE__, tag, nullptr, u"%s", u"ab");
  PSP_WCHAR *wout = nullptr;
  ASSERT_EQ(psp_appendWStrVA_rc("test", __LINE__, &wout, tag, w, u"%c%d", u'c', 1), PSP_OKAY);
  EXPECT_EQ(std::u16string(wout), u"abc1");
  EXPECT_EQ(inUse(), 6u + 10u);
  PSP_WCHAR *made = nullptr;
  ASSERT_EQ(psp_makeWStrVA_rc("test", __LINE__, &made, PSP_TAG_THREAD, u"%.1f", 0.25), PSP_OKAY);
  EXPECT_EQ(std::u16string(made), u"0.3");
  psp_freeMem(made, PSP_TAG_THREAD, "test", __LINE__);
}

TEST_F(Builders, FailingFormatsAllocateNothing) {
  char *keep = reinterpret_cast<char *>(0x1);
  EXPECT_EQ(psp_makeStrVA("test", __LINE__, tag, "%3000000000d", 1), nullptr);
  EXPECT_EQ(psp_makeStrVA_rc("test", __LINE__, &keep, tag, "%f", 1e20), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_appendStrVA_rc("test", __LINE__, &keep, tag, nullptr, "%2147483646d", 1),
            PSP_ERR_NOMEMORY);
  EXPECT_EQ(keep, reinterpret_cast<char *>(0x1)); // untouched on failure
  PSP_WCHAR *wkeep = nullptr;
  EXPECT_EQ(psp_makeWStrVA_rc("test", __LINE__, &wkeep, tag, u"%.2147483648d", 1),
            PSP_ERR_NOMEMORY);
  // 0x7FFFFFFD units need 0xFFFFFFFC bytes: a wide block of that size is
  // refused before any allocation is tried.
  EXPECT_EQ(psp_makeWStrVA("test", __LINE__, tag, u"%2147483646d", 1), nullptr);
  EXPECT_EQ(wkeep, nullptr);
  EXPECT_EQ(inUse(), 0u);
}

TEST_F(Builders, JumpWhenTheTagCannotAllocate) {
  // A 4 MB process limit refuses a 5 MB string.
  ASSERT_EQ(psp_setMemLimit(nullptr, 0x400400), PSP_OKAY);
  static jmp_buf jump;
  PSP_MEMTAG jumping = psp_createTagEx(&jump, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
  ASSERT_NE(jumping, nullptr);
  static char *old;
  old = psp_makeStrVA("test", __LINE__, jumping, "abc");
  ASSERT_NE(old, nullptr);
  static int jumps; // static: survives the longjmp
  jumps = 0;
  if (setjmp(jump) == 0)
    psp_makeStrVA("test", __LINE__, jumping, "%5000000d", 1);
  else
    ++jumps;
  if (setjmp(jump) == 0)
    psp_appendStrVA("test", __LINE__, jumping, old, "%5000000d", 1);
  else
    ++jumps;
  EXPECT_EQ(jumps, 2);
  EXPECT_STREQ(old, "abc"); // a failed resize leaves the old string

  // Without a jump buffer the same failures are answers.
  char *out = nullptr;
  EXPECT_EQ(psp_makeStrVA("test", __LINE__, tag, "%5000000d", 1), nullptr);
  EXPECT_EQ(psp_makeStrVA_rc("test", __LINE__, &out, tag, "%5000000d", 1), PSP_ERR_NOMEMORY);
  EXPECT_EQ(out, nullptr);
  // ...and the library keeps working.
  char *s = psp_makeStrVA("test", __LINE__, jumping, "%d", 5);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "5");
  psp_freeTagMem(jumping, 1, "test", __LINE__);
  ASSERT_EQ(psp_setMemLimit(nullptr, 0), PSP_OKAY);
}

TEST_F(Builders, WideLocaleRecordDoesNotAccumulate) {
  PSP_WCHAR buf[64];
  psp_snwprintf(buf, 64, u"%.2f", 1.5); // the thread tag now exists
  uint64_t defaultBefore = inUse(PSP_TAG_DEFAULT), threadBefore = inUse(PSP_TAG_THREAD);
  for (int i = 0; i < 100; ++i)
    EXPECT_GT(psp_snwprintf(buf, 64, u"%'d %.2f %e", 1234567, 1.5, 2.0), 0);
  EXPECT_EQ(inUse(PSP_TAG_DEFAULT), defaultBefore);
  EXPECT_EQ(inUse(PSP_TAG_THREAD), threadBefore);
}

TEST(BuildersUninitialised, ReturnNothing) {
  char *out = nullptr;
  PSP_WCHAR *wout = nullptr;
  EXPECT_EQ(psp_makeStrVA("test", __LINE__, PSP_TAG_DEFAULT, "%d", 1), nullptr);
  EXPECT_EQ(psp_appendStrVA("test", __LINE__, PSP_TAG_THREAD, nullptr, "x"), nullptr);
  EXPECT_EQ(psp_makeStrVA_rc("test", __LINE__, &out, PSP_TAG_DEFAULT, "x"), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_appendWStrVA_rc("test", __LINE__, &wout, PSP_TAG_DEFAULT, nullptr, u"x"),
            PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_makeWStrVA("test", __LINE__, PSP_TAG_THREAD, u"x"), nullptr);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(wout, nullptr);
}

} // namespace
