// The allocators' placements against the plain walks that define them
// (literal_model.h): long random sequences of allocate, resize, free and
// free-all on the global heap, a kind-1 heap and an arena, with and without a
// caller buffer and a limit, checked step by step. Once more with counters so
// small that regions renumber their free blocks and the heaps their regions
// all the time.
#include <gtest/gtest.h>

#include <iterator>
#include <random>

#include "literal_model.h"
#include "testing.h"

namespace {

// Operations in the proportions of the driver, resets rare, sizes of up to
// 2^maxBits bytes with every magnitude as likely. With maxBits 0: an arena
// filled with small blocks and now and then one of up to 4000 bytes, so that
// thousands of chunks keep a little room each, between global-heap blocks.
std::vector<uint8_t> randomOps(uint32_t seed, size_t count, uint32_t maxBits) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  for (size_t i = 0; i < count; ++i) {
    if (maxBits == 0) {
      const bool global = rng() % 16 == 0;
      const uint32_t size =
          global ? 8192 + rng() % 60000 : 8 + rng() % (rng() % 8 == 0 ? 4000 : 256);
      literal::appendRecord(out, global ? 7 : 0, size, 0, static_cast<uint16_t>(rng()));
      continue;
    }
    const uint32_t r = rng() % 4000;
    const uint8_t op = r == 0 ? 254 : r < 5 ? 255 : static_cast<uint8_t>(rng() % 250);
    const uint32_t bits = rng() % (maxBits + 1);
    const uint32_t size = 1 + (rng() & ((uint32_t{1} << bits) - 1));
    literal::appendRecord(out, op, size, static_cast<uint8_t>(rng()), static_cast<uint16_t>(rng()));
  }
  return out;
}

TEST(PlacementInternal, LibraryPlacesEveryBlockWhereTheWalkDoes) {
  // Each case: caller buffer or not, the limit (0: none); the largest size's bits.
  const std::pair<literal::Config, uint32_t> cases[] = {
      {{false, 0}, 20},        // sizes 1 B .. 1 MiB, no limit
      {{false, 0}, 12},        // many small blocks: deep indexes, many arena chunks
      {{false, 0}, 0},         // an arena with thousands of chunks with room
      {{false, 0x400400}, 20}, // the smallest limit: one region, then refusals
      {{false, 40 << 20}, 20}, // a limit reached now and then
      {{true, 0x400400}, 16},  // a caller buffer of the smallest size
      {{true, 24 << 20}, 20}}; // a larger caller buffer
  for (uint32_t stampLimit : {0xFFFFFFFFu, 24u}) {
    psp::testing::g_regionStampLimit = stampLimit;
    for (size_t c = 0; c < std::size(cases); ++c) {
      const std::vector<uint8_t> ops =
          randomOps(static_cast<uint32_t>(c + stampLimit), 25000, cases[c].second);
      EXPECT_EQ(literal::runDifferential(ops.data(), ops.size(), cases[c].first), "")
          << "case " << c << ", stamp limit " << stampLimit;
    }
  }
  psp::testing::g_regionStampLimit = 0xFFFFFFFFu;
}

} // namespace
