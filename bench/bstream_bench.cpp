// Buffered binary streams: 32-bit puts and gets through psp's buffers against
// a plain loop that copies 4 bytes per value through a buffer of its own.
// Both sides move the same values through the same memory callbacks (hidden
// from the optimiser), so the difference is the per-value cost of the calls.
// A third form runs the plain loop's per-value step behind a call that the
// compiler may not inline: the floor for any per-value function.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "psp.h"

namespace {

constexpr size_t kValues = 1 << 18; // 1 MiB of values per iteration

struct Memory {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kValues * 4);
  size_t pos = 0;
};

PSP_STATUS writeToMemory(void *ctx, const uint8_t *bytes, uint32_t length) {
  auto *m = static_cast<Memory *>(ctx);
  std::memcpy(m->bytes.data() + m->pos, bytes, length);
  m->pos += length;
  return PSP_OKAY;
}

PSP_STATUS readFromMemory(void *ctx, uint8_t *buf, uint32_t capacity, uint32_t *filled, uint32_t) {
  auto *m = static_cast<Memory *>(ctx);
  size_t n = m->bytes.size() - m->pos;
  if (n == 0)
    return PSP_ERR_ENDOFDATA;
  if (n > capacity)
    n = capacity;
  std::memcpy(buf, m->bytes.data() + m->pos, n);
  m->pos += n;
  *filled = static_cast<uint32_t>(n);
  return PSP_OKAY;
}

inline uint32_t valueAt(size_t i) { return static_cast<uint32_t>(i * 2654435761u); }

struct Session {
  Session() { psp_init(); }
  ~Session() { psp_term(); }
};

// The baseline writer: values copied 4 bytes at a time into a 32 KiB buffer
// that goes to the callback whenever it is full.
void BM_PutBaseline(benchmark::State &state) {
  Memory sink;
  PSP_BUFF_WRITE_FN write = writeToMemory;
  benchmark::DoNotOptimize(write);
  static uint8_t buffer[32768];
  for (auto _ : state) {
    sink.pos = 0;
    uint32_t used = 0;
    for (size_t i = 0; i < kValues; ++i) {
      if (sizeof buffer - used < 4) {
        write(&sink, buffer, used);
        used = 0;
      }
      uint32_t v = valueAt(i);
      std::memcpy(buffer + used, &v, 4);
      used += 4;
    }
    write(&sink, buffer, used);
    benchmark::DoNotOptimize(sink.bytes.data());
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

// The plain loop's state and per-value step, behind a call.
struct Plain {
  uint8_t *data;
  uint32_t used, capacity;
  PSP_BUFF_WRITE_FN write;
  void *ctx;
};

__attribute__((noinline)) int plainPut(Plain *p, uint32_t v) {
  if (p->capacity - p->used < 4) [[unlikely]] {
    p->write(p->ctx, p->data, p->used);
    p->used = 0;
  }
  std::memcpy(p->data + p->used, &v, 4);
  p->used += 4;
  return 0;
}

void BM_PutCalled(benchmark::State &state) {
  Memory sink;
  static uint8_t buffer[32768];
  Plain p{buffer, 0, sizeof buffer, writeToMemory, &sink};
  for (auto _ : state) {
    sink.pos = 0;
    for (size_t i = 0; i < kValues; ++i)
      plainPut(&p, valueAt(i));
    writeToMemory(&sink, buffer, p.used);
    p.used = 0;
    benchmark::DoNotOptimize(sink.bytes.data());
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void BM_PutPsp(benchmark::State &state) {
  Session session;
  Memory sink;
  PSP_OUTPUT_BUFF out = nullptr;
  psp_outputBuffCreate(writeToMemory, &sink, static_cast<uint16_t>(state.range(0)), &out);
  for (auto _ : state) {
    sink.pos = 0;
    for (size_t i = 0; i < kValues; ++i)
      psp_outputBuffPutInt32(out, valueAt(i));
    psp_outputBuffFlush(out);
    benchmark::DoNotOptimize(sink.bytes.data());
  }
  psp_outputBuffDestroy(out);
  state.SetItemsProcessed(state.iterations() * kValues);
}

void BM_GetBaseline(benchmark::State &state) {
  Memory source;
  PSP_BUFF_READ_FN read = readFromMemory;
  benchmark::DoNotOptimize(read);
  static uint8_t buffer[4096];
  uint32_t sum = 0;
  for (auto _ : state) {
    source.pos = 0;
    uint32_t pos = 0, filled = 0;
    for (size_t i = 0; i < kValues; ++i) {
      if (filled - pos < 4) {
        read(&source, buffer, sizeof buffer, &filled, 0);
        pos = 0;
      }
      uint32_t v;
      std::memcpy(&v, buffer + pos, 4);
      pos += 4;
      sum += v;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kValues);
}

struct PlainIn {
  uint8_t *data;
  uint32_t pos, filled, capacity;
  PSP_BUFF_READ_FN read;
  void *ctx;
};

__attribute__((noinline)) int plainGet(PlainIn *p, void *dst) {
  if (p->filled - p->pos < 4) [[unlikely]] {
    p->read(p->ctx, p->data, p->capacity, &p->filled, 0);
    p->pos = 0;
  }
  std::memcpy(dst, p->data + p->pos, 4);
  p->pos += 4;
  return 0;
}

void BM_GetCalled(benchmark::State &state) {
  Memory source;
  static uint8_t buffer[4096];
  PlainIn p{buffer, 0, 0, sizeof buffer, readFromMemory, &source};
  uint32_t sum = 0;
  for (auto _ : state) {
    source.pos = 0;
    p.pos = p.filled = 0;
    for (size_t i = 0; i < kValues; ++i) {
      uint32_t v;
      plainGet(&p, &v);
      sum += v;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kValues);
}

void BM_GetPsp(benchmark::State &state) {
  Session session;
  Memory source;
  PSP_INPUT_BUFF in = nullptr;
  psp_inputBuffCreate(readFromMemory, &source, static_cast<uint16_t>(state.range(0)), &in);
  uint32_t sum = 0;
  for (auto _ : state) {
    source.pos = 0;
    psp_inputBuffReset(in);
    for (size_t i = 0; i < kValues; ++i) {
      uint32_t v;
      psp_inputBuffGetInt32(in, &v);
      sum += v;
    }
  }
  benchmark::DoNotOptimize(sum);
  psp_inputBuffDestroy(in);
  state.SetItemsProcessed(state.iterations() * kValues);
}

BENCHMARK(BM_PutBaseline)->Name("put32/plain-loop");
BENCHMARK(BM_PutCalled)->Name("put32/plain-step-called");
BENCHMARK(BM_PutPsp)->Name("put32/psp")->Arg(0)->Arg(1)->ArgName("swap");
BENCHMARK(BM_GetBaseline)->Name("get32/plain-loop");
BENCHMARK(BM_GetCalled)->Name("get32/plain-step-called");
BENCHMARK(BM_GetPsp)->Name("get32/psp")->Arg(0)->Arg(1)->ArgName("swap");

} // namespace

BENCHMARK_MAIN();
