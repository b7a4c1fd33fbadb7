// globalheap.cpp - the process-wide global heap, the memory limit, the
// caller's single buffer, and the bootstrap tag that holds tag records and
// strategy states.
//
// The global heap is a region heap with 4 MiB minimum regions taken from
// malloc, or from the one buffer a caller handed to psp_setMemLimit before
// psp_init. Every block it hands out carries a 16-byte prefix holding its
// byte count (request + 16); usage is the sum of the live byte counts and is
// what the limit is checked against, but only when a new region is needed.
// All of it runs under the global-heap lock, which is innermost in the
// library's lock order.
//
// Emptied regions of the minimum size are kept (up to kSpareRegions) and
// handed out again before malloc is asked, so a tag that is filled and reset
// over and over does not make the process fault its pages in every time.
// They are regions as fresh as malloc's as far as the heap can tell, and go
// back to free() at the memory shut-down.
#include "memory/strategy.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace psp::mem {

namespace {

constexpr uint64_t kMinLimit = 0x400400;
constexpr uint64_t kGlobalMinRegion = 0x400000;
constexpr uint64_t kSpareBytes = kGlobalMinRegion + sizeof(RegionHeader);
constexpr uint32_t kSpareRegions = 64;

// Set by psp_setMemLimit, which may run before psp_init.
std::atomic<uint64_t> g_limit{0};
void *g_buffer = nullptr;
bool g_bufferInUse = false;

CounterPair g_usage;
PSP_SEM g_globalLock = PSP_SEM_NONE;

void *g_spare[kSpareRegions];
uint32_t g_spareCount = 0;

void *systemSource(uint64_t *size, CounterPair *) {
  uint64_t limit = g_limit.load(std::memory_order_relaxed);
  if (limit != 0 && *size + g_usage.value > limit)
    return nullptr;
  if (g_buffer == nullptr) {
    if (*size == kSpareBytes && g_spareCount > 0)
      return g_spare[--g_spareCount];
    return std::malloc(*size); // 16-aligned on the supported platforms
  }
  if (g_bufferInUse)
    return nullptr;
  // The buffer is the one region. Its start is aligned to 16 and its length
  // trimmed to what a region heap can describe.
  uintptr_t start = reinterpret_cast<uintptr_t>(g_buffer);
  uintptr_t aligned = (start + 15) & ~uintptr_t{15};
  uint64_t length = (limit - (aligned - start)) & ~uint64_t{15};
  if (length > kMaxBlock + 48)
    length = kMaxBlock + 48;
  if (length < *size)
    return nullptr;
  *size = length;
  g_bufferInUse = true;
  return reinterpret_cast<void *>(aligned);
}

void systemSink(void *region, CounterPair *) {
  if (g_buffer != nullptr)
    g_bufferInUse = false;
  else if (static_cast<RegionHeader *>(region)->dataSize + sizeof(RegionHeader) == kSpareBytes &&
           g_spareCount < kSpareRegions)
    g_spare[g_spareCount++] = region;
  else
    std::free(region);
}

RegionHeap g_global{nullptr, kGlobalMinRegion, systemSource, systemSink, {}, {}};

RegionHeap g_bootstrapHeap;

} // namespace

psp_memtag_rec g_bootstrap;

void globalHeapReset() {
  g_globalLock = PSP_SEM_NONE;
  if (g_global.regions == nullptr) {
    g_usage = CounterPair{};
    g_global.inUse = CounterPair{};
  }
}

void globalHeapSetLock(PSP_SEM lock) { g_globalLock = lock; }

void globalHeapRelease() {
  SemGuard guard(g_globalLock);
  while (g_spareCount > 0)
    std::free(g_spare[--g_spareCount]);
}

void *globalAlloc(uint64_t request, CounterPair *pair) {
  if (request > kMaxBlock - 16)
    return nullptr;
  const uint64_t count = request + 16;
  char *prefix;
  {
    SemGuard guard(g_globalLock);
    prefix = static_cast<char *>(regionAlloc(g_global, count));
    if (prefix == nullptr)
      return nullptr;
    g_usage.add(count);
    if (pair != nullptr)
      pair->add(count);
  }
  std::memcpy(prefix, &count, sizeof count);
  return prefix + 16;
}

void *globalResize(void *block, uint64_t request) {
  if (request > kMaxBlock - 16)
    return nullptr;
  const uint64_t count = request + 16;
  char *prefix = static_cast<char *>(block) - 16;
  SemGuard guard(g_globalLock);
  uint64_t old;
  std::memcpy(&old, prefix, sizeof old);
  char *moved = static_cast<char *>(regionResize(g_global, prefix, count, true));
  if (moved == nullptr)
    return nullptr;
  g_usage.sub(old);
  g_usage.add(count);
  std::memcpy(moved, &count, sizeof count);
  return moved + 16;
}

void globalFreeLocked(void *block, CounterPair *pair) {
  char *prefix = static_cast<char *>(block) - 16;
  uint64_t count;
  std::memcpy(&count, prefix, sizeof count);
  g_usage.sub(count);
  if (pair != nullptr)
    pair->sub(count);
  regionFree(g_global, prefix);
}

void globalFree(void *block, CounterPair *pair) {
  SemGuard guard(g_globalLock);
  globalFreeLocked(block, pair);
}

PSP_SEM globalHeapLock() { return g_globalLock; }

const RegionHeap &globalHeap() { return g_global; }

void *globalRegionSource(uint64_t *size, CounterPair *pair) { return globalAlloc(*size, pair); }

void globalRegionSink(void *region, CounterPair *pair) { globalFree(region, pair); }

// ---- bootstrap tag ----

void bootstrapInit() {
  g_bootstrapHeap = RegionHeap{nullptr, 4096, globalRegionSource, globalRegionSink, {}, {}};
  std::memset(static_cast<void *>(&g_bootstrap), 0, sizeof g_bootstrap);
  g_bootstrap.mutex = PSP_SEM_NONE;
  g_bootstrap.state = &g_bootstrapHeap;
  g_bootstrap.methods = heapKindMethods();
  g_bootstrap.methods.info = nullptr;
}

void *bootstrapAllocZeroed(uint64_t size) {
  if (size < 1 || size > 0xFFFFFFFDu)
    return nullptr;
  void *block;
  {
    SemGuard guard(g_bootstrap.mutex);
    block = g_bootstrap.methods.alloc(static_cast<uint32_t>(size), g_bootstrap.state);
  }
  if (block != nullptr)
    std::memset(block, 0, size);
  return block;
}

void bootstrapFree(void *block) {
  SemGuard guard(g_bootstrap.mutex, !terminating());
  g_bootstrap.methods.free(block, g_bootstrap.state);
}

} // namespace psp::mem

using namespace psp;

PSP_API PSP_STATUS psp_setMemLimit(void *buffer, uint64_t limit) {
  if (initialised() && (buffer != nullptr || mem::g_buffer != nullptr))
    return PSP_ERR_SYSTEM;
  if (limit >= 1 && limit < mem::kMinLimit)
    return PSP_ERR_SYSTEM;
  // A buffer without a size cannot be a region.
  if (buffer != nullptr && limit == 0)
    return PSP_ERR_SYSTEM;
  mem::g_limit.store(limit, std::memory_order_relaxed);
  if (!initialised())
    mem::g_buffer = buffer;
  return PSP_OKAY;
}

PSP_API void psp_getMemUsage(uint64_t *usage, uint64_t *peak) {
  SemGuard guard(initialised() ? mem::g_globalLock : PSP_SEM_NONE);
  if (usage != nullptr)
    *usage = mem::g_usage.value;
  if (peak != nullptr)
    *peak = mem::g_usage.peak;
}
