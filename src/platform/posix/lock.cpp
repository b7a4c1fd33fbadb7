// lock.cpp - POSIX recursive locks, spin pauses and raw standard output.
#include "platform/os.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>

namespace psp::os {

static_assert(sizeof(pthread_mutex_t) <= sizeof(RecursiveLock::opaque));
static_assert(alignof(pthread_mutex_t) <= alignof(RecursiveLock));

static pthread_mutex_t *native(RecursiveLock &lock) {
  return reinterpret_cast<pthread_mutex_t *>(lock.opaque);
}

void lockInit(RecursiveLock &lock) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(native(lock), &attr);
  pthread_mutexattr_destroy(&attr);
}

void lockDestroy(RecursiveLock &lock) { pthread_mutex_destroy(native(lock)); }

void lockEnter(RecursiveLock &lock) { pthread_mutex_lock(native(lock)); }

void lockLeave(RecursiveLock &lock) { pthread_mutex_unlock(native(lock)); }

void spinPause(uint32_t round) {
  if (round < 64) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  } else {
    sched_yield();
  }
}

void writeStdout(const char *bytes, size_t length) {
  while (length > 0) {
    ssize_t n = write(STDOUT_FILENO, bytes, length);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
  }
}

} // namespace psp::os
