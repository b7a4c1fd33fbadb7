// psptime.cpp - the clocks: seconds, milliseconds, broken-down local and UTC
// time, and the monotonic nanosecond clock.
//
// None of these needs psp_init and none allocates; each reads the platform
// clock afresh and keeps no state. A broken-down time the platform cannot
// represent leaves the caller's record untouched.
#include "internal.h"
#include "platform/os.h"

using namespace psp;

PSP_API int64_t psp_timeSecs(void) {
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
  os::clockRealtime(seconds, nanoseconds);
  return seconds;
}

// The clock doubles as a seed: one function under two names.
#if defined(__GNUC__) && !defined(_WIN32)
PSP_API int64_t psp_seed(void) __attribute__((alias("psp_timeSecs")));
#else
PSP_API int64_t psp_seed(void) { return psp_timeSecs(); }
#endif

PSP_API uint64_t psp_timeMilliSecs(void) {
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
  os::clockRealtime(seconds, nanoseconds);
  return static_cast<uint64_t>(seconds) * 1000u + nanoseconds / 1000000u;
}

PSP_API PSP_TM *psp_timeLocaltime(int64_t seconds, PSP_TM *out) {
  if (out == nullptr || !os::brokenDownLocal(seconds, *out))
    return nullptr;
  return out;
}

PSP_API PSP_TM *psp_timeUTC(PSP_TM *out, uint16_t *fraction) {
  uint32_t milliseconds = 0;
  if (!os::utcNow(out, milliseconds))
    return out;
  // Whole milliseconds in units of 100 microseconds.
  if (fraction != nullptr)
    *fraction = static_cast<uint16_t>(milliseconds * 10u);
  return out;
}

// The platform's monotonic clock in nanoseconds (os.h says how it is scaled).
PSP_API uint64_t psp_timeNanoSecs(void) { return os::clockMonotonic(); }
