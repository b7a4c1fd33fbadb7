// Paths and directories, each test in a scratch working directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "../watchdog.h"
#include "psp.h"

namespace fs = std::filesystem;

namespace {

std::string take(char *s, PSP_MEMTAG tag = PSP_TAG_THREAD) {
  std::string copy = s != nullptr ? s : "<null>";
  psp_freeMem(s, tag, "test", __LINE__);
  return copy;
}

void touch(const std::string &name) { std::ofstream(name) << "x"; }

// Every name an iterator hands out, with its directory flag.
std::map<std::string, uint32_t> list(PSP_DIR it) {
  std::map<std::string, uint32_t> seen;
  uint32_t isDir = 7;
  while (const char *name = psp_pathNext(it, &isDir))
    EXPECT_TRUE(seen.emplace(name, isDir).second) << "twice: " << name;
  psp_pathClose(it);
  return seen;
}

class Paths : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    char tmpl[] = "/tmp/psp_paths_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    fs::current_path(scratch_ = tmpl);
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(scratch_);
    psp_term();
  }
  fs::path old_ = fs::current_path();
  std::string scratch_;
};

TEST_F(Paths, CurrentFullAndSplitPaths) {
  EXPECT_EQ(take(psp_currdirEx(PSP_TAG_DEFAULT), PSP_TAG_DEFAULT), scratch_);
  // '$' stands for the working directory.
  const char *full[][2] = {
      {nullptr, "$"},     {".", "$"},         {"./", "$"},     {"sub/dir/", "$/sub/dir"},
      {"a\\b", "$/a\\b"}, {"D:/x", "$/D:/x"}, {"/x//", "/x/"}, {"/", "/"}};
  for (const auto &[path, expected] : full)
    EXPECT_EQ(take(psp_fullpathEx(path, PSP_TAG_THREAD)),
              expected[0] == '$' ? scratch_ + (expected + 1) : expected);
  EXPECT_EQ(psp_fullpathEx("x", nullptr), nullptr);
  fs::current_path("/"); // no doubled '/' at the root
  EXPECT_EQ(take(psp_fullpathEx("etc", PSP_TAG_THREAD)), "/etc");

  const char *split[][3] = {{"/data/x.db", "/data/", "x.db"}, {"dir/", "dir/", "<null>"},
                            {"name", "<null>", "name"},       {"a\\b/c", "a\\b/", "c"},
                            {"C:x", "<null>", "C:x"},         {"", "<null>", ""}};
  for (const auto &c : split) {
    char *dir = nullptr, *file = nullptr;
    ASSERT_EQ(psp_pathSplitEx(c[0], &dir, &file, PSP_TAG_THREAD), PSP_OKAY);
    EXPECT_EQ(take(dir) + "|" + take(file), std::string(c[1]) + "|" + c[2]) << c[0];
  }
  char *file = reinterpret_cast<char *>(1);
  EXPECT_EQ(psp_pathSplitEx(nullptr, nullptr, &file, PSP_TAG_THREAD), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(psp_pathStripDrive(full[3][0]), full[3][0]);
  // clang-format off
  const std::pair<const char *, PSP_STATUS> forms[] = {{"/data/", PSP_OKAY}, {"C:", PSP_NO},
      {"/data", PSP_NO}, {"a\\", PSP_NO}, {"", PSP_ERR_INVALIDPARAM}, {nullptr, PSP_ERR_INVALIDPARAM}};
  // clang-format on
  for (const auto &[path, expected] : forms)
    EXPECT_EQ(psp_pathIsDir(path), expected) << (path ? path : "NULL");
}

// Create, create-all (missing parents, runs of '/', a trailing '/', a file in
// the way) and remove, in order; names that are not UTF-8 create nothing.
TEST_F(Paths, CreateAndRemove) {
  touch("f");
  using Op = PSP_STATUS (*)(const char *);
  const Op mk = psp_dirCreate, all = psp_dirCreateAll, rm = psp_dirRemove;
  // clang-format off
  const std::tuple<Op, const char *, PSP_STATUS> steps[] = {
      {mk, "d", PSP_OKAY}, {mk, "d", PSP_EXISTS}, {mk, "f", PSP_EXISTS}, {mk, "", PSP_ERR_SYSTEM},
      {mk, nullptr, PSP_ERR_SYSTEM}, {mk, "d/\xC3\xA9", PSP_OKAY}, {mk, "b\xC3", PSP_ERR_NOMEMORY},
      {rm, "d", PSP_ERR_SYSTEM}, {rm, "d/\xC3\xA9/", PSP_OKAY}, {rm, "d", PSP_OKAY},
      {rm, "no/x", PSP_OKAY}, {rm, "f/x", PSP_OKAY}, {rm, "f", PSP_ERR_SYSTEM}, {rm, "", PSP_OKAY},
      {rm, "\xFF", PSP_ERR_NOMEMORY}, {all, "a//b///c", PSP_OKAY}, {all, "a/b/c", PSP_EXISTS},
      {all, "a/n/m/", PSP_EXISTS}, {all, "f/x/y", PSP_ERR_SYSTEM},
      {all, "u/v/\xFF", PSP_ERR_NOMEMORY}, {all, nullptr, PSP_ERR_NOMEMORY}, {all, "", PSP_ERR_SYSTEM}};
  // clang-format on
  for (const auto &[op, path, expected] : steps)
    EXPECT_EQ(op(path), expected) << "step at " << (path ? path : "NULL");
  EXPECT_EQ(psp_dirCreateW(u"bad\xD800") + psp_dirCreateAllW(u"w/\xDC00"),
            PSP_ERR_NOMEMORY + PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_dirCreateAllW(u"\u00FC/\u00DF") + psp_dirRemoveW(u"\u00FC/\u00DF"), PSP_OKAY);
  EXPECT_EQ(psp_dirCreateAll((scratch_ + "/abs/x").c_str()), PSP_OKAY);
  for (const char *made : {"a/b/c", "a/n/m", "\xC3\xBC", "abs/x"})
    EXPECT_TRUE(fs::is_directory(made)) << made;
  EXPECT_FALSE(fs::exists("u") || fs::exists("w") || fs::exists("\xC3\xBC/\xC3\x9F"));
}

TEST_F(Paths, IteratorOverManyEntries) {
  fs::create_directory("big");
  for (int i = 0; i < 3000; ++i)
    touch("big/e" + std::to_string(i) + (i % 3 ? ".txt" : i % 2 ? ".LOG" : ".log"));
  for (const char *name :
       {"\xC3\xA9t\xC3\xA9.log", "\xC3\x89T\xC3\x89.Log", "\xFF.log", "3x.LOG", "ax.log"})
    touch(std::string("big/") + name);
  fs::create_directory("big/sub.log");
  fs::create_directory_symlink("..", "big/link.log");

  auto logs = list(psp_pathOpen("big", "*.lOg"));
  EXPECT_EQ(logs.size(), 1000u + 7);
  EXPECT_EQ(logs["sub.log"], 16u);
  EXPECT_EQ(logs["link.log"], 0u) << "a link is not followed";
  EXPECT_EQ(logs["e0.log"] + logs["e3.LOG"] + logs["\xFF.log"], 0u);
  auto all = list(psp_pathOpen("big/", "*"));
  EXPECT_EQ(all.size(), 3000u + 7 + 2);
  EXPECT_EQ(all["."] + all[".."], 32u);
  EXPECT_EQ(list(psp_pathOpen("big", "#?.log")).size(), 1u);

  // Latin-1 letters match across case; the wide forms give the same names,
  // and a name that is not UTF-8 comes out with '?' for the bad byte.
  std::u16string wide;
  for (const PSP_WCHAR *pattern : {u"\u00C9t\u00C9*", u"?.LOG"}) {
    PSP_DIR it = psp_pathOpenW(u"big", pattern);
    while (const PSP_WCHAR *name = psp_pathNextW(it, nullptr))
      wide += std::u16string(name) + u"|";
    psp_pathClose(it);
  }
  EXPECT_TRUE(wide == u"\u00E9t\u00E9.log|\u00C9T\u00C9.Log|?.log|" ||
              wide == u"\u00C9T\u00C9.Log|\u00E9t\u00E9.log|?.log|");

  fs::create_directory("empty");
  const std::pair<const char *, const char *> refused[] = {
      {"empty", "*.log"}, {"missing", "*"}, {"big/e1.txt", "*"}, {"big", ""},    {"big", nullptr},
      {nullptr, "*"},     {"", "*"},        {"big", "\xC3("},    {"big", "../*"}};
  for (const auto &[dir, pattern] : refused)
    EXPECT_EQ(psp_pathOpen(dir, pattern), nullptr) << (dir ? dir : "NULL");
  EXPECT_EQ(psp_pathOpenW(u"big", u"\xD800*"), nullptr);
  EXPECT_EQ(psp_pathNext(nullptr, nullptr), nullptr);
  psp_pathClose(nullptr);
}

// Threads iterate one directory and build their own trees at once; every
// temporary lives in the calling thread's tag, iterators in the shared one.
TEST_F(Paths, IterateAndCreateConcurrency) {
  psp_test::Watchdog guard(60, "paths from four threads");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      std::string mine = "t" + std::to_string(t);
      for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(psp_dirCreateAll((mine + "/" + std::to_string(i) + "/x").c_str()), PSP_OKAY);
        EXPECT_GE(list(psp_pathOpen(".", "T#")).size(), 1u);
        EXPECT_NE(take(psp_fullpathEx(mine.c_str(), PSP_TAG_THREAD)), "<null>");
      }
    });
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(list(psp_pathOpen("t0", "*")).size(), 102u);
}

// Nothing before psp_init; read-only changes nothing here; no-disk touches
// nothing. Flags outlive psp_term: in a child.
TEST(PathsFlags, BeforeInitReadOnlyAndNoDisk) {
  auto child = psp_test::runInChild(20, [] {
    char *part = reinterpret_cast<char *>(1);
    EXPECT_EQ(psp_pathSplitEx("a/b", &part, nullptr, PSP_TAG_DEFAULT), PSP_ERR_NOMEMORY);
    EXPECT_TRUE(!part && !psp_currdirEx(PSP_TAG_DEFAULT) && !psp_pathOpen("/", "*"));
    EXPECT_EQ(psp_dirCreate("/tmp") + psp_dirRemove("/none"), 2 * PSP_ERR_NOMEMORY);
    EXPECT_EQ(psp_dirCreateAllW(u"/tmp"), PSP_ERR_SYSTEM);
    psp_rdonly();
    EXPECT_EQ(psp_init(), PSP_OKAY);
    std::string dir = "/tmp/psp_rdonly_" + std::to_string(getpid());
    EXPECT_EQ(psp_dirCreateAll((dir + "/x").c_str()), PSP_OKAY);
    EXPECT_EQ(psp_dirRemove((dir + "/x").c_str()) + psp_dirRemove(dir.c_str()), PSP_OKAY);
    psp_nodisk();
    EXPECT_EQ(take(psp_currdirEx(PSP_TAG_THREAD)) + take(psp_fullpathEx("x", PSP_TAG_THREAD)),
              "//x");
    EXPECT_EQ(psp_pathOpen("/", "*"), nullptr);
    EXPECT_EQ(psp_dirCreate(dir.c_str()) + psp_dirCreateAll((dir + "/x").c_str()),
              2 * PSP_ERR_SYSTEM);
    EXPECT_EQ(psp_dirRemove("/tmp"), PSP_ERR_SYSTEM);
    psp_term();
    return !fs::exists(dir);
  });
  EXPECT_TRUE(child.ok()) << psp_test::describe(child);
}

} // namespace
