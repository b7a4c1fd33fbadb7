// pspfile.cpp - file handles: the open and close every file family uses, the
// pspfile tag, the exported dispatchers and the status of a name.
//
// A handle is a psp_fh_rec with an owned copy of its name, allocated from a
// tag the opener names; psp_fileOpen uses the file layer's own thread-safe
// tag, kept in the named global "pspfile". The backend is chosen once, at
// open: the standard-stream table for "stdin", "stdout" and "stderr" (in any
// case), the disk table for every other name. The read-only and no-disk
// flags are checked at open (and, for read-only, at every sync); handles
// opened before a flag was set keep working. The dispatchers take no lock:
// one thread uses a handle at a time.
//
// Jumps: the record and name are allocated without the jump; when either
// fails, what was made is freed first and only then the tag's jump taken.
#include "internal.h"
#include "platform/os.h"
#include "testing.h"

#include <cstring>

namespace psp {

#ifdef PSP_TESTING
testing::FaultSwitch testing::g_failFileOp[kFileOpCount];
#endif

namespace {

struct StdName {
  const char *name;
  int number;
};
constexpr StdName kStdNames[] = {{"stdin", 0}, {"stdout", 1}, {"stderr", 2}};

bool equalsIgnoringCase(const char *a, const char *b) {
  for (;; ++a, ++b) {
    char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
    if (x != *b)
      return false;
    if (x == '\0')
      return true;
  }
}

uint32_t makeFileTag(void *value) {
  psp_memtag_rec *tag = nullptr;
  if (createTag(nullptr, 1, PSP_TAGKIND_BUCKET, nullptr, nullptr, &tag) != PSP_OKAY)
    return 1;
  registerTag(tag);
  *static_cast<psp_memtag_rec **>(value) = tag;
  return 0;
}

void dropFileTag(void *value) {
  psp_freeTagMem(*static_cast<PSP_MEMTAG *>(value), 1, "pspfile", 116);
}

void release(PSP_FH fh, psp_memtag_rec *rec) {
  if (fh->native != 0 && fh->backend != nullptr && fh->backend->close != nullptr)
    fh->backend->close(fh->native);
  fh->native = 0;
  if (initialised()) {
    tagFree(rec, fh->name);
    tagFree(rec, fh);
  }
}

inline bool readable(PSP_FH fh) { return (fh->mode & PSP_FILE_WRONLY) == 0; }
inline bool writable(PSP_FH fh) { return (fh->mode & (PSP_FILE_WRONLY | PSP_FILE_RDWR)) != 0; }

} // namespace

int stdStreamNumber(const char *name) {
  if (name == nullptr)
    return -1;
  for (const StdName &entry : kStdNames)
    if (equalsIgnoringCase(name, entry.name))
      return entry.number;
  return -1;
}

PSP_MEMTAG fileTag() {
  void *value = nullptr;
  if (psp_globalGet("pspfile", 8, makeFileTag, dropFileTag, &value) != PSP_OKAY)
    return nullptr;
  return *static_cast<PSP_MEMTAG *>(value);
}

PSP_STATUS openFileHandle(const char *name, uint32_t mode, uint16_t options, PSP_MEMTAG tag,
                          PSP_FH *out) {
  if (out == nullptr || name == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (!initialised())
    return PSP_ERR_SYSTEM;
  psp_memtag_rec *rec = resolveTag(tag);
  if (rec == nullptr)
    return PSP_ERR_NOMEMORY;
  const size_t nameSize = std::strlen(name) + 1;
  auto *fh = static_cast<PSP_FH>(tagTryAlloc(rec, sizeof(psp_fh_rec)));
  char *copy = fh != nullptr && nameSize < 0xFFFFFFFEu
                   ? static_cast<char *>(tagTryAlloc(rec, static_cast<uint32_t>(nameSize)))
                   : nullptr;
  if (copy == nullptr) {
    if (fh != nullptr)
      tagFree(rec, fh);
    tagJumpIfArmed(rec); // nothing of this call is left to undo
    return PSP_ERR_NOMEMORY;
  }
  std::memcpy(copy, name, nameSize);
  std::memset(fh, 0, sizeof *fh);
  fh->name = copy;
  fh->options = options;
  fh->mode = (mode & PSP_FILE_TRUNCATE) != 0 ? mode | PSP_FILE_CREATE : mode;

  PSP_STATUS status = PSP_OKAY;
  if (stdStreamNumber(name) >= 0) {
    fh->backend = &os::stdBackend;
  } else if (g_flags.readOnly.load() != 0 &&
             (fh->mode & (PSP_FILE_WRONLY | PSP_FILE_RDWR | PSP_FILE_CREATE)) != 0) {
    status = PSP_ERR_SYSTEM;
  } else if (g_flags.noDisk.load() != 0) {
    status = PSP_ERR_SYSTEM;
  } else {
    fh->backend = &os::diskBackend;
  }
  if (status == PSP_OKAY)
    status = fh->backend->open == nullptr
                 ? PSP_ERR_SYSTEM
                 : fh->backend->open(fh->name, fh->mode, fh->options, &fh->native);
  if (status != PSP_OKAY) {
    release(fh, rec);
    return status;
  }
  fh->mode &= ~(PSP_FILE_CREATE | PSP_FILE_TRUNCATE | kFileExclusive);
  *out = fh;
  return PSP_OKAY;
}

void closeFileHandle(PSP_FH fh, PSP_MEMTAG tag) {
  if (fh == nullptr)
    return;
  psp_memtag_rec *rec = resolveTag(tag);
  if (rec != nullptr) {
    release(fh, rec);
  } else if (fh->native != 0 && fh->backend != nullptr && fh->backend->close != nullptr) {
    fh->backend->close(fh->native);
    fh->native = 0;
  }
}

PSP_STATUS fileRemoveName(const char *name) { return os::fileRemove(name); }

} // namespace psp

using namespace psp;

PSP_API PSP_FH psp_fileOpen(const char *name, uint32_t mode, uint16_t options) {
  PSP_MEMTAG tag = fileTag();
  PSP_FH fh = nullptr;
  if (tag == nullptr || openFileHandle(name, mode & ~kFileExclusive, options, tag, &fh) != PSP_OKAY)
    return nullptr;
  return fh;
}

PSP_API PSP_FH psp_fileOpenW(const PSP_WCHAR *name, uint32_t mode, uint16_t options) {
  if (name == nullptr)
    return nullptr;
  char *utf8 = psp_convToUTF8(name, PSP_CONV_STRICT, PSP_TAG_THREAD);
  if (utf8 == nullptr)
    return nullptr;
  PSP_FH fh = psp_fileOpen(utf8, mode, options);
  psp_freeMem(utf8, PSP_TAG_THREAD, "pspfile", 0);
  return fh;
}

PSP_API void psp_fileClose(PSP_FH fh) {
  if (fh == nullptr)
    return;
  PSP_MEMTAG tag = fileTag();
  if (tag != nullptr)
    closeFileHandle(fh, tag);
}

PSP_API PSP_STATUS psp_fileSeek(PSP_FH fh, int64_t offset, uint32_t origin, uint64_t *newPos) {
  if (fh == nullptr || fh->backend->seek == nullptr)
    return PSP_ERR_INVALIDPARAM;
  return fh->backend->seek(fh->native, offset, origin, newPos);
}

PSP_API uint32_t psp_fileRead(PSP_FH fh, void *buf, uint32_t len) {
  if (fh == nullptr || !readable(fh) || len == 0 || fh->backend->read == nullptr)
    return 0;
  uint64_t count = 0;
  if (fh->backend->read(fh->native, buf, len, &count) != PSP_OKAY)
    return 0;
  return static_cast<uint32_t>(count);
}

PSP_API uint32_t psp_fileWrite(PSP_FH fh, const void *buf, uint32_t len) {
  if (fh == nullptr || !writable(fh) || len == 0 || fh->backend->write == nullptr)
    return 0;
  return fh->backend->write(fh->native, buf, len) == PSP_OKAY ? len : 0;
}

PSP_API uint32_t psp_fileSeekRead(PSP_FH fh, uint64_t pos, void *buf, uint32_t len) {
  if (fh == nullptr || !readable(fh) || len == 0 || fh->backend->seekRead == nullptr)
    return 0;
  uint64_t count = 0;
  if (fh->backend->seekRead(fh->native, pos, buf, len, &count) != PSP_OKAY)
    return 0;
  return static_cast<uint32_t>(count);
}

PSP_API uint32_t psp_fileSeekWrite(PSP_FH fh, uint64_t pos, const void *buf, uint32_t len) {
  if (fh == nullptr || !writable(fh) || len == 0 || fh->backend->seekWrite == nullptr)
    return 0;
  return fh->backend->seekWrite(fh->native, pos, buf, len) == PSP_OKAY ? len : 0;
}

PSP_API PSP_STATUS psp_filePageOut(PSP_FH fh, uint64_t value, uint32_t len) {
  if (fh == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (len == 0 || fh->backend->pageOut == nullptr)
    return PSP_OKAY;
  return fh->backend->pageOut(fh->native, value, len);
}

PSP_API uint64_t psp_fileLength(PSP_FH fh) {
  uint64_t length = 0;
  if (fh == nullptr || fh->backend->length == nullptr ||
      fh->backend->length(fh->native, &length) != PSP_OKAY)
    return 0;
  return length;
}

PSP_API PSP_STATUS psp_fileSetSize(PSP_FH fh, uint64_t size) {
  if (fh == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (!writable(fh))
    return PSP_ERR_WRITE;
  if (fh->backend->setSize == nullptr)
    return PSP_ERR_NOTSUPPORTED;
  return fh->backend->setSize(fh->native, size);
}

PSP_API PSP_STATUS psp_fileLock(PSP_FH fh) {
  if (fh == nullptr || fh->backend->lock == nullptr)
    return PSP_ERR_INVALIDPARAM;
  return fh->backend->lock(fh->native);
}

PSP_API PSP_STATUS psp_fileUnlock(PSP_FH fh) {
  if (fh == nullptr || fh->backend->unlock == nullptr)
    return PSP_ERR_INVALIDPARAM;
  return fh->backend->unlock(fh->native);
}

PSP_API PSP_STATUS psp_fileSync(PSP_FH fh) {
  if (fh == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if ((fh->options & PSP_FILE_NOSYNC) != 0 || g_flags.readOnly.load() != 0 ||
      fh->backend->sync == nullptr)
    return PSP_OKAY;
  return fh->backend->sync(fh->native);
}

PSP_API PSP_STATUS psp_fileMap(PSP_FH fh, void *a, void *b) {
  if (fh == nullptr || fh->backend->map == nullptr)
    return PSP_ERR_NOTSUPPORTED;
  return fh->backend->map(fh->native, a, b);
}

PSP_API PSP_STATUS psp_fileRemap(PSP_FH fh, void *a, void *b) {
  if (fh == nullptr || fh->backend->remap == nullptr)
    return PSP_ERR_NOTSUPPORTED;
  return fh->backend->remap(fh->native, a, b);
}

PSP_API PSP_STATUS psp_fileUnmap(PSP_FH fh, void *a, void *b) {
  if (fh == nullptr || fh->backend->unmap == nullptr)
    return PSP_ERR_NOTSUPPORTED;
  return fh->backend->unmap(fh->native, a, b);
}

PSP_API PSP_STATUS psp_fileModTimeStat(const char *name, void *, int64_t *mtime) {
  if (g_flags.noDisk.load() != 0)
    return PSP_ERR_NOFILE;
  int64_t when = 0;
  switch (os::fileStat(name, &when, nullptr)) {
  case os::StatResult::Found:
    if (mtime != nullptr)
      *mtime = when;
    return PSP_OKAY;
  case os::StatResult::Missing:
    return PSP_ERR_NOFILE;
  default:
    return PSP_ERR_STAT;
  }
}
