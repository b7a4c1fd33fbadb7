// Every backend slot and allocation failing at each call, with and without a jump: reported as
// stated, no descriptor open, no memory held; and the statuses of the backends' opens, with the
// platform's own error numbers.
#include "internal.h"
#include "platform/os.h"
#include "testing.h"
#include "../fault_walk.h"
#include "../scratch_dir.h"

#include <functional>
#include <tuple>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#endif

using namespace psp;
using namespace psp::testing;

namespace {

// Bytes in use in every tag the file layer allocates from.
uint64_t bytesInUse() {
  uint64_t sum = 0;
  for (PSP_MEMTAG tag : {fileTag(), PSP_TAG_THREAD, PSP_TAG_DEFAULT}) {
    PSP_MEMINFO info{};
    psp_getTagMemInfo(tag, &info);
    sum += info.counters[0];
  }
  return sum;
}

class FilesFault : public ScratchDir {
protected:
  void SetUp() override {
    ScratchDir::SetUp();
    a_ = at("a"), b_ = at("b");
    put("a", std::string(3000, 'a'));
    everything(); // the pspfile tag and the thread tag exist from here on
    psp_setTmpDir(dir_.c_str());
    base_ = bytesInUse();
    fds_ = openDescriptors();
  }
  void TearDown() override {
    psp_setTmpDir(nullptr);
    ScratchDir::TearDown();
  }
  // Every dispatcher and utility once.
  void everything() {
    if (PSP_FH fh = psp_fileOpen(a_.c_str(), PSP_FILE_RDWR, PSP_FILE_DENY_WRITE)) {
      char buf[16];
      uint64_t pos;
      psp_fileWrite(fh, "abc", 3);
      psp_fileSeek(fh, 0, 0, &pos);
      psp_fileRead(fh, buf, sizeof buf);
      psp_fileSeekWrite(fh, 1, "b", 1);
      psp_fileSeekRead(fh, 0, buf, sizeof buf);
      psp_fileSetSize(fh, psp_fileLength(fh) + 5);
      psp_fileSetSize(fh, 3000);
      psp_fileSync(fh);
      psp_filePageOut(fh, 0, 1);
      psp_fileLock(fh);
      psp_fileUnlock(fh);
      psp_fileClose(fh);
    }
    psp_fileCopy(a_.c_str(), b_.c_str());
    psp_fileCmp(a_.c_str(), b_.c_str());
    psp_fileCopyW(u"/nonexistent/x", u"/nonexistent/y");
    psp_fileValidate(b_.c_str());
    psp_fileModTimeStat(b_.c_str(), nullptr, nullptr);
    psp_fileRemove(b_.c_str());
    uint32_t counter = 0;
    psp_setTmpDir(dir_.c_str()); // the next name probes again
    psp_freeMem(psp_fileCreateTmpName(&counter, nullptr, nullptr, nullptr, PSP_TAG_THREAD),
                PSP_TAG_THREAD, "test", 0);
  }
  // The chosen temporary directory is dropped first: a failed probe rightly leaves none chosen.
  // A probe whose removal failed leaves its file, which would turn later probes away to the
  // system's directories: it goes.
  void nothingLeft() {
    psp_setTmpDir(dir_.c_str());
    for (const std::string &name : psp_test::namesIn(dir_))
      if (name.rfind("zeb_dirtest_tmp_", 0) == 0)
        std::filesystem::remove(at(name));
    EXPECT_EQ(openDescriptors(), fds_);
    EXPECT_EQ(bytesInUse(), base_);
  }
  // Descriptors the process has open; on Windows the scratch files held open, as one refuses an
  // open that shares nothing (Wine's GetProcessHandleCount always answers 0).
  int openDescriptors() const {
    int n = 0;
#ifdef _WIN32
    for (const std::string &name : psp_test::namesIn(dir_)) {
      HANDLE h = CreateFileA(at(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      n += h == INVALID_HANDLE_VALUE;
      CloseHandle(h);
    }
#else
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr)
      ++n;
    closedir(d);
#endif
    return n;
  }
  std::string a_, b_;
  uint64_t base_ = 0;
  int fds_ = 0;
};

} // namespace

TEST_F(FilesFault, EveryOperationFailingAtEveryCall) {
  for (uint32_t op = 0; op < kFileOpCount; ++op)
    walk(
        g_failFileOp[op], [&] { everything(); }, [&] { nothingLeft(); });
  put("a", std::string(3000, 'a'));
  EXPECT_EQ(psp_fileCmp(a_.c_str(), a_.c_str()), PSP_OKAY) << "still working";
  for (int armed = 0; armed <= 1; ++armed) { // and every allocation, with and without the jump
    jmp_buf jump;
    psp_resetTag(armed ? &jump : nullptr, PSP_TAG_THREAD);
    walk(
        g_failAllocation, [&] { leavesByJump(jump, [&] { everything(); }); },
        [&] { nothingLeft(); });
    psp_resetTag(nullptr, PSP_TAG_THREAD);
  }
}

TEST_F(FilesFault, FailuresReportedAsStated) {
  const char *a = a_.c_str(), *b = b_.c_str();
  PSP_FH fh = psp_fileOpen(a, PSP_FILE_RDWR, 0);
  char buf[8];
  uint64_t pos;
  // {operation, which call of it fails, b's contents first ("-": left alone), call, result}
  const std::tuple<FileOp, uint64_t, std::string, std::function<int64_t()>, int64_t> cases[] = {
      {kFileRead, 1, "-", [&] { return psp_fileRead(fh, buf, 8); }, 0},
      {kFileWrite, 1, "-", [&] { return psp_fileWrite(fh, buf, 8); }, 0},
      {kFileSeekRead, 1, "-", [&] { return psp_fileSeekRead(fh, 0, buf, 8); }, 0},
      {kFileSeekWrite, 1, "-", [&] { return psp_fileSeekWrite(fh, 0, buf, 8); }, 0},
      {kFileLength, 1, "-", [&] { return psp_fileLength(fh); }, 0},
      {kFileSeek, 1, "-", [&] { return psp_fileSeek(fh, 0, 0, &pos); }, PSP_ERR_SYSTEM},
      {kFileSetSize, 1, "-", [&] { return psp_fileSetSize(fh, 1); }, PSP_ERR_SYSTEM},
      {kFileLock, 1, "-", [&] { return psp_fileLock(fh); }, PSP_ERR_SYSTEM},
      {kFileOpen, 1, "-", [&] { return psp_fileOpen(a, 0, 0) != nullptr; }, 0},
      // the destination was never created
      {kFileOpen, 2, "-", [&] { return psp_fileCopy(a, b) + psp_fileValidate(b); }, PSP_ERR_SYSTEM},
      {kFileSeekRead, 1, "", [&] { return psp_fileCopy(a, b); }, PSP_ERR_SYSTEM},
      {kFileSetSize, 1, std::string(5000, 'a'), [&] { return psp_fileCopy(a, b); }, PSP_ERR_SYSTEM},
      {kFileSeekWrite, 1, std::string(3000, 'b'), [&] { return psp_fileCopy(a, b); },
       PSP_ERR_SYSTEM},
      {kFileOpen, 1, "-", [&] { return psp_fileCmp(a, b); }, PSP_ERR_OPENFIRST},
      {kFileOpen, 2, "-", [&] { return psp_fileCmp(a, b); }, PSP_ERR_OPENSECOND},
      {kFileRemove, 1, "-", [&] { return psp_fileRemove(b); }, PSP_ERR_SYSTEM},
      {kFileStat, 1, "-", [&] { return psp_fileModTimeStat(b, nullptr, nullptr); }, PSP_ERR_STAT},
      {kFileStat, 1, "-", [&] { return psp_fileValidate(b); }, 0},
  };
  for (const auto &[op, nth, before, call, expected] : cases) {
    if (before != "-")
      put("b", before);
    g_failFileOp[op].arm(nth);
    EXPECT_EQ(call(), expected) << "operation " << op << ", call " << nth;
    g_failFileOp[op].disarm();
  }
  psp_fileClose(fh);
  nothingLeft();
}

TEST_F(FilesFault, CopyRewritesOnlyDifferingBlocks) {
  const std::string a(3000, 'a');
  put("a", a);
  // {the destination's contents first ("-": the source itself), the block writes of the copy}
  const std::pair<std::string, uint64_t> cases[] = {
      {a, 0},
      {"-", 0},
      {a + "tail", 0}, // the last only truncated
      {std::string(1024, 'a') + "x" + std::string(1975, 'a'), 1},
      {"x" + std::string(2047, 'a') + "x" + std::string(951, 'a'), 2}};
  for (const auto &[before, writes] : cases) {
    const char *to = before == "-" ? "a" : "b";
    put(to, before == "-" ? a : before);
    g_failFileOp[kFileSeekWrite].arm(~0ull); // counts, never fails
    EXPECT_EQ(psp_fileCopy(a_.c_str(), at(to).c_str()), PSP_OKAY);
    EXPECT_EQ(g_failFileOp[kFileSeekWrite].seen(), writes) << before.size();
    g_failFileOp[kFileSeekWrite].disarm();
    EXPECT_EQ(get(to), a);
  }
}

using FileBackend = ScratchDir;

// A directory is no file, a missing file is the system's own error number, and "std" must be in
// lower case for Windows' standard-stream open.
TEST_F(FileBackend, OpenStatuses) {
#ifdef _WIN32
  // Access denied, retried only by a creating open, which gives up after ten tries.
  const PSP_STATUS directory = ERROR_ACCESS_DENIED, creatingDirectory = PSP_ERR_NOFILE,
                   missing = ERROR_FILE_NOT_FOUND, upperStd = PSP_ERR_SYSTEM;
#else
  const PSP_STATUS directory = EISDIR, creatingDirectory = EISDIR, missing = ENOENT,
                   upperStd = PSP_OKAY;
#endif
  uint64_t native = 7;
  const PSP_FILE_BACKEND &disk = os::diskBackend, &stdio = os::stdBackend;
  EXPECT_EQ(disk.open(dir_.c_str(), PSP_FILE_RDWR | PSP_FILE_CREATE, 0, &native),
            creatingDirectory);
  EXPECT_EQ(native, 0u);
  EXPECT_EQ(disk.open(dir_.c_str(), PSP_FILE_RDONLY, 0, &native), directory);
  EXPECT_EQ(disk.open(at("missing.bin").c_str(), PSP_FILE_RDONLY, 0, &native), missing);
  EXPECT_EQ(native, 0u);
  EXPECT_EQ(disk.open("\xff.bin", PSP_FILE_RDONLY, 0, &native), PSP_ERR_NOMEMORY);
  EXPECT_EQ(stdio.open("stdErR", 0, 0, &native), PSP_OKAY);
  EXPECT_EQ(stdio.open("STDERR", 0, 0, &native), upperStd);
  EXPECT_EQ(stdio.open("xstdout", 0, 0, &native), PSP_ERR_SYSTEM);
  EXPECT_EQ(stdio.open("stdout", 0, 0, nullptr), PSP_ERR_INVALIDPARAM);
}
