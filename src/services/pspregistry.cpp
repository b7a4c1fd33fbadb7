// pspregistry.cpp - the install-count store: one count per registry name,
// in the file of the key "SOFTWARE/Zebrine/Zebrine Store/14.1/Services"
// under the store's root, one "name=count" line per value.
//
// Readers take no lock: writers replace the file whole (temporary file,
// fsync, rename), so a reader sees the old file or the new one. Writers
// serialise on an exclusive lock of the key's ".lock" file and read, change
// and write under it, so concurrent adjustments from any number of threads
// and processes lose no update. A line that cannot be read (no '=', a name
// that is not a valid service name, a value that is not a 32-bit decimal)
// counts as absent, that is 0, and the next write leaves it out; the other
// lines are kept. Counts stay between 0 and 0xFFFFFFFF. All scratch memory
// is the calling thread's PSP_TAG_THREAD, taken without a jump, so nothing
// here needs undoing and the lock is always released.
#include "internal.h"
#include "platform/os.h"
#include "services/scratch.h"

#include <cerrno>
#include <cstring>

namespace psp {

namespace {

constexpr char kKeyPath[] = "/SOFTWARE/Zebrine/Zebrine Store/14.1/Services";
constexpr uint64_t kStoreLimit = 64u << 20; // a store is a few lines; refuse absurd files
constexpr size_t kUnitNameMax = 255;        // systemd's bound for "<name>.service"
constexpr size_t kSuffixLength = 8;         // ".service"

bool nameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || c == ':';
}

bool validName(const char *name, size_t length) {
  if (length == 0 || length > kUnitNameMax - kSuffixLength)
    return false;
  // A leading '-' would read as an option to the manager's program, a
  // leading '.' as a hidden or relative name.
  if (name[0] == '-' || name[0] == '.')
    return false;
  for (size_t i = 0; i < length; ++i) {
    if (!nameChar(name[i]))
      return false;
    if (name[i] == '.' && i + 1 < length && name[i + 1] == '.')
      return false;
  }
  return true;
}

// The key's file under the store's root, with `suffix`, or NULL.
char *keyPath(Scratch &scratch, const char *suffix) {
  return scratch.join(os::svc::registryRoot(), kKeyPath, suffix);
}

struct Entry {
  const char *name;
  size_t length;
  uint32_t value;
};

bool parseValue(const char *p, const char *end, uint32_t &value) {
  if (end > p && end[-1] == '\r')
    --end;
  if (p == end || end - p > 10)
    return false;
  uint64_t v = 0;
  for (; p < end; ++p) {
    if (*p < '0' || *p > '9')
      return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  if (v > 0xFFFFFFFFu)
    return false;
  value = static_cast<uint32_t>(v);
  return true;
}

// The readable line that starts at p (ending before `end`), if any.
bool parseLine(const char *p, const char *end, Entry &entry) {
  const char *eq = static_cast<const char *>(std::memchr(p, '=', static_cast<size_t>(end - p)));
  if (eq == nullptr || !validName(p, static_cast<size_t>(eq - p)))
    return false;
  entry.name = p;
  entry.length = static_cast<size_t>(eq - p);
  return parseValue(eq + 1, end, entry.value);
}

bool sameName(const Entry &entry, const char *name, size_t length) {
  return entry.length == length && std::memcmp(entry.name, name, length) == 0;
}

// Calls visit(entry) for the first readable line of each name, in file order.
template <class Visit> void forEachEntry(const char *data, uint64_t size, Visit visit) {
  const char *end = data + size;
  for (const char *line = data; line < end;) {
    const char *stop = static_cast<const char *>(std::memchr(line, '\n', end - line));
    if (stop == nullptr)
      stop = end;
    Entry entry;
    if (parseLine(line, stop, entry)) {
      bool seen = false;
      for (const char *earlier = data; earlier < line && !seen;) {
        const char *next = static_cast<const char *>(std::memchr(earlier, '\n', line - earlier));
        Entry other;
        seen = parseLine(earlier, next, other) && sameName(other, entry.name, entry.length);
        earlier = next + 1;
      }
      if (!seen)
        visit(entry);
    }
    line = stop + 1;
  }
}

size_t putEntry(char *out, const char *name, size_t length, uint32_t value) {
  char digits[12];
  size_t n = static_cast<size_t>(psp_snprintf(digits, sizeof digits, "%u", value));
  if (out != nullptr) {
    std::memcpy(out, name, length);
    out[length] = '=';
    std::memcpy(out + length + 1, digits, n);
    out[length + 1 + n] = '\n';
  }
  return length + n + 2;
}

// The store's lines with `name` set to `value`, in `out` (NULL measures).
size_t compose(char *out, const char *data, uint64_t size, const char *name, size_t length,
               uint32_t value) {
  size_t used = 0;
  bool found = false;
  forEachEntry(data, size, [&](const Entry &entry) {
    bool target = sameName(entry, name, length);
    found = found || target;
    used += putEntry(out ? out + used : nullptr, entry.name, entry.length,
                     target ? value : entry.value);
  });
  if (!found)
    used += putEntry(out ? out + used : nullptr, name, length, value);
  return used;
}

uint32_t lookup(const char *data, uint64_t size, const char *name, size_t length) {
  uint32_t value = 0;
  forEachEntry(data, size, [&](const Entry &entry) {
    if (sameName(entry, name, length))
      value = entry.value;
  });
  return value;
}

} // namespace

bool serviceNameValid(const char *name) {
  return name != nullptr && validName(name, std::strlen(name));
}

uint32_t registryCount(const char *name) {
  if (!serviceNameValid(name))
    return 0;
  Scratch scratch;
  char *path = keyPath(scratch, "");
  char *data = nullptr;
  uint64_t size = 0;
  if (path == nullptr ||
      os::svc::fileRead(path, kStoreLimit, Scratch::fromTag, &scratch, &data, &size) != 0)
    return 0;
  return lookup(data, size, name, std::strlen(name));
}

PSP_STATUS registryAdjust(const char *name, int32_t delta) {
  if (!serviceNameValid(name))
    return PSP_ERR_SYSTEM;
  Scratch scratch;
  char *path = keyPath(scratch, "");
  char *lockPath = keyPath(scratch, ".lock");
  if (path == nullptr || lockPath == nullptr)
    return PSP_ERR_SYSTEM;
  // The key's directory, created like a registry key on first use.
  char *slash = std::strrchr(path, '/');
  *slash = '\0';
  int error = os::svc::directoryCreateAll(path);
  *slash = '/';
  int lock = -1;
  if (error != 0 || os::svc::lockTake(lockPath, lock) != 0)
    return PSP_ERR_SYSTEM;

  char *data = nullptr;
  uint64_t size = 0;
  error = os::svc::fileRead(path, kStoreLimit, Scratch::fromTag, &scratch, &data, &size);
  if (error == ENOENT) {
    data = nullptr;
    size = 0;
    error = 0;
  }
  PSP_STATUS status = PSP_ERR_SYSTEM;
  if (error == 0) {
    size_t length = std::strlen(name);
    int64_t value = static_cast<int64_t>(lookup(data, size, name, length)) + delta;
    uint32_t count = value < 0            ? 0u
                     : value > 0xFFFFFFFF ? 0xFFFFFFFFu
                                          : static_cast<uint32_t>(value);
    size_t bytes = compose(nullptr, data, size, name, length, count);
    char *text = scratch.take(bytes);
    if (text != nullptr) {
      compose(text, data, size, name, length, count);
      if (os::svc::fileReplace(path, text, bytes) == 0)
        status = PSP_OKAY;
    }
  }
  os::svc::lockRelease(lock);
  return status;
}

} // namespace psp
