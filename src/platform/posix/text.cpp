// text.cpp - the POSIX names for the string helpers the neutral code needs:
// strcasecmp / strncasecmp and strtok_r. (Error texts: strerror_xsi.cpp.)
#include "platform/os.h"

#include <string.h>
#include <strings.h>

namespace psp::os {

int compareNoCase(const char *a, const char *b) { return strcasecmp(a, b); }

int compareNoCase(const char *a, const char *b, size_t n) { return strncasecmp(a, b, n); }

char *tokenize(char *text, const char *delimiters, char **save) {
  return strtok_r(text, delimiters, save);
}

} // namespace psp::os
