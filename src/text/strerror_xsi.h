// strerror_xsi.h - the XSI (int-returning) strerror_r, whatever feature macros
// the rest of the library is compiled with.
#pragma once

#include <cstdint>

namespace psp {

// Fills buf with the message for errnum. Gives 0, or the error number the
// platform reports (ERANGE: the buffer is too small; EINVAL: unknown number).
int strerrorXsi(int errnum, char *buf, uint64_t size);

} // namespace psp
