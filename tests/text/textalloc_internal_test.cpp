// Every allocation site of the allocating conversions and of the tokenizer and
// error-message helpers, made to fail one after the other, with and without a
// jump buffer on the tag: the call fails cleanly or jumps, gives back what it
// had made, and the tag keeps working.
#include <gtest/gtest.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <string>

#include "internal.h"
#include "testing.h"

namespace {

using psp::testing::g_failAllocation;

uint64_t bytesInUse(PSP_MEMTAG tag) {
  PSP_MEMINFO info{};
  EXPECT_EQ(psp_getTagMemInfo(tag, &info), PSP_OKAY);
  return info.counters[0];
}

jmp_buf g_jump;

// op(tag) runs the operation, checks and frees its result, and returns
// whether it succeeded. leavesBlockOnJump: a jump out of a resize abandons
// the old block in the tag (it is the tag's until reset).
template <class Op> void failEachSite(Op op, bool leavesBlockOnJump = false) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  for (bool withJump : {false, true}) {
    SCOPED_TRACE(withJump ? "with jump" : "without jump");
    PSP_MEMTAG tag =
        psp_createTagEx(withJump ? &g_jump : nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
    ASSERT_NE(tag, nullptr);
    for (uint64_t n = 1;; ++n) {
      volatile bool ok = false;
      volatile bool jumped = false;
      g_failAllocation.arm(n);
      if (setjmp(g_jump) == 0)
        ok = op(tag);
      else
        jumped = true;
      bool reached = g_failAllocation.reached();
      g_failAllocation.disarm();
      if (!reached) {
        EXPECT_TRUE(ok) << "site " << n;
        EXPECT_EQ(bytesInUse(tag), 0u);
        break;
      }
      EXPECT_FALSE(ok) << "site " << n;
      EXPECT_EQ(jumped, withJump) << "site " << n;
      if (!(jumped && leavesBlockOnJump)) {
        EXPECT_EQ(bytesInUse(tag), 0u) << "site " << n;
      }
      psp_freeTagMem(tag, 0, "test", __LINE__);
      ASSERT_LT(n, 50u);
    }
    psp_freeTagMem(tag, 1, "test", __LINE__);
  }
  psp_term();
}

TEST(TextAllocInternal, Conversions) {
  failEachSite([](PSP_MEMTAG tag) {
    char *s = psp_convToUTF8(u"gr\xFC\xDF", PSP_CONV_STRICT, tag);
    psp_freeMem(s, tag, "test", __LINE__);
    return s != nullptr;
  });
  failEachSite([](PSP_MEMTAG tag) {
    PSP_WCHAR *w = psp_convToWchar("gr\xC3\xBC", PSP_CONV_STRICT, tag);
    psp_freeMem(w, tag, "test", __LINE__);
    return w != nullptr;
  });
}

TEST(TextAllocInternal, ArgumentVector) {
  failEachSite([](PSP_MEMTAG tag) {
    PSP_WCHAR a[] = u"first", b[] = u"second";
    PSP_WCHAR *argv[] = {a, nullptr, b, a};
    char **out = nullptr;
    PSP_STATUS st = psp_convArgvToUTF8(4, argv, &out, tag);
    if (st != PSP_OKAY) {
      EXPECT_TRUE(st == PSP_ERR_SYSTEM || st == PSP_ERR_NOMEMORY) << st;
      return false;
    }
    EXPECT_STREQ(out[3], "first");
    for (int i : {3, 2, 0})
      psp_freeMem(out[i], tag, "test", __LINE__);
    psp_freeMem(out, tag, "test", __LINE__);
    return true;
  });
}

TEST(TextAllocInternal, TokenizerAndMessages) {
  auto tokenize = [](PSP_MEMTAG tag) {
    char text[] = "a b c d e f g";
    char **tokens = nullptr;
    uint32_t count = 0;
    if (psp_tokenize(text, " ", &tokens, &count, 0, tag) != PSP_OKAY)
      return tokens == nullptr && false;
    EXPECT_EQ(count, 7u);
    psp_freeMem(tokens, tag, "test", __LINE__);
    return true;
  };
  failEachSite(tokenize, true);
  failEachSite([](PSP_MEMTAG tag) {
    char *msg = psp_strerr_alloc(EACCES, tag);
    psp_freeMem(msg, tag, "test", __LINE__);
    return msg != nullptr;
  });
}

} // namespace
