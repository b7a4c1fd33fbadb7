// Iterating a directory of 10,000 entries with "*.log": the library's
// iterator (its own case-insensitive matcher) against opendir/readdir with
// fnmatch, over the same directory in the same run. A quarter of the names
// end in ".log" in some mix of case; the rest end in ".txt" or ".dat".
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "psp.h"

namespace {

constexpr int kEntries = 10000;

struct Directory {
  std::string path;
  Directory() {
    char tmpl[] = "/tmp/psp_paths_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
      std::abort();
    path = tmpl;
    const char *ends[] = {".log", ".txt", ".dat", ".txt"};
    for (int i = 0; i < kEntries; ++i) {
      std::string name = path + "/entry_" + std::to_string(i * 7919 % 100000) + ends[i % 4];
      if (FILE *f = std::fopen(name.c_str(), "w"))
        std::fclose(f);
    }
  }
  ~Directory() {
    std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0)
      std::perror("rm");
  }
};

Directory &dir() {
  static Directory d;
  return d;
}

int countFnmatch(const char *path, int flags) {
  DIR *d = opendir(path);
  int n = 0;
  while (const dirent *e = readdir(d))
    if (fnmatch("*.log", e->d_name, flags) == 0)
      ++n;
  closedir(d);
  return n;
}

int countPsp(const char *path) {
  PSP_DIR it = psp_pathOpen(path, "*.log");
  int n = 0;
  uint32_t isDir;
  while (psp_pathNext(it, &isDir) != nullptr)
    ++n;
  psp_pathClose(it);
  return n;
}

void BM_ReaddirFnmatch(benchmark::State &state) {
  const char *path = dir().path.c_str();
  int flags = static_cast<int>(state.range(0));
  for (auto _ : state)
    benchmark::DoNotOptimize(countFnmatch(path, flags));
  state.SetItemsProcessed(state.iterations() * kEntries);
}

void BM_PspIterator(benchmark::State &state) {
  psp_init();
  const char *path = dir().path.c_str();
  if (countPsp(path) != kEntries / 4 || countFnmatch(path, 0) != kEntries / 4)
    state.SkipWithError("the two counts differ from the names made");
  for (auto _ : state)
    benchmark::DoNotOptimize(countPsp(path));
  state.SetItemsProcessed(state.iterations() * kEntries);
  psp_term();
}

BENCHMARK(BM_ReaddirFnmatch)->Arg(0)->Name("dir10k/readdir+fnmatch");
BENCHMARK(BM_ReaddirFnmatch)->Arg(FNM_CASEFOLD)->Name("dir10k/readdir+fnmatch_casefold");
BENCHMARK(BM_PspIterator)->Name("dir10k/psp_pathOpen");

} // namespace

BENCHMARK_MAIN();
