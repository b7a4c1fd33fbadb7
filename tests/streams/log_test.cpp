// Logging through psp.h only.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "psp.h"
#include "../scratch_dir.h"
#include "../watchdog.h"

namespace {

using Log = ScratchDir;

// The text a stream was given: the platform's line ends back to LF.
std::string given(const std::string &bytes) {
  return lineEnds("\n") == "\n" ? bytes : std::regex_replace(bytes, std::regex("\r\n"), "\n");
}

// The records of a log file, each line checked for its stamp, two spaces and
// the platform's line end.
std::string unstamped(const std::string &log) {
  static const std::regex stamp(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]  )");
  if (lineEnds(given(log)) != log)
    return "a line end not the platform's";
  std::string rest;
  std::istringstream lines(given(log));
  for (std::string line; std::getline(lines, line);
       rest += std::regex_replace(line, stamp, "") + "\n")
    if (!std::regex_search(line, stamp))
      return "unstamped line: " + line;
  return rest;
}

TEST_F(Log, TargetsAreSharedAndCounted) {
  const std::string a = at("a.log");
  ASSERT_EQ(psp_log_openEx(nullptr, a.c_str()), PSP_OKAY);
  ASSERT_EQ(psp_log_openEx(nullptr, a.c_str()), PSP_OKAY);
  ASSERT_EQ(psp_log_openEx(nullptr, at("A.LOG").c_str()), PSP_OKAY); // the same target
  psp_log("one\n");
  psp_log_closeEx(nullptr);
  psp_log_closeEx(nullptr);
  psp_log("two\n");
  ASSERT_EQ(psp_log_openEx(nullptr, nullptr), PSP_OKAY); // silences the file
  ASSERT_EQ(psp_log_openEx(nullptr, ""), PSP_OKAY);
  psp_log("hidden\n");
  EXPECT_EQ(psp_log("bad %9999999999d\n", 1), 0);
  psp_log_closeEx(nullptr);
  psp_log_closeEx(nullptr);
  EXPECT_EQ(psp_log("bad %9999999999d\n", 1), 0); // formats that fail write nothing
  psp_log("three\n");
  psp_log_closeEx(nullptr); // refs 0: closed
  psp_log("four\n");
  psp_log_closeEx(nullptr); // empty: nothing happens
  EXPECT_EQ(unstamped(get("a.log")), "one\ntwo\nthree\n");

  // Names that cannot be opened (no directory, not UTF-8, too long) leave the
  // stack as it was; opening truncates; pieces that format to nothing make no
  // record. "A.LOG" was never made: the file system may ignore case.
  ASSERT_EQ(psp_log_openEx(nullptr, a.c_str()), PSP_OKAY);
  EXPECT_EQ(psp_log_openEx(nullptr, at("no/such/dir.log").c_str()), PSP_ERR_NOFILE);
  EXPECT_EQ(psp_log_openEx(nullptr, at("bad\xFF.log").c_str()), PSP_ERR_NOFILE);
  EXPECT_EQ(psp_stdout_openEx(nullptr, at(std::string(300, 'n')).c_str()), PSP_ERR_NOFILE);
  psp_log("five\n");
  PSP_LOG_CHUNK chunk = psp_log_chunk_init();
  psp_log_chunk(chunk, "%s", "");
  psp_log_chunk_end(chunk, "");
  psp_log_closeEx(nullptr);
  EXPECT_EQ(unstamped(get("a.log")), "five\n");
  EXPECT_EQ(psp_test::namesIn(dir_), std::set<std::string>{"a.log"});

  // By directory and name; a file that cannot be opened is not reported.
  EXPECT_EQ(psp_log_createEx(nullptr, dir_.c_str(), "c.log"), PSP_OKAY);
  EXPECT_EQ(psp_log_createEx(nullptr, at("none").c_str(), "c.log"), PSP_OKAY);
  // A name that would leave the directory opens nothing, unreported.
  EXPECT_EQ(psp_log_createEx(nullptr, dir_.c_str(), "../c.log"), PSP_OKAY);
  EXPECT_EQ(get("../c.log"), "<missing>");
  EXPECT_EQ(psp_log_createEx(nullptr, nullptr, "c.log"), PSP_ERR_INVALIDPARAM);
  psp_log("six\n");
  psp_log_closeEx(nullptr);
  EXPECT_EQ(unstamped(get("c.log")), "six\n");
}

TEST_F(Log, StdoutRedirectionStampsAndChunks) {
  ASSERT_EQ(psp_stdout_openEx(nullptr, at("out.txt").c_str()), PSP_OKAY);
  ASSERT_EQ(psp_log_openEx(nullptr, at("file.log").c_str()), PSP_OKAY);
  EXPECT_EQ(psp_log("x\n"), 2);
  EXPECT_EQ(psp_printf("b%d\n", 1), 3);
  EXPECT_EQ(psp_log_with_time("c\n"), 25);
  EXPECT_EQ(psp_logW(u"%s=%d\n", u"\u00e9\U0001F600", 5), 9);
  PSP_LOG_CHUNK chunk = psp_log_chunk_init();
  ASSERT_NE(chunk, nullptr);
  psp_log_chunk(chunk, "a");
  psp_log_chunk(chunk, nullptr);
  psp_log_chunk(chunk, "%s", "b");
  psp_log_chunk_end(chunk, "c\n");
  psp_log_chunk_end(psp_log_chunk_init(), nullptr); // empty: no record
  psp_log_chunk_end(nullptr, "ignored\n");
  psp_stdout_closeEx(nullptr);
  psp_log_closeEx(nullptr);
  const std::string records = "x\nc\n\xC3\xA9\xF0\x9F\x98\x80=5\nabc\n";
  EXPECT_EQ(unstamped(get("file.log")), records);
  std::string out = given(get("out.txt"));
  ASSERT_GT(out.size(), 30u);
  EXPECT_EQ(out.substr(0, 5), "x\nb1\n");
  EXPECT_EQ(unstamped(lineEnds(out.substr(5, 25))), "c\n");
  EXPECT_EQ(out.substr(30), "\xC3\xA9\xF0\x9F\x98\x80=5\nabc\n");
  EXPECT_EQ(lineEnds(out), get("out.txt"));
}

TEST_F(Log, OwnContexts) {
  EXPECT_EQ(psp_log_initCtx(nullptr), PSP_ERR_INVALIDPARAM);
  PSP_LOG_CTX ctx;
  ASSERT_EQ(psp_log_initCtx(&ctx), PSP_OKAY);
  EXPECT_EQ(ctx.magic, PSP_LOG_CTX_MAGIC);
  ASSERT_EQ(psp_log_openEx(&ctx, at("ctx.log").c_str()), PSP_OKAY);
  ASSERT_EQ(psp_stdout_openEx(&ctx, nullptr), PSP_OKAY); // no console copy
  ASSERT_EQ(psp_log_openEx(nullptr, at("global.log").c_str()), PSP_OKAY);
  EXPECT_EQ(psp_logEx(&ctx, "mine %d\n", 1), 0);
  EXPECT_EQ(psp_logEx_with_time(&ctx, "mine %d\n", 2), 0);
  psp_stdout_closeEx(&ctx);
  psp_log_closeEx(nullptr);
  psp_log_termCtx(&ctx);
  psp_log_termCtx(&ctx); // once only
  EXPECT_EQ(psp_logEx(&ctx, "after\n"), 0);
  EXPECT_EQ(unstamped(get("ctx.log")), "mine 1\nmine 2\n");
  EXPECT_EQ(get("global.log"), "");
}

#ifndef _WIN32
// The Windows twins of these two are in tests/windows.
TEST_F(Log, ConsoleCopiesAndCallsBeforeInit) {
  auto result = psp_test::runInChild(30, [&] {
    for (auto [fd, name] : {std::pair{1, "stdout.txt"}, {2, "stderr.txt"}}) {
      int to = open(at(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(to, fd);
      close(to);
    }
    bool good = psp_log("x\n") == 2 && psp_log_err("e%d\n", 1) == 3;
    good = good && psp_printf("p\n") == 2;
    psp_flush();
    PSP_STREAM out = psp_fopenStd("stdout");
    good = good && out != nullptr && psp_fputs("s\n", out) == 2;
    psp_fclose(out);
    psp_term();
    // Before psp_init: straight to the C runtime's streams.
    good = good && psp_log("pre %d\n", 5) == 6 && psp_logW(u"w\u00e9\n") == 3;
    good = good && psp_log_openEx(nullptr, "x") == PSP_ERR_SYSTEM &&
           psp_stdout_openEx(nullptr, "x") == PSP_ERR_SYSTEM && psp_log_chunk_init() == nullptr &&
           psp_printf("lost\n") == 0 && psp_fopenStd("stdout") == nullptr;
    PSP_LOG_CTX ctx;
    good = good && psp_log_initCtx(&ctx) != PSP_OKAY;
    psp_log_closeEx(nullptr);
    psp_flush();
    std::fflush(stdout);
    return good;
  });
  EXPECT_TRUE(result.ok()) << psp_test::describe(result);
  EXPECT_EQ(get("stdout.txt"), "x\np\ns\npre 5\nw\xC3\xA9\n");
  EXPECT_EQ(get("stderr.txt").substr(0, 3), "e1\n");
}

TEST_F(Log, LogIsCompleteWhenTheWriterIsKilled) {
  const std::string path = at("killed.log");
  auto result = psp_test::runInChild(30, [&] {
    if (psp_stdout_openEx(nullptr, nullptr) != PSP_OKAY ||
        psp_log_openEx(nullptr, path.c_str()) != PSP_OKAY)
      return false;
    for (int i = 0; i < 200; ++i)
      psp_log("record %d\n", i);
    std::raise(SIGKILL);
    return false;
  });
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.code, SIGKILL);
  std::string expected;
  for (int i = 0; i < 200; ++i)
    expected += "record " + std::to_string(i) + "\n";
  EXPECT_EQ(unstamped(get("killed.log")), expected);
}
#endif

using LogConcurrency = Log;

TEST_F(LogConcurrency, ThreadsWriteWholeRecords) {
  psp_test::Watchdog watchdog(60);
  ASSERT_EQ(psp_log_openEx(nullptr, at("t.log").c_str()), PSP_OKAY);
  ASSERT_EQ(psp_stdout_openEx(nullptr, at("t.out").c_str()), PSP_OKAY);
  constexpr int kThreads = 4, kRecords = 300;
  // Records longer than the stack text are formatted in the thread's tag; a
  // few exceed a file's 64 KiB window and take several writes.
  auto length = [](int t, int i) { return i % 50 == 7 ? 70000u : (i * 37u + t) % 1500; };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, length] {
      for (int i = 0; i < kRecords; ++i) // every third record to stdout only
        (i % 3 == 0 ? psp_printf : psp_log)("T%d R%d %s\n", t, i,
                                            std::string(length(t, i), char('a' + t)).c_str());
    });
  for (std::thread &th : threads)
    th.join();
  psp_stdout_closeEx(nullptr);
  psp_log_closeEx(nullptr);
  auto check = [&](const std::string &text, int expected) {
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
      int t = -1, i = -1, used = 0;
      ASSERT_EQ(std::sscanf(line.c_str(), "T%d R%d %n", &t, &i, &used), 2) << line.substr(0, 80);
      ASSERT_TRUE(t >= 0 && t < kThreads && used > 0) << line.substr(0, 80);
      EXPECT_EQ(line.substr(static_cast<size_t>(used)), std::string(length(t, i), char('a' + t)));
    }
    EXPECT_EQ(count, expected);
  };
  check(unstamped(get("t.log")), kThreads * (kRecords - kRecords / 3));
  check(given(get("t.out")), kThreads * kRecords);
}

} // namespace
