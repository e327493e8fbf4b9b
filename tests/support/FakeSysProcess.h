// A SysProcess that runs nothing: it records what its owner asks of it, and
// the test decides when the "child" writes, exits or dumps core. RecordingEnv
// makes these for every process a Service asks for.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "src/process/SysProcess.h"

class FakeSysProcess : public SysProcess {
 public:
  explicit FakeSysProcess(std::string tag);
  ~FakeSysProcess() override;

  bool Start(const std::string &path, const std::vector<std::string> &args,
             const std::vector<std::string> &env, const ProcessStartOptions &options) override;
  bool HasExited() override { return exited; }
  bool HasExecTimedOut() override { return execTimedOut; }
  int GetExitCode() override { return exitCode; }
  bool Stop(bool force, int64_t timeoutSec) override;
  bool StopWithCommand(const std::string &path, const std::vector<std::string> &args,
                       int64_t timeoutSec) override;
  bool StopWithSignal(int64_t timeoutSec, int signal) override;
  void SetForceKillTimeoutCallback(ProcessCallback callback, int64_t timeoutSec) override;
  void CancelExecution() override;
  int GetPid() override { return pid; }
  ssize_t ReadStream(int stream, void *buffer, size_t length) override;

  // What the child does. Exit hands over pending output first, as the reaper
  // does; the object may be gone when it returns (a post-stop or route run).
  void Exit(int code, bool timedOut = false);
  void DumpCore();
  void ForceKillTimeout() { forceKillCallback(this, options.context); }
  void Write(int stream, const std::string &text) { pending[stream] += text; }

  std::string tag;
  bool running = false;
  bool exited = false;
  bool execTimedOut = false;
  int pid = 0;
  int exitCode = 0;
  int startCount = 0;
  int stopCount = 0;  // by signal, command or force
  int cancelCount = 0;
  int lastSignal = 0;
  int64_t lastStopTimeout = 0;
  std::string path;
  std::vector<std::string> args;
  std::string stopCommand;
  ProcessStartOptions options;  // options.limits points at limits
  ProcessLimits limits;
  ProcessCallback forceKillCallback = nullptr;
  int64_t forceKillTimeout = -1;
  std::string pending[2];
};

// The newest live fake with this tag, or null.
FakeSysProcess *FindFake(const std::string &tag);
// How many fakes with this tag were ever made since the last reset.
int FakesCreated(const std::string &tag);
// Start fails for fakes with these tags.
std::set<std::string> &FakeStartFailures();
// Forgets the counts and failures; live fakes stay known.
void ResetFakeWorld();
