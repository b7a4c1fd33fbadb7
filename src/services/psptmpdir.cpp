// psptmpdir.cpp - the temporary directory: the caller's preferred directory
// and the one chosen per process.
//
// "ZEB_TMPDIR" answers on every call, unprobed and never stored (an empty
// value would put temporary names at the root). Otherwise a
// directory is chosen once, under the library lock, by probing candidates in
// order: the preferred directory, "TEMP", "TMP", the platform's own (POSIX:
// "TMPDIR", "/tmp"; Windows: the Windows directory's "temp"), the current
// directory. A probe really creates a file in the candidate:
// exclusively and without following a symbolic link, so it never opens or
// removes anything it did not make, and it removes the file again. The
// choice lives in PSP_TAG_DEFAULT until psp_setTmpDir or the last psp_term
// frees it; an empty environment value counts as unset. psp_setTmpDir takes
// no lock and must not race psp_tmpdir.
#include "internal.h"
#include "platform/os.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace psp {
namespace {

char g_preferred[512];
std::atomic<char *> g_chosen{nullptr};

// 1 when a file can be created in dir. The name is cut to 511 bytes; being
// created exclusively, a cut name can only ever name the probe's own file.
bool probe(const char *dir) {
  char name[512];
  std::snprintf(name, sizeof name, "%s%czeb_dirtest_tmp_%llX_%p", dir, os::kPathSeparator,
                static_cast<unsigned long long>(os::processId()),
                reinterpret_cast<void *>(static_cast<uintptr_t>(os::threadId())));
  PSP_MEMTAG tag = fileTag();
  PSP_FH fh = nullptr;
  if (tag == nullptr ||
      openFileHandle(name, PSP_FILE_RDWR | PSP_FILE_CREATE | kFileExclusive, 0, tag, &fh) != 0)
    return false;
  closeFileHandle(fh, tag);
  fileRemoveName(name);
  return true;
}

const char *envValue(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// The named candidates, under the library lock: allocates without the jump.
char *chooseNamed() {
  char system[2][512];
  const int systemCount = os::systemTempDirs(system);
  const char *candidates[] = {g_preferred[0] != '\0' ? g_preferred : nullptr, envValue("TEMP"),
                              envValue("TMP"), systemCount > 0 ? system[0] : nullptr,
                              systemCount > 1 ? system[1] : nullptr};
  for (const char *dir : candidates) {
    if (dir == nullptr || !probe(dir))
      continue;
    psp_memtag_rec *rec = resolveTag(PSP_TAG_DEFAULT);
    size_t size = std::strlen(dir) + 1;
    char *copy = rec != nullptr && size < 0xFFFFFFFEu
                     ? static_cast<char *>(tagTryAlloc(rec, static_cast<uint32_t>(size)))
                     : nullptr;
    if (copy != nullptr)
      std::memcpy(copy, dir, size);
    return copy;
  }
  return nullptr;
}

// The last candidate. Its string comes from psp_currdirEx, whose allocation
// may take PSP_TAG_DEFAULT's jump, so it is fetched outside the library lock;
// the probe and the store run under the lock again, unless another thread
// has chosen meanwhile.
void chooseCurrent() {
  char *cwd = psp_currdirEx(PSP_TAG_DEFAULT);
  if (cwd == nullptr)
    return;
  psp_enterCritSec();
  const bool keep = g_chosen.load() == nullptr && probe(cwd);
  if (keep)
    g_chosen.store(cwd);
  psp_exitCritSec();
  if (!keep)
    psp_freeMem(cwd, PSP_TAG_DEFAULT, "psptmpdir", 0);
}

char *copyInto(PSP_MEMTAG tag, const char *text) {
  return static_cast<char *>(
      psp_getMem(0, tag, PSP_MEM_STRDUP, text, "psptmpdir", 0)); // may jump; nothing held here
}

} // namespace

void tmpDirRelease() {
  char *chosen = g_chosen.exchange(nullptr);
  if (chosen != nullptr)
    psp_freeMem(chosen, PSP_TAG_DEFAULT, "psptmpdir", 0);
}

} // namespace psp

using namespace psp;

PSP_API char *psp_tmpdir(PSP_MEMTAG tag) {
  if (!initialised())
    return nullptr;
  if (const char *forced = envValue("ZEB_TMPDIR"))
    return copyInto(tag, forced);
  if (g_chosen.load() == nullptr) {
    bool onlyCurrentLeft = false;
    psp_enterCritSec();
    if (g_chosen.load() == nullptr) {
      g_chosen.store(chooseNamed());
      onlyCurrentLeft = g_chosen.load() == nullptr;
    }
    psp_exitCritSec();
    if (onlyCurrentLeft)
      chooseCurrent();
  }
  const char *chosen = g_chosen.load();
  return chosen != nullptr ? copyInto(tag, chosen) : nullptr;
}

PSP_API PSP_STATUS psp_setTmpDir(const char *dir) {
  if (dir != nullptr && dir != g_preferred) {
    std::strncpy(g_preferred, dir, sizeof g_preferred);
    g_preferred[sizeof g_preferred - 1] = '\0';
  } else if (dir == nullptr) {
    g_preferred[0] = '\0';
  }
  if (initialised())
    tmpDirRelease();
  return PSP_OKAY;
}
