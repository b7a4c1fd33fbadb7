// file.cpp - the Windows file backend: named files, the standard streams,
// removal and the status of a name.
//
// Handles are synchronous (no overlapped I/O). A positioned transfer hands
// its position to ReadFile/WriteFile in an OVERLAPPED record, which starts
// the transfer there and leaves the file pointer after the bytes moved.
// Sharing is the system's own: the share mode asked at CreateFileW, and
// LockFile on byte 0 for the lock slot.
#include "internal.h"
#include "platform/os.h"
#include "platform/windows/wide.h"
#include "testing.h"

#include <windows.h>

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>

namespace psp::os {

namespace {

constexpr uint32_t kOpenTries = 10;
constexpr DWORD kRetryPauseMs = 10;
constexpr DWORD kFillPiece = 10240; // zeros appended per write when growing

inline HANDLE handleOf(uint64_t native) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(native));
}

OVERLAPPED at(uint64_t pos) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(pos);
  where.OffsetHigh = static_cast<DWORD>(pos >> 32);
  return where;
}

// The file's size; a failing query is not reported and reads 0.
uint64_t sizeOf(HANDLE h) {
  LARGE_INTEGER size;
  size.QuadPart = 0;
  GetFileSizeEx(h, &size);
  return static_cast<uint64_t>(size.QuadPart);
}

// Moves the file pointer; the new position is stored when asked for.
bool moveTo(HANDLE h, int64_t offset, DWORD method, uint64_t *newPos) {
  LARGE_INTEGER distance, moved;
  distance.QuadPart = offset;
  if (!SetFilePointerEx(h, distance, &moved, method))
    return false;
  if (newPos != nullptr)
    *newPos = static_cast<uint64_t>(moved.QuadPart);
  return true;
}

PSP_STATUS diskOpen(const char *name, uint32_t mode, uint16_t options, uint64_t *native) {
  if (name == nullptr || native == nullptr)
    return PSP_ERR_INVALIDPARAM;
  *native = 0;
  WideName wide(name);
  if (!wide)
    return PSP_ERR_NOMEMORY;
  if (PSP_FAULT_FILE(kFileOpen))
    return ERROR_GEN_FAILURE;
  const DWORD access = (mode & PSP_FILE_RDWR)     ? GENERIC_READ | GENERIC_WRITE
                       : (mode & PSP_FILE_WRONLY) ? GENERIC_WRITE
                                                  : GENERIC_READ;
  DWORD share = 0;
  if ((options & PSP_FILE_DENY_READ) == 0)
    share |= FILE_SHARE_READ;
  if ((options & PSP_FILE_DENY_WRITE) == 0)
    share |= FILE_SHARE_WRITE;
  const bool creating = (mode & PSP_FILE_CREATE) != 0;
  DWORD disposition = !creating                         ? OPEN_EXISTING
                      : (mode & PSP_FILE_TRUNCATE) != 0 ? CREATE_ALWAYS
                                                        : OPEN_ALWAYS;
  DWORD flags = FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL;
  if (creating && (mode & kFileExclusive) != 0) {
    // The library's own probes: a new file only, never through a link.
    disposition = CREATE_NEW;
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  }
  for (uint32_t attempt = 1;; ++attempt) {
    HANDLE h = CreateFileW(wide.get(), access, share, nullptr, disposition, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      *native = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h));
      return PSP_OKAY;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED || !creating)
      return static_cast<PSP_STATUS>(error);
    if (attempt == kOpenTries)
      return PSP_ERR_NOFILE;
    Sleep(kRetryPauseMs);
  }
}

PSP_STATUS stdOpen(const char *name, uint32_t, uint16_t, uint64_t *native) {
  if (native == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (PSP_FAULT_FILE(kFileOpen))
    return PSP_ERR_SYSTEM;
  static constexpr DWORD kStd[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  const int number = name != nullptr && name[0] == 's' && name[1] == 't' && name[2] == 'd'
                         ? stdStreamNumber(name)
                         : -1;
  if (number < 0)
    return PSP_ERR_SYSTEM;
  HANDLE h = GetStdHandle(kStd[number]);
  if (h == INVALID_HANDLE_VALUE)
    return PSP_ERR_SYSTEM;
  *native = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h)); // 0 when absent
  return PSP_OKAY;
}

PSP_STATUS hClose(uint64_t native) {
  if (PSP_FAULT_FILE(kFileClose)) {
    CloseHandle(handleOf(native)); // the handle goes all the same
    return PSP_ERR_SYSTEM;
  }
  return CloseHandle(handleOf(native)) ? PSP_OKAY : PSP_ERR_SYSTEM;
}

PSP_STATUS hSeek(uint64_t native, int64_t offset, uint32_t origin, uint64_t *newPos) {
  DWORD method = origin == 1 ? FILE_CURRENT : origin == 2 ? FILE_END : FILE_BEGIN;
  if (origin > 2)
    psp_log("Invalid seek method, seeking from beginning\n");
  if (PSP_FAULT_FILE(kFileSeek))
    return PSP_ERR_SYSTEM;
  return moveTo(handleOf(native), offset, method, newPos) ? PSP_OKAY : PSP_ERR_SYSTEM;
}

PSP_STATUS hRead(uint64_t native, void *buf, uint32_t len, uint64_t *count) {
  if (count == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (PSP_FAULT_FILE(kFileRead))
    return PSP_ERR_READ;
  DWORD got = 0;
  if (!ReadFile(handleOf(native), buf, len, &got, nullptr))
    return PSP_ERR_READ;
  *count = got;
  return PSP_OKAY;
}

PSP_STATUS hWrite(uint64_t native, const void *buf, uint32_t len) {
  if (PSP_FAULT_FILE(kFileWrite))
    return PSP_ERR_WRITE;
  DWORD put = 0;
  return WriteFile(handleOf(native), buf, len, &put, nullptr) ? PSP_OKAY : PSP_ERR_WRITE;
}

// A lock held on the range, or a transient shortage, passes: ask again.
PSP_STATUS hSeekRead(uint64_t native, uint64_t pos, void *buf, uint32_t len, uint64_t *count) {
  if (count == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (PSP_FAULT_FILE(kFileSeekRead))
    return PSP_ERR_SYSTEM;
  for (;;) {
    OVERLAPPED where = at(pos);
    DWORD got = 0;
    if (ReadFile(handleOf(native), buf, len, &got, &where)) {
      *count = got;
      return PSP_OKAY;
    }
    switch (GetLastError()) {
    case ERROR_HANDLE_EOF:
      *count = 0;
      return PSP_OKAY;
    case ERROR_LOCK_VIOLATION:
    case ERROR_INVALID_USER_BUFFER:
    case ERROR_NOT_ENOUGH_MEMORY:
      continue;
    default:
      return PSP_ERR_SYSTEM;
    }
  }
}

// A request too large for the system's buffers is split in halves, as deep
// as needed.
PSP_STATUS writeAt(HANDLE h, uint64_t pos, const char *buf, uint32_t len) {
  SetLastError(0);
  OVERLAPPED where = at(pos);
  DWORD put = 0;
  if (WriteFile(h, buf, len, &put, &where))
    return PSP_OKAY;
  if (GetLastError() != ERROR_NO_SYSTEM_RESOURCES)
    return PSP_ERR_SYSTEM;
  const uint32_t half = len / 2;
  PSP_STATUS status = writeAt(h, pos, buf, half);
  return status != PSP_OKAY ? status : writeAt(h, pos + half, buf + half, len - half);
}

PSP_STATUS hSeekWrite(uint64_t native, uint64_t pos, const void *buf, uint32_t len) {
  if (PSP_FAULT_FILE(kFileSeekWrite))
    return PSP_ERR_SYSTEM;
  return writeAt(handleOf(native), pos, static_cast<const char *>(buf), len);
}

PSP_STATUS noPageOut(uint64_t, uint64_t, uint32_t) {
  return PSP_FAULT_FILE(kFilePageOut) ? PSP_ERR_SYSTEM : PSP_OKAY;
}
PSP_STATUS noSpare(uint64_t) { return PSP_FAULT_FILE(kFileSpare) ? PSP_ERR_SYSTEM : PSP_OKAY; }
PSP_STATUS noMap(uint64_t, void *, void *) { return PSP_ERR_NOTSUPPORTED; }

PSP_STATUS hLength(uint64_t native, uint64_t *length) {
  if (length == nullptr)
    return PSP_ERR_INVALIDPARAM;
  *length = 0;
  if (PSP_FAULT_FILE(kFileLength))
    return PSP_ERR_SYSTEM;
  *length = sizeOf(handleOf(native));
  return PSP_OKAY;
}

// Shrinks by cutting at the new end; grows by appending zeros in pieces of
// at most kFillPiece bytes, so a full disk stops it with the pieces written
// kept. The file pointer is left at the new end.
PSP_STATUS hSetSize(uint64_t native, uint64_t size) {
  if (PSP_FAULT_FILE(kFileSetSize))
    return PSP_ERR_SYSTEM;
  HANDLE h = handleOf(native);
  const uint64_t have = sizeOf(h);
  if (size == have)
    return PSP_OKAY;
  if (size < have) {
    moveTo(h, static_cast<int64_t>(size), FILE_BEGIN, nullptr);
    SetEndOfFile(h);
    return PSP_OKAY;
  }
  const char zeros[kFillPiece] = {};
  SetFilePointer(h, 0, nullptr, FILE_END);
  for (uint64_t left = size - have; left > 0;) {
    DWORD piece = left < kFillPiece ? static_cast<DWORD>(left) : kFillPiece;
    DWORD put = 0;
    if (!WriteFile(h, zeros, piece, &put, nullptr) || put != piece)
      return PSP_ERR_SYSTEM;
    left -= piece;
  }
  return PSP_OKAY;
}

PSP_STATUS hSync(uint64_t native) {
  if (PSP_FAULT_FILE(kFileSync))
    return PSP_ERR_SYSTEM;
  FlushFileBuffers(handleOf(native));
  return PSP_OKAY;
}

PSP_STATUS hIsATTY(uint64_t native, uint32_t *flag) {
  if (flag == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (PSP_FAULT_FILE(kFileIsATTY))
    return PSP_ERR_SYSTEM;
  *flag = GetFileType(handleOf(native)) == FILE_TYPE_CHAR ? 1 : 0;
  return PSP_OKAY;
}

PSP_STATUS hSetEcho(uint64_t native, uint32_t on) {
  if (PSP_FAULT_FILE(kFileSetEcho))
    return PSP_ERR_SYSTEM;
  HANDLE h = handleOf(native);
  DWORD mode = 0;
  if (GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode)) {
    if (on == 1)
      mode |= ENABLE_ECHO_INPUT;
    else
      mode &= ~static_cast<DWORD>(ENABLE_ECHO_INPUT);
    SetConsoleMode(h, mode);
  }
  return PSP_OKAY;
}

// Byte 0 only; a lock held through another handle fails at once.
PSP_STATUS hLock(uint64_t native) {
  if (PSP_FAULT_FILE(kFileLock))
    return PSP_ERR_SYSTEM;
  return LockFile(handleOf(native), 0, 0, 1, 0) ? PSP_OKAY : PSP_ERR_SYSTEM;
}

PSP_STATUS hUnlock(uint64_t native) {
  if (PSP_FAULT_FILE(kFileUnlock))
    return PSP_ERR_SYSTEM;
  return UnlockFile(handleOf(native), 0, 0, 1, 0) ? PSP_OKAY : PSP_ERR_SYSTEM;
}

} // namespace

bool fileIsOnDisk(uint64_t native) { return GetFileType(handleOf(native)) == FILE_TYPE_DISK; }

const PSP_FILE_BACKEND diskBackend = {
    diskOpen, hClose, hSeek, hRead, hWrite, hSeekRead, hSeekWrite, noPageOut, noSpare, hLength,
    hSetSize, hSync,  noMap, noMap, noMap,  hIsATTY,   hSetEcho,   hLock,     hUnlock};

const PSP_FILE_BACKEND stdBackend = {
    stdOpen,  nullptr, hSeek,   hRead,   hWrite,  hSeekRead, hSeekWrite, nullptr, nullptr, hLength,
    hSetSize, hSync,   nullptr, nullptr, nullptr, hIsATTY,   hSetEcho,   hLock,   hUnlock};

int32_t fileRemove(const char *name) {
  if (name == nullptr || name[0] == '\0')
    return PSP_ERR_SYSTEM; // names no file
  WideName wide(name);
  if (!wide)
    return PSP_ERR_NOMEMORY;
  if (PSP_FAULT_FILE(kFileRemove))
    return PSP_ERR_SYSTEM;
  return DeleteFileW(wide.get()) || GetLastError() == ERROR_FILE_NOT_FOUND ? PSP_OKAY
                                                                           : PSP_ERR_SYSTEM;
}

// Works before psp_init too, so the name is converted on the C heap.
StatResult fileStat(const char *name, int64_t *mtime, bool *isDir) {
  if (name == nullptr)
    return StatResult::Failed;
  WideName wide(name, WideName::FromHeap);
  if (!wide)
    return StatResult::Missing; // no file can carry that name
  if (PSP_FAULT_FILE(kFileStat))
    return StatResult::Failed;
  struct _stat64 st;
  if (_wstat64(wide.get(), &st) != 0)
    return errno == ENOENT ? StatResult::Missing : StatResult::Failed;
  if (mtime != nullptr)
    *mtime = static_cast<int64_t>(st.st_mtime);
  if (isDir != nullptr)
    *isDir = (st.st_mode & _S_IFDIR) != 0;
  return StatResult::Found;
}

} // namespace psp::os
