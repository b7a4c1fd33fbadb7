// Shared by the white-box tests: walking every allocation site of an
// operation with the fault-injection switches, observing tag jumps, and
// checking that a failure left no lock held.
#pragma once

#include <gtest/gtest.h>

#include <csetjmp>

#include "psp.h"
#include "testing.h"
#include "watchdog.h"

namespace psp::testing {

// Bytes the global heap has handed out.
inline uint64_t globalUsage() {
  uint64_t u = 0;
  psp_getMemUsage(&u, nullptr);
  return u;
}

// Runs `op` with the Nth event of `sw` failing, for N = 1, 2, ... until the
// operation no longer reaches N. After each, `check` must hold.
template <typename Op, typename Check> void walk(FaultSwitch &sw, Op op, Check check) {
  for (uint64_t n = 1; n < 500; ++n) {
    sw.arm(n);
    op();
    bool reached = sw.reached();
    sw.disarm();
    check();
    if (!reached)
      return;
  }
  ADD_FAILURE() << "walk did not end";
}

// Calls fn; true when it left through `jump` instead of returning.
template <typename Fn> __attribute__((noinline)) bool leavesByJump(jmp_buf &jump, Fn fn) {
  if (setjmp(jump) != 0)
    return true;
  fn();
  return false;
}

// Runs fn on another thread, which must get through within seconds: a lock
// left held by this thread (they are recursive, so this one would pass) shows
// there as a failure naming the lock, not as a hang. With a thread stuck
// inside the library nothing can be shut down, so the program ends there.
template <typename Fn> void onOtherThread(const char *lock, Fn fn) {
  if (!psp_test::finishesWithin(10, fn)) {
    ADD_FAILURE() << lock << " still held after the failure";
    std::fflush(stdout);
    std::_Exit(1);
  }
}

} // namespace psp::testing
