// Variable-length integers against unsigned LEB128, both through the same
// emitter and reader callbacks, over a realistic mix of magnitudes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <vector>

#include "psp.h"

namespace {

struct Buffer {
  std::vector<uint8_t> bytes;
  size_t pos = 0;
};

int emitByte(void *sink, int ch) {
  auto *b = static_cast<Buffer *>(sink);
  b->bytes.push_back(static_cast<uint8_t>(ch));
  return 0;
}

PSP_STATUS readByte(void *ctx, uint8_t *byte) {
  auto *b = static_cast<Buffer *>(ctx);
  if (b->pos >= b->bytes.size())
    return PSP_ERR_ENDOFDATA;
  *byte = b->bytes[b->pos++];
  return PSP_OKAY;
}

// Out of line and not specialised for one callback, as the library's own
// functions are to their callers. noclone is gcc's alone.
#ifdef __clang__
#define BASELINE __attribute__((noinline))
#else
#define BASELINE __attribute__((noinline, noclone))
#endif

// The baseline: unsigned LEB128 through the same callback shapes.
BASELINE int lebEncode(uint64_t v, PSP_EMITTER emit, void *sink) {
  do {
    uint8_t byte = v & 0x7F;
    v >>= 7;
    if (v != 0)
      byte |= 0x80;
    if (int st = emit(sink, byte))
      return st;
  } while (v != 0);
  return 0;
}

BASELINE PSP_STATUS lebDecode(PSP_BYTE_READER read, void *ctx, uint64_t *out) {
  uint64_t v = 0;
  unsigned shift = 0;
  uint8_t byte;
  do {
    if (PSP_STATUS st = read(ctx, &byte))
      return st;
    if (shift < 64)
      v |= uint64_t(byte & 0x7F) << shift;
    shift += 7;
  } while (byte & 0x80);
  *out = v;
  return 0;
}

// Two mixes of magnitudes. 0: row ids, lengths and counts: half below 128, a
// quarter below 16K, then thinning out to full 64-bit values. 1: 60 % below
// 2^7, 25 % below 2^14, 10 % below 2^32, 5 % full 64-bit.
struct Band {
  uint32_t percentBelow; // a draw of 0..99 below this takes the band
  uint64_t mask;
};

std::vector<uint64_t> makeMix(uint64_t seed, std::initializer_list<Band> bands) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> v;
  for (int i = 0; i < 4096; ++i) {
    uint32_t pick = rng() % 100;
    uint64_t r = rng();
    for (const Band &band : bands) {
      if (pick < band.percentBelow) {
        v.push_back(r & band.mask);
        break;
      }
    }
  }
  return v;
}

const std::vector<uint64_t> &mixedValues(int mix) {
  static const std::vector<uint64_t> values[2] = {
      makeMix(7, {{50, 0x7F}, {75, 0x3FFF}, {90, 0x1FFFFF}, {98, 0xFFFFFFFF}, {100, ~0ull}}),
      makeMix(11, {{60, 0x7F}, {85, 0x3FFF}, {95, 0xFFFFFFFF}, {100, ~0ull}})};
  return values[mix];
}

template <bool Vint> void BM_Encode(benchmark::State &state) {
  const auto &values = mixedValues(static_cast<int>(state.range(0)));
  Buffer buf;
  buf.bytes.reserve(values.size() * 10);
  // Hidden from the optimiser, so both codecs make real indirect calls.
  PSP_EMITTER emit = emitByte;
  benchmark::DoNotOptimize(emit);
  for (auto _ : state) {
    buf.bytes.clear();
    for (uint64_t v : values) {
      if constexpr (Vint)
        psp_vintEncodeUIntmax(v, emit, &buf);
      else
        lebEncode(v, emit, &buf);
    }
    benchmark::DoNotOptimize(buf.bytes.data());
  }
  state.SetItemsProcessed(state.iterations() * values.size());
  state.counters["bytes/value"] = double(buf.bytes.size()) / values.size();
}

template <bool Vint> void BM_Decode(benchmark::State &state) {
  const auto &values = mixedValues(static_cast<int>(state.range(0)));
  Buffer buf;
  for (uint64_t v : values) {
    if constexpr (Vint)
      psp_vintEncodeUIntmax(v, emitByte, &buf);
    else
      lebEncode(v, emitByte, &buf);
  }
  uint64_t sum = 0;
  PSP_BYTE_READER read = readByte;
  benchmark::DoNotOptimize(read);
  for (auto _ : state) {
    buf.pos = 0;
    uint64_t v;
    for (size_t i = 0; i < values.size(); ++i) {
      if constexpr (Vint)
        psp_vintDecodeUIntmax(read, &buf, &v);
      else
        lebDecode(read, &buf, &v);
      sum += v;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * values.size());
}

BENCHMARK(BM_Encode<false>)->Name("encode/leb128")->Arg(0)->Arg(1);
BENCHMARK(BM_Encode<true>)->Name("encode/vint")->Arg(0)->Arg(1);
BENCHMARK(BM_Decode<false>)->Name("decode/leb128")->Arg(0)->Arg(1);
BENCHMARK(BM_Decode<true>)->Name("decode/vint")->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
