// process.cpp - POSIX clocks, time conversion, process facts, locales and
// dynamic loading.
//
// Everything here is stateless and allocates nothing of the library's own:
// the time conversions fill the caller's record from localtime_r/gmtime_r,
// and the loader keeps only what dlopen keeps. A failure leaves its reason in
// errno, which is what psp_errno reads; dlopen does not always set errno, so
// its reason is worked out here.
#include "platform/os.h"
#include "platform/tm_copy.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <locale.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace psp::os {

bool clockRealtime(int64_t &seconds, uint32_t &nanoseconds) {
  timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0)
    return false;
  seconds = ts.tv_sec;
  nanoseconds = static_cast<uint32_t>(ts.tv_nsec);
  return true;
}

uint64_t clockMonotonic() {
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
    return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

namespace {

bool fitsTimeT(int64_t seconds) {
  return static_cast<int64_t>(static_cast<time_t>(seconds)) == seconds;
}

// Both conversions fill a tm through the C library's re-entrant form.
template <class Convert> bool brokenDown(int64_t seconds, PSP_TM &out, Convert convert) {
  if (!fitsTimeT(seconds))
    return false;
  time_t t = static_cast<time_t>(seconds);
  tm parts;
  if (convert(&t, &parts) == nullptr)
    return false;
  copyFields(parts, out);
  return true;
}

} // namespace

bool brokenDownLocal(int64_t seconds, PSP_TM &out) {
  // localtime_r need not look at TZ again; tzset makes a change of TZ count
  // at once, as it does for localtime.
  tzset();
  return brokenDown(seconds, out, localtime_r);
}

bool brokenDownUtc(int64_t seconds, PSP_TM &out) { return brokenDown(seconds, out, gmtime_r); }

bool utcNow(PSP_TM *out, uint32_t &milliseconds) {
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;
  if (!clockRealtime(seconds, nanoseconds))
    return false;
  if (out != nullptr && brokenDownUtc(seconds, *out)) {
    out->yday = 0; // not computed, as the system clock record has none
    out->isdst = 0;
  }
  milliseconds = nanoseconds / 1000000u;
  return true;
}

void sleepMilliseconds(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint32_t processId() { return static_cast<uint32_t>(getpid()); }

uint32_t onlineProcessors() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 1 ? 1u : static_cast<uint32_t>(n);
}

uint32_t threadErrno() { return static_cast<uint32_t>(errno); }

void setThreadErrno(uint32_t error) { errno = static_cast<int>(error); }

uint32_t errorNameTooLong() { return ENAMETOOLONG; }

// The C library has no UTF-16 forms; the neutral code converts instead.
const char16_t *runtimeGetenvW(const char16_t *) { return nullptr; }
const char16_t *runtimeSetlocaleW(int, const char16_t *) { return nullptr; }
int64_t runtimeWideLength(const char16_t *, va_list) { return -1; }
int64_t runtimeWideFormat(char16_t *, uint64_t, const char16_t *, va_list) { return -1; }
int32_t runtimeWidePrint(bool, const char16_t *, va_list) { return -1; }

namespace {

// The mask newlocale wants for one setlocale category; 0 for none.
int categoryMask(int category) {
  static const struct {
    int category;
    int mask;
  } kMasks[] = {
      {LC_ALL, LC_ALL_MASK},
      {LC_CTYPE, LC_CTYPE_MASK},
      {LC_NUMERIC, LC_NUMERIC_MASK},
      {LC_TIME, LC_TIME_MASK},
      {LC_COLLATE, LC_COLLATE_MASK},
      {LC_MONETARY, LC_MONETARY_MASK},
      {LC_MESSAGES, LC_MESSAGES_MASK},
#ifdef LC_PAPER_MASK
      {LC_PAPER, LC_PAPER_MASK},
      {LC_NAME, LC_NAME_MASK},
      {LC_ADDRESS, LC_ADDRESS_MASK},
      {LC_TELEPHONE, LC_TELEPHONE_MASK},
      {LC_MEASUREMENT, LC_MEASUREMENT_MASK},
      {LC_IDENTIFICATION, LC_IDENTIFICATION_MASK},
#endif
  };
  for (const auto &entry : kMasks)
    if (entry.category == category)
      return entry.mask;
  return 0;
}

} // namespace

void *localeCreate(int category, const char *name) {
  int mask = categoryMask(category);
  if (mask == 0 || name == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return newlocale(mask, name, static_cast<locale_t>(0));
}

void localeFree(void *locale) {
  locale_t object = static_cast<locale_t>(locale);
  if (object != static_cast<locale_t>(0) && object != LC_GLOBAL_LOCALE)
    freelocale(object);
}

void directorySync(const char *path) {
  if (path == nullptr)
    return;
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return;
  while (fsync(fd) != 0 && errno == EINTR) {
  }
  int saved = errno;
  close(fd);
  errno = saved;
}

// ".so" goes on a name that names a file by its path ('/') and has no
// suffix of its own ('.' in its last component). A bare name reaches dlopen
// unchanged so that its own search applies.
bool libraryFileName(const char *name, char *buffer, size_t size) {
  size_t length = std::strlen(name);
  const char *slash = std::strrchr(name, '/');
  bool suffix = slash != nullptr && std::strchr(slash, '.') == nullptr;
  size_t total = length + (suffix ? 3 : 0);
  if (total + 1 > size)
    return false;
  std::memcpy(buffer, name, length);
  if (suffix)
    std::memcpy(buffer + length, ".so", 3);
  buffer[total] = '\0';
  return true;
}

void *libraryOpen(const char *file) {
  errno = 0;
  void *module = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (module != nullptr)
    return module;
  int reason = errno;
  dlerror(); // the text is not kept; clear it for the next caller
  if (std::strchr(file, '/') != nullptr) {
    // A file that is there but cannot be loaded (not an object, a symbol
    // missing) leaves errno as it was or at some search miss.
    if (access(file, F_OK) != 0)
      reason = errno;
    else if (reason == 0 || reason == ENOENT)
      reason = ENOEXEC;
  } else if (reason == 0) {
    reason = ENOENT;
  }
  errno = reason;
  return nullptr;
}

void *librarySymbol(void *module, const char *symbol) {
  void *address = dlsym(module, symbol);
  if (address == nullptr)
    dlerror();
  return address;
}

bool libraryClose(void *module) {
  errno = 0;
  if (dlclose(module) == 0)
    return true;
  dlerror();
  if (errno == 0)
    errno = EINVAL;
  return false;
}

} // namespace psp::os
