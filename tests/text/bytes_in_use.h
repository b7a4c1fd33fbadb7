// Requested bytes in use in a tag (the first counter of a bucket tag counts
// requested sizes, so blocks are exact).
#pragma once

#include <gtest/gtest.h>

#include "psp.h"

inline uint64_t bytesInUse(PSP_MEMTAG tag) {
  PSP_MEMINFO info{};
  EXPECT_EQ(psp_getTagMemInfo(tag, &info), PSP_OKAY);
  return info.counters[0];
}
