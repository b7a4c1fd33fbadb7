/* The public header compiles as C11 and the library is callable from C. */
#include "psp.h"

#include <stdio.h>
#include <string.h>

struct bytes {
  unsigned char data[16];
  size_t used;
  size_t pos;
};

static int emit(void *sink, int ch) {
  struct bytes *b = sink;
  b->data[b->used++] = (unsigned char)ch;
  return 0;
}

static PSP_STATUS readByte(void *ctx, uint8_t *byte) {
  struct bytes *b = ctx;
  if (b->pos >= b->used)
    return PSP_ERR_ENDOFDATA;
  *byte = b->data[b->pos++];
  return PSP_OKAY;
}

#define CHECK(cond)                                                                                \
  do {                                                                                             \
    if (!(cond)) {                                                                                 \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                     \
      return 1;                                                                                    \
    }                                                                                              \
  } while (0)

int main(void) {
  uint16_t major = 0, minor = 0, build = 0;
  psp_version(&major, &minor, &build);
  CHECK(major == 14 && minor == 1 && build == 3194);

  CHECK(psp_init() == PSP_OKAY);

  struct bytes b;
  memset(&b, 0, sizeof b);
  CHECK(psp_vintEncodeUIntmax(300, emit, &b) == PSP_OKAY);
  CHECK(b.used == 2 && b.data[0] == 0x80 && b.data[1] == 0xAC);
  uint64_t value = 0;
  CHECK(psp_vintDecodeUIntmax(readByte, &b, &value) == PSP_OKAY && value == 300);

  uint32_t word = 0x01020304u;
  psp_swaporderUInt32(&word);
  CHECK(word == 0x04030201u);

  const PSP_WCHAR wide[] = u"wide";
  CHECK(sizeof wide == 5 * sizeof(PSP_WCHAR));
  CHECK(PSP_TAG_DEFAULT == (PSP_MEMTAG)2 && PSP_SEM_NONE != (PSP_SEM)0);

  psp_term();
  puts("C11 header test passed");
  return 0;
}
