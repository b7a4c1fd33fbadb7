// Uncontended lock + unlock of a library mutex against bare pthread mutexes
// measured in the same run: a recursive one (the plain baseline) and a
// recursive robust one (the native object the library uses), plus the
// library's critical section. A thread is started and joined before any
// measurement, so that the C library runs its multi-threaded paths.
#include <benchmark/benchmark.h>

#include <pthread.h>

#include <thread>

#include "psp.h"

namespace {

pthread_mutex_t makeMutex(bool robust) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  if (robust)
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_t m;
  pthread_mutex_init(&m, &attr);
  pthread_mutexattr_destroy(&attr);
  return m;
}

void BM_PthreadRecursive(benchmark::State &state) {
  pthread_mutex_t m = makeMutex(false);
  for (auto _ : state) {
    pthread_mutex_lock(&m);
    pthread_mutex_unlock(&m);
  }
  pthread_mutex_destroy(&m);
}
BENCHMARK(BM_PthreadRecursive);

void BM_PthreadRecursiveRobust(benchmark::State &state) {
  pthread_mutex_t m = makeMutex(true);
  for (auto _ : state) {
    pthread_mutex_lock(&m);
    pthread_mutex_unlock(&m);
  }
  pthread_mutex_destroy(&m);
}
BENCHMARK(BM_PthreadRecursiveRobust);

void BM_SyncEnterExit(benchmark::State &state) {
  psp_init();
  PSP_SEM m = psp_syncCreate_check(PSP_SYNC_MUTEX, "bench", 1);
  for (auto _ : state) {
    psp_syncEnterExcl(m);
    psp_syncExitExcl(m);
  }
  psp_syncDelete(m);
  psp_term();
}
BENCHMARK(BM_SyncEnterExit);

void BM_CritSec(benchmark::State &state) {
  for (auto _ : state) {
    psp_enterCritSec();
    psp_exitCritSec();
  }
}
BENCHMARK(BM_CritSec);

} // namespace

int main(int argc, char **argv) {
  std::thread([] {}).join();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
