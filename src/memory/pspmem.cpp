// pspmem.cpp - memory tags and the global heap (placeholder until memory lands).
//
// The frame already calls these hooks in the places the start-up and
// shut-down sequences put them. Until the allocator exists every allocation
// fails and every free does nothing.
#include "internal.h"

namespace psp {

PSP_STATUS memStartup() { return PSP_OKAY; }
void memShutdown() {}

psp_memtag_rec *resolveTag(PSP_MEMTAG) { return nullptr; }
void *tagAlloc(psp_memtag_rec *, uint32_t) { return nullptr; }
void *tagRealloc(psp_memtag_rec *, void *, uint32_t, uint32_t) { return nullptr; }
void tagFree(psp_memtag_rec *, void *) {}

} // namespace psp

PSP_API void *psp_getMem(uint64_t, PSP_MEMTAG, uint32_t, const void *, const char *, int32_t) {
  return nullptr;
}

PSP_API void *psp_extendMem(void *, uint64_t, PSP_MEMTAG, uint32_t, uint64_t, const void *,
                            const char *, int32_t) {
  return nullptr;
}

PSP_API void psp_freeMem(void *, PSP_MEMTAG, const char *, int32_t) {}

PSP_API void psp_freeTagMem(PSP_MEMTAG, int32_t, const char *, int32_t) {}
