// Edge cases of the temporary directory and temporary names that a caller
// can see: environment values that are set but empty.
#include <gtest/gtest.h>

#include <string>

#include "../scratch_dir.h"
#include "../watchdog.h"
#include "psp.h"

namespace {

using psp_test::runInChild;
using psp_test::setEnv;

using FilesAudit = ScratchDir;

std::string tmpdirAnswer() {
  char *dir = psp_tmpdir(PSP_TAG_DEFAULT);
  std::string s = dir ? dir : "<none>";
  psp_freeMem(dir, PSP_TAG_DEFAULT, "test", 0);
  return s;
}

// An empty "ZEB_TMPDIR" would put every temporary name at the root: it
// counts as unset, like the other variables of the choice.
TEST_F(FilesAudit, EmptyForcedTemporaryDirectoryCountsAsUnset) {
  EXPECT_TRUE(runInChild(10, [&] {
                setEnv("ZEB_TMPDIR", nullptr);
                psp_setTmpDir(dir_.c_str());
                const std::string chosen = tmpdirAnswer();
                setEnv("ZEB_TMPDIR", "");
                const std::string answer = tmpdirAnswer();
                uint32_t counter = 0;
                char *name =
                    psp_fileCreateTmpName(&counter, nullptr, nullptr, nullptr, PSP_TAG_DEFAULT);
                const bool inChosen = name != nullptr && std::string(name).rfind(chosen, 0) == 0;
                psp_freeMem(name, PSP_TAG_DEFAULT, "test", 0);
                EXPECT_EQ(chosen, dir_);
                EXPECT_EQ(answer, dir_);
                EXPECT_TRUE(inChosen);
                return answer == dir_ && inChosen;
              }).ok());
}

} // namespace
