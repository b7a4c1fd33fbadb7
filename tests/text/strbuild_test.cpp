// String builders: exact blocks, appending, NULL and self old strings, failing
// formats, and the wide engine's locale record not accumulating (without the
// library: unicode_test).
#include <gtest/gtest.h>

#include <string>

#include "bytes_in_use.h"
#include "psp.h"

namespace {

class Builders : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    tag = psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
  }
  void TearDown() override {
    psp_freeTagMem(tag, 1, "test", __LINE__);
    psp_term();
  }
  PSP_MEMTAG tag = nullptr;
};

TEST_F(Builders, ExactBlocksAndAppending) {
  EXPECT_STREQ(psp_makeStrVA("test", __LINE__, tag, "%s%c%s", "dir", '\\', "name"), "dir\\name");
  EXPECT_EQ(std::u16string(psp_makeWStrVA("test", __LINE__, tag, u"%d", 7)), u"7");
  EXPECT_EQ(bytesInUse(tag), 9u + 4u);
  psp_freeTagMem(tag, 0, "test", __LINE__);

  char *s = psp_appendStrVA("test", __LINE__, tag, nullptr, "x="); // NULL old: making
  s = psp_appendStrVA("test", __LINE__, tag, s, "%d%s", 42, "");
  EXPECT_EQ(psp_appendStrVA_rc("test", __LINE__, &s, tag, s, "%s", "!"), PSP_OKAY);
  EXPECT_STREQ(s, "x=42!");
  PSP_WCHAR *w = psp_appendWStrVA("test", __LINE__, tag, nullptr, u"%s", u"ab");
  ASSERT_EQ(psp_appendWStrVA_rc("test", __LINE__, &w, tag, w, u"%c%d", u'c', 1), PSP_OKAY);
  EXPECT_EQ(std::u16string(w), u"abc1");
  EXPECT_EQ(bytesInUse(tag), 6u + 10u);
}

TEST_F(Builders, FailingFormatsAllocateNothing) {
  char *keep = reinterpret_cast<char *>(0x1);
  PSP_WCHAR *wkeep = nullptr;
  EXPECT_EQ(psp_makeStrVA("test", __LINE__, tag, "%3000000000d", 1), nullptr);
  EXPECT_EQ(psp_makeStrVA_rc("test", __LINE__, &keep, tag, "%f", 1e20), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_appendStrVA_rc("test", __LINE__, &keep, tag, nullptr, "%2147483646d", 1),
            PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_makeWStrVA_rc("test", __LINE__, &wkeep, tag, u"%.2147483648d", 1),
            PSP_ERR_NOMEMORY);
  // 0x7FFFFFFD units need 0xFFFFFFFC bytes: refused before any allocation.
  EXPECT_EQ(psp_makeWStrVA("test", __LINE__, tag, u"%2147483646d", 1), nullptr);
  EXPECT_EQ(keep, reinterpret_cast<char *>(0x1)); // untouched on failure
  EXPECT_EQ(wkeep, nullptr);
  EXPECT_EQ(bytesInUse(tag), 0u);
}

TEST_F(Builders, WideLocaleRecordDoesNotAccumulate) {
  PSP_WCHAR buf[64];
  psp_snwprintf(buf, 64, u"%.2f", 1.5); // the thread tag now exists
  uint64_t defaultBefore = bytesInUse(PSP_TAG_DEFAULT), threadBefore = bytesInUse(PSP_TAG_THREAD);
  for (int i = 0; i < 100; ++i)
    psp_snwprintf(buf, 64, u"%'d %.2f %e", 1234567, 1.5, 2.0);
  EXPECT_EQ(bytesInUse(PSP_TAG_DEFAULT), defaultBefore);
  EXPECT_EQ(bytesInUse(PSP_TAG_THREAD), threadBefore);
}

// The old string as an argument, or as the format itself, stays readable
// until the new text is written, whichever way the tag's resize moves it.
TEST(BuildersSelfAppend, OldStringAsArgumentOrFormat) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  for (uint32_t kind : {PSP_TAGKIND_BUCKET, PSP_TAGKIND_HEAP, PSP_TAGKIND_MALLOC}) {
    PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, kind, nullptr, nullptr);
    char *s = psp_makeStrVA("test", __LINE__, tag, "abcdefgh");
    std::string expected = "abcdefgh";
    for (int round = 0; round < 10; ++round) {
      if (round % 3 == 2) {
        s = psp_appendStrVA("test", __LINE__, tag, s, s); // the format is the old text
        expected += expected;
      } else {
        s = psp_appendStrVA("test", __LINE__, tag, s, "%s|%.3s", s, s + 1);
        expected += expected + "|" + expected.substr(1, 3);
      }
      ASSERT_NE(s, nullptr);
      ASSERT_EQ(std::string(s), expected) << "kind " << kind << " round " << round;
    }
    PSP_WCHAR *w = psp_makeWStrVA("test", __LINE__, tag, u"wxyz");
    std::u16string wide = u"wxyz";
    for (int round = 0; round < 8; ++round) {
      ASSERT_EQ(psp_appendWStrVA_rc("test", __LINE__, &w, tag, w, u"%s", w), PSP_OKAY);
      wide += wide;
      ASSERT_EQ(std::u16string(w), wide) << "kind " << kind;
    }
    psp_freeTagMem(tag, 1, "test", __LINE__);
  }
  psp_term();
}

} // namespace
