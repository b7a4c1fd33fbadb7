// pspmem.cpp - memory tags and the global heap (placeholder until memory lands).
//
// The frame already calls these hooks in the places the start-up and
// shut-down sequences put them; they do nothing yet.
#include "internal.h"

namespace psp {

PSP_STATUS memStartup() { return PSP_OKAY; }
void memShutdown() {}

} // namespace psp

PSP_API void psp_freeTagMem(PSP_MEMTAG, int32_t, const char *, int32_t) {}
