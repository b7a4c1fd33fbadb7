// Loading the module this build makes: the suffix rule, the 512-byte bound, lookups and failure
// reasons.
#include "../scratch_dir.h"

#include <cerrno>
#include <tuple>

#ifdef _WIN32
#include <windows.h>
#endif

using psp_test::kSep;
using Load = ScratchDir;

namespace {

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

PSP_LIB const kUntouched = reinterpret_cast<PSP_LIB>(0x5A5A);

} // namespace

TEST_F(Load, SuffixRuleAndLookups) {
  const std::string inDotted = std::string("x.d") + kSep + "plugin";
  std::filesystem::create_directory(at("x.d"));
  std::filesystem::copy_file(kPlugin + kSuffix, at(inDotted + kSuffix));
  std::filesystem::copy_file(kPlugin + kSuffix, at(std::string("plug.v1") + kSuffix));
  // {name, status, psp_errno after a failure}
  const std::tuple<std::string, PSP_STATUS, uint32_t> cases[] = {
      {kPlugin, PSP_OKAY, 0},        // suffix added
      {at(inDotted), PSP_OKAY, 0},   // a '.' in a directory does not count
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
  for (const auto &[name, status, reason] : cases) {
    PSP_LIB lib = kUntouched;
    errno = 0;
    EXPECT_EQ(psp_load(name.c_str(), &lib), status) << name;
    if (status != PSP_OKAY) {
      EXPECT_EQ(lib, kUntouched) << name;
      EXPECT_EQ(psp_errno(), reason) << name;
      continue;
    }
    void *address = &address;
    EXPECT_EQ(psp_getFcnAddr(lib, "no_such_function", &address), PSP_OKAY);
    EXPECT_EQ(address, nullptr);
    if (name != kSystemLibrary) {
      ASSERT_EQ(psp_getFcnAddr(lib, "psp_test_plugin_answer", &address), PSP_OKAY);
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
  const std::pair<std::string, uint32_t> cases[] = {
      {at("fake"), kNotAnImage}, {fits, kLongMissing}, {fits + "b", kTooLong}};
  for (const auto &[name, reason] : cases) {
    PSP_LIB lib = kUntouched;
    EXPECT_EQ(psp_load(name.c_str(), &lib), PSP_NO) << name.size();
    EXPECT_EQ(lib, kUntouched);
    EXPECT_EQ(psp_errno(), reason) << name.size();
  }
  PSP_LIB lib = kUntouched;
  void *address = &lib;
  EXPECT_EQ(psp_load(nullptr, &lib) + psp_load("", &lib) + psp_load(kPlugin.c_str(), nullptr) +
                psp_getFcnAddr(nullptr, "f", &address) + psp_unload(nullptr),
            5 * PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(address, nullptr);
  EXPECT_EQ(lib, kUntouched);
}

TEST(LoadUninitialised, NeedsTheDefaultTag) {
  PSP_LIB lib = kUntouched;
  EXPECT_EQ(psp_load(kPlugin.c_str(), &lib), PSP_ERR_NOMEMORY);
  EXPECT_EQ(lib, kUntouched);
}
