// Bounded waiting for tests that can deadlock: a stuck test fails in seconds
// with a message that says so, not at ctest's limit. Watchdog guards a scope
// from a helper thread; finishesWithin runs a probe (typically: take a lock
// the code under test must have released) on another thread; runInChild runs
// a body in a child process, killed when it overruns. runInChild starts no
// thread (TSan refuses children of multi-threaded parents that start threads),
// so keep no Watchdog alive across it. Limits stretch five-fold (up to 240 s)
// under a sanitizer or Wine.
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

// Under Wine each wait on a kernel object is a round trip to the wine server.
#if defined(PSP_TEST_SANITIZED) || defined(_WIN32)
constexpr unsigned kSlowdown = 5;
#else
constexpr unsigned kSlowdown = 1;
#endif

// Short of ctest's 300 s, so that our message comes first.
constexpr unsigned limitFor(unsigned seconds) {
  return seconds * kSlowdown <= 240 ? seconds * kSlowdown : seconds > 240 ? seconds : 240;
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

// The running test, its calls so far and their results, "timedOut exited code;" each.
struct Calls {
  std::string test, results;
  unsigned count = 0;
};
inline Calls &callsOfThisTest() {
  static Calls calls;
  if (calls.test != runningTest())
    calls = Calls{runningTest(), "", 0};
  return calls;
}

template <typename Body> ChildResult runInChild(unsigned seconds, Body body) {
  Calls &calls = callsOfThisTest();
  const unsigned mine = calls.count++;
  if (const char *wanted = std::getenv("PSP_TEST_CHILD")) {
    if (static_cast<unsigned>(std::atoi(wanted)) != mine) {
      const char *list = std::getenv("PSP_TEST_CHILD_RESULTS");
      int t = 0, e = 0, c = 0, used = 0;
      for (unsigned i = 0; list && std::sscanf(list, "%d %d %d;%n", &t, &e, &c, &used) == 3;
           ++i, list += used)
        if (i == mine)
          return ChildResult{t != 0, e != 0, c};
      return ChildResult{};
    }
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
  command.append(program).append("\" --gtest_filter=").append(calls.test);
  SetEnvironmentVariableA("PSP_TEST_CHILD", std::to_string(mine).c_str());
  SetEnvironmentVariableA("PSP_TEST_CHILD_RESULTS", calls.results.c_str());
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
  char entry[48];
  std::snprintf(entry, sizeof entry, "%d %d %d;", result.timedOut, result.exited, result.code);
  calls.results += entry;
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
