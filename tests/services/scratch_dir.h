// A temporary directory per test, removed with its contents; file helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace psp_test {

inline std::string slurp(const std::string &path) {
  std::stringstream all;
  all << std::ifstream(path).rdbuf();
  return all.str();
}

// Writes text to path (making its directories) with the given mode.
inline void spill(const std::string &path, const std::string &text, mode_t mode = 0644) {
  std::string mkdir = "mkdir -p '" + path.substr(0, path.rfind('/')) + "'";
  ASSERT_EQ(std::system(mkdir.c_str()), 0);
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
}

class ScratchDir {
public:
  ScratchDir() {
    char pattern[] = "/tmp/psp_svc_XXXXXX";
    if (mkdtemp(pattern) != nullptr)
      path_ = pattern;
  }
  ~ScratchDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (!path_.empty() && std::system(command.c_str()) != 0)
      ADD_FAILURE() << command;
  }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }
  const std::string &path() const { return path_; }
  // The install-count store's file with this directory as its root.
  std::string store() const { return path_ + "/SOFTWARE/Zebrine/Zebrine Store/14.1/Services"; }

private:
  std::string path_;
};

} // namespace psp_test
