// Paths and directories, each test in a scratch working directory. Where the platforms differ
// (separator, drive letters, case, names that are not UTF-8) the expectation is chosen by platform.
#include "../scratch_dir.h"
#include "../watchdog.h"

#include <map>
#include <vector>

namespace fs = std::filesystem;
using psp_test::fsPath;
using psp_test::kWindows;
using psp_test::native;

namespace {

std::string take(char *s, PSP_MEMTAG tag = PSP_TAG_THREAD) {
  std::string copy = s != nullptr ? s : "<null>";
  psp_freeMem(s, tag, "test", __LINE__);
  return copy;
}

void touch(const std::string &name) { std::ofstream(fsPath(name)) << "x"; }

// Every name an iterator hands out, with its directory flag.
std::map<std::string, uint32_t> list(PSP_DIR it) {
  std::map<std::string, uint32_t> seen;
  uint32_t isDir = 7;
  while (const char *name = psp_pathNext(it, &isDir))
    EXPECT_TRUE(seen.emplace(name, isDir).second) << "twice: " << name;
  psp_pathClose(it);
  return seen;
}

class Paths : public ScratchDir {
protected:
  void SetUp() override {
    ScratchDir::SetUp();
    fs::current_path(fsPath(dir_));
  }
  void TearDown() override {
    fs::current_path(old_); // the working directory cannot be removed on Windows
    ScratchDir::TearDown();
  }
  fs::path old_ = fs::current_path();
};

} // namespace

TEST_F(Paths, CurrentFullAndSplitPaths) {
  EXPECT_EQ(take(psp_currdirEx(PSP_TAG_DEFAULT), PSP_TAG_DEFAULT), dir_);
  // {path, its full form}: '$' stands for the working directory, '/' for the platform's
  // separator; Windows writes '\\', reads '/' as well, and knows drive letters.
  // clang-format off
  const char *full[][2] = {{nullptr, "$"}, {".", "$"}, {"./", "$"}, {"sub/dir/", "$/sub/dir"},
      {"/x//", "/x/"}, {"/", "/"},
#ifdef _WIN32
      {".\\", "$"}, {"a\\b", "$/a/b"}, {"D:/x", "D:/x"}, {"C:\\", "C:/"}};
#else
      {"a\\b", "$/a\\b"}, {"D:/x", "$/D:/x"}};
#endif
  // clang-format on
  for (const auto &[path, expected] : full)
    EXPECT_EQ(take(psp_fullpathEx(path, PSP_TAG_THREAD)),
              native(expected[0] == '$' ? dir_ + (expected + 1) : expected))
        << (path ? path : "NULL");
  EXPECT_EQ(psp_fullpathEx("x", nullptr), nullptr);
  const std::string root = kWindows ? "C:\\" : "/";
  fs::current_path(root); // no doubled separator at the root
  EXPECT_EQ(take(psp_fullpathEx("etc", PSP_TAG_THREAD)), root + "etc");

  // {path, directory part, file part}: Windows splits at the last '\\', else '/', else ':'.
  // clang-format off
  const char *split[][3] = {{"/data/x.db", "/data/", "x.db"}, {"dir/", "dir/", "<null>"},
      {"name", "<null>", "name"}, {"", "<null>", ""},
#ifdef _WIN32
      {"a\\b/c", "a\\", "b/c"}, {"C:x", "C:", "x"}, {"C:\\data\\x.db", "C:\\data\\", "x.db"},
      {"dir\\", "dir\\", "<null>"}};
#else
      {"a\\b/c", "a\\b/", "c"}, {"C:x", "<null>", "C:x"}};
#endif
  // clang-format on
  for (const auto &c : split) {
    char *dir = nullptr, *file = nullptr;
    ASSERT_EQ(psp_pathSplitEx(c[0], &dir, &file, PSP_TAG_THREAD), PSP_OKAY);
    EXPECT_EQ(take(dir) + "|" + take(file), std::string(c[1]) + "|" + c[2]) << c[0];
  }
  char *file = reinterpret_cast<char *>(1);
  EXPECT_EQ(psp_pathSplitEx(nullptr, nullptr, &file, PSP_TAG_THREAD), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(file, nullptr);
  const char *drive = "C:\\x";
  EXPECT_EQ(psp_pathStripDrive(drive), kWindows ? drive + 2 : drive);
  EXPECT_STREQ(psp_pathStripDrive("C"), "C");
  const PSP_STATUS winDir = kWindows ? PSP_OKAY : PSP_NO, posixDir = kWindows ? PSP_NO : PSP_OKAY;
  // clang-format off
  const std::pair<const char *, PSP_STATUS> forms[] = {{"/data/", posixDir}, {"C:", winDir},
      {"C:\\data\\", winDir}, {"a\\", winDir}, {"/data", PSP_NO}, {"", PSP_ERR_INVALIDPARAM},
      {nullptr, PSP_ERR_INVALIDPARAM}};
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
  EXPECT_EQ(psp_dirCreateAll((dir_ + "/abs/x").c_str()), PSP_OKAY);
  for (const char *made : {"a/b/c", "a/n/m", "\xC3\xBC", "abs/x"})
    EXPECT_TRUE(fs::is_directory(fsPath(made))) << made;
  EXPECT_FALSE(fs::exists("u") || fs::exists("w") || fs::exists(fsPath("\xC3\xBC/\xC3\x9F")));
}

TEST_F(Paths, IteratorOverManyEntries) {
  fs::create_directory("big");
  for (int i = 0; i < 3000; ++i)
    touch("big/e" + std::to_string(i) + (i % 3 ? ".txt" : i % 2 ? ".LOG" : ".log"));
#ifdef _WIN32
  // Names that differ only in case are one file here, and every name is UTF-16.
  const std::vector<std::string> odd = {"\xC3\xA9t\xC3\xA9.log", "3x.LOG", "ax.log"};
#else
  const std::vector<std::string> odd = {"\xC3\xA9t\xC3\xA9.log", "\xC3\x89T\xC3\x89.Log",
                                        "\xFF.log", "3x.LOG", "ax.log"};
#endif
  for (const std::string &name : odd)
    touch("big/" + name);
  fs::create_directory("big/sub.log");
#ifndef _WIN32 // Wine's CreateSymbolicLinkW reports success and makes no link
  fs::create_directory_symlink("..", "big/link.log");
#endif

  auto logs = list(psp_pathOpen("big", "*.lOg"));
  const size_t dirs = kWindows ? 1 : 2;
  EXPECT_EQ(logs.size(), 1000u + odd.size() + dirs);
  EXPECT_EQ(logs["sub.log"], 16u);
  EXPECT_EQ(logs["link.log"], 0u) << "a link is not followed";
  EXPECT_EQ(logs["e0.log"] + logs["e3.LOG"] + logs[odd[0]], 0u);
  auto all = list(psp_pathOpen("big/", "*"));
  EXPECT_EQ(all.size(), 3000u + odd.size() + dirs + 2);
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
  EXPECT_TRUE(kWindows ? wide == u"\u00E9t\u00E9.log|"
                       : wide == u"\u00E9t\u00E9.log|\u00C9T\u00C9.Log|?.log|" ||
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
  psp_test::Watchdog guard(60);
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
    const std::string dir =
        (fs::temp_directory_path() / ("psp_rdonly_" + std::to_string(psp_get_pid()))).string();
    EXPECT_EQ(psp_dirCreateAll((dir + "/x").c_str()), PSP_OKAY);
    EXPECT_EQ(psp_dirRemove((dir + "/x").c_str()) + psp_dirRemove(dir.c_str()), PSP_OKAY);
    psp_nodisk();
    EXPECT_EQ(take(psp_currdirEx(PSP_TAG_THREAD)) + take(psp_fullpathEx("x", PSP_TAG_THREAD)),
              native("//x"));
    EXPECT_EQ(psp_pathOpen("/", "*"), nullptr);
    EXPECT_EQ(psp_dirCreate(dir.c_str()) + psp_dirCreateAll((dir + "/x").c_str()),
              2 * PSP_ERR_SYSTEM);
    EXPECT_EQ(psp_dirRemove("/tmp"), PSP_ERR_SYSTEM);
    psp_term();
    return !fs::exists(dir);
  });
  EXPECT_TRUE(child.ok()) << psp_test::describe(child);
}
