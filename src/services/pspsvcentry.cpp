// pspsvcentry.cpp - the one entry point that runs a program as a system
// service or as a console program, and psp_errPrint.
//
// Only a name with an install count is offered to the service manager; the
// platform's runAsService says whether the manager took it. Otherwise (not
// installed, or not started by the manager) main runs in the calling thread
// and its result is the answer.
#include "internal.h"

#include <cstdio>

using namespace psp;

PSP_API int32_t psp_serviceStart(const char *name, uint16_t *stopFlag, uint32_t argument1,
                                 void *argument2, PSP_SERVICE_MAIN main) {
  if (main == nullptr)
    return PSP_ERR_SYSTEM;
  int32_t result = 0;
  if (registryCount(name) != 0 &&
      runAsService(ServiceCall{name, stopFlag, argument1, argument2, main}, result))
    return result;
  return main(argument1, argument2);
}

// Straight to the runtime's standard output, not through the library's
// streams, and flushed so that it keeps its place among raw writes.
PSP_API void psp_errPrint(const char *text) {
  std::printf("%s\n", text != nullptr ? text : "(null)");
  std::fflush(stdout);
}
