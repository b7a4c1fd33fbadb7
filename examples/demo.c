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

/* A binary stream over a block of memory: the write callback appends, the
   read callback hands back what was written, a few bytes at a time. */
struct wire {
  uint8_t data[256];
  uint32_t used;
  uint32_t pos;
};

static PSP_STATUS wireWrite(void *ctx, const uint8_t *bytes, uint32_t length) {
  struct wire *w = ctx;
  if (length > sizeof w->data - w->used)
    return PSP_ERR_WRITE;
  memcpy(w->data + w->used, bytes, length);
  w->used += length;
  return PSP_OKAY;
}

static PSP_STATUS wireRead(void *ctx, uint8_t *buf, uint32_t capacity, uint32_t *filled,
                           uint32_t zero) {
  struct wire *w = ctx;
  uint32_t n = w->used - w->pos < 5 ? w->used - w->pos : 5;
  (void)zero;
  if (n == 0)
    return PSP_ERR_ENDOFDATA;
  if (n > capacity)
    n = capacity;
  memcpy(buf, w->data + w->pos, n);
  w->pos += n;
  *filled = n;
  return PSP_OKAY;
}

static void section(const char *title) { printf("\n%s\n", title); }

/* Blocks of 1024 bytes in which two files differ: what a copy rewrites. */
static unsigned differingBlocks(const char *a, const char *b) {
  PSP_FH x = psp_fileOpen(a, PSP_FILE_RDONLY, 0), y = psp_fileOpen(b, PSP_FILE_RDONLY, 0);
  char p[1024], q[1024];
  unsigned blocks = 0;
  uint32_t n;
  for (uint64_t pos = 0; x && (n = psp_fileSeekRead(x, pos, p, sizeof p)) > 0; pos += n)
    blocks += !y || psp_fileSeekRead(y, pos, q, n) != n || memcmp(p, q, n) != 0;
  psp_fileClose(y);
  psp_fileClose(x);
  return blocks;
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

  section("files (write, copy by blocks onto a changed copy, compare, temporary names):");
  uint32_t counter = 0;
  char *data = psp_fileCreateTmpName(&counter, "demo", "bin", NULL, PSP_TAG_DEFAULT);
  char *copy = psp_fileCreateTmpName(&counter, "demo", "bin", NULL, PSP_TAG_DEFAULT);
  printf("  temporary names: %s\n                   %s\n", data, copy);
  PSP_FH fh = psp_fileOpen(data, PSP_FILE_RDWR | PSP_FILE_TRUNCATE, PSP_FILE_DENY_WRITE);
  char block[1024];
  for (int i = 0; i < 10; ++i) {
    memset(block, 'a' + i, sizeof block);
    psp_fileSeekWrite(fh, (uint64_t)i * sizeof block, block, sizeof block);
  }
  printf("  wrote %" PRIu64 " bytes; a second writer is %s while it is open\n", psp_fileLength(fh),
         psp_fileOpen(data, PSP_FILE_RDWR, 0) == NULL ? "refused" : "ADMITTED");
  psp_fileClose(fh);
  printf("  copy onto a missing file: %d\n", (int)psp_fileCopy(data, copy));
  fh = psp_fileOpen(copy, PSP_FILE_RDWR, 0);
  psp_fileSeekWrite(fh, 2 * 1024 + 17, "X", 1);
  psp_fileSeekWrite(fh, 7 * 1024, "YY", 2);
  psp_fileSetSize(fh, 12 * 1024);
  psp_fileClose(fh);
  printf("  changed blocks 2 and 7 of the copy and grew it: compare says %d\n",
         (int)psp_fileCmp(data, copy));
  unsigned rewrite = differingBlocks(data, copy);
  status = psp_fileCopy(data, copy);
  printf("  copy again: %d, %u of 10 blocks rewritten, then cut to the source length; compare "
         "says %d\n",
         (int)status, rewrite, (int)psp_fileCmp(data, copy));
  psp_fileRemove(copy);
  psp_fileRemove(data);
  psp_freeMem(copy, PSP_TAG_DEFAULT, "demo", __LINE__);
  psp_freeMem(data, PSP_TAG_DEFAULT, "demo", __LINE__);

  section("a directory through a pattern (/etc, \"HOST*\", case ignored):");
  PSP_DIR listing = psp_pathOpen("/etc", "HOST*");
  uint32_t isDir = 0;
  for (const char *name; listing != NULL && (name = psp_pathNext(listing, &isDir)) != NULL;)
    printf("  %s%s\n", name, isDir ? "/" : "");
  psp_pathClose(listing);

  section("buffered binary stream (typed values, byte-reversed, read back 5 bytes at a time):");
  struct wire w = {{0}, 0, 0};
  PSP_OUTPUT_BUFF out = NULL;
  PSP_INPUT_BUFF in = NULL;
  psp_outputBuffCreate(wireWrite, &w, 1, &out);
  psp_outputBuffPutInt32(out, 0x01020304);
  psp_outputBuffPutFloat64(out, 2.5);
  psp_outputBuffPutStringWithLength(out, "typed values");
  psp_outputBuffPutStringWithLength(out, NULL);
  psp_outputBuffFlush(out);
  psp_outputBuffDestroy(out);
  text[0] = 0;
  for (uint32_t k = 0; k < 12; ++k)
    psp_snprintf(text + strlen(text), sizeof text - strlen(text), "%02X ", w.data[k]);
  printf("  %u bytes on the wire, starting %s...\n", w.used, text);
  uint32_t i32 = 0;
  double f64 = 0;
  char str[32];
  char *none = str;
  psp_inputBuffCreate(wireRead, &w, 1, &in);
  psp_inputBuffGetInt32(in, &i32);
  psp_inputBuffGetFloat64(in, &f64);
  psp_inputBuffGetStringWithLength(in, str, sizeof str);
  PSP_STATUS last = psp_inputBuffGetString(in, &none, PSP_TAG_DEFAULT);
  printf("  read back 0x%08X, %g, \"%s\", %s (status %d)\n", i32, f64, str,
         none == NULL ? "NULL" : "?", (int)last);
  psp_inputBuffDestroy(in);

  section(
      "text streams and the log (a UTF-16 file written and read back as UTF-8; a stamped log):");
  char *textFile = psp_fileCreateTmpName(&counter, "demo", "txt", NULL, PSP_TAG_DEFAULT);
  char *logFile = psp_fileCreateTmpName(&counter, "demo", "log", NULL, PSP_TAG_DEFAULT);
  PSP_STREAM ts = psp_fopen(textFile, "w", PSP_ENC_UTF16);
  psp_fprintf(ts, "caf\xC3\xA9 %d \xF0\x9F\x98\x80\nsecond line\n", 42);
  psp_fclose(ts);
  fh = psp_fileOpen(textFile, PSP_FILE_RDONLY, 0);
  printf("  %" PRIu64 " bytes on disk: the mark FF FE, then UTF-16LE\n", psp_fileLength(fh));
  psp_fileClose(fh);
  char lineBuf[64];
  ts = psp_fopen(textFile, "r", 0);
  while (psp_fgets(lineBuf, sizeof lineBuf, ts) != NULL)
    printf("  read: %s", lineBuf);
  psp_fclose(ts);
  psp_stdout_openEx(NULL, NULL); /* no console copy: this program prints through stdio */
  psp_log_openEx(NULL, logFile);
  psp_log("%d records; this one is about %s\n", 2, "streams");
  PSP_LOG_CHUNK chunk = psp_log_chunk_init();
  psp_log_chunk(chunk, "pieces ");
  psp_log_chunk_end(chunk, "make %s\n", "one record");
  psp_log_closeEx(NULL);
  psp_stdout_closeEx(NULL);
  ts = psp_fopen(logFile, "r", 0);
  while (psp_fgets(lineBuf, sizeof lineBuf, ts) != NULL)
    printf("  log: %s", lineBuf);
  psp_fclose(ts);
  psp_fileRemove(textFile);
  psp_fileRemove(logFile);
  psp_freeMem(logFile, PSP_TAG_DEFAULT, "demo", __LINE__);
  psp_freeMem(textFile, PSP_TAG_DEFAULT, "demo", __LINE__);

  psp_term();
  printf("\ndone\n");
  return 0;
}
