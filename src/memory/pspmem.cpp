// pspmem.cpp - memory tags: the tag list, the special handles, the
// allocation interface with its flags and jump, and memory start-up and
// shut-down.
//
// A tag record comes zeroed from the bootstrap tag; its strategy state and
// methods from the kind's constructor (strategy.h). Every live tag, the
// default tag and the threads' own tags included, is on the tag list in
// creation order, changed only under the tag-list lock. Lock order, outer to
// inner: tag mutex, then the tag-list lock or the bootstrap mutex, then the
// global-heap lock; nothing takes a tag mutex while holding one of the inner
// locks.
//
// A thread's own tag (PSP_TAG_THREAD) is given back when the thread ends: by
// the library's trampoline, or for any other thread by the thread-local
// slot's exit hook. Both run inside the frame's thread-exit gate, so they
// never overlap the last psp_term, and the hook checks that the tag belongs
// to the library that is running now (the slot is made anew by each
// start-up), so a hook that lost a race with psp_term touches nothing.
//
// The jump: an allocation that fails in a tag with a jump buffer does
// longjmp(*jump, 1). It is made only from tagJumpIfArmed, and only once every
// SemGuard of the failing call has gone out of scope and every structure the
// call touched is consistent again (see there).
#include "memory/bucket.h"
#include "memory/strategy.h"
#include "platform/os.h"
#include "testing.h"

#include <csetjmp>
#include <cstring>

namespace psp {

#ifndef _WIN32
// Declared hidden here too, so the short paths below read the flags with one
// instruction rather than through the global offset table.
extern ProcessFlags g_flags __attribute__((visibility("hidden")));
#endif

#ifdef PSP_TESTING
testing::FaultSwitch testing::g_failAllocation;
testing::FaultSwitch testing::g_failRegion;
#endif

#ifdef _WIN32
#define PSP_TLS_INITIAL_EXEC
#else
#define PSP_TLS_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
#endif

namespace {

struct MemoryState {
  psp_memtag_rec *head;
  psp_memtag_rec *tail;
  PSP_SEM listLock;
  uint32_t threadSlot;
  bool slotReady;
  psp_memtag_rec *defaultTag;
  uint64_t generation; // raised by every start-up
};

MemoryState g_mem{nullptr, nullptr, PSP_SEM_NONE, 0, false, nullptr, 0};

// This thread's own tag as last found in its slot, and the start-up that
// made it: the allocation paths reach it without the slot lookup. The start
// of psp_term makes it stale; the tag's destruction clears it (the start-up
// stays, for the thread's end to tell). Initial-exec, so that the inline
// paths read it without a call.
struct OwnTag {
  psp_memtag_rec *tag;
  uint64_t generation;
};
PSP_TLS_INITIAL_EXEC thread_local OwnTag t_ownTag{nullptr, 0};

void appendTag(psp_memtag_rec *tag) {
  SemGuard guard(g_mem.listLock);
  tag->next = nullptr;
  tag->prev = g_mem.tail;
  if (g_mem.tail != nullptr)
    g_mem.tail->next = tag;
  else
    g_mem.head = tag;
  g_mem.tail = tag;
}

void unlinkTag(psp_memtag_rec *tag) {
  SemGuard guard(g_mem.listLock);
  if (tag->prev != nullptr)
    tag->prev->next = tag->next;
  else if (g_mem.head == tag)
    g_mem.head = tag->next;
  if (tag->next != nullptr)
    tag->next->prev = tag->prev;
  else if (g_mem.tail == tag)
    g_mem.tail = tag->prev;
  tag->next = tag->prev = nullptr;
}

bool construct(uint32_t kind, psp_memtag_rec *tag) {
  switch (kind) {
  case PSP_TAGKIND_BUCKET:
    return mem::makeBucketKind(tag);
  case PSP_TAGKIND_HEAP:
    return mem::makeHeapKind(tag);
  case PSP_TAGKIND_ARENA:
    return mem::makeArenaKind(tag);
  case PSP_TAGKIND_MALLOC:
    return mem::makeMallocKind(tag);
  default:
    return false;
  }
}

// Destroys (destroy != 0) or resets a tag: the callback, free-all, then for a
// destroy the unlink, the state, the record and last the mutex.
void releaseTag(psp_memtag_rec *tag, int32_t destroy) {
  if (destroy != 0 && tag->callback != nullptr)
    tag->callback(tag->context);
  const bool useMutex = !terminating();
  const PSP_SEM mutex = tag->mutex;
  if (useMutex)
    semLock(mutex);
  tag->methods.freeAll(tag->state);
  if (destroy == 0) {
    mem::bucketWaitAgain(tag);
    if (useMutex)
      semUnlock(mutex);
    return;
  }
  unlinkTag(tag);
  tag->methods.destroyState(tag->state);
  mem::bootstrapFree(tag);
  if (mutex != PSP_SEM_NONE && useMutex) {
    semUnlock(mutex);
    psp_syncDelete(mutex);
  }
}

psp_memtag_rec *threadTag() {
  if (!initialised() || !g_mem.slotReady)
    return nullptr;
  void *current = os::tlsGet(g_mem.threadSlot);
  if (current != nullptr) {
    t_ownTag = {static_cast<psp_memtag_rec *>(current), g_mem.generation};
    return static_cast<psp_memtag_rec *>(current);
  }
  psp_memtag_rec *tag = nullptr;
  if (createTag(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr, &tag) != PSP_OKAY)
    return nullptr;
  registerTag(tag);
  if (!os::tlsSet(g_mem.threadSlot, tag)) {
    psp_freeTagMem(tag, 1, "pspmem", 119);
    return nullptr;
  }
  t_ownTag = {tag, g_mem.generation};
  return tag;
}

// PSP_TAG_THREAD's record as this thread last found it, while the library
// runs the start-up that made it; NULL otherwise (threadTag looks it up, or
// makes it).
inline psp_memtag_rec *cachedOwnRecord(PSP_MEMTAG tag) {
  if (tag != PSP_TAG_THREAD)
    return nullptr;
  const OwnTag own = t_ownTag;
  if (own.generation != g_flags.liveGeneration.load(std::memory_order_acquire))
    return nullptr;
  return own.tag;
}

// threadTag for callers that have checked initialised() already.
inline psp_memtag_rec *ownTag() {
  if (psp_memtag_rec *rec = cachedOwnRecord(PSP_TAG_THREAD)) [[likely]]
    return rec;
  return threadTag();
}

// Destroys the calling thread's own tag, if it has one, and clears its slot.
void destroyOwnTag() {
  if (!g_mem.slotReady)
    return;
  psp_memtag_rec *tag = static_cast<psp_memtag_rec *>(os::tlsGet(g_mem.threadSlot));
  if (tag == nullptr)
    return;
  os::tlsSet(g_mem.threadSlot, nullptr);
  t_ownTag.tag = nullptr;
  psp_freeTagMem(tag, 1, "pspmem", 862);
}

// The slot's exit hook: a thread the library did not start ends holding a
// tag. The platform has already cleared the slot.
void releaseAtThreadExit(void *value) {
  if (!threadExitEnter())
    return; // the library is down, and the tag went with it
  t_ownTag.tag = nullptr;
  if (t_ownTag.generation == g_mem.generation)
    psp_freeTagMem(static_cast<psp_memtag_rec *>(value), 1, "pspmem", 862);
  threadExitLeave();
}

// resolveTag for callers that have checked initialised() already: record
// pointers and the default tag without a call.
inline psp_memtag_rec *resolveInitialised(PSP_MEMTAG tag) {
  if (reinterpret_cast<uintptr_t>(tag) > 2)
    return tag;
  if (tag == PSP_TAG_DEFAULT)
    return g_mem.defaultTag;
  return tag == PSP_TAG_THREAD ? ownTag() : nullptr;
}

// A kind-0 tag with a mutex has no inline paths, so they never meet a tag
// that must be locked.
void setMutex(psp_memtag_rec *tag, PSP_SEM mutex) {
  tag->mutex = mutex;
  if (mutex != PSP_SEM_NONE)
    mem::bucketUseLocked(tag);
}

inline uint64_t wideLength(const void *source) {
  const char16_t *p = static_cast<const char16_t *>(source);
  uint64_t n = 0;
  while (p[n] != 0)
    ++n;
  return n;
}

// Steps 1-5 of every allocation call: the refusals that never jump. Gives
// false to refuse, else the final size.
inline bool checkRequest(uint64_t &size, uint32_t flags, const void *source) {
  if (!initialised())
    return false;
  if (size == 0 && (flags & (PSP_MEM_STRLEN | PSP_MEM_WSTRLEN)) == 0)
    return false;
  if ((flags & PSP_MEM_COPY) != 0 && source == nullptr)
    return false;
  if (flags == PSP_MEM_STRDUP)
    size = std::strlen(static_cast<const char *>(source)) + 1;
  else if (flags == PSP_MEM_WSTRDUP)
    size = 2 * (wideLength(source) + 1);
  return size < 0xFFFFFFFEu;
}

} // namespace

// ---- internal allocation entry points ----

psp_memtag_rec *resolveTag(PSP_MEMTAG tag) {
  if (tag == PSP_TAG_DEFAULT)
    return initialised() ? g_mem.defaultTag : nullptr;
  if (tag == PSP_TAG_THREAD)
    return initialised() ? ownTag() : nullptr;
  return initialised() ? tag : nullptr;
}

void tagJumpIfArmed(psp_memtag_rec *tag) {
  jmp_buf *jump;
  {
    SemGuard guard(tag->mutex);
    jump = tag->jump;
  }
  // Invariant at the jump: no SemGuard is live in any library frame between
  // here and the caller's setjmp (the tag mutex was released just above, and
  // callers holding other library locks use tagTryAlloc and leave their
  // locks before coming here), no library frame holds an object with a
  // non-trivial destructor, and the failed method changed nothing, so every
  // structure is as it was before the call.
  if (jump != nullptr)
    std::longjmp(*jump, 1);
}

void *tagTryAlloc(psp_memtag_rec *tag, uint32_t size) {
  SemGuard guard(tag->mutex);
  return tag->methods.alloc(size, tag->state);
}

void *tagTryRealloc(psp_memtag_rec *tag, void *block, uint32_t size, uint32_t keep) {
  SemGuard guard(tag->mutex);
  return tag->methods.realloc(block, size, tag->state, keep);
}

void *tagAlloc(psp_memtag_rec *tag, uint32_t size) {
  void *block = tagTryAlloc(tag, size);
  if (block == nullptr)
    tagJumpIfArmed(tag);
  return block;
}

void *tagRealloc(psp_memtag_rec *tag, void *block, uint32_t size, uint32_t keep) {
  void *moved = tagTryRealloc(tag, block, size, keep);
  if (moved == nullptr)
    tagJumpIfArmed(tag);
  return moved;
}

void tagFree(psp_memtag_rec *tag, void *block) {
  SemGuard guard(tag->mutex, !terminating());
  tag->methods.free(block, tag->state);
}

PSP_STATUS createTag(jmp_buf *jump, uint16_t threadSafe, uint32_t kind, PSP_TAG_CALLBACK callback,
                     void *context, psp_memtag_rec **out) {
  if (kind > PSP_TAGKIND_MALLOC)
    return PSP_ERR_SYSTEM;
  // The mutex comes first: making it may jump to PSP_TAG_DEFAULT's buffer
  // when the sync table cannot grow, and at this point nothing is built yet.
  PSP_SEM mutex = PSP_SEM_NONE;
  if (threadSafe == 1)
    mutex = syncCreateLock("pspmem", 156);
  psp_memtag_rec *tag =
      static_cast<psp_memtag_rec *>(mem::bootstrapAllocZeroed(sizeof(psp_memtag_rec)));
  if (tag == nullptr) {
    psp_syncDelete(mutex);
    return PSP_ERR_NOMEMORY;
  }
  if (!construct(kind, tag)) {
    mem::bootstrapFree(tag);
    psp_syncDelete(mutex);
    return PSP_ERR_SYSTEM;
  }
  tag->context = context;
  tag->jump = jump;
  setMutex(tag, mutex);
  tag->callback = callback;
  *out = tag;
  return PSP_OKAY;
}

void registerTag(psp_memtag_rec *tag) { appendTag(tag); }

void threadTagRelease() {
  if (!threadExitEnter())
    return;
  destroyOwnTag();
  threadExitLeave();
}

// ---- start-up and shut-down ----

uint64_t memGeneration() { return g_mem.generation; }

PSP_STATUS memStartup() {
  g_mem.head = g_mem.tail = nullptr;
  g_mem.listLock = PSP_SEM_NONE;
  g_mem.defaultTag = nullptr;
  ++g_mem.generation;
  mem::globalHeapReset();
  mem::bootstrapInit();
  if (!os::tlsCreate(g_mem.threadSlot, releaseAtThreadExit))
    return PSP_ERR_NOMEMORY;
  g_mem.slotReady = true;
  os::tlsSet(g_mem.threadSlot, nullptr);
  if (!initialised()) {
    memShutdown();
    return PSP_ERR_SYSTEM;
  }
  psp_memtag_rec *tag = nullptr;
  PSP_STATUS status = createTag(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr, &tag);
  if (status != PSP_OKAY) {
    memShutdown();
    return status;
  }
  appendTag(tag);
  g_mem.defaultTag = tag;

  PSP_SEM made[4];
  for (int i = 0; i < 4; ++i)
    made[i] = syncCreateLock("pspmem", 272 + i);
  if (made[0] == PSP_SEM_NONE || made[1] == PSP_SEM_NONE || made[2] == PSP_SEM_NONE ||
      made[3] == PSP_SEM_NONE) {
    for (PSP_SEM sem : made)
      psp_syncDelete(sem);
    // The sync table's blocks live in the default tag: give them back first.
    // The frame's lock teardown clears the sync-disabled flag this sets.
    syncShutdown();
    memShutdown();
    return PSP_ERR_SYSTEM;
  }
  setMutex(tag, made[0]);
  g_mem.listLock = made[1];
  mem::globalHeapSetLock(made[2]);
  mem::g_bootstrap.mutex = made[3];
  return PSP_OKAY;
}

void memShutdown() {
  g_mem.listLock = PSP_SEM_NONE;
  mem::globalHeapSetLock(PSP_SEM_NONE);
  mem::g_bootstrap.mutex = PSP_SEM_NONE;
  destroyOwnTag();
  if (g_mem.defaultTag != nullptr) {
    psp_memtag_rec *tag = g_mem.defaultTag;
    g_mem.defaultTag = nullptr;
    psp_freeTagMem(tag, 1, "pspmem", 319);
  }
  while (g_mem.head != nullptr)
    releaseTag(g_mem.head, 1);
  if (g_mem.slotReady) {
    os::tlsDelete(g_mem.threadSlot);
    g_mem.slotReady = false;
  }
  if (initialised())
    mem::g_bootstrap.methods.freeAll(mem::g_bootstrap.state);
  mem::globalHeapRelease();
}

} // namespace psp

using namespace psp;

PSP_API PSP_MEMTAG psp_createTagEx(jmp_buf *jump, uint16_t threadSafe, uint32_t kind,
                                   PSP_TAG_CALLBACK callback, void *context) {
  PSP_MEMTAG tag = nullptr;
  psp_createTagEx_rc(jump, threadSafe, kind, callback, context, &tag);
  return tag;
}

PSP_API PSP_STATUS psp_createTagEx_rc(jmp_buf *jump, uint16_t threadSafe, uint32_t kind,
                                      PSP_TAG_CALLBACK callback, void *context, PSP_MEMTAG *out) {
  // A tag nobody could reach would only wait for psp_term.
  if (out == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (!initialised())
    return PSP_ERR_SYSTEM;
  psp_memtag_rec *tag = nullptr;
  PSP_STATUS status = createTag(jump, threadSafe, kind, callback, context, &tag);
  if (status != PSP_OKAY)
    return status;
  appendTag(tag);
  *out = tag;
  return PSP_OKAY;
}

namespace {

// psp_getMem with every check.
[[gnu::noinline]] void *getMemChecked(uint64_t size, PSP_MEMTAG tag, uint32_t flags,
                                      const void *source) {
  if (!checkRequest(size, flags, source))
    return nullptr;
  psp_memtag_rec *rec = resolveInitialised(tag);
  if (rec == nullptr)
    return nullptr;
  // A zero size gets the smallest block: distinct, freeable, never written.
  void *block = tagAlloc(rec, size == 0 ? 1u : static_cast<uint32_t>(size));
  if (block == nullptr)
    return nullptr;
  if ((flags & PSP_MEM_ZERO) != 0)
    std::memset(block, 0, size);
  else if ((flags & PSP_MEM_COPY) != 0)
    std::memcpy(block, source, size);
  return block;
}

} // namespace

namespace {

// A tag record, once the library runs; NULL for a special handle or before
// start-up.
inline psp_memtag_rec *runningRecord(PSP_MEMTAG tag) {
  if (reinterpret_cast<uintptr_t>(tag) <= g_flags.tagFloor.load(std::memory_order_acquire))
      [[unlikely]]
    return nullptr;
  return tag;
}

// A tag record without a mutex, once the library runs: its strategy is
// called straight, with nothing to lock. NULL for anything else.
inline psp_memtag_rec *unlockedRecord(PSP_MEMTAG tag) {
  psp_memtag_rec *rec = runningRecord(tag);
  if (rec == nullptr || rec->mutex != PSP_SEM_NONE) [[unlikely]]
    return nullptr;
  return rec;
}

// The strategy's allocation in a tag without a mutex that has a jump buffer.
[[gnu::noinline]] void *allocOrJump(psp_memtag_rec *rec, uint32_t size) {
  if (void *block = rec->methods.alloc(size, rec->state))
    return block;
  tagJumpIfArmed(rec);
  return nullptr;
}

// Without a jump buffer the strategy's NULL is the answer: a tail call.
inline void *allocUnlocked(psp_memtag_rec *rec, uint32_t size) {
  if (rec->jump == nullptr)
    return rec->methods.alloc(size, rec->state);
  return allocOrJump(rec, size);
}

// A kind-0 allocation when no block waits: from the class's list.
inline void *allocBucket(psp_memtag_rec *rec, uint32_t size) {
  auto *b = static_cast<mem::BucketState *>(rec->state);
  if (void *block = mem::bucketPopCounted(b, size, mem::bucketClassOf(size))) [[likely]]
    return block;
  return allocUnlocked(rec, size);
}

// The same after the block waiting, of another size, goes on its list.
[[gnu::noinline]] void *allocBucketSpilling(psp_memtag_rec *rec, uint32_t size) {
  mem::bucketSpill(static_cast<mem::BucketState *>(rec->state));
  return allocBucket(rec, size);
}

// A kind-0 allocation of 1..8192 bytes when a block may wait: that block;
// else, after a run of frees, frees may wait again, and after a block that
// waited for nothing they may not.
inline void *allocWaiting(psp_memtag_rec *rec, uint32_t size) {
  auto *b = static_cast<mem::BucketState *>(rec->state);
  bool other;
  void *block = mem::bucketTakeWaiting(b, size, &other);
  rec->inlineAlloc = mem::kBucketPlain;
  if (block != nullptr) [[likely]] {
    rec->inlineFree = mem::kBucketWaiting;
    return block;
  }
  if (other) {
    rec->inlineFree = mem::kBucketPlain;
    return allocBucketSpilling(rec, size);
  }
  rec->inlineFree = mem::kBucketWaiting;
  return allocBucket(rec, size);
}

// A kind-0 free when no block waits.
inline void freePlain(psp_memtag_rec *rec, void *block) {
  if (mem::bucketTryPush(static_cast<mem::BucketState *>(rec->state), block)) [[likely]]
    return;
  mem::bucketFree(block, rec->state);
}

// A kind-0 free when no block waits, that may wait. A block that cannot
// wait, or a run of frees (the next free finds the tag parked), turns
// waiting off until the next allocation turns it on.
inline void freeWaiting(psp_memtag_rec *rec, void *block) {
  if (mem::bucketTryWait(static_cast<mem::BucketState *>(rec->state), block)) [[likely]] {
    rec->inlineAlloc = mem::kBucketWaiting;
    rec->inlineFree = mem::kBucketParked;
    return;
  }
  rec->inlineFree = mem::kBucketPlain;
  rec->inlineAlloc = mem::kBucketWaiting;
  mem::bucketFree(block, rec->state);
}

// psp_getMem's plain requests that psp_getMem itself does not serve (the
// default tag, a tag with a mutex) skip the checks that cannot apply, with
// the same outcome.
[[gnu::noinline]] void *getMemPlain(uint64_t size, PSP_MEMTAG tag, uint32_t flags,
                                    const void *source) {
  if (flags == PSP_MEM_NORMAL && size - 1 < 0xFFFFFFFDu && initialised()) {
    const auto s = static_cast<uint32_t>(size);
    psp_memtag_rec *rec = reinterpret_cast<uintptr_t>(tag) > 2 ? tag
                          : tag == PSP_TAG_DEFAULT             ? g_mem.defaultTag
                                                               : nullptr;
    if (rec != nullptr && rec->mutex == PSP_SEM_NONE) {
      if (void *block = rec->methods.alloc(s, rec->state))
        return block;
      tagJumpIfArmed(rec);
      return nullptr;
    }
    if (rec != nullptr)
      return tagAlloc(rec, s);
  }
  return getMemChecked(size, tag, flags, source);
}

// psp_freeMem's frees that psp_freeMem itself does not serve.
[[gnu::noinline]] void freeMemGeneral(void *block, PSP_MEMTAG tag) {
  if (block == nullptr || !initialised())
    return;
  psp_memtag_rec *rec = resolveInitialised(tag);
  if (rec != nullptr)
    tagFree(rec, block);
}

} // namespace

// The kind is tested once: a kind-0 tag takes a block from its size class
// inline, any other goes straight to its strategy.
PSP_API __attribute__((aligned(64))) void *psp_getMem(uint64_t size, PSP_MEMTAG tag, uint32_t flags,
                                                      const void *source, const char *, int32_t) {
  if (flags == PSP_MEM_NORMAL) [[likely]] {
    if (size - 1 < mem::kBucketLargest) [[likely]] {
      psp_memtag_rec *rec = runningRecord(tag);
      if (rec == nullptr) [[unlikely]]
        rec = cachedOwnRecord(tag);
      if (rec != nullptr) [[likely]] {
        const uint8_t mode = rec->inlineAlloc;
        if (mode == mem::kBucketPlain) [[likely]]
          return allocBucket(rec, static_cast<uint32_t>(size));
        if (mode == mem::kBucketWaiting) [[likely]]
          return allocWaiting(rec, static_cast<uint32_t>(size));
        if (rec->mutex == PSP_SEM_NONE)
          return allocUnlocked(rec, static_cast<uint32_t>(size));
      }
    } else if (size - 1 < 0xFFFFFFFDu) {
      if (psp_memtag_rec *rec = unlockedRecord(tag))
        return allocUnlocked(rec, static_cast<uint32_t>(size));
    }
  }
  return getMemPlain(size, tag, flags, source);
}

PSP_API PSP_STATUS psp_getMem_rc(uint64_t size, PSP_MEMTAG tag, uint32_t flags, const void *source,
                                 void **out, const char *file, int32_t line) {
  if (out == nullptr) // the block would be lost
    return PSP_ERR_INVALIDPARAM;
  void *block = psp_getMem(size, tag, flags, source, file, line);
  *out = block;
  return block != nullptr ? PSP_OKAY : PSP_ERR_NOMEMORY;
}

PSP_API void *psp_extendMem(void *block, uint64_t size, PSP_MEMTAG tag, uint32_t flags,
                            uint64_t added, const void *source, const char *file, int32_t line) {
  if (block == nullptr)
    return psp_getMem(size, tag, flags, source, file, line);
  if (!checkRequest(size, flags, source))
    return nullptr;
  psp_memtag_rec *rec = resolveInitialised(tag);
  if (rec == nullptr)
    return nullptr;
  const uint32_t keep = (flags & PSP_MEM_COPY) != 0 ? 0 : 1;
  char *moved = static_cast<char *>(
      tagRealloc(rec, block, size == 0 ? 1u : static_cast<uint32_t>(size), keep));
  if (moved == nullptr)
    return nullptr;
  if (added > size)
    added = size;
  if ((flags & PSP_MEM_ZERO) != 0) {
    std::memset(moved + size - added, 0, added);
  } else if ((flags & PSP_MEM_COPY) != 0) {
    if (added != 0)
      std::memcpy(moved + size - added, source, added);
    else
      std::memcpy(moved, source, size);
  }
  return moved;
}

PSP_API PSP_STATUS psp_extendMem_rc(void *block, uint64_t size, PSP_MEMTAG tag, uint32_t flags,
                                    uint64_t added, const void *source, void **out,
                                    const char *file, int32_t line) {
  if (out == nullptr) // a moved block would be lost, and the old one freed
    return PSP_ERR_INVALIDPARAM;
  void *moved = psp_extendMem(block, size, tag, flags, added, source, file, line);
  *out = moved;
  return moved != nullptr ? PSP_OKAY : PSP_ERR_NOMEMORY;
}

PSP_API __attribute__((aligned(64))) void psp_freeMem(void *block, PSP_MEMTAG tag, const char *,
                                                      int32_t) {
  if (block != nullptr) [[likely]] {
    psp_memtag_rec *rec = runningRecord(tag);
    if (rec == nullptr) [[unlikely]]
      rec = cachedOwnRecord(tag);
    if (rec != nullptr) [[likely]] {
      const uint8_t mode = rec->inlineFree;
      if (mode == mem::kBucketPlain) [[likely]] {
        freePlain(rec, block);
        return;
      }
      if (mode == mem::kBucketWaiting) [[likely]] {
        freeWaiting(rec, block);
        return;
      }
      if (mode == mem::kBucketParked) { // the block waiting goes on its list first
        rec->inlineFree = mem::kBucketPlain;
        mem::bucketFree(block, rec->state);
        return;
      }
      if (rec->mutex == PSP_SEM_NONE) {
        rec->methods.free(block, rec->state);
        return;
      }
    }
  }
  freeMemGeneral(block, tag);
}

PSP_API void psp_freeTagMem(PSP_MEMTAG tag, int32_t destroy, const char *, int32_t) {
  // The special handles are not records; they are refused rather than
  // dereferenced.
  if (tag == nullptr || tag == PSP_TAG_THREAD || tag == PSP_TAG_DEFAULT || !initialised())
    return;
  releaseTag(tag, destroy);
}

PSP_API void psp_resetTag(jmp_buf *jump, PSP_MEMTAG tag) {
  psp_memtag_rec *rec = resolveTag(tag);
  if (rec == nullptr)
    return;
  SemGuard guard(rec->mutex);
  rec->jump = jump;
}

PSP_API void *psp_moveMem(void *block, uint64_t size, PSP_MEMTAG to, PSP_MEMTAG from) {
  if (!initialised() || block == nullptr)
    return nullptr;
  if (to == from)
    return block;
  psp_memtag_rec *dst = resolveTag(to);
  psp_memtag_rec *src = resolveTag(from);
  if (dst == nullptr || src == nullptr || size == 0 || size >= 0xFFFFFFFEu)
    return nullptr;
  void *moved = tagTryAlloc(dst, static_cast<uint32_t>(size));
  if (moved == nullptr)
    return nullptr;
  std::memcpy(moved, block, size);
  tagFree(src, block);
  return moved;
}

PSP_API PSP_STATUS psp_getTagMemInfo(PSP_MEMTAG tag, PSP_MEMINFO *info) {
  if (!initialised())
    return PSP_ERR_SYSTEM;
  psp_memtag_rec *rec = resolveTag(tag);
  if (rec == nullptr)
    return PSP_ERR_SYSTEM;
  if (info == nullptr)
    return PSP_OKAY;
  std::memset(info, 0, sizeof *info);
  SemGuard guard(rec->mutex);
  if (rec->methods.info != nullptr)
    rec->methods.info(rec->state, info);
  return PSP_OKAY;
}

PSP_API void psp_memReport(PSP_MEMTAG, const char *, ...) {}
