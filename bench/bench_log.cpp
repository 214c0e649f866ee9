// Logging throughput: texts per second through osl_log_info to a file target beside a plain
// loop of write() calls of the same texts (one write per text, the floor for an unbuffered
// log), the cost of each further target, and the cost of a call that its threshold filters out.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "osl_log.h"

namespace {

// 64 bytes with its line feed: a typical log line.
constexpr char kText[] = "[bench] connection 17 state changed from idle to busy, queue 3\n";
constexpr uint32_t kRotateAt = 16u << 20;  // both loops start over every 16 MiB

struct BenchDir {
  std::string path;
  BenchDir() {
    char tmpl[] = "/tmp/oslbench.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path = tmpl;
  }
  ~BenchDir() {
    if (!path.empty()) {
      std::string cmd = "rm -rf '" + path + "'";
      if (system(cmd.c_str()) != 0) { /* best effort */ }
    }
  }
};

// Logging to a fresh file under a BenchDir for the scope's life; the warning level returns after.
// With a path, logging to that file instead.
struct FileTarget {
  BenchDir dir;
  bool ok;
  explicit FileTarget(const char *path = nullptr) {
    const std::string url = "file://" + (path != nullptr ? path : dir.path + "/osl.log");
    osl_log_init(OSL_LOG_ALL);
    osl_log_set_max_logsize(kRotateAt);
    ok = osl_log_set_target(url.c_str()) == 0;
  }
  ~FileTarget() {
    osl_log_exit();
    osl_log_init(OSL_LOG_WARN);
  }
};

// One write() per line into a file under a BenchDir. With rotate, the log's own file handling:
// append mode, and every 16 MiB the file is moved to its .bak (replacing the older one) and
// started anew, so every write extends a file. Without, the floor: the file is rewound every
// 16 MiB, so after the first pass every write lands on pages already written. With measure,
// each line's length is taken with strlen as a loop handed C strings must, as the log does;
// without, the length is known before the loop.
void plain_write_loop(benchmark::State &state, bool rotate, bool measure = false) {
  BenchDir dir;
  const std::string file = dir.path + "/plain.log";
  const std::string bak = file + ".bak";
  const int flags =
      rotate ? O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC : O_CREAT | O_TRUNC | O_RDWR;
  int fd = open(file.c_str(), flags, 0664);
  if (fd < 0) {
    state.SkipWithError("cannot open the file");
    return;
  }
  const size_t len = strlen(kText);
  uint32_t written = 0;
  for (auto _ : state) {
    const char *text = kText;
    benchmark::DoNotOptimize(text);  // a text the loop does not know in advance
    const size_t n = measure ? strlen(text) : len;
    benchmark::DoNotOptimize(write(fd, text, n));
    written += static_cast<uint32_t>(n);
    if (written >= kRotateAt) {
      if (rotate) {
        close(fd);
        rename(file.c_str(), bak.c_str());
        fd = open(file.c_str(), flags, 0664);
      } else {
        lseek(fd, 0, SEEK_SET);
      }
      written = 0;
    }
  }
  close(fd);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(len));
}

void BM_PlainWrite(benchmark::State &state) { plain_write_loop(state, false); }
BENCHMARK(BM_PlainWrite);

void BM_PlainWriteRotated(benchmark::State &state) { plain_write_loop(state, true); }
BENCHMARK(BM_PlainWriteRotated);

void BM_PlainWriteRotatedStrlen(benchmark::State &state) { plain_write_loop(state, true, true); }
BENCHMARK(BM_PlainWriteRotatedStrlen);

void BM_LogInfoToFile(benchmark::State &state) {
  FileTarget target;
  if (!target.ok) {
    state.SkipWithError("cannot set the file target");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(osl_log_info("%s", kText));
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(strlen(kText)));
}
BENCHMARK(BM_LogInfoToFile);

// Both against /dev/null, where the write costs only the system call's entry and exit: the
// difference between them is the log's own cost per line.
void BM_PlainWriteDevNull(benchmark::State &state) {
  const int fd = open("/dev/null", O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(write(fd, kText, strlen(kText)));
  close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainWriteDevNull);

void BM_LogInfoToDevNull(benchmark::State &state) {
  FileTarget target("/dev/null");
  if (!target.ok) {
    state.SkipWithError("cannot set the file target");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(osl_log_info("%s", kText));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogInfoToDevNull);

// The cost of further targets: the first target and range(0) further ones, all /dev/null. The
// difference per further target over BM_LogInfoToDevNull is one write and the built text.
void BM_LogInfoToDevNullTargets(benchmark::State &state) {
  FileTarget target("/dev/null");
  bool ok = target.ok;
  for (int64_t i = 0; i < state.range(0); ++i) {
    ok = ok && osl_log_add_target("file:///dev/null", OSL_LOG_ALL) > 0;
  }
  if (!ok) {
    state.SkipWithError("cannot set the targets");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(osl_log_info("%s", kText));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogInfoToDevNullTargets)->Arg(0)->Arg(1)->Arg(2)->Arg(4);

// The same line built from a format with arguments, as real callers log.
void BM_LogInfoToFileFormatted(benchmark::State &state) {
  FileTarget target;
  if (!target.ok) {
    state.SkipWithError("cannot set the file target");
    return;
  }
  int32_t conn = 17;
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_log_info(
        "[bench] connection %d state changed from %s to %s, queue %d\n", conn, "idle", "busy", 3));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogInfoToFileFormatted);

// The same line from a format of plain text and "%s" conversions only, the commonest shape; to a
// file target (argument 0) or to /dev/null (1).
void BM_LogInfoPlainFormat(benchmark::State &state) {
  FileTarget target(state.range(0) != 0 ? "/dev/null" : nullptr);
  if (!target.ok) {
    state.SkipWithError("cannot set the file target");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_log_info(
        "[bench] connection %s state changed from %s to %s, queue %s\n", "17", "idle", "busy", "3"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogInfoPlainFormat)->Arg(0)->Arg(1);

// A debug call under the warning threshold: only the comparison should remain.
void BM_LogDebugFiltered(benchmark::State &state) {
  osl_log_init(OSL_LOG_WARN);
  int32_t conn = 17;
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_log_debug("[bench] connection %d state changed from %s to %s\n",
                                           conn, "idle", "busy"));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogDebugFiltered);

// A module call filtered by the module's own threshold.
void BM_LogModDebugFiltered(benchmark::State &state) {
  osl_log_init(OSL_LOG_ALL);
  const int32_t mod = osl_log_mod_create("bench", OSL_LOG_ERROR);
  int32_t conn = 17;
  for (auto _ : state) {
    benchmark::DoNotOptimize(osl_log_mod_debug(mod, "[bench] connection %d\n", conn));
    benchmark::ClobberMemory();
  }
  osl_log_init(OSL_LOG_WARN);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogModDebugFiltered);

}  // namespace

BENCHMARK_MAIN();
