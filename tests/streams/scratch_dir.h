// The fixture of the stream and log tests: the library initialised and a
// scratch directory under the library's temporary directory, removed
// afterwards, with whole-file reads and writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "psp.h"

class ScratchDir : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
#ifdef _WIN32
    // A child that runInChild started works in its parent's directory.
    if (const char *parent = std::getenv("PSP_TEST_CHILD") ? std::getenv("PSP_SCRATCH") : nullptr) {
      dir_ = parent;
      return;
    }
#endif
    char *tmp = psp_tmpdir(PSP_TAG_DEFAULT);
    ASSERT_NE(tmp, nullptr);
    const std::string base = tmp;
    psp_freeMem(tmp, PSP_TAG_DEFAULT, "test", __LINE__);
    for (uint32_t n = 0; dir_.empty() && n < 1000; ++n) {
      const std::string name =
          base + "/psp_streams_" + std::to_string(psp_get_pid()) + "_" + std::to_string(n);
      if (psp_dirCreate(name.c_str()) == PSP_OKAY)
        dir_ = name;
    }
    ASSERT_FALSE(dir_.empty());
#ifdef _WIN32
    _putenv_s("PSP_SCRATCH", dir_.c_str());
#endif
  }
  void TearDown() override {
    psp_term();
    std::error_code ignored;
    ASSERT_GT(std::filesystem::remove_all(dir_, ignored), 0u);
  }
  std::string at(const std::string &name) const { return dir_ + "/" + name; }
  void put(const std::string &name, const std::string &bytes) const {
    FILE *f = std::fopen(at(name).c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  std::string get(const std::string &name) const {
    std::string bytes;
    if (FILE *f = std::fopen(at(name).c_str(), "rb")) {
      char chunk[4096];
      for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        bytes.append(chunk, n);
      std::fclose(f);
    }
    return bytes;
  }
  std::string dir_;
};

// Text as a stream writes it: a CR before each LF on Windows.
inline std::string lineEnds(const std::string &text) {
#ifdef _WIN32
  std::string out;
  for (char c : text) {
    if (c == '\n')
      out += '\r';
    out += c;
  }
  return out;
#else
  return text;
#endif
}
