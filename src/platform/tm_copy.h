// tm_copy.h - the C runtime's broken-down time copied into the library's
// record, for both platforms' conversions.
#pragma once

#include "psp.h"

#include <time.h>

namespace psp::os {

inline void copyFields(const tm &in, PSP_TM &out) {
  out.sec = in.tm_sec;
  out.min = in.tm_min;
  out.hour = in.tm_hour;
  out.mday = in.tm_mday;
  out.mon = in.tm_mon;
  out.year = in.tm_year;
  out.wday = in.tm_wday;
  out.yday = in.tm_yday;
  out.isdst = in.tm_isdst > 0 ? 1 : 0;
}

} // namespace psp::os
