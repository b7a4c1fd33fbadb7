// Kind 0 against a model of its rules: per-class last-in-first-out lists,
// refills of 2, 4, ... 128 blocks handed out from the highest address, large
// blocks in chunks of their own, and the six counters with their peaks.
// Random sequences mix the shapes the allocator treats apart: a free followed
// by an allocation of the same size, runs of allocations and of frees, other
// sizes in between, resizes, large blocks and resets. Every small block must
// be the one the model predicts and the counters must match after every step.
#include <gtest/gtest.h>

#include <array>
#include <iterator>
#include <map>
#include <random>
#include <vector>

#include "psp.h"

namespace {

struct Peaked {
  uint64_t value = 0, peak = 0;
  void add(uint64_t n) { peak = std::max(peak, value += n); }
};

struct BucketModel {
  std::array<std::vector<char *>, 10> lists; // top last
  std::array<uint32_t, 10> grow{};
  std::map<char *, uint32_t> live; // block: requested size
  Peaked inUse, freeBytes;
  uint64_t total = 176, overheadPeak = 176;

  BucketModel() { grow.fill(2); }
  static int classOf(uint32_t s) {
    int c = 0;
    while ((16u << c) < s)
      ++c;
    return c;
  }
  static uint64_t largeBytes(uint32_t s) { return ((uint64_t{s} + 31) & ~uint64_t{31}) + 24; }
  void noteOverhead() {
    overheadPeak = std::max(overheadPeak, total - inUse.value - freeBytes.value);
  }

  // The library's block p for a request of s: checked against the model, then taken.
  void alloc(uint32_t s, char *p) {
    ASSERT_NE(p, nullptr);
    if (s > 8192) {
      total += largeBytes(s);
    } else {
      const int c = classOf(s);
      const uint32_t blockSize = 16u << c;
      auto &list = lists[c];
      if (list.empty()) { // a refill: p is the highest block of a fresh chunk
        const uint32_t count = grow[c];
        grow[c] = std::min(count * 2, 128u);
        const uint64_t stride = blockSize + 8;
        for (uint32_t i = 0; i < count; ++i)
          list.push_back(p - (count - 1 - i) * stride);
        total += 16 + count * stride;
        freeBytes.add(uint64_t{count} * blockSize);
        noteOverhead();
      }
      ASSERT_EQ(p, list.back()) << "class " << c;
      list.pop_back();
      freeBytes.value -= blockSize;
    }
    inUse.add(s);
    noteOverhead();
    live[p] = s;
  }
  void release(char *p) {
    const uint32_t s = live.at(p);
    live.erase(p);
    inUse.value -= s;
    if (s > 8192) {
      total -= largeBytes(s);
    } else {
      lists[classOf(s)].push_back(p);
      freeBytes.add(16u << classOf(s));
    }
  }
  // A resize of `was` to s that gave p: in place within a class or for two
  // large blocks (the chunk resized where it lies), else a move.
  void resize(char *was, uint32_t s, char *p) {
    const uint32_t old = live.at(was);
    const bool inPlace =
        s <= 8192 && old <= 8192 ? classOf(s) == classOf(old) : s > 8192 && old > 8192;
    if (!inPlace) {
      alloc(s, p);
      return release(was);
    }
    if (old <= 8192)
      EXPECT_EQ(p, was);
    else
      total += largeBytes(s) - largeBytes(old);
    live.erase(was);
    inUse.value -= old;
    inUse.add(s);
    noteOverhead();
    live[p] = s;
  }
  void reset() {
    for (auto &list : lists)
      list.clear();
    grow.fill(2);
    live.clear();
    inUse.value = freeBytes.value = 0;
    total = 176;
  }
  std::array<uint64_t, 6> counters() const {
    return {inUse.value,
            inUse.peak,
            freeBytes.value,
            freeBytes.peak,
            total - inUse.value - freeBytes.value,
            overheadPeak};
  }
};

void runModel(PSP_MEMTAG tag, uint32_t seed) {
  std::mt19937 rng(seed);
  BucketModel model;
  auto get = [&](uint32_t size) {
    char *p = static_cast<char *>(psp_getMem(size, tag, PSP_MEM_NORMAL, nullptr, "t", 1));
    model.alloc(size, p);
    return p;
  };
  auto put = [&](char *p) {
    psp_freeMem(p, tag, "t", 1);
    model.release(p);
  };
  const uint32_t shapes[] = {32, 32, 48, 16, 64, 100, 8192, 9000};
  std::vector<char *> order; // live blocks, newest last
  for (int step = 0; step < 6000 && !testing::Test::HasFatalFailure(); ++step) {
    const uint32_t op = rng() % 100;
    const uint32_t s = rng() % 4 ? shapes[rng() % 8] : 1 + rng() % 12000;
    if (op < 35 || order.empty()) {
      order.push_back(get(s));
    } else if (op < 50) { // a free and an allocation of the same size
      const uint32_t size = model.live.at(order.back());
      put(order.back());
      order.back() = get(size);
    } else if (op < 80) { // a run of frees, newest or any
      for (uint32_t n = 1 + rng() % 6; n != 0 && !order.empty(); --n) {
        auto at = rng() % 3 ? std::prev(order.end()) : order.begin() + rng() % order.size();
        put(*at);
        order.erase(at);
      }
    } else if (op < 97) {
      auto at = order.begin() + rng() % order.size();
      char *p = static_cast<char *>(psp_extendMem(*at, s, tag, PSP_MEM_NORMAL, 0, nullptr, "t", 1));
      ASSERT_NE(p, nullptr);
      model.resize(*at, s, p);
      order.erase(at);
      order.push_back(p);
    } else {
      psp_freeTagMem(tag, 0, "t", 1);
      model.reset();
      order.clear();
    }
    PSP_MEMINFO info{};
    ASSERT_EQ(psp_getTagMemInfo(tag, &info), PSP_OKAY);
    for (int i = 0; i < 6; ++i)
      ASSERT_EQ(info.counters[i], model.counters()[i]) << "counter " << i << " at step " << step;
  }
}

TEST(Memory, BucketMatchesModelWithAndWithoutMutex) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  for (uint32_t threadSafe : {0u, 1u})
    for (uint32_t seed : {1u, 2u, 3u}) {
      PSP_MEMTAG tag = psp_createTagEx(nullptr, threadSafe, PSP_TAGKIND_BUCKET, nullptr, nullptr);
      ASSERT_NE(tag, nullptr);
      runModel(tag, seed);
      psp_freeTagMem(tag, 1, "t", 1);
    }
  psp_term();
}

} // namespace
