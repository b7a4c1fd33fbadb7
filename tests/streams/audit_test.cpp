// Open-mode letters, NULL and zero-size arguments of the line readers, mode
// "a" with a UTF-16 mark, and log names the file layer refuses.
#include <gtest/gtest.h>

#include <string>

#include "psp.h"
#include "../scratch_dir.h"

namespace {

using Audit = ScratchDir;

TEST_F(Audit, ModesAndNullArguments) {
  put("m.txt", "hello\n");
  PSP_STREAM s = psp_fopen(at("m.txt").c_str(), "rrrx", 0); // only three letters are read
  ASSERT_NE(s, nullptr);
  char buf[8];
  EXPECT_EQ(psp_fgets(nullptr, 8, s), nullptr);
  EXPECT_EQ(psp_fgets(buf, 0, s), nullptr);
  EXPECT_EQ(psp_fgets(buf, 1, s), buf);
  EXPECT_EQ(std::string(buf), "");
  EXPECT_EQ(psp_fGetLine(s, nullptr, nullptr, PSP_TAG_DEFAULT), nullptr);
  uint32_t tty = 7;
  EXPECT_EQ(psp_fIsATTY(s, &tty), PSP_OKAY);
  EXPECT_EQ(tty, 0u);
  psp_fclose(s);
  EXPECT_EQ(psp_fopen(at("new.txt").c_str(), "wz", 0), nullptr);
  EXPECT_EQ(get("new.txt"), "<missing>");
  s = psp_fopenEx(at("m.txt").c_str(), nullptr, 0, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(psp_fgetc(s), 'h');
  psp_fclose(s);

  put("u.txt", "abcdef");
  s = psp_fopen(at("u.txt").c_str(), "a", PSP_ENC_UTF16);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(psp_fputs("Z", s), 1);
  EXPECT_EQ(psp_fprintf(s, ""), 0);
  EXPECT_EQ(psp_fsync(s), 0);
  psp_fclose(s);
  EXPECT_EQ(get("u.txt"), std::string("\xFF\xFEZ\0ef", 6));
}

// A log name the file layer refuses (not UTF-8, too long) is a file that
// cannot be opened, and the stack stays as it was. A chunk whose pieces
// formatted to nothing writes no record.
TEST_F(Audit, UnopenableLogNames) {
  ASSERT_EQ(psp_log_openEx(nullptr, at("a.log").c_str()), PSP_OKAY);
  EXPECT_EQ(psp_log_openEx(nullptr, at("bad\xFF.log").c_str()), PSP_ERR_NOFILE);
  EXPECT_EQ(psp_stdout_openEx(nullptr, at(std::string(300, 'n')).c_str()), PSP_ERR_NOFILE);
  psp_log("kept\n");
  PSP_LOG_CHUNK chunk = psp_log_chunk_init();
  psp_log_chunk(chunk, "%s", "");
  psp_log_chunk_end(chunk, ""); // no text: no record, not even a stamp
  psp_log("last\n");
  psp_log_closeEx(nullptr);
  const std::string log = get("a.log");
  EXPECT_NE(log.find("  kept"), std::string::npos);
  EXPECT_EQ(log.find("]  ["), std::string::npos) << log;
  EXPECT_EQ(psp_test::namesIn(dir_).size(), 1u);
}

} // namespace
