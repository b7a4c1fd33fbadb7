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
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "memory/strategy.h"
#include "psp.h"

namespace literal {

using psp::mem::kMaxBlock;

struct Counter {
  uint64_t value = 0, peak = 0;
  void add(uint64_t n) { peak = std::max(peak, value += n); }
};

struct Region;
struct Block { // a 16-byte header before the block's data
  uint32_t size, spare;
  union {
    Block *nextFree;
    Region *region;
  };
};
struct Region {
  uint64_t dataSize;
  Region *next, *prev;
  Block *freeHead;
};

inline uint64_t round16(uint64_t n) { return (n + 15) & ~uint64_t{15}; }
inline char *bytes(void *p) { return static_cast<char *>(p); }
inline Block *blockAt(void *p) { return static_cast<Block *>(p); }
inline char *endOf(Block *b) { return bytes(b) + 16 + b->size; }
inline Block *headerOf(void *p) { return blockAt(bytes(p) - 16); }
inline Block *firstBlock(Region *r) { return blockAt(r + 1); }

// The link to the first free block of r that `is` accepts, or null.
template <typename Is> Block **findFree(Region *r, Is is) {
  for (Block **l = &r->freeHead; *l != nullptr; l = &(*l)->nextFree)
    if (is(*l))
      return l;
  return nullptr;
}

// Doubly linked lists of regions and of arena chunks.
template <typename T> void pushFront(T *&list, T *n) {
  n->prev = nullptr;
  n->next = list;
  if (list != nullptr)
    list->prev = n;
  list = n;
}
template <typename T> void unlink(T *&list, T *n) {
  (n->prev != nullptr ? n->prev->next : list) = n->next;
  if (n->next != nullptr)
    n->next->prev = n->prev;
}

struct Global;

// A region heap: best fit over every free list of every region. A kind-1
// heap's regions are global-heap blocks; the global heap's own come from
// malloc (16-aligned, as the library's) or the caller buffer.
struct Heap {
  Region *regions = nullptr;
  uint64_t minRegion = 0x400000;
  Global *parent = nullptr; // none: this is the global heap
  Counter inUse, held;

  Region *source(uint64_t *size);
  void sink(Region *r);

  void *alloc(uint64_t n) {
    if ((n = round16(n == 0 ? 1 : n)) > kMaxBlock)
      return nullptr;
    // The first exact fit, else the smallest of at least n; ties go to the
    // first found, walking the regions and then their free lists in order.
    Block **link = nullptr;
    Region *in = nullptr;
    for (Region *r = regions; r != nullptr && !(link != nullptr && (*link)->size == n); r = r->next)
      for (Block **l = &r->freeHead; *l != nullptr; l = &(*l)->nextFree)
        if ((*l)->size >= n && (link == nullptr || (*l)->size < (*link)->size)) {
          link = l, in = r;
          if ((*l)->size == n)
            break;
        }
    if (link == nullptr) {
      uint64_t size = std::max(n + 16, minRegion) + 32;
      if ((in = source(&size)) == nullptr)
        return nullptr;
      Block *whole = firstBlock(in);
      whole->size = static_cast<uint32_t>(size - 48);
      whole->nextFree = nullptr;
      in->dataSize = size - 32;
      in->freeHead = whole;
      pushFront(regions, in);
      link = &in->freeHead;
    }
    // With more than a header to spare, the block's top is carved off.
    Block *best = *link, *taken = best;
    if (best->size <= n + 16) {
      *link = best->nextFree;
    } else {
      taken = blockAt(bytes(best) + best->size - n);
      taken->size = static_cast<uint32_t>(n);
      best->size -= static_cast<uint32_t>(n + 16);
    }
    taken->region = in;
    inUse.add(taken->size);
    return bytes(taken) + 16;
  }

  // Absorbs the free block just above h, if there is one; true if so.
  bool absorbAbove(Block *h) {
    Block **above = findFree(h->region, [h](Block *b) { return bytes(b) == endOf(h); });
    if (above != nullptr) {
      h->size += (*above)->size + 16;
      *above = (*above)->nextFree;
    }
    return above != nullptr;
  }

  void free(void *p) {
    Block *h = headerOf(p), *merged = h;
    Region *r = h->region;
    inUse.value -= h->size;
    // Merges with the free blocks just above and just below.
    absorbAbove(h);
    if (Block **below = findFree(r, [h](Block *b) { return endOf(b) == bytes(h); })) {
      (*below)->size += h->size + 16;
      merged = *below;
    } else {
      h->nextFree = r->freeHead;
      r->freeHead = h;
    }
    if (merged == firstBlock(r) && merged->size == r->dataSize - 16) {
      unlink(regions, r);
      sink(r);
    }
  }

  // Absorbs a free block just above, then moves when still too small, or
  // splits off a tail of more than a header.
  void *resize(void *p, uint64_t n, bool keep) {
    if ((n = round16(n == 0 ? 1 : n)) > kMaxBlock)
      return nullptr;
    Block *h = headerOf(p);
    const uint32_t original = h->size;
    if (absorbAbove(h))
      inUse.add(h->size - original);
    if (h->size < n) {
      void *moved = alloc(n);
      if (moved != nullptr && keep)
        std::memcpy(moved, p, original);
      if (moved != nullptr)
        free(p);
      return moved;
    }
    if (h->size > n + 16) {
      Block *tail = blockAt(bytes(h) + 16 + n);
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
      sink(r);
    }
    inUse.value = 0;
  }
};

// The global heap: 4 MiB regions from malloc or the one caller buffer, a
// 16-byte prefix with the byte count, usage against the limit.
struct Global : Heap {
  Counter usage;
  uint64_t limit = 0;
  char *buffer = nullptr;
  bool bufferInUse = false;

  static uint64_t &countOf(void *block) { return *reinterpret_cast<uint64_t *>(bytes(block) - 16); }

  // `pair` counts the bytes a second time (a kind-1 heap's held bytes).
  void *prefixedAlloc(uint64_t request, Counter *pair) {
    char *block = request > kMaxBlock - 16 ? nullptr : bytes(alloc(request + 16));
    if (block == nullptr)
      return nullptr;
    usage.add(countOf(block + 16) = request + 16);
    if (pair != nullptr)
      pair->add(request + 16);
    return block + 16;
  }
  void *prefixedResize(void *block, uint64_t request) {
    const uint64_t old = countOf(block);
    char *moved =
        request > kMaxBlock - 16 ? nullptr : bytes(resize(bytes(block) - 16, request + 16, true));
    if (moved == nullptr)
      return nullptr;
    usage.value -= old;
    usage.add(countOf(moved + 16) = request + 16);
    return moved + 16;
  }
  void prefixedFree(void *block, Counter *pair) {
    usage.value -= countOf(block);
    if (pair != nullptr)
      pair->value -= countOf(block);
    free(bytes(block) - 16);
  }
};

inline Region *Heap::source(uint64_t *size) {
  if (parent != nullptr)
    return static_cast<Region *>(parent->prefixedAlloc(*size, &held));
  Global *g = static_cast<Global *>(this);
  if (g->limit != 0 && *size + g->usage.value > g->limit)
    return nullptr;
  if (g->buffer == nullptr)
    return static_cast<Region *>(std::malloc(*size));
  const uint64_t length = g->limit & ~uint64_t{15};
  if (g->bufferInUse || length < *size)
    return nullptr;
  *size = length;
  g->bufferInUse = true;
  return reinterpret_cast<Region *>(g->buffer);
}

inline void Heap::sink(Region *r) {
  if (parent != nullptr)
    parent->prefixedFree(r, &held);
  else if (static_cast<Global *>(this)->buffer != nullptr)
    static_cast<Global *>(this)->bufferInUse = false;
  else
    std::free(r);
}

// The arena: the first chunk on the room list with room enough.
struct Arena {
  struct Chunk {
    Chunk *prev, *next;
    uint32_t used, free;
  };
  Global *global;
  Chunk *room = nullptr, *full = nullptr;
  Counter handedOut;

  void *alloc(uint32_t size) {
    const uint64_t s = (uint64_t{size == 0 ? 1u : size} + 7) & ~uint64_t{7};
    Chunk *c = room;
    while (c != nullptr && c->free < s)
      c = c->next;
    if (c == nullptr) {
      const uint64_t n = std::max<uint64_t>(s, 4096) + sizeof(Chunk);
      if ((c = static_cast<Chunk *>(global->prefixedAlloc(n, nullptr))) == nullptr)
        return nullptr;
      c->used = 0;
      c->free = static_cast<uint32_t>(n - sizeof(Chunk));
      pushFront(room, c);
    }
    char *block = bytes(c + 1) + c->used;
    c->used += static_cast<uint32_t>(s);
    c->free -= static_cast<uint32_t>(s);
    handedOut.add(s);
    if (c->free == 0) {
      unlink(room, c);
      pushFront(full, c);
    }
    return block;
  }
  void freeAll() {
    for (Chunk *list : {room, full})
      for (Chunk *next; list != nullptr; list = next) {
        next = list->next;
        global->prefixedFree(list, nullptr);
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

// Where p lies: "region <position in the list> +<offset there>".
template <typename R> std::string locate(const R *r, const void *p) {
  for (long i = 0; r != nullptr; r = r->next, ++i) {
    const char *start = reinterpret_cast<const char *>(r);
    if (p >= start && p < start + 32 + r->dataSize)
      return "region " + std::to_string(i) + " +" +
             std::to_string(static_cast<const char *>(p) - start);
  }
  return "no region";
}

class Differential {
public:
  explicit Differential(Config config) {
    if (config.callerBuffer) {
      realBuffer_ = std::malloc(round16(config.limit));
      global_.buffer = static_cast<char *>(std::malloc(round16(config.limit)));
    }
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
    std::free(global_.buffer);
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
    else if (kind == 4 && hb != nullptr && keep && !intact(*hb, false))
      differ("heap resize: contents lost before");
    else if (kind == 4 && hb != nullptr)
      resized("heap resize", *hb, psp::mem::regionResize(heap_, hb->real, size, keep),
              kind1_.resize(hb->model, size, keep), size, keep, true);
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
    void *real, *model;
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
  static bool intact(const Live &b, bool tail) {
    const uint8_t *bytes = static_cast<const uint8_t *>(b.real);
    return bytes[0] == b.tag && (!tail || bytes[b.size - 1] == b.tag);
  }
  static Live *pick(std::vector<Live> &blocks, size_t which) {
    return blocks.empty() ? nullptr : &blocks[which % blocks.size()];
  }

  // Same refusal and place; for a region-heap block (`sized`), the same size
  // too. False on a difference.
  bool placed(const char *what, void *real, void *model, uint32_t size, bool sized) {
    const std::string head = std::string(what) + " of " + std::to_string(size);
    if ((real == nullptr) != (model == nullptr))
      return !differ(head + ": refused by the " + (real == nullptr ? "library" : "model") +
                     " only");
    if (real == nullptr)
      return true;
    const std::string r = locate(psp::mem::globalHeap().regions, real);
    const std::string m = locate(global_.regions, model);
    return !(r != m && differ(head + ": library at " + r + ", model at " + m)) &&
           !(sized && psp::mem::regionBlockSize(real) != headerOf(model)->size &&
             differ(head + ": block sizes differ"));
  }

  // Records a block both sides gave, and compares where they put it.
  void allocated(const char *what, void *real, void *model, uint32_t size,
                 std::vector<Live> &into) {
    if (real != nullptr && model != nullptr)
      into.push_back(Live{real, model, size, fill(real, size)});
    placed(what, real, model, size, &into == &heapBlocks_);
  }

  // Compares a resize of b on both sides and takes the new block over.
  void resized(const char *what, Live &b, void *real, void *model, uint32_t size, bool kept,
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
    if (b == nullptr || (!intact(*b, true) && differ(std::string(what) + ": contents overwritten")))
      return;
    bothSides(*b);
    *b = blocks.back();
    blocks.pop_back();
  }

  void resetArena() {
    for (const Live &b : arenaBlocks_)
      if (!intact(b, true) && differ("arena block overwritten"))
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
    if (model) {
      arena_.freeAll();
      kind1_.freeAll();
    }
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
  Heap kind1_{nullptr, 4096, &global_, {}, {}};
  Arena arena_{&global_, nullptr, nullptr, {}};
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
