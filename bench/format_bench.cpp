// psp_snprintf against the C library's snprintf on the same formats and
// arguments in one run, and the string builders' allocations per call.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

#include "psp.h"

namespace {

// Arguments vary per iteration so neither side sees constants.
struct Values {
  int ints[8] = {7, -42, 123456, 0, 99, -2147483647, 65535, 1000000};
  const char *texts[4] = {"db", "checkpoint", "index rebuild", "x"};
};
const Values kValues;

template <typename Fn> void loop(benchmark::State &state, Fn fn) {
  char buf[256];
  uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(buf, sizeof buf, i));
    benchmark::ClobberMemory();
    ++i;
  }
}

#define PSP_FORMAT_BENCH(name, format, ...)                                                        \
  void BM_psp_##name(benchmark::State &state) {                                                    \
    loop(state,                                                                                    \
         [](char *b, size_t n, uint32_t i) { return psp_snprintf(b, n, format, __VA_ARGS__); });   \
  }                                                                                                \
  void BM_libc_##name(benchmark::State &state) {                                                   \
    loop(state,                                                                                    \
         [](char *b, size_t n, uint32_t i) { return std::snprintf(b, n, format, __VA_ARGS__); });  \
  }                                                                                                \
  BENCHMARK(BM_libc_##name);                                                                       \
  BENCHMARK(BM_psp_##name)

PSP_FORMAT_BENCH(d, "%d", kValues.ints[i & 7]);
PSP_FORMAT_BENCH(d5_3, "%5.3d", kValues.ints[i & 7]);
PSP_FORMAT_BENCH(x, "%x", static_cast<unsigned>(kValues.ints[i & 7]));
PSP_FORMAT_BENCH(s, "%s", kValues.texts[i & 3]);
PSP_FORMAT_BENCH(s_left10, "%-10s", kValues.texts[i & 3]);
PSP_FORMAT_BENCH(log_line, "%s:%d: %s (%u ms)\n", "pspfile", kValues.ints[i & 7] & 0xFFF,
                 kValues.texts[i & 3], i & 1023u);
PSP_FORMAT_BENCH(f, "%.3f", kValues.ints[i & 7] / 7.0);

} // namespace

BENCHMARK_MAIN();
