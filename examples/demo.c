/* psp_demo - the library at work: start it, use what it offers, stop it. */
#include "psp.h"

#include <inttypes.h>
#include <stdio.h>

struct bytes {
  uint8_t data[64];
  size_t used;
  size_t pos;
};

static int collect(void *sink, int ch) {
  struct bytes *b = sink;
  if (b->used == sizeof b->data)
    return -1;
  b->data[b->used++] = (uint8_t)ch;
  return 0;
}

static PSP_STATUS next(void *ctx, uint8_t *byte) {
  struct bytes *b = ctx;
  if (b->pos == b->used)
    return PSP_ERR_ENDOFDATA;
  *byte = b->data[b->pos++];
  return PSP_OKAY;
}

int main(void) {
  uint16_t major, minor, build;
  psp_version(&major, &minor, &build);
  printf("psp %u.%u.%u\n", major, minor, build);

  PSP_STATUS status = psp_init();
  if (status != PSP_OKAY) {
    printf("psp_init failed: %d\n", (int)status);
    return 1;
  }

  printf("\nvariable-length integers (value -> bytes -> value):\n");
  const uint64_t samples[] = {0, 127, 128, 300, 16511, 16512, 1000000, 4294967295u, UINT64_MAX};
  for (size_t i = 0; i < sizeof samples / sizeof samples[0]; ++i) {
    struct bytes b = {{0}, 0, 0};
    psp_vintEncodeUIntmax(samples[i], collect, &b);
    uint64_t back = 0;
    psp_vintDecodeUIntmax(next, &b, &back);
    printf("  %20" PRIu64 " ->", samples[i]);
    for (size_t k = 0; k < b.used; ++k)
      printf(" %02X", b.data[k]);
    printf("%*s-> %" PRIu64 "\n", (int)(3 * (9 - b.used)) + 1, "", back);
  }

  printf("\nzig-zag: -1 -> %" PRIu64 ", 63 -> %" PRIu64 ", INT64_MIN -> %" PRIu64 "\n",
         psp_vintConvertToUnsigned(-1), psp_vintConvertToUnsigned(63),
         psp_vintConvertToUnsigned(INT64_MIN));

  uint32_t word = 0x11223344u;
  psp_swaporderUInt32(&word);
  printf("byte swap 0x11223344 -> 0x%08" PRIX32 "\n", word);
  printf("bit length of 0x100 = %" PRIu32 ", reverse of 1 = 0x%016" PRIX64 "\n",
         psp_bitFirstSet(0x100), psp_bitReverse64(1));
  printf("round(2.5) = %.1f, round(-2.5) = %.1f\n", psp_round(2.5), psp_round(-2.5));

  psp_term();
  printf("\ndone\n");
  return 0;
}
