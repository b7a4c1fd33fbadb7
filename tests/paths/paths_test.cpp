// Paths and directories through the public interface: current and full
// paths, splitting and form tests, directory creation and removal, and the
// directory iterator over real directories, in a scratch directory that each
// test makes its working directory.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "psp.h"
#include "../watchdog.h"

namespace fs = std::filesystem;

namespace {

std::string take(char *s, PSP_MEMTAG tag) {
  std::string copy = s != nullptr ? s : "<null>";
  psp_freeMem(s, tag, "test", __LINE__);
  return copy;
}

void touch(const std::string &name) { std::ofstream(name) << "x"; }

class Paths : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    char tmpl[] = "/tmp/psp_paths_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    scratch_ = tmpl;
    old_ = fs::current_path();
    fs::current_path(scratch_);
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(scratch_);
    psp_term();
  }
  // Every name the iterator hands out, with its directory flag.
  static std::map<std::string, uint32_t> list(PSP_DIR it) {
    std::map<std::string, uint32_t> seen;
    uint32_t isDir = 7;
    while (const char *name = psp_pathNext(it, &isDir))
      EXPECT_TRUE(seen.emplace(name, isDir).second) << "twice: " << name;
    psp_pathClose(it);
    return seen;
  }
  std::string scratch_;
  fs::path old_;
};

TEST_F(Paths, CurrentAndFullPaths) {
  EXPECT_EQ(take(psp_currdirEx(PSP_TAG_THREAD), PSP_TAG_THREAD), scratch_);
  const std::pair<const char *, std::string> cases[] = {
      {nullptr, scratch_},
      {"", scratch_},
      {".", scratch_},
      {"./", scratch_},
      {"sub/dir/", scratch_ + "/sub/dir"},
      {"./x", scratch_ + "/./x"},
      {"a\\b", scratch_ + "/a\\b"},
      {"D:/x", scratch_ + "/D:/x"},
      {"/x", "/x"},
      {"/x//", "/x/"},
      {"/", "/"},
  };
  for (const auto &[path, expected] : cases)
    EXPECT_EQ(take(psp_fullpathEx(path, PSP_TAG_DEFAULT), PSP_TAG_DEFAULT), expected)
        << (path ? path : "NULL");
  EXPECT_EQ(psp_fullpathEx("x", nullptr), nullptr);

  // At the root nothing is doubled; a directory deeper than any stack
  // buffer still comes back whole.
  fs::current_path("/");
  EXPECT_EQ(take(psp_fullpathEx(".", PSP_TAG_THREAD), PSP_TAG_THREAD), "/");
  EXPECT_EQ(take(psp_fullpathEx("etc", PSP_TAG_THREAD), PSP_TAG_THREAD), "/etc");
  std::string deep = scratch_ + "/" + std::string(200, 'd');
  for (int i = 0; i < 12; ++i)
    deep += "/" + std::string(200, 'a' + i);
  fs::create_directories(deep);
  fs::current_path(deep);
  EXPECT_EQ(take(psp_currdirEx(PSP_TAG_THREAD), PSP_TAG_THREAD), deep);
  EXPECT_EQ(take(psp_fullpathEx("f", PSP_TAG_THREAD), PSP_TAG_THREAD), deep + "/f");
}

TEST_F(Paths, SplitStripAndForm) {
  const struct {
    const char *path, *dir, *file;
  } cases[] = {
      {"/data/x.db", "/data/", "x.db"},
      {"dir/", "dir/", nullptr},
      {"name", nullptr, "name"},
      {"a\\b/c", "a\\b/", "c"},
      {"C:x.db", nullptr, "C:x.db"},
      {"/", "/", nullptr},
      {"", nullptr, ""},
  };
  for (const auto &c : cases) {
    char *dir = reinterpret_cast<char *>(1), *file = reinterpret_cast<char *>(1);
    ASSERT_EQ(psp_pathSplitEx(c.path, &dir, &file, PSP_TAG_THREAD), PSP_OKAY);
    EXPECT_EQ(take(dir, PSP_TAG_THREAD), c.dir ? c.dir : "<null>") << c.path;
    EXPECT_EQ(take(file, PSP_TAG_THREAD), c.file ? c.file : "<null>") << c.path;
  }
  char *file = nullptr;
  EXPECT_EQ(psp_pathSplitEx("a/b", nullptr, &file, PSP_TAG_THREAD), PSP_OKAY);
  EXPECT_EQ(take(file, PSP_TAG_THREAD), "b");
  file = reinterpret_cast<char *>(1);
  EXPECT_EQ(psp_pathSplitEx(nullptr, nullptr, &file, PSP_TAG_THREAD), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(file, nullptr);

  const char *p = "C:\\x";
  EXPECT_EQ(psp_pathStripDrive(p), p);
  EXPECT_EQ(psp_pathStripDrive(nullptr), nullptr);
  const std::pair<const char *, PSP_STATUS> forms[] = {{"/data/", PSP_OKAY},
                                                       {"/", PSP_OKAY},
                                                       {"C:", PSP_NO},
                                                       {"/data", PSP_NO},
                                                       {"a\\", PSP_NO},
                                                       {"", PSP_ERR_INVALIDPARAM},
                                                       {nullptr, PSP_ERR_INVALIDPARAM}};
  for (const auto &[path, expected] : forms)
    EXPECT_EQ(psp_pathIsDir(path), expected) << (path ? path : "NULL");
}

TEST_F(Paths, CreateAndRemove) {
  EXPECT_EQ(psp_dirCreate("d"), PSP_OKAY);
  EXPECT_EQ(psp_dirCreate("d"), PSP_EXISTS);
  EXPECT_EQ(psp_dirCreateW(u"d/\u00E9t\u00E9"), PSP_OKAY);
  EXPECT_TRUE(fs::is_directory("d/\xC3\xA9t\xC3\xA9"));
  EXPECT_EQ(psp_dirRemove("d"), PSP_ERR_SYSTEM) << "not empty";
  EXPECT_EQ(psp_dirRemoveW(u"d/\u00E9t\u00E9"), PSP_OKAY);
  EXPECT_EQ(psp_dirRemove("d/"), PSP_OKAY);
  touch("f");
  const std::pair<const char *, PSP_STATUS> removals[] = {
      {"d", PSP_OKAY},       {"missing/x", PSP_OKAY}, {"f/x", PSP_OKAY},
      {"f", PSP_ERR_SYSTEM}, {"", PSP_OKAY},          {"\xFF", PSP_ERR_NOMEMORY}};
  for (const auto &[path, expected] : removals)
    EXPECT_EQ(psp_dirRemove(path), expected) << path;
  EXPECT_TRUE(fs::exists("f"));

  EXPECT_EQ(psp_dirCreate(nullptr), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_dirCreate(""), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_dirCreate("bad\xC3"), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_dirCreateW(u"bad\xD800"), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_dirCreate("f"), PSP_EXISTS) << "any entry takes the name";

  // Create-all: missing parents, runs of '/', a trailing '/', an existing
  // start, a file in the way, and names that are not UTF-8.
  EXPECT_EQ(psp_dirCreateAll("a//b///c"), PSP_OKAY);
  EXPECT_TRUE(fs::is_directory("a/b/c"));
  EXPECT_EQ(psp_dirCreateAll("a/b/c"), PSP_EXISTS);
  EXPECT_EQ(psp_dirCreateAll("a/n1/n2/"), PSP_EXISTS) << "the last step meets the made prefix";
  EXPECT_TRUE(fs::is_directory("a/n1/n2"));
  EXPECT_EQ(psp_dirCreateAll((scratch_ + "/abs/x").c_str()), PSP_OKAY);
  EXPECT_EQ(psp_dirCreateAll("f/x/y"), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_dirCreateAll("u/v/\xFF"), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_dirCreateAllW(u"w/x/\xDC00"), PSP_ERR_SYSTEM);
  EXPECT_FALSE(fs::exists("u") || fs::exists("w")) << "a bad name creates nothing";
  EXPECT_EQ(psp_dirCreateAll(nullptr), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_dirCreateAll(""), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_dirCreateAllW(u"\u00FC/\u00DF"), PSP_OKAY);
  EXPECT_TRUE(fs::is_directory("\xC3\xBC/\xC3\x9F"));
}

TEST_F(Paths, IteratorOverManyEntries) {
  std::set<std::string> logs;
  fs::create_directory("big");
  for (int i = 0; i < 3000; ++i) {
    std::string name = std::to_string(i);
    name.insert(0, 1, 'e').append(i % 3 ? ".txt" : (i % 2 ? ".LOG" : ".log"));
    touch("big/" + name);
    if (i % 3 == 0)
      logs.insert(name);
  }
  const char *accented[] = {"\xC3\xA9t\xC3\xA9.log", "\xC3\x89T\xC3\x89.Log", "\xC3\x9F.log"};
  for (const char *name : accented) {
    touch(std::string("big/") + name);
    logs.insert(name);
  }
  fs::create_directory("big/sub.log");
  logs.insert("sub.log");
  fs::create_directory_symlink("..", "big/link.log");
  logs.insert("link.log");

  auto seen = list(psp_pathOpen("big", "*.lOg"));
  EXPECT_EQ(seen.size(), logs.size());
  for (const auto &name : logs)
    EXPECT_TRUE(seen.count(name)) << name;
  EXPECT_EQ(seen["sub.log"], 16u);
  EXPECT_EQ(seen["link.log"], 0u) << "a link is not followed";
  EXPECT_EQ(seen["e0.log"], 0u);

  auto all = list(psp_pathOpen("big/", "*"));
  EXPECT_EQ(all.size(), 3000u + 3 + 2 + 2);
  EXPECT_EQ(all["."], 16u);
  EXPECT_EQ(all[".."], 16u);

  // Latin-1 letters match across case; the wide forms give the same names.
  PSP_DIR it = psp_pathOpenW(u"big", u"\u00C9t\u00C9*");
  ASSERT_NE(it, nullptr);
  std::set<std::u16string> wide;
  while (const PSP_WCHAR *name = psp_pathNextW(it, nullptr))
    wide.insert(name);
  psp_pathClose(it);
  EXPECT_EQ(wide, (std::set<std::u16string>{u"\u00E9t\u00E9.log", u"\u00C9T\u00C9.Log"}));
}

TEST_F(Paths, IteratorPatternsAndRefusals) {
  fs::create_directory("d");
  for (const char *name : {"3x.LOG", "Ax.log", "ax.log", "q?", "a"})
    touch(std::string("d/") + name);
  touch("d/" + std::string(60, 'a'));
  touch("d/\xFF\xFE.bin"); // not UTF-8: handed out as it is, '?' in UTF-16

  auto names = [](std::map<std::string, uint32_t> m) {
    std::set<std::string> s;
    for (auto &kv : m)
      s.insert(kv.first);
    return s;
  };
  using Set = std::set<std::string>;
  EXPECT_EQ(names(list(psp_pathOpen("d", "#?.log"))), (Set{"3x.LOG", "Ax.log"}));
  EXPECT_EQ(names(list(psp_pathOpen("d", "*?"))), (Set{"q?"}));
  EXPECT_EQ(names(list(psp_pathOpen("d", "*.bin"))), (Set{"\xFF\xFE.bin"}));
  {
    psp_test::Watchdog guard(10, "pathological pattern");
    EXPECT_EQ(names(list(psp_pathOpen("d", "*a*a*a*a*a*a*a*a*a*a*b"))), Set{});
    EXPECT_EQ(names(list(psp_pathOpen("d", "*a*a*a*a*a*a*a*a*a*a"))), Set{std::string(60, 'a')});
  }
  PSP_DIR it = psp_pathOpen("d", "*.bin");
  ASSERT_NE(it, nullptr);
  EXPECT_EQ(std::u16string(psp_pathNextW(it, nullptr)), u"??.bin");
  EXPECT_EQ(psp_pathNextW(it, nullptr), nullptr);
  EXPECT_EQ(psp_pathNext(it, nullptr), nullptr) << "the end stays the end";
  psp_pathClose(it);

  fs::create_directory("empty");
  touch("plain");
  const std::pair<const char *, const char *> refused[] = {
      {"empty", "*.log"}, {"missing", "*"}, {"plain", "*"}, {"d", ""},     {"d", nullptr},
      {nullptr, "*"},     {"", "*"},        {"d", "\xC3("}, {"d", "../*"}, {"d\xFF", "*"}};
  for (const auto &[dir, pattern] : refused)
    EXPECT_EQ(psp_pathOpen(dir, pattern), nullptr)
        << (dir ? dir : "NULL") << " " << (pattern ? pattern : "NULL");
  EXPECT_EQ(psp_pathOpenW(u"d", u"\xD800*"), nullptr);
  EXPECT_EQ(psp_pathOpenW(u"d", nullptr), nullptr);
  EXPECT_EQ(psp_pathNext(nullptr, nullptr), nullptr);
  psp_pathClose(nullptr);
}

TEST(PathsFlags, NoDiskAndReadOnlyInChildren) {
  auto noDisk = psp_test::runInChild(20, [] {
    psp_nodisk();
    EXPECT_EQ(psp_init(), PSP_OKAY);
    EXPECT_EQ(take(psp_currdirEx(PSP_TAG_THREAD), PSP_TAG_THREAD), "/");
    EXPECT_EQ(take(psp_fullpathEx("x", PSP_TAG_THREAD), PSP_TAG_THREAD), "/x");
    EXPECT_EQ(psp_pathOpen("/", "*"), nullptr);
    EXPECT_EQ(psp_dirCreate("/tmp"), PSP_ERR_SYSTEM);
    EXPECT_EQ(psp_dirCreateAll("/tmp/psp_nodisk/x"), PSP_ERR_SYSTEM);
    EXPECT_EQ(psp_dirRemove("/tmp/psp_nodisk"), PSP_ERR_SYSTEM);
    psp_term();
    return true;
  });
  EXPECT_TRUE(noDisk.ok()) << psp_test::describe(noDisk);
  auto readOnly = psp_test::runInChild(20, [] {
    psp_rdonly();
    EXPECT_EQ(psp_init(), PSP_OKAY);
    std::string dir = "/tmp/psp_rdonly_" + std::to_string(getpid());
    EXPECT_EQ(psp_dirCreateAll((dir + "/x").c_str()), PSP_OKAY);
    EXPECT_EQ(psp_dirRemove((dir + "/x").c_str()), PSP_OKAY);
    EXPECT_EQ(psp_dirRemove(dir.c_str()), PSP_OKAY);
    psp_term();
    return true;
  });
  EXPECT_TRUE(readOnly.ok()) << psp_test::describe(readOnly);
}

TEST(PathsLifecycle, NothingBeforeInit) {
  char *part = reinterpret_cast<char *>(1);
  EXPECT_EQ(psp_currdirEx(PSP_TAG_DEFAULT), nullptr);
  EXPECT_EQ(psp_fullpathEx("x", PSP_TAG_DEFAULT), nullptr);
  EXPECT_EQ(psp_pathSplitEx("a/b", &part, nullptr, PSP_TAG_DEFAULT), PSP_ERR_NOMEMORY);
  EXPECT_EQ(part, nullptr);
  EXPECT_EQ(psp_dirCreate("/tmp"), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_dirRemove("/nonexistent"), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_dirCreateAllW(u"/tmp"), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_pathOpen("/", "*"), nullptr);
  EXPECT_EQ(psp_pathIsDir("a/"), PSP_OKAY) << "form tests need no library state";
}

} // namespace
