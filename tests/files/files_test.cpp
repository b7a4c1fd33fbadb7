// File handles and file utilities through psp.h only: open modes and the
// dispatchers' rules, standard names, sharing and the byte-0 lock between
// handles, 64-bit positions, UTF-8 / UTF-16 names, the process flags in
// forked children, copy and compare across block boundaries, temporary
// names and directory, bad input, and racing opens.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "psp.h"
#include "../watchdog.h"

namespace {

using psp_test::runInChild;

constexpr uint32_t RW = PSP_FILE_RDWR, CREATE = PSP_FILE_CREATE, TRUNC = PSP_FILE_TRUNCATE;

class Files : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    char tmpl[] = "/tmp/psp_files_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    psp_term();
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string at(const std::string &name) const { return dir_ + "/" + name; }
  void put(const std::string &name, const std::string &bytes) const {
    PSP_FH fh = psp_fileOpen(at(name).c_str(), RW | TRUNC, 0);
    ASSERT_NE(fh, nullptr);
    if (!bytes.empty()) {
      ASSERT_EQ(psp_fileWrite(fh, bytes.data(), bytes.size()), bytes.size());
    }
    psp_fileClose(fh);
  }
  std::string get(const std::string &name) const {
    PSP_FH fh = psp_fileOpen(at(name).c_str(), 0, 0);
    if (fh == nullptr)
      return "<missing>";
    std::string bytes(psp_fileLength(fh), '\0');
    if (!bytes.empty()) {
      EXPECT_EQ(psp_fileSeekRead(fh, 0, bytes.data(), bytes.size()), bytes.size());
    }
    psp_fileClose(fh);
    return bytes;
  }
  bool exists(const std::string &name) const { return access(at(name).c_str(), F_OK) == 0; }
  std::string dir_;
};

std::string pattern(size_t n, char salt = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>(i * 7 + i / 1024 + salt);
  return s;
}

TEST_F(Files, OpenModesAndDispatchers) {
  const std::string f = at("a");
  EXPECT_EQ(psp_fileOpen(f.c_str(), 0, 0), nullptr) << "missing without the create bit";
  PSP_FH fh = psp_fileOpen(f.c_str(), RW | CREATE, 0);
  ASSERT_NE(fh, nullptr);
  EXPECT_EQ(psp_fileWrite(fh, "hello world", 11), 11u);
  EXPECT_EQ(psp_fileWrite(fh, "x", 0), 0u);
  uint64_t pos = 99;
  EXPECT_EQ(psp_fileSeek(fh, 6, 0, &pos), PSP_OKAY);
  EXPECT_EQ(pos, 6u);
  char buf[32] = {};
  EXPECT_EQ(psp_fileRead(fh, buf, sizeof buf), 5u);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(psp_fileSeekWrite(fh, 2, "LL", 2), 2u);
  EXPECT_EQ(psp_fileSeek(fh, 0, 1, &pos), PSP_OKAY);
  EXPECT_EQ(pos, 4u) << "a positioned write leaves the offset after its bytes";
  EXPECT_EQ(psp_fileSeekRead(fh, 100, buf, 4), 0u) << "past the end";
  EXPECT_EQ(psp_fileLength(fh), 11u);
  EXPECT_EQ(psp_fileSetSize(fh, 25000), PSP_OKAY);
  EXPECT_EQ(psp_fileSetSize(fh, 25000), PSP_OKAY);
  EXPECT_EQ(psp_fileSeek(fh, 0, 1, &pos), PSP_OKAY);
  EXPECT_EQ(pos, 25000u) << "growth leaves the offset at the new end";
  EXPECT_EQ(psp_fileSetSize(fh, 5), PSP_OKAY);
  EXPECT_EQ(psp_fileLength(fh), 5u);
  EXPECT_EQ(psp_fileSync(fh), PSP_OKAY);
  EXPECT_EQ(psp_filePageOut(fh, 1, 1), PSP_OKAY);
  EXPECT_EQ(psp_fileMap(fh, nullptr, nullptr), PSP_ERR_NOTSUPPORTED);
  EXPECT_EQ(psp_fileRemap(fh, nullptr, nullptr), PSP_ERR_NOTSUPPORTED);
  EXPECT_EQ(psp_fileUnmap(fh, nullptr, nullptr), PSP_ERR_NOTSUPPORTED);
  psp_fileClose(fh);
  EXPECT_EQ(get("a"), "heLLo");

  put("g", std::string(3, 'x'));
  fh = psp_fileOpen(at("g").c_str(), RW, 0);
  ASSERT_EQ(psp_fileSetSize(fh, 30000), PSP_OKAY);
  psp_fileClose(fh);
  EXPECT_EQ(get("g"), "xxx" + std::string(29997, '\0'));

  fh = psp_fileOpen(f.c_str(), 0, 0);
  EXPECT_EQ(psp_fileWrite(fh, "z", 1), 0u) << "read-only handle";
  EXPECT_EQ(psp_fileSeekWrite(fh, 0, "z", 1), 0u);
  EXPECT_EQ(psp_fileSetSize(fh, 0), PSP_ERR_WRITE);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(psp_fileSeek(fh, 1, 3, &pos), PSP_OKAY);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Invalid seek method, seeking from beginning\n");
  EXPECT_EQ(pos, 1u);
  EXPECT_NE(psp_fileSeek(fh, -5, 0, &pos), PSP_OKAY);
  psp_fileClose(fh);
  fh = psp_fileOpen(f.c_str(), PSP_FILE_WRONLY, 0);
  EXPECT_EQ(psp_fileRead(fh, buf, 4), 0u) << "write-only handle";
  EXPECT_EQ(psp_fileSeekRead(fh, 0, buf, 4), 0u);
  psp_fileClose(fh);
  EXPECT_EQ(get("a"), "heLLo");

  fh = psp_fileOpen(f.c_str(), RW | CREATE, 0);
  psp_fileClose(fh);
  EXPECT_EQ(get("a"), "heLLo") << "create alone keeps the contents";
  fh = psp_fileOpen(f.c_str(), TRUNC, 0); // read only, truncating
  ASSERT_NE(fh, nullptr);
  psp_fileClose(fh);
  EXPECT_EQ(get("a"), "");
}

TEST_F(Files, BadInputCreatesAndTruncatesNothing) {
  put("keep", "data");
  const std::string longName = at(std::string(300, 'n'));
  const std::string invalid = at("bad\xff\xfe"), orphan = at("no/such/parent");
  const char16_t lone[] = {u'x', 0xD800, 0};
  for (const char *name : {static_cast<const char *>(nullptr), "", longName.c_str(),
                           invalid.c_str(), dir_.c_str(), orphan.c_str()})
    for (uint32_t mode : {0u, RW | CREATE, RW | TRUNC})
      EXPECT_EQ(psp_fileOpen(name, mode, 0), nullptr) << (name ? name : "NULL") << " " << mode;
  EXPECT_EQ(psp_fileOpenW(nullptr, RW | CREATE, 0), nullptr);
  EXPECT_EQ(psp_fileOpenW(lone, RW | CREATE, 0), nullptr);
  EXPECT_EQ(psp_fileRemove(invalid.c_str()), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_fileRemoveW(lone), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_fileRemove(nullptr), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileRemove(""), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileRemove(dir_.c_str()), PSP_ERR_SYSTEM) << "a directory is not a file";
  EXPECT_EQ(psp_fileRemove(at("missing").c_str()), PSP_OKAY);
  EXPECT_EQ(psp_fileCopyW(lone, u"x"), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileCmpW(lone, u"x"), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileValidateW(lone), 0);
  EXPECT_EQ(psp_fileValidate(nullptr), 0);
  EXPECT_EQ(psp_fileCopy(nullptr, at("c").c_str()), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileCopy(at("keep").c_str(), dir_.c_str()), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileCopy(at("missing").c_str(), at("c").c_str()), PSP_ERR_SYSTEM);
  EXPECT_FALSE(exists("c")) << "a failed source open creates no destination";
  EXPECT_EQ(psp_fileCreateTmpName(nullptr, nullptr, nullptr, nullptr, PSP_TAG_DEFAULT), nullptr);
  int64_t mtime = 42;
  EXPECT_EQ(psp_fileModTimeStat(at("missing").c_str(), nullptr, &mtime), PSP_ERR_NOFILE);
  EXPECT_EQ(mtime, 42);
  EXPECT_EQ(psp_fileModTimeStat(at("keep").c_str(), nullptr, &mtime), PSP_OKAY);
  EXPECT_NEAR(static_cast<double>(mtime), static_cast<double>(time(nullptr)), 60.0);
  EXPECT_EQ(psp_fileRead(nullptr, &mtime, 1), 0u);
  EXPECT_EQ(psp_fileLength(nullptr), 0u);
  psp_fileClose(nullptr);
  struct stat st;
  ASSERT_EQ(stat(dir_.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u) << "no directory was made";
  EXPECT_EQ(get("keep"), "data");
}

TEST_F(Files, StandardNamesMatchedInFull) {
  EXPECT_TRUE(runInChild(10, [&] {
                EXPECT_EQ(chdir(dir_.c_str()), 0);
                PSP_FH out = psp_fileOpen("STDOUT", PSP_FILE_WRONLY, 0);
                EXPECT_NE(out, nullptr);
                psp_fileClose(out);
                EXPECT_NE(fcntl(1, F_GETFD), -1) << "closing never closes a standard stream";
                for (const char *disk : {"stdio", "std", "stdout2"}) {
                  PSP_FH fh = psp_fileOpen(disk, RW | CREATE, 0);
                  EXPECT_NE(fh, nullptr);
                  psp_fileClose(fh);
                  EXPECT_EQ(access(disk, F_OK), 0) << disk;
                }
                psp_nodisk();
                PSP_FH err = psp_fileOpen("StdErr", PSP_FILE_WRONLY, 0);
                EXPECT_NE(err, nullptr) << "the flags do not apply to standard streams";
                psp_fileClose(err);
                return true;
              }).ok());
}

TEST_F(Files, LockAndSharingBetweenHandles) {
  put("f", "0123456789");
  const std::string f = at("f");
  for (uint32_t mode : {RW, 0u}) {
    PSP_FH a = psp_fileOpen(f.c_str(), mode, 0), b = psp_fileOpen(f.c_str(), mode, 0);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(psp_fileLock(a), PSP_OKAY);
    EXPECT_EQ(psp_fileLock(b), PSP_ERR_SYSTEM) << "held by another handle: fails at once";
    EXPECT_EQ(psp_fileUnlock(a), PSP_OKAY);
    EXPECT_EQ(psp_fileLock(b), PSP_OKAY);
    psp_fileClose(b); // the close drops its lock
    EXPECT_EQ(psp_fileLock(a), PSP_OKAY);
    psp_fileClose(a);
  }
  struct Case {
    uint32_t mode1;
    uint16_t deny1;
    uint32_t mode2;
    uint16_t deny2;
    bool opens;
  };
  const uint16_t DR = PSP_FILE_DENY_READ, DW = PSP_FILE_DENY_WRITE;
  const Case cases[] = {
      {0, DW, RW, 0, false},
      {0, DW, 0, 0, true},
      {0, DW, PSP_FILE_WRONLY, 0, false},
      {RW, 0, 0, DW, false},
      {0, 0, 0, DW, true},
      {PSP_FILE_WRONLY, DR, 0, 0, false},
      {0, 0, PSP_FILE_WRONLY, DR, false},
      {PSP_FILE_WRONLY, 0, PSP_FILE_WRONLY, DR, true},
      {RW, DR | DW, 0, 0, false},
      {RW, 0, RW | CREATE, DW, false},
      {0, DW, RW | TRUNC, 0, false},
  };
  for (const Case &c : cases) {
    PSP_FH first = psp_fileOpen(f.c_str(), c.mode1, c.deny1);
    ASSERT_NE(first, nullptr);
    PSP_FH second = psp_fileOpen(f.c_str(), c.mode2, c.deny2);
    EXPECT_EQ(second != nullptr, c.opens)
        << c.mode1 << "/" << c.deny1 << " then " << c.mode2 << "/" << c.deny2;
    psp_fileClose(second);
    if (!c.opens) { // the rule holds across processes too
      EXPECT_TRUE(runInChild(10, [&] {
                    return psp_fileOpen(f.c_str(), c.mode2, c.deny2) == nullptr;
                  }).ok());
    }
    psp_fileClose(first);
    EXPECT_EQ(get("f"), "0123456789") << "a refused truncating open truncates nothing";
  }
}

TEST_F(Files, PositionsBeyondFourGiB) {
  PSP_FH fh = psp_fileOpen(at("sparse").c_str(), RW | CREATE, 0);
  ASSERT_NE(fh, nullptr);
  const uint64_t far = (5ull << 30) + 3;
  ASSERT_EQ(psp_fileSeekWrite(fh, far, "tail", 4), 4u);
  EXPECT_EQ(psp_fileLength(fh), far + 4);
  char buf[8] = {};
  EXPECT_EQ(psp_fileSeekRead(fh, far - 2, buf, 8), 6u);
  EXPECT_EQ(std::string(buf, 6), std::string("\0\0tail", 6));
  uint64_t pos = 0;
  EXPECT_EQ(psp_fileSeek(fh, -4, 2, &pos), PSP_OKAY);
  EXPECT_EQ(pos, far);
  EXPECT_EQ(psp_fileSeek(fh, 1ll << 32, 1, &pos), PSP_OKAY);
  EXPECT_EQ(pos, far + (1ull << 32));
  EXPECT_EQ(psp_fileSetSize(fh, (4ull << 30) + 1), PSP_OKAY);
  EXPECT_EQ(psp_fileLength(fh), (4ull << 30) + 1);
  psp_fileClose(fh);
}

TEST_F(Files, NonAsciiNamesInBothForms) {
  const std::string utf8 = at("donn\xC3\xA9"
                              "es_\xE6\x97\xA5\xE6\x9C\xAC_\xF0\x9F\x98\x80.txt");
  put("donn\xC3\xA9"
      "es_\xE6\x97\xA5\xE6\x9C\xAC_\xF0\x9F\x98\x80.txt",
      "abc");
  std::u16string wide(dir_.begin(), dir_.end());
  wide += u"/donn\u00E9es_\u65E5\u672C_\U0001F600.txt";
  std::u16string copyName(dir_.begin(), dir_.end());
  copyName += u"/\u00FC.bin";
  PSP_FH fh = psp_fileOpenW(wide.c_str(), 0, 0);
  ASSERT_NE(fh, nullptr);
  EXPECT_EQ(psp_fileLength(fh), 3u);
  psp_fileClose(fh);
  uint32_t isDir = 9;
  EXPECT_EQ(psp_fileValidateExW(wide.c_str(), 0, &isDir), 1);
  EXPECT_EQ(isDir, 0u);
  EXPECT_EQ(psp_fileCopyW(wide.c_str(), copyName.c_str()), PSP_OKAY);
  EXPECT_EQ(psp_fileCmpExW(wide.c_str(), 0, copyName.c_str(), 0), PSP_OKAY);
  EXPECT_EQ(get("\xC3\xBC.bin"), "abc");
  EXPECT_EQ(psp_fileRemoveExW(wide.c_str(), 0), PSP_OKAY);
  EXPECT_EQ(psp_fileValidate(utf8.c_str()), 0);
}

TEST_F(Files, ReadOnlyAndNoDiskFlagsInChildren) {
  put("f", "data");
  const std::string f = at("f");
  EXPECT_TRUE(runInChild(10, [&] {
                unsetenv("ZEB_TMPDIR");
                psp_setTmpDir(nullptr);
                psp_rdonly();
                PSP_FH fh = psp_fileOpen(f.c_str(), 0, 0);
                EXPECT_NE(fh, nullptr);
                EXPECT_EQ(psp_fileSync(fh), PSP_OKAY);
                psp_fileClose(fh);
                for (uint32_t mode : {PSP_FILE_WRONLY, RW, CREATE, TRUNC})
                  EXPECT_EQ(psp_fileOpen(f.c_str(), mode, 0), nullptr) << mode;
                EXPECT_EQ(psp_fileRemove(f.c_str()), PSP_ERR_SYSTEM);
                EXPECT_EQ(psp_fileCopy(f.c_str(), at("g").c_str()), PSP_ERR_SYSTEM);
                EXPECT_EQ(psp_tmpdir(PSP_TAG_DEFAULT), nullptr);
                return access(f.c_str(), F_OK) == 0 && access(at("g").c_str(), F_OK) != 0;
              }).ok());
  EXPECT_TRUE(runInChild(10, [&] {
                psp_nodisk();
                EXPECT_EQ(psp_fileOpen(f.c_str(), 0, 0), nullptr);
                EXPECT_EQ(psp_fileModTimeStat(f.c_str(), nullptr, nullptr), PSP_ERR_NOFILE);
                EXPECT_EQ(psp_fileValidate(f.c_str()), 0);
                EXPECT_EQ(psp_fileRemove(f.c_str()), PSP_ERR_SYSTEM);
                EXPECT_EQ(psp_fileCmp(f.c_str(), f.c_str()), PSP_ERR_OPENFIRST);
                return access(f.c_str(), F_OK) == 0;
              }).ok());
}

TEST_F(Files, CopyAndCompareAcrossBlockBoundaries) {
  for (size_t n : {0, 1, 1023, 1024, 1025, 3000, 70000}) {
    const std::string src = pattern(n);
    put("src", src);
    std::string flipped = src;
    for (size_t i = 0; i < n; i += 1000)
      flipped[i] ^= 0x20;
    const std::vector<std::string> destinations = {
        "<missing>", src, src + pattern(5000, 3), flipped, src.substr(0, n / 2), ""};
    for (const std::string &before : destinations) {
      psp_fileRemove(at("dst").c_str());
      if (before != "<missing>")
        put("dst", before);
      EXPECT_EQ(psp_fileCopy(at("src").c_str(), at("dst").c_str()), PSP_OKAY) << n;
      EXPECT_EQ(get("dst"), src) << n << " over " << before.size();
      EXPECT_EQ(psp_fileCmp(at("src").c_str(), at("dst").c_str()), PSP_OKAY);
    }
    put("dst", flipped);
    EXPECT_EQ(psp_fileCmp(at("src").c_str(), at("dst").c_str()), n ? PSP_ERR_SYSTEM : PSP_OKAY);
    put("dst", src + "x");
    EXPECT_EQ(psp_fileCmp(at("src").c_str(), at("dst").c_str()), PSP_ERR_SYSTEM) << "second longer";
    EXPECT_EQ(psp_fileCmp(at("dst").c_str(), at("src").c_str()), PSP_ERR_SYSTEM) << "first longer";
  }
  EXPECT_EQ(psp_fileCmp(at("missing").c_str(), at("src").c_str()), PSP_ERR_OPENFIRST);
  EXPECT_EQ(psp_fileCmp(at("src").c_str(), at("missing").c_str()), PSP_ERR_OPENSECOND);

  // Copying onto an identical file (or onto itself) writes nothing.
  put("same", pattern(3000));
  put("twin", pattern(3000));
  struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimes(at("twin").c_str(), old), 0);
  EXPECT_EQ(psp_fileCopy(at("same").c_str(), at("twin").c_str()), PSP_OKAY);
  EXPECT_EQ(psp_fileCopy(at("same").c_str(), at("same").c_str()), PSP_OKAY);
  int64_t mtime = 0;
  EXPECT_EQ(psp_fileModTimeStat(at("twin").c_str(), nullptr, &mtime), PSP_OKAY);
  EXPECT_EQ(mtime, 1000000000);
  EXPECT_EQ(get("same"), pattern(3000));
}

TEST_F(Files, ValidateAndTemporaryNames) {
  put("f", "x");
  uint32_t isDir = 7;
  EXPECT_EQ(psp_fileValidateEx(at("f").c_str(), 0, &isDir), 1);
  EXPECT_EQ(isDir, 0u);
  EXPECT_EQ(psp_fileValidateEx(dir_.c_str(), 0, &isDir), 1);
  EXPECT_EQ(isDir, 1u);
  isDir = 7;
  EXPECT_EQ(psp_fileValidateEx(at("missing").c_str(), 0, &isDir), 0);
  EXPECT_EQ(isDir, 7u);
  EXPECT_EQ(psp_fileValidate(at("f/child").c_str()), 0);

  setenv("ZEB_TMPDIR", "/nowhere/at/all", 1);
  uint32_t counter = 0;
  char *a = psp_fileCreateTmpName(&counter, nullptr, nullptr, nullptr, PSP_TAG_DEFAULT);
  char *b = psp_fileCreateTmpName(&counter, "log", "txt", nullptr, PSP_TAG_DEFAULT);
  unsetenv("ZEB_TMPDIR");
  ASSERT_TRUE(a && b);
  char expect[128];
  snprintf(expect, sizeof expect, "/nowhere/at/all/temp_%016llX_%010u_000.tmp",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&counter)),
           static_cast<unsigned>(getpid()));
  EXPECT_STREQ(a, expect);
  EXPECT_NE(std::strstr(b, "/log_"), nullptr);
  EXPECT_NE(std::strstr(b, "_001.txt"), nullptr);
  EXPECT_EQ(counter, 2u);
  psp_freeMem(a, PSP_TAG_DEFAULT, "test", 0);
  psp_freeMem(b, PSP_TAG_DEFAULT, "test", 0);
}

TEST_F(Files, TemporaryDirectoryChoice) {
  const std::string writable = at("w");
  ASSERT_EQ(mkdir(writable.c_str(), 0700), 0);
  EXPECT_TRUE(runInChild(10, [&] {
                setenv("ZEB_TMPDIR", "/does/not/exist", 1);
                char *forced = psp_tmpdir(PSP_TAG_DEFAULT);
                EXPECT_STREQ(forced, "/does/not/exist") << "taken unprobed";
                psp_freeMem(forced, PSP_TAG_DEFAULT, "test", 0);
                unsetenv("ZEB_TMPDIR");
                setenv("TEMP", at("absent").c_str(), 1);
                setenv("TMP", writable.c_str(), 1);
                psp_setTmpDir(nullptr);
                char *chosen = psp_tmpdir(PSP_TAG_DEFAULT);
                EXPECT_EQ(std::string(chosen ? chosen : ""), writable);
                psp_freeMem(chosen, PSP_TAG_DEFAULT, "test", 0);
                unsetenv("TMP");
                psp_setTmpDir(dir_.c_str());
                chosen = psp_tmpdir(PSP_TAG_DEFAULT);
                EXPECT_EQ(std::string(chosen ? chosen : ""), dir_)
                    << "the preferred directory comes first";
                psp_freeMem(chosen, PSP_TAG_DEFAULT, "test", 0);
                psp_setTmpDir(at("missing").c_str());
                setenv("TEMP", writable.c_str(), 1);
                chosen = psp_tmpdir(PSP_TAG_DEFAULT);
                EXPECT_EQ(std::string(chosen ? chosen : ""), writable)
                    << "an unusable preference is passed";
                psp_freeMem(chosen, PSP_TAG_DEFAULT, "test", 0);
                return true;
              }).ok());
  EXPECT_EQ(std::system(("test -z \"$(ls -A '" + writable + "')\"").c_str()), 0)
      << "the probe leaves nothing behind";
}

TEST(FilesConcurrency, OpenCloseStress) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  char tmpl[] = "/tmp/psp_files_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  {
    psp_test::Watchdog watchdog(60, "racing opens and closes");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        std::string name = std::string(tmpl) + "/t" + std::to_string(t);
        for (int i = 0; i < 300; ++i) {
          PSP_FH fh = psp_fileOpen(i % 3 ? name.c_str() : "stderr", RW | CREATE, 0);
          ASSERT_NE(fh, nullptr);
          if (i % 3) {
            EXPECT_EQ(psp_fileSeekWrite(fh, i, "x", 1), 1u);
          }
          psp_fileClose(fh);
        }
      });
    for (auto &t : threads)
      t.join();
  }
  psp_term();
  ASSERT_EQ(std::system((std::string("rm -rf ") + tmpl).c_str()), 0);
}

} // namespace
