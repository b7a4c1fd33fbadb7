// A temporary directory per test, removed with its contents; file and
// environment helpers, and the install counts where the platform keeps them.
#pragma once

#include "psp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace psp_test {

#ifdef _WIN32
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif

inline std::string slurp(const std::string &path) {
  std::stringstream all;
  all << std::ifstream(path, std::ios::binary).rdbuf();
  return all.str();
}

// Writes text to path (making its directories) with the given mode; Windows
// keeps only its write bit.
inline void spill(const std::string &path, const std::string &text, int mode = 0644) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream(path, std::ios::binary) << text;
  std::filesystem::permissions(path, static_cast<std::filesystem::perms>(mode), ec);
}

// NULL removes the variable.
inline void setEnv(const char *name, const char *value) {
#ifdef _WIN32
  _putenv_s(name, value != nullptr ? value : "");
#else
  value != nullptr ? setenv(name, value, 1) : unsetenv(name);
#endif
}

class ScratchDir {
public:
  ScratchDir() {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    for (unsigned i = 0; path_.empty() && i < 1000; ++i) {
      auto candidate =
          base / ("psp_svc_" + std::to_string(psp_get_pid()) + "_" + std::to_string(i));
      if (std::filesystem::create_directory(candidate, ec))
        path_ = candidate.string();
    }
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty() && std::filesystem::remove_all(path_, ec) == static_cast<std::uintmax_t>(-1))
      ADD_FAILURE() << "cannot remove " << path_;
  }
  std::string operator/(const std::string &name) const { return path_ + kSep + name; }
  const std::string &path() const { return path_; }
  // The install-count store's file with this directory as its root.
  std::string store() const { return path_ + "/SOFTWARE/Zebrine/Zebrine Store/14.1/Services"; }

  // The install count of name: a registry value on Windows, a line of the
  // store under this root elsewhere. Setting 0 removes it.
#ifdef _WIN32
  static constexpr char kKey[] = "SOFTWARE\\Zebrine\\Zebrine Store\\14.1\\Services";
  uint32_t count(const char *name) const {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS)
      return 0;
    return value;
  }
  void setCount(const char *name, uint32_t value) const {
    if (value == 0)
      RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kKey, name);
    else
      ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kKey, name, REG_DWORD, &value, sizeof value),
                ERROR_SUCCESS);
  }
#else
  uint32_t count(const char *name) const {
    std::istringstream lines(slurp(store()));
    const std::string key = std::string(name) + "=";
    for (std::string line; std::getline(lines, line);)
      if (line.compare(0, key.size(), key) == 0)
        return std::strtoul(line.c_str() + key.size(), nullptr, 10);
    return 0;
  }
  void setCount(const char *name, uint32_t value) const {
    spill(store(), std::string(name) + "=" + std::to_string(value) + "\n");
  }
#endif

private:
  std::string path_;
};

} // namespace psp_test
