// process.cpp - Windows clocks, time conversion, process facts, locales,
// the runtime's UTF-16 environment and dynamic loading.
//
// Stateless but for the performance-counter frequency, read once and kept
// (concurrent first readers store the same value). A failure leaves its
// reason where GetLastError finds it, which is what psp_errno reads.
#include "platform/os.h"
#include "platform/tm_copy.h"

#include <windows.h>

#include <locale.h>
#include <process.h>
#include <stdlib.h>
#include <sys/timeb.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <wchar.h>

namespace psp::os {

// The runtime's millisecond clock.
bool clockRealtime(int64_t &seconds, uint32_t &nanoseconds) {
  __timeb64 now;
  _ftime64(&now);
  seconds = now.time;
  nanoseconds = static_cast<uint32_t>(now.millitm) * 1000000u;
  return true;
}

bool utcNow(PSP_TM *out, uint32_t &milliseconds) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  if (out != nullptr) {
    out->sec = now.wSecond;
    out->min = now.wMinute;
    out->hour = now.wHour;
    out->mday = now.wDay;
    out->mon = now.wMonth - 1;
    out->year = now.wYear - 1900;
    out->wday = now.wDayOfWeek;
    out->yday = 0;
    out->isdst = 0;
  }
  milliseconds = now.wMilliseconds;
  return true;
}

// The counter scaled by a double-precision factor, as the clock is defined
// here: readings carry at most 53 significant bits.
uint64_t clockMonotonic() {
  static std::atomic<int64_t> frequency{0};
  int64_t perSecond = frequency.load(std::memory_order_relaxed);
  if (perSecond == 0) {
    LARGE_INTEGER f;
    if (!QueryPerformanceFrequency(&f) || f.QuadPart == 0)
      return 0;
    perSecond = f.QuadPart;
    frequency.store(perSecond, std::memory_order_relaxed);
  }
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  const double product =
      (1e9 / static_cast<double>(perSecond)) * static_cast<double>(counter.QuadPart);
  constexpr double kTop = 9223372036854775808.0; // 2^63
  if (product >= kTop)
    return static_cast<uint64_t>(static_cast<int64_t>(product - kTop)) + (uint64_t{1} << 63);
  return product <= 0 ? 0 : static_cast<uint64_t>(static_cast<int64_t>(product));
}

// The runtime refuses times before 1970 and after the year 3000.
bool brokenDownLocal(int64_t seconds, PSP_TM &out) {
  __time64_t t = seconds;
  tm parts;
  if (_localtime64_s(&parts, &t) != 0)
    return false;
  copyFields(parts, out);
  return true;
}

bool brokenDownUtc(int64_t seconds, PSP_TM &out) {
  __time64_t t = seconds;
  tm parts;
  if (_gmtime64_s(&parts, &t) != 0)
    return false;
  copyFields(parts, out);
  return true;
}

void sleepMilliseconds(uint32_t ms) { Sleep(ms); }

uint32_t processId() { return static_cast<uint32_t>(_getpid()); }

uint32_t onlineProcessors() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors < 1 ? 1u : info.dwNumberOfProcessors;
}

uint32_t threadErrno() { return GetLastError(); }

void setThreadErrno(uint32_t error) { SetLastError(error); }

uint32_t errorNameTooLong() { return ERROR_FILENAME_EXCED_RANGE; }

void *localeCreate(int category, const char *name) {
  if (name == nullptr)
    return nullptr;
  return _create_locale(category, name);
}

void localeFree(void *locale) {
  if (locale != nullptr)
    _free_locale(static_cast<_locale_t>(locale));
}

// Directory entries are durable without being asked for on this platform.
void directorySync(const char *) {}

const char16_t *runtimeGetenvW(const char16_t *name) {
  return reinterpret_cast<const char16_t *>(_wgetenv(reinterpret_cast<const wchar_t *>(name)));
}

const char16_t *runtimeSetlocaleW(int category, const char16_t *name) {
  return reinterpret_cast<const char16_t *>(
      _wsetlocale(category, reinterpret_cast<const wchar_t *>(name)));
}

int64_t runtimeWideLength(const char16_t *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = _vscwprintf(reinterpret_cast<const wchar_t *>(format), copy);
  va_end(copy);
  return n;
}

int64_t runtimeWideFormat(char16_t *buf, uint64_t units, const char16_t *format, va_list args) {
  if (units == 0 || units > INT32_MAX)
    return -1;
  va_list copy;
  va_copy(copy, args);
  const int n = _vsnwprintf(reinterpret_cast<wchar_t *>(buf), static_cast<size_t>(units - 1),
                            reinterpret_cast<const wchar_t *>(format), copy);
  va_end(copy);
  buf[units - 1] = u'\0';
  return n;
}

int32_t runtimeWidePrint(bool toStderr, const char16_t *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n =
      vfwprintf(toStderr ? stderr : stdout, reinterpret_cast<const wchar_t *>(format), copy);
  va_end(copy);
  return n;
}

// ".DLL" goes on a name that carries a directory ('\'); a bare name reaches
// the loader unchanged, to be searched for and given its default extension.
bool libraryFileName(const char *name, char *buffer, size_t size) {
  size_t length = std::strlen(name);
  bool suffix = std::strchr(name, '\\') != nullptr;
  size_t total = length + (suffix ? 4 : 0);
  if (total + 1 > size)
    return false;
  std::memcpy(buffer, name, length);
  if (suffix)
    std::memcpy(buffer + length, ".DLL", 4);
  buffer[total] = '\0';
  return true;
}

void *libraryOpen(const char *file) { return LoadLibraryA(file); }

void *librarySymbol(void *module, const char *symbol) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), symbol));
}

bool libraryClose(void *module) { return FreeLibrary(static_cast<HMODULE>(module)) != FALSE; }

} // namespace psp::os
