// Text streams and logging against stdio in the same run: 1M lines of about
// 40 bytes written with psp_fputs / psp_fprintf and read back with psp_fgets
// against fputs / fprintf / fgets on a FILE *, and psp_log records to a file
// (the stdout sink silenced, every record flushed) against fprintf + fflush
// of the same stamped line, on one thread and on two.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "psp.h"

namespace {

constexpr int kLines = 1000000;

struct Dir {
  std::string path;
  Dir() {
    char tmpl[] = "/tmp/psp_sbench_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~Dir() { std::system(("rm -rf " + path).c_str()); }
  std::string at(const char *name) const { return path + "/" + name; }
};

Dir &dir() {
  static Dir d;
  return d;
}

const char *const kLine = "the quick brown fox jumps over 13 dogs\n"; // 39 bytes

void BM_PspFputs(benchmark::State &state) {
  const std::string name = dir().at("psp_lines.txt");
  for (auto _ : state) {
    PSP_STREAM s = psp_fopen(name.c_str(), "w", 1);
    for (int i = 0; i < kLines; ++i)
      psp_fputs(kLine, s);
    psp_fclose(s);
  }
  state.SetBytesProcessed(state.iterations() * kLines * 39);
}

void BM_StdioFputs(benchmark::State &state) {
  const std::string name = dir().at("stdio_lines.txt");
  for (auto _ : state) {
    FILE *f = std::fopen(name.c_str(), "w");
    for (int i = 0; i < kLines; ++i)
      std::fputs(kLine, f);
    std::fclose(f);
  }
  state.SetBytesProcessed(state.iterations() * kLines * 39);
}

void BM_PspFprintf(benchmark::State &state) {
  const std::string name = dir().at("psp_printf.txt");
  for (auto _ : state) {
    PSP_STREAM s = psp_fopen(name.c_str(), "w", 1);
    for (int i = 0; i < kLines; ++i)
      psp_fprintf(s, "line %d of the %s test\n", i, "formatted");
    psp_fclose(s);
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}

void BM_StdioFprintf(benchmark::State &state) {
  const std::string name = dir().at("stdio_printf.txt");
  for (auto _ : state) {
    FILE *f = std::fopen(name.c_str(), "w");
    for (int i = 0; i < kLines; ++i)
      std::fprintf(f, "line %d of the %s test\n", i, "formatted");
    std::fclose(f);
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}

// The file both readers read: kLines lines written by stdio, made once.
const std::string &linesFile() {
  static const std::string name = [] {
    std::string path = dir().at("lines.txt");
    FILE *f = std::fopen(path.c_str(), "w");
    for (int i = 0; i < kLines; ++i)
      std::fputs(kLine, f);
    std::fclose(f);
    return path;
  }();
  return name;
}

void BM_PspFgets(benchmark::State &state) {
  const std::string &name = linesFile();
  char line[128];
  for (auto _ : state) {
    PSP_STREAM s = psp_fopen(name.c_str(), "r", 0);
    if (s == nullptr) {
      state.SkipWithError("cannot open");
      break;
    }
    int n = 0;
    while (psp_fgets(line, sizeof line, s) != nullptr)
      ++n;
    psp_fclose(s);
    if (n != kLines)
      state.SkipWithError("short read");
  }
  state.SetBytesProcessed(state.iterations() * kLines * 39);
}

void BM_StdioFgets(benchmark::State &state) {
  const std::string &name = linesFile();
  char line[128];
  for (auto _ : state) {
    FILE *f = std::fopen(name.c_str(), "r");
    int n = 0;
    while (std::fgets(line, sizeof line, f) != nullptr)
      ++n;
    std::fclose(f);
    if (n != kLines)
      state.SkipWithError("short read");
  }
  state.SetBytesProcessed(state.iterations() * kLines * 39);
}

// One record per iteration; the log sink and the stdout sink are set up in main.
void BM_PspLog(benchmark::State &state) {
  int i = 0;
  for (auto _ : state)
    psp_log("record %d from thread %d: nothing went wrong\n", ++i, state.thread_index());
  state.SetItemsProcessed(state.iterations());
}

FILE *g_stdioLog;

void BM_FprintfFflush(benchmark::State &state) {
  int i = 0;
  for (auto _ : state) {
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm local;
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "[%F %T]", &local);
    std::fprintf(g_stdioLog, "%s  record %d from thread %d: nothing went wrong\n", stamp, ++i,
                 state.thread_index());
    std::fflush(g_stdioLog);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_PspFputs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdioFputs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PspFprintf)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdioFprintf)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PspFgets)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdioFgets)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PspLog)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_FprintfFflush)->Threads(1)->Threads(2)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (psp_init() != PSP_OKAY || psp_stdout_openEx(nullptr, nullptr) != PSP_OKAY ||
      psp_log_openEx(nullptr, dir().at("psp.log").c_str()) != PSP_OKAY)
    return 1;
  g_stdioLog = std::fopen(dir().at("stdio.log").c_str(), "w");
  benchmark::RunSpecifiedBenchmarks();
  std::fclose(g_stdioLog);
  psp_log_closeEx(nullptr);
  psp_stdout_closeEx(nullptr);
  psp_term();
  benchmark::Shutdown();
  return 0;
}
