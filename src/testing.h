// testing.h - switches compiled into the psp_testing variant only.
//
// White-box tests set these to make a chosen internal step fail, so that a
// test can walk every failure path of an operation.
#pragma once

#include <cstdint>

namespace psp::testing {

// The start-up step (2..6) that psp_init reports as failed with -4242; 0 for none.
extern int g_failStartupStep;

} // namespace psp::testing
