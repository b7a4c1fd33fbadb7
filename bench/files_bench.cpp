// Whole-file copy and compare on a warm page cache: psp_fileCopy and
// psp_fileCmp against plain pread/pwrite/memcmp loops with 64 KiB buffers,
// doing the same job in the same run. Copies go onto an identical file and
// onto one with one byte changed per MiB (changed again, untimed, before
// every iteration); the baseline rewrites every 64 KiB span that differs.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "psp.h"

namespace {

constexpr size_t kSize = 64u << 20;
constexpr size_t kBuffer = 64u << 10;

struct Files {
  std::string dir, src, dst;
  Files() {
    char tmpl[] = "/tmp/psp_bench_XXXXXX";
    dir = mkdtemp(tmpl);
    src = dir + "/src", dst = dir + "/dst";
    std::vector<char> bytes(kSize);
    for (size_t i = 0; i < kSize; ++i)
      bytes[i] = static_cast<char>(i * 2654435761u >> 13);
    for (const std::string &name : {src, dst}) {
      int fd = open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
      if (pwrite(fd, bytes.data(), kSize, 0) != static_cast<ssize_t>(kSize))
        std::abort();
      close(fd);
    }
  }
  ~Files() { std::system(("rm -rf " + dir).c_str()); }
  // One byte per MiB of the destination made to differ from the source.
  void dirty() const {
    int fd = open(dst.c_str(), O_RDWR);
    for (size_t at = 12345; at < kSize; at += 1u << 20) {
      char c;
      if (pread(fd, &c, 1, at) != 1)
        std::abort();
      c = static_cast<char>(~c);
      if (pwrite(fd, &c, 1, at) != 1)
        std::abort();
    }
    close(fd);
  }
};

const Files &files() {
  static Files f;
  return f;
}

bool readFull(int fd, char *buf, size_t n, off_t at) {
  return pread(fd, buf, n, at) == static_cast<ssize_t>(n);
}

int plainCopy(const char *from, const char *to) {
  static char a[kBuffer], b[kBuffer];
  int in = open(from, O_RDONLY), out = open(to, O_RDWR | O_CREAT, 0644);
  for (off_t at = 0; at < static_cast<off_t>(kSize); at += kBuffer) {
    if (!readFull(in, a, kBuffer, at))
      std::abort();
    if (!readFull(out, b, kBuffer, at) || std::memcmp(a, b, kBuffer) != 0)
      if (pwrite(out, a, kBuffer, at) != static_cast<ssize_t>(kBuffer))
        std::abort();
  }
  close(out);
  close(in);
  return 0;
}

int plainCompare(const char *first, const char *second) {
  static char a[kBuffer], b[kBuffer];
  int x = open(first, O_RDONLY), y = open(second, O_RDONLY);
  int differ = 0;
  for (off_t at = 0; at < static_cast<off_t>(kSize) && !differ; at += kBuffer)
    differ = !readFull(x, a, kBuffer, at) || !readFull(y, b, kBuffer, at) ||
             std::memcmp(a, b, kBuffer) != 0;
  close(y);
  close(x);
  return differ;
}

template <bool Psp, bool Dirty> void BM_Copy(benchmark::State &state) {
  psp_init();
  const Files &f = files();
  for (auto _ : state) {
    if (Dirty) {
      state.PauseTiming();
      f.dirty();
      state.ResumeTiming();
    }
    int rc =
        Psp ? psp_fileCopy(f.src.c_str(), f.dst.c_str()) : plainCopy(f.src.c_str(), f.dst.c_str());
    if (rc != 0)
      state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
  psp_term();
}

template <bool Psp> void BM_Compare(benchmark::State &state) {
  psp_init();
  const Files &f = files();
  psp_fileCopy(f.src.c_str(), f.dst.c_str());
  for (auto _ : state) {
    int rc = Psp ? psp_fileCmp(f.src.c_str(), f.dst.c_str())
                 : plainCompare(f.src.c_str(), f.dst.c_str());
    if (rc != 0)
      state.SkipWithError("files differ");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
  psp_term();
}

BENCHMARK(BM_Copy<false, false>)->Name("copy_identical/plain")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy<true, false>)->Name("copy_identical/psp")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy<false, true>)->Name("copy_byte_per_MiB/plain")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy<true, true>)->Name("copy_byte_per_MiB/psp")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compare<false>)->Name("compare_identical/plain")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compare<true>)->Name("compare_identical/psp")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
