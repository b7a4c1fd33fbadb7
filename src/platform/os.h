// os.h - the thin operating-system layer under the neutral sources.
//
// Neutral code never includes an operating-system header; it reaches the
// platform only through the operations declared here. Each platform folder
// (posix/, windows/) implements them. Native objects are kept in opaque,
// suitably sized storage so that their records can live inside the library's
// own structures without exposing the platform's headers.
#pragma once

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

// A recursive, process-private mutex owned by the thread that took it. A
// robust one reports an owner that died holding it (Abandoned).
void mutexInit(SyncObject &object, bool robust);
// Releases every level the calling thread still holds, then destroys.
void mutexDestroy(SyncObject &object);
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
bool tlsCreate(uint32_t &key);
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

// Removes a file (UTF-8 name): 0, a missing file included; -10000 for a name
// that is not valid UTF-8; -14000 otherwise.
int32_t fileRemove(const char *name);

enum class StatResult { Found, Missing, Failed };
// The status of a name, following symbolic links; a dangling link is Found
// as a non-directory. mtime: seconds since 1970 UTC.
StatResult fileStat(const char *name, int64_t *mtime, bool *isDir);

uint32_t processId();

} // namespace psp::os
