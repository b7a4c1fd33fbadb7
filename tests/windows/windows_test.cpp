// The Windows platform layer through the public interface, where no other
// test folder reaches it: the runtime's time, environment and loader calls,
// and the service manager. Built for Windows only.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "../watchdog.h"
#include "psp.h"

namespace {

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

TEST_F(Windows, RuntimeTimeEnvironmentAndLoader) {
  uint16_t fraction = 1;
  PSP_TM utc{};
  ASSERT_EQ(psp_timeUTC(&utc, &fraction), &utc);
  EXPECT_EQ(fraction % 10, 0);
  EXPECT_LT(fraction, 10000);
  EXPECT_GE(utc.year, 126);
  EXPECT_EQ(utc.yday, 0);
  const uint64_t first = psp_timeNanoSecs();
  EXPECT_GT(first, 0u);
  EXPECT_GE(psp_timeNanoSecs(), first);
  EXPECT_EQ(psp_timeLocaltime(-1, &utc), nullptr); // the runtime refuses it

  SetLastError(1234);
  EXPECT_EQ(psp_errno(), 1234u);
  EXPECT_GE(psp_getcpucount(), 1u);
  _wputenv_s(L"PSP_WIDE_TEST", L"\u00e9t\u00e9");
  const PSP_WCHAR *value = psp_getenvW(u"PSP_WIDE_TEST");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::u16string(value), u"\u00e9t\u00e9");
  void *locale = psp_createlocale(LC_ALL, "C");
  EXPECT_NE(locale, nullptr);
  psp_freelocale(locale);

  PSP_LIB lib = nullptr;
  ASSERT_EQ(psp_load("kernel32", &lib), PSP_OKAY); // bare: the system's search and ".dll"
  void *address = nullptr;
  EXPECT_EQ(psp_getFcnAddr(lib, "GetTickCount", &address), PSP_OKAY);
  EXPECT_NE(address, nullptr);
  EXPECT_EQ(psp_getFcnAddr(lib, "NoSuchFunction", &address), PSP_OKAY);
  EXPECT_EQ(address, nullptr);
  EXPECT_EQ(psp_unload(lib), PSP_OKAY);
  // A name with a directory gets ".DLL": the full name exists, the suffixed one not.
  char system[MAX_PATH];
  ASSERT_NE(GetSystemDirectoryA(system, sizeof system), 0u);
  lib = nullptr;
  EXPECT_EQ(psp_load((std::string(system) + "\\kernel32").c_str(), &lib), PSP_OKAY);
  psp_unload(lib);
  PSP_LIB untouched = reinterpret_cast<PSP_LIB>(8);
  EXPECT_EQ(psp_load((std::string(system) + "\\kernel32.dll").c_str(), &untouched), PSP_NO);
  EXPECT_EQ(untouched, reinterpret_cast<PSP_LIB>(8));
}

} // namespace

namespace {

DWORD storedCount(const wchar_t *name) {
  DWORD value = 0, size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zebrine\\Zebrine Store\\14.1\\Services", name,
                   RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
    return 0;
  return value;
}

std::string noted(const std::string &file) {
  char text[16] = {};
  if (FILE *f = fopen(file.c_str(), "r")) {
    fgets(text, sizeof text, f);
    fclose(f);
  }
  return text;
}

// Polls, without a time limit of its own: the watchdog ends a wait that hangs.
void waitFor(const std::string &file, const std::string &text) {
  while (noted(file) != text)
    Sleep(20);
}

int32_t consoleMain(uint32_t argument, void *flag) {
  *static_cast<bool *>(flag) = true;
  return static_cast<int32_t>(argument);
}

TEST_F(Windows, ServiceStartFallsBackToTheConsoleWithoutTheManager) {
  bool ran = false;
  EXPECT_EQ(psp_serviceStart("psp_never_installed", nullptr, 7, &ran, consoleMain), 7);
  EXPECT_TRUE(ran);
  // Counted as installed, but started from a console: the dispatcher's 1063.
  DWORD one = 1;
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zebrine\\Zebrine Store\\14.1\\Services",
                            L"psp_console_test", REG_DWORD, &one, sizeof one),
            ERROR_SUCCESS);
  ran = false;
  EXPECT_EQ(psp_serviceStart("psp_console_test", nullptr, 9, &ran, consoleMain), 9);
  EXPECT_TRUE(ran);
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zebrine\\Zebrine Store\\14.1\\Services",
                     L"psp_console_test");
  psp_serviceStarted(); // no service: nothing to tell
  psp_serviceDone();
}

TEST_F(Windows, ServiceInstallRunStopAndUninstallThroughTheManager) {
  psp_test::Watchdog watchdog(120);
  char self[MAX_PATH];
  ASSERT_NE(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
  std::string host = self;
  host = host.substr(0, host.find_last_of('\\') + 1) + "psp_service_host.exe";
  const std::string marker = dir_ + "\\state.txt";
  const char *name = "psp_wine_service";
  psp_serviceUninstall(name, name); // a leftover of an earlier run
  const DWORD before = storedCount(L"psp_wine_service");
  const std::string arguments = std::string(name) + " " + marker;
  ASSERT_EQ(psp_serviceInstall(name, name, "psp test service", "installed by the tests",
                               host.c_str(), arguments.c_str(), nullptr, nullptr),
            PSP_OKAY);
  EXPECT_EQ(storedCount(L"psp_wine_service"), before + 1);
  waitFor(marker, "started");
  EXPECT_EQ(psp_serviceInstall(name, name, "again", nullptr, host.c_str(), arguments.c_str(),
                               nullptr, nullptr),
            PSP_EXISTS);
  EXPECT_EQ(storedCount(L"psp_wine_service"), before + 1);
  EXPECT_EQ(psp_serviceUninstall(name, name), PSP_OKAY);
  waitFor(marker, "stopped");
  EXPECT_EQ(storedCount(L"psp_wine_service"), before);
  // Until its process has ended the service is only marked for deletion, and
  // removing it again fails (1072) rather than finding nothing.
  PSP_STATUS again;
  while ((again = psp_serviceUninstall(name, name)) == PSP_ERR_SYSTEM)
    Sleep(20);
  EXPECT_EQ(again, PSP_ERR_OPENFIRST);
}

} // namespace
