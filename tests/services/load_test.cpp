// Loading the module this build makes: the suffix rule, the 512-byte bound,
// lookups and failure reasons.
#include "psp.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kPlugin = std::string(PSP_TEST_PLUGIN_DIR) + "/psp_test_plugin";

class Load : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(psp_init(), PSP_OKAY); }
  void TearDown() override { psp_term(); }
  psp_test::ScratchDir scratch_;
  const std::string &dir_ = scratch_.path();
};

PSP_LIB const kUntouched = reinterpret_cast<PSP_LIB>(0x5A5A);

} // namespace

TEST_F(Load, SuffixRuleAndLookups) {
  ASSERT_EQ(mkdir((dir_ + "/x.d").c_str(), 0755), 0);
  ASSERT_EQ(symlink((kPlugin + ".so").c_str(), (dir_ + "/x.d/plugin.so").c_str()), 0);
  ASSERT_EQ(symlink((kPlugin + ".so").c_str(), (dir_ + "/plug.v1.so").c_str()), 0);
  struct Case {
    std::string name;
    PSP_STATUS status;
    int reason; // errno after a failure
  } cases[] = {
      {kPlugin, PSP_OKAY, 0},              // ".so" added
      {kPlugin + ".so", PSP_OKAY, 0},      // has its own suffix
      {dir_ + "/x.d/plugin", PSP_OKAY, 0}, // a '.' in a directory does not count
      {dir_ + "/plug.v1", PSP_NO, ENOENT}, // a '.' in the last component does
      {"libm.so.6", PSP_OKAY, 0},          // bare: the loader's own search
      {"psp_test_plugin", PSP_NO, ENOENT}, // bare: no suffix, not on the search path
      {dir_ + "/missing", PSP_NO, ENOENT},
  };
  for (const Case &c : cases) {
    PSP_LIB lib = kUntouched;
    errno = 0;
    EXPECT_EQ(psp_load(c.name.c_str(), &lib), c.status) << c.name;
    if (c.status != PSP_OKAY) {
      EXPECT_EQ(lib, kUntouched) << c.name;
      EXPECT_EQ(psp_errno(), static_cast<uint32_t>(c.reason)) << c.name;
      continue;
    }
    void *address = &address;
    EXPECT_EQ(psp_getFcnAddr(lib, "no_such_function", &address), PSP_OKAY);
    EXPECT_EQ(address, nullptr);
    if (c.name.find("psp_test_plugin") != std::string::npos ||
        c.name.find("x.d") != std::string::npos) {
      ASSERT_EQ(psp_getFcnAddr(lib, "psp_test_plugin_answer", &address), PSP_OKAY);
      ASSERT_NE(address, nullptr);
      EXPECT_EQ(reinterpret_cast<int (*)()>(address)(), 42);
    }
    EXPECT_EQ(psp_unload(lib), PSP_OKAY);
  }
}

TEST_F(Load, FailuresAndTheNameBound) {
  psp_test::spill(dir_ + "/fake.so", "not an object\n");
  // A name that fits once ".so" is added reaches the loader; one byte more does not.
  std::string fits = dir_;
  while (fits.size() < 508)
    fits += fits.size() % 200 == 0 ? '/' : 'a';
  std::string tooLong = fits + "b";
  struct Case {
    std::string name;
    int reason;
  } cases[] = {{dir_ + "/fake.so", ENOEXEC}, {fits, ENOENT}, {tooLong, ENAMETOOLONG}};
  for (const Case &c : cases) {
    PSP_LIB lib = kUntouched;
    EXPECT_EQ(psp_load(c.name.c_str(), &lib), PSP_NO) << c.name.size();
    EXPECT_EQ(lib, kUntouched);
    EXPECT_EQ(psp_errno(), static_cast<uint32_t>(c.reason)) << c.name.size();
  }
  PSP_LIB lib = kUntouched;
  void *address = &lib;
  EXPECT_EQ(psp_load(nullptr, &lib), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_load("", &lib), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_load(kPlugin.c_str(), nullptr), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_getFcnAddr(nullptr, "f", &address), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(address, nullptr);
  EXPECT_EQ(psp_unload(nullptr), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(lib, kUntouched);
}

TEST(LoadUninitialised, NeedsTheDefaultTag) {
  PSP_LIB lib = kUntouched;
  EXPECT_EQ(psp_load(kPlugin.c_str(), &lib), PSP_ERR_NOMEMORY);
  EXPECT_EQ(lib, kUntouched);
}
