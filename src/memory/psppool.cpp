// psppool.cpp - object pools.
//
// A pool keeps released blocks of one purpose on a free list (at most
// maxPooled of them) and hands them out again, so a caller saves the
// allocation and the constructor on reuse. Each item is one tag allocation:
// a 16-byte header (free-list link, capacity) followed by the caller's block.
// Only the head of the free list is examined: an item too small for a request
// is released, not skipped. The destructor runs only when an item is finally
// released, never when it is pooled.
//
// Lock order: pool mutex, then the tag's mutex inside the tag calls. An
// allocation that fails under the pool mutex jumps only after the mutex has
// been released.
//
// A pool lives in memory the last psp_term gives back, so once the library
// is down every operation on a pool made before is a no-op.
#include "internal.h"

#include <cstring>

struct psp_pool_rec {
  struct PoolItem *freeList;
  PSP_MEMTAG tag; // as given, resolved anew on every use
  PSP_SEM mutex;
  uint32_t ownsTag;
  uint32_t pooled;
  uint32_t maxPooled;
  uint32_t reserved; // stored, not used
  PSP_POOL_CALLBACK constructor;
  PSP_POOL_CALLBACK destructor;
  void *context;
};

struct PoolItem {
  PoolItem *next;
  uint64_t capacity;
  // the caller's block follows
};
static_assert(sizeof(PoolItem) == 16);

namespace {

constexpr uint32_t kDefaultMaxPooled = 1000;

void *blockOf(PoolItem *item) { return item + 1; }
PoolItem *itemOf(void *block) { return static_cast<PoolItem *>(block) - 1; }

void release(PSP_POOL pool, PoolItem *item) {
  if (pool->destructor != nullptr)
    pool->destructor(pool->context, blockOf(item));
  psp_freeMem(item, pool->tag, "psppool", 190);
}

// Takes a block for a request of s bytes. *outOfMemory is set when a new
// item was needed and the tag could not give it.
void *take(PSP_POOL pool, uint64_t s, bool *outOfMemory) {
  if (PoolItem *head = pool->freeList) {
    pool->freeList = head->next;
    --pool->pooled;
    if (head->capacity >= s)
      return blockOf(head);
    release(pool, head);
  }
  if (!psp::initialised() || s > 0xFFFFFFFDull - 16)
    return nullptr;
  psp_memtag_rec *tag = psp::resolveTag(pool->tag);
  auto *item = static_cast<PoolItem *>(
      tag == nullptr ? nullptr : psp::tagTryAlloc(tag, static_cast<uint32_t>(s + 16)));
  if (item == nullptr) {
    *outOfMemory = tag != nullptr;
    return nullptr;
  }
  item->next = nullptr;
  item->capacity = s;
  if (pool->constructor != nullptr)
    pool->constructor(pool->context, blockOf(item));
  return blockOf(item);
}

} // namespace

PSP_API PSP_STATUS psp_poolCreateEx(PSP_MEMTAG tag, uint32_t reserved, uint32_t threadSafe,
                                    PSP_POOL_CALLBACK constructor, PSP_POOL_CALLBACK destructor,
                                    void *context, PSP_POOL *out) {
  if (out == nullptr) // the pool could never be destroyed
    return PSP_ERR_INVALIDPARAM;
  uint32_t ownsTag = 0;
  if (tag == nullptr) {
    if (!psp::initialised())
      return PSP_ERR_SYSTEM;
    PSP_STATUS status = psp_createTagEx_rc(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr, &tag);
    if (status != PSP_OKAY)
      return status;
    ownsTag = 1;
  }
  auto *pool = static_cast<PSP_POOL>(
      psp_getMem(sizeof(psp_pool_rec), tag, PSP_MEM_NORMAL | PSP_MEM_ZERO, nullptr, "psppool", 67));
  if (pool == nullptr) {
    if (ownsTag)
      psp_freeTagMem(tag, 1, "psppool", 84);
    return PSP_ERR_NOMEMORY;
  }
  pool->tag = tag;
  pool->ownsTag = ownsTag;
  pool->reserved = reserved;
  pool->maxPooled = kDefaultMaxPooled;
  pool->mutex =
      threadSafe != 0 ? psp_syncCreate_check(PSP_SYNC_MUTEX, "psppool", 73) : PSP_SEM_NONE;
  pool->constructor = constructor;
  pool->destructor = destructor;
  pool->context = context;
  *out = pool;
  return PSP_OKAY;
}

PSP_API void psp_poolSetMaxPooled(PSP_POOL pool, uint32_t maxPooled) {
  if (psp::initialised())
    pool->maxPooled = maxPooled;
}

PSP_API void *psp_poolGetMem(PSP_POOL pool, uint64_t size, int32_t flags, const void *source) {
  if (!psp::initialised())
    return nullptr;
  bool outOfMemory = false;
  void *block;
  {
    psp::SemGuard guard(pool->mutex);
    block = take(pool, size, &outOfMemory);
  }
  if (block == nullptr) {
    // The pool mutex is released: nothing of the library is held across the jump.
    if (outOfMemory)
      psp::tagJumpIfArmed(psp::resolveTag(pool->tag));
    return nullptr;
  }
  if (flags == 3)
    std::memset(block, 0, size);
  else if (flags == 5)
    std::memcpy(block, source, size);
  return block;
}

PSP_API void psp_poolPut(PSP_POOL pool, void *block) {
  if (block == nullptr || !psp::initialised())
    return;
  psp::SemGuard guard(pool->mutex);
  PoolItem *item = itemOf(block);
  if (pool->pooled >= pool->maxPooled) {
    release(pool, item);
  } else {
    item->next = pool->freeList;
    pool->freeList = item;
    ++pool->pooled;
  }
}

PSP_API void psp_poolDestroy(PSP_POOL pool) {
  if (pool == nullptr || !psp::initialised())
    return;
  PSP_SEM mutex = pool->mutex;
  psp::semLock(mutex);
  if (pool->ownsTag) {
    // Everything the pool ever made goes with its tag; no destructor runs.
    psp_freeTagMem(pool->tag, 1, "psppool", 268);
  } else {
    while (PoolItem *item = pool->freeList) {
      pool->freeList = item->next;
      release(pool, item);
    }
    psp_freeMem(pool, pool->tag, "psppool", 262);
  }
  psp::semUnlock(mutex);
  psp_syncDelete(mutex);
}
