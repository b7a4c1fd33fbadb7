// The pattern matcher against a plain transcription of its recursive rule,
// its table of tricky cases, the pathological pattern, and every allocation
// site of the path functions made to fail, with and without a tag jump.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "../fault_walk.h"
#include "files/pathmatch.h"
#include "internal.h"
#include "../watchdog.h"

namespace {

using psp::paths::compilePattern;
using psp::paths::matchName;
using psp::paths::upperCase;

// The rule as written, over code points, exponential in the worst case.
bool reference(const std::u32string &n, size_t i, const std::u32string &p, size_t j) {
  auto same = [](char32_t a, char32_t b) { return upperCase(a) == upperCase(b); };
  if (j == p.size())
    return i == n.size();
  if (p[j] != U'*') {
    if (i == n.size())
      return false;
    char32_t c = n[i];
    bool ok = p[j] == U'?' ||
              (p[j] == U'#' ? (c >= U'0' && c <= U'9') || (c >= U'A' && c <= U'F') : same(c, p[j]));
    return ok && reference(n, i + 1, p, j + 1);
  }
  if (j + 1 == p.size())
    return true;
  for (; i < n.size(); ++i)
    if (same(n[i], p[j + 1]) && reference(n, i + 1, p, j + 2))
      return true;
  return false;
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

TEST(PathMatchInternal, Table) {
  const struct {
    const char *name, *pattern;
    bool result;
  } cases[] = {
      {"3x.LOG", "#?.log", true},
      {"Ax.log", "#?.log", true},
      {"ax.log", "#?.log", false},
      {"q?", "*?", true},
      {"qx", "*?", false},
      {"ab", "**b", false},
      {"x*b", "**b", true},
      {"ab#", "*#", true},
      {"ab1", "*#", false},
      {"", "*", true},
      {"", "?", false},
      {"abc", "a*", true},
      {"\xC3\xA9T\xC3\xA9", "\xC3\x89t\xC3\x89", true},
      {"\xC3\xBF", "\xC5\xB8", true},
      {"\xC3\xB7", "\xC3\x97", false},
      {"\xCE\xB1\xCF\x82", "\xCE\x91\xCE\xA3", true},
      {"\xD0\xB6.txt", "\xD0\x96*", true},
      {"\xF0\x9F\x98\x80", "?", true},
      {"\xFF", "?", true},
      {"\xFF", "\xC3\xBF", false},
      {"e9", "##", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(matches(c.name, c.pattern), c.result) << c.name << " ~ " << c.pattern;
  uint32_t t[4];
  psp::paths::Pattern bad{t, 0, 0};
  EXPECT_FALSE(compilePattern("\xC3", 1, bad));
  EXPECT_EQ(upperCase(0xB5), 0x39Cu);
  EXPECT_EQ(upperCase(0x17E), 0x17Du);
  EXPECT_EQ(upperCase(0x13A), 0x139u);
}

TEST(PathMatchInternal, AgreesWithTheRecursiveRule) {
  std::mt19937 rng(7);
  const char32_t nameChars[] = {U'a', U'A',      U'b',      U'1',      U'F',      U'?', U'*',
                                U'#', U'\u00E9', U'\u00C9', U'\u0131', U'\u017F', U'S'};
  const char32_t patternChars[] = {U'a', U'b', U'1', U'f', U'?', U'*', U'#', U'\u00E9', U'i', U's'};
  for (int round = 0; round < 40000; ++round) {
    std::u32string n, p;
    for (size_t k = rng() % 9; k--;)
      n += nameChars[rng() % std::size(nameChars)];
    for (size_t k = rng() % 7; k--;)
      p += patternChars[rng() % std::size(patternChars)];
    ASSERT_EQ(matches(utf8(n), utf8(p)), reference(n, 0, p, 0)) << utf8(n) << " ~ " << utf8(p);
  }
}

TEST(PathMatchInternal, PathologicalPatternIsQuick) {
  psp_test::Watchdog guard(10, "*a*a...*b against sixty a's");
  std::string name(60, 'a'), pattern;
  for (int i = 0; i < 10; ++i)
    pattern += "*a";
  for (int i = 0; i < 1000; ++i) {
    EXPECT_FALSE(matches(name, pattern + "*b"));
    EXPECT_TRUE(matches(name, pattern));
  }
}

jmp_buf g_jump;
std::u16string g_root16;

uint64_t inUse(PSP_MEMTAG tag) {
  PSP_MEMINFO info{};
  psp_getTagMemInfo(tag, &info);
  return info.counters[0];
}

// Each operation checks and frees what it made; a jump or a clean failure
// must leave the caller's, the thread's and the default tag as they were and
// no directory open. The working directory is too deep for a stack buffer.
TEST(PathAllocInternal, EverySiteFailsCleanly) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  char deep[] = "/tmp/psp_paths_fault_XXXXXX";
  ASSERT_NE(mkdtemp(deep), nullptr);
  auto old = std::filesystem::current_path();
  std::string cwd = deep;
  g_root16.assign(cwd.begin(), cwd.end());
  for (char c : std::string("abcdef"))
    cwd += "/" + std::string(200, c);
  std::filesystem::create_directories(cwd);
  std::filesystem::current_path(cwd);
  psp_freeMem(psp_getMem(1, PSP_TAG_THREAD, PSP_MEM_NORMAL, nullptr, "t", 0), PSP_TAG_THREAD, "t",
              0);
  int index = 0;
  for (const auto &op : std::vector<bool (*)(PSP_MEMTAG, const char *)>{
           [](PSP_MEMTAG tag, const char *) {
             char *s = psp_currdirEx(tag);
             return s && (psp_freeMem(s, tag, "t", 0), true);
           },
           [](PSP_MEMTAG tag, const char *) {
             char *s = psp_fullpathEx("rel/x/", tag);
             return s && (psp_freeMem(s, tag, "t", 0), true);
           },
           [](PSP_MEMTAG tag, const char *) {
             char *d = nullptr, *f = nullptr;
             if (psp_pathSplitEx("a/b", &d, &f, tag) != PSP_OKAY) {
               EXPECT_TRUE(d == nullptr && f == nullptr);
               return false;
             }
             psp_freeMem(d, tag, "t", 0);
             psp_freeMem(f, tag, "t", 0);
             return true;
           },
           [](PSP_MEMTAG, const char *root) {
             std::string sub = std::string(root) + "/n/m";
             PSP_STATUS st = psp_dirCreateAllW(std::u16string(sub.begin(), sub.end()).c_str());
             psp_dirRemove(sub.c_str());
             psp_dirRemove((std::string(root) + "/n").c_str());
             return st == PSP_OKAY;
           },
           [](PSP_MEMTAG, const char *) {
             PSP_DIR it = psp_pathOpenW(g_root16.c_str(), u"*"); // may jump: no local strings
             bool ok = it && psp_pathNextW(it, nullptr);
             psp_pathClose(it);
             return ok;
           }}) {
    ++index;
    for (bool withJump : {false, true}) {
      jmp_buf *jump = withJump ? &g_jump : nullptr;
      PSP_MEMTAG tag = psp_createTagEx(jump, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr);
      psp_resetTag(jump, PSP_TAG_THREAD);
      psp_resetTag(jump, PSP_TAG_DEFAULT);
      uint64_t thread = inUse(PSP_TAG_THREAD), shared = inUse(PSP_TAG_DEFAULT);
      psp::testing::walk(
          psp::testing::g_failAllocation,
          [&] {
            volatile bool ok = false;
            bool jumped = psp::testing::leavesByJump(g_jump, [&] { ok = op(tag, deep); });
            bool failed = psp::testing::g_failAllocation.reached();
            EXPECT_TRUE(failed ? !ok : ok && !jumped)
                << "op " << index << " site " << psp::testing::g_failAllocation.seen();
            EXPECT_TRUE(!jumped || withJump);
          },
          [&] {
            EXPECT_EQ(inUse(tag), 0u) << "op " << index;
            EXPECT_EQ(inUse(PSP_TAG_THREAD), thread) << "op " << index;
            EXPECT_EQ(inUse(PSP_TAG_DEFAULT), shared) << "op " << index;
          });
      psp_resetTag(nullptr, PSP_TAG_THREAD);
      psp_resetTag(nullptr, PSP_TAG_DEFAULT);
      psp_freeTagMem(tag, 1, "t", 0);
    }
  }
  std::filesystem::current_path(old);
  std::filesystem::remove_all(deep);
  psp_term();
}

} // namespace
