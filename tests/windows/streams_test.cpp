// Windows only (line ends, UTF-16 and log targets are the portable streams tests'): the standard
// output handle a file, which psp_printf, the standard stream and the console copies of records
// all reach with CR LF; the writer then ends without any clean-up, every record already in the log.
#include "../scratch_dir.h"
#include "../watchdog.h"

#include <regex>

#include <windows.h>

using WinStreams = ScratchDir;

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
    for (int i = 0; i < 200 && good; ++i)
      good = psp_log("record %d\n", i) == static_cast<int32_t>(8 + std::to_string(i).size());
    if (good)
      TerminateProcess(GetCurrentProcess(), 9);
    return false;
  });
  EXPECT_TRUE(result.exited && result.code == 9) << psp_test::describe(result);
  std::string records;
  for (int i = 0; i < 200; ++i)
    records += "record " + std::to_string(i) + "\r\n";
  EXPECT_EQ(get("stdout.txt"), "p\r\ns\r\n" + records);
  // Each record in the log starts a line with "[YYYY-MM-DD HH:MM:SS]  ".
  const std::string logged = get("ended.log");
  const std::regex stamp(R"((^|\n)\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]  )");
  EXPECT_EQ(std::distance(std::sregex_iterator(logged.begin(), logged.end(), stamp),
                          std::sregex_iterator()),
            200);
  EXPECT_EQ(std::regex_replace(logged, stamp, "$1"), records);
}
