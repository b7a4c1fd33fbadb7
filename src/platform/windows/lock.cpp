// lock.cpp - Windows recursive locks, spin pauses and raw standard output.
//
// The library lock and the sync-table lock are critical sections: recursive,
// owned by the entering thread, never abandoned. Standard output is written
// with WriteFile on the process's standard output handle, bypassing the C
// runtime's buffers, so the bytes appear in order with other raw writes.
#include "platform/os.h"

#include <windows.h>

namespace psp::os {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(RecursiveLock::opaque));
static_assert(alignof(CRITICAL_SECTION) <= alignof(RecursiveLock));

static CRITICAL_SECTION *native(RecursiveLock &lock) {
  return reinterpret_cast<CRITICAL_SECTION *>(lock.opaque);
}

void lockInit(RecursiveLock &lock) { InitializeCriticalSection(native(lock)); }

void lockDestroy(RecursiveLock &lock) { DeleteCriticalSection(native(lock)); }

void lockEnter(RecursiveLock &lock) { EnterCriticalSection(native(lock)); }

void lockLeave(RecursiveLock &lock) { LeaveCriticalSection(native(lock)); }

void spinPause(uint32_t round) {
  if (round < 64)
    YieldProcessor();
  else
    SwitchToThread();
}

void writeStdout(const char *bytes, size_t length) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE)
    return;
  while (length > 0) {
    DWORD piece = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(out, bytes, piece, &written, nullptr) || written == 0)
      return;
    bytes += written;
    length -= written;
  }
}

} // namespace psp::os
