// The Windows file backend's open statuses, seen below the public interface:
// the access-denied retry of a creating open, and the system's own error
// numbers handed to the library's callers.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "internal.h"
#include "platform/os.h"

namespace {

class WindowsBackend : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    char base[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof base, base), 0u);
    dir_ = std::string(base) + "psp_backend_" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
  }
  void TearDown() override {
    RemoveDirectoryA(dir_.c_str());
    psp_term();
  }
  std::string dir_;
};

TEST_F(WindowsBackend, OpenStatusesAndTheAccessDeniedRetry) {
  uint64_t native = 7;
  // A directory is no file: access denied, retried only by a creating open.
  EXPECT_EQ(psp::os::diskBackend.open(dir_.c_str(), PSP_FILE_RDWR | PSP_FILE_CREATE, 0, &native),
            PSP_ERR_NOFILE);
  EXPECT_EQ(native, 0u);
  EXPECT_EQ(psp::os::diskBackend.open(dir_.c_str(), PSP_FILE_RDONLY, 0, &native),
            static_cast<PSP_STATUS>(ERROR_ACCESS_DENIED));
  const std::string missing = dir_ + "\\missing.bin";
  EXPECT_EQ(psp::os::diskBackend.open(missing.c_str(), PSP_FILE_RDONLY, 0, &native),
            static_cast<PSP_STATUS>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(native, 0u);
  // Not UTF-8: no UTF-16 form to hand the system.
  EXPECT_EQ(psp::os::diskBackend.open("\xff.bin", PSP_FILE_RDONLY, 0, &native), PSP_ERR_NOMEMORY);
  // "std" itself must be lower case; the rest of the name may be in any case.
  EXPECT_EQ(psp::os::stdBackend.open("stdErR", 0, 0, &native), PSP_OKAY);
  EXPECT_EQ(psp::os::stdBackend.open("STDERR", 0, 0, &native), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp::os::stdBackend.open("xstdout", 0, 0, &native), PSP_ERR_SYSTEM);
  EXPECT_EQ(psp::os::stdBackend.open("stdout", 0, 0, nullptr), PSP_ERR_INVALIDPARAM);
}

} // namespace
