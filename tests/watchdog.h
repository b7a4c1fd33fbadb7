// Bounded waiting for tests that can deadlock: a stuck lock must fail a test
// in seconds with a message that says so, not hang until ctest's limit.
//
// Watchdog guards a scope in this process from a helper thread. runInChild
// runs a body in a forked child and kills it when it overruns; it uses no
// thread of its own, so the parent stays single-threaded across the fork
// (ThreadSanitizer refuses children of multi-threaded parents that start
// threads). Do not keep a Watchdog alive across runInChild.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace psp_test {

class Watchdog {
public:
  Watchdog(unsigned seconds, const char *what)
      : thread_([this, seconds, what] {
          std::unique_lock<std::mutex> hold(mutex_);
          if (!cv_.wait_for(hold, std::chrono::seconds(seconds), [this] { return done_; })) {
            std::fprintf(stderr,
                         "watchdog: '%s' still running after %u s: deadlock or lost wake-up\n",
                         what, seconds);
            std::fflush(stderr);
            std::_Exit(124);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  Watchdog(const Watchdog &) = delete;
  Watchdog &operator=(const Watchdog &) = delete;

private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_; // last: starts once the members above exist
};

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
