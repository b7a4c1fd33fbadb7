// strerror_xsi.cpp - error texts through the XSI strerror_r.
//
// The library is built with _GNU_SOURCE, under which glibc's <string.h>
// declares the GNU strerror_r (returns a char * that may ignore the buffer).
// This one translation unit drops the macro before any header is read, so
// <string.h> gives the POSIX form on glibc and every other C library alike.
// Nothing else may be included ahead of these lines.
#undef _GNU_SOURCE
#ifndef _POSIX_C_SOURCE
#define _POSIX_C_SOURCE 200809L
#endif
#include <stddef.h>
#include <string.h>

#include "platform/os.h"

namespace psp::os {

int errorText(int errnum, char *buf, uint64_t size) {
  // Fails to compile if the GNU form slipped through.
  int (*xsi)(int, char *, size_t) = strerror_r;
  return xsi(errnum, buf, static_cast<size_t>(size));
}

} // namespace psp::os
