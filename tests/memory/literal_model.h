// literal_model.h - the placement rules of the global heap, a kind-1 region
// heap and an arena written as the plain walks they are defined by, and a
// driver that runs one operation sequence on the library's allocators and on
// this model side by side. The library must not be initialised; the limit and
// caller buffer are set through psp_setMemLimit. After every operation both
// sides must agree: refused or not, where the block lies as (position of its
// global region in the list, offset in that region), which pins down chunk,
// region and block; usage, peaks and the tags' counters. Contents must survive.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "internal.h"
#include "memory/strategy.h"
#include "psp.h"

namespace literal {

using psp::mem::kMaxBlock;
using psp::mem::round16;

struct Counter {
  uint64_t value = 0, peak = 0;
  void add(uint64_t n) { peak = std::max(peak, value += n); }
};

// Blocks are known by their region and the offset of their data from the
// region's start: a region's 32-byte header and a block's 16-byte header come
// first, so its first block's data lies at 48.
struct Region;
using Place = std::pair<Region *, uint64_t>;
inline Place after(Place p, uint64_t n) { return {p.first, p.second + n}; }

struct Region {
  uint64_t whole;                                  // its one block's size when all of it is free
  std::vector<std::pair<uint64_t, uint64_t>> free; // offset and size, in list order
  std::map<uint64_t, uint64_t> used;               // offset: size
  Place base;                                      // a kind-1 region: its global-heap block
};

struct Global;

// A region heap: best fit over every free list of every region. A kind-1
// heap's regions are global-heap blocks; the global heap's own come from
// malloc or the caller buffer.
struct Heap {
  std::list<Region> regions; // the newest first
  uint64_t minRegion = 0x400000;
  Global *parent = nullptr; // none: this is the global heap
  Counter inUse, held;

  bool source(uint64_t *size, Place *base);
  void sink(Region &r);

  Place alloc(uint64_t n) {
    if ((n = round16(n == 0 ? 1 : n)) > kMaxBlock)
      return {};
    // The first exact fit, else the smallest of at least n; ties go to the
    // first found, walking the regions and then their free lists in order.
    Region *in = nullptr;
    size_t best = 0;
    for (auto r = regions.begin(); r != regions.end() && !(in && in->free[best].second == n); ++r)
      for (size_t i = 0; i < r->free.size(); ++i)
        if (r->free[i].second >= n &&
            (in == nullptr || r->free[i].second < in->free[best].second)) {
          in = &*r, best = i;
          if (r->free[i].second == n)
            break;
        }
    if (in == nullptr) {
      uint64_t size = std::max(n + 16, minRegion) + 32;
      Place base;
      if (!source(&size, &base))
        return {};
      in = &regions.emplace_front(Region{size - 48, {{48, size - 48}}, {}, base});
    }
    // With more than a header to spare, the block's top is carved off.
    auto &[at, size] = in->free[best];
    uint64_t taken = at;
    if (size <= n + 16) {
      n = size;
      in->free.erase(in->free.begin() + static_cast<long>(best));
    } else {
      taken = at + size - n;
      size -= n + 16;
    }
    inUse.add(in->used[taken] = n);
    return {in, taken};
  }

  // Absorbs the free block just above the one at `at`, if there is one.
  static bool absorbAbove(Region &r, uint64_t at, uint64_t &size) {
    auto above = std::find_if(r.free.begin(), r.free.end(),
                              [&](auto &f) { return f.first == at + size + 16; });
    if (above == r.free.end())
      return false;
    size += above->second + 16;
    r.free.erase(above);
    return true;
  }

  // Merges with the free blocks just above and just below.
  void free(Place p) {
    Region &r = *p.first;
    uint64_t at = p.second, size = r.used[at];
    r.used.erase(at);
    inUse.value -= size;
    absorbAbove(r, at, size);
    auto below = std::find_if(r.free.begin(), r.free.end(),
                              [&](auto &f) { return f.first + f.second + 16 == at; });
    if (below != r.free.end())
      std::tie(at, size) = *below = {below->first, below->second + size + 16};
    else
      r.free.insert(r.free.begin(), {at, size});
    if (at == 48 && size == r.whole) {
      sink(r);
      regions.remove_if([&r](const Region &x) { return &x == &r; });
    }
  }

  // Absorbs a free block just above, then moves when still too small, or
  // splits off a tail of more than a header.
  Place resize(Place p, uint64_t n) {
    if ((n = round16(n == 0 ? 1 : n)) > kMaxBlock)
      return {};
    Region &r = *p.first;
    uint64_t &size = r.used[p.second];
    const uint64_t original = size;
    if (absorbAbove(r, p.second, size))
      inUse.add(size - original);
    if (size < n) {
      const Place moved = alloc(n);
      if (moved.first != nullptr)
        free(p);
      return moved;
    }
    if (size > n + 16) {
      r.free.insert(r.free.begin(), {p.second + n + 16, size - n - 16});
      inUse.value -= size - n;
      size = n;
    }
    return p;
  }

  void freeAll() {
    for (Region &r : regions)
      sink(r);
    regions.clear();
    inUse.value = 0;
  }
};

// The global heap: 4 MiB regions from malloc or the one caller buffer, a
// 16-byte prefix with the byte count, usage against the limit.
struct Global : Heap {
  Counter usage;
  uint64_t limit = 0;
  bool buffer = false, bufferInUse = false;
  std::map<Place, uint64_t> counts; // by the place after the prefix

  // `pair` counts the bytes a second time (a kind-1 heap's held bytes).
  Place prefixedAlloc(uint64_t request, Counter *pair) {
    const Place p = request > kMaxBlock - 16 ? Place{} : alloc(request + 16);
    if (p.first == nullptr)
      return p;
    usage.add(counts[after(p, 16)] = request + 16);
    if (pair != nullptr)
      pair->add(request + 16);
    return after(p, 16);
  }
  Place prefixedResize(Place block, uint64_t request) {
    const uint64_t old = counts[block];
    const Place moved =
        request > kMaxBlock - 16 ? Place{} : resize(after(block, -16), request + 16);
    if (moved.first == nullptr)
      return moved;
    counts.erase(block);
    usage.value -= old;
    usage.add(counts[after(moved, 16)] = request + 16);
    return after(moved, 16);
  }
  void prefixedFree(Place block, Counter *pair) {
    usage.value -= counts[block];
    if (pair != nullptr)
      pair->value -= counts[block];
    counts.erase(block);
    free(after(block, -16));
  }
};

inline bool Heap::source(uint64_t *size, Place *base) {
  if (parent != nullptr)
    return (*base = parent->prefixedAlloc(*size, &held)).first != nullptr;
  Global *g = static_cast<Global *>(this);
  if (g->limit != 0 && *size + g->usage.value > g->limit)
    return false;
  const uint64_t length = g->limit & ~uint64_t{15};
  if (!g->buffer)
    return true;
  if (g->bufferInUse || length < *size)
    return false;
  *size = length;
  return g->bufferInUse = true;
}

inline void Heap::sink(Region &r) {
  if (parent != nullptr)
    parent->prefixedFree(r.base, &held);
  else
    static_cast<Global *>(this)->bufferInUse = false;
}

// The arena: the first chunk on the room list with room enough; a chunk is a
// global-heap block with a 24-byte header.
struct Arena {
  struct Chunk {
    Place at;
    uint64_t used, free;
  };
  Global *global;
  std::list<Chunk> room, full; // the newest first
  Counter handedOut;

  Place alloc(uint32_t size) {
    const uint64_t s = (uint64_t{size == 0 ? 1u : size} + 7) & ~uint64_t{7};
    auto c = std::find_if(room.begin(), room.end(), [s](const Chunk &c) { return c.free >= s; });
    if (c == room.end()) {
      const uint64_t n = std::max<uint64_t>(s, 4096) + 24;
      const Place at = global->prefixedAlloc(n, nullptr);
      if (at.first == nullptr)
        return {};
      c = room.insert(room.begin(), Chunk{at, 0, n - 24});
    }
    const Place block = after(c->at, 24 + c->used);
    c->used += s;
    c->free -= s;
    handedOut.add(s);
    if (c->free == 0)
      full.splice(full.begin(), room, c);
    return block;
  }
  void freeAll() {
    for (std::list<Chunk> *list : {&room, &full})
      for (Chunk &c : *list)
        global->prefixedFree(c.at, nullptr);
    room.clear();
    full.clear();
    handedOut.value = 0;
  }
};

// ---- the side-by-side driver ----

struct Config {
  bool callerBuffer;
  uint64_t limit; // 0: none
};

class Differential {
public:
  explicit Differential(Config config) {
    if (config.callerBuffer)
      realBuffer_ = std::malloc(round16(config.limit));
    global_.buffer = config.callerBuffer;
    global_.limit = config.limit;
    psp_setMemLimit(realBuffer_, config.limit);
    psp::mem::globalHeapReset();
    arenaState_ = std::calloc(1, psp::mem::arenaStateBytes());
    psp::mem::arenaKindInit(&arenaTag_, arenaState_);
  }

  ~Differential() {
    giveBack(false); // after a difference the library side may still hold blocks
    std::free(arenaState_);
    std::free(realBuffer_);
    psp::mem::globalHeapRelease();
    psp_setMemLimit(nullptr, 0);
  }

  // Runs one operation from an 8-byte record: op, size (4 bytes: 5 bits of
  // magnitude, then 1 byte .. 1 MiB), keep, which block (2 bytes). Empty, or
  // the first difference.
  static constexpr size_t kRecord = 8;
  std::string step(const uint8_t *record) {
    const uint8_t op = record[0];
    const uint32_t v = uint32_t{record[1]} << 24 | record[2] << 16 | record[3] << 8 | record[4];
    const uint32_t size = 1 + ((v >> 5) & ((uint32_t{1} << (v & 31) % 21) - 1));
    const bool keep = (record[5] & 1) != 0;
    const size_t which = size_t{record[6]} << 8 | record[7];
    Live *hb = pick(heapBlocks_, which), *gb = pick(globalBlocks_, which);
    ++steps_;
    // Ops without a block to work on do nothing.
    const int kind = op == 255 ? 10 : op == 254 ? 11 : op % 10;
    if (kind <= 1)
      allocated("arena alloc", arenaTag_.methods.alloc(size, arenaState_), arena_.alloc(size), size,
                arenaBlocks_);
    else if (kind <= 3)
      allocated("heap alloc", psp::mem::regionAlloc(heap_, size), kind1_.alloc(size), size,
                heapBlocks_);
    else if (kind == 4 && hb != nullptr)
      resized("heap resize", *hb, psp::mem::regionResize(heap_, hb->real, size, keep),
              kind1_.resize(hb->model, size), size, keep, true);
    else if (kind == 5 || kind == 6)
      release(heapBlocks_, hb, "heap free", [&](Live &b) {
        psp::mem::regionFree(heap_, b.real);
        kind1_.free(b.model);
      });
    else if (kind == 7)
      allocated("global alloc", psp::mem::globalAlloc(size, nullptr),
                global_.prefixedAlloc(size, nullptr), size, globalBlocks_);
    else if (kind == 8 && gb != nullptr)
      resized("global resize", *gb, psp::mem::globalResize(gb->real, size),
              global_.prefixedResize(gb->model, size), size, true, false);
    else if (kind == 9)
      release(globalBlocks_, gb, "global free", [&](Live &b) {
        psp::mem::globalFree(b.real, nullptr);
        global_.prefixedFree(b.model, nullptr);
      });
    else if (kind == 10)
      resetArena();
    else if (kind == 11)
      psp::mem::regionFreeAll(heap_), kind1_.freeAll(), heapBlocks_.clear();
    if (diff_.empty())
      counters();
    return diff_;
  }

  // Gives everything back on both sides; the library's global heap must be empty.
  std::string finish() {
    resetArena();
    giveBack(true);
    counters();
    uint64_t usage = 1;
    psp_getMemUsage(&usage, nullptr);
    if (usage != 0 || psp::mem::globalHeap().regions != nullptr)
      differ("global heap not empty at the end");
    return diff_;
  }

private:
  struct Live {
    void *real;
    Place model;
    uint32_t size;
    uint8_t tag;
  };

  // Keeps the first difference, as "step <n>: <what>"; true.
  bool differ(const std::string &what) {
    if (diff_.empty())
      diff_ = "step " + std::to_string(steps_) + ": " + what;
    return true;
  }

  // Marks a block's first and last byte with a tag of this step.
  uint8_t fill(void *block, uint32_t size) {
    const uint8_t tag = static_cast<uint8_t>(steps_ * 131 + 7);
    static_cast<uint8_t *>(block)[0] = static_cast<uint8_t *>(block)[size - 1] = tag;
    return tag;
  }
  static bool intact(const Live &b) {
    const uint8_t *bytes = static_cast<const uint8_t *>(b.real);
    return bytes[0] == b.tag && bytes[b.size - 1] == b.tag;
  }
  static Live *pick(std::vector<Live> &blocks, size_t which) {
    return blocks.empty() ? nullptr : &blocks[which % blocks.size()];
  }

  // Where a block lies: the position of its global region in the list, and
  // the offset there.
  using Position = std::pair<long, uint64_t>;
  static Position position(const void *p) {
    long i = 0;
    for (auto *r = psp::mem::globalHeap().regions; r != nullptr; r = r->next, ++i)
      if (const char *start = reinterpret_cast<const char *>(r);
          p >= start && p < start + 32 + r->dataSize)
        return {i, static_cast<const char *>(p) - start};
    return {-1, 0};
  }
  Position position(Place p) {
    if (p.first->base.first != nullptr) // a kind-1 region
      p = after(p.first->base, p.second);
    auto r = std::find_if(global_.regions.begin(), global_.regions.end(),
                          [&](const Region &r) { return &r == p.first; });
    return {std::distance(global_.regions.begin(), r), p.second};
  }

  // Same refusal and place; for a region-heap block (`sized`), the same size
  // too. False on a difference.
  bool placed(const char *what, void *real, Place model, uint32_t size, bool sized) {
    const std::string head = std::string(what) + " of " + std::to_string(size);
    if ((real == nullptr) != (model.first == nullptr))
      return !differ(head + ": refused by the " + (real == nullptr ? "library" : "model") +
                     " only");
    const Position r = real ? position(real) : Position{}, m = real ? position(model) : r;
    auto text = [](Position p) {
      return "region " + std::to_string(p.first) + " +" + std::to_string(p.second);
    };
    return !(r != m && differ(head + ": library at " + text(r) + ", model at " + text(m))) &&
           !(real && sized && psp::mem::regionBlockSize(real) != model.first->used[model.second] &&
             differ(head + ": block sizes differ"));
  }

  // Records a block both sides gave, and compares where they put it.
  void allocated(const char *what, void *real, Place model, uint32_t size,
                 std::vector<Live> &into) {
    if (real != nullptr && model.first != nullptr)
      into.push_back(Live{real, model, size, fill(real, size)});
    placed(what, real, model, size, &into == &heapBlocks_);
  }

  // Compares a resize of b on both sides and takes the new block over.
  void resized(const char *what, Live &b, void *real, Place model, uint32_t size, bool kept,
               bool sized) {
    if (!placed(what, real, model, size, sized) || real == nullptr)
      return;
    if (kept && static_cast<uint8_t *>(real)[0] != b.tag)
      differ(std::string(what) + ": contents not kept");
    b = Live{real, model, size, fill(real, size)};
  }

  // Frees a picked block on both sides once its contents are checked.
  template <typename Free>
  void release(std::vector<Live> &blocks, Live *b, const char *what, Free bothSides) {
    if (b == nullptr || (!intact(*b) && differ(std::string(what) + ": contents overwritten")))
      return;
    bothSides(*b);
    *b = blocks.back();
    blocks.pop_back();
  }

  void resetArena() {
    for (const Live &b : arenaBlocks_)
      if (!intact(b) && differ("arena block overwritten"))
        return;
    arenaBlocks_.clear();
    arenaTag_.methods.freeAll(arenaState_);
    arena_.freeAll();
  }

  // Frees every block on the library's side and, with `model`, on the model's.
  void giveBack(bool model) {
    arenaTag_.methods.freeAll(arenaState_);
    psp::mem::regionFreeAll(heap_);
    for (Live &b : globalBlocks_) {
      psp::mem::globalFree(b.real, nullptr);
      if (model)
        global_.prefixedFree(b.model, nullptr);
    }
    if (model)
      arena_.freeAll(), kind1_.freeAll();
    arenaBlocks_.clear(), heapBlocks_.clear(), globalBlocks_.clear();
  }

  void counters() {
    uint64_t usage = 0, peak = 0;
    psp_getMemUsage(&usage, &peak);
    PSP_MEMINFO info{};
    arenaTag_.methods.info(arenaState_, &info);
    const std::pair<const char *, std::pair<uint64_t, uint64_t>> pairs[] = {
        {"usage", {usage, global_.usage.value}},
        {"peak usage", {peak, global_.usage.peak}},
        {"arena handed out", {info.counters[0], arena_.handedOut.value}},
        {"arena peak", {info.counters[1], arena_.handedOut.peak}},
        {"heap in use", {heap_.inUse.value, kind1_.inUse.value}},
        {"heap peak", {heap_.inUse.peak, kind1_.inUse.peak}},
        {"heap held", {heap_.pair.value, kind1_.held.value}},
        {"heap held peak", {heap_.pair.peak, kind1_.held.peak}}};
    for (const auto &[name, values] : pairs)
      if (values.first != values.second)
        differ(std::string(name) + ": library " + std::to_string(values.first) + ", model " +
               std::to_string(values.second));
  }

  uint64_t steps_ = 0;
  std::string diff_;
  void *realBuffer_ = nullptr;
  void *arenaState_ = nullptr;
  psp_memtag_rec arenaTag_{};
  psp::mem::RegionHeap heap_{
      nullptr, 4096, psp::mem::globalRegionSource, psp::mem::globalRegionSink, {}, {}};
  Global global_;
  Heap kind1_{{}, 4096, &global_, {}, {}};
  Arena arena_{&global_, {}, {}, {}};
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
