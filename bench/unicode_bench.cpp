// UTF-8 <-> UTF-16 conversion into a caller's buffer, against glibc's iconv
// and ICU's u_strFromUTF8 / u_strToUTF8 in the same run, on ASCII-heavy prose
// and on mixed text (accented Latin, Cyrillic, CJK, emoji). Every converter
// writes into a buffer large enough for the whole result, and the set-up
// checks that all three produce the same units. The allocating forms report
// how many allocations and resizes each call makes in its tag.
#include <benchmark/benchmark.h>

#include <iconv.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"

namespace {

std::string makeAscii() {
  const char *para = "The engine keeps its pages in a buffer pool and writes them back in "
                     "batches; a checkpoint flushes whatever is dirty, and recovery replays "
                     "the log from the last checkpoint forward. Rarely a name like Jos\xC3\xA9 "
                     "or na\xC3\xAFve appears in the text, but nearly every byte is ASCII.\n";
  std::string s;
  while (s.size() < 32 * 1024)
    s += para;
  return s;
}

std::string makeMixed() {
  const char *para = "Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
                     "e \xC3\xA0 la fran\xC3\xA7"
                     "aise; "
                     "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, "
                     "\xD0\xBC\xD0\xB8\xD1\x80! "
                     "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD"
                     "\xE3\x82\xB9\xE3\x83\x88\xE3\x80\x82 "
                     "\xE4\xB8\xAD\xE6\x96\x87\xE6\xB5\x8B\xE8\xAF\x95 "
                     "\xF0\x9F\x98\x80\xF0\x9F\x8E\x89 Stra\xC3\x9F"
                     "e 42.\n";
  std::string s;
  while (s.size() < 32 * 1024)
    s += para;
  return s;
}

struct Text {
  std::string utf8;
  std::u16string utf16;
};

Text prepare(std::string utf8) {
  Text t{std::move(utf8), {}};
  uint64_t n = psp_utf8_to_wchar_len(nullptr, 0, t.utf8.data(), t.utf8.size(), PSP_CONV_STRICT);
  t.utf16.resize(n);
  psp_utf8_to_wchar_len(t.utf16.data(), n, t.utf8.data(), t.utf8.size(), PSP_CONV_STRICT);
  t.utf16.pop_back();
  return t;
}

const Text &ascii() {
  static Text t = prepare(makeAscii());
  return t;
}

const Text &mixed() {
  static Text t = prepare(makeMixed());
  return t;
}

const Text &pick(int which) { return which == 0 ? ascii() : mixed(); }

// ---- converters under test: each returns the units or bytes written ----

size_t pspToUtf16(const Text &t, char16_t *out, size_t cap) {
  return psp_utf8_to_wchar_len(out, cap, t.utf8.data(), t.utf8.size(), PSP_CONV_STRICT) - 1;
}

size_t pspToUtf8(const Text &t, char *out, size_t cap) {
  return psp_wchar_to_utf8_len(out, cap, t.utf16.data(), t.utf16.size(), PSP_CONV_STRICT) - 1;
}

struct Iconv {
  iconv_t toUtf16 = iconv_open("UTF-16LE", "UTF-8");
  iconv_t toUtf8 = iconv_open("UTF-8", "UTF-16LE");
};

Iconv &iconvs() {
  static Iconv cds;
  return cds;
}

size_t run(iconv_t cd, const void *in, size_t inBytes, void *out, size_t outBytes) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char *src = const_cast<char *>(static_cast<const char *>(in));
  char *dst = static_cast<char *>(out);
  size_t left = outBytes;
  if (iconv(cd, &src, &inBytes, &dst, &left) == static_cast<size_t>(-1))
    std::abort();
  return outBytes - left;
}

size_t iconvToUtf16(const Text &t, char16_t *out, size_t cap) {
  return run(iconvs().toUtf16, t.utf8.data(), t.utf8.size(), out, cap * 2) / 2;
}

size_t iconvToUtf8(const Text &t, char *out, size_t cap) {
  return run(iconvs().toUtf8, t.utf16.data(), t.utf16.size() * 2, out, cap);
}

size_t icuToUtf16(const Text &t, char16_t *out, size_t cap) {
  UErrorCode err = U_ZERO_ERROR;
  int32_t len = 0;
  u_strFromUTF8(out, static_cast<int32_t>(cap), &len, t.utf8.data(),
                static_cast<int32_t>(t.utf8.size()), &err);
  return static_cast<size_t>(len);
}

size_t icuToUtf8(const Text &t, char *out, size_t cap) {
  UErrorCode err = U_ZERO_ERROR;
  int32_t len = 0;
  u_strToUTF8(out, static_cast<int32_t>(cap), &len, t.utf16.data(),
              static_cast<int32_t>(t.utf16.size()), &err);
  return static_cast<size_t>(len);
}

template <size_t (*Convert)(const Text &, char16_t *, size_t)>
void Utf8ToUtf16(benchmark::State &state) {
  const Text &t = pick(static_cast<int>(state.range(0)));
  std::u16string out(t.utf16.size() + 1, u'\0');
  size_t n = Convert(t, out.data(), out.size());
  if (n != t.utf16.size() || std::memcmp(out.data(), t.utf16.data(), n * 2) != 0)
    state.SkipWithError("output differs");
  for (auto _ : state) {
    benchmark::DoNotOptimize(Convert(t, out.data(), out.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.utf8.size()));
}

template <size_t (*Convert)(const Text &, char *, size_t)>
void Utf16ToUtf8(benchmark::State &state) {
  const Text &t = pick(static_cast<int>(state.range(0)));
  std::string out(t.utf8.size() + 1, '\0');
  size_t n = Convert(t, out.data(), out.size());
  if (n != t.utf8.size() || std::memcmp(out.data(), t.utf8.data(), n) != 0)
    state.SkipWithError("output differs");
  for (auto _ : state) {
    benchmark::DoNotOptimize(Convert(t, out.data(), out.size()));
    benchmark::ClobberMemory();
  }
  // Throughput in UTF-8 bytes both ways, so the directions compare directly.
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.utf8.size()));
}

// ---- allocating forms: allocations per call, counted in the tag's methods ----

struct Calls {
  void *(*alloc)(uint32_t, void *);
  void *(*realloc)(void *, uint32_t, void *, uint32_t);
  uint64_t allocs = 0;
  uint64_t reallocs = 0;
} g_calls;

void *countAlloc(uint32_t size, void *state) {
  ++g_calls.allocs;
  return g_calls.alloc(size, state);
}

void *countRealloc(void *block, uint32_t size, void *state, uint32_t keep) {
  ++g_calls.reallocs;
  return g_calls.realloc(block, size, state, keep);
}

template <bool ToWide> void Allocating(benchmark::State &state) {
  const Text &t = pick(static_cast<int>(state.range(0)));
  std::string narrow = t.utf8;
  std::u16string wide = t.utf16;
  PSP_MEMTAG tag = psp_init() == PSP_OKAY
                       ? psp_createTagEx(nullptr, 0, PSP_TAGKIND_BUCKET, nullptr, nullptr)
                       : nullptr;
  if (!tag) {
    state.SkipWithError("no memory tags in this build");
    return;
  }
  g_calls = {tag->methods.alloc, tag->methods.realloc};
  tag->methods.alloc = countAlloc;
  tag->methods.realloc = countRealloc;
  for (auto _ : state) {
    void *p = ToWide ? static_cast<void *>(psp_convToWchar(narrow.c_str(), PSP_CONV_STRICT, tag))
                     : static_cast<void *>(psp_convToUTF8(wide.c_str(), PSP_CONV_STRICT, tag));
    if (!p) {
      state.SkipWithError("conversion failed");
      break;
    }
    psp_freeMem(p, tag, "bench", __LINE__);
  }
  double iters = static_cast<double>(state.iterations());
  state.counters["allocs/call"] = static_cast<double>(g_calls.allocs) / iters;
  state.counters["resizes/call"] = static_cast<double>(g_calls.reallocs) / iters;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.utf8.size()));
  tag->methods.alloc = g_calls.alloc;
  tag->methods.realloc = g_calls.realloc;
  psp_freeTagMem(tag, 1, "bench", __LINE__);
  psp_term();
}

// Argument 0: ASCII-heavy text; 1: mixed text.
BENCHMARK(Utf8ToUtf16<pspToUtf16>)->Name("Utf8ToUtf16/psp")->Arg(0)->Arg(1);
BENCHMARK(Utf8ToUtf16<iconvToUtf16>)->Name("Utf8ToUtf16/iconv")->Arg(0)->Arg(1);
BENCHMARK(Utf8ToUtf16<icuToUtf16>)->Name("Utf8ToUtf16/icu")->Arg(0)->Arg(1);
BENCHMARK(Utf16ToUtf8<pspToUtf8>)->Name("Utf16ToUtf8/psp")->Arg(0)->Arg(1);
BENCHMARK(Utf16ToUtf8<iconvToUtf8>)->Name("Utf16ToUtf8/iconv")->Arg(0)->Arg(1);
BENCHMARK(Utf16ToUtf8<icuToUtf8>)->Name("Utf16ToUtf8/icu")->Arg(0)->Arg(1);
BENCHMARK(Allocating<true>)->Name("convToWchar")->Arg(0)->Arg(1);
BENCHMARK(Allocating<false>)->Name("convToUTF8")->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
