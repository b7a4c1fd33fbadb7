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

} // namespace psp::os
