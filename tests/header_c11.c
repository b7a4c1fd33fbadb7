/* The public header compiles as C11 and the library is callable from C,
   callbacks included. */
#include "psp.h"

#include <stdio.h>
#include <string.h>

static int count(void *sink, int ch) {
  (void)ch;
  ++*(int *)sink;
  return 0;
}

int main(void) {
  uint16_t major = 0;
  psp_version(&major, NULL, NULL);
  uint32_t word = 0x01020304u;
  psp_swaporderUInt32(&word);
  const PSP_WCHAR wide[] = u"wide";
  char text[8];
  int emitted = 0;
  int ok = major == 14 && word == 0x04030201u && sizeof wide == 5 * sizeof(PSP_WCHAR) &&
           PSP_TAG_DEFAULT == (PSP_MEMTAG)2 && PSP_SEM_NONE != (PSP_SEM)0 &&
           psp_init() == PSP_OKAY && psp_snprintf(text, sizeof text, "%d%s", 14, "c") == 3 &&
           strcmp(text, "14c") == 0 && psp_fnprintf(count, &emitted, "%u", 300u) == PSP_OKAY &&
           emitted == 3;
  psp_term();
  puts(ok ? "C11 header test passed" : "C11 header test failed");
  return ok ? 0 : 1;
}
