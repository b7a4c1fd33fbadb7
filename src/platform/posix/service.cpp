// service.cpp - POSIX side of running as, installing and removing a
// system service under systemd, and of the install-count store.
//
// The manager link is one datagram socket towards $NOTIFY_SOCKET, opened
// before the program's main starts and closed after it ends; the stop
// handler writes through it from signal context, so everything it touches
// is set up before the handler is installed and torn down only after the
// handler is gone and no call of it is still running. Programs (systemctl)
// are started with posix_spawn from an argument vector, never through a
// shell. Settings come from the environment through secure_getenv, so a
// set-user-id program cannot be pointed elsewhere by its caller.
#include "platform/os.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace psp::os::svc {

namespace {

const char *setting(const char *variable, const char *fallback) {
  const char *value = secure_getenv(variable);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

// ---- the manager link ----

struct Link {
  int fd = -1;
  sockaddr_un address{};
  socklen_t length = 0;
};

Link g_link;

// Parses $NOTIFY_SOCKET: an absolute path, or '@' for the abstract namespace.
bool linkAddress(Link &link) {
  const char *name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || (name[0] != '/' && name[0] != '@'))
    return false;
  size_t n = std::strlen(name);
  if (n >= sizeof link.address.sun_path)
    return false;
  link.address.sun_family = AF_UNIX;
  std::memcpy(link.address.sun_path, name, n);
  if (name[0] == '@') {
    link.address.sun_path[0] = '\0';
    link.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
  } else {
    link.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
  }
  return true;
}

// ---- stop requests ----

constexpr int kStopSignals[] = {SIGTERM, SIGINT};

struct StopHandler {
  void (*onStop)() = nullptr;
  std::atomic<bool> armed{false};
  std::atomic<int> running{0};
  struct sigaction previous[2];
};

StopHandler g_stop;

void onStopSignal(int) {
  int saved = errno;
  g_stop.running.fetch_add(1);
  if (g_stop.armed.load())
    g_stop.onStop();
  g_stop.running.fetch_sub(1);
  errno = saved;
}

int retryOpen(const char *path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int writeAll(int fd, const char *bytes, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, bytes, length);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return errno;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

int syncAndClose(int fd) {
  int error = 0;
  while (fsync(fd) != 0) {
    if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  if (close(fd) != 0 && error == 0 && errno != EINTR)
    error = errno;
  return error;
}

// Writes a fresh file that nobody else can see yet, in the target's
// directory (so a rename or link stays on one file system) under a short
// hidden name made from this process and a counter, created exclusively.
int writeTemporary(const char *path, const char *bytes, size_t length, char *temporary,
                   size_t room) {
  static std::atomic<uint32_t> counter{0};
  const char *slash = std::strrchr(path, '/');
  int directory = slash == nullptr ? 0 : static_cast<int>(slash - path + 1);
  int n = snprintf(temporary, room, "%.*s.psp-%ld-%u.tmp", directory, path,
                   static_cast<long>(getpid()), counter.fetch_add(1));
  if (n < 0 || static_cast<size_t>(n) >= room)
    return ENAMETOOLONG;
  int fd = retryOpen(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  if (fd < 0)
    return errno;
  int error = writeAll(fd, bytes, length);
  int closed = syncAndClose(fd);
  if (error == 0)
    error = closed;
  if (error != 0)
    unlink(temporary);
  return error;
}

void syncParent(const char *path) {
  char directory[4096];
  const char *slash = std::strrchr(path, '/');
  size_t n = slash == nullptr ? 0 : static_cast<size_t>(slash - path);
  if (n >= sizeof directory)
    return;
  if (n == 0) {
    directory[0] = slash == nullptr ? '.' : '/';
    n = 1;
  } else {
    std::memcpy(directory, path, n);
  }
  directory[n] = '\0';
  directorySync(directory);
}

bool inGroups(gid_t gid, const gid_t *groups, int count) {
  for (int i = 0; i < count; ++i)
    if (groups[i] == gid)
      return true;
  return false;
}

// The permission bits that apply to uid with its groups, as the kernel picks
// them: owner, else any group, else others. The superuser may search every
// directory and execute any file with an execute bit.
bool permits(const struct stat &st, uid_t uid, const gid_t *groups, int count, bool directory) {
  if (uid == 0)
    return directory || (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
  if (st.st_uid == uid)
    return (st.st_mode & S_IXUSR) != 0;
  if (inGroups(st.st_gid, groups, count))
    return (st.st_mode & S_IXGRP) != 0;
  return (st.st_mode & S_IXOTH) != 0;
}

} // namespace

const char *registryRoot() { return setting("PSP_REGISTRY_ROOT", "/var/lib/psp/registry"); }
const char *unitDirectory() { return setting("PSP_SYSTEMD_UNIT_DIR", "/etc/systemd/system"); }
const char *controlProgram() { return setting("PSP_SYSTEMCTL", "systemctl"); }

bool managerPresent() {
  const char *name = std::getenv("NOTIFY_SOCKET");
  return name != nullptr && name[0] != '\0';
}

void linkOpen() {
  Link link;
  if (!linkAddress(link))
    return;
  link.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (link.fd >= 0)
    g_link = link;
}

void linkClose() {
  if (g_link.fd >= 0)
    close(g_link.fd);
  g_link.fd = -1;
}

void notify(const char *state) {
  if (g_link.fd < 0)
    return;
  int saved = errno;
  ssize_t sent;
  do {
    sent = sendto(g_link.fd, state, std::strlen(state), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr *>(&g_link.address), g_link.length);
  } while (sent < 0 && errno == EINTR);
  errno = saved;
}

bool stopHandlerInstall(void (*onStop)()) {
  g_stop.onStop = onStop;
  g_stop.armed.store(true);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onStopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int sig : kStopSignals)
    sigaddset(&action.sa_mask, sig);
  for (int i = 0; i < 2; ++i) {
    if (sigaction(kStopSignals[i], &action, &g_stop.previous[i]) != 0) {
      while (i-- > 0)
        sigaction(kStopSignals[i], &g_stop.previous[i], nullptr);
      g_stop.armed.store(false);
      return false;
    }
  }
  return true;
}

void stopHandlerRemove() {
  for (int i = 0; i < 2; ++i)
    sigaction(kStopSignals[i], &g_stop.previous[i], nullptr);
  // A handler already entered on another thread either sees armed false or
  // is counted in running before this load (both are sequentially
  // consistent), so once running reads 0 no call of onStop is left.
  g_stop.armed.store(false);
  while (g_stop.running.load() != 0)
    sched_yield();
}

int probe(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0 ? 0 : errno;
}

int directoryUsable(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0)
    return errno;
  if (!S_ISDIR(st.st_mode))
    return ENOTDIR;
  return access(path, W_OK | X_OK) == 0 ? 0 : errno;
}

int directoryCreateAll(const char *path) {
  char buffer[4096];
  size_t n = std::strlen(path);
  if (n == 0 || n >= sizeof buffer)
    return n == 0 ? ENOENT : ENAMETOOLONG;
  std::memcpy(buffer, path, n + 1);
  for (size_t i = 1; i <= n; ++i) {
    if (buffer[i] != '/' && buffer[i] != '\0')
      continue;
    char kept = buffer[i];
    buffer[i] = '\0';
    if (mkdir(buffer, 0755) != 0 && errno != EEXIST)
      return errno;
    buffer[i] = kept;
  }
  struct stat st;
  if (stat(path, &st) != 0)
    return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

int fileCreateNew(const char *path, const char *bytes, size_t length) {
  char temporary[4200];
  int error = writeTemporary(path, bytes, length, temporary, sizeof temporary);
  if (error != 0)
    return error;
  // link never replaces: the complete file appears at once, or EEXIST.
  error = link(temporary, path) == 0 ? 0 : errno;
  unlink(temporary);
  if (error == 0)
    syncParent(path);
  return error;
}

int fileReplace(const char *path, const char *bytes, size_t length) {
  char temporary[4200];
  int error = writeTemporary(path, bytes, length, temporary, sizeof temporary);
  if (error != 0)
    return error;
  if (rename(temporary, path) != 0) {
    error = errno;
    unlink(temporary);
    return error;
  }
  syncParent(path);
  return 0;
}

int fileRemove(const char *path) {
  if (unlink(path) != 0)
    return errno;
  syncParent(path);
  return 0;
}

int fileRead(const char *path, uint64_t limit, void *(*alloc)(void *context, uint64_t size),
             void *context, char **data, uint64_t *length) {
  int fd = retryOpen(path, O_RDONLY | O_NOFOLLOW);
  if (fd < 0)
    return errno;
  struct stat st;
  int error = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (error != 0) {
    close(fd);
    return error;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > limit) {
    close(fd);
    return EFBIG;
  }
  char *block = static_cast<char *>(alloc(context, size + 1));
  if (block == nullptr) {
    close(fd);
    return ENOMEM;
  }
  // Whatever the file holds up to the size seen: a writer replaces it by
  // rename, so this descriptor's file does not change under it.
  uint64_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, block + got, static_cast<size_t>(size - got));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    got += static_cast<uint64_t>(n);
  }
  close(fd);
  block[got] = '\0';
  *data = block;
  *length = got;
  return 0;
}

int lockTake(const char *path, int &handle) {
  int fd = retryOpen(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0644);
  if (fd < 0)
    return errno;
  // An open-file-description lock: it excludes other descriptions in this
  // process as well as other processes, and goes away with the descriptor.
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  while (fcntl(fd, F_OFD_SETLKW, &lock) != 0) {
    if (errno != EINTR) {
      int error = errno;
      close(fd);
      return error;
    }
  }
  handle = fd;
  return 0;
}

void lockRelease(int handle) {
  if (handle >= 0)
    close(handle);
}

int programUsable(const char *program) {
  if (std::strchr(program, '/') != nullptr)
    return access(program, X_OK) == 0 ? 0 : errno;
  const char *path = std::getenv("PATH");
  if (path == nullptr)
    path = "/usr/local/bin:/bin:/usr/bin";
  int error = ENOENT;
  char candidate[4096];
  while (*path != '\0') {
    const char *end = std::strchr(path, ':');
    size_t n = end == nullptr ? std::strlen(path) : static_cast<size_t>(end - path);
    int written =
        snprintf(candidate, sizeof candidate, "%.*s/%s", static_cast<int>(n), path, program);
    if (written > 0 && static_cast<size_t>(written) < sizeof candidate) {
      if (access(candidate, X_OK) == 0)
        return 0;
      if (errno == EACCES || errno == EPERM)
        error = errno; // reported unless a later directory has it
    }
    if (end == nullptr)
      break;
    path = end + 1;
  }
  return error;
}

int programRun(const char *const *argv, uint32_t timeoutMs, int &exitCode) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The child starts with nothing blocked and the default action for the
  // signals a caller or a service may have taken over.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD})
    sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int error =
      posix_spawnp(&pid, argv[0], nullptr, &attributes, const_cast<char *const *>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  if (error != 0)
    return error;

  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int status = 0;
  for (uint32_t round = 0;; ++round) {
    pid_t done = waitpid(pid, &status, timeoutMs == 0 ? 0 : WNOHANG);
    if (done == pid)
      break;
    if (done < 0 && errno != EINTR)
      return errno; // SIGCHLD ignored by the host: the status is lost
    if (done == 0) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      int64_t elapsed =
          (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
      if (elapsed >= static_cast<int64_t>(timeoutMs)) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        exitCode = -1;
        return 0;
      }
      // Short naps first, so that quick programs are not held up.
      timespec nap{0, (round < 20 ? 1 : 20) * 1000000L};
      nanosleep(&nap, nullptr);
    }
  }
  exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return 0;
}

bool accountExists(const char *name) {
  passwd entry, *found = nullptr;
  char buffer[4096];
  return getpwnam_r(name, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr;
}

bool accountCanRun(const char *account, const char *path) {
  uid_t uid = 0;
  gid_t groups[256];
  int count = 0;
  if (account != nullptr) {
    passwd entry, *found = nullptr;
    char buffer[4096];
    if (getpwnam_r(account, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
      return false;
    uid = entry.pw_uid;
    count = static_cast<int>(sizeof groups / sizeof groups[0]);
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups, &count) < 0)
      count = static_cast<int>(sizeof groups / sizeof groups[0]); // the first ones will do
  }
  // Every directory on the way must be searchable, then the file executable.
  char prefix[4096];
  size_t n = std::strlen(path);
  if (path[0] != '/' || n >= sizeof prefix)
    return false;
  std::memcpy(prefix, path, n + 1);
  struct stat st;
  for (size_t i = 1; i < n; ++i) {
    if (prefix[i] != '/')
      continue;
    prefix[i] = '\0';
    bool ok =
        stat(prefix, &st) == 0 && S_ISDIR(st.st_mode) && permits(st, uid, groups, count, true);
    prefix[i] = '/';
    if (!ok)
      return false;
  }
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) && permits(st, uid, groups, count, false);
}

} // namespace psp::os::svc
