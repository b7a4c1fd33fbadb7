// pspglobal.cpp - process-wide named globals (placeholder until the table lands).
#include "internal.h"

namespace psp {

PSP_STATUS globalsStartup() { return PSP_OKAY; }
void globalsShutdown() {}

} // namespace psp
