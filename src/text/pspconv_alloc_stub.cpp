// pspconv_alloc_stub.cpp - placeholder for the allocating Unicode conversion
// until it lands: every conversion fails.
#include "internal.h"

PSP_API PSP_WCHAR *psp_convToWchar(const char *, int, PSP_MEMTAG) { return nullptr; }
