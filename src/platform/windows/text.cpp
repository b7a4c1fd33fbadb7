// text.cpp - the Windows C runtime's names for the string helpers the
// neutral code needs: _stricmp / _strnicmp, strtok_s and strerror_s.
#include "platform/os.h"

#include <cstring>
#include <string.h>

namespace psp::os {

int compareNoCase(const char *a, const char *b) { return _stricmp(a, b); }

int compareNoCase(const char *a, const char *b, size_t n) { return _strnicmp(a, b, n); }

char *tokenize(char *text, const char *delimiters, char **save) {
  return strtok_s(text, delimiters, save);
}

int errorText(int errnum, char *buf, uint64_t size) {
  return strerror_s(buf, static_cast<size_t>(size), errnum);
}

} // namespace psp::os
