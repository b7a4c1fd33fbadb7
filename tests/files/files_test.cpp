// File handles and utilities through psp.h: modes, standard names, sharing and the lock, 64-bit
// positions, wide names, process flags, copy and compare, temporary names and directory.
#include "../scratch_dir.h"
#include "../watchdog.h"

#include <tuple>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;
using namespace psp_test;
using Files = ScratchDir;

namespace {

constexpr uint32_t RW = PSP_FILE_RDWR, WO = PSP_FILE_WRONLY, CREATE = PSP_FILE_CREATE,
                   TRUNC = PSP_FILE_TRUNCATE;

std::string pattern(size_t n, char salt = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>(i * 7 + i / 1024 + salt);
  return s;
}

// The offset after a seek; ~0 when it failed.
uint64_t seek(PSP_FH fh, int64_t offset, uint32_t method) {
  uint64_t pos = 0;
  return psp_fileSeek(fh, offset, method, &pos) == PSP_OKAY ? pos : ~0ull;
}

std::string tmpdirAnswer() {
  char *dir = psp_tmpdir(PSP_TAG_DEFAULT);
  std::string s = dir ? dir : "<none>";
  psp_freeMem(dir, PSP_TAG_DEFAULT, "test", 0);
  return s;
}

} // namespace

TEST_F(Files, OpenModesAndDispatchers) {
  const std::string name = at("a");
  const char *f = name.c_str();
  EXPECT_EQ(psp_fileOpen(f, 0, 0), nullptr) << "missing without the create bit";
  PSP_FH fh = psp_fileOpen(f, RW | CREATE, 0);
  ASSERT_NE(fh, nullptr);
  char buf[32] = {};
  EXPECT_EQ(psp_fileWrite(fh, "hello world", 11) + psp_fileWrite(fh, "x", 0), 11u);
  EXPECT_EQ(seek(fh, 6, 0), 6u);
  EXPECT_EQ(psp_fileRead(fh, buf, sizeof buf), 5u);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(psp_fileSeekWrite(fh, 2, "LL", 2), 2u);
  EXPECT_EQ(seek(fh, 0, 1), 4u) << "a positioned write leaves the offset after its bytes";
  EXPECT_EQ(psp_fileSeekRead(fh, 100, buf, 4), 0u) << "past the end";
  EXPECT_EQ(psp_fileSetSize(fh, 25000), PSP_OKAY);
  EXPECT_EQ(seek(fh, 0, 1), 25000u) << "growth leaves the offset at the new end";
  EXPECT_EQ(get("a"), "heLLo world" + std::string(25000 - 11, '\0'));
  EXPECT_EQ(psp_fileSetSize(fh, 5) + psp_fileSync(fh) + psp_filePageOut(fh, 1, 1), PSP_OKAY);
  EXPECT_EQ(psp_fileLength(fh), 5u);
  for (auto map : {psp_fileMap, psp_fileRemap, psp_fileUnmap})
    EXPECT_EQ(map(fh, nullptr, nullptr), PSP_ERR_NOTSUPPORTED);
  psp_fileClose(fh);

  fh = psp_fileOpen(f, 0, 0);
  EXPECT_EQ(psp_fileWrite(fh, "z", 1) + psp_fileSeekWrite(fh, 0, "z", 1), 0u) << "read only";
  EXPECT_EQ(psp_fileSetSize(fh, 0), PSP_ERR_WRITE);
  ASSERT_EQ(psp_stdout_openEx(nullptr, at("console.txt").c_str()), PSP_OKAY);
  EXPECT_EQ(seek(fh, 1, 3), 1u);
  psp_stdout_closeEx(nullptr);
  EXPECT_EQ(get("console.txt"), lineEnds("Invalid seek method, seeking from beginning\n"));
  uint64_t pos = 0;
  EXPECT_EQ(psp_fileSeek(fh, -5, 0, &pos), PSP_ERR_SYSTEM);
  psp_fileClose(fh);
  fh = psp_fileOpen(f, WO, 0);
  EXPECT_EQ(psp_fileRead(fh, buf, 4) + psp_fileSeekRead(fh, 0, buf, 4), 0u) << "write only";
  psp_fileClose(fh);
  psp_fileClose(psp_fileOpen(f, RW | CREATE, 0));
  EXPECT_EQ(get("a"), "heLLo") << "create alone keeps the contents";
  psp_fileClose(psp_fileOpen(f, TRUNC, 0));
  EXPECT_EQ(get("a"), "");
}

TEST_F(Files, BadInputCreatesAndTruncatesNothing) {
  put("keep", "data");
  const std::string longName = at(std::string(300, 'n')), invalid = at("bad\xff\xfe"),
                    orphan = at("no/such/parent"), missing = at("missing");
  const char16_t lone[] = {u'x', 0xD800, 0};
  for (const char *name : {static_cast<const char *>(nullptr), "", longName.c_str(),
                           invalid.c_str(), dir_.c_str(), orphan.c_str()})
    for (uint32_t mode : {0u, RW | CREATE, RW | TRUNC})
      EXPECT_EQ(psp_fileOpen(name, mode, 0), nullptr) << (name ? name : "NULL") << " " << mode;
  EXPECT_EQ(psp_fileOpenW(nullptr, RW | CREATE, 0), nullptr);
  EXPECT_EQ(psp_fileOpenW(lone, RW | CREATE, 0), nullptr);
  EXPECT_EQ(psp_fileRemove(invalid.c_str()) + psp_fileRemoveW(lone), 2 * PSP_ERR_NOMEMORY);
  for (const char *name : {static_cast<const char *>(nullptr), "", dir_.c_str()}) // nor a directory
    EXPECT_EQ(psp_fileRemove(name), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileRemove(missing.c_str()), PSP_OKAY);
  EXPECT_EQ(psp_fileCopyW(lone, u"x") + psp_fileCmpW(lone, u"x"), 2 * PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileValidateW(lone) + psp_fileValidate(nullptr), 0);
  for (auto [from, to] :
       {std::pair{std::string(), at("c")}, {at("keep"), dir_}, {missing, at("c")}})
    EXPECT_EQ(psp_fileCopy(from.empty() ? nullptr : from.c_str(), to.c_str()), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileCreateTmpName(nullptr, nullptr, nullptr, nullptr, PSP_TAG_DEFAULT), nullptr);
  int64_t mtime = 42;
  EXPECT_EQ(psp_fileModTimeStat(missing.c_str(), nullptr, &mtime), PSP_ERR_NOFILE);
  EXPECT_EQ(mtime, 42);
  EXPECT_EQ(psp_fileModTimeStat(at("keep").c_str(), nullptr, &mtime), PSP_OKAY);
  EXPECT_NEAR(static_cast<double>(mtime), static_cast<double>(time(nullptr)), 60.0);
  EXPECT_EQ(psp_fileRead(nullptr, &mtime, 1) + psp_fileLength(nullptr), 0u);
  psp_fileClose(nullptr);
  EXPECT_EQ(namesIn(dir_), std::set<std::string>{"keep"}) << "nothing was created";
  EXPECT_EQ(get("keep"), "data");
#ifndef _WIN32 // Windows has no FIFO among its files: its named pipes live apart
  const std::string fifo = at("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A FIFO with no one at the other end does not hold an open up.
  auto opens = [&] {
    return !psp_fileOpen(fifo.c_str(), WO, 0) && psp_fileOpen(fifo.c_str(), 0, 0);
  };
  EXPECT_TRUE(runInChild(10, opens).ok());
#endif
}

// Only the whole name, in any case, is a standard stream (Windows' refusal of upper case is the
// backend's, pinned by FileBackend.OpenStatuses).
TEST_F(Files, StandardNamesMatchedInFull) {
  auto body = [&] {
    fs::current_path(fsPath(dir_));
    psp_fileClose(psp_fileOpen("stdout", WO, 0));
#ifdef _WIN32
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(GetStdHandle(STD_OUTPUT_HANDLE), &flags))
#else
    EXPECT_NE(fcntl(1, F_GETFD), -1)
#endif
        << "closing never closes a standard stream";
    EXPECT_TRUE(namesIn(dir_).empty());
    for (const char *disk : {"stdio", "std", "stdout2"}) {
      psp_fileClose(psp_fileOpen(disk, RW | CREATE, 0));
      EXPECT_TRUE(fs::exists(disk)) << disk;
    }
    psp_nodisk();
    PSP_FH err = psp_fileOpen("stdErR", WO, 0);
    EXPECT_NE(err, nullptr) << "the flags do not apply to standard streams";
    EXPECT_EQ(psp_fileWrite(err, "", 0), 0u);
    psp_fileClose(err);
    return true;
  };
  EXPECT_TRUE(runInChild(10, body).ok());
}

// Across processes, then within one. What runs before the child also runs in it on Windows,
// where the parent's handle is open: there the put fails and the lock is not had, unchecked.
TEST_F(Files, LockAndSharingBetweenHandles) {
  put("f", "0123456789");
  const std::string name = at("f");
  const char *f = name.c_str();
  PSP_FH held = psp_fileOpen(f, 0, PSP_FILE_DENY_WRITE);
  const PSP_STATUS locked = psp_fileLock(held);
  EXPECT_TRUE(runInChild(10, [&] {
                PSP_FH reader = psp_fileOpen(f, 0, 0);
                EXPECT_EQ(psp_fileLock(reader), PSP_ERR_SYSTEM);
                psp_fileClose(reader);
                return reader != nullptr && psp_fileOpen(f, RW, 0) == nullptr;
              }).ok());
  EXPECT_EQ(locked, PSP_OKAY);
  psp_fileClose(held);
  for (uint32_t mode : {RW, 0u}) {
    PSP_FH a = psp_fileOpen(f, mode, 0), b = psp_fileOpen(f, mode, 0);
    EXPECT_EQ(psp_fileLock(a), PSP_OKAY);
    EXPECT_EQ(psp_fileLock(b), PSP_ERR_SYSTEM) << "held by another handle: fails at once";
    EXPECT_EQ(psp_fileUnlock(a) + psp_fileLock(b), PSP_OKAY);
    psp_fileClose(b); // the close drops its lock
    EXPECT_EQ(psp_fileLock(a), PSP_OKAY);
    psp_fileClose(a);
  }
  // {first open's mode, its denial, second open's mode, its denial, whether the second opens}
  const uint16_t DR = PSP_FILE_DENY_READ, DW = PSP_FILE_DENY_WRITE;
  const std::tuple<uint32_t, uint16_t, uint32_t, uint16_t, bool> cases[] = {
      {0, DW, RW, 0, false},           {0, DW, 0, 0, true},           {0, DW, WO, 0, false},
      {RW, 0, 0, DW, false},           {0, 0, 0, DW, true},           {WO, DR, 0, 0, false},
      {0, 0, WO, DR, false},           {WO, 0, WO, DR, true},         {RW, DR | DW, 0, 0, false},
      {RW, 0, RW | CREATE, DW, false}, {0, DW, RW | TRUNC, 0, false},
  };
  for (const auto &[mode1, deny1, mode2, deny2, opens] : cases) {
    PSP_FH first = psp_fileOpen(f, mode1, deny1), second = psp_fileOpen(f, mode2, deny2);
    EXPECT_EQ(second != nullptr, opens) << mode1 << "/" << deny1 << " " << mode2 << "/" << deny2;
    psp_fileClose(second);
    psp_fileClose(first);
    EXPECT_EQ(get("f"), "0123456789") << "a refused truncating open truncates nothing";
  }
}

TEST_F(Files, PositionsBeyondFourGiB) {
  PSP_FH fh = psp_fileOpen(at("sparse").c_str(), RW | CREATE, 0);
  const uint64_t beyond = (5ull << 30) + 3;
  char buf[8] = {};
  ASSERT_EQ(psp_fileSeekWrite(fh, beyond, "tail", 4), 4u);
  EXPECT_EQ(psp_fileLength(fh), beyond + 4);
  EXPECT_EQ(psp_fileSeekRead(fh, beyond - 2, buf, 8), 6u);
  EXPECT_EQ(std::string(buf, 6), std::string("\0\0tail", 6));
  EXPECT_EQ(seek(fh, -4, 2), beyond);
  EXPECT_EQ(seek(fh, 1ll << 32, 1), beyond + (1ull << 32));
  EXPECT_EQ(psp_fileSetSize(fh, (4ull << 30) + 1), PSP_OKAY);
  EXPECT_EQ(psp_fileLength(fh), (4ull << 30) + 1);
  psp_fileClose(fh);
}

TEST_F(Files, NonAsciiNamesInBothForms) {
  put("donn\303\251es_\346\227\245\346\234\254_\360\237\230\200.txt", "abc"); // UTF-8 of `wide`
  const std::u16string base = std::u16string(dir_.begin(), dir_.end()) + char16_t(kSep);
  const std::u16string wide = base + u"donn\u00E9es_\u65E5\u672C_\U0001F600.txt",
                       copy = base + u"\u00FC.bin";
  PSP_FH fh = psp_fileOpenW(wide.c_str(), 0, 0);
  EXPECT_EQ(psp_fileLength(fh), 3u);
  psp_fileClose(fh);
  uint32_t isDir = 9;
  EXPECT_EQ(psp_fileValidateExW(wide.c_str(), 0, &isDir), 1);
  EXPECT_EQ(isDir, 0u);
  EXPECT_EQ(psp_fileCopyW(wide.c_str(), copy.c_str()), PSP_OKAY);
  EXPECT_EQ(psp_fileCmpExW(wide.c_str(), 0, copy.c_str(), 0), PSP_OKAY);
  EXPECT_EQ(get("\xC3\xBC.bin"), "abc");
  EXPECT_EQ(psp_fileRemoveExW(wide.c_str(), 0), PSP_OKAY);
  EXPECT_EQ(psp_fileValidateW(wide.c_str()), 0);
}

// Read-only refuses every change; no-disk, every disk access. Flags outlive psp_term: in children.
TEST_F(Files, ReadOnlyAndNoDiskFlagsInChildren) {
  put("f", "data");
  const std::string f = at("f"), g = at("g");
  auto readOnly = [&] {
    setEnv("ZEB_TMPDIR", nullptr);
    psp_setTmpDir(nullptr);
    psp_rdonly();
    PSP_FH fh = psp_fileOpen(f.c_str(), 0, 0);
    EXPECT_EQ(psp_fileSync(fh), PSP_OKAY);
    psp_fileClose(fh);
    for (uint32_t mode : {WO, RW, CREATE, TRUNC})
      EXPECT_EQ(psp_fileOpen(f.c_str(), mode, 0), nullptr) << mode;
    EXPECT_EQ(psp_fileRemove(f.c_str()) + psp_fileCopy(f.c_str(), g.c_str()), 2 * PSP_ERR_SYSTEM);
    EXPECT_EQ(psp_tmpdir(PSP_TAG_DEFAULT), nullptr);
    return fh != nullptr && fs::exists(f) && !fs::exists(g);
  };
  auto noDisk = [&] {
    psp_nodisk();
    EXPECT_EQ(psp_fileOpen(f.c_str(), 0, 0), nullptr);
    EXPECT_EQ(psp_fileModTimeStat(f.c_str(), nullptr, nullptr), PSP_ERR_NOFILE);
    EXPECT_EQ(psp_fileValidate(f.c_str()), 0);
    EXPECT_EQ(psp_fileRemove(f.c_str()), PSP_ERR_SYSTEM);
    EXPECT_EQ(psp_fileCmp(f.c_str(), f.c_str()), PSP_ERR_OPENFIRST);
    return fs::exists(f);
  };
  EXPECT_TRUE(runInChild(10, readOnly).ok());
  EXPECT_TRUE(runInChild(10, noDisk).ok());
}

// Sizes around the 1024-byte block and past the 256 KiB span, copied over a missing, equal,
// longer, differing and shorter destination.
TEST_F(Files, CopyAndCompareAcrossBlockBoundaries) {
  const std::string src = at("src"), dst = at("dst");
  auto cmp = [&](const std::string &a, const std::string &b) {
    return psp_fileCmp(at(a).c_str(), at(b).c_str());
  };
  for (size_t n : {0, 1, 1023, 1024, 1025, 3000, 300000}) {
    const std::string bytes = pattern(n);
    put("src", bytes);
    std::string flipped = bytes;
    for (size_t i = 0; i < n; i += 1000)
      flipped[i] ^= 0x20;
    for (const std::string &before : {std::string("<missing>"), bytes, bytes + pattern(5000, 3),
                                      flipped, bytes.substr(0, n / 2)}) {
      psp_fileRemove(dst.c_str());
      if (before != "<missing>")
        put("dst", before);
      EXPECT_EQ(psp_fileCopy(src.c_str(), dst.c_str()), PSP_OKAY) << n;
      EXPECT_EQ(get("dst"), bytes) << n << " over " << before.size();
      EXPECT_EQ(cmp("src", "dst"), PSP_OKAY);
    }
    put("dst", flipped);
    EXPECT_EQ(cmp("src", "dst"), n ? PSP_ERR_SYSTEM : PSP_OKAY);
    put("dst", bytes + "x");
    EXPECT_EQ(cmp("src", "dst") + cmp("dst", "src"), 2 * PSP_ERR_SYSTEM) << "either longer";
  }
  EXPECT_EQ(cmp("missing", "src"), PSP_ERR_OPENFIRST);
  EXPECT_EQ(cmp("src", "missing"), PSP_ERR_OPENSECOND);
}

TEST_F(Files, ValidateAndTemporaryNames) {
  put("f", "x");
  // {name, whether it exists, the directory flag after (7: left alone)}
  for (auto [name, exists, dir] :
       {std::tuple{at("f"), 1, 0u}, {dir_, 1, 1u}, {at("missing"), 0, 7u}}) {
    uint32_t isDir = 7;
    EXPECT_EQ(psp_fileValidateEx(name.c_str(), 0, &isDir), exists) << name;
    EXPECT_EQ(isDir, dir) << name;
  }
  EXPECT_EQ(psp_fileValidate((at("f") + kSep + "child").c_str()), 0);

  setEnv("ZEB_TMPDIR", "/nowhere/at/all");
  uint32_t counter = 0;
  char *a = psp_fileCreateTmpName(&counter, nullptr, nullptr, nullptr, PSP_TAG_DEFAULT);
  char *b = psp_fileCreateTmpName(&counter, "log", "txt", nullptr, PSP_TAG_DEFAULT);
  setEnv("ZEB_TMPDIR", nullptr);
  for (auto [got, prefix, tail] : {std::tuple{a, "temp", "000.tmp"}, {b, "log", "001.txt"}}) {
    char want[128];
    snprintf(want, sizeof want, "/nowhere/at/all%c%s_%016llX_%010u_%s", kSep, prefix,
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&counter)),
             static_cast<unsigned>(psp_get_pid()), tail);
    EXPECT_STREQ(got, want);
    psp_freeMem(got, PSP_TAG_DEFAULT, "test", 0);
  }
  EXPECT_EQ(counter, 2u);
}

// The order of the candidates, each passed over when unusable; the platform's own is the Windows
// directory's "temp", or /tmp.
TEST_F(Files, TemporaryDirectoryChoice) {
  const std::string writable = at("w");
  fs::create_directory(fsPath(writable));
  auto choices = [&] {
    setEnv("ZEB_TMPDIR", "/does/not/exist");
    EXPECT_EQ(tmpdirAnswer(), "/does/not/exist") << "taken unprobed";
    setEnv("ZEB_TMPDIR", "");
    setEnv("TEMP", at("absent").c_str());
    setEnv("TMP", writable.c_str());
    psp_setTmpDir(nullptr);
    EXPECT_EQ(tmpdirAnswer(), writable) << "an empty value counts as unset";
    psp_setTmpDir(dir_.c_str());
    EXPECT_EQ(tmpdirAnswer(), dir_) << "the preferred directory comes first";
    psp_setTmpDir(at("missing").c_str());
    setEnv("TEMP", writable.c_str());
    EXPECT_EQ(tmpdirAnswer(), writable) << "an unusable preference is passed over";
    for (const char *name : {"TEMP", "TMP", "TMPDIR"})
      setEnv(name, nullptr);
    psp_setTmpDir(nullptr);
#ifdef _WIN32
    char windows[MAX_PATH];
    const UINT n = GetWindowsDirectoryA(windows, sizeof windows);
    const std::string system =
        std::string(windows, n) + (n > 0 && windows[n - 1] == '\\' ? "" : "\\") + "temp";
#else
    const std::string system = "/tmp";
#endif
    EXPECT_EQ(tmpdirAnswer(), system);
    // Last comes the current directory: the platform's own fails once the
    // probe's name is taken, as an existing name is never opened.
    char taken[512];
    snprintf(taken, sizeof taken, "%s%czeb_dirtest_tmp_%llX_%p", system.c_str(), kSep,
             static_cast<unsigned long long>(psp_get_pid()),
             reinterpret_cast<void *>(static_cast<uintptr_t>(psp_threadId())));
    EXPECT_TRUE(fs::create_directory(taken));
    psp_setTmpDir(nullptr);
    fs::current_path(fsPath(dir_));
    EXPECT_EQ(tmpdirAnswer(), dir_);
    return fs::remove(taken);
  };
  EXPECT_TRUE(runInChild(10, choices).ok());
  EXPECT_EQ(namesIn(dir_), std::set<std::string>{"w"});
  EXPECT_TRUE(namesIn(writable).empty()) << "the probe leaves nothing behind";
}

TEST(FilesBeforeInit, RefusedWithoutTouchingTheDisk) {
  uint32_t counter = 0;
  EXPECT_EQ(psp_fileOpen(".", 0, 0), nullptr);
  EXPECT_EQ(psp_fileRemove("psp-never-there"), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_fileValidate("."), 0);
  EXPECT_EQ(psp_fileCopy(".", "psp-never-there"), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp_fileCmp(".", "."), PSP_ERR_OPENFIRST);
  EXPECT_EQ(psp_tmpdir(PSP_TAG_DEFAULT), nullptr);
  EXPECT_EQ(psp_fileCreateTmpName(&counter, nullptr, nullptr, nullptr, PSP_TAG_DEFAULT), nullptr);
  EXPECT_FALSE(fs::exists("psp-never-there"));
}

TEST_F(Files, RacingOpensClosesAndFirstTemporaryChoicesConcurrency) {
  Watchdog watchdog(60);
  setEnv("ZEB_TMPDIR", nullptr);
  psp_setTmpDir(dir_.c_str());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      char *chosen = psp_tmpdir(PSP_TAG_THREAD);
      EXPECT_STREQ(chosen, dir_.c_str());
      psp_freeMem(chosen, PSP_TAG_THREAD, "test", 0);
      const std::string name = at("t" + std::to_string(t));
      for (int i = 0; i < 300; ++i) {
        PSP_FH fh = psp_fileOpen(i % 3 ? name.c_str() : "stderr", RW | CREATE, 0);
        EXPECT_EQ(psp_fileSeekWrite(fh, i, "", i % 3 ? 1 : 0), i % 3 ? 1u : 0u);
        psp_fileClose(fh);
      }
    });
  for (auto &t : threads)
    t.join();
  psp_setTmpDir(nullptr);
}
