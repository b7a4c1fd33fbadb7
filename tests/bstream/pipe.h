// Shared by the bstream tests: a pipe for the buffered streams' callbacks.
// Writes append to bytes; reads take from pos, at most chunk at a time.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "psp.h"

struct Pipe {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> writes; // length of each successful write
  const void *lastSource{};     // what the last write was handed
  size_t pos = 0, failAt = SIZE_MAX;
  uint32_t chunk = 4096;
  int okWrites = -1; // writes that succeed before the rest fail; -1: all do
};

inline PSP_STATUS pipeWrite(void *ctx, const uint8_t *p, uint32_t n) {
  auto *s = static_cast<Pipe *>(ctx);
  if (s->okWrites == 0)
    return -777;
  s->okWrites -= s->okWrites > 0;
  s->writes.push_back(n);
  s->lastSource = p;
  s->bytes.insert(s->bytes.end(), p, p + n);
  return PSP_OKAY;
}

inline PSP_STATUS pipeRead(void *ctx, uint8_t *buf, uint32_t capacity, uint32_t *filled,
                           uint32_t zero) {
  auto *s = static_cast<Pipe *>(ctx);
  EXPECT_EQ(capacity, 4096u);
  EXPECT_EQ(zero, 0u);
  if (s->pos >= s->failAt)
    return -888;
  size_t n = std::min<size_t>({capacity, s->chunk, s->bytes.size() - s->pos, s->failAt - s->pos});
  if (n == 0)
    return PSP_ERR_ENDOFDATA;
  std::memcpy(buf, s->bytes.data() + s->pos, n);
  s->pos += n;
  *filled = static_cast<uint32_t>(n);
  return PSP_OKAY;
}
