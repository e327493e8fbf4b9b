// Time from SysProcess::Start to the child's exec of /bin/true, beside a
// plain fork+execve, at a low and a high RLIMIT_NOFILE. The child's set-up
// must not grow with the descriptor limit (no close loop up to the limit).
//
// The exec is seen through a close-on-exec pipe the benchmark opens before
// the start: its write end is inherited by the child and disappears at exec.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/pollDefault/poll.h"
#include "src/process/ProcessTable.h"
#include "src/process/SysProcess.h"

extern char **environ;

namespace {

const char *const kTrue = "/bin/true";
std::map<std::string, std::vector<double>> samples;  // microseconds, by benchmark and limit

bool SetDescriptorLimit(rlim_t value) {
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = value;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < value) {
    limit.rlim_max = value;
  }
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Blocks until every write end of the pipe is gone.
void WaitForClose(int readFd) {
  char byte;
  while (read(readFd, &byte, 1) > 0) {
  }
}

double MicrosSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

std::string Key(const char *name, int64_t limit) {
  return std::string(name) + "/" + std::to_string(limit);
}

// One plain fork+execve; returns microseconds to the exec.
double PlainForkExec() {
  char *const argv[] = {const_cast<char *>(kTrue), nullptr};
  int execSeen[2];
  if (pipe2(execSeen, O_CLOEXEC) != 0) {
    return -1;
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    execve(kTrue, argv, environ);
    _exit(127);
  }
  close(execSeen[1]);
  WaitForClose(execSeen[0]);
  double micros = MicrosSince(start);
  close(execSeen[0]);
  waitpid(pid, nullptr, 0);
  return micros;
}

// One SysProcess::Start; returns microseconds to the exec.
double SysProcessStart(SysProcess *process) {
  int execSeen[2];
  if (pipe2(execSeen, O_CLOEXEC) != 0) {
    return -1;
  }
  auto start = std::chrono::steady_clock::now();
  bool started = process->Start(kTrue, {}, {}, ProcessStartOptions());
  close(execSeen[1]);
  WaitForClose(execSeen[0]);
  double micros = MicrosSince(start);
  close(execSeen[0]);
  if (!started) {
    return -1;
  }
  // Reap it (and release its report pipe) outside the measured time.
  siginfo_t info = {};
  waitid(P_PID, process->GetPid(), &info, WEXITED | WNOWAIT);
  ReapChildren();
  return micros;
}

// The two alternate, so that both see the same load on a shared machine;
// the reported time is Start's.
void BM_StartVersusForkExec(benchmark::State &state) {
  if (!SetDescriptorLimit(state.range(0))) {
    state.SkipWithError("raising RLIMIT_NOFILE is not permitted");
    return;
  }
  std::unique_ptr<SysProcess> process(CreateSysProcess("bench"));
  std::vector<double> &starts = samples[Key("start", state.range(0))];
  std::vector<double> &baselines = samples[Key("baseline", state.range(0))];
  for (auto _ : state) {
    double baseline = PlainForkExec();
    double start = SysProcessStart(process.get());
    if (baseline < 0 || start < 0) {
      state.SkipWithError("pipe2, fork or Start failed");
      break;
    }
    baselines.push_back(baseline);
    starts.push_back(start);
    state.SetIterationTime(start / 1e6);
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  PollInstallDefault();
  CreateProcessTable();

  struct rlimit own;
  getrlimit(RLIMIT_NOFILE, &own);
  std::vector<int64_t> limits = {1024, 1048576};
  // Where 1048576 cannot be had, the highest limit that can shows the same.
  if (own.rlim_max != RLIM_INFINITY && own.rlim_max > 1024 && own.rlim_max < 1048576) {
    limits.push_back(static_cast<int64_t>(own.rlim_max));
  }
  for (int64_t limit : limits) {
    benchmark::RegisterBenchmark("StartVersusForkExec", BM_StartVersusForkExec)
        ->Arg(limit)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond)
        ->Iterations(300);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nMedian time from start to exec (target ratio < 1.5):\n");
  for (int64_t limit : limits) {
    const std::vector<double> &start = samples[Key("start", limit)];
    const std::vector<double> &baseline = samples[Key("baseline", limit)];
    if (start.empty() || baseline.empty()) {
      std::printf("  RLIMIT_NOFILE %-8lld skipped (limit not permitted)\n",
                  static_cast<long long>(limit));
      continue;
    }
    double ratio = Median(start) / Median(baseline);
    std::printf("  RLIMIT_NOFILE %-8lld Start %8.1f us  fork+execve %8.1f us  ratio %.2f %s\n",
                static_cast<long long>(limit), Median(start), Median(baseline), ratio,
                ratio < 1.5 ? "ok" : "ABOVE TARGET");
  }
  return 0;
}
