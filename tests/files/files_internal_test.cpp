// Every backend slot and allocation failing at each call, with and without a
// jump: reported as stated, no descriptor open, no memory held.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdlib>
#include <functional>
#include <string>

#include "internal.h"
#include "testing.h"
#include "../fault_walk.h"

namespace {

using psp::testing::g_failAllocation;
using psp::testing::g_failFileOp;
using psp::testing::leavesByJump;
using psp::testing::walk;

// Bytes in use in every tag the file layer allocates from.
uint64_t bytesInUse() {
  uint64_t sum = 0;
  for (PSP_MEMTAG tag : {psp::fileTag(), PSP_TAG_THREAD, PSP_TAG_DEFAULT}) {
    PSP_MEMINFO info{};
    psp_getTagMemInfo(tag, &info);
    sum += info.counters[0];
  }
  return sum;
}

int openDescriptors() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr)
    ++n;
  closedir(d);
  return n;
}

class FilesFault : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    char tmpl[] = "/tmp/psp_fault_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    a_ = dir_ + "/a", b_ = dir_ + "/b";
    write(a_, std::string(3000, 'a'));
    psp_setTmpDir(dir_.c_str());
    everything(); // the pspfile tag and the thread tag exist from here on
    psp_setTmpDir(dir_.c_str());
    base_ = bytesInUse();
    fds_ = openDescriptors();
  }
  void TearDown() override {
    psp_setTmpDir(nullptr);
    psp_term();
    ASSERT_EQ(std::system(("rm -rf " + dir_).c_str()), 0);
  }
  void write(const std::string &name, const std::string &bytes) {
    PSP_FH fh = psp_fileOpen(name.c_str(), PSP_FILE_RDWR | PSP_FILE_TRUNCATE, 0);
    ASSERT_NE(fh, nullptr);
    psp_fileWrite(fh, bytes.data(), static_cast<uint32_t>(bytes.size()));
    psp_fileClose(fh);
  }
  // Every dispatcher and utility once.
  void everything() {
    PSP_FH fh = psp_fileOpen(a_.c_str(), PSP_FILE_RDWR, PSP_FILE_DENY_WRITE);
    if (fh != nullptr) {
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
  // The chosen temporary directory is dropped first: a failed probe rightly
  // leaves none chosen.
  void nothingLeft() {
    psp_setTmpDir(dir_.c_str());
    EXPECT_EQ(openDescriptors(), fds_);
    EXPECT_EQ(bytesInUse(), base_);
  }
  std::string dir_, a_, b_;
  uint64_t base_ = 0;
  int fds_ = 0;
};

TEST_F(FilesFault, EveryOperationFailingAtEveryCall) {
  for (uint32_t op = 0; op < psp::kFileOpCount; ++op)
    walk(
        g_failFileOp[op], [&] { everything(); }, [&] { nothingLeft(); });
  write(a_, std::string(3000, 'a'));
  EXPECT_EQ(psp_fileCmp(a_.c_str(), a_.c_str()), PSP_OKAY) << "still working";
}

TEST_F(FilesFault, FailuresReportedAsStated) {
  const char *a = a_.c_str(), *b = b_.c_str();
  PSP_FH fh = psp_fileOpen(a, PSP_FILE_RDWR, 0);
  char buf[8];
  uint64_t pos;
  using psp::FileOp;
  const struct {
    FileOp op;
    uint64_t nth;
    std::string before; // contents of b_ first; "-" leaves it alone
    std::function<int64_t()> call;
    int64_t expected;
  } cases[] = {
      {psp::kFileRead, 1, "-", [&] { return psp_fileRead(fh, buf, 8); }, 0},
      {psp::kFileWrite, 1, "-", [&] { return psp_fileWrite(fh, buf, 8); }, 0},
      {psp::kFileSeekRead, 1, "-", [&] { return psp_fileSeekRead(fh, 0, buf, 8); }, 0},
      {psp::kFileSeekWrite, 1, "-", [&] { return psp_fileSeekWrite(fh, 0, buf, 8); }, 0},
      {psp::kFileLength, 1, "-", [&] { return psp_fileLength(fh); }, 0},
      {psp::kFileSeek, 1, "-", [&] { return psp_fileSeek(fh, 0, 0, &pos); }, PSP_ERR_SYSTEM},
      {psp::kFileSetSize, 1, "-", [&] { return psp_fileSetSize(fh, 1); }, PSP_ERR_SYSTEM},
      {psp::kFileLock, 1, "-", [&] { return psp_fileLock(fh); }, PSP_ERR_SYSTEM},
      {psp::kFileOpen, 1, "-", [&] { return psp_fileOpen(a, 0, 0) != nullptr; }, 0},
      {psp::kFileOpen, 2, "-", [&] { return psp_fileCopy(a, b) + psp_fileValidate(b); },
       PSP_ERR_SYSTEM}, // and the destination was never created
      {psp::kFileSeekRead, 1, "", [&] { return psp_fileCopy(a, b); }, PSP_ERR_SYSTEM},
      {psp::kFileSetSize, 1, std::string(5000, 'a'), [&] { return psp_fileCopy(a, b); },
       PSP_ERR_SYSTEM},
      {psp::kFileSeekWrite, 1, std::string(3000, 'b'), [&] { return psp_fileCopy(a, b); },
       PSP_ERR_SYSTEM},
      {psp::kFileOpen, 1, "-", [&] { return psp_fileCmp(a, b); }, PSP_ERR_OPENFIRST},
      {psp::kFileOpen, 2, "-", [&] { return psp_fileCmp(a, b); }, PSP_ERR_OPENSECOND},
      {psp::kFileRemove, 1, "-", [&] { return psp_fileRemove(b); }, PSP_ERR_SYSTEM},
      {psp::kFileStat, 1, "-", [&] { return psp_fileModTimeStat(b, nullptr, nullptr); },
       PSP_ERR_STAT},
      {psp::kFileStat, 1, "-", [&] { return psp_fileValidate(b); }, 0},
  };
  for (const auto &c : cases) {
    if (c.before != "-")
      write(b_, c.before);
    g_failFileOp[c.op].arm(c.nth);
    EXPECT_EQ(c.call(), c.expected) << "operation " << c.op << ", call " << c.nth;
    g_failFileOp[c.op].disarm();
  }
  psp_fileClose(fh);
  nothingLeft();
}

TEST_F(FilesFault, CopyRewritesOnlyDifferingBlocks) {
  auto writesFor = [&](const std::string &before) {
    write(b_, before);
    g_failFileOp[psp::kFileSeekWrite].arm(~0ull); // counts, never fails
    EXPECT_EQ(psp_fileCopy(a_.c_str(), b_.c_str()), PSP_OKAY);
    uint64_t calls = g_failFileOp[psp::kFileSeekWrite].seen();
    g_failFileOp[psp::kFileSeekWrite].disarm();
    EXPECT_EQ(psp_fileCmp(a_.c_str(), b_.c_str()), PSP_OKAY);
    return calls;
  };
  std::string a(3000, 'a');
  write(a_, a);
  EXPECT_EQ(writesFor(a), 0u);
  EXPECT_EQ(writesFor(a + "tail"), 0u) << "only truncated";
  EXPECT_EQ(writesFor(std::string(1024, 'a') + "x" + std::string(1975, 'a')), 1u);
  EXPECT_EQ(writesFor("x" + std::string(2047, 'a') + "x" + std::string(951, 'a')), 2u);
}

TEST_F(FilesFault, AllocationFailuresWithAndWithoutJump) {
  for (int armed = 0; armed <= 1; ++armed) {
    jmp_buf jump;
    psp_resetTag(armed ? &jump : nullptr, PSP_TAG_THREAD);
    walk(
        g_failAllocation, [&] { leavesByJump(jump, [&] { everything(); }); },
        [&] { nothingLeft(); });
    psp_resetTag(nullptr, PSP_TAG_THREAD);
  }
}

} // namespace
