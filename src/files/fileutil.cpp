// fileutil.cpp - whole-file operations over file handles: copy, compare,
// remove, validate and temporary names, each with its UTF-16 form.
//
// Copy and compare reason in 1024-byte blocks: a block decides whether it is
// rewritten and what the answer is. One system call moves a span of many
// blocks (kSpan), which is where the speed comes from; every outcome,
// including what a failure leaves in the destination, is that of the
// block-by-block walk, since spans are cut at block boundaries and a run of
// differing blocks is written in one call without touching equal neighbours.
//
// Handles come from the pspfile tag and the span buffers from the calling
// thread's tag; all are given back before the call returns. The buffers are
// allocated without the jump and the thread tag's jump is taken only once
// both files are closed, so no descriptor outlives a jump.
#include "internal.h"
#include "platform/os.h"

#include <cstdio>
#include <cstring>

namespace psp {
namespace {

constexpr uint32_t kBlock = 1024;
constexpr uint32_t kSpan = 256 * kBlock;

// Two files opened in order, in the pspfile tag, and two span buffers in
// one block of the calling thread's tag (one block each where a large block
// cannot be had). done() gives everything back, the second file first.
struct FilePair {
  PSP_MEMTAG tag = fileTag();
  PSP_FH first = nullptr, second = nullptr;
  psp_memtag_rec *bufferTag = nullptr;
  char *buffer = nullptr, *other = nullptr;
  uint32_t span = 0;

  // 0 when all is ready; else 1 or 2 for the file that did not open, or 3
  // when the buffers could not be had (the thread tag's jump then follows
  // once both files are closed).
  int open(const char *a, uint32_t modeA, uint16_t optionsA, const char *b, uint32_t modeB,
           uint16_t optionsB) {
    if (tag == nullptr || openFileHandle(a, modeA, optionsA, tag, &first) != 0)
      return 1;
    if (openFileHandle(b, modeB, optionsB, tag, &second) != 0) {
      done();
      return 2;
    }
    bufferTag = resolveTag(PSP_TAG_THREAD);
    for (uint32_t size : {kSpan, kBlock}) {
      buffer =
          bufferTag != nullptr ? static_cast<char *>(tagTryAlloc(bufferTag, 2 * size)) : nullptr;
      if (buffer != nullptr) {
        other = buffer + size;
        span = size;
        return 0;
      }
    }
    done();
    if (bufferTag != nullptr)
      tagJumpIfArmed(bufferTag);
    return 3;
  }
  void done() {
    if (buffer != nullptr)
      tagFree(bufferTag, buffer);
    buffer = nullptr;
    closeFileHandle(second, tag);
    closeFileHandle(first, tag);
    first = second = nullptr;
  }
};

inline PSP_STATUS readAt(PSP_FH fh, uint64_t pos, char *buf, uint32_t len, uint64_t *count) {
  *count = 0;
  return fh->backend->seekRead(fh->native, pos, buf, len, count);
}

// Rewrites the blocks of one source span that differ from the destination.
// `count` source bytes sit at pos; blocks ending within dstLength are first
// compared with what the destination holds.
PSP_STATUS copySpan(PSP_FH dst, uint64_t dstLength, uint64_t pos, const char *src, uint32_t count,
                    char *old) {
  uint32_t comparable = 0; // bytes of the leading blocks that end within dstLength
  for (uint32_t off = 0; off < count; off += kBlock) {
    uint32_t end = off + kBlock < count ? off + kBlock : count;
    if (pos + end > dstLength)
      break;
    comparable = end;
  }
  uint64_t held = 0;
  if (comparable != 0 && readAt(dst, pos, old, comparable, &held) != PSP_OKAY)
    held = 0;
  if (held == count && comparable == count && std::memcmp(src, old, count) == 0)
    return PSP_OKAY; // the common case: nothing differs
  auto write = [&](uint32_t from, uint32_t to) {
    return dst->backend->seekWrite(dst->native, pos + from, src + from, to - from);
  };
  uint32_t runStart = 0; // first differing block not yet written
  bool inRun = false;
  for (uint32_t off = 0; off < count; off += kBlock) {
    uint32_t end = off + kBlock < count ? off + kBlock : count;
    bool same =
        end <= comparable && end <= held && std::memcmp(src + off, old + off, end - off) == 0;
    if (!same && !inRun) {
      runStart = off;
      inRun = true;
    } else if (same && inRun) {
      if (write(runStart, off) != PSP_OKAY)
        return PSP_ERR_SYSTEM;
      inRun = false;
    }
  }
  if (inRun && write(runStart, count) != PSP_OKAY)
    return PSP_ERR_SYSTEM;
  return PSP_OKAY;
}

PSP_STATUS copy(const char *source, uint16_t sourceOptions, const char *destination,
                uint16_t destinationOptions) {
  FilePair files;
  if (files.open(source, PSP_FILE_RDONLY, sourceOptions, destination,
                 PSP_FILE_RDWR | PSP_FILE_CREATE, destinationOptions) != 0)
    return PSP_ERR_SYSTEM;
  PSP_FH src = files.first, dst = files.second;
  uint64_t srcLength = 0, dstLength = 0;
  if (src->backend->length(src->native, &srcLength) != PSP_OKAY)
    srcLength = 0;
  if (dst->backend->length(dst->native, &dstLength) != PSP_OKAY)
    dstLength = 0;

  PSP_STATUS status = PSP_OKAY;
  for (uint64_t pos = 0; pos < srcLength && status == PSP_OKAY;) {
    // Whole blocks up to the span, as many as the source length asks for.
    uint64_t left = srcLength - pos;
    uint32_t want = left >= files.span
                        ? files.span
                        : static_cast<uint32_t>((left + kBlock - 1) / kBlock * kBlock);
    uint64_t count = 0;
    if (readAt(src, pos, files.buffer, want, &count) != PSP_OKAY || count == 0 ||
        count == 0xFFFFFFFFu) {
      status = PSP_ERR_SYSTEM;
      break;
    }
    status = copySpan(dst, dstLength, pos, files.buffer, static_cast<uint32_t>(count), files.other);
    pos += count;
  }
  if (status == PSP_OKAY && dstLength != srcLength)
    status = psp_fileSetSize(dst, srcLength);
  files.done();
  return status;
}

PSP_STATUS compare(const char *first, uint16_t firstOptions, const char *second,
                   uint16_t secondOptions) {
  FilePair files;
  switch (
      files.open(first, PSP_FILE_RDONLY, firstOptions, second, PSP_FILE_RDONLY, secondOptions)) {
  case 1:
    return PSP_ERR_OPENFIRST;
  case 2:
    return PSP_ERR_OPENSECOND;
  case 3:
    return PSP_ERR_NOMEMORY;
  }
  PSP_STATUS status = PSP_OKAY;
  uint64_t pos = 0;
  for (;;) {
    uint64_t count = 0, other = 0;
    if (readAt(files.first, pos, files.buffer, files.span, &count) != PSP_OKAY || count == 0)
      break; // the first file has ended
    if (count == 0xFFFFFFFFu) {
      status = PSP_ERR_SYSTEM;
      break;
    }
    if (readAt(files.second, pos, files.other, static_cast<uint32_t>(count), &other) != PSP_OKAY)
      other = 0;
    if (other != count || std::memcmp(files.buffer, files.other, count) != 0) {
      status = PSP_ERR_SYSTEM;
      break;
    }
    pos += count;
  }
  uint64_t extra = 0;
  if (status == PSP_OKAY && readAt(files.second, pos, files.other, 1, &extra) == PSP_OKAY &&
      extra == 1)
    status = PSP_ERR_SYSTEM; // the second file is longer
  files.done();
  return status;
}

// A UTF-16 name as UTF-8 in the calling thread's tag. NULL stays NULL and
// counts as converted. Allocated without the jump, so that a second name
// failing never strands the first.
struct Utf8Name {
  char *text = nullptr;
  bool outOfMemory = false;
  bool make(const PSP_WCHAR *name) {
    if (name == nullptr)
      return true;
    uint64_t size = psp_wchar_to_utf8(nullptr, name, 0, PSP_CONV_STRICT);
    psp_memtag_rec *rec = resolveTag(PSP_TAG_THREAD);
    if (size == ~uint64_t{0} || rec == nullptr || size >= 0xFFFFFFFEu)
      return false;
    text = static_cast<char *>(tagTryAlloc(rec, static_cast<uint32_t>(size)));
    outOfMemory = text == nullptr;
    if (text != nullptr)
      psp_wchar_to_utf8(text, name, size, PSP_CONV_STRICT);
    return text != nullptr;
  }
  void release() { psp_freeMem(text, PSP_TAG_THREAD, "pspfile", 0); }
};

template <typename Op>
PSP_STATUS withUtf8Names(const PSP_WCHAR *a, const PSP_WCHAR *b, PSP_STATUS failed, Op op) {
  Utf8Name first, second;
  PSP_STATUS status = failed;
  if (first.make(a) && second.make(b))
    status = op(first.text, second.text);
  second.release();
  first.release();
  if (first.outOfMemory || second.outOfMemory)
    tagJumpIfArmed(resolveTag(PSP_TAG_THREAD)); // both names are given back
  return status;
}

} // namespace
} // namespace psp

using namespace psp;

PSP_API PSP_STATUS psp_fileCopyEx(const char *src, uint16_t srcOptions, const char *dst,
                                  uint16_t dstOptions) {
  return copy(src, srcOptions, dst, dstOptions);
}

PSP_API PSP_STATUS psp_fileCopy(const char *src, const char *dst) { return copy(src, 0, dst, 0); }

PSP_API PSP_STATUS psp_fileCopyExW(const PSP_WCHAR *src, uint16_t srcOptions, const PSP_WCHAR *dst,
                                   uint16_t dstOptions) {
  return withUtf8Names(src, dst, PSP_ERR_SYSTEM, [&](const char *a, const char *b) {
    return copy(a, srcOptions, b, dstOptions);
  });
}

PSP_API PSP_STATUS psp_fileCopyW(const PSP_WCHAR *src, const PSP_WCHAR *dst) {
  return psp_fileCopyExW(src, 0, dst, 0);
}

PSP_API PSP_STATUS psp_fileCmp(const char *first, const char *second) {
  return compare(first, 0, second, 0);
}

PSP_API PSP_STATUS psp_fileCmpExW(const PSP_WCHAR *first, uint16_t firstOptions,
                                  const PSP_WCHAR *second, uint16_t secondOptions) {
  return withUtf8Names(first, second, PSP_ERR_SYSTEM, [&](const char *a, const char *b) {
    return compare(a, firstOptions, b, secondOptions);
  });
}

PSP_API PSP_STATUS psp_fileCmpW(const PSP_WCHAR *first, const PSP_WCHAR *second) {
  return psp_fileCmpExW(first, 0, second, 0);
}

PSP_API PSP_STATUS psp_fileRemove(const char *name) {
  if (g_flags.noDisk.load() != 0 || g_flags.readOnly.load() != 0)
    return PSP_ERR_SYSTEM;
  if (!initialised())
    return PSP_ERR_NOMEMORY; // no temporary copy of the name can be made yet
  return fileRemoveName(name);
}

PSP_API PSP_STATUS psp_fileRemoveEx(const char *name, uint32_t) { return psp_fileRemove(name); }

PSP_API PSP_STATUS psp_fileRemoveW(const PSP_WCHAR *name) {
  return withUtf8Names(name, nullptr, PSP_ERR_NOMEMORY,
                       [](const char *a, const char *) { return psp_fileRemove(a); });
}

PSP_API PSP_STATUS psp_fileRemoveExW(const PSP_WCHAR *name, uint32_t) {
  return psp_fileRemoveW(name);
}

PSP_API int32_t psp_fileValidateEx(const char *name, uint32_t, uint32_t *isDir) {
  if (g_flags.noDisk.load() != 0 || name == nullptr || !initialised())
    return 0; // before psp_init the name cannot be converted for the query
  bool dir = false;
  if (os::fileStat(name, nullptr, &dir) != os::StatResult::Found)
    return 0;
  if (isDir != nullptr)
    *isDir = dir ? 1 : 0;
  return 1;
}

PSP_API int32_t psp_fileValidate(const char *name) { return psp_fileValidateEx(name, 0, nullptr); }

PSP_API int32_t psp_fileValidateExW(const PSP_WCHAR *name, uint32_t options, uint32_t *isDir) {
  return withUtf8Names(name, nullptr, 0, [&](const char *a, const char *) {
    return psp_fileValidateEx(a, options, isDir);
  });
}

PSP_API int32_t psp_fileValidateW(const PSP_WCHAR *name) {
  return psp_fileValidateExW(name, 0, nullptr);
}

PSP_API char *psp_fileCreateTmpName(uint32_t *counter, const char *prefix, const char *ext, void *,
                                    PSP_MEMTAG tag) {
  if (counter == nullptr || !initialised())
    return nullptr;
  psp_memtag_rec *rec = resolveTag(tag);
  if (rec == nullptr)
    return nullptr;
  const uint64_t pid = os::processId();
  char *dir = psp_tmpdir(PSP_TAG_THREAD);
  const uint32_t n = *counter;
  *counter = n + 1;
  const char *format = "%s%c%s_%p_%010I64u_%03u.%s";
  const char *d = dir != nullptr ? dir : "";
  const char *p = prefix != nullptr ? prefix : "temp";
  const char *e = ext != nullptr ? ext : "tmp";
  // Measured first, so the one allocation can fail without the jump and the
  // directory string is freed before the jump is taken.
  int32_t length = psp_snprintf(nullptr, 0, format, d, os::kPathSeparator, p, counter, pid, n, e);
  char *name = length >= 0 && static_cast<uint32_t>(length) < 0xFFFFFFFDu
                   ? static_cast<char *>(tagTryAlloc(rec, static_cast<uint32_t>(length) + 1))
                   : nullptr;
  if (name != nullptr)
    psp_snprintf(name, static_cast<uint64_t>(length) + 1, format, d, os::kPathSeparator, p, counter,
                 pid, n, e);
  psp_freeMem(dir, PSP_TAG_THREAD, "pspfile", 0);
  if (name == nullptr)
    tagJumpIfArmed(rec);
  return name;
}
