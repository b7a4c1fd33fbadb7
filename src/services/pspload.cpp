// pspload.cpp - loading other libraries at run time.
//
// A PSP_LIB is a record in PSP_TAG_DEFAULT holding a copy of the name it was
// loaded by and a separately allocated cell with the platform's module
// handle. The file name handed to the loader is built in a 512-byte buffer by
// the platform's naming rule; a name that does not fit is not loaded. A
// failed load frees everything it made, leaves the caller's out pointer as it
// was and leaves the platform's reason for psp_errno. Allocations never jump
// while something is half made: each failure first frees what was made, then
// takes PSP_TAG_DEFAULT's jump if it has one.
#include "internal.h"
#include "platform/os.h"

#include <cerrno>
#include <cstring>

struct psp_lib_rec {
  char *name;
  void **module;
};

namespace {

constexpr size_t kFileNameBuffer = 512;

void *allocZeroed(psp_memtag_rec *tag, uint64_t size) {
  void *block = psp::tagTryAlloc(tag, static_cast<uint32_t>(size));
  if (block != nullptr)
    std::memset(block, 0, size);
  return block;
}

void freeRecord(psp_memtag_rec *tag, PSP_LIB lib) {
  if (lib->module != nullptr)
    psp::tagFree(tag, lib->module);
  if (lib->name != nullptr)
    psp::tagFree(tag, lib->name);
  psp::tagFree(tag, lib);
}

PSP_STATUS outOfMemory(psp_memtag_rec *tag, PSP_LIB lib) {
  if (lib != nullptr)
    freeRecord(tag, lib);
  psp::tagJumpIfArmed(tag);
  return PSP_ERR_NOMEMORY;
}

} // namespace

using namespace psp;

PSP_API PSP_STATUS psp_load(const char *name, PSP_LIB *out) {
  if (name == nullptr || name[0] == '\0' || out == nullptr)
    return PSP_ERR_INVALIDPARAM;
  psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT);
  if (tag == nullptr)
    return PSP_ERR_NOMEMORY;
  uint64_t length = std::strlen(name);
  if (length >= 0xFFFFFFF0u)
    return PSP_NO;
  auto *lib = static_cast<PSP_LIB>(allocZeroed(tag, sizeof(psp_lib_rec)));
  if (lib == nullptr)
    return outOfMemory(tag, nullptr);
  lib->name = static_cast<char *>(tagTryAlloc(tag, static_cast<uint32_t>(length + 1)));
  if (lib->name == nullptr)
    return outOfMemory(tag, lib);
  std::memcpy(lib->name, name, length + 1);
  void **cell = static_cast<void **>(allocZeroed(tag, sizeof(void *)));
  if (cell == nullptr)
    return outOfMemory(tag, lib);

  char file[kFileNameBuffer];
  void *module = nullptr;
  uint32_t reason = os::errorNameTooLong();
  if (os::libraryFileName(name, file, sizeof file)) {
    module = os::libraryOpen(file);
    reason = os::threadErrno();
  }
  if (module == nullptr) {
    tagFree(tag, cell);
    freeRecord(tag, lib);
    os::setThreadErrno(reason);
    return PSP_NO;
  }
  *cell = module;
  lib->module = cell;
  *out = lib;
  return PSP_OKAY;
}

PSP_API PSP_STATUS psp_getFcnAddr(PSP_LIB lib, const char *function, void **address) {
  if (address == nullptr)
    return PSP_ERR_INVALIDPARAM;
  // After the last psp_term the handle's memory is gone: nothing is read.
  if (!initialised()) {
    *address = nullptr;
    return PSP_ERR_SYSTEM;
  }
  if (lib == nullptr || lib->module == nullptr || function == nullptr) {
    *address = nullptr;
    return PSP_ERR_INVALIDPARAM;
  }
  *address = os::librarySymbol(*lib->module, function);
  return PSP_OKAY;
}

// The record lives in PSP_TAG_DEFAULT, which the last psp_term destroys:
// after that the handle is gone and nothing is read from it.
PSP_API PSP_STATUS psp_unload(PSP_LIB lib) {
  if (lib == nullptr)
    return PSP_ERR_INVALIDPARAM;
  psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT);
  if (tag == nullptr)
    return PSP_ERR_SYSTEM;
  if (!os::libraryClose(*lib->module))
    return PSP_NO;
  uint32_t reason = os::threadErrno();
  freeRecord(tag, lib);
  os::setThreadErrno(reason);
  return PSP_OKAY;
}
