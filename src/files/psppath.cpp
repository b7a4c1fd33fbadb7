// psppath.cpp - paths and directories: the current directory, full paths,
// splitting and form tests, creating and removing directories, and the
// directory iterator.
//
// The separators and drive prefixes are the platform's (os.h): on POSIX '/'
// is the one separator, a backslash an ordinary name character and there are
// no drive letters; on Windows '\\' is written, '/' read as well, and "C:"
// starts a path on a drive. Strings handed to a caller come from the tag
// the caller names, each in one allocation; temporaries live on the stack or
// in the calling thread's tag and are gone before the call returns.
//
// Jumps: every allocation here is made with tagTryAlloc. When one fails, the
// call first frees its temporaries and closes its stream and only then takes
// the jump of the tag that failed, if it has one (PSP_TAG_THREAD and
// PSP_TAG_DEFAULT may have one too, through psp_resetTag), so a jump
// abandons nothing.
//
// An iterator is one block from PSP_TAG_DEFAULT: the record, then its
// compiled pattern. The names it hands out live in the record and stay valid
// until the next call on it or its close. The open finds the first match, so
// a directory that cannot be listed, or in which nothing matches, gives NULL.
#include "files/pathmatch.h"
#include "internal.h"
#include "platform/os.h"
#include "text/unicode.h"

#include <cstring>

namespace {

// Room for one entry name: the longest the platform lists.
constexpr size_t kNameRoom = psp::os::kEntryNameRoom;

} // namespace

struct psp_dir_rec {
  PSP_WCHAR *wideName; // the name last returned by psp_pathNextW, or NULL
  void *stream;        // the open directory
  uint32_t started;    // the entry found by the open has been handed out
  uint32_t ended;
  psp::os::EntryKind kind;     // of the entry in utf8Name
  psp::paths::Pattern pattern; // its tokens right after the record
  char utf8Name[kNameRoom];
  PSP_WCHAR wide[kNameRoom];
};

namespace psp {
namespace {

inline bool noDisk() { return g_flags.noDisk.load(std::memory_order_relaxed) != 0; }

inline bool validUtf8(const char *text) {
  unicode::Utf16Counter counter;
  return text == nullptr ||
         unicode::decodeUtf8(text, std::strlen(text), counter, PSP_CONV_STRICT) == PSP_OKAY;
}

inline bool hasDrive(const char *path, size_t n) {
  return os::kDriveLetters && n >= 2 && path[1] == ':';
}

// A path without one trailing separator, unless that one is the root's ("/",
// "\\" or "C:\\").
inline size_t trimmedLength(const char *path, size_t n) {
  if (n <= 1 || !os::isSeparator(path[n - 1]) || (n == 3 && hasDrive(path, n)))
    return n;
  return n - 1;
}

// Absolute: from a root, or from the root of a drive.
inline bool isAbsolute(const char *path, size_t n) {
  return (n > 0 && os::isSeparator(path[0])) ||
         (n >= 3 && hasDrive(path, n) && os::isSeparator(path[2]));
}

// Every separator written the platform's way (a full path's form).
char *withSeparators(char *path) {
  if (os::kDriveLetters && path != nullptr)
    for (char *p = path; *p != 0; ++p)
      if (os::isSeparator(*p))
        *p = os::kPathSeparator;
  return path;
}

// The current directory of the process, held for the length of one call:
// on the stack when it fits, else in a block of the calling thread's tag.
class CurrentDir {
public:
  // False when the platform cannot tell it. The no-disk flag makes it the
  // root ("/" or "\\").
  bool fetch() {
    if (noDisk()) {
      stack_[0] = os::kPathSeparator;
      stack_[1] = 0;
      text_ = stack_;
      return true;
    }
    switch (os::currentDir(stack_, sizeof stack_)) {
    case os::CwdResult::Ok:
      text_ = stack_;
      return true;
    case os::CwdResult::Failed:
      return false;
    case os::CwdResult::TooSmall:
      break;
    }
    thread_ = resolveTag(PSP_TAG_THREAD);
    if (thread_ == nullptr)
      return false;
    for (uint32_t size = 2 * sizeof stack_; size <= kMaxSize; size *= 2) {
      char *block = static_cast<char *>(tagTryAlloc(thread_, size));
      if (block == nullptr)
        return false;
      os::CwdResult r = os::currentDir(block, size);
      if (r == os::CwdResult::Ok) {
        text_ = spill_ = block;
        return true;
      }
      tagFree(thread_, block);
      if (r == os::CwdResult::Failed)
        return false;
    }
    return false;
  }
  const char *text() const { return text_; }
  // Frees the spilled copy; call before anything that may jump.
  void release() {
    if (spill_ != nullptr)
      tagFree(thread_, spill_);
    spill_ = nullptr;
  }

private:
  static constexpr uint32_t kMaxSize = 1u << 20;
  char stack_[1024];
  const char *text_ = nullptr;
  char *spill_ = nullptr;
  psp_memtag_rec *thread_ = nullptr;
};

// head, then sep (unless 0), then tail, as one new string in the tag; NULL
// when it cannot be allocated. The current directory is released either way.
char *joinInto(psp_memtag_rec *tag, const char *head, size_t headLength, char sep, const char *tail,
               size_t tailLength, CurrentDir *cwd) {
  size_t total = headLength + (sep != 0) + tailLength + 1;
  char *out = total < 0xFFFFFFFEu
                  ? static_cast<char *>(tagTryAlloc(tag, static_cast<uint32_t>(total)))
                  : nullptr;
  if (out != nullptr) {
    std::memcpy(out, head, headLength);
    size_t at = headLength;
    if (sep != 0)
      out[at++] = sep;
    if (tailLength != 0)
      std::memcpy(out + at, tail, tailLength);
    out[at + tailLength] = 0;
  }
  if (cwd != nullptr)
    cwd->release();
  return out;
}

// The last step of a call that allocated in tag: a failure takes its jump.
template <class T> T *delivered(psp_memtag_rec *tag, T *made) {
  if (made == nullptr)
    tagJumpIfArmed(tag);
  return made;
}

inline psp_memtag_rec *callerTag(PSP_MEMTAG tag) {
  return initialised() ? resolveTag(tag) : nullptr;
}

PSP_STATUS createOne(const char *path) {
  switch (os::makeDir(path)) {
  case os::DirResult::Ok:
    return PSP_OKAY;
  case os::DirResult::Exists:
    return PSP_EXISTS;
  default:
    return PSP_ERR_SYSTEM;
  }
}

// A UTF-16 argument as UTF-8 in the calling thread's tag (NULL counts as
// empty). False when it is not valid UTF-16 or cannot be allocated; no jump,
// since the caller may hold another copy.
bool narrowCopy(const PSP_WCHAR *text, char **out) {
  uint64_t count = text != nullptr ? unicode::utf16Length(text) : 0;
  uint64_t n = unicode::utf16ToUtf8(nullptr, 0, text, count, PSP_CONV_STRICT);
  psp_memtag_rec *thread = initialised() ? resolveTag(PSP_TAG_THREAD) : nullptr;
  if (n == unicode::kFailed || n >= 0xFFFFFFFEu || thread == nullptr)
    return false;
  auto *block = static_cast<char *>(tagTryAlloc(thread, static_cast<uint32_t>(n)));
  if (block == nullptr)
    return false;
  unicode::utf16ToUtf8(block, n, text, count, PSP_CONV_STRICT);
  *out = block;
  return true;
}

void freeNarrowCopy(char *text) {
  if (text == nullptr)
    return;
  if (psp_memtag_rec *thread = resolveTag(PSP_TAG_THREAD))
    tagFree(thread, text);
}

// Runs a narrow directory operation on the UTF-8 form of a wide path.
template <class Op> PSP_STATUS withNarrowPath(const PSP_WCHAR *path, PSP_STATUS failed, Op op) {
  char *narrow = nullptr;
  if (!narrowCopy(path, &narrow))
    return failed;
  PSP_STATUS st = op(narrow);
  freeNarrowCopy(narrow);
  return st;
}

// Reads on to the next entry that matches and keeps its name.
bool findMatch(psp_dir_rec *it) {
  os::DirEntry entry;
  while (os::dirRead(it->stream, entry)) {
    if (entry.length >= kNameRoom || !paths::matchName(entry.name, entry.length, it->pattern))
      continue;
    std::memcpy(it->utf8Name, entry.name, entry.length + 1);
    it->kind = entry.kind;
    return true;
  }
  it->ended = 1;
  return false;
}

// The open without the jump: *outOfMemory tells the caller to take
// PSP_TAG_DEFAULT's jump once it has freed what it holds.
PSP_DIR openIterator(const char *dir, const char *pattern, bool *outOfMemory) {
  *outOfMemory = false;
  if (!initialised() || noDisk() || dir == nullptr || *dir == 0 || pattern == nullptr)
    return nullptr;
  size_t patternLength = std::strlen(pattern);
  if (patternLength == 0 || patternLength > (1u << 24) || !validUtf8(dir))
    return nullptr;
  psp_memtag_rec *rec = resolveTag(PSP_TAG_DEFAULT);
  auto size = static_cast<uint32_t>(sizeof(psp_dir_rec) + patternLength * sizeof(uint32_t));
  auto *it = rec != nullptr ? static_cast<psp_dir_rec *>(tagTryAlloc(rec, size)) : nullptr;
  if (it == nullptr) {
    *outOfMemory = rec != nullptr;
    return nullptr;
  }
  std::memset(it, 0, sizeof *it);
  it->pattern.tokens = reinterpret_cast<uint32_t *>(it + 1);
  if (paths::compilePattern(pattern, patternLength, it->pattern)) {
    it->stream = os::dirOpen(dir, pattern);
    if (it->stream != nullptr) {
      if (findMatch(it))
        return it;
      os::dirClose(it->stream);
    }
  }
  tagFree(rec, it);
  return nullptr;
}

void jumpIfOutOfMemory(bool outOfMemory) {
  if (outOfMemory)
    tagJumpIfArmed(resolveTag(PSP_TAG_DEFAULT));
}

} // namespace
} // namespace psp

using namespace psp;

// ---- current directory and full paths ----

PSP_API char *psp_currdirEx(PSP_MEMTAG tag) {
  psp_memtag_rec *rec = callerTag(tag);
  if (rec == nullptr)
    return nullptr;
  CurrentDir cwd;
  if (!cwd.fetch())
    return nullptr;
  return delivered(rec, joinInto(rec, cwd.text(), std::strlen(cwd.text()), 0, nullptr, 0, &cwd));
}

PSP_API char *psp_fullpathEx(const char *path, PSP_MEMTAG tag) {
  psp_memtag_rec *rec = callerTag(tag);
  if (rec == nullptr)
    return nullptr;
  size_t n = path != nullptr ? std::strlen(path) : 0;
  bool here = n == 0 || std::strcmp(path, ".") == 0 ||
              (n == 2 && path[0] == '.' && os::isSeparator(path[1]));
  if (!here && isAbsolute(path, n))
    return delivered(
        rec, withSeparators(joinInto(rec, path, trimmedLength(path, n), 0, nullptr, 0, nullptr)));
  CurrentDir cwd;
  if (!cwd.fetch())
    return nullptr;
  const char *dir = cwd.text();
  size_t dirLength = trimmedLength(dir, std::strlen(dir));
  if (here)
    return delivered(rec, withSeparators(joinInto(rec, dir, dirLength, 0, nullptr, 0, &cwd)));
  // The root ends with a separator already.
  char sep = dirLength != 0 && os::isSeparator(dir[dirLength - 1]) ? 0 : os::kPathSeparator;
  return delivered(
      rec, withSeparators(joinInto(rec, dir, dirLength, sep, path, trimmedLength(path, n), &cwd)));
}

// ---- splitting and form tests ----

PSP_API PSP_STATUS psp_pathSplitEx(const char *path, char **dir, char **file, PSP_MEMTAG tag) {
  if (dir != nullptr)
    *dir = nullptr;
  if (file != nullptr)
    *file = nullptr;
  if (!initialised())
    return PSP_ERR_NOMEMORY;
  if (path == nullptr)
    return PSP_ERR_INVALIDPARAM;
  psp_memtag_rec *rec = resolveTag(tag);
  if (rec == nullptr)
    return PSP_ERR_NOMEMORY;
  // Windows splits at the last '\\', else the last '/', else the last ':'.
  const char *split = os::kDriveLetters ? std::strrchr(path, '\\') : nullptr;
  if (split == nullptr)
    split = std::strrchr(path, '/');
  if (split == nullptr && os::kDriveLetters)
    split = std::strrchr(path, ':');
  const char *name = split != nullptr ? split + 1 : path;
  if (file != nullptr && (split == nullptr || *name != 0)) {
    *file = delivered(rec, joinInto(rec, name, std::strlen(name), 0, nullptr, 0, nullptr));
    if (*file == nullptr)
      return PSP_ERR_NOMEMORY;
  }
  if (dir != nullptr && split != nullptr) {
    *dir = joinInto(rec, path, static_cast<size_t>(name - path), 0, nullptr, 0, nullptr);
    if (*dir == nullptr) {
      if (file != nullptr && *file != nullptr) {
        tagFree(rec, *file);
        *file = nullptr;
      }
      tagJumpIfArmed(rec);
      return PSP_ERR_NOMEMORY;
    }
  }
  return PSP_OKAY;
}

PSP_API const char *psp_pathStripDrive(const char *path) {
  return path != nullptr && path[0] != 0 && hasDrive(path, 2) ? path + 2 : path;
}

PSP_API PSP_STATUS psp_pathIsDir(const char *path) {
  if (path == nullptr || *path == 0)
    return PSP_ERR_INVALIDPARAM;
  // Windows: a trailing '\\' or ':' (a bare drive); a trailing '/' does not
  // count there.
  const char last = path[std::strlen(path) - 1];
  const bool dirForm = os::kDriveLetters ? last == '\\' || last == ':' : last == '/';
  return dirForm ? PSP_OKAY : PSP_NO;
}

// ---- creating and removing directories ----

PSP_API PSP_STATUS psp_dirCreate(const char *path) {
  if (!initialised() || !validUtf8(path))
    return PSP_ERR_NOMEMORY;
  if (noDisk() || path == nullptr || *path == 0)
    return PSP_ERR_SYSTEM;
  return createOne(path);
}

PSP_API PSP_STATUS psp_dirCreateW(const PSP_WCHAR *path) {
  return withNarrowPath(path, PSP_ERR_NOMEMORY, psp_dirCreate);
}

PSP_API PSP_STATUS psp_dirRemove(const char *path) {
  if (!initialised() || !validUtf8(path))
    return PSP_ERR_NOMEMORY;
  if (noDisk())
    return PSP_ERR_SYSTEM;
  if (path == nullptr || *path == 0)
    return PSP_OKAY; // names nothing, so nothing is left to remove
  switch (os::removeDir(path)) {
  case os::DirResult::Ok:
  case os::DirResult::Missing:
    return PSP_OKAY;
  default:
    return PSP_ERR_SYSTEM;
  }
}

PSP_API PSP_STATUS psp_dirRemoveW(const PSP_WCHAR *path) {
  return withNarrowPath(path, PSP_ERR_NOMEMORY, psp_dirRemove);
}

PSP_API PSP_STATUS psp_dirCreateAll(const char *path) {
  if (noDisk())
    return PSP_ERR_SYSTEM;
  PSP_STATUS whole = psp_dirCreate(path);
  if (whole == PSP_OKAY || whole == PSP_EXISTS)
    return whole;
  // A name that is not UTF-8 fails before any prefix is made.
  if (path == nullptr || !initialised() || !validUtf8(path))
    return PSP_ERR_NOMEMORY;
  size_t n = std::strlen(path);
  if (n == 0)
    return whole;
  psp_memtag_rec *thread = resolveTag(PSP_TAG_THREAD);
  char *copy = thread != nullptr && n < 0xFFFFFFFEu
                   ? static_cast<char *>(tagTryAlloc(thread, static_cast<uint32_t>(n + 1)))
                   : nullptr;
  if (copy == nullptr)
    return PSP_ERR_NOMEMORY;
  std::memcpy(copy, path, n + 1);
  PSP_STATUS st = PSP_OKAY;
  for (size_t i = 1; i < n && (st == PSP_OKAY || st == PSP_EXISTS); ++i) {
    if (!os::isSeparator(copy[i]))
      continue;
    copy[i] = 0;
    st = createOne(copy);
    copy[i] = os::kPathSeparator; // later prefixes are written the platform's way
  }
  if (st == PSP_OKAY || st == PSP_EXISTS)
    st = createOne(copy);
  tagFree(thread, copy);
  return st;
}

PSP_API PSP_STATUS psp_dirCreateAllW(const PSP_WCHAR *path) {
  return withNarrowPath(path, PSP_ERR_SYSTEM, psp_dirCreateAll);
}

// ---- directory iteration ----

PSP_API PSP_DIR psp_pathOpenEx(const char *dir, uint32_t, const char *pattern) {
  bool outOfMemory;
  PSP_DIR it = openIterator(dir, pattern, &outOfMemory);
  jumpIfOutOfMemory(outOfMemory);
  return it;
}

PSP_API PSP_DIR psp_pathOpen(const char *dir, const char *pattern) {
  return psp_pathOpenEx(dir, 0, pattern);
}

PSP_API PSP_DIR psp_pathOpenExW(const PSP_WCHAR *dir, uint32_t, const PSP_WCHAR *pattern) {
  char *narrowDir = nullptr, *narrowPattern = nullptr;
  PSP_DIR it = nullptr;
  bool outOfMemory = false;
  if (pattern != nullptr && narrowCopy(dir, &narrowDir) && narrowCopy(pattern, &narrowPattern))
    it = openIterator(narrowDir, narrowPattern, &outOfMemory);
  freeNarrowCopy(narrowPattern);
  freeNarrowCopy(narrowDir);
  jumpIfOutOfMemory(outOfMemory);
  return it;
}

PSP_API PSP_DIR psp_pathOpenW(const PSP_WCHAR *dir, const PSP_WCHAR *pattern) {
  return psp_pathOpenExW(dir, 0, pattern);
}

PSP_API const char *psp_pathNext(PSP_DIR it, uint32_t *isDir) {
  if (it == nullptr || it->stream == nullptr || it->ended)
    return nullptr;
  if (!it->started)
    it->started = 1;
  else if (!findMatch(it))
    return nullptr;
  if (isDir != nullptr) {
    bool directory =
        it->kind == os::EntryKind::Directory ||
        (it->kind == os::EntryKind::Unknown && os::dirEntryIsDir(it->stream, it->utf8Name));
    *isDir = directory ? 16 : 0;
  }
  return it->utf8Name;
}

PSP_API const PSP_WCHAR *psp_pathNextW(PSP_DIR it, uint32_t *isDir) {
  const char *name = psp_pathNext(it, isDir);
  if (it != nullptr)
    it->wideName = nullptr;
  if (name == nullptr)
    return nullptr;
  // A name the file system holds in another encoding still comes out, with
  // each invalid piece as '?'; UTF-16 never needs more units than UTF-8 bytes.
  unicode::utf8ToUtf16(it->wide, kNameRoom, name, std::strlen(name), PSP_CONV_REPLACE);
  it->wideName = it->wide;
  return it->wideName;
}

PSP_API void psp_pathClose(PSP_DIR it) {
  if (it == nullptr || !initialised())
    return;
  os::dirClose(it->stream);
  if (psp_memtag_rec *rec = resolveTag(PSP_TAG_DEFAULT))
    tagFree(rec, it);
}
