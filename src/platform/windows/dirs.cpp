// dirs.cpp - Windows current directory, directory creation and removal,
// directory searches and the system's temporary directory.
//
// Names cross in UTF-16: UTF-8 paths are converted in the calling thread's
// tag for the "W" calls, and the answers converted back, so a name outside
// the ANSI code page survives the round trip.
#include "platform/os.h"
#include "platform/windows/wide.h"

#include <windows.h>

#include <direct.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace psp::os {

// The runtime's _wgetcwd, turned into UTF-8 (the narrow _getcwd would give
// the ANSI code page).
CwdResult currentDir(char *buf, size_t size) {
  wchar_t *wide = _wgetcwd(nullptr, 0);
  if (wide == nullptr)
    return CwdResult::Failed;
  const auto *units = reinterpret_cast<const char16_t *>(wide);
  const uint64_t count = unicode::utf16Length(units);
  const uint64_t need = unicode::utf16ToUtf8(nullptr, 0, units, count, PSP_CONV_REPLACE);
  CwdResult result = CwdResult::Failed;
  if (need != unicode::kFailed) {
    result = need > size ? CwdResult::TooSmall : CwdResult::Ok;
    if (result == CwdResult::Ok)
      unicode::utf16ToUtf8(buf, size, units, count, PSP_CONV_REPLACE);
  }
  std::free(wide);
  return result;
}

DirResult makeDir(const char *path) {
  WideName wide(path);
  if (!wide)
    return DirResult::Failed;
  if (CreateDirectoryW(wide.get(), nullptr))
    return DirResult::Ok;
  return GetLastError() == ERROR_ALREADY_EXISTS ? DirResult::Exists : DirResult::Failed;
}

// A missing directory and a missing path on the way both count as gone:
// RemoveDirectoryW tells them apart as errors 2 and 3.
DirResult removeDir(const char *path) {
  WideName wide(path);
  if (!wide)
    return DirResult::Failed;
  if (RemoveDirectoryW(wide.get()))
    return DirResult::Ok;
  const DWORD error = GetLastError();
  return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? DirResult::Missing
                                                                        : DirResult::Failed;
}

namespace {

struct Search {
  HANDLE handle;
  bool pending; // the entry FindFirstFileW found is still to be handed out
  WIN32_FIND_DATAW found;
  char name[kEntryNameRoom];
};

} // namespace

// The search string is the directory, a '\' unless it ends with one, and the
// pattern with every '#' as '?': the system knows no hexadecimal wildcard,
// and the caller's own matcher makes the exact test on each name.
void *dirOpen(const char *path, const char *pattern) {
  if (pattern == nullptr || pattern[0] == '\0')
    pattern = "*";
  const size_t dirLength = std::strlen(path), patternLength = std::strlen(pattern);
  const bool needSep = dirLength == 0 || path[dirLength - 1] != '\\';
  char *search = static_cast<char *>(std::malloc(dirLength + patternLength + 2));
  if (search == nullptr)
    return nullptr;
  std::memcpy(search, path, dirLength);
  size_t at = dirLength;
  if (needSep)
    search[at++] = '\\';
  for (size_t i = 0; i <= patternLength; ++i)
    search[at + i] = pattern[i] == '#' ? '?' : pattern[i];
  WideName wide(search);
  std::free(search);
  auto *state = static_cast<Search *>(std::calloc(1, sizeof(Search)));
  if (!wide || state == nullptr) {
    std::free(state);
    return nullptr;
  }
  state->handle = FindFirstFileW(wide.get(), &state->found);
  if (state->handle == INVALID_HANDLE_VALUE) {
    std::free(state);
    return nullptr;
  }
  state->pending = true;
  return state;
}

bool dirRead(void *stream, DirEntry &entry) {
  auto *state = static_cast<Search *>(stream);
  for (;;) {
    if (!state->pending && !FindNextFileW(state->handle, &state->found))
      return false;
    state->pending = false;
    const auto *units = reinterpret_cast<const char16_t *>(state->found.cFileName);
    const uint64_t n = unicode::utf16ToUtf8(state->name, sizeof state->name, units,
                                            unicode::utf16Length(units), PSP_CONV_REPLACE);
    if (n == unicode::kFailed || n > sizeof state->name)
      continue; // cannot be named in the room there is
    entry.name = state->name;
    entry.length = n - 1;
    entry.kind = (state->found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                     ? EntryKind::Directory
                     : EntryKind::Other;
    return true;
  }
}

bool dirEntryIsDir(void *stream, const char *) {
  return (static_cast<Search *>(stream)->found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void dirClose(void *stream) {
  auto *state = static_cast<Search *>(stream);
  if (state == nullptr)
    return;
  FindClose(state->handle);
  std::free(state);
}

// The Windows directory's "temp".
int systemTempDirs(char (&storage)[2][512]) {
  char windows[256];
  const UINT n = GetWindowsDirectoryA(windows, sizeof windows);
  if (n == 0 || n >= sizeof windows)
    return 0;
  if (windows[n - 1] == '\\')
    std::snprintf(storage[0], sizeof storage[0], "%stemp", windows);
  else
    std::snprintf(storage[0], sizeof storage[0], "%s%ctemp", windows, '\\');
  return 1;
}

} // namespace psp::os
