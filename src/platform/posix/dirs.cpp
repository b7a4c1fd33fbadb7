// dirs.cpp - POSIX current directory, directory creation and removal, and
// directory streams.
//
// Nothing here follows a symbolic link beyond what the kernel resolves while
// walking the path a caller named: entry kinds come from the directory
// itself or from fstatat without following a final link, so a link to a
// directory is listed as a plain entry.
#include "platform/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace psp::os {

CwdResult currentDir(char *buf, size_t size) {
  if (getcwd(buf, size) != nullptr)
    return CwdResult::Ok;
  return errno == ERANGE ? CwdResult::TooSmall : CwdResult::Failed;
}

DirResult makeDir(const char *path) {
  if (mkdir(path, 0777) == 0)
    return DirResult::Ok;
  return errno == EEXIST ? DirResult::Exists : DirResult::Failed;
}

DirResult removeDir(const char *path) {
  if (rmdir(path) == 0)
    return DirResult::Ok;
  if (errno == ENOENT)
    return DirResult::Missing;
  if (errno == ENOTDIR) {
    // Either the path itself is not a directory (a failure) or a component
    // on the way is not one, and then the path names nothing.
    struct stat st;
    if (lstat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR))
      return DirResult::Missing;
  }
  return DirResult::Failed;
}

void *dirOpen(const char *path, const char *) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  DIR *dir = fdopendir(fd);
  if (dir == nullptr)
    close(fd);
  return dir;
}

bool dirRead(void *stream, DirEntry &entry) {
  const dirent *d = readdir(static_cast<DIR *>(stream));
  if (d == nullptr)
    return false;
  entry.name = d->d_name;
  entry.length = std::strlen(d->d_name);
  switch (d->d_type) {
  case DT_DIR:
    entry.kind = EntryKind::Directory;
    break;
  case DT_UNKNOWN:
    entry.kind = EntryKind::Unknown;
    break;
  default:
    entry.kind = EntryKind::Other;
    break;
  }
  return true;
}

bool dirEntryIsDir(void *stream, const char *name) {
  struct stat st;
  return fstatat(dirfd(static_cast<DIR *>(stream)), name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(st.st_mode);
}

void dirClose(void *stream) { closedir(static_cast<DIR *>(stream)); }

// $TMPDIR (set and not empty), then /tmp.
int systemTempDirs(char (&storage)[2][512]) {
  int count = 0;
  const char *env = std::getenv("TMPDIR");
  if (env != nullptr && env[0] != '\0' && std::strlen(env) < sizeof storage[0])
    std::memcpy(storage[count++], env, std::strlen(env) + 1);
  std::memcpy(storage[count++], "/tmp", 5);
  return count;
}

} // namespace psp::os
