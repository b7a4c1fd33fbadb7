// pspsync.cpp - synchronization objects (placeholder until the slot table lands).
#include "internal.h"

namespace psp {

void syncTableClear() {}
void syncShutdown() { g_flags.syncDisabled.store(1); }

} // namespace psp

PSP_API void psp_syncDelete(PSP_SEM) {}
