// The Windows platform layer through the public interface: the file
// backend's system calls, backslash paths and drive letters, the directory
// search, and the Windows directory as a temporary-directory candidate.
// Built for Windows only.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "psp.h"

namespace {

std::string take(char *s, PSP_MEMTAG tag = PSP_TAG_THREAD) {
  std::string copy = s != nullptr ? s : "<null>";
  psp_freeMem(s, tag, "test", __LINE__);
  return copy;
}

std::string cwd() { return take(psp_currdirEx(PSP_TAG_THREAD)); }

// Each test runs in a fresh directory of its own, made the current one.
class Windows : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    char base[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof base, base), 0u);
    dir_ = std::string(base) + "psp_win_" + std::to_string(GetCurrentProcessId()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
    GetCurrentDirectoryA(sizeof previous_, previous_);
    ASSERT_TRUE(SetCurrentDirectoryA(dir_.c_str()));
  }
  void TearDown() override {
    SetCurrentDirectoryA(previous_);
    std::string command = "rmdir /s /q \"" + dir_ + "\" >nul 2>nul";
    system(command.c_str());
    psp_term();
  }
  std::string dir_;
  char previous_[MAX_PATH] = {};
};

void write(const char *name, const char *text) {
  PSP_FH fh = psp_fileOpen(name, PSP_FILE_RDWR | PSP_FILE_TRUNCATE, 0);
  ASSERT_NE(fh, nullptr);
  psp_fileWrite(fh, text, static_cast<uint32_t>(strlen(text)));
  psp_fileClose(fh);
}

TEST_F(Windows, FileBackendSizesPositionsAndTheByteZeroLock) {
  PSP_FH fh = psp_fileOpen("data.bin", PSP_FILE_RDWR | PSP_FILE_CREATE, 0);
  ASSERT_NE(fh, nullptr);
  EXPECT_EQ(psp_fileWrite(fh, "abc", 3), 3u);
  char buf[8] = {};
  EXPECT_EQ(psp_fileSeekRead(fh, 100, buf, 4), 0u); // past the end: nothing, no error
  EXPECT_EQ(psp_fileSeekRead(fh, 1, buf, 4), 2u);
  EXPECT_EQ(std::string(buf, 2), "bc");
  // Growth appends zeros in pieces; shrinking cuts.
  ASSERT_EQ(psp_fileSetSize(fh, 3 + 25000), PSP_OKAY);
  EXPECT_EQ(psp_fileLength(fh), 25003u);
  EXPECT_EQ(psp_fileSeekRead(fh, 25000, buf, 8), 3u);
  EXPECT_EQ(std::string(buf, 3), std::string(3, '\0'));
  ASSERT_EQ(psp_fileSetSize(fh, 2), PSP_OKAY);
  EXPECT_EQ(psp_fileLength(fh), 2u);
  // A positioned write far out leaves the file pointer after it.
  EXPECT_EQ(psp_fileSeekWrite(fh, 10, "z", 1), 1u);
  uint64_t at = 0;
  EXPECT_EQ(psp_fileSeek(fh, 0, 1, &at), PSP_OKAY);
  EXPECT_EQ(at, 11u);

  PSP_FH other = psp_fileOpen("data.bin", PSP_FILE_RDWR, 0);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(psp_fileLock(fh), PSP_OKAY);
  EXPECT_EQ(psp_fileLock(other), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileUnlock(fh), PSP_OKAY);
  EXPECT_EQ(psp_fileLock(other), PSP_OKAY);
  EXPECT_EQ(psp_fileUnlock(other), PSP_OKAY);
  psp_fileClose(other);
  psp_fileClose(fh);

  write("data.bin", "fresh");
  PSP_FH keep = psp_fileOpen("data.bin", PSP_FILE_RDWR | PSP_FILE_CREATE, 0);
  ASSERT_NE(keep, nullptr);
  EXPECT_EQ(psp_fileLength(keep), 5u); // create alone keeps the contents
  psp_fileClose(keep);
  EXPECT_EQ(psp_fileOpen("missing.bin", PSP_FILE_RDONLY, 0), nullptr);
  EXPECT_EQ(psp_fileRemove("missing.bin"), PSP_OKAY);
  EXPECT_EQ(psp_fileRemove("data.bin"), PSP_OKAY);
  EXPECT_EQ(psp_fileValidate("data.bin"), 0);
}

TEST_F(Windows, SharingDeniedElsewhereFailsTheOpenWithOrWithoutRetries) {
  write("held.txt", "x");
  HANDLE held = CreateFileA("held.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(psp_fileOpen("held.txt", PSP_FILE_RDONLY, 0), nullptr);
  EXPECT_EQ(psp_fileOpen("held.txt", PSP_FILE_RDWR | PSP_FILE_CREATE, 0), nullptr);
  CloseHandle(held);
  PSP_FH fh = psp_fileOpen("held.txt", PSP_FILE_RDONLY, PSP_FILE_DENY_WRITE);
  ASSERT_NE(fh, nullptr);
  EXPECT_EQ(psp_fileOpen("held.txt", PSP_FILE_WRONLY, 0), nullptr);
  PSP_FH reader = psp_fileOpen("held.txt", PSP_FILE_RDONLY, 0);
  EXPECT_NE(reader, nullptr);
  psp_fileClose(reader);
  psp_fileClose(fh);
}

TEST_F(Windows, PathsUseBackslashesAndDriveLetters) {
  const std::string here = cwd();
  ASSERT_EQ(here, dir_.substr(0, dir_.size()));
  EXPECT_EQ(take(psp_fullpathEx(".", PSP_TAG_THREAD)), here);
  EXPECT_EQ(take(psp_fullpathEx(".\\", PSP_TAG_THREAD)), here);
  EXPECT_EQ(take(psp_fullpathEx("sub/dir/", PSP_TAG_THREAD)), here + "\\sub\\dir");
  EXPECT_EQ(take(psp_fullpathEx("D:/x", PSP_TAG_THREAD)), "D:\\x");
  EXPECT_EQ(take(psp_fullpathEx("\\x", PSP_TAG_THREAD)), "\\x");
  EXPECT_EQ(take(psp_fullpathEx("C:\\", PSP_TAG_THREAD)), "C:\\");

  const struct {
    const char *path, *dir, *file;
  } splits[] = {{"C:\\data\\x.db", "C:\\data\\", "x.db"},
                {"C:x.db", "C:", "x.db"},
                {"a\\b/c", "a\\", "b/c"},
                {"a/b", "a/", "b"},
                {"dir\\", "dir\\", nullptr},
                {"name", nullptr, "name"}};
  for (const auto &s : splits) {
    char *d = nullptr, *f = nullptr;
    ASSERT_EQ(psp_pathSplitEx(s.path, &d, &f, PSP_TAG_THREAD), PSP_OKAY);
    EXPECT_EQ(take(d), s.dir ? s.dir : "<null>") << s.path;
    EXPECT_EQ(take(f), s.file ? s.file : "<null>") << s.path;
  }
  EXPECT_EQ(psp_pathIsDir("C:"), PSP_OKAY);
  EXPECT_EQ(psp_pathIsDir("C:\\data\\"), PSP_OKAY);
  EXPECT_EQ(psp_pathIsDir("C:\\data"), PSP_NO);
  EXPECT_EQ(psp_pathIsDir("C:\\data/"), PSP_NO);
  const char *drive = "C:\\x";
  EXPECT_EQ(psp_pathStripDrive(drive), drive + 2);
  EXPECT_STREQ(psp_pathStripDrive("C"), "C");
}

TEST_F(Windows, DirectoriesAreMadeAndSearchedWithTheHexWildcard) {
  EXPECT_EQ(psp_dirCreateAll("a/b/c"), PSP_OKAY);
  uint32_t isDir = 0;
  EXPECT_EQ(psp_fileValidateEx("a\\b\\c", 0, &isDir), 1);
  EXPECT_EQ(isDir, 1u);
  EXPECT_EQ(psp_dirCreate("a"), PSP_EXISTS);
  EXPECT_EQ(psp_dirRemove("a"), PSP_ERR_SYSTEM); // not empty
  EXPECT_EQ(psp_dirRemove("a\\b\\c"), PSP_OKAY);
  EXPECT_EQ(psp_dirRemove("a\\b\\c"), PSP_OKAY); // gone already
  EXPECT_EQ(psp_dirRemove("nowhere\\c"), PSP_OKAY);

  for (const char *name : {"3x.LOG", "Ax.log", "bx.log", "long.log"}) // names ignore case here
    write(name, "x");
  std::map<std::string, uint32_t> seen;
  PSP_DIR it = psp_pathOpen(".", "#?.log");
  ASSERT_NE(it, nullptr);
  while (const char *name = psp_pathNext(it, &isDir))
    seen[name] = isDir;
  psp_pathClose(it);
  EXPECT_EQ(seen, (std::map<std::string, uint32_t>{{"3x.LOG", 0}, {"Ax.log", 0}}));

  seen.clear();
  it = psp_pathOpen(dir_.c_str(), "*");
  ASSERT_NE(it, nullptr);
  while (const char *name = psp_pathNext(it, &isDir))
    seen[name] = isDir;
  psp_pathClose(it);
  EXPECT_EQ(seen["."], 16u);
  EXPECT_EQ(seen[".."], 16u);
  EXPECT_EQ(seen["a"], 16u);
  EXPECT_EQ(seen.size(), 7u);
  EXPECT_EQ(psp_pathOpen("missing", "*"), nullptr);
}

TEST_F(Windows, TheWindowsDirectoryIsTheFourthTemporaryCandidate) {
  _putenv_s("ZEB_TMPDIR", "");
  char temp[MAX_PATH], tmp[MAX_PATH];
  size_t n = 0;
  getenv_s(&n, temp, sizeof temp, "TEMP");
  getenv_s(&n, tmp, sizeof tmp, "TMP");
  _putenv_s("TEMP", "");
  _putenv_s("TMP", "");
  char windows[MAX_PATH];
  UINT length = GetWindowsDirectoryA(windows, sizeof windows);
  ASSERT_NE(length, 0u);
  std::string expected = std::string(windows) + (windows[length - 1] == '\\' ? "" : "\\") + "temp";
  psp_setTmpDir(nullptr);
  if (GetFileAttributesA(expected.c_str()) != INVALID_FILE_ATTRIBUTES)
    EXPECT_EQ(take(psp_tmpdir(PSP_TAG_THREAD)), expected);
  else
    EXPECT_EQ(take(psp_tmpdir(PSP_TAG_THREAD)), cwd()); // on to the current directory
  _putenv_s("TEMP", temp);
  _putenv_s("TMP", tmp);
  psp_setTmpDir(nullptr);
}

} // namespace
