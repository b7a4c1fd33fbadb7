// Drives the global heap, a kind-1 heap and an arena with the fuzzer's bytes
// (8-byte operation records, after one byte that picks the limit and caller
// buffer) and aborts at the first placement, refusal, counter or lost block
// content that differs from the plain walks of tests/memory/literal_model.h.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "memory/literal_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  const literal::Config configs[4] = {
      {false, 0}, {false, 0x400400}, {true, 0x400400}, {true, 12 << 20}};
  const std::string diff = literal::runDifferential(data + 1, size - 1, configs[data[0] % 4]);
  if (!diff.empty()) {
    std::fprintf(stderr, "%s\n", diff.c_str());
    std::abort();
  }
  return 0;
}
