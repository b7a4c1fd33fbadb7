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

} // namespace psp::os
