// Random draws: a generator without a mutex and one with a mutex against
// std::mt19937, all producing the same MT19937 stream.
#include <benchmark/benchmark.h>

#include <random>

#include "psp.h"

namespace {

void BM_StdMt19937(benchmark::State &state) {
  std::mt19937 gen(5489);
  uint32_t sum = 0;
  for (auto _ : state)
    sum += gen();
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}

template <bool WithMutex> void BM_PspRand(benchmark::State &state) {
  psp_init();
  PSP_RAND gen = WithMutex ? psp_randCreate(5489) : psp_randCreateNoSem(5489);
  uint32_t sum = 0;
  for (auto _ : state)
    sum += psp_randGetUInt32(gen);
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
  psp_randDestroy(gen);
  psp_term();
}

BENCHMARK(BM_StdMt19937)->Name("draw32/std::mt19937");
BENCHMARK(BM_PspRand<false>)->Name("draw32/psp_nosem");
BENCHMARK(BM_PspRand<true>)->Name("draw32/psp_mutex");

} // namespace

BENCHMARK_MAIN();
