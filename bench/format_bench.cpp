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

// Allocations reach malloc/realloc through a malloc-kind tag; the link wraps
// both (see bench/CMakeLists.txt) so the count is exact.
uint64_t g_allocations;

} // namespace

extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_realloc(void *block, size_t size);
extern "C" void *__wrap_malloc(size_t size) {
  ++g_allocations;
  return __real_malloc(size);
}
extern "C" void *__wrap_realloc(void *block, size_t size) {
  ++g_allocations;
  return __real_realloc(block, size);
}

namespace {

// Allocations per builder call, counted, not timed.
void BM_builder_allocations(benchmark::State &state) {
  if (psp_init() != PSP_OKAY) {
    state.SkipWithError("psp_init failed");
    return;
  }
  PSP_MEMTAG tag = psp_createTagEx(nullptr, 0, PSP_TAGKIND_MALLOC, nullptr, nullptr);
  uint64_t calls = 0, allocations = 0;
  for (auto _ : state) {
    uint64_t before = g_allocations;
    char *s = psp_makeStrVA("bench", __LINE__, tag, "%s/%s_%08x.tmp", "/var/tmp", "psp", 77u);
    s = psp_appendStrVA("bench", __LINE__, tag, s, " (%d)", 3);
    PSP_WCHAR *w = psp_makeWStrVA("bench", __LINE__, tag, u"%s=%d", u"key", 42);
    allocations += g_allocations - before;
    calls += 3;
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(w);
    psp_freeMem(s, tag, "bench", __LINE__);
    psp_freeMem(w, tag, "bench", __LINE__);
  }
  state.counters["allocs_per_call"] = static_cast<double>(allocations) / static_cast<double>(calls);
  psp_freeTagMem(tag, 1, "bench", __LINE__);
  psp_term();
}
BENCHMARK(BM_builder_allocations);

} // namespace

BENCHMARK_MAIN();
