// The fixture of the file, path, stream and service tests: the library
// initialised and a scratch directory under its temporary directory, removed
// afterwards, with whole-file reads and writes; and the few things in which
// the platforms differ for a test (separator, environment, names). A child of
// runInChild on Windows, which replays the test, works in its parent's
// directory, named to it in the environment, and leaves none behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "psp.h"

namespace psp_test {

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif
inline constexpr char kSep = kWindows ? '\\' : '/';

// '/' written as the platform's separator.
inline std::string native(std::string path) {
  for (char &c : path)
    if (c == '/')
      c = kSep;
  return path;
}

// For this process and the children it starts; NULL removes the variable.
inline void setEnv(const char *name, const char *value) {
#ifdef _WIN32
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr)
    setenv(name, value, 1);
  else
    unsetenv(name);
#endif
}

// A UTF-8 name for std::filesystem, which reads narrow strings in the ANSI
// code page on Windows.
inline std::filesystem::path fsPath(const std::string &utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The names in a directory, "." and ".." left out.
inline std::set<std::string> namesIn(const std::string &dir) {
  std::set<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(fsPath(dir))) {
    const std::u8string name = entry.path().filename().u8string();
    names.emplace(name.begin(), name.end());
  }
  return names;
}

} // namespace psp_test

class ScratchDir : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    const char *inherited = std::getenv("PSP_TEST_SCRATCH");
    if (inherited != nullptr && std::getenv("PSP_TEST_CHILD") != nullptr) {
      dir_ = inherited;
      return;
    }
    char *tmp = psp_tmpdir(PSP_TAG_DEFAULT);
    ASSERT_NE(tmp, nullptr);
    const std::string base = tmp;
    psp_freeMem(tmp, PSP_TAG_DEFAULT, "test", __LINE__);
    const std::string suite =
        ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name();
    for (uint32_t n = 0; dir_.empty() && n < 1000; ++n) {
      const std::string name = base + psp_test::kSep + "psp_" + suite + "_" +
                               std::to_string(psp_get_pid()) + "_" + std::to_string(n);
      if (psp_dirCreate(name.c_str()) == PSP_OKAY)
        dir_ = name;
    }
    ASSERT_FALSE(dir_.empty());
    owner_ = true;
    psp_test::setEnv("PSP_TEST_SCRATCH", dir_.c_str());
  }
  void TearDown() override {
    psp_term();
    if (!owner_)
      return;
    psp_test::setEnv("PSP_TEST_SCRATCH", nullptr);
    std::error_code ignored;
    ASSERT_GT(std::filesystem::remove_all(psp_test::fsPath(dir_), ignored), 0u);
  }
  std::string at(const std::string &name) const { return dir_ + psp_test::kSep + name; }
  void put(const std::string &name, const std::string &bytes) const {
    std::ofstream(psp_test::fsPath(at(name)), std::ios::binary) << bytes;
  }
  // The file's bytes; "<missing>" when it cannot be read.
  std::string get(const std::string &name) const {
    std::ifstream in(psp_test::fsPath(at(name)), std::ios::binary);
    if (!in)
      return "<missing>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  std::string dir_;
  bool owner_ = false;
};

// Text as a stream writes it: a CR before each LF on Windows.
inline std::string lineEnds(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\n' && psp_test::kWindows)
      out += '\r';
    out += c;
  }
  return out;
}
