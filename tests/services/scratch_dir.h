// The service family's fixture: the shared scratch directory as the store's
// root, and the install counts where the platform keeps them.
#pragma once

#include "../scratch_dir.h"

#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

class ServiceDir : public ScratchDir {
protected:
  void SetUp() override {
    ScratchDir::SetUp();
    psp_test::setEnv("PSP_REGISTRY_ROOT", dir_.c_str());
  }
  // Writes a file below the directory (making its parents) with the given
  // mode; Windows keeps only its write bit.
  void put(const std::string &name, const std::string &bytes, int mode = 0644) const {
    std::error_code ec;
    std::filesystem::create_directories(psp_test::fsPath(at(name)).parent_path(), ec);
    ScratchDir::put(name, bytes);
    std::filesystem::permissions(psp_test::fsPath(at(name)), std::filesystem::perms(mode), ec);
  }
  static constexpr char kStore[] = "SOFTWARE/Zebrine/Zebrine Store/14.1/Services";

  // The install count of name: a registry value on Windows, a line of the
  // store under this root elsewhere. Setting 0 removes it.
#ifdef _WIN32
  static constexpr char kKey[] = "SOFTWARE\\Zebrine\\Zebrine Store\\14.1\\Services";
  static uint32_t count(const char *name) {
    DWORD value = 0, size = sizeof value;
    return RegGetValueA(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
                   ERROR_SUCCESS
               ? value
               : 0;
  }
  static void setCount(const char *name, uint32_t value) {
    if (value == 0)
      RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kKey, name);
    else
      ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kKey, name, REG_DWORD, &value, sizeof value),
                ERROR_SUCCESS);
  }
#else
  uint32_t count(const char *name) const {
    std::istringstream lines(get(kStore));
    const std::string key = std::string(name) + '=';
    for (std::string line; std::getline(lines, line);)
      if (line.compare(0, key.size(), key) == 0)
        return std::strtoul(line.c_str() + key.size(), nullptr, 10);
    return 0;
  }
  void setCount(const char *name, uint32_t value) const {
    put(kStore, std::string(name) + "=" + std::to_string(value) + "\n");
  }
#endif
};
