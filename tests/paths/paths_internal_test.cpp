// The pattern matcher against its recursive rule, tricky and pathological cases; every
// allocation site of the path functions failing.
#include "../fault_walk.h"
#include "../scratch_dir.h"
#include "files/pathmatch.h"

#include <random>
#include <vector>

using psp::paths::upperCase;
using namespace psp::testing;

namespace {

// The rule as written, over code points; exponential in the worst case.
bool reference(const std::u32string &n, size_t i, const std::u32string &p, size_t j) {
  auto same = [](char32_t a, char32_t b) { return upperCase(a) == upperCase(b); };
  if (j == p.size())
    return i == n.size();
  if (p[j] == U'*') {
    for (; j + 1 < p.size() && i < n.size(); ++i)
      if (same(n[i], p[j + 1]) && reference(n, i + 1, p, j + 2))
        return true;
    return j + 1 == p.size();
  }
  char32_t c = i < n.size() ? n[i] : 0;
  bool ok = p[j] == U'#' ? (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'F')
                         : c != 0 && (p[j] == U'?' || same(c, p[j]));
  return ok && reference(n, i + 1, p, j + 1);
}

std::string utf8(const std::u32string &s) {
  std::string out;
  for (char32_t c : s) {
    char buf[4];
    out.append(buf, static_cast<size_t>(psp_utf8_codes(c, buf)));
  }
  return out;
}

bool matches(const std::string &name, const std::string &pattern) {
  std::vector<uint32_t> tokens(pattern.size() + 1);
  psp::paths::Pattern compiled{tokens.data(), 0, 0};
  EXPECT_TRUE(compilePattern(pattern.data(), pattern.size(), compiled)) << pattern;
  return matchName(name.data(), name.size(), compiled);
}

TEST(PathMatchInternal, TableRecursiveRuleAndPathologicalCase) {
  // Bytes and letters beyond the random rounds' alphabet, which covers '*',
  // '?', '#' and case.
  // clang-format off
  const std::tuple<const char *, const char *, bool> cases[] = {{"\xFF", "?", true},
      {"\xC3\xBF", "\xC5\xB8", true}, {"\xC3\xB7", "\xC3\x97", false},
      {"\xCE\xB1\xCF\x82", "\xCE\x91\xCE\xA3", true}, {"\xD0\xB6.txt", "\xD0\x96*", true},
      {"\xF0\x9F\x98\x80", "?", true}};
  // clang-format on
  for (const auto &[name, pattern, result] : cases)
    EXPECT_EQ(matches(name, pattern), result) << name << " ~ " << pattern;
  uint32_t t[4];
  psp::paths::Pattern bad{t, 0, 0};
  EXPECT_FALSE(compilePattern("\xC3", 1, bad)); // a cut UTF-8 sequence

  std::mt19937 rng(7);
  const std::u32string nameChars = U"aAb1F?*#\u00E9\u00C9\u0131\u017FS",
                       patternChars = U"ab1f?*#\u00E9is";
  for (int round = 0; round < 40000; ++round) {
    std::u32string n, p;
    for (size_t k = rng() % 9; k--;)
      n += nameChars[rng() % nameChars.size()];
    for (size_t k = rng() % 7; k--;)
      p += patternChars[rng() % patternChars.size()];
    ASSERT_EQ(matches(utf8(n), utf8(p)), reference(n, 0, p, 0)) << utf8(n) << " ~ " << utf8(p);
  }
  psp_test::Watchdog guard(10); // the rule itself would take ages: *a*a...*b against sixty a's
  std::string pattern;
  for (int i = 0; i < 10; ++i)
    pattern += "*a";
  EXPECT_FALSE(matches(std::string(60, 'a'), pattern + "*b"));
  EXPECT_TRUE(matches(std::string(60, 'A'), pattern));
}

jmp_buf g_jump;
std::u16string g_root, g_made; // built before the walk: a jump skips destructors

uint64_t inUse(PSP_MEMTAG tag) {
  PSP_MEMINFO info{};
  psp_getTagMemInfo(tag, &info);
  return info.counters[0];
}

// Every function that allocates; each result is freed before the next call,
// so a jump abandons nothing of the test's.
bool everyCall(PSP_MEMTAG tag) {
  char *d = nullptr, *f = psp_fullpathEx("rel/x/", tag);
  bool ok = f != nullptr;
  psp_freeMem(f, tag, "t", 0);
  ok = (f = psp_currdirEx(tag)) != nullptr && ok;
  psp_freeMem(f, tag, "t", 0);
  ok = psp_pathSplitEx("a/b", &d, &f, tag) == PSP_OKAY && ok;
  psp_freeMem(d, tag, "t", 0);
  psp_freeMem(f, tag, "t", 0);
  // An earlier walk's failed removal may have left it.
  const PSP_STATUS made = psp_dirCreateAllW((g_made + u"/m").c_str());
  ok = (made == PSP_OKAY || made == PSP_EXISTS) && ok;
  ok = psp_dirRemoveW((g_made + u"/m").c_str()) + psp_dirRemoveW(g_made.c_str()) == 0 && ok;
  PSP_DIR it = psp_pathOpenW(g_root.c_str(), u"*");
  ok = psp_pathNextW(it, nullptr) != nullptr && ok;
  psp_pathClose(it);
  return ok;
}

} // namespace

using PathAllocInternal = ScratchDir;

// A failure or a jump must leave the caller's, the thread's and the default tag as they were. On
// POSIX the working directory is too deep for a stack buffer; Windows keeps it below MAX_PATH.
TEST_F(PathAllocInternal, EverySiteFailsCleanly) {
  auto old = std::filesystem::current_path();
  std::string cwd = dir_;
  if (!psp_test::kWindows)
    for (char c : std::string("abcde"))
      std::filesystem::create_directory(cwd += "/" + std::string(250, c));
  std::filesystem::current_path(cwd);
  char *here = psp_currdirEx(PSP_TAG_THREAD);
  EXPECT_EQ(cwd, here);
  psp_freeMem(here, PSP_TAG_THREAD, "t", 0);
  g_root.assign(dir_.begin(), dir_.end());
  g_made = g_root + u"/n";
  for (jmp_buf *jump : {static_cast<jmp_buf *>(nullptr), &g_jump}) {
    PSP_MEMTAG tag = psp_createTagEx(jump, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
    ASSERT_TRUE(everyCall(tag)); // makes the thread's tag
    psp_resetTag(jump, PSP_TAG_THREAD);
    psp_resetTag(jump, PSP_TAG_DEFAULT);
    uint64_t before = inUse(PSP_TAG_THREAD) + inUse(PSP_TAG_DEFAULT);
    int passedOver = 0;
    walk(
        g_failAllocation,
        [&] {
          volatile bool ok = false;
          bool jumped = leavesByJump(g_jump, [&] { ok = everyCall(tag); });
          bool failed = g_failAllocation.reached();
          if (failed && ok && !jumped)
            ++passedOver;
          else
            EXPECT_TRUE(failed ? !ok : ok && !jumped);
          EXPECT_TRUE(!jumped || jump);
        },
        [&] { EXPECT_EQ(inUse(tag) + inUse(PSP_TAG_THREAD) + inUse(PSP_TAG_DEFAULT), before); });
    // Windows converts the whole path for create-all's first try, a failure the walk over its
    // prefixes passes over like any other.
    EXPECT_EQ(passedOver, psp_test::kWindows ? 1 : 0);
    psp_resetTag(nullptr, PSP_TAG_THREAD);
    psp_resetTag(nullptr, PSP_TAG_DEFAULT);
    psp_freeTagMem(tag, 1, "t", 0);
  }
  std::filesystem::current_path(old);
}
