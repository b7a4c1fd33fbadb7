/* psp_demo - the library at work: start it, use what it offers, stop it. */
#include "psp.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

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

/* Each worker builds a line in its own thread tag, which goes when it ends. */
struct work {
  PSP_RAND rand;
  volatile uint32_t *done;
  int id;
};

static uint32_t worker(void *argument) {
  struct work *w = argument;
  char *line = psp_makeStrVA("demo", __LINE__, PSP_TAG_THREAD, "worker %d (thread %u) drew %05u",
                             w->id, psp_threadId(), psp_randGet(w->rand));
  printf("  %s\n", line);
  psp_atomicIncrUInt32(w->done);
  return (uint32_t)strlen(line);
}

static void section(const char *title) { printf("\n%s\n", title); }

int main(void) {
  uint16_t major, minor, build;
  psp_version(&major, &minor, &build);
  printf("psp %u.%u.%u\n", major, minor, build);

  PSP_STATUS status = psp_init();
  if (status != PSP_OKAY) {
    printf("psp_init failed: %d\n", (int)status);
    return 1;
  }

  section("formatting (the library's own engine):");
  char text[128];
  psp_snprintf(text, sizeof text, "[%-8s|%5.3d|%#x|%+.2f|%e|%g|%p]", "left", 7, 255, 3.14159,
               123456.0, 0.00001, (void *)0x1234);
  printf("  %s\n", text);
  int32_t needed = psp_snprintf(NULL, 0, "%s and %s", "measure", "then write");
  printf("  measuring \"%%s and %%s\" needs %d bytes\n", needed);

  section("memory tags and string builders:");
  PSP_MEMTAG tag = psp_createTagEx(NULL, 0, PSP_TAGKIND_BUCKET, NULL, NULL);
  char *s = psp_makeStrVA("demo", __LINE__, tag, "%s%c%s", "dir", '/', "name");
  s = psp_appendStrVA("demo", __LINE__, tag, s, ".%03u", 7u);
  PSP_MEMINFO info;
  psp_getTagMemInfo(tag, &info);
  printf("  built \"%s\"; tag holds %" PRIu64 " requested bytes (peak %" PRIu64 ")\n", s,
         info.counters[0], info.counters[1]);
  psp_freeTagMem(tag, 1, "demo", __LINE__);
  uint64_t usage, peak;
  psp_getMemUsage(&usage, &peak);
  printf("  global heap: %" PRIu64 " bytes in use, peak %" PRIu64 "\n", usage, peak);

  section("UTF-8 <-> UTF-16:");
  const char *utf8 = "na\xC3\xAFve \xE2\x82\xAC \xF0\x9F\x98\x80";
  PSP_WCHAR *wide = psp_convToWchar(utf8, PSP_CONV_STRICT, PSP_TAG_DEFAULT);
  uint64_t units = psp_utf8_to_wchar(NULL, utf8, 0, PSP_CONV_STRICT) - 1;
  char *back = psp_convToUTF8(wide, PSP_CONV_STRICT, PSP_TAG_DEFAULT);
  printf("  %zu UTF-8 bytes -> %" PRIu64 " UTF-16 units -> %s (%s)\n", strlen(utf8), units, back,
         strcmp(back, utf8) == 0 ? "round trip exact" : "MISMATCH");
  char replaced[32];
  psp_wchar_to_utf8(replaced,
                    u"A\xD800"
                    "B",
                    sizeof replaced, PSP_CONV_REPLACE);
  printf("  a lone surrogate in replace mode: \"%s\"\n", replaced);
  psp_freeMem(back, PSP_TAG_DEFAULT, "demo", __LINE__);
  psp_freeMem(wide, PSP_TAG_DEFAULT, "demo", __LINE__);

  section("threads, atomics and a shared random generator:");
  PSP_RAND rand = psp_randCreate(5489);
  volatile uint32_t done = 0;
  struct work works[3];
  PSP_THREAD threads[3];
  for (int i = 0; i < 3; ++i) {
    works[i] = (struct work){rand, &done, i};
    psp_threadBeginEx(worker, 0, &works[i], &threads[i]);
  }
  for (int i = 0; i < 3; ++i)
    psp_threadJoin(&threads[i]);
  printf("  %u workers done\n", done);
  psp_randDestroy(rand);

  section("numbers from text:");
  int64_t v64;
  int32_t v32;
  printf(
      "  psp_atoi64(\"12abc\") -> %d, psp_atoi64(\"00\") -> %d, psp_atoi32(\"2147483648\") -> %d\n",
      (int)psp_atoi64("12abc", &v64), (int)psp_atoi64("00", &v64),
      (int)psp_atoi32("2147483648", &v32));

  section("variable-length integers (value -> bytes -> value):");
  const uint64_t samples[] = {127, 128, 16512, 4294967295u, UINT64_MAX};
  for (size_t i = 0; i < sizeof samples / sizeof samples[0]; ++i) {
    struct bytes b = {{0}, 0, 0};
    psp_vintEncodeUIntmax(samples[i], collect, &b);
    uint64_t decoded = 0;
    psp_vintDecodeUIntmax(next, &b, &decoded);
    psp_snprintf(text, sizeof text, "%20llu ->", (unsigned long long)samples[i]);
    for (size_t k = 0; k < b.used; ++k)
      psp_snprintf(text + strlen(text), sizeof text - strlen(text), " %02X", b.data[k]);
    printf("  %-50s -> %" PRIu64 "\n", text, decoded);
  }

  section("a directory through a pattern (/etc, \"HOST*\", case ignored):");
  PSP_DIR listing = psp_pathOpen("/etc", "HOST*");
  uint32_t isDir = 0;
  for (const char *name; listing != NULL && (name = psp_pathNext(listing, &isDir)) != NULL;)
    printf("  %s%s\n", name, isDir ? "/" : "");
  psp_pathClose(listing);

  psp_term();
  printf("\ndone\n");
  return 0;
}
