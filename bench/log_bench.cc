// Lines per second of LogAtLevel into the file output, beside a baseline of
// plain write(2) calls of the same, already formatted lines to a file of the
// same directory. The ratio of the two is printed at the end (target >= 0.6).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/log/log.h"

namespace {

std::string benchDir;
double logLinesPerSecond = 0;
double writeLinesPerSecond = 0;

const char lineFormat[] = "Received start request for service-%05d on the control socket\n";

double LinesPerSecond(benchmark::State &state, std::chrono::steady_clock::time_point start) {
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.SetItemsProcessed(state.iterations());
  return seconds > 0 ? state.iterations() / seconds : 0;
}

void BM_LogAtLevelToFile(benchmark::State &state) {
  LogDict options;
  options.Set("log.fileName", benchDir + "/sentro.log");
  options.SetInt("log.throttleBytesPerSec", 0);  // measure writing, not throttling
  options.SetInt("log.keepOld", 0);
  LogOutput *output = CreateFileOutput("sentro", "file", &options, nullptr);
  if (output == nullptr || !InstallOutput(output)) {
    state.SkipWithError("cannot create the file output");
    return;
  }
  Log("opening the log file");
  int i = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    LogAtLevel(LOG_INFO, lineFormat, i++ & 0xFFFF);
  }
  logLinesPerSecond = LinesPerSecond(state, start);
  RemoveOutput(output);
}

void BM_PlainWriteBaseline(benchmark::State &state) {
  // The same lines with the prefix the file output gives them.
  std::vector<std::string> lines;
  for (int i = 0; i < 1024; ++i) {
    char line[256];
    snprintf(line, sizeof line, "2026-01-31T08:15:42.117Z In(05) host-%d ", getpid());
    std::string text = line;
    snprintf(line, sizeof line, lineFormat, i);
    lines.push_back(text + line);
  }
  std::string path = benchDir + "/baseline.log";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    state.SkipWithError("cannot open the baseline file");
    return;
  }
  size_t i = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const std::string &line = lines[i++ & 1023];
    benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
  }
  writeLinesPerSecond = LinesPerSecond(state, start);
  close(fd);
}

BENCHMARK(BM_PlainWriteBaseline);
BENCHMARK(BM_LogAtLevelToFile);

}  // namespace

int main(int argc, char **argv) {
  char pattern[] = "/tmp/sentro-logbench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  benchDir = pattern;
  setenv("TMPDIR", benchDir.c_str(), 1);  // the per-user safe log directory goes here too
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (writeLinesPerSecond > 0 && logLinesPerSecond > 0) {
    printf(
        "LogAtLevel to file: %.0f lines/s; plain write(2): %.0f lines/s; ratio %.2f (target >= "
        "0.60)\n",
        logLinesPerSecond, writeLinesPerSecond, logLinesPerSecond / writeLinesPerSecond);
  }
  std::error_code ignored;
  std::filesystem::remove_all(benchDir, ignored);
  return 0;
}
