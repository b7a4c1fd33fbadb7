// The fixture of the stream and log tests: the library initialised and a
// scratch directory, removed afterwards, with whole-file reads and writes.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "psp.h"

class ScratchDir : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    char tmpl[] = "/tmp/psp_streams_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    psp_term();
    ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
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
