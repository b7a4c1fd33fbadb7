// Bounded waiting for tests that can deadlock: a stuck lock must fail a test
// in seconds with a message that says so, not hang until ctest's limit.
//
// Watchdog guards a scope in this process from a helper thread; it names the
// running test unless told otherwise. finishesWithin runs a probe on another
// thread (typically: take a lock the code under test must have released) and
// reports whether it got through in time. runInChild runs a body in a forked
// child and kills it when it overruns; it uses no thread of its own, so the
// parent stays single-threaded across the fork (ThreadSanitizer refuses
// children of multi-threaded parents that start threads). Do not keep a
// Watchdog alive across runInChild.
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

#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PSP_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PSP_TEST_SANITIZED 1
#endif
#endif

namespace psp_test {

// Limits are given for plain builds; under a sanitizer tests run several
// times slower, so every limit here is five times as long there.
#ifdef PSP_TEST_SANITIZED
constexpr unsigned kSlowdown = 5;
#else
constexpr unsigned kSlowdown = 1;
#endif

inline std::string currentTest() {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info ? std::string(info->test_suite_name()) + "." + info->name() : "test";
}

class Watchdog {
public:
  explicit Watchdog(unsigned seconds, std::string what = currentTest())
      : thread_([seconds = seconds * kSlowdown, what = std::move(what), done = done_.get_future()] {
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

// Runs probe() on another thread; false when it has not finished within
// `seconds`. A probe still blocked then is left behind, detached, so that the
// failing test ends.
template <typename Probe> bool finishesWithin(unsigned seconds, Probe probe) {
  std::packaged_task<void()> task(std::move(probe));
  std::future<void> finished = task.get_future();
  std::thread thread(std::move(task));
  if (finished.wait_for(std::chrono::seconds(seconds * kSlowdown)) != std::future_status::ready) {
    thread.detach();
    return false;
  }
  thread.join();
  return true;
}

// How a forked child ended.
struct ChildResult {
  bool timedOut = false;
  bool exited = false; // normal exit; code below
  int code = -1;       // exit code, or the signal that ended it
  bool ok() const { return !timedOut && exited && code == 0; }
};

inline std::string describe(const ChildResult &r) {
  if (r.timedOut)
    return "child timed out (deadlock?) and was killed";
  if (r.exited)
    return "child exited with " + std::to_string(r.code);
  return "child killed by signal " + std::to_string(r.code);
}

// Runs body() in a forked child; the child exits 0 when body returns true
// and no gtest assertion failed in it, 1 otherwise. The parent waits at most
// `seconds`, then kills the child.
template <typename Body> ChildResult runInChild(unsigned seconds, Body body) {
  seconds *= kSlowdown;
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
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid)
      break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) {
    result.exited = true;
    result.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.code = WTERMSIG(status);
  }
  return result;
}

} // namespace psp_test
