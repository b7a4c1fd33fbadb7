// testing.h - switches compiled into the psp_testing variant only.
//
// White-box tests set these to make a chosen internal step fail, so that a
// test can walk every failure path of an operation.
//
// Fault injection counts two kinds of events across the whole library:
// strategy-level allocations (every alloc and realloc method of every tag
// kind, the bootstrap tag included) and region requests (every time a region
// heap asks its source for a new region). Arming a switch with N makes the
// Nth event from now fail; with `sticky`, every event from the Nth on fails.
// A test walks an operation's allocation sites by arming N = 1, 2, ... until
// the operation completes without reaching N. Pools, named globals and any
// later family allocate through the strategies, so the same switches reach
// them.
#pragma once

#include <atomic>
#include <cstdint>

namespace psp::testing {

// The start-up step (2..6) that psp_init reports as failed with -4242; 0 for none.
extern int g_failStartupStep;

class FaultSwitch {
public:
  void arm(uint64_t nth, bool sticky = false) {
    seen_.store(0);
    sticky_.store(sticky);
    failAt_.store(nth);
  }
  void disarm() { failAt_.store(0); }
  uint64_t seen() const { return seen_.load(); } // events since the last arm
  bool reached() const { return failAt_.load() != 0 && seen_.load() >= failAt_.load(); }

  // Called at each event; true when this one must fail.
  bool hit() {
    uint64_t n = seen_.fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t at = failAt_.load(std::memory_order_relaxed);
    return at != 0 && (n == at || (n > at && sticky_.load(std::memory_order_relaxed)));
  }

private:
  std::atomic<uint64_t> failAt_{0}; // 0: off
  std::atomic<uint64_t> seen_{0};
  std::atomic<bool> sticky_{false};
};

extern FaultSwitch g_failAllocation; // strategy-level alloc / realloc
extern FaultSwitch g_failRegion;     // new regions asked of a region source

// One switch per file operation (psp::FileOp: the backend's slots, removal,
// the status query of a name). Arming one makes the Nth call of that
// operation fail with its own failure result, before it reaches the system.
extern FaultSwitch g_failFileOp[21];
// How long service removal lets the manager's stop run before it goes on
// (milliseconds); tests shorten it.
extern uint32_t g_serviceStopWaitMs;

} // namespace psp::testing

// In the library's sources: true when fault injection wants this event to fail.
#ifdef PSP_TESTING
#define PSP_FAULT_ALLOCATION() (::psp::testing::g_failAllocation.hit())
#define PSP_FAULT_REGION() (::psp::testing::g_failRegion.hit())
#define PSP_FAULT_FILE(op) (::psp::testing::g_failFileOp[op].hit())
#else
#define PSP_FAULT_ALLOCATION() false
#define PSP_FAULT_REGION() false
#define PSP_FAULT_FILE(op) false
#endif

// ---- region heap ----
// The highest stamp a region gives its free blocks, and the highest region
// number a region heap gives, before it renumbers them in order. Tests lower
// it so that renumbering happens all the time.
#ifdef PSP_TESTING
namespace psp::testing {
extern uint32_t g_regionStampLimit;
}
#define PSP_REGION_STAMP_LIMIT (::psp::testing::g_regionStampLimit)
#else
#define PSP_REGION_STAMP_LIMIT (0xFFFFFFFFu)
#endif
