// psplog.cpp - logging: sinks with their stacks of shared targets, log
// contexts, the record functions and the console print functions.
//
// A sink is a stack of targets; only the top one receives output. Targets
// are shared by name (compared ignoring case) and counted by the stack
// entries that refer to them; the last entry to go closes the stream. Nodes,
// targets and names come from the sink's own arena tag, which has no lock:
// the sink's mutex serialises every use of the sink.
//
// A record is formatted once, outside every lock, then written to the
// console sink's top stream under that sink's mutex and to the log sink's
// top stream under the log sink's mutex, never both mutexes at once. Each
// copy is flushed at once, so a log file is complete up to its last record
// whatever becomes of the process. Nothing done under a sink's mutex takes a
// tag's jump: the streams opened and the scratch grown there use the no-jump
// forms.
//
// Before psp_init records go to the C runtime's standard streams; the
// process-wide sinks hold no target and no mutex then.
#include "internal.h"
#include "platform/os.h"
#include "streams/stream.h"
#include "text/format.h"
#include "text/unicode.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

struct psp_log_target_rec {
  char *name; // NULL for a target without a file
  PSP_STREAM stream;
  uint32_t refs; // stack entries that refer to it
};

struct psp_log_node_rec {
  PSP_LOG_TARGET *target;
  PSP_LOG_NODE *next; // older entry
};

struct psp_log_chunk_rec {
  char *text;
  uint64_t length;
};

namespace psp {

// The mutex fields of the never-initialised globals are zero, which counts
// as no mutex, so loading the library runs no initialiser.
PSP_LOG_SINK g_stdoutSink;
PSP_LOG_SINK g_stderrSink;
PSP_LOG_SINK g_logSink;

namespace {

constexpr uint32_t kStampLength = 21; // "[YYYY-MM-DD HH:MM:SS]"
constexpr uint64_t kStackText = 512;  // records shorter than this are formatted on the stack

inline PSP_SEM mutexOf(const PSP_LOG_SINK *sink) {
  return sink->mutex == nullptr ? PSP_SEM_NONE : sink->mutex;
}

class SinkLock {
public:
  explicit SinkLock(const PSP_LOG_SINK *sink) : guard_(mutexOf(sink)) {}

private:
  SemGuard guard_;
};

inline PSP_STREAM topStream(const PSP_LOG_SINK *sink) {
  return sink->top != nullptr ? sink->top->target->stream : nullptr;
}

struct Sinks {
  PSP_LOG_SINK *log, *out, *err;
};

// NULL names the process-wide sinks; a context without the magic word has none.
bool sinksOf(PSP_LOG_CTX *ctx, Sinks &sinks) {
  if (ctx == nullptr) {
    sinks = {&g_logSink, &g_stdoutSink, &g_stderrSink};
    return true;
  }
  if (ctx->magic != PSP_LOG_CTX_MAGIC)
    return false;
  sinks = {&ctx->logSink, &ctx->stdoutSink, &ctx->stderrSink};
  return true;
}

// The local time as "[%F %T]". The broken-down time is worked out once a
// second per thread; records in between reuse it.
void timeStamp(char (&out)[kStampLength + 1]) {
  thread_local int64_t lastSecond = -1;
  thread_local char last[kStampLength + 1];
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
  os::clockRealtime(seconds, nanoseconds);
  if (seconds != lastSecond) {
    PSP_TM tm{};
    if (!os::brokenDownLocal(seconds, tm))
      tm = PSP_TM{};
    char text[64];
    psp_snprintf(text, sizeof text, "[%04d-%02d-%02d %02d:%02d:%02d]", tm.year + 1900, tm.mon + 1,
                 tm.mday, tm.hour, tm.min, tm.sec);
    std::memcpy(last, text, kStampLength);
    last[kStampLength] = '\0';
    lastSecond = seconds;
  }
  std::memcpy(out, last, sizeof out);
}

// The stamp, two spaces and the text; the bytes written or -1.
int64_t writeStamped(PSP_STREAM stream, const char *text, uint64_t length) {
  char stamp[kStampLength + 1];
  timeStamp(stamp);
  if (streamWrite(stream, stamp, kStampLength) < 0 || streamWrite(stream, "  ", 2) < 0)
    return -1;
  const int64_t n = streamWrite(stream, text, length);
  return n < 0 ? -1 : n + kStampLength + 2;
}

// One record to the console sink and the log sink; the console count.
int32_t writeRecord(const Sinks &sinks, bool toStderr, bool withTime, const char *text) {
  const uint64_t length = std::strlen(text);
  int64_t count = 0;
  if (g_flags.service.load(std::memory_order_relaxed) == 0) {
    PSP_LOG_SINK *console = toStderr ? sinks.err : sinks.out;
    SinkLock lock(console);
    if (PSP_STREAM stream = topStream(console)) {
      count = withTime ? writeStamped(stream, text, length) : streamWrite(stream, text, length);
      streamFlush(stream);
    }
  }
  {
    SinkLock lock(sinks.log);
    if (PSP_STREAM stream = topStream(sinks.log)) {
      writeStamped(stream, text, length);
      streamFlush(stream);
    }
  }
  return count < 0 ? -1 : count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

int32_t narrowRecord(PSP_LOG_CTX *ctx, bool toStderr, bool withTime, const char *format,
                     va_list args) {
  if (!initialised())
    return format == nullptr ? 0 : std::vfprintf(toStderr ? stderr : stdout, format, args);
  Sinks sinks;
  if (format == nullptr || !sinksOf(ctx, sinks))
    return 0;
  // Formatted once into the stack; a longer record has been measured by
  // that pass and is formatted again into the thread's tag.
  char local[kStackText];
  fmt::BoundedSink<char> quick(local, sizeof local);
  if (fmt::formatTo(quick, format, args) != PSP_OKAY || quick.total >= fmt::kMaxLength)
    return 0;
  const uint64_t length = quick.total;
  if (length + 1 <= kStackText) {
    quick.terminate();
    return writeRecord(sinks, toStderr, withTime, local);
  }
  psp_memtag_rec *thread = resolveTag(PSP_TAG_THREAD);
  // May jump; nothing is held yet.
  auto *text = thread != nullptr
                   ? static_cast<char *>(tagAlloc(thread, static_cast<uint32_t>(length + 1)))
                   : nullptr;
  if (text == nullptr)
    return 0; // the record is lost
  fmt::formatBounded(text, length + 1, format, args);
  const int32_t count = writeRecord(sinks, toStderr, withTime, text);
  tagFree(thread, text);
  return count;
}

// UTF-16 output to a C runtime stream before psp_init, converted as it comes.
struct StdioWideSink {
  std::FILE *file;
  uint32_t high = 0; // a high surrogate waiting for its partner
  uint64_t total = 0;

  void emit(uint32_t code) {
    char bytes[4];
    const int n = unicode::encodeUtf8(code, bytes);
    std::fwrite(bytes, 1, static_cast<size_t>(n), file);
  }
  int put(char16_t unit) {
    ++total;
    if (high != 0) {
      const uint32_t first = high;
      high = 0;
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        emit(0x10000 + ((first & 0x3FF) << 10) + (unit & 0x3FFu));
        return 0;
      }
      emit(unicode::kReplacement);
    }
    if (unit >= 0xD800 && unit <= 0xDBFF)
      high = unit;
    else if (unit >= 0xDC00 && unit <= 0xDFFF)
      emit(unicode::kReplacement);
    else
      emit(unit);
    return 0;
  }
  int run(const char16_t *p, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
      put(p[i]);
    return 0;
  }
  int fill(char16_t unit, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
      put(unit);
    return 0;
  }
};

int32_t wideRecord(PSP_LOG_CTX *ctx, bool toStderr, bool withTime, const PSP_WCHAR *format,
                   va_list args) {
  if (format == nullptr)
    return 0;
  if (!initialised()) {
    if (os::kRuntimeWide)
      return os::runtimeWidePrint(toStderr, format, args);
    StdioWideSink sink{toStderr ? stderr : stdout};
    if (fmt::formatTo(sink, format, args) != PSP_OKAY)
      return -1;
    if (sink.high != 0)
      sink.emit(unicode::kReplacement);
    return sink.total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sink.total);
  }
  Sinks sinks;
  uint64_t length;
  if (!sinksOf(ctx, sinks))
    return 0;
  if (os::kRuntimeWide) {
    const int64_t n = os::runtimeWideLength(format, args);
    if (n < 0)
      return 0;
    length = static_cast<uint64_t>(n);
  } else if (!fmt::measure(format, args, &length)) {
    return 0;
  }
  if ((length + 1) * sizeof(PSP_WCHAR) > 0xFFFFFFFEu)
    return 0;
  psp_memtag_rec *thread = resolveTag(PSP_TAG_THREAD);
  if (thread == nullptr)
    return 0;
  auto *wide = static_cast<PSP_WCHAR *>(
      tagAlloc(thread, static_cast<uint32_t>((length + 1) * sizeof(PSP_WCHAR))));
  if (wide == nullptr)
    return 0;
  if (os::kRuntimeWide)
    os::runtimeWideFormat(wide, length + 1, format, args);
  else
    fmt::formatBounded(wide, length + 1, format, args);
  char *text = psp_convToUTF8(wide, PSP_CONV_REPLACE, PSP_TAG_THREAD);
  tagFree(thread, wide);
  if (text == nullptr)
    return 0;
  const int32_t count = writeRecord(sinks, toStderr, withTime, text);
  tagFree(thread, text);
  return count;
}

void freeFromSink(psp_memtag_rec *tag, void *block) {
  if (block != nullptr)
    tagFree(tag, block);
}

PSP_STATUS sinkPush(PSP_LOG_SINK *sink, const char *name) {
  if (name != nullptr && name[0] == '\0')
    name = nullptr;
  psp_memtag_rec *tag = sink->tag;
  if (tag == nullptr)
    return PSP_ERR_NOMEMORY; // a sink made before psp_init takes no targets
  SinkLock lock(sink);
  auto *node = static_cast<PSP_LOG_NODE *>(tagTryAlloc(tag, sizeof(PSP_LOG_NODE)));
  if (node == nullptr)
    return PSP_ERR_NOMEMORY;
  PSP_LOG_TARGET *target = nullptr;
  for (PSP_LOG_NODE *at = sink->top; at != nullptr && target == nullptr; at = at->next) {
    PSP_LOG_TARGET *t = at->target;
    if (name != nullptr ? t->name != nullptr && os::compareNoCase(t->name, name) == 0
                        : t->name == nullptr)
      target = t;
  }
  if (target == nullptr) {
    PSP_STATUS status = PSP_OKAY;
    target = static_cast<PSP_LOG_TARGET *>(tagTryAlloc(tag, sizeof(PSP_LOG_TARGET)));
    if (target == nullptr) {
      status = PSP_ERR_NOMEMORY;
    } else {
      std::memset(target, 0, sizeof *target);
      if (name != nullptr) {
        const size_t size = std::strlen(name) + 1;
        target->name = size < 0xFFFFFFFFu
                           ? static_cast<char *>(tagTryAlloc(tag, static_cast<uint32_t>(size)))
                           : nullptr;
        if (target->name == nullptr) {
          status = PSP_ERR_NOMEMORY;
        } else {
          std::memcpy(target->name, name, size);
          status = streamOpen(name, "w", PSP_ENC_UTF8, 0, false, &target->stream);
        }
      }
    }
    if (status != PSP_OKAY) {
      if (target != nullptr) {
        freeFromSink(tag, target->name);
        tagFree(tag, target);
      }
      tagFree(tag, node);
      return status;
    }
  }
  ++target->refs;
  node->target = target;
  node->next = sink->top;
  sink->top = node;
  return PSP_OKAY;
}

void sinkPop(PSP_LOG_SINK *sink) {
  if (sink->top == nullptr)
    return;
  PSP_LOG_NODE *node;
  {
    SinkLock lock(sink);
    node = sink->top;
    if (node == nullptr)
      return;
    PSP_LOG_TARGET *target = node->target;
    if (--target->refs == 0) {
      freeFromSink(sink->tag, target->name);
      if (target->stream != nullptr)
        psp_fclose(target->stream);
      tagFree(sink->tag, target);
    }
    sink->top = node->next;
  }
  tagFree(sink->tag, node);
}

int32_t consolePrint(PSP_LOG_SINK *sink, const char *format, va_list args) {
  SinkLock lock(sink);
  PSP_STREAM stream = topStream(sink);
  return stream != nullptr ? streamVPrintf(stream, format, args, false) : 0;
}

void consoleFlush(PSP_LOG_SINK *sink, std::FILE *fallback) {
  SinkLock lock(sink);
  if (PSP_STREAM stream = topStream(sink))
    streamFlush(stream);
  else
    std::fflush(fallback);
}

PSP_STATUS openOn(PSP_LOG_CTX *ctx, PSP_LOG_SINK *Sinks::*which, const char *name) {
  if (!initialised())
    return PSP_ERR_SYSTEM;
  Sinks sinks;
  if (!sinksOf(ctx, sinks))
    return PSP_ERR_INVALIDPARAM;
  return sinkPush(sinks.*which, name);
}

void closeOn(PSP_LOG_CTX *ctx, PSP_LOG_SINK *Sinks::*which) {
  Sinks sinks;
  if (initialised() && sinksOf(ctx, sinks))
    sinkPop(sinks.*which);
}

} // namespace

PSP_STATUS sinkCreate(PSP_LOG_SINK *sink, const char *name) {
  sink->mutex = PSP_SEM_NONE;
  sink->tag = nullptr;
  sink->top = nullptr;
  if (!initialised())
    return PSP_OKAY;
  if (!syncDisabled())
    sink->mutex = psp_syncCreate_check(PSP_SYNC_MUTEX, "psplog", __LINE__);
  psp_memtag_rec *tag = nullptr;
  PSP_STATUS status = createTag(nullptr, 0, PSP_TAGKIND_ARENA, nullptr, nullptr, &tag);
  if (status == PSP_OKAY) {
    registerTag(tag);
    sink->tag = tag;
    if (name != nullptr)
      status = sinkPush(sink, name);
  }
  if (status != PSP_OKAY)
    sinkDestroy(sink);
  return status;
}

void sinkDestroy(PSP_LOG_SINK *sink) {
  while (sink->top != nullptr)
    sinkPop(sink);
  psp_syncDelete(mutexOf(sink));
  sink->mutex = PSP_SEM_NONE;
  if (sink->tag != nullptr)
    psp_freeTagMem(sink->tag, 1, "psplog", __LINE__);
  sink->tag = nullptr;
}

} // namespace psp

using namespace psp;

// ---- contexts and targets ----

PSP_API PSP_STATUS psp_log_initCtx(PSP_LOG_CTX *ctx) {
  if (ctx == nullptr)
    return PSP_ERR_INVALIDPARAM;
  ctx->magic = 0;
  // The sinks need the library's mutexes and tags.
  if (!initialised())
    return PSP_ERR_SYSTEM;
  ctx->magic = PSP_LOG_CTX_MAGIC;
  PSP_STATUS status = sinkCreate(&ctx->stdoutSink, "stdout");
  if (status == PSP_OKAY) {
    status = sinkCreate(&ctx->stderrSink, "stderr");
    if (status == PSP_OKAY) {
      status = sinkCreate(&ctx->logSink, nullptr);
      if (status != PSP_OKAY)
        sinkDestroy(&ctx->stderrSink);
    }
    if (status != PSP_OKAY)
      sinkDestroy(&ctx->stdoutSink);
  }
  if (status != PSP_OKAY)
    ctx->magic = 0;
  return status;
}

PSP_API void psp_log_termCtx(PSP_LOG_CTX *ctx) {
  if (ctx == nullptr || ctx->magic != PSP_LOG_CTX_MAGIC)
    return;
  sinkDestroy(&ctx->logSink);
  sinkDestroy(&ctx->stderrSink);
  sinkDestroy(&ctx->stdoutSink);
  ctx->magic = 0; // a second termination does nothing
}

PSP_API PSP_STATUS psp_log_openEx(PSP_LOG_CTX *ctx, const char *name) {
  return openOn(ctx, &Sinks::log, name);
}

PSP_API void psp_log_closeEx(PSP_LOG_CTX *ctx) { closeOn(ctx, &Sinks::log); }

PSP_API PSP_STATUS psp_stdout_openEx(PSP_LOG_CTX *ctx, const char *name) {
  return openOn(ctx, &Sinks::out, name);
}

PSP_API void psp_stdout_closeEx(PSP_LOG_CTX *ctx) { closeOn(ctx, &Sinks::out); }

PSP_API PSP_STATUS psp_log_createEx(PSP_LOG_CTX *ctx, const char *dir, const char *file) {
  if (dir == nullptr || file == nullptr || file[0] == '\0')
    return PSP_ERR_INVALIDPARAM;
  // A name that leaves the directory is a file this call cannot open, which
  // it does not report: the sink stays as it was.
  if (std::strchr(file, '/') != nullptr || std::strchr(file, os::kPathSeparator) != nullptr ||
      std::strcmp(file, ".") == 0 || std::strcmp(file, "..") == 0)
    return PSP_OKAY;
  char *path =
      psp_makeStrVA("psplog", __LINE__, PSP_TAG_THREAD, "%s%c%s", dir, os::kPathSeparator, file);
  if (path == nullptr)
    return PSP_ERR_NOMEMORY;
  if (!initialised())
    return PSP_OKAY;
  psp_log_openEx(ctx, path); // a file that cannot be opened is not reported
  psp_freeMem(path, PSP_TAG_THREAD, "psplog", __LINE__);
  return PSP_OKAY;
}

// ---- records ----

PSP_API int32_t psp_log(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = narrowRecord(nullptr, false, false, format, args);
  va_end(args);
  return n;
}

PSP_API int32_t psp_log_with_time(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = narrowRecord(nullptr, false, true, format, args);
  va_end(args);
  return n;
}

PSP_API int32_t psp_logEx(PSP_LOG_CTX *ctx, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = narrowRecord(ctx, false, false, format, args);
  va_end(args);
  return n;
}

PSP_API int32_t psp_logEx_with_time(PSP_LOG_CTX *ctx, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = narrowRecord(ctx, false, true, format, args);
  va_end(args);
  return n;
}

PSP_API int32_t psp_log_err(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = narrowRecord(nullptr, true, false, format, args);
  va_end(args);
  return n;
}

PSP_API int32_t psp_log_errV_Ex(PSP_LOG_CTX *ctx, uint32_t withTime, const char *format,
                                va_list args) {
  return narrowRecord(ctx, true, withTime != 0, format, args);
}

PSP_API int32_t psp_logW(const PSP_WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = wideRecord(nullptr, false, false, format, args);
  va_end(args);
  return n;
}

PSP_API int32_t psp_log_errW(const PSP_WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = wideRecord(nullptr, true, false, format, args);
  va_end(args);
  return n;
}

PSP_API int32_t psp_logWV_Ex(PSP_LOG_CTX *ctx, uint32_t withTime, const PSP_WCHAR *format,
                             va_list args) {
  return wideRecord(ctx, false, withTime != 0, format, args);
}

// ---- chunks ----

PSP_API PSP_LOG_CHUNK psp_log_chunk_init(void) {
  psp_memtag_rec *tag = initialised() ? resolveTag(PSP_TAG_DEFAULT) : nullptr;
  if (tag == nullptr)
    return nullptr;
  auto *chunk = static_cast<PSP_LOG_CHUNK>(tagAlloc(tag, sizeof(psp_log_chunk_rec)));
  if (chunk != nullptr)
    std::memset(chunk, 0, sizeof *chunk);
  return chunk;
}

namespace {

// Appends one formatted piece; a piece that cannot be formatted or stored
// leaves the chunk as it was.
void chunkAppend(PSP_LOG_CHUNK chunk, const char *format, va_list args) {
  uint64_t piece;
  psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT);
  if (tag == nullptr || !fmt::measure(format, args, &piece) ||
      chunk->length + piece + 1 >= 0xFFFFFFFFu)
    return;
  const auto size = static_cast<uint32_t>(chunk->length + piece + 1);
  void *grown =
      chunk->text == nullptr ? tagAlloc(tag, size) : tagRealloc(tag, chunk->text, size, 1);
  if (grown == nullptr)
    return;
  chunk->text = static_cast<char *>(grown);
  fmt::formatBounded(chunk->text + chunk->length, piece + 1, format, args);
  chunk->length += piece;
}

} // namespace

PSP_API void psp_log_chunk(PSP_LOG_CHUNK chunk, const char *format, ...) {
  if (chunk == nullptr || format == nullptr)
    return;
  va_list args;
  va_start(args, format);
  chunkAppend(chunk, format, args);
  va_end(args);
}

PSP_API void psp_log_chunk_end(PSP_LOG_CHUNK chunk, const char *format, ...) {
  if (chunk == nullptr)
    return;
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    chunkAppend(chunk, format, args);
    va_end(args);
  }
  if (chunk->length != 0 && initialised()) // pieces that formatted to nothing make no record
    writeRecord(Sinks{&g_logSink, &g_stdoutSink, &g_stderrSink}, false, false, chunk->text);
  if (psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT)) {
    if (chunk->text != nullptr)
      tagFree(tag, chunk->text);
    tagFree(tag, chunk);
  }
}

// ---- console printing ----

PSP_API int32_t psp_printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = consolePrint(&g_stdoutSink, format, args);
  va_end(args);
  return n;
}

PSP_API int32_t psp_printfV(const char *format, va_list args) {
  return consolePrint(&g_stdoutSink, format, args);
}

PSP_API int32_t psp_printfErrV(const char *format, va_list args) {
  return consolePrint(&g_stderrSink, format, args);
}

PSP_API void psp_flush(void) { consoleFlush(&g_stdoutSink, stdout); }

PSP_API void psp_flushErr(void) { consoleFlush(&g_stderrSink, stderr); }
