// Loading the module this build makes: the suffix rule, the 512-byte bound,
// lookups and failure reasons.
#include "psp.h"

#include "../scratch_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using psp_test::kSep;

#ifdef _WIN32
// The plugin is built next to this program.
std::string pluginDir() {
  char self[MAX_PATH];
  std::string path(self, GetModuleFileNameA(nullptr, self, sizeof self));
  return path.substr(0, path.find_last_of('\\'));
}
const std::string kPlugin = pluginDir() + "\\psp_test_plugin";
constexpr char kSuffix[] = ".dll", kSystemLibrary[] = "kernel32";
constexpr size_t kAdded = 4; // ".DLL"
constexpr uint32_t kMissing = ERROR_MOD_NOT_FOUND, kNotAnImage = ERROR_BAD_EXE_FORMAT,
                   kTooLong = ERROR_FILENAME_EXCED_RANGE,
                   kLongMissing = kTooLong; // past the system's own MAX_PATH
#else
const std::string kPlugin = std::string(PSP_TEST_PLUGIN_DIR) + "/psp_test_plugin";
constexpr char kSuffix[] = ".so", kSystemLibrary[] = "libm.so.6";
constexpr size_t kAdded = 3;
constexpr uint32_t kMissing = ENOENT, kNotAnImage = ENOEXEC, kTooLong = ENAMETOOLONG,
                   kLongMissing = ENOENT;
#endif

using Load = ScratchDir;

PSP_LIB const kUntouched = reinterpret_cast<PSP_LIB>(0x5A5A);

} // namespace

TEST_F(Load, SuffixRuleAndLookups) {
  std::filesystem::create_directory(at("x.d"));
  std::filesystem::copy_file(kPlugin + kSuffix, at(std::string("x.d") + kSep + "plugin" + kSuffix));
  std::filesystem::copy_file(kPlugin + kSuffix, at(std::string("plug.v1") + kSuffix));
  struct Case {
    std::string name;
    PSP_STATUS status;
    uint32_t reason; // psp_errno after a failure
  } cases[] = {
      {kPlugin, PSP_OKAY, 0}, // suffix added
      {at(std::string("x.d") + kSep + "plugin"), PSP_OKAY,
       0},                           // a '.' in a directory does not count
      {kSystemLibrary, PSP_OKAY, 0}, // bare: the loader's own search
      {at("missing"), PSP_NO, kMissing},
#ifdef _WIN32
      {kPlugin + kSuffix, PSP_NO, kMissing}, // ".DLL" all the same
      {at("plug.v1"), PSP_OKAY, 0},          // and after a '.' too
      {"psp_test_plugin", PSP_OKAY, 0},      // bare: the program's directory is searched
#else
      {kPlugin + kSuffix, PSP_OKAY, 0},      // has its own suffix
      {at("plug.v1"), PSP_NO, kMissing},     // a '.' in the last component counts
      {"psp_test_plugin", PSP_NO, kMissing}, // bare: no suffix, not on the search path
#endif
  };
  for (const Case &c : cases) {
    PSP_LIB lib = kUntouched;
    errno = 0;
    EXPECT_EQ(psp_load(c.name.c_str(), &lib), c.status) << c.name;
    if (c.status != PSP_OKAY) {
      EXPECT_EQ(lib, kUntouched) << c.name;
      EXPECT_EQ(psp_errno(), c.reason) << c.name;
      continue;
    }
    void *address = &address;
    EXPECT_EQ(psp_getFcnAddr(lib, "no_such_function", &address), PSP_OKAY);
    EXPECT_EQ(address, nullptr);
    if (c.name != kSystemLibrary) {
      ASSERT_EQ(psp_getFcnAddr(lib, "psp_test_plugin_answer", &address), PSP_OKAY);
      ASSERT_NE(address, nullptr);
      EXPECT_EQ(reinterpret_cast<int (*)()>(address)(), 42);
    }
    EXPECT_EQ(psp_unload(lib), PSP_OKAY);
  }
}

TEST_F(Load, FailuresAndTheNameBound) {
  put(std::string("fake") + kSuffix, "not an object\n");
  // A name that fits once the suffix is added reaches the loader; one byte more does not.
  std::string fits = dir_;
  while (fits.size() < 511 - kAdded)
    fits += fits.size() % 200 == 0 ? kSep : 'a';
  std::string tooLong = fits + "b";
  struct Case {
    std::string name;
    uint32_t reason;
  } cases[] = {{at("fake"), kNotAnImage}, {fits, kLongMissing}, {tooLong, kTooLong}};
  for (const Case &c : cases) {
    PSP_LIB lib = kUntouched;
    EXPECT_EQ(psp_load(c.name.c_str(), &lib), PSP_NO) << c.name.size();
    EXPECT_EQ(lib, kUntouched);
    EXPECT_EQ(psp_errno(), c.reason) << c.name.size();
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
