// Text streams and logging on Windows: CR LF written for each LF and read
// back as LF, UTF-16 files with their mark, log records with their stamp and
// CR LF, targets shared by a name in another case, and the stdout sink sent
// to a file, the process's standard output being a file, and a log complete
// when its writer is ended abruptly. Built for Windows only; the scratch directory comes from the
// library's own temporary-directory call.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "../watchdog.h"
#include "psp.h"

namespace {

using namespace std::string_literals;

class WinStreams : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(psp_init(), PSP_OKAY);
    char *tmp = psp_tmpdir(PSP_TAG_THREAD);
    ASSERT_NE(tmp, nullptr);
    dir_ = tmp;
    psp_freeMem(tmp, PSP_TAG_THREAD, "test", __LINE__);
    if (dir_.back() != '\\')
      dir_ += '\\';
    dir_ += "psp_ws_" + std::to_string(GetCurrentProcessId()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    // A child that runInChild started works in its parent's directory.
    if (std::getenv("PSP_TEST_CHILD") != nullptr && std::getenv("PSP_WS_DIR") != nullptr) {
      dir_ = std::getenv("PSP_WS_DIR");
      return;
    }
    ASSERT_EQ(psp_dirCreate(dir_.c_str()), PSP_OKAY);
    SetEnvironmentVariableA("PSP_WS_DIR", dir_.c_str());
  }
  void TearDown() override {
    for (const std::string &name : made_)
      psp_fileRemove(at(name).c_str());
    EXPECT_EQ(psp_dirRemove(dir_.c_str()), PSP_OKAY);
    psp_term();
  }
  std::string at(const std::string &name) {
    made_.push_back(name);
    return dir_ + "\\" + name;
  }
  std::string get(const std::string &name) {
    std::string bytes;
    if (PSP_FH fh = psp_fileOpen(at(name).c_str(), PSP_FILE_RDONLY, 0)) {
      bytes.resize(static_cast<size_t>(psp_fileLength(fh)));
      bytes.resize(psp_fileSeekRead(fh, 0, bytes.data(), static_cast<uint32_t>(bytes.size())));
      psp_fileClose(fh);
    }
    return bytes;
  }
  std::string readBack(const std::string &name) {
    std::string text;
    PSP_STREAM s = psp_fopen(at(name).c_str(), "r", 0);
    for (int32_t c; s != nullptr && (c = psp_fgetc(s)) != -1;)
      text += static_cast<char>(c);
    psp_fclose(s);
    return text;
  }
  std::string dir_;
  std::vector<std::string> made_;
};

// Every record starts with "[YYYY-MM-DD HH:MM:SS]  " and ends with CR LF.
std::string unstamped(const std::string &log) {
  static const std::regex record(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]  ([^\r\n]*)\r\n)");
  std::string rest;
  auto end = std::sregex_iterator();
  size_t covered = 0;
  for (auto m = std::sregex_iterator(log.begin(), log.end(), record); m != end; ++m) {
    if (static_cast<size_t>(m->position(0)) != covered)
      return "stray bytes at " + std::to_string(covered);
    rest += (*m)[1].str() + "\n";
    covered += static_cast<size_t>(m->length(0));
  }
  return covered == log.size() ? rest : "stray bytes at " + std::to_string(covered);
}

TEST_F(WinStreams, LineEndsAndUtf16RoundTrip) {
  // Every path that writes: characters, strings, formats; a lone CR stays.
  PSP_STREAM s = psp_fopen(at("a.txt").c_str(), "w", 1);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(psp_fputs("one\ntwo\rz", s), 9);
  EXPECT_EQ(psp_fputc('\n', s), 1);
  EXPECT_EQ(psp_fprintf(s, "%d\n%s", 3, std::string(70000, 'x').c_str()), 70002);
  psp_fclose(s);
  const std::string tail(70000, 'x');
  EXPECT_TRUE(get("a.txt") == "one\r\ntwo\rz\r\n3\r\n" + tail);
  EXPECT_TRUE(readBack("a.txt") == "one\ntwo\rz\n3\n" + tail);
  char line[16];
  s = psp_fopen(at("a.txt").c_str(), "r", 0);
  EXPECT_STREQ(psp_fgets(line, sizeof line, s), "one\n");
  EXPECT_STREQ(psp_fgets(line, sizeof line, s), "two\rz\n");
  psp_fclose(s);

  // UTF-16: the mark first, CR LF as units, a surrogate pair; read with
  // encoding 0 the mark is found and the text comes back as UTF-8.
  const std::string text = "a\xC3\xA9\n\xF0\x9F\x98\x80\n";
  s = psp_fopen(at("u.txt").c_str(), "w", 2);
  EXPECT_EQ(psp_fputs(text.c_str(), s), static_cast<int32_t>(text.size()));
  psp_fclose(s);
  EXPECT_EQ(get("u.txt"), "\xFF\xFE"
                          "a\0\xE9\0\r\0\n\0\x3D\xD8\x00\xDE\r\0\n\0"s);
  EXPECT_EQ(readBack("u.txt"), text);
}

TEST_F(WinStreams, LogRecordsTargetsAndStdoutSink) {
  ASSERT_EQ(psp_stdout_openEx(nullptr, at("out.txt").c_str()), PSP_OKAY);
  ASSERT_EQ(psp_log_openEx(nullptr, at("Run.log").c_str()), PSP_OKAY);
  // The same target under another case: shared and counted, no new file.
  ASSERT_EQ(psp_log_openEx(nullptr, at("RUN.LOG").c_str()), PSP_OKAY);
  EXPECT_EQ(psp_log("first %d\n", 1), 8);
  psp_log_closeEx(nullptr);
  EXPECT_EQ(psp_log_with_time("second\n"), 30);
  EXPECT_EQ(psp_logW(u"%s\n", u"\u00e9"), 3); // UTF-8 bytes
  EXPECT_EQ(psp_printf("plain\n"), 6);
  psp_log_closeEx(nullptr);
  psp_log("after\n");
  psp_stdout_closeEx(nullptr);

  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((dir_ + "\\*.log").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(found.cFileName, "Run.log");
  EXPECT_FALSE(FindNextFileA(search, &found));
  FindClose(search);
  EXPECT_EQ(unstamped(get("Run.log")), "first 1\nsecond\n\xC3\xA9\n");

  // The console copy has no stamp of its own; psp_log_with_time's is in the text.
  const std::string out = get("out.txt");
  ASSERT_GT(out.size(), 10u);
  EXPECT_EQ(out.substr(0, 10), "first 1\r\n[");
  EXPECT_EQ(unstamped(out.substr(9, 31)), "second\n");
  EXPECT_EQ(out.substr(40), "\xC3\xA9\r\nplain\r\nafter\r\n");
}

// The standard output handle a file: psp_printf, the standard stream and the
// console copies of records all reach it with CR LF. The writer then ends
// without any clean-up; every record is already in the log.
TEST_F(WinStreams, StandardOutputInAFileAndAWriterEndedAbruptly) {
  const std::string out = at("stdout.txt"), log = at("ended.log");
  auto result = psp_test::runInChild(30, [&] {
    HANDLE file = CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
      return false;
    psp_term(); // the standard handles are taken again by the next psp_init
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    if (psp_init() != PSP_OKAY || psp_log_openEx(nullptr, log.c_str()) != PSP_OKAY)
      return false;
    bool good = psp_printf("p\n") == 2;
    psp_flush(); // console prints wait for a flush; records do not
    PSP_STREAM s = psp_fopenStd("stdout");
    good = good && s != nullptr && psp_fputs("s\n", s) == 2;
    psp_fclose(s);
    for (int i = 0; i < 200; ++i)
      good =
          good && psp_log("record %d\n", i) == static_cast<int32_t>(8 + std::to_string(i).size());
    if (good)
      TerminateProcess(GetCurrentProcess(), 9);
    return false;
  });
  EXPECT_TRUE(result.exited && result.code == 9) << psp_test::describe(result);
  std::string records, console = "p\r\ns\r\n";
  for (int i = 0; i < 200; ++i) {
    records += "record " + std::to_string(i) + "\n";
    console += "record " + std::to_string(i) + "\r\n";
  }
  EXPECT_EQ(unstamped(get("ended.log")), records);
  EXPECT_EQ(get("stdout.txt"), console);
}

} // namespace
