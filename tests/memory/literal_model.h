// literal_model.h - the placement rules of the global heap, the region heap
// and the arena written as the plain walks they are defined by, and a driver
// that runs one operation sequence on the library's allocators and on this
// model side by side.
//
// The library side runs on the process's real global heap (the library must
// not be initialised; the limit and caller buffer are set through
// psp_setMemLimit), with a kind-1 region heap and an arena over it. The
// model has its own global heap of the same kind. After every operation the
// two must agree on every result: refused or not, and where the block lies,
// as (position of its global region in the region list, offset in that
// region), which pins down the chunk, the region and the block. Usage,
// peaks and the tags' counters must agree too, and block contents must
// survive.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "memory/strategy.h"
#include "psp.h"

#ifdef _WIN32
#include <malloc.h>
// The Windows runtime has no aligned_alloc; its aligned blocks have their own free.
inline void *modelAlignedAlloc(size_t alignment, size_t size) {
  return _aligned_malloc(size, alignment);
}
inline void modelAlignedFree(void *p) { _aligned_free(p); }
#else
inline void *modelAlignedAlloc(size_t alignment, size_t size) {
  return std::aligned_alloc(alignment, size);
}
inline void modelAlignedFree(void *p) { std::free(p); }
#endif

namespace literal {

struct Counter {
  uint64_t value = 0;
  uint64_t peak = 0;
  void add(uint64_t n) {
    value += n;
    if (value > peak)
      peak = value;
  }
};

struct Region;
struct Block {
  uint32_t size;
  uint32_t spare;
  union {
    Block *nextFree;
    Region *region;
  };
};
struct Region {
  uint64_t dataSize;
  Region *next;
  Region *prev;
  Block *freeHead;
};

inline uint64_t round16(uint64_t n) { return (n + 15) & ~uint64_t{15}; }
inline char *bytes(void *p) { return static_cast<char *>(p); }
inline Block *headerOf(void *p) { return reinterpret_cast<Block *>(bytes(p) - 16); }
inline char *endOf(Block *b) { return bytes(b) + 16 + b->size; }

// The region heap: best fit over every free list of every region.
struct Heap {
  Region *regions = nullptr;
  uint64_t minRegion = 0;
  void *(*source)(void *owner, uint64_t *size) = nullptr;
  void (*sink)(void *owner, void *region) = nullptr;
  void *owner = nullptr;
  Counter inUse;

  void unlink(Region *r) {
    (r->prev != nullptr ? r->prev->next : regions) = r->next;
    if (r->next != nullptr)
      r->next->prev = r->prev;
  }

  void *alloc(uint64_t n) {
    n = round16(n == 0 ? 1 : n);
    if (n > psp::mem::kMaxBlock)
      return nullptr;
    Block *best = nullptr;
    Block **bestLink = nullptr;
    Region *bestRegion = nullptr;
    for (Region *r = regions; r != nullptr && !(best != nullptr && best->size == n); r = r->next)
      for (Block **l = &r->freeHead; *l != nullptr; l = &(*l)->nextFree) {
        if ((*l)->size < n || (best != nullptr && (*l)->size >= best->size))
          continue;
        best = *l;
        bestLink = l;
        bestRegion = r;
        if (best->size == n)
          break;
      }
    if (best == nullptr) {
      uint64_t size = (n + 16 > minRegion ? n + 16 : minRegion) + 32;
      Region *r = static_cast<Region *>(source(owner, &size));
      if (r == nullptr)
        return nullptr;
      r->dataSize = size - 32;
      best = reinterpret_cast<Block *>(r + 1);
      best->size = static_cast<uint32_t>(r->dataSize - 16);
      best->nextFree = nullptr;
      r->freeHead = best;
      r->prev = nullptr;
      r->next = regions;
      if (regions != nullptr)
        regions->prev = r;
      regions = r;
      bestLink = &r->freeHead;
      bestRegion = r;
    }
    Block *taken = best;
    if (best->size <= n + 16) {
      *bestLink = best->nextFree;
    } else {
      taken = reinterpret_cast<Block *>(bytes(best) + best->size - n);
      taken->size = static_cast<uint32_t>(n);
      best->size -= static_cast<uint32_t>(n + 16);
    }
    taken->region = bestRegion;
    inUse.add(taken->size);
    return bytes(taken) + 16;
  }

  void free(void *p) {
    Block *h = headerOf(p);
    Region *r = h->region;
    inUse.value -= h->size;
    Block *below = nullptr, *above = nullptr, **aboveLink = nullptr;
    for (Block **l = &r->freeHead; *l != nullptr; l = &(*l)->nextFree) {
      if (*l < h) {
        if (below == nullptr || *l > below)
          below = *l;
      } else if (above == nullptr || *l < above) {
        above = *l;
        aboveLink = l;
      }
    }
    if (above != nullptr && bytes(above) == endOf(h)) {
      *aboveLink = above->nextFree;
      h->size += above->size + 16;
    }
    Block *merged = h;
    if (below != nullptr && endOf(below) == bytes(h)) {
      below->size += h->size + 16;
      merged = below;
    } else {
      h->nextFree = r->freeHead;
      r->freeHead = h;
    }
    if (merged == reinterpret_cast<Block *>(r + 1) && merged->size == r->dataSize - 16) {
      unlink(r);
      sink(owner, r);
    }
  }

  void *resize(void *p, uint64_t n, bool keep) {
    n = round16(n == 0 ? 1 : n);
    if (n > psp::mem::kMaxBlock)
      return nullptr;
    Block *h = headerOf(p);
    const uint32_t original = h->size;
    for (Block **l = &h->region->freeHead; *l != nullptr; l = &(*l)->nextFree)
      if (bytes(*l) == endOf(h)) {
        Block *above = *l;
        *l = above->nextFree;
        h->size += above->size + 16;
        inUse.add(above->size + 16);
        break;
      }
    if (h->size < n) {
      void *moved = alloc(n);
      if (moved == nullptr)
        return nullptr;
      if (keep)
        std::memcpy(moved, p, original);
      free(p);
      return moved;
    }
    if (h->size > n + 16) {
      Block *tail = reinterpret_cast<Block *>(bytes(h) + 16 + n);
      tail->size = h->size - static_cast<uint32_t>(n) - 16;
      tail->nextFree = h->region->freeHead;
      h->region->freeHead = tail;
      inUse.value -= h->size - n;
      h->size = static_cast<uint32_t>(n);
    }
    return p;
  }

  void freeAll() {
    while (Region *r = regions) {
      regions = r->next;
      sink(owner, r);
    }
    inUse.value = 0;
  }
};

// The global heap: 4 MiB regions from malloc or the one caller buffer, a
// 16-byte prefix with the byte count, usage against the limit.
struct Global {
  Heap heap;
  Counter usage;
  uint64_t limit = 0;
  char *buffer = nullptr;
  bool bufferInUse = false;

  static void *source(void *owner, uint64_t *size) {
    Global *g = static_cast<Global *>(owner);
    if (g->limit != 0 && *size + g->usage.value > g->limit)
      return nullptr;
    if (g->buffer == nullptr)
      return modelAlignedAlloc(16, round16(*size));
    uint64_t length = g->limit & ~uint64_t{15};
    if (g->bufferInUse || length < *size)
      return nullptr;
    *size = length;
    g->bufferInUse = true;
    return g->buffer;
  }
  static void sink(void *owner, void *region) {
    Global *g = static_cast<Global *>(owner);
    if (g->buffer != nullptr)
      g->bufferInUse = false;
    else
      modelAlignedFree(region);
  }
  Global() {
    heap.minRegion = 0x400000;
    heap.source = source;
    heap.sink = sink;
    heap.owner = this;
  }

  void *alloc(uint64_t request, Counter *pair) {
    if (request > psp::mem::kMaxBlock - 16)
      return nullptr;
    const uint64_t count = request + 16;
    char *prefix = static_cast<char *>(heap.alloc(count));
    if (prefix == nullptr)
      return nullptr;
    usage.add(count);
    if (pair != nullptr)
      pair->add(count);
    std::memcpy(prefix, &count, 8);
    return prefix + 16;
  }
  void *resize(void *block, uint64_t request) {
    if (request > psp::mem::kMaxBlock - 16)
      return nullptr;
    uint64_t old, count = request + 16;
    std::memcpy(&old, bytes(block) - 16, 8);
    char *moved = static_cast<char *>(heap.resize(bytes(block) - 16, count, true));
    if (moved == nullptr)
      return nullptr;
    usage.value -= old;
    usage.add(count);
    std::memcpy(moved, &count, 8);
    return moved + 16;
  }
  void free(void *block, Counter *pair) {
    uint64_t count;
    std::memcpy(&count, bytes(block) - 16, 8);
    usage.value -= count;
    if (pair != nullptr)
      pair->value -= count;
    heap.free(bytes(block) - 16);
  }
};

// A kind-1 heap: 4096-byte minimum regions that are global-heap blocks.
struct KindHeap {
  Heap heap;
  Counter held;
  Global *global;
  explicit KindHeap(Global *g) : global(g) {
    heap.minRegion = 4096;
    heap.owner = this;
    heap.source = [](void *owner, uint64_t *size) {
      KindHeap *k = static_cast<KindHeap *>(owner);
      return k->global->alloc(*size, &k->held);
    };
    heap.sink = [](void *owner, void *region) {
      KindHeap *k = static_cast<KindHeap *>(owner);
      k->global->free(region, &k->held);
    };
  }
};

// The arena: the first chunk on the room list with room enough.
struct Arena {
  struct Chunk {
    Chunk *prev;
    Chunk *next;
    uint32_t used;
    uint32_t free;
  };
  Global *global;
  Chunk *room = nullptr;
  Chunk *full = nullptr;
  Counter handedOut;
  explicit Arena(Global *g) : global(g) {}

  static void push(Chunk *&list, Chunk *c) {
    c->prev = nullptr;
    c->next = list;
    if (list != nullptr)
      list->prev = c;
    list = c;
  }
  void *alloc(uint32_t size) {
    const uint64_t s = (uint64_t{size == 0 ? 1u : size} + 7) & ~uint64_t{7};
    Chunk *c = room;
    while (c != nullptr && c->free < s)
      c = c->next;
    if (c == nullptr) {
      const uint64_t n = (s > 4096 ? s : 4096) + sizeof(Chunk);
      c = static_cast<Chunk *>(global->alloc(n, nullptr));
      if (c == nullptr)
        return nullptr;
      c->used = 0;
      c->free = static_cast<uint32_t>(n - sizeof(Chunk));
      push(room, c);
    }
    char *block = bytes(c + 1) + c->used;
    c->used += static_cast<uint32_t>(s);
    c->free -= static_cast<uint32_t>(s);
    handedOut.add(s);
    if (c->free == 0) {
      (c->prev != nullptr ? c->prev->next : room) = c->next;
      if (c->next != nullptr)
        c->next->prev = c->prev;
      push(full, c);
    }
    return block;
  }
  void freeAll() {
    for (Chunk *list : {room, full})
      while (list != nullptr) {
        Chunk *next = list->next;
        global->free(list, nullptr);
        list = next;
      }
    room = full = nullptr;
    handedOut.value = 0;
  }
};

// ---- the side-by-side driver ----

struct Config {
  bool callerBuffer;
  uint64_t limit; // 0: none
};

// Where p lies: the position of its region in the list, and the offset there.
template <typename R> std::pair<long, uint64_t> locate(const R *r, const void *p) {
  for (long i = 0; r != nullptr; r = r->next, ++i) {
    const char *start = reinterpret_cast<const char *>(r);
    if (p >= start && p < start + 32 + r->dataSize)
      return {i, static_cast<uint64_t>(static_cast<const char *>(p) - start)};
  }
  return {-1, 0};
}

class Differential {
public:
  explicit Differential(Config config) : kind1_(&global_), arena_(&global_) {
    if (config.callerBuffer) {
      realBuffer_ = modelAlignedAlloc(16, round16(config.limit));
      global_.buffer = static_cast<char *>(modelAlignedAlloc(16, round16(config.limit)));
    }
    global_.limit = config.limit;
    psp_setMemLimit(realBuffer_, config.limit);
    psp::mem::globalHeapReset();
    arenaState_ = std::calloc(1, psp::mem::arenaStateBytes());
    psp::mem::arenaKindInit(&arenaTag_, arenaState_);
  }

  ~Differential() {
    // After a difference the library side may still hold blocks.
    arenaTag_.methods.freeAll(arenaState_);
    psp::mem::regionFreeAll(heap_);
    for (Live &b : globalBlocks_)
      psp::mem::globalFree(b.real, nullptr);
    std::free(arenaState_);
    modelAlignedFree(realBuffer_);
    modelAlignedFree(global_.buffer);
    psp::mem::globalHeapRelease();
    psp_setMemLimit(nullptr, 0);
  }

  // Runs one operation from an 8-byte record: op, size (4 bytes), keep,
  // which block (2 bytes). Empty, or the first difference.
  static constexpr size_t kRecord = 8;
  std::string step(const uint8_t *record) {
    const uint8_t *p = record;
    const uint8_t *end = record + kRecord;
    const uint8_t op = next8(p, end);
    const uint32_t size = nextSize(p, end);
    const bool keep = (next8(p, end) & 1) != 0;
    ++steps_;
    std::string d;
    switch (op == 255 ? 10 : op == 254 ? 11 : op % 10) {
    case 0:
    case 1:
      d = allocated("arena alloc", arenaTag_.methods.alloc(size, arenaState_), arena_.alloc(size),
                    size, arenaBlocks_);
      break;
    case 2:
    case 3:
      d = allocated("heap alloc", psp::mem::regionAlloc(heap_, size), kind1_.heap.alloc(size), size,
                    heapBlocks_);
      break;
    case 4:
      if (!heapBlocks_.empty()) {
        Live &b = heapBlocks_[pick(p, end, heapBlocks_.size())];
        if (keep && !intact(b, false))
          return where("heap resize: contents lost before");
        d = resized("heap resize", b, psp::mem::regionResize(heap_, b.real, size, keep),
                    kind1_.heap.resize(b.model, size, keep), size, keep);
      }
      break;
    case 5:
    case 6:
      d = release(
          heapBlocks_, p, end, "heap free", [&](void *b) { psp::mem::regionFree(heap_, b); },
          [&](void *b) { kind1_.heap.free(b); });
      break;
    case 7:
      d = allocated("global alloc", psp::mem::globalAlloc(size, nullptr),
                    global_.alloc(size, nullptr), size, globalBlocks_);
      break;
    case 8:
      if (!globalBlocks_.empty()) {
        Live &b = globalBlocks_[pick(p, end, globalBlocks_.size())];
        d = resized("global resize", b, psp::mem::globalResize(b.real, size),
                    global_.resize(b.model, size), size, true);
      }
      break;
    case 9:
      d = release(
          globalBlocks_, p, end, "global free", [](void *b) { psp::mem::globalFree(b, nullptr); },
          [&](void *b) { global_.free(b, nullptr); });
      break;
    case 10:
      d = resetArena();
      break;
    case 11:
      psp::mem::regionFreeAll(heap_);
      kind1_.heap.freeAll();
      heapBlocks_.clear();
      break;
    }
    return d.empty() ? counters() : d;
  }

  // Gives everything back on both sides; the library's global heap must be empty.
  std::string finish() {
    if (std::string d = resetArena(); !d.empty())
      return d;
    psp::mem::regionFreeAll(heap_);
    kind1_.heap.freeAll();
    for (Live &b : globalBlocks_) {
      psp::mem::globalFree(b.real, nullptr);
      global_.free(b.model, nullptr);
    }
    heapBlocks_.clear();
    globalBlocks_.clear();
    if (std::string d = counters(); !d.empty())
      return d;
    uint64_t usage = 1;
    psp_getMemUsage(&usage, nullptr);
    if (usage != 0 || psp::mem::globalHeap().regions != nullptr)
      return where("global heap not empty at the end");
    return {};
  }

private:
  struct Live {
    void *real;
    void *model;
    uint32_t size;
    uint8_t tag;
  };

  static uint8_t next8(const uint8_t *&p, const uint8_t *end) { return p < end ? *p++ : 0; }

  // 1 byte .. 1 MiB, small sizes as likely as large magnitudes.
  static uint32_t nextSize(const uint8_t *&p, const uint8_t *end) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
      v = v << 8 | next8(p, end);
    const uint32_t bits = (v & 31) % 21;
    return 1 + ((v >> 5) & ((uint32_t{1} << bits) - 1));
  }

  static size_t pick(const uint8_t *&p, const uint8_t *end, size_t n) {
    const size_t v = size_t{next8(p, end)} << 8 | next8(p, end);
    return v % n;
  }

  uint8_t fill(void *block, uint32_t size) {
    const uint8_t tag = static_cast<uint8_t>(steps_ * 131 + 7);
    static_cast<uint8_t *>(block)[0] = tag;
    static_cast<uint8_t *>(block)[size - 1] = tag;
    return tag;
  }

  static bool intact(const Live &b, bool tail) {
    const uint8_t *bytes = static_cast<const uint8_t *>(b.real);
    return bytes[0] == b.tag && (!tail || bytes[b.size - 1] == b.tag);
  }

  std::string where(const std::string &what) const {
    return "step " + std::to_string(steps_) + ": " + what;
  }

  std::string placed(const char *what, void *real, void *model, uint32_t size) {
    if ((real == nullptr) != (model == nullptr))
      return where(
          std::string(what) + " of " + std::to_string(size) +
          (real == nullptr ? ": refused by the library only" : ": refused by the model only"));
    if (real == nullptr)
      return {};
    const auto r = locate(psp::mem::globalHeap().regions, real);
    const auto m = locate(global_.heap.regions, model);
    if (r != m)
      return where(std::string(what) + " of " + std::to_string(size) + ": library at region " +
                   std::to_string(r.first) + " +" + std::to_string(r.second) +
                   ", model at region " + std::to_string(m.first) + " +" +
                   std::to_string(m.second));
    return {};
  }

  // Records a block both sides gave, then compares where they put it.
  std::string allocated(const char *what, void *real, void *model, uint32_t size,
                        std::vector<Live> &into) {
    if (real != nullptr && model != nullptr)
      into.push_back(Live{real, model, size, fill(real, size)});
    return placed(what, real, model, size);
  }

  // Frees a picked block on both sides once its contents are checked.
  template <typename Real, typename Model>
  std::string release(std::vector<Live> &blocks, const uint8_t *&p, const uint8_t *end,
                      const char *what, Real real, Model model) {
    if (blocks.empty())
      return {};
    const size_t i = pick(p, end, blocks.size());
    if (!intact(blocks[i], true))
      return where(std::string(what) + ": contents overwritten");
    real(blocks[i].real);
    model(blocks[i].model);
    blocks[i] = blocks.back();
    blocks.pop_back();
    return {};
  }

  // Compares a resize of b on both sides and takes the new block over.
  std::string resized(const char *what, Live &b, void *real, void *model, uint32_t size,
                      bool kept) {
    if (std::string d = placed(what, real, model, size); !d.empty())
      return d;
    if (real == nullptr)
      return {};
    if (kept && static_cast<uint8_t *>(real)[0] != b.tag)
      return where(std::string(what) + ": contents not kept");
    b = Live{real, model, size, fill(real, size)};
    return {};
  }

  std::string resetArena() {
    for (const Live &b : arenaBlocks_)
      if (!intact(b, true))
        return where("arena block overwritten");
    arenaBlocks_.clear();
    arenaTag_.methods.freeAll(arenaState_);
    arena_.freeAll();
    return {};
  }

  std::string counters() {
    uint64_t usage = 0, peak = 0;
    psp_getMemUsage(&usage, &peak);
    PSP_MEMINFO info{};
    arenaTag_.methods.info(arenaState_, &info);
    const std::pair<const char *, std::pair<uint64_t, uint64_t>> pairs[] = {
        {"usage", {usage, global_.usage.value}},
        {"peak usage", {peak, global_.usage.peak}},
        {"arena handed out", {info.counters[0], arena_.handedOut.value}},
        {"arena peak", {info.counters[1], arena_.handedOut.peak}},
        {"heap in use", {heap_.inUse.value, kind1_.heap.inUse.value}},
        {"heap peak", {heap_.inUse.peak, kind1_.heap.inUse.peak}},
        {"heap held", {heap_.pair.value, kind1_.held.value}},
        {"heap held peak", {heap_.pair.peak, kind1_.held.peak}}};
    for (const auto &[name, values] : pairs)
      if (values.first != values.second)
        return where(std::string(name) + ": library " + std::to_string(values.first) + ", model " +
                     std::to_string(values.second));
    return {};
  }

  uint64_t steps_ = 0;
  void *realBuffer_ = nullptr;
  void *arenaState_ = nullptr;
  psp_memtag_rec arenaTag_{};
  psp::mem::RegionHeap heap_{
      nullptr, 4096, psp::mem::globalRegionSource, psp::mem::globalRegionSink, {}, {}};
  Global global_;
  KindHeap kind1_;
  Arena arena_;
  std::vector<Live> arenaBlocks_, heapBlocks_, globalBlocks_;
};

// Runs a whole sequence; empty, or the first difference.
inline std::string runDifferential(const uint8_t *data, size_t size, Config config) {
  Differential d(config);
  for (size_t at = 0; at + Differential::kRecord <= size; at += Differential::kRecord)
    if (std::string diff = d.step(data + at); !diff.empty())
      return diff;
  return d.finish();
}

// The record that makes step() run `op` with `size` (1 .. 1 MiB) and the given rest.
inline void appendRecord(std::vector<uint8_t> &out, uint8_t op, uint32_t size, uint8_t keep,
                         uint16_t which) {
  const uint32_t v = (size - 1) << 5 | 20;
  const uint8_t record[8] = {
      op,   uint8_t(v >> 24),    uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v),
      keep, uint8_t(which >> 8), uint8_t(which)};
  out.insert(out.end(), record, record + 8);
}

} // namespace literal
