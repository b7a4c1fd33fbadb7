// Bounded waiting for tests that can deadlock: a stuck lock fails a test in
// seconds with a message that says so, not at ctest's limit.
//
// Watchdog guards a scope from a helper thread. finishesWithin runs a probe
// (typically: take a lock the code under test must have released) on another
// thread. runInChild runs a body in a child process and kills it when it
// overruns; it starts no thread, so the parent stays single-threaded across
// the fork (TSan refuses children of multi-threaded parents that start
// threads). Do not keep a Watchdog alive across runInChild. Under a sanitizer
// or Wine each limit is five times as long, up to 240 s.
//
// Windows has no fork: the child is this program run again for the current
// test, told by PSP_TEST_CHILD which runInChild call of the test is its own.
// It replays the test up to that call (earlier calls give the parent's
// results without running their bodies), runs the body and exits; so what a
// test does before runInChild must be safe to do in both processes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PSP_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PSP_TEST_SANITIZED 1
#endif
#endif

namespace psp_test {

#if defined(PSP_TEST_SANITIZED) || defined(_WIN32)
// Under Wine each wait on a kernel object is a round trip to the wine server.
constexpr unsigned kSlowdown = 5;
#else
constexpr unsigned kSlowdown = 1;
#endif

// Stretched for slow builds, but short of ctest's 300 s so that our message comes first.
constexpr unsigned limitFor(unsigned seconds) {
  unsigned stretched = seconds * kSlowdown;
  return stretched <= 240 ? stretched : seconds > 240 ? seconds : 240;
}

inline std::string runningTest() {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + "." + info->name() : "test";
}

class Watchdog {
public:
  explicit Watchdog(unsigned seconds, std::string what = runningTest())
      : thread_([seconds = limitFor(seconds), what = std::move(what), done = done_.get_future()] {
          if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
            std::fprintf(stderr,
                         "watchdog: '%s' still running after %u s: deadlock or lost wake-up\n",
                         what.c_str(), seconds);
            std::fflush(stderr);
            std::_Exit(124);
          }
        }) {}
  ~Watchdog() {
    done_.set_value();
    thread_.join();
  }

private:
  std::promise<void> done_;
  std::thread thread_; // after done_, whose future it takes
};

// False when probe() has not finished within `seconds`; a probe still blocked
// is left behind, detached, so that the failing test ends.
template <typename Probe> bool finishesWithin(unsigned seconds, Probe probe) {
  std::packaged_task<void()> task(std::move(probe));
  std::future<void> finished = task.get_future();
  std::thread thread(std::move(task));
  if (finished.wait_for(std::chrono::seconds(limitFor(seconds))) != std::future_status::ready) {
    thread.detach();
    return false;
  }
  thread.join();
  return true;
}

struct ChildResult {
  bool timedOut = false;
  bool exited = false; // normal exit; code below
  int code = -1;       // exit code, or the signal that ended it
  bool ok() const { return !timedOut && exited && code == 0; }
};

inline std::string describe(const ChildResult &r) {
  if (r.timedOut)
    return "child timed out (deadlock?) and was killed";
  return (r.exited ? "child exited with " : "child killed by signal ") + std::to_string(r.code);
}

// runInChild(seconds, body): the child exits 0 when body returns true and no
// gtest assertion failed in it, 1 otherwise; after `seconds` it is killed.
#ifdef _WIN32

// Results of the current test's earlier calls, "t," (timed out) or "e<code>,"
// each, handed to a replaying child; and the number of this call in the test.
inline unsigned nextCall(std::string &name, std::string *&results) {
  static std::string lastTest, earlier;
  static unsigned calls = 0;
  name = runningTest();
  if (name != lastTest) {
    lastTest = name;
    calls = 0;
    earlier.clear();
  }
  results = &earlier;
  return calls++;
}

inline ChildResult replayedResult(const char *list, unsigned n) {
  std::string all = list ? list : "";
  size_t at = 0;
  for (unsigned i = 0; i < n && at < all.size(); ++i) {
    size_t comma = all.find(',', at);
    at = comma == std::string::npos ? all.size() : comma + 1;
  }
  ChildResult r;
  if (at < all.size()) {
    r.timedOut = all[at] == 't';
    r.exited = all[at] == 'e';
    r.code = r.exited ? std::atoi(all.c_str() + at + 1) : -1;
  }
  return r;
}

template <typename Body> ChildResult runInChild(unsigned seconds, Body body) {
  std::string name, *results = nullptr;
  const unsigned mine = nextCall(name, results);
  if (const char *wanted = std::getenv("PSP_TEST_CHILD")) {
    if (static_cast<unsigned>(std::atoi(wanted)) != mine)
      return replayedResult(std::getenv("PSP_TEST_CHILD_RESULTS"), mine);
    const ::testing::TestResult *so_far =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    const int before = so_far->total_part_count();
    bool good = body();
    for (int i = before; i < so_far->total_part_count(); ++i)
      good = good && !so_far->GetTestPartResult(i).failed();
    std::fflush(stdout);
    std::_Exit(good ? 0 : 1);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  char program[MAX_PATH];
  if (GetModuleFileNameA(nullptr, program, sizeof program) == 0)
    return ChildResult{};
  // Appended piece by piece: GCC 12 warns (-Wrestrict) wrongly on a literal
  // plus a temporary string.
  std::string command = "\"";
  command += program;
  command += "\" --gtest_filter=";
  command += name;
  SetEnvironmentVariableA("PSP_TEST_CHILD", std::to_string(mine).c_str());
  SetEnvironmentVariableA("PSP_TEST_CHILD_RESULTS", results->c_str());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  BOOL started = CreateProcessA(program, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                nullptr, &startup, &child);
  SetEnvironmentVariableA("PSP_TEST_CHILD", nullptr);
  SetEnvironmentVariableA("PSP_TEST_CHILD_RESULTS", nullptr);
  ChildResult result;
  if (started) {
    CloseHandle(child.hThread);
    if (WaitForSingleObject(child.hProcess, limitFor(seconds) * 1000u) != WAIT_OBJECT_0) {
      TerminateProcess(child.hProcess, 124);
      WaitForSingleObject(child.hProcess, INFINITE);
      result.timedOut = true;
    } else {
      DWORD code = 0;
      GetExitCodeProcess(child.hProcess, &code);
      result.exited = true;
      result.code = static_cast<int>(code);
    }
    CloseHandle(child.hProcess);
  }
  *results += result.timedOut ? "t" : result.exited ? "e" + std::to_string(result.code) : "f";
  *results += ',';
  return result;
}

#else

template <typename Body> ChildResult runInChild(unsigned seconds, Body body) {
  seconds = limitFor(seconds);
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid < 0)
    return ChildResult{};
  if (pid == 0) {
    alarm(seconds + 5); // backstop should the parent die first
    bool good = body();
    std::fflush(stdout);
    std::_Exit(good && !::testing::Test::HasFailure() ? 0 : 1);
  }
  ChildResult result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.exited = WIFEXITED(status);
  result.code = result.exited ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  return result;
}

#endif

} // namespace psp_test
