// os.h - the thin operating-system layer under the neutral sources.
//
// Neutral code never includes an operating-system header; it reaches the
// platform only through the operations declared here. Each platform folder
// (posix/, windows/) implements them. Native objects are kept in opaque,
// suitably sized storage so that their records can live inside the library's
// own structures without exposing the platform's headers.
#pragma once

#include "psp.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>

struct PSP_FILE_BACKEND;

namespace psp::os {

// A recursive lock with no timeout and no abandonment handling: the library
// lock and the sync-table lock.
struct RecursiveLock {
  alignas(16) unsigned char opaque[64];
};

void lockInit(RecursiveLock &lock);
void lockDestroy(RecursiveLock &lock);
void lockEnter(RecursiveLock &lock);
void lockLeave(RecursiveLock &lock);

// A pause inside a spin loop; gives the core away when spinning runs long.
void spinPause(uint32_t round);

// Best-effort write of raw bytes to the process's standard output.
void writeStdout(const char *bytes, size_t length);

// The platform's line end as text streams write it: CR LF on Windows, LF
// elsewhere. Reading turns CR LF into LF everywhere.
#ifdef _WIN32
inline constexpr bool kTextCrLf = true;
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr bool kTextCrLf = false;
inline constexpr char kPathSeparator = '/';
#endif

// ---- native synchronization objects ----
// Storage for one mutex or one manual-reset event. It lives inside the
// library's own records (the sync table's blocks), never in a separate
// allocation, so it is large enough for either. 8-aligned, like the blocks of
// the size-class tags it is allocated from.
struct SyncObject {
  alignas(8) unsigned char opaque[112];
};

enum class WaitResult { Signalled, TimedOut, Abandoned, Failed };

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Storage for `count` native objects, zeroed, owned by the platform and
// outside the library's heap (as kernel objects are elsewhere); NULL when
// none can be had.
SyncObject *nativeStoreCreate(uint32_t count);
// Gives the storage back. Storage that still holds a mutex another thread
// owns must not be released: see mutexDestroy.
void nativeStoreRelease(SyncObject *store, uint32_t count);

// A recursive, process-private mutex owned by the thread that took it. A
// robust one reports an owner that died holding it (Abandoned).
void mutexInit(SyncObject &object, bool robust);
// Releases every level the calling thread still holds, then destroys; true.
// A mutex that another live thread holds is left as it is and gives false:
// while held, a robust mutex is linked into its owner's list of held
// mutexes, so its memory must stay valid and unused for as long as that
// thread lives.
bool mutexDestroy(SyncObject &object);
// Abandoned: the previous owner died holding it; the mutex has been made
// consistent again and the caller now owns it.
WaitResult mutexLock(SyncObject &object, uint32_t timeoutMs);
void mutexUnlock(SyncObject &object); // ignored unless the caller owns it

// A manual-reset event, created signalled.
void eventInit(SyncObject &object);
void eventDestroy(SyncObject &object);
WaitResult eventWait(SyncObject &object, uint32_t timeoutMs);
void eventSet(SyncObject &object);   // releases every waiter, stays set
void eventReset(SyncObject &object); // waiters block from now on

// ---- thread-local slots ----
// atThreadExit runs on a thread that ends with a non-NULL value in the slot,
// after the slot has been cleared; never once the slot is deleted.
bool tlsCreate(uint32_t &key, void (*atThreadExit)(void *value));
void tlsDelete(uint32_t key);
void *tlsGet(uint32_t key);
bool tlsSet(uint32_t key, void *value);

// ---- threads ----
using ThreadEntry = uint32_t (*)(void *argument);
// Starts entry(argument) on a new thread; stackSize 0 is the platform default.
// The handle is never NULL on success.
bool threadCreate(ThreadEntry entry, void *argument, uint32_t stackSize, void **handle);
// Waits for the thread and collects entry's result.
bool threadJoin(void *handle, uint32_t &exitCode);
uint32_t threadId();

// ---- files ----
// The two tables of file operations: named files and the standard streams.
extern const PSP_FILE_BACKEND diskBackend;
extern const PSP_FILE_BACKEND stdBackend;
// Whether a native handle of diskBackend is a file on disk (not a device, pipe
// or console), whose transfers may be batched without anyone seeing the delay.
bool fileIsOnDisk(uint64_t native);

// Removes a file (UTF-8 name): 0, a missing file included; -10000 for a name
// that is not valid UTF-8; -14000 otherwise.
int32_t fileRemove(const char *name);

enum class StatResult { Found, Missing, Failed };
// The status of a name, following symbolic links; a dangling link is Found
// as a non-directory. mtime: seconds since 1970 UTC.
StatResult fileStat(const char *name, int64_t *mtime, bool *isDir);

// ---- C runtime text helpers whose names differ by platform ----
// Case-insensitive comparison (the runtime's own rules for ASCII letters);
// the second form compares at most n characters.
int compareNoCase(const char *a, const char *b);
int compareNoCase(const char *a, const char *b, size_t n);
// The runtime's reentrant tokenizer: text on the first call, NULL after.
char *tokenize(char *text, const char *delimiters, char **save);
// Fills buf with the message for errnum. Gives 0, or the error number the
// runtime reports (ERANGE: buf is too small; EINVAL: unknown number).
int errorText(int errnum, char *buf, uint64_t size);

// ---- clocks, process and environment ----
// Wall-clock time since 1970-01-01 UTC; false when it cannot be read.
bool clockRealtime(int64_t &seconds, uint32_t &nanoseconds);
// Nanoseconds of a clock that never goes back, from an arbitrary origin; 0
// when the platform has none. Windows scales its performance counter by a
// double-precision factor, so readings keep at most 53 significant bits.
uint64_t clockMonotonic();
// All nine fields of `seconds` broken down in local time (the process's
// time-zone rules, daylight saving included) or in UTC; false, with `out`
// untouched, when the platform cannot represent that time.
bool brokenDownLocal(int64_t seconds, PSP_TM &out);
bool brokenDownUtc(int64_t seconds, PSP_TM &out);
// The current UTC time broken down (yday and isdst 0) into out when it is not
// NULL, and its milliseconds; false, with nothing written, when the clock
// cannot be read.
bool utcNow(PSP_TM *out, uint32_t &milliseconds);

void sleepMilliseconds(uint32_t ms); // 0 gives the rest of the time slice away
uint32_t processId();
uint32_t onlineProcessors(); // at least 1
// The calling thread's last platform error number.
uint32_t threadErrno();
void setThreadErrno(uint32_t error);
// The platform's error number for a name too long to be passed on.
uint32_t errorNameTooLong();
// The runtime's own UTF-16 getenv and setlocale, where it has them (their
// results belong to the runtime); elsewhere kRuntimeWide is false and the
// neutral code converts through the narrow forms.
#ifdef _WIN32
inline constexpr bool kRuntimeWide = true;
#else
inline constexpr bool kRuntimeWide = false;
#endif
const char16_t *runtimeGetenvW(const char16_t *name);
const char16_t *runtimeSetlocaleW(int category, const char16_t *name);
// Wide log records follow the runtime's wide printf where kRuntimeWide is
// set (its grammar, not the library's). The length in units without the
// terminator, or -1; formatting into `units` units, giving the units written
// or -1; printing straight to the runtime's stdout or stderr, giving its count.
int64_t runtimeWideLength(const char16_t *format, va_list args);
int64_t runtimeWideFormat(char16_t *buf, uint64_t units, const char16_t *format, va_list args);
int32_t runtimeWidePrint(bool toStderr, const char16_t *format, va_list args);
// A locale object for one category (or all), NULL when there is none.
void *localeCreate(int category, const char *name);
void localeFree(void *locale);
// Makes the entries of a directory durable; best effort, NULL does nothing.
void directorySync(const char *path);

// ---- dynamic loading ----
// The file name the loader is given for `name`; false when it does not fit
// in `size` bytes with its terminator.
bool libraryFileName(const char *name, char *buffer, size_t size);
// NULL on failure, with threadErrno() saying why.
void *libraryOpen(const char *file);
void *librarySymbol(void *module, const char *symbol); // NULL when not exported
bool libraryClose(void *module);

// ---- service manager, install-count store ----
namespace svc {

// Settings with their defaults; each can be moved by the environment so that
// tests run against a temporary root and a stand-in for the manager.
const char *registryRoot();
const char *unitDirectory();
const char *controlProgram();

// True when the service manager started this process and listens for its
// state reports.
bool managerPresent();
// The channel to the manager. notify is async-signal-safe and best effort;
// it does nothing while the link is closed.
void linkOpen();
void linkClose();
void notify(const char *state);

// Stop requests (SIGTERM, SIGINT) call onStop in signal context, so it must
// be async-signal-safe. remove restores the dispositions install found and
// returns once no call of onStop is still running.
bool stopHandlerInstall(void (*onStop)());
void stopHandlerRemove();

// Files. Results are 0 or the platform error number.
int probe(const char *path);              // 0 when anything is there (links not followed)
int directoryUsable(const char *path);    // entries can be made and removed
int directoryCreateAll(const char *path); // 0 when it exists afterwards
int fileCreateNew(const char *path, const char *bytes, size_t length); // never replaces: EEXIST
int fileReplace(const char *path, const char *bytes, size_t length);   // atomic, durable
int fileRemove(const char *path);
// Reads a whole file into one block from alloc (length + 1 bytes, NUL-ended);
// the caller frees it. A failed alloc gives ENOMEM.
int fileRead(const char *path, uint64_t limit, void *(*alloc)(void *context, uint64_t size),
             void *context, char **data, uint64_t *length);
// An exclusive lock between processes and threads alike; waits for it.
int lockTake(const char *path, int &handle);
void lockRelease(int handle);

// Programs and accounts. run gives 0 and the program's exit code (-1 when a
// signal ended it or the wait ran out, in which case it was killed), or the
// error number of a start that failed. timeoutMs 0 waits without limit.
int programUsable(const char *program);
int programRun(const char *const *argv, uint32_t timeoutMs, int &exitCode);
bool accountExists(const char *name);
// Whether `account` (NULL: the superuser) may execute the file at `path`.
bool accountCanRun(const char *account, const char *path);

} // namespace svc

// ---- path syntax ----
// Windows writes kPathSeparator ('\\') and reads '/' too, and knows drive
// prefixes ("C:"); elsewhere '/' is the only separator and ':' an ordinary
// character.
#ifdef _WIN32
inline constexpr bool kDriveLetters = true;
// Room for one directory entry's name in UTF-8: 255 UTF-16 units of at most
// three bytes each, and the terminator.
inline constexpr size_t kEntryNameRoom = 766;
#else
inline constexpr bool kDriveLetters = false;
inline constexpr size_t kEntryNameRoom = 256;
#endif
inline constexpr bool isSeparator(char c) { return c == '/' || (kDriveLetters && c == '\\'); }

// The platform's own temporary-directory candidates, tried after the
// preferred directory, "TEMP" and "TMP": up to two, written into storage;
// gives how many.
int systemTempDirs(char (&storage)[2][512]);

// ---- current directory, directories and directory streams ----
enum class CwdResult { Ok, TooSmall, Failed };
// Writes the current directory, NUL-terminated, into buf. TooSmall: it needs
// more than size bytes.
CwdResult currentDir(char *buf, size_t size);

// Exists: the name is taken, by an entry of any kind. Missing: the path names
// nothing (no such entry, or a component is not a directory).
enum class DirResult { Ok, Exists, Missing, Failed };
DirResult makeDir(const char *path); // mode 0777 less the umask
DirResult removeDir(const char *path);

// One directory entry as the platform lists it: "." and ".." included, in
// the platform's order. The name stays valid until the next read or close.
enum class EntryKind { Directory, Other, Unknown };
struct DirEntry {
  const char *name;
  size_t length;
  EntryKind kind;
};

// NULL when it cannot be listed. The pattern may narrow the listing where the
// platform searches by one (the caller still filters every name); NULL or
// empty lists everything.
void *dirOpen(const char *path, const char *pattern);
bool dirRead(void *stream, DirEntry &entry); // false at the end or on error
// For an Unknown kind: whether the named entry of the stream's directory is a
// directory itself. A symbolic link is not, whatever it points to.
bool dirEntryIsDir(void *stream, const char *name);
void dirClose(void *stream);

} // namespace psp::os
