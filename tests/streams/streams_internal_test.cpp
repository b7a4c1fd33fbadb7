// Streams and logging under injected faults.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "internal.h"
#include "streams/stream.h"
#include "testing.h"
#include "../fault_walk.h"
#include "../scratch_dir.h"
#include "../text/bytes_in_use.h"

namespace {

using namespace psp::testing;

using StreamFaults = ScratchDir;

TEST_F(StreamFaults, RefusedWritesKeepTheirBytes) {
  PSP_STREAM s = psp_fopen(at("w.txt").c_str(), "w", 0);
  ASSERT_NE(s, nullptr);
  // A file's window is the large one; leave 24 bytes of room in it.
  std::string text(psp::kStreamIoSize - 24, 'a');
  ASSERT_EQ(psp_fputs(text.c_str(), s), static_cast<int32_t>(text.size()));
  g_failFileOp[psp::kFileWrite].arm(1, true);
  EXPECT_EQ(psp_fflush(s), 0); // refused, not reported
  EXPECT_EQ(psp_fsync(s), -1);
  // The window fills after 24 more bytes: the refill's write is refused too.
  EXPECT_EQ(psp_fputs(std::string(100, 'b').c_str(), s), -1);
  EXPECT_EQ(psp_fprintf(s, "%s", std::string(100, 'c').c_str()), -1);
  EXPECT_EQ(psp_fputc('d', s), 0);
  EXPECT_EQ(get("w.txt"), "");
  g_failFileOp[psp::kFileWrite].disarm();
  EXPECT_EQ(psp_fputc('e', s), 1);
  psp_fclose(s);
  EXPECT_EQ(get("w.txt"), text + std::string(24, 'b') + "e");
}

TEST_F(StreamFaults, FailedAllocationsLeaveNothing) {
  ASSERT_EQ(psp_stdout_openEx(nullptr, nullptr), PSP_OKAY); // records stay off the console
  const uint64_t before = bytesInUse(PSP_TAG_DEFAULT);
  const std::string path = at("f.log");
  walk(
      g_failAllocation,
      [&] {
        PSP_STREAM s = psp_fopen(path.c_str(), "w", 2);
        if (s != nullptr) {
          psp_fprintf(s, "%s\n", std::string(3000, 'x').c_str());
          psp_fclose(s);
        }
        PSP_STATUS rc = psp_log_openEx(nullptr, path.c_str());
        EXPECT_TRUE(rc == PSP_OKAY || rc == PSP_ERR_NOMEMORY) << rc;
        psp_log("%s\n", std::string(700, 'y').c_str());
        if (rc == PSP_OKAY)
          psp_log_closeEx(nullptr);
        PSP_LOG_CTX ctx;
        if (psp_log_initCtx(&ctx) == PSP_OKAY)
          psp_log_termCtx(&ctx);
      },
      [&] {
        EXPECT_GT(g_failAllocation.seen(), 0u);
        EXPECT_EQ(bytesInUse(PSP_TAG_DEFAULT), before);
        onOtherThread("a sink mutex", [] { psp_printf("%s", ""); });
      });
  psp_stdout_closeEx(nullptr);
}

TEST_F(StreamFaults, ServiceFlagKeepsRecordsOffTheConsole) {
  ASSERT_EQ(psp_stdout_openEx(nullptr, at("out.txt").c_str()), PSP_OKAY);
  ASSERT_EQ(psp_log_openEx(nullptr, at("s.log").c_str()), PSP_OKAY);
  psp::g_flags.service.store(1);
  EXPECT_EQ(psp_log("quiet\n"), 0);
  psp::g_flags.service.store(0);
  EXPECT_EQ(psp_log("loud\n"), 5);
  psp_stdout_closeEx(nullptr);
  psp_log_closeEx(nullptr);
  EXPECT_EQ(get("out.txt"), lineEnds("loud\n"));
  const std::string log = get("s.log");
  EXPECT_NE(log.find(lineEnds("  quiet\n")), std::string::npos);
  EXPECT_NE(log.find(lineEnds("  loud\n")), std::string::npos);
}

} // namespace
