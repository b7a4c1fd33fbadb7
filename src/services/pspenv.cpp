// pspenv.cpp - environment, locale and process: thin wrappers that work
// before psp_init and keep no state of the library's own.
//
// The one exception is the result of the two UTF-16 forms (psp_setlocaleW,
// psp_getenvW) where the runtime has no UTF-16 strings to hand out (the
// Windows runtime has, and its answers are passed on as they are): each keeps
// a per-thread copy that lives until the next call of the same function on
// that thread and is freed when the thread ends. Since these work without
// psp_init, that copy comes from malloc, not from a tag. Text converts
// through the library's own UTF-8/UTF-16 walkers; a name that is not valid
// UTF-16 gives NULL, a value that is not valid UTF-8 comes back with '?' for
// each broken piece.
#include "internal.h"
#include "platform/os.h"
#include "text/unicode.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

// A growable per-thread result, released by the thread's exit.
struct WideResult {
  char16_t *units = nullptr;
  uint64_t capacity = 0;
  ~WideResult() { std::free(units); }
};

thread_local WideResult t_locale;
thread_local WideResult t_environment;

const char16_t *storeWide(WideResult &result, const char *text) {
  uint64_t length = std::strlen(text);
  uint64_t need = psp::unicode::utf8ToUtf16(nullptr, 0, text, length, PSP_CONV_REPLACE);
  if (need == psp::unicode::kFailed)
    return nullptr;
  if (need > result.capacity) {
    void *grown = std::realloc(result.units, need * sizeof(char16_t));
    if (grown == nullptr)
      return nullptr;
    result.units = static_cast<char16_t *>(grown);
    result.capacity = need;
  }
  psp::unicode::utf8ToUtf16(result.units, need, text, length, PSP_CONV_REPLACE);
  return result.units;
}

// Runs use(narrow) with a UTF-8 copy of `wide`: on the stack when short,
// else from malloc, freed before returning.
template <class Use> const char16_t *withNarrow(const char16_t *wide, Use use) {
  uint64_t count = psp::unicode::utf16Length(wide);
  uint64_t need = psp::unicode::utf16ToUtf8(nullptr, 0, wide, count, PSP_CONV_STRICT);
  if (need == psp::unicode::kFailed) {
    errno = EILSEQ;
    return nullptr;
  }
  char local[256];
  char *narrow = need <= sizeof local ? local : static_cast<char *>(std::malloc(need));
  if (narrow == nullptr)
    return nullptr;
  psp::unicode::utf16ToUtf8(narrow, need, wide, count, PSP_CONV_STRICT);
  const char16_t *result = use(narrow);
  if (narrow != local) {
    int saved = errno;
    std::free(narrow);
    errno = saved;
  }
  return result;
}

} // namespace

using namespace psp;

PSP_API void psp_sleep(uint32_t milliseconds) { os::sleepMilliseconds(milliseconds); }

PSP_API uint32_t psp_get_pid(void) { return os::processId(); }

PSP_API uint32_t psp_errno(void) { return os::threadErrno(); }

PSP_API char *psp_strtok(char *text, const char *delimiters, char **context) {
  if (delimiters == nullptr || context == nullptr)
    return nullptr;
  // Continuing with no position: the runtime's tokenizers would read through
  // the NULL (POSIX) or stop the process (Windows' invalid-parameter check).
  if (text == nullptr && *context == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return os::tokenize(text, delimiters, context);
}

PSP_API char *psp_setlocale(int category, const char *locale) {
  return std::setlocale(category, locale);
}

PSP_API const PSP_WCHAR *psp_setlocaleW(int category, const PSP_WCHAR *locale) {
  auto set = [category](const char *narrow) -> const char16_t * {
    const char *name = std::setlocale(category, narrow);
    return name == nullptr ? nullptr : storeWide(t_locale, name);
  };
  if (os::kRuntimeWide)
    return os::runtimeSetlocaleW(category, locale);
  return locale == nullptr ? set(nullptr) : withNarrow(locale, set);
}

PSP_API void *psp_createlocale(int category, const char *locale) {
  return os::localeCreate(category, locale);
}

PSP_API void psp_freelocale(void *locale) { os::localeFree(locale); }

PSP_API char *psp_getenv(const char *name) { return name == nullptr ? nullptr : std::getenv(name); }

PSP_API const PSP_WCHAR *psp_getenvW(const PSP_WCHAR *name) {
  if (name == nullptr)
    return nullptr;
  if (os::kRuntimeWide)
    return os::runtimeGetenvW(name);
  return withNarrow(name, [](const char *narrow) -> const char16_t * {
    const char *value = std::getenv(narrow);
    return value == nullptr ? nullptr : storeWide(t_environment, value);
  });
}

PSP_API uint32_t psp_getcpucount(void) { return os::onlineProcessors(); }

// A daemon is run through psp_serviceStart on this platform.
PSP_API PSP_STATUS psp_daemonStart(void) { return PSP_ERR_SYSTEM; }

PSP_API void psp_daemonComplete(void) {}

PSP_API PSP_STATUS psp_dirSync(const char *dir) {
  os::directorySync(dir);
  return PSP_OKAY;
}
