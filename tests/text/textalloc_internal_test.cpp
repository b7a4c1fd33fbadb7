// Every allocation site of conversions, builders, tokenizer and messages made
// to fail in turn, with and without a jump: clean failure, nothing kept.
#include <gtest/gtest.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>

#include "bytes_in_use.h"
#include "internal.h"
#include "../fault_walk.h"

namespace {

using psp::testing::g_failAllocation;

jmp_buf g_jump;

// op(tag) runs the operations, checks and frees each result, and returns
// false at the first that fails. leavesBlockOnJump: a jump out of a resize
// abandons the old block in the tag (it is the tag's until reset).
template <class Op> void failEachSite(Op op, bool leavesBlockOnJump = false) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  for (bool withJump : {false, true}) {
    SCOPED_TRACE(withJump ? "with jump" : "without jump");
    PSP_MEMTAG tag =
        psp_createTagEx(withJump ? &g_jump : nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
    bool jumped = false;
    psp::testing::walk(
        g_failAllocation,
        [&] {
          volatile bool ok = false;
          jumped = psp::testing::leavesByJump(g_jump, [&] { ok = op(tag); });
          EXPECT_EQ(ok, !g_failAllocation.reached());
          EXPECT_EQ(jumped, g_failAllocation.reached() && withJump);
        },
        [&] {
          EXPECT_TRUE((jumped && leavesBlockOnJump) || bytesInUse(tag) == 0) << bytesInUse(tag);
          psp_freeTagMem(tag, 0, "test", __LINE__);
        });
    psp_freeTagMem(tag, 1, "test", __LINE__);
  }
  psp_term();
}

// Each result is checked with its exact block size and freed at once; a bad
// argument vector gives back all it made.
TEST(TextAllocInternal, ConversionsAndMessages) {
  failEachSite([](PSP_MEMTAG tag) {
    PSP_WCHAR a[] = u"one", b[] = u"zw\xF6lf", bad[] = u"b\xD800";
    PSP_WCHAR *argv[] = {a, nullptr, b, a}, *badArgv[] = {a, b, bad, a};
    char **out = reinterpret_cast<char **>(1);
    bool ok = psp_convArgvToUTF8(4, badArgv, &out, tag) == PSP_ERR_BADCHAR;
    EXPECT_EQ(out, reinterpret_cast<char **>(1));
    EXPECT_EQ(psp_convArgvToUTF8(0, argv, &out, tag), PSP_ERR_SYSTEM);
    EXPECT_EQ(psp_convToUTF8(u"x\xDC00", PSP_CONV_STRICT, tag), nullptr);
    auto check = [&](void *block, const void *want, uint64_t size, uint64_t blockSize) {
      if (block != nullptr) {
        EXPECT_EQ(std::memcmp(block, want, size), 0);
        EXPECT_EQ(bytesInUse(tag), blockSize);
      }
      ok = ok && block != nullptr;
      psp_freeMem(block, tag, "test", __LINE__);
    };
    check(psp_convToUTF8(u"a\x20AC\xD83D\xDE00", PSP_CONV_STRICT, tag),
          "a\xE2\x82\xAC\xF0\x9F\x98\x80", 9, 9);
    check(psp_convToUTF8_len(u"a\0bc", 3, PSP_CONV_STRICT, tag), "a\0b", 4, 4);
    PSP_WCHAR *w = nullptr;
    psp_convToWchar_rc("h\xC3\xA9\xF0\x9F\x98\x80", PSP_CONV_STRICT, &w, tag);
    check(w, u"h\xE9\xD83D\xDE00", 10, 10);
    const char *msg = std::strerror(EACCES);
    check(psp_strerr_alloc(EACCES, tag), msg, std::strlen(msg) + 1, 256);
    PSP_STATUS st = psp_convArgvToUTF8(4, argv, &out, tag);
    EXPECT_TRUE(st == PSP_OKAY || st == PSP_ERR_SYSTEM || st == PSP_ERR_NOMEMORY) << st;
    if (st != PSP_OKAY)
      return false;
    EXPECT_EQ(out[1], nullptr);
    EXPECT_STREQ(out[2], "zw\xC3\xB6lf");
    EXPECT_STREQ(out[3], "one");
    for (int i : {3, 2, 0})
      psp_freeMem(out[i], tag, "test", __LINE__);
    psp_freeMem(out, tag, "test", __LINE__);
    return ok;
  });
}

// The tokenizer and the builders resize; a failed resize leaves the old block.
TEST(TextAllocInternal, TokenizerAndBuilders) {
  failEachSite(
      [](PSP_MEMTAG tag) {
        char text[] = "a b c d e f g", **tokens = nullptr;
        uint32_t count = 0;
        bool ok = psp_tokenize(text, " ", &tokens, &count, 0, tag) == PSP_OKAY;
        EXPECT_EQ(count, ok ? 7u : 0u);
        psp_freeMem(tokens, tag, "test", __LINE__);
        char *s = psp_makeStrVA("test", __LINE__, tag, "%s", "abc");
        char *t = s ? psp_appendStrVA("test", __LINE__, tag, s, "%d", 12345) : nullptr;
        EXPECT_STREQ(t ? t : s ? s : "abc", t ? "abc12345" : "abc"); // old kept on failure
        psp_freeMem(t ? t : s, tag, "test", __LINE__);
        char *made = psp_appendStrVA("test", __LINE__, tag, nullptr, "%s", "new");
        psp_freeMem(made, tag, "test", __LINE__);
        return ok && t && made;
      },
      true);
}

} // namespace
