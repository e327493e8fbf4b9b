// Time from SIGKILL of a service process until the daemon's replacement has
// exec'd, on the real daemon in a sandbox (SENTRO_SYSROOT set by the harness)
// with one service and the default crash actions. Baseline: the same service
// program started by a plain fork+execve from this process.
//
// The service is a small script that writes its pid into a FIFO the
// benchmark reads, then execs sleep; the pid line marks the exec.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/SandboxDaemon.h"
#include "tools/sentroctl/ControlCalls.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kRounds = 20;
const char kServiceScript[] =
    "#!/bin/sh\n"
    "echo $$ > \"$1\"\n"
    "exec sleep 1000\n";

// Reads pid lines from the FIFO; returns the first pid other than old, or 0
// after the time-out.
pid_t ReadNewPid(int fifo, pid_t old, int timeoutMs) {
  static std::string pending;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      pid_t pid = static_cast<pid_t>(atoi(pending.substr(0, newline).c_str()));
      pending.erase(0, newline + 1);
      if (pid > 0 && pid != old) {
        return pid;
      }
    }
    struct pollfd ready = {fifo, POLLIN, 0};
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (poll(&ready, 1, std::max(left, 1)) > 0) {
      char buffer[256];
      ssize_t n = read(fifo, buffer, sizeof buffer);
      if (n > 0) {
        pending.append(buffer, static_cast<size_t>(n));
      }
    }
  }
  return 0;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Micros(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

// Baseline: fork+execve of the script, timed to its pid line.
std::vector<double> BaselineSamples(const std::string &script, const std::string &fifoPath,
                                    int fifo) {
  std::vector<double> samples;
  for (int round = 0; round < kRounds; round++) {
    auto start = Clock::now();
    pid_t child = fork();
    if (child == 0) {
      execl(script.c_str(), script.c_str(), fifoPath.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    if (ReadNewPid(fifo, 0, 2000) != child) {
      fprintf(stderr, "baseline child %d did not report\n", child);
    } else {
      samples.push_back(Micros(start, Clock::now()));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  return samples;
}

bool WaitStarted(const std::string &socketPath, pid_t pid) {
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < deadline) {
    SvcStatePayload status;
    CallTarget target{socketPath, Clock::now() + std::chrono::seconds(2)};
    if (CallForState(target, "victim", &status).succeeded() && status.state == 2 &&
        static_cast<pid_t>(status.pid) == pid) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace

int main() {
  SandboxDaemon daemon;
  if (daemon.sysroot().empty()) {
    fprintf(stderr, "refusing to run the daemon without a sysroot\n");
    return 1;
  }
  std::string script = daemon.Root("victim.sh");
  std::string fifoPath = daemon.Root("pids");
  WriteFile(script, kServiceScript);
  chmod(script.c_str(), 0755);
  if (mkfifo(fifoPath.c_str(), 0600) != 0) {
    perror("mkfifo");
    return 1;
  }
  // Read-write, so that writers never block on open and no EOF is seen.
  int fifo = open(fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fifo < 0) {
    perror("open fifo");
    return 1;
  }

  std::vector<double> baseline = BaselineSamples(script, fifoPath, fifo);

  daemon.WriteConfig("{\"EnableLivenessCheck\": false}");
  daemon.WriteProfiles("{}");
  daemon.WriteService("victim.json",
                      "{\"Name\": \"victim\", \"StartupType\": \"MANUAL\", \"StartCommand\": \"" +
                          script + "\", \"StartCommandArgs\": [\"" + fifoPath + "\"]}");
  daemon.Start();
  if (daemon.pid() <= 0 || !daemon.WaitForLog("Sentro service is running in")) {
    fprintf(stderr, "daemon did not come up\n%s\n", daemon.LogText().c_str());
    return 1;
  }
  std::string socketPath = daemon.dataDir() + "/sentroserver";
  RequestMessage start;
  start.type = MessageType::StartSvcReq;
  start.name = "victim";
  if (!CallForResult(CallTarget{socketPath, Clock::now() + std::chrono::seconds(10)}, start)
           .succeeded()) {
    fprintf(stderr, "service did not start\n");
    return 1;
  }
  pid_t pid = ReadNewPid(fifo, 0, 2000);
  std::vector<double> restarts;
  for (int round = 0; round < kRounds && pid > 0; round++) {
    if (!WaitStarted(socketPath, pid)) {
      fprintf(stderr, "round %d: service %d not started\n", round, pid);
      break;
    }
    auto killed = Clock::now();
    kill(pid, SIGKILL);
    pid_t next = ReadNewPid(fifo, pid, 3000);
    if (next == 0) {
      fprintf(stderr, "round %d: no new process\n", round);
      break;
    }
    restarts.push_back(Micros(killed, Clock::now()));
    pid = next;
  }
  daemon.Signal(SIGTERM);
  int status = daemon.WaitExit();
  close(fifo);

  if (baseline.empty() || restarts.size() != static_cast<size_t>(kRounds)) {
    fprintf(stderr, "incomplete run: %zu baseline, %zu restarts\n", baseline.size(),
            restarts.size());
    return 1;
  }
  double restartMedian = Median(restarts);
  double baselineMedian = Median(baseline);
  printf("restart after SIGKILL to exec: median %.0f us, min %.0f us, max %.0f us (%d rounds)\n",
         restartMedian, *std::min_element(restarts.begin(), restarts.end()),
         *std::max_element(restarts.begin(), restarts.end()), kRounds);
  printf("baseline fork+exec to exec:    median %.0f us\n", baselineMedian);
  printf("ratio restart/baseline:        %.2f\n", restartMedian / baselineMedian);
  printf("target median <= 20000 us:     %s\n", restartMedian <= 20000 ? "met" : "MISSED");
  printf("daemon exit status:            %d\n", status);
  return 0;
}
