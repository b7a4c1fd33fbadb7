/*
 * psp.h - the platform-support library's one public header.
 *
 * Everything a caller reaches goes through the flat psp_ functions declared
 * here. The library keeps no state until psp_init and releases it at the
 * matching psp_term. Failures are returned as PSP_STATUS codes, never raised;
 * the one non-local exit is a memory tag's jump buffer (longjmp with 1).
 *
 * Narrow text is UTF-8 in char strings, wide text is UTF-16 in PSP_WCHAR
 * (char16_t) strings. Compiles as C11 and as C++17.
 */
#ifndef PSP_H
#define PSP_H

#include <setjmp.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define PSP_EXTERN_C extern "C"
#else
#include <uchar.h>
#define PSP_EXTERN_C
#endif

#if defined(_WIN32)
#if defined(PSP_STATIC)
#define PSP_API PSP_EXTERN_C
#elif defined(PSP_BUILDING)
#define PSP_API PSP_EXTERN_C __declspec(dllexport)
#else
#define PSP_API PSP_EXTERN_C __declspec(dllimport)
#endif
#else
#define PSP_API PSP_EXTERN_C __attribute__((visibility("default")))
#endif

#define PSP_VERSION_MAJOR 14
#define PSP_VERSION_MINOR 1
#define PSP_VERSION_BUILD 3194

/* ------------------------------------------------------------------------ */
/* Status codes                                                              */
/* ------------------------------------------------------------------------ */

typedef int32_t PSP_STATUS;

#define PSP_OKAY 0
#define PSP_ERR_NOMEMORY (-10000)
#define PSP_ERR_NOTSUPPORTED (-10020)
#define PSP_ERR_INVALIDPARAM (-10022)
#define PSP_ERR_NOFILE (-10029)
#define PSP_ERR_READ (-10037)
#define PSP_ERR_WRITE (-10038)
#define PSP_ERR_RANGE (-10039)
#define PSP_ERR_VINT (-10052)
#define PSP_ERR_ENDOFDATA (-10072)
#define PSP_ERR_BADCHAR (-10074)
#define PSP_ERR_STAT (-12056)
#define PSP_ERR_NOTANUMBER (-12060)
#define PSP_ERR_SYSTEM (-14000)
#define PSP_ERR_GLOBALS (-14001)
#define PSP_ERR_ACCESS (-14003)
#define PSP_ERR_ACCOUNT (-14004)
#define PSP_ERR_LOGON (-14005)
#define PSP_ERR_OPENFIRST (-14006)
#define PSP_ERR_OPENSECOND (-14007)
#define PSP_ERR_TRUNCATED (-18001)
#define PSP_NO 10000
#define PSP_EXISTS 10001
#define PSP_TIMEOUT 10002
#define PSP_PENDING 10008

/* ------------------------------------------------------------------------ */
/* Shared types                                                              */
/* ------------------------------------------------------------------------ */

/* One UTF-16 code unit; u"text" literals pass unchanged in C and C++. */
typedef char16_t PSP_WCHAR;

typedef struct psp_memtag_rec *PSP_MEMTAG;
typedef struct psp_sem_slot *PSP_SEM;
typedef struct psp_pool_rec *PSP_POOL;
typedef struct psp_rand_rec *PSP_RAND;
typedef struct psp_fh_rec *PSP_FH;
typedef struct psp_stream_rec *PSP_STREAM;
typedef struct psp_dir_rec *PSP_DIR;
typedef struct psp_lib_rec *PSP_LIB;
typedef struct psp_input_buff_rec *PSP_INPUT_BUFF;
typedef struct psp_output_buff_rec *PSP_OUTPUT_BUFF;
typedef struct psp_log_chunk_rec *PSP_LOG_CHUNK;
typedef struct psp_log_node_rec PSP_LOG_NODE;
typedef struct psp_log_target_rec PSP_LOG_TARGET;

#define PSP_TAG_THREAD ((PSP_MEMTAG)1)
#define PSP_TAG_DEFAULT ((PSP_MEMTAG)2)
#define PSP_SEM_NONE ((PSP_SEM) ~(uintptr_t)0)

/* Tag kinds */
#define PSP_TAGKIND_BUCKET 0u
#define PSP_TAGKIND_HEAP 1u
#define PSP_TAGKIND_ARENA 2u
#define PSP_TAGKIND_MALLOC 3u

/* Allocation flags */
#define PSP_MEM_NORMAL 1u
#define PSP_MEM_ZERO 2u
#define PSP_MEM_COPY 4u
#define PSP_MEM_STRLEN 8u
#define PSP_MEM_WSTRLEN 16u
#define PSP_MEM_STRDUP 13u
#define PSP_MEM_WSTRDUP 21u

/* Sync object kinds */
#define PSP_SYNC_MUTEX 1
#define PSP_SYNC_EVENT 2

/* Conversion modes */
#define PSP_CONV_STRICT 0
#define PSP_CONV_REPLACE 1

/* Text stream encodings */
#define PSP_ENC_UTF8 1u
#define PSP_ENC_UTF16 2u

/* File open mode bits */
#define PSP_FILE_RDONLY 0x0000u
#define PSP_FILE_WRONLY 0x0001u
#define PSP_FILE_RDWR 0x0002u
#define PSP_FILE_CREATE 0x0100u
#define PSP_FILE_TRUNCATE 0x0200u

/* File open options */
#define PSP_FILE_DENY_READ 0x0001u
#define PSP_FILE_DENY_WRITE 0x0002u
#define PSP_FILE_NOSYNC 0x0200u

#define PSP_LOG_CTX_MAGIC 0x2784ADB1u

/* Callback shapes */
typedef int (*PSP_EMITTER)(void *sink, int ch);
typedef PSP_STATUS (*PSP_BYTE_READER)(void *ctx, uint8_t *byte);
typedef void (*PSP_TAG_CALLBACK)(void *context);
typedef uint32_t (*PSP_THREAD_FN)(void *argument);
typedef uint32_t (*PSP_GLOBAL_INIT)(void *value);
typedef void (*PSP_GLOBAL_FINI)(void *value);
typedef void (*PSP_POOL_CALLBACK)(void *context, void *block);
typedef PSP_STATUS (*PSP_BUFF_READ_FN)(void *ctx, uint8_t *buf, uint32_t capacity, uint32_t *filled,
                                       uint32_t zero);
typedef PSP_STATUS (*PSP_BUFF_WRITE_FN)(void *ctx, const uint8_t *bytes, uint32_t length);

/* Caller-owned records */
typedef struct PSP_THREAD {
  void *handle; /* NULL when the start failed */
  PSP_THREAD_FN function;
  void *argument;
} PSP_THREAD;

typedef struct PSP_UTF8_BUFF {
  char *buf;
  uint64_t capacity; /* bytes that may be stored: size - 1 */
  uint64_t used;
  uint64_t stored;
  uint64_t total;
  uint64_t totalChars;
  uint32_t overflow;
} PSP_UTF8_BUFF;

typedef struct PSP_WCHAR_BUFF {
  PSP_WCHAR *buf;
  uint64_t capacity; /* units that may be stored: size - 1 */
  uint64_t used;
  uint64_t stored; /* characters: a surrogate pair counts once */
  uint64_t total;
  uint64_t totalChars;
  uint32_t overflow;
} PSP_WCHAR_BUFF;

/* Six counters whose meaning depends on the tag kind; see psp_getTagMemInfo. */
typedef struct PSP_MEMINFO {
  uint64_t counters[6];
} PSP_MEMINFO;

typedef struct PSP_TM {
  int32_t sec, min, hour, mday, mon, year, wday, yday, isdst;
} PSP_TM;

typedef struct PSP_LOG_SINK {
  PSP_SEM mutex;
  PSP_MEMTAG tag;
  PSP_LOG_NODE *top;
} PSP_LOG_SINK;

typedef struct PSP_LOG_CTX {
  uint32_t magic;
  PSP_LOG_SINK logSink;
  PSP_LOG_SINK stdoutSink;
  PSP_LOG_SINK stderrSink;
} PSP_LOG_CTX;

/* ------------------------------------------------------------------------ */
/* Library lifecycle                                                         */
/* ------------------------------------------------------------------------ */

PSP_API PSP_STATUS psp_init(void);
/* A psp_term without a matching psp_init is ignored: the count never goes
   below zero. */
PSP_API void psp_term(void);
PSP_API void psp_rdonly(void);
PSP_API void psp_nodisk(void);
PSP_API void psp_version(uint16_t *major, uint16_t *minor, uint16_t *build);

/* ------------------------------------------------------------------------ */
/* Named globals                                                             */
/* ------------------------------------------------------------------------ */

PSP_API PSP_STATUS psp_globalGet(const char *name, uint64_t size, PSP_GLOBAL_INIT initialiser,
                                 PSP_GLOBAL_FINI finaliser, void **out);

/* ------------------------------------------------------------------------ */
/* Memory tags                                                               */
/* ------------------------------------------------------------------------ */

PSP_API PSP_MEMTAG psp_createTagEx(jmp_buf *jump, uint16_t threadSafe, uint32_t kind,
                                   PSP_TAG_CALLBACK callback, void *context);
PSP_API PSP_STATUS psp_createTagEx_rc(jmp_buf *jump, uint16_t threadSafe, uint32_t kind,
                                      PSP_TAG_CALLBACK callback, void *context, PSP_MEMTAG *out);
PSP_API void *psp_getMem(uint64_t size, PSP_MEMTAG tag, uint32_t flags, const void *source,
                         const char *file, int32_t line);
PSP_API PSP_STATUS psp_getMem_rc(uint64_t size, PSP_MEMTAG tag, uint32_t flags, const void *source,
                                 void **out, const char *file, int32_t line);
PSP_API void *psp_extendMem(void *block, uint64_t size, PSP_MEMTAG tag, uint32_t flags,
                            uint64_t added, const void *source, const char *file, int32_t line);
PSP_API PSP_STATUS psp_extendMem_rc(void *block, uint64_t size, PSP_MEMTAG tag, uint32_t flags,
                                    uint64_t added, const void *source, void **out,
                                    const char *file, int32_t line);
PSP_API void psp_freeMem(void *block, PSP_MEMTAG tag, const char *file, int32_t line);
PSP_API void psp_freeTagMem(PSP_MEMTAG tag, int32_t destroy, const char *file, int32_t line);
PSP_API void psp_resetTag(jmp_buf *jump, PSP_MEMTAG tag);
PSP_API void *psp_moveMem(void *block, uint64_t size, PSP_MEMTAG to, PSP_MEMTAG from);
PSP_API PSP_STATUS psp_getTagMemInfo(PSP_MEMTAG tag, PSP_MEMINFO *info);
PSP_API PSP_STATUS psp_setMemLimit(void *buffer, uint64_t limit);
PSP_API void psp_getMemUsage(uint64_t *usage, uint64_t *peak);
PSP_API void psp_memReport(PSP_MEMTAG tag, const char *format, ...);

/* ------------------------------------------------------------------------ */
/* Object pools                                                              */
/* ------------------------------------------------------------------------ */

PSP_API PSP_STATUS psp_poolCreateEx(PSP_MEMTAG tag, uint32_t reserved, uint32_t threadSafe,
                                    PSP_POOL_CALLBACK constructor, PSP_POOL_CALLBACK destructor,
                                    void *context, PSP_POOL *out);
PSP_API void psp_poolSetMaxPooled(PSP_POOL pool, uint32_t maxPooled);
PSP_API void *psp_poolGetMem(PSP_POOL pool, uint64_t size, int32_t flags, const void *source);
PSP_API void psp_poolPut(PSP_POOL pool, void *block);
PSP_API void psp_poolDestroy(PSP_POOL pool);

/* ------------------------------------------------------------------------ */
/* Synchronization objects and the library critical section                 */
/* ------------------------------------------------------------------------ */

PSP_API PSP_SEM psp_syncCreate_check(int16_t kind, const char *file, int32_t line);
PSP_API void psp_syncDelete(PSP_SEM sem);
PSP_API PSP_STATUS psp_syncEnterExcl(PSP_SEM sem);
PSP_API void psp_syncExitExcl(PSP_SEM sem);
PSP_API PSP_STATUS psp_syncWait(PSP_SEM sem, uint32_t timeoutMs);
PSP_API void psp_syncStart(PSP_SEM sem);
PSP_API void psp_syncResume(PSP_SEM sem);
PSP_API PSP_STATUS psp_enterCritSec(void);
PSP_API void psp_exitCritSec(void);

/* ------------------------------------------------------------------------ */
/* Threads and atomics                                                       */
/* ------------------------------------------------------------------------ */

PSP_API PSP_STATUS psp_threadBegin(PSP_THREAD_FN function, uint32_t stackSize, void *argument,
                                   void *ignored, PSP_THREAD *thread);
PSP_API PSP_STATUS psp_threadBeginEx(PSP_THREAD_FN function, uint32_t stackSize, void *argument,
                                     PSP_THREAD *thread);
PSP_API PSP_STATUS psp_threadJoin(PSP_THREAD *thread);
PSP_API uint32_t psp_threadId(void);
PSP_API uint32_t psp_atomicSetUInt32(volatile uint32_t *counter, uint32_t expected, uint32_t value);
PSP_API void psp_atomicIncrUInt32(volatile uint32_t *counter);
PSP_API void psp_atomicDecrUInt32(volatile uint32_t *counter);

/* ------------------------------------------------------------------------ */
/* Format engines and bounded buffers                                        */
/* ------------------------------------------------------------------------ */

PSP_API PSP_STATUS psp_vfnprintf(PSP_EMITTER emitter, void *sink, const char *format, va_list args);
PSP_API PSP_STATUS psp_fnprintf(PSP_EMITTER emitter, void *sink, const char *format, ...);
PSP_API int32_t psp_vsnprintf(char *buf, uint64_t size, const char *format, va_list args);
PSP_API int32_t psp_snprintf(char *buf, uint64_t size, const char *format, ...);
PSP_API void psp_utf8BuffInit(PSP_UTF8_BUFF *buff, char *area, uint64_t size);
PSP_API int psp_emitCharAsUtf8(void *buff, int ch);
PSP_API void psp_utf8BuffTerm(PSP_UTF8_BUFF *buff);
PSP_API int psp_outputString(PSP_EMITTER emitter, void *sink, const char *text);

PSP_API PSP_STATUS psp_vfnwprintf(PSP_EMITTER emitter, void *sink, const PSP_WCHAR *format,
                                  va_list args);
PSP_API PSP_STATUS psp_fnwprintf(PSP_EMITTER emitter, void *sink, const PSP_WCHAR *format, ...);
PSP_API int32_t psp_vsnwprintf(PSP_WCHAR *buf, uint64_t size, const PSP_WCHAR *format,
                               va_list args);
PSP_API int32_t psp_snwprintf(PSP_WCHAR *buf, uint64_t size, const PSP_WCHAR *format, ...);
PSP_API void psp_wcharBuffInit(PSP_WCHAR_BUFF *buff, PSP_WCHAR *area, uint64_t size);
PSP_API int psp_wcharBuffEmit(PSP_WCHAR_BUFF *buff, uint32_t codePoint);
PSP_API int psp_emitCharAsWChar(void *buff, int codePoint);
PSP_API void psp_wcharBuffTerm(PSP_WCHAR_BUFF *buff);

/* ------------------------------------------------------------------------ */
/* String builders                                                           */
/* ------------------------------------------------------------------------ */

PSP_API char *psp_makeStrV(const char *file, int32_t line, PSP_MEMTAG tag, const char *format,
                           va_list args);
PSP_API char *psp_makeStrVA(const char *file, int32_t line, PSP_MEMTAG tag, const char *format,
                            ...);
PSP_API PSP_STATUS psp_makeStrVA_rc(const char *file, int32_t line, char **out, PSP_MEMTAG tag,
                                    const char *format, ...);
PSP_API char *psp_appendStrV(const char *file, int32_t line, PSP_MEMTAG tag, char *old,
                             const char *format, va_list args);
PSP_API char *psp_appendStrVA(const char *file, int32_t line, PSP_MEMTAG tag, char *old,
                              const char *format, ...);
PSP_API PSP_STATUS psp_appendStrVA_rc(const char *file, int32_t line, char **out, PSP_MEMTAG tag,
                                      char *old, const char *format, ...);

PSP_API PSP_WCHAR *psp_makeWStrV(const char *file, int32_t line, PSP_MEMTAG tag,
                                 const PSP_WCHAR *format, va_list args);
PSP_API PSP_WCHAR *psp_makeWStrVA(const char *file, int32_t line, PSP_MEMTAG tag,
                                  const PSP_WCHAR *format, ...);
PSP_API PSP_STATUS psp_makeWStrVA_rc(const char *file, int32_t line, PSP_WCHAR **out,
                                     PSP_MEMTAG tag, const PSP_WCHAR *format, ...);
PSP_API PSP_WCHAR *psp_appendWStrV(const char *file, int32_t line, PSP_MEMTAG tag, PSP_WCHAR *old,
                                   const PSP_WCHAR *format, va_list args);
PSP_API PSP_WCHAR *psp_appendWStrVA(const char *file, int32_t line, PSP_MEMTAG tag, PSP_WCHAR *old,
                                    const PSP_WCHAR *format, ...);
PSP_API PSP_STATUS psp_appendWStrVA_rc(const char *file, int32_t line, PSP_WCHAR **out,
                                       PSP_MEMTAG tag, PSP_WCHAR *old, const PSP_WCHAR *format,
                                       ...);

/* ------------------------------------------------------------------------ */
/* Unicode conversion                                                        */
/* ------------------------------------------------------------------------ */

PSP_API int psp_utf8_codes(uint32_t codePoint, char *area);
PSP_API uint64_t psp_uchar_to_utf8(uint32_t codePoint, char *area, uint64_t size);
PSP_API int psp_utf16_codes(uint32_t codePoint, PSP_WCHAR *area);
PSP_API PSP_STATUS psp_processWString(const PSP_WCHAR *text, PSP_EMITTER sink, void *context,
                                      int mode);
PSP_API PSP_STATUS psp_processWBuff(const PSP_WCHAR *units, uint64_t count, PSP_EMITTER sink,
                                    void *context, int mode);
PSP_API uint64_t psp_wchar_to_utf8(char *dst, const PSP_WCHAR *src, uint64_t size, int mode);
PSP_API uint64_t psp_wchar_to_utf8_len(char *dst, uint64_t size, const PSP_WCHAR *src,
                                       uint64_t count, int mode);
PSP_API uint64_t psp_utf8_to_wchar(PSP_WCHAR *dst, const char *src, uint64_t size, int mode);
PSP_API uint64_t psp_utf8_to_wchar_len(PSP_WCHAR *dst, uint64_t size, const char *src,
                                       uint64_t count, int mode);
PSP_API char *psp_convToUTF8(const PSP_WCHAR *text, int mode, PSP_MEMTAG tag);
PSP_API char *psp_convToUTF8_len(const PSP_WCHAR *units, uint32_t count, int mode, PSP_MEMTAG tag);
PSP_API PSP_WCHAR *psp_convToWchar(const char *text, int mode, PSP_MEMTAG tag);
PSP_API PSP_STATUS psp_convToUTF8_rc(const PSP_WCHAR *text, int mode, char **out, PSP_MEMTAG tag);
PSP_API PSP_STATUS psp_convToWchar_rc(const char *text, int mode, PSP_WCHAR **out, PSP_MEMTAG tag);
PSP_API uint64_t psp_copyUTF8Chars(char *dst, uint64_t room, const char *src, uint64_t length,
                                   uint64_t *chars, int mode);
PSP_API uint64_t psp_countUTF8bytes(const char *src, uint64_t length, uint64_t charLimit, int mode);
PSP_API uint32_t psp_countUTF8chars(const char *src, uint64_t length, int mode);
PSP_API PSP_STATUS psp_convArgvToUTF8(uint32_t argc, PSP_WCHAR **wargv, char ***out,
                                      PSP_MEMTAG tag);

/* ------------------------------------------------------------------------ */
/* String and number utilities                                               */
/* ------------------------------------------------------------------------ */

PSP_API char *psp_strcasestr(const char *haystack, const char *needle);
PSP_API char *psp_strncpyZ(char *dst, const char *src, uint64_t size);
PSP_API PSP_WCHAR *psp_wcsncpyZ(PSP_WCHAR *dst, const PSP_WCHAR *src, uint64_t size);
PSP_API PSP_STATUS psp_tokenize(char *text, const char *delimiters, char ***tokens, uint32_t *count,
                                uint32_t trim, PSP_MEMTAG tag);
PSP_API char *psp_strerr_alloc(uint32_t errnum, PSP_MEMTAG tag);
PSP_API PSP_STATUS psp_atoi64(const char *text, int64_t *out);
PSP_API PSP_STATUS psp_atoi32(const char *text, int32_t *out);
PSP_API PSP_STATUS psp_atoui64(const char *text, uint64_t *out);
PSP_API PSP_STATUS psp_atoui32(const char *text, uint32_t *out);
PSP_API double psp_atof(const char *text);
PSP_API PSP_STATUS psp_strtod(const char *text, double *out);
PSP_API PSP_STATUS psp_strtof(const char *text, float *out);

/* ------------------------------------------------------------------------ */
/* Variable-length integers                                                  */
/* ------------------------------------------------------------------------ */

PSP_API uint64_t psp_vintConvertToUnsigned(int64_t value);
PSP_API int64_t psp_vintConvertToSigned(uint64_t value);
PSP_API PSP_STATUS psp_vintEncodeUIntmax(uint64_t value, PSP_EMITTER emitter, void *context);
PSP_API PSP_STATUS psp_vintDecodeUIntmax(PSP_BYTE_READER reader, void *context, uint64_t *out);
PSP_API PSP_STATUS psp_vintDecodeUInt32(PSP_BYTE_READER reader, void *context, uint32_t *out);
PSP_API PSP_STATUS psp_vintDecodeSize_t(PSP_BYTE_READER reader, void *context, uint64_t *out);

/* ------------------------------------------------------------------------ */
/* Byte order, bits and float checks                                         */
/* ------------------------------------------------------------------------ */

PSP_API void psp_swaporderInt16(void *value);
PSP_API void psp_swaporderUInt16(void *value);
PSP_API void psp_swaporderInt32(void *value);
PSP_API void psp_swaporderUInt32(void *value);
PSP_API void psp_swaporderFloat(void *value);
PSP_API void psp_swaporderInt64(void *value);
PSP_API void psp_swaporderUInt64(void *value);
PSP_API void psp_swaporderDouble(void *value);
PSP_API uint32_t psp_bitFirstSet(uint32_t value);
PSP_API uint32_t psp_bitFirstSet64(uint64_t value);
PSP_API uint64_t psp_bitReverse64(uint64_t value);
PSP_API uint8_t psp_hexdigit(uint8_t ch);
PSP_API double psp_round(double value);
PSP_API float psp_ceilf(float value);
PSP_API float psp_floorf(float value);
PSP_API uint32_t psp_isnanf(float value, uint32_t *positive);
PSP_API uint32_t psp_isnan(double value, uint32_t *positive);
PSP_API uint32_t psp_isinff(float value, uint32_t *positive);
PSP_API uint32_t psp_validateFloat(float value, uint32_t *kind);
PSP_API uint32_t psp_validateDouble(double value, uint32_t *kind);

/* ------------------------------------------------------------------------ */
/* Text streams and console printing                                         */
/* ------------------------------------------------------------------------ */

/* Buffered text over a file handle or a standard stream; one thread at a
   time. mode: "r", "w", "a", optionally followed by "+" (NULL reads "r").
   encoding: 0 (detect when reading, UTF-8 when writing), PSP_ENC_UTF8 or
   PSP_ENC_UTF16 (the caller still reads and writes UTF-8). */
PSP_API PSP_STREAM psp_fopen(const char *path, const char *mode, uint32_t encoding);
PSP_API PSP_STREAM psp_fopenEx(const char *path, const char *mode, uint32_t encoding,
                               uint16_t options);
PSP_API PSP_STREAM psp_fopenStd(const char *name);
PSP_API void psp_fclose(PSP_STREAM s);
/* The next byte as a signed char widened to int32_t; -1 at end of file. */
PSP_API int32_t psp_fgetc(PSP_STREAM s);
PSP_API int32_t psp_fungetc(int32_t value, PSP_STREAM s);
PSP_API char *psp_fgets(char *buf, int32_t size, PSP_STREAM s);
PSP_API int32_t psp_fputc(int32_t ch, PSP_STREAM s);
PSP_API int32_t psp_fputs(const char *text, PSP_STREAM s);
PSP_API int32_t psp_vfprintf(PSP_STREAM s, const char *format, va_list args);
PSP_API int32_t psp_fprintf(PSP_STREAM s, const char *format, ...);
/* On the current target of the process-wide stdout (stderr) log sink. */
PSP_API int32_t psp_printf(const char *format, ...);
PSP_API int32_t psp_printfV(const char *format, va_list args);
PSP_API int32_t psp_printfErrV(const char *format, va_list args);
PSP_API void psp_flush(void);
PSP_API void psp_flushErr(void);
PSP_API int32_t psp_fflush(PSP_STREAM s);
PSP_API int32_t psp_fsync(PSP_STREAM s);
PSP_API PSP_STATUS psp_fIsATTY(PSP_STREAM s, uint32_t *isTerminal);
PSP_API PSP_STATUS psp_fSetEcho(PSP_STREAM s, uint32_t on);
/* A line of any length into *line (grown in tag), its size in *size. */
PSP_API char *psp_fGetLine(PSP_STREAM s, char **line, uint32_t *size, PSP_MEMTAG tag);

/* ------------------------------------------------------------------------ */
/* Logging                                                                   */
/* ------------------------------------------------------------------------ */

/* A NULL context names the process-wide sinks that psp_init makes. Records
   are UTF-8 text that carries its own line end; the log file copy is
   stamped "[YYYY-MM-DD HH:MM:SS]  ". */
PSP_API PSP_STATUS psp_log_initCtx(PSP_LOG_CTX *ctx);
PSP_API void psp_log_termCtx(PSP_LOG_CTX *ctx);
PSP_API PSP_STATUS psp_log_openEx(PSP_LOG_CTX *ctx, const char *name);
PSP_API void psp_log_closeEx(PSP_LOG_CTX *ctx);
PSP_API PSP_STATUS psp_stdout_openEx(PSP_LOG_CTX *ctx, const char *name);
PSP_API void psp_stdout_closeEx(PSP_LOG_CTX *ctx);
PSP_API PSP_STATUS psp_log_createEx(PSP_LOG_CTX *ctx, const char *dir, const char *file);
PSP_API int32_t psp_log(const char *format, ...);
PSP_API int32_t psp_log_with_time(const char *format, ...);
PSP_API int32_t psp_logEx(PSP_LOG_CTX *ctx, const char *format, ...);
PSP_API int32_t psp_logEx_with_time(PSP_LOG_CTX *ctx, const char *format, ...);
PSP_API int32_t psp_log_err(const char *format, ...);
PSP_API int32_t psp_log_errV_Ex(PSP_LOG_CTX *ctx, uint32_t withTime, const char *format,
                                va_list args);
PSP_API int32_t psp_logW(const PSP_WCHAR *format, ...);
PSP_API int32_t psp_log_errW(const PSP_WCHAR *format, ...);
PSP_API int32_t psp_logWV_Ex(PSP_LOG_CTX *ctx, uint32_t withTime, const PSP_WCHAR *format,
                             va_list args);
PSP_API PSP_LOG_CHUNK psp_log_chunk_init(void);
PSP_API void psp_log_chunk(PSP_LOG_CHUNK chunk, const char *format, ...);
PSP_API void psp_log_chunk_end(PSP_LOG_CHUNK chunk, const char *format, ...);

/* ------------------------------------------------------------------------ */
/* Buffered binary streams                                                   */
/* ------------------------------------------------------------------------ */

/* Typed values through a buffer over caller callbacks, laid end to end in host
   byte order (reversed when the buffer is made with swap non-zero). A get's
   destination may be NULL: the bytes are consumed. One thread at a time. */
PSP_API PSP_STATUS psp_inputBuffCreate(PSP_BUFF_READ_FN read, void *ctx, uint16_t swap,
                                       PSP_INPUT_BUFF *out);
PSP_API void psp_inputBuffDestroy(PSP_INPUT_BUFF b);
PSP_API PSP_STATUS psp_inputBuffReset(PSP_INPUT_BUFF b);
PSP_API PSP_STATUS psp_inputBuffGetChar(PSP_INPUT_BUFF b, void *dst);
PSP_API PSP_STATUS psp_inputBuffGetInt16(PSP_INPUT_BUFF b, void *dst);
PSP_API PSP_STATUS psp_inputBuffGetInt32(PSP_INPUT_BUFF b, void *dst);
PSP_API PSP_STATUS psp_inputBuffGetFloat32(PSP_INPUT_BUFF b, void *dst);
PSP_API PSP_STATUS psp_inputBuffGetInt64(PSP_INPUT_BUFF b, void *dst);
PSP_API PSP_STATUS psp_inputBuffGetFloat64(PSP_INPUT_BUFF b, void *dst);
PSP_API PSP_STATUS psp_inputBuffGetBytes(PSP_INPUT_BUFF b, void *dst, uint64_t count);
PSP_API PSP_STATUS psp_inputBuffGetString(PSP_INPUT_BUFF b, char **out, PSP_MEMTAG tag);
PSP_API PSP_STATUS psp_inputBuffGetStringWithLength(PSP_INPUT_BUFF b, char *dst, uint64_t size);
PSP_API PSP_STATUS psp_outputBuffCreate(PSP_BUFF_WRITE_FN write, void *ctx, uint16_t swap,
                                        PSP_OUTPUT_BUFF *out);
PSP_API void psp_outputBuffDestroy(PSP_OUTPUT_BUFF b);
PSP_API PSP_STATUS psp_outputBuffFlush(PSP_OUTPUT_BUFF b);
PSP_API PSP_STATUS psp_outputBuffPutChar(PSP_OUTPUT_BUFF b, uint8_t value);
PSP_API PSP_STATUS psp_outputBuffPutInt16(PSP_OUTPUT_BUFF b, uint16_t value);
PSP_API PSP_STATUS psp_outputBuffPutInt32(PSP_OUTPUT_BUFF b, uint32_t value);
PSP_API PSP_STATUS psp_outputBuffPutInt64(PSP_OUTPUT_BUFF b, uint64_t value);
PSP_API PSP_STATUS psp_outputBuffPutFloat32(PSP_OUTPUT_BUFF b, float value);
PSP_API PSP_STATUS psp_outputBuffPutFloat64(PSP_OUTPUT_BUFF b, double value);
PSP_API PSP_STATUS psp_outputBuffPutString(PSP_OUTPUT_BUFF b, const char *text);
PSP_API PSP_STATUS psp_outputBuffPutStringWithLength(PSP_OUTPUT_BUFF b, const char *text);
PSP_API PSP_STATUS psp_outputBuffPutBytes(PSP_OUTPUT_BUFF b, const void *bytes, uint64_t count);
PSP_API PSP_STATUS psp_outputBuffSendDirect(PSP_OUTPUT_BUFF b, const void *bytes, uint64_t count);
PSP_API uint32_t psp_align(uint32_t value, int32_t kind);
PSP_API uint64_t psp_alignBufferSize(uint64_t size);

/* ------------------------------------------------------------------------ */
/* Random numbers                                                            */
/* ------------------------------------------------------------------------ */

PSP_API PSP_RAND psp_randCreate(uint32_t seed);
PSP_API PSP_RAND psp_randCreateNoSem(uint32_t seed);
PSP_API void psp_randDestroy(PSP_RAND rand);
PSP_API void psp_randResetSeed(PSP_RAND rand, uint32_t seed);
PSP_API uint32_t psp_randGet(PSP_RAND rand);
PSP_API uint32_t psp_randGetUInt32(PSP_RAND rand);
PSP_API uint64_t psp_randGetUInt64(PSP_RAND rand);
PSP_API double psp_randGetDouble(PSP_RAND rand);

/* ------------------------------------------------------------------------ */
/* File handles                                                              */
/* ------------------------------------------------------------------------ */

/* NULL on any failure. "stdin", "stdout" and "stderr" (any case) name the
   standard streams, which psp_fileClose never closes. */
PSP_API PSP_FH psp_fileOpen(const char *name, uint32_t mode, uint16_t options);
PSP_API PSP_FH psp_fileOpenW(const PSP_WCHAR *name, uint32_t mode, uint16_t options);
PSP_API void psp_fileClose(PSP_FH fh);
/* origin: 0 start, 1 current position, 2 end */
PSP_API PSP_STATUS psp_fileSeek(PSP_FH fh, int64_t offset, uint32_t origin, uint64_t *newPos);
/* Counts of bytes moved; 0 on failure. */
PSP_API uint32_t psp_fileRead(PSP_FH fh, void *buf, uint32_t len);
PSP_API uint32_t psp_fileWrite(PSP_FH fh, const void *buf, uint32_t len);
PSP_API uint32_t psp_fileSeekRead(PSP_FH fh, uint64_t pos, void *buf, uint32_t len);
PSP_API uint32_t psp_fileSeekWrite(PSP_FH fh, uint64_t pos, const void *buf, uint32_t len);
PSP_API PSP_STATUS psp_filePageOut(PSP_FH fh, uint64_t value, uint32_t len);
PSP_API uint64_t psp_fileLength(PSP_FH fh);
PSP_API PSP_STATUS psp_fileSetSize(PSP_FH fh, uint64_t size);
PSP_API PSP_STATUS psp_fileLock(PSP_FH fh);
PSP_API PSP_STATUS psp_fileUnlock(PSP_FH fh);
PSP_API PSP_STATUS psp_fileSync(PSP_FH fh);
PSP_API PSP_STATUS psp_fileMap(PSP_FH fh, void *a, void *b);
PSP_API PSP_STATUS psp_fileRemap(PSP_FH fh, void *a, void *b);
PSP_API PSP_STATUS psp_fileUnmap(PSP_FH fh, void *a, void *b);
PSP_API PSP_STATUS psp_fileModTimeStat(const char *name, void *ignored, int64_t *mtime);

/* ------------------------------------------------------------------------ */
/* File utilities                                                            */
/* ------------------------------------------------------------------------ */

PSP_API PSP_STATUS psp_fileCopyEx(const char *src, uint16_t srcOptions, const char *dst,
                                  uint16_t dstOptions);
PSP_API PSP_STATUS psp_fileCopy(const char *src, const char *dst);
PSP_API PSP_STATUS psp_fileCopyExW(const PSP_WCHAR *src, uint16_t srcOptions, const PSP_WCHAR *dst,
                                   uint16_t dstOptions);
PSP_API PSP_STATUS psp_fileCopyW(const PSP_WCHAR *src, const PSP_WCHAR *dst);
/* PSP_OKAY: identical contents; PSP_ERR_SYSTEM: different (or failed part way). */
PSP_API PSP_STATUS psp_fileCmp(const char *first, const char *second);
PSP_API PSP_STATUS psp_fileCmpW(const PSP_WCHAR *first, const PSP_WCHAR *second);
PSP_API PSP_STATUS psp_fileCmpExW(const PSP_WCHAR *first, uint16_t firstOptions,
                                  const PSP_WCHAR *second, uint16_t secondOptions);
PSP_API PSP_STATUS psp_fileRemove(const char *name);
PSP_API PSP_STATUS psp_fileRemoveEx(const char *name, uint32_t ignored);
PSP_API PSP_STATUS psp_fileRemoveW(const PSP_WCHAR *name);
PSP_API PSP_STATUS psp_fileRemoveExW(const PSP_WCHAR *name, uint32_t ignored);
PSP_API int32_t psp_fileValidate(const char *name);
PSP_API int32_t psp_fileValidateEx(const char *name, uint32_t options, uint32_t *isDir);
PSP_API int32_t psp_fileValidateW(const PSP_WCHAR *name);
PSP_API int32_t psp_fileValidateExW(const PSP_WCHAR *name, uint32_t options, uint32_t *isDir);
PSP_API char *psp_fileCreateTmpName(uint32_t *counter, const char *prefix, const char *ext,
                                    void *ignored, PSP_MEMTAG tag);

/* ------------------------------------------------------------------------ */
/* Temporary directory                                                       */
/* ------------------------------------------------------------------------ */

PSP_API char *psp_tmpdir(PSP_MEMTAG tag);
PSP_API PSP_STATUS psp_setTmpDir(const char *dir);
/* Time                                                                      */
/* ------------------------------------------------------------------------ */

/* None of these needs psp_init and none allocates. */
PSP_API int64_t psp_seed(void);
PSP_API int64_t psp_timeSecs(void);
PSP_API uint64_t psp_timeMilliSecs(void);
PSP_API PSP_TM *psp_timeLocaltime(int64_t seconds, PSP_TM *out);
PSP_API PSP_TM *psp_timeUTC(PSP_TM *out, uint16_t *fraction);
PSP_API uint64_t psp_timeNanoSecs(void);

/* ------------------------------------------------------------------------ */
/* Environment, locale and process                                           */
/* ------------------------------------------------------------------------ */

/* Strings returned here belong to the C runtime or, for the W forms, to the
   calling thread until its next call of the same function. */
PSP_API void psp_sleep(uint32_t milliseconds);
PSP_API uint32_t psp_get_pid(void);
PSP_API uint32_t psp_errno(void);
PSP_API char *psp_strtok(char *text, const char *delimiters, char **context);
PSP_API char *psp_setlocale(int category, const char *locale);
PSP_API const PSP_WCHAR *psp_setlocaleW(int category, const PSP_WCHAR *locale);
PSP_API void *psp_createlocale(int category, const char *locale);
PSP_API void psp_freelocale(void *locale);
PSP_API char *psp_getenv(const char *name);
PSP_API const PSP_WCHAR *psp_getenvW(const PSP_WCHAR *name);
PSP_API uint32_t psp_getcpucount(void);
PSP_API PSP_STATUS psp_daemonStart(void);
PSP_API void psp_daemonComplete(void);
PSP_API PSP_STATUS psp_dirSync(const char *dir);

/* ------------------------------------------------------------------------ */
/* Dynamic loading                                                           */
/* ------------------------------------------------------------------------ */

PSP_API PSP_STATUS psp_load(const char *name, PSP_LIB *out);
PSP_API PSP_STATUS psp_getFcnAddr(PSP_LIB lib, const char *function, void **address);
PSP_API PSP_STATUS psp_unload(PSP_LIB lib);

/* ------------------------------------------------------------------------ */
/* System service                                                            */
/* ------------------------------------------------------------------------ */

typedef int32_t (*PSP_SERVICE_MAIN)(uint32_t argument1, void *argument2);
PSP_API int32_t psp_serviceStart(const char *name, uint16_t *stopFlag, uint32_t argument1,
                                 void *argument2, PSP_SERVICE_MAIN main);
PSP_API void psp_serviceStarted(void);
PSP_API void psp_serviceDone(void);
PSP_API PSP_STATUS psp_serviceInstall(const char *name, const char *serviceName,
                                      const char *displayName, const char *description,
                                      const char *path, const char *arguments, const char *account,
                                      const char *password);
PSP_API PSP_STATUS psp_serviceUninstall(const char *name, const char *serviceName);
PSP_API void psp_errPrint(const char *text);

/* ------------------------------------------------------------------------ */
/* Paths and directories                                                     */
/* ------------------------------------------------------------------------ */

/* '/' is the separator; strings from a tag are freed by the caller into it. */
PSP_API char *psp_currdirEx(PSP_MEMTAG tag);
PSP_API char *psp_fullpathEx(const char *path, PSP_MEMTAG tag);
PSP_API PSP_STATUS psp_pathSplitEx(const char *path, char **dir, char **file, PSP_MEMTAG tag);
PSP_API const char *psp_pathStripDrive(const char *path);
PSP_API PSP_STATUS psp_pathIsDir(const char *path);
PSP_API PSP_STATUS psp_dirCreate(const char *path);
PSP_API PSP_STATUS psp_dirCreateW(const PSP_WCHAR *path);
PSP_API PSP_STATUS psp_dirCreateAll(const char *path);
PSP_API PSP_STATUS psp_dirCreateAllW(const PSP_WCHAR *path);
PSP_API PSP_STATUS psp_dirRemove(const char *path);
PSP_API PSP_STATUS psp_dirRemoveW(const PSP_WCHAR *path);
/* Patterns: '*' any run, '?' one character, '#' a digit or A-F, the rest
   ignoring case. NULL when the directory cannot be listed or nothing matches;
   a name returned stays valid until the next call on the iterator. */
PSP_API PSP_DIR psp_pathOpenEx(const char *dir, uint32_t options, const char *pattern);
PSP_API PSP_DIR psp_pathOpen(const char *dir, const char *pattern);
PSP_API PSP_DIR psp_pathOpenExW(const PSP_WCHAR *dir, uint32_t options, const PSP_WCHAR *pattern);
PSP_API PSP_DIR psp_pathOpenW(const PSP_WCHAR *dir, const PSP_WCHAR *pattern);
PSP_API const char *psp_pathNext(PSP_DIR dir, uint32_t *isDir);
PSP_API const PSP_WCHAR *psp_pathNextW(PSP_DIR dir, uint32_t *isDir);
PSP_API void psp_pathClose(PSP_DIR dir);

#endif /* PSP_H */
