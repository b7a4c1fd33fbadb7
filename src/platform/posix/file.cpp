// file.cpp - the POSIX file backend: named files, the standard streams,
// removal and the status of a name.
//
// A handle's native value is its descriptor plus one, so that 0 means "none
// open" even for descriptor 0. Descriptors are opened O_CLOEXEC and never
// O_APPEND. Transfers loop over short counts and EINTR; a positioned transfer
// (pread/pwrite) also leaves the descriptor's offset after the bytes it
// moved, as a positioned call on a synchronous Windows handle does.
//
// Sharing. Deny-read / deny-write hold between handles of this library in
// every process, through open-file-description (OFD) locks on four reserved
// ranges far past any real data. Each handle marks what it holds (read,
// write) and what it denies by locking one byte in the matching range, then
// looks for another description's mark in each range it conflicts with: an
// access it asks that someone denies, or a denial of an access someone
// holds. Marking before looking means two racing openers cannot both miss
// each other (both may fail; a creating open retries). The marks belong to
// the open file description, so its close drops them, also when a process
// dies. The byte-0 lock is an OFD lock as well and never waits.
#include "internal.h"
#include "platform/os.h"
#include "testing.h"
#include "text/unicode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace psp::os {

namespace {

constexpr uint32_t kOpenTries = 10;
constexpr uint32_t kRetryPauseMs = 10;
constexpr uint32_t kFillPiece = 10240; // zeros appended per write when growing
constexpr size_t kMaxTransfer = size_t{1} << 30;

// A deny-mode conflict, told apart from every errno value.
constexpr int kShareConflict = -1;

constexpr off_t kShareBase = off_t{1} << 62;
constexpr off_t kShareSpan = off_t{1} << 32;
enum ShareMark { kHoldsRead, kHoldsWrite, kDeniesRead, kDeniesWrite };

inline int fdOf(uint64_t native) { return static_cast<int>(native) - 1; }

inline bool validName(const char *name) {
  return unicode::utf8ToUtf16(nullptr, 0, name, std::strlen(name), PSP_CONV_STRICT) !=
         unicode::kFailed;
}

void pause(uint32_t ms) {
  timespec t{0, static_cast<long>(ms) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

off_t markStart(ShareMark mark) { return kShareBase + mark * kShareSpan; }

// Locks one byte of the mark's range. Several readers share a byte; a
// write-only descriptor can only take an exclusive lock and so moves on to
// a free byte. Best effort: a file system without locks enforces nothing.
void placeMark(int fd, ShareMark mark, bool readable) {
  static std::atomic<uint32_t> sequence{0};
  const uint32_t seed =
      static_cast<uint32_t>(getpid()) * 2654435761u + sequence.fetch_add(1) * 40503u;
  struct flock lock {};
  lock.l_type = readable ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_len = 1;
  for (uint32_t i = 0; i < 64; ++i) {
    lock.l_start = markStart(mark) + static_cast<uint32_t>(seed + i);
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0 || (errno != EAGAIN && errno != EACCES))
      return;
  }
}

// True when another open file description has a mark in the range.
bool othersMarked(int fd, ShareMark mark) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = markStart(mark);
  probe.l_len = kShareSpan;
  return fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

bool shareConflict(int fd, int access, uint16_t options) {
  const bool reads = access != O_WRONLY, writes = access != O_RDONLY;
  const bool denyRead = (options & PSP_FILE_DENY_READ) != 0;
  const bool denyWrite = (options & PSP_FILE_DENY_WRITE) != 0;
  if (reads)
    placeMark(fd, kHoldsRead, reads);
  if (writes)
    placeMark(fd, kHoldsWrite, reads);
  if (denyRead)
    placeMark(fd, kDeniesRead, reads);
  if (denyWrite)
    placeMark(fd, kDeniesWrite, reads);
  return (reads && othersMarked(fd, kDeniesRead)) || (writes && othersMarked(fd, kDeniesWrite)) ||
         (denyRead && othersMarked(fd, kHoldsRead)) || (denyWrite && othersMarked(fd, kHoldsWrite));
}

int closeKeepingErrno(int fd, int error) {
  close(fd);
  return error;
}

// Empties the file once no sharing rule stands against the open. A
// descriptor without write access truncates through a second, write-only one.
int truncateOpened(const char *name, int fd, int access) {
  if (access != O_RDONLY)
    return ftruncate(fd, 0) == 0 ? 0 : errno;
  int writer;
  do
    writer = open(name, O_WRONLY | O_CLOEXEC);
  while (writer < 0 && errno == EINTR);
  if (writer < 0)
    return errno;
  int error = ftruncate(writer, 0) == 0 ? 0 : errno;
  close(writer);
  return error;
}

// One attempt: 0 with *fd set, an errno value, or kShareConflict. Nothing is
// truncated before the sharing rules have passed.
int openOnce(const char *name, int flags, uint32_t mode, uint16_t options, int *fd) {
  int opened;
  do
    opened = open(name, flags, 0666);
  while (opened < 0 && errno == EINTR);
  if (opened < 0)
    return errno;
  struct stat st;
  if (fstat(opened, &st) != 0)
    return closeKeepingErrno(opened, errno);
  if (S_ISDIR(st.st_mode))
    return closeKeepingErrno(opened, EISDIR);
  // Opened without waiting, so that a FIFO with no one at the other end
  // cannot hold the open up; transfers block as usual.
  if (!S_ISREG(st.st_mode))
    fcntl(opened, F_SETFL, fcntl(opened, F_GETFL) & ~O_NONBLOCK);
  const int access = flags & O_ACCMODE;
  if (shareConflict(opened, access, options))
    return closeKeepingErrno(opened, kShareConflict);
  if ((mode & PSP_FILE_TRUNCATE) != 0 && S_ISREG(st.st_mode) && st.st_size != 0) {
    int error = truncateOpened(name, opened, access);
    if (error != 0)
      return closeKeepingErrno(opened, error);
  }
  *fd = opened;
  return 0;
}

// ---- the slots ----

PSP_STATUS diskOpen(const char *name, uint32_t mode, uint16_t options, uint64_t *native) {
  if (name == nullptr || native == nullptr)
    return PSP_ERR_INVALIDPARAM;
  *native = 0;
  if (!validName(name))
    return PSP_ERR_NOMEMORY; // the name has no UTF-16 form
  if (PSP_FAULT_FILE(kFileOpen))
    return EIO;
  int flags = O_CLOEXEC | O_NONBLOCK |
              ((mode & PSP_FILE_RDWR)     ? O_RDWR
               : (mode & PSP_FILE_WRONLY) ? O_WRONLY
                                          : O_RDONLY);
  const bool creating = (mode & PSP_FILE_CREATE) != 0;
  if (creating)
    flags |= (mode & kFileExclusive) != 0 ? O_CREAT | O_EXCL | O_NOFOLLOW : O_CREAT;
  for (uint32_t attempt = 1;; ++attempt) {
    int fd = -1;
    int error = openOnce(name, flags, mode, options, &fd);
    if (error == 0) {
      *native = static_cast<uint64_t>(fd) + 1;
      return PSP_OKAY;
    }
    const bool busy =
        error == EACCES || error == EBUSY || error == ETXTBSY || error == kShareConflict;
    if (!creating || !busy)
      return error == kShareConflict ? EBUSY : error;
    if (attempt == kOpenTries)
      return PSP_ERR_NOFILE;
    pause(kRetryPauseMs);
  }
}

PSP_STATUS stdOpen(const char *name, uint32_t, uint16_t, uint64_t *native) {
  if (native == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (PSP_FAULT_FILE(kFileOpen))
    return PSP_ERR_SYSTEM;
  int number = stdStreamNumber(name);
  if (number < 0)
    return PSP_ERR_SYSTEM;
  // A process without that stream keeps 0, on which every operation fails.
  *native = fcntl(number, F_GETFD) != -1 ? static_cast<uint64_t>(number) + 1 : 0;
  return PSP_OKAY;
}

PSP_STATUS fdClose(uint64_t native) {
  if (PSP_FAULT_FILE(kFileClose)) {
    close(fdOf(native)); // the descriptor goes all the same
    return PSP_ERR_SYSTEM;
  }
  return close(fdOf(native)) == 0 ? PSP_OKAY : PSP_ERR_SYSTEM;
}

PSP_STATUS fdSeek(uint64_t native, int64_t offset, uint32_t origin, uint64_t *newPos) {
  int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : origin == 2 ? SEEK_END : -1;
  if (whence < 0) {
    psp_log("Invalid seek method, seeking from beginning\n");
    whence = SEEK_SET;
  }
  if (PSP_FAULT_FILE(kFileSeek))
    return PSP_ERR_SYSTEM;
  off_t at = lseek(fdOf(native), static_cast<off_t>(offset), whence);
  if (at < 0)
    return PSP_ERR_SYSTEM;
  if (newPos != nullptr)
    *newPos = static_cast<uint64_t>(at);
  return PSP_OKAY;
}

// Reads until len bytes or end of file; what arrived before an error is
// reported and the next call meets the error. Reading at the offset also
// stops at a short count: a terminal or pipe hands out what it has, and
// asking again would wait. False when nothing could be read at all.
bool readAll(int fd, char *p, uint32_t len, bool positioned, uint64_t pos, uint64_t *done) {
  *done = 0;
  while (*done < len) {
    size_t want = len - *done < kMaxTransfer ? len - *done : kMaxTransfer;
    ssize_t n = positioned ? pread(fd, p + *done, want, static_cast<off_t>(pos + *done))
                           : read(fd, p + *done, want);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return *done != 0;
    *done += static_cast<uint64_t>(n);
    if (n == 0 || (!positioned && static_cast<size_t>(n) < want))
      break;
  }
  return true;
}

PSP_STATUS fdRead(uint64_t native, void *buf, uint32_t len, uint64_t *count) {
  if (count == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (PSP_FAULT_FILE(kFileRead))
    return PSP_ERR_READ;
  return readAll(fdOf(native), static_cast<char *>(buf), len, false, 0, count) ? PSP_OKAY
                                                                               : PSP_ERR_READ;
}

// Writes everything or fails; n counts what reached the file either way.
bool writeAll(int fd, const char *p, uint64_t len, uint64_t *n, bool positioned, uint64_t pos) {
  *n = 0;
  while (*n < len) {
    size_t want = len - *n < kMaxTransfer ? len - *n : kMaxTransfer;
    ssize_t put = positioned ? pwrite(fd, p + *n, want, static_cast<off_t>(pos + *n))
                             : write(fd, p + *n, want);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return false;
    *n += static_cast<uint64_t>(put);
  }
  return true;
}

PSP_STATUS fdWrite(uint64_t native, const void *buf, uint32_t len) {
  if (PSP_FAULT_FILE(kFileWrite))
    return PSP_ERR_WRITE;
  uint64_t n;
  return writeAll(fdOf(native), static_cast<const char *>(buf), len, &n, false, 0) ? PSP_OKAY
                                                                                   : PSP_ERR_WRITE;
}

PSP_STATUS fdSeekRead(uint64_t native, uint64_t pos, void *buf, uint32_t len, uint64_t *count) {
  if (count == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (PSP_FAULT_FILE(kFileSeekRead))
    return PSP_ERR_SYSTEM;
  const int fd = fdOf(native);
  if (!readAll(fd, static_cast<char *>(buf), len, true, pos, count))
    return PSP_ERR_SYSTEM;
  lseek(fd, static_cast<off_t>(pos + *count), SEEK_SET);
  return PSP_OKAY;
}

PSP_STATUS fdSeekWrite(uint64_t native, uint64_t pos, const void *buf, uint32_t len) {
  if (PSP_FAULT_FILE(kFileSeekWrite))
    return PSP_ERR_SYSTEM;
  const int fd = fdOf(native);
  uint64_t n;
  if (!writeAll(fd, static_cast<const char *>(buf), len, &n, true, pos))
    return PSP_ERR_SYSTEM;
  lseek(fd, static_cast<off_t>(pos + n), SEEK_SET);
  return PSP_OKAY;
}

PSP_STATUS noPageOut(uint64_t, uint64_t, uint32_t) {
  return PSP_FAULT_FILE(kFilePageOut) ? PSP_ERR_SYSTEM : PSP_OKAY;
}
PSP_STATUS noSpare(uint64_t) { return PSP_FAULT_FILE(kFileSpare) ? PSP_ERR_SYSTEM : PSP_OKAY; }
PSP_STATUS noMap(uint64_t, void *, void *) { return PSP_ERR_NOTSUPPORTED; }

// A failing size query is not reported: the length reads 0.
PSP_STATUS fdLength(uint64_t native, uint64_t *length) {
  if (length == nullptr)
    return PSP_ERR_INVALIDPARAM;
  *length = 0;
  if (PSP_FAULT_FILE(kFileLength))
    return PSP_ERR_SYSTEM;
  struct stat st;
  if (fstat(fdOf(native), &st) == 0)
    *length = static_cast<uint64_t>(st.st_size);
  return PSP_OKAY;
}

// Shrinks by truncation; grows by appending zeros in pieces of at most
// kFillPiece bytes, so a full disk stops it with the pieces written kept.
// The offset is left at the new end.
PSP_STATUS fdSetSize(uint64_t native, uint64_t size) {
  if (PSP_FAULT_FILE(kFileSetSize))
    return PSP_ERR_SYSTEM;
  const int fd = fdOf(native);
  struct stat st;
  if (fstat(fd, &st) != 0)
    return PSP_ERR_SYSTEM;
  const auto current = static_cast<uint64_t>(st.st_size);
  if (size == current)
    return PSP_OKAY;
  if (size < current) {
    if (ftruncate(fd, static_cast<off_t>(size)) == 0)
      lseek(fd, static_cast<off_t>(size), SEEK_SET);
    return PSP_OKAY;
  }
  const char zeros[kFillPiece] = {};
  if (lseek(fd, 0, SEEK_END) < 0)
    return PSP_ERR_SYSTEM;
  for (uint64_t left = size - current; left > 0;) {
    size_t piece = left < kFillPiece ? static_cast<size_t>(left) : kFillPiece;
    ssize_t n;
    do
      n = write(fd, zeros, piece);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(piece))
      return PSP_ERR_SYSTEM;
    left -= piece;
  }
  return PSP_OKAY;
}

PSP_STATUS fdSync(uint64_t native) {
  if (PSP_FAULT_FILE(kFileSync))
    return PSP_ERR_SYSTEM;
  fsync(fdOf(native));
  return PSP_OKAY;
}

PSP_STATUS fdIsATTY(uint64_t native, uint32_t *flag) {
  if (flag == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (PSP_FAULT_FILE(kFileIsATTY))
    return PSP_ERR_SYSTEM;
  *flag = isatty(fdOf(native)) ? 1 : 0;
  return PSP_OKAY;
}

PSP_STATUS fdSetEcho(uint64_t native, uint32_t on) {
  if (PSP_FAULT_FILE(kFileSetEcho))
    return PSP_ERR_SYSTEM;
  const int fd = fdOf(native);
  termios mode;
  if (isatty(fd) && tcgetattr(fd, &mode) == 0) {
    if (on == 1)
      mode.c_lflag |= ECHO;
    else
      mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSANOW, &mode);
  }
  return PSP_OKAY;
}

bool setByteZero(int fd, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Exclusive where the descriptor may write. A read-only descriptor can only
// take a shared lock, so it takes one and then gives up if any other
// description holds byte 0 too: of two racing readers at most one wins.
PSP_STATUS fdLock(uint64_t native) {
  if (PSP_FAULT_FILE(kFileLock))
    return PSP_ERR_SYSTEM;
  const int fd = fdOf(native);
  const int access = fcntl(fd, F_GETFL);
  if (access < 0)
    return PSP_ERR_SYSTEM;
  if ((access & O_ACCMODE) != O_RDONLY)
    return setByteZero(fd, F_WRLCK) ? PSP_OKAY : PSP_ERR_SYSTEM;
  if (!setByteZero(fd, F_RDLCK))
    return PSP_ERR_SYSTEM;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type == F_UNLCK)
    return PSP_OKAY;
  setByteZero(fd, F_UNLCK);
  return PSP_ERR_SYSTEM;
}

PSP_STATUS fdUnlock(uint64_t native) {
  if (PSP_FAULT_FILE(kFileUnlock))
    return PSP_ERR_SYSTEM;
  return setByteZero(fdOf(native), F_UNLCK) ? PSP_OKAY : PSP_ERR_SYSTEM;
}

} // namespace

bool fileIsOnDisk(uint64_t native) {
  struct stat st;
  return fstat(fdOf(native), &st) == 0 && S_ISREG(st.st_mode);
}

const PSP_FILE_BACKEND diskBackend = {diskOpen,   fdClose,     fdSeek,    fdRead,  fdWrite,
                                      fdSeekRead, fdSeekWrite, noPageOut, noSpare, fdLength,
                                      fdSetSize,  fdSync,      noMap,     noMap,   noMap,
                                      fdIsATTY,   fdSetEcho,   fdLock,    fdUnlock};

const PSP_FILE_BACKEND stdBackend = {stdOpen,    nullptr,     fdSeek,  fdRead,  fdWrite,
                                     fdSeekRead, fdSeekWrite, nullptr, nullptr, fdLength,
                                     fdSetSize,  fdSync,      nullptr, nullptr, nullptr,
                                     fdIsATTY,   fdSetEcho,   fdLock,  fdUnlock};

int32_t fileRemove(const char *name) {
  if (name == nullptr || name[0] == '\0')
    return PSP_ERR_SYSTEM; // names no file
  if (!validName(name))
    return PSP_ERR_NOMEMORY;
  if (PSP_FAULT_FILE(kFileRemove))
    return PSP_ERR_SYSTEM;
  return unlink(name) == 0 || errno == ENOENT ? PSP_OKAY : PSP_ERR_SYSTEM;
}

StatResult fileStat(const char *name, int64_t *mtime, bool *isDir) {
  if (name == nullptr)
    return StatResult::Failed;
  if (!validName(name))
    return StatResult::Missing; // no file can carry that name
  if (PSP_FAULT_FILE(kFileStat))
    return StatResult::Failed;
  struct stat st;
  if (stat(name, &st) != 0) {
    int error = errno;
    if (error != ENOENT || lstat(name, &st) != 0)
      return error == ENOENT || error == ENOTDIR ? StatResult::Missing : StatResult::Failed;
  }
  if (mtime != nullptr)
    *mtime = static_cast<int64_t>(st.st_mtime);
  if (isDir != nullptr)
    *isDir = S_ISDIR(st.st_mode);
  return StatResult::Found;
}

} // namespace psp::os
