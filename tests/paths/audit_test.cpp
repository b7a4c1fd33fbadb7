// Patterns whose fixed tail after the last '*' ends in a multi-byte character:
// the tail must be matched by characters, not by the name's last bytes.
#include "../scratch_dir.h"

#include <string>

using PathAudit = ScratchDir;

TEST_F(PathAudit, PatternTailWithMultiByteCharacters) {
  for (const char *name : {"caf\xC3\xA9", "na\xC3\xAFve1"})
    put(name, "x");
  // {pattern, the one name it lists, or none}
  // clang-format off
  const char *cases[][2] = {
      {"*af\xC3\xA9", "caf\xC3\xA9|"}, {"*AF\xC3\x89", "caf\xC3\xA9|"},
      {"*a?\xC3\xA9", "caf\xC3\xA9|"}, {"*na\xC3\xAFve1", "na\xC3\xAFve1|"},
      {"*ve#", "na\xC3\xAFve1|"}, {"*x?\xC3\xA9", ""}};
  // clang-format on
  for (const auto &[pattern, expected] : cases) {
    std::string seen;
    PSP_DIR it = psp_pathOpen(dir_.c_str(), pattern);
    while (const char *name = psp_pathNext(it, nullptr))
      seen += std::string(name) + "|";
    psp_pathClose(it);
    EXPECT_EQ(seen, expected) << pattern;
  }
}
