// A SysProcess that runs nothing: it records what the Service asks of it, and
// the test decides when the "child" writes, exits or dumps core. Created by
// RecordingEnv, the env the Service tests give their services.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "src/process/SysProcess.h"

class FakeSysProcess : public SysProcess {
 public:
  enum class State { NotStarted, Running, Stopping, Killing, Exited };

  explicit FakeSysProcess(std::string tag);
  ~FakeSysProcess() override;

  bool Start(const std::string &path, const std::vector<std::string> &args,
             const std::vector<std::string> &env, const ProcessStartOptions &options) override;
  bool HasExited() override { return state == State::Exited; }
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

  // What the child does. Exit delivers pending output first, as the reaper
  // does; the object may be gone when it returns (a post-stop or route run).
  void Exit(int code);
  void ExecTimeout();  // the exec time-out killed the child
  void DumpCore();
  void ForceKillTimeout();
  void WriteStdout(const std::string &text) { pending[0] += text; }
  void WriteStderr(const std::string &text) { pending[1] += text; }
  bool IsRunning() const {
    return state == State::Running || state == State::Stopping || state == State::Killing;
  }

  std::string tag;
  State state = State::NotStarted;
  int pid = 0;
  int exitCode = 0;
  bool execTimedOut = false;
  int startCount = 0;
  std::string path;
  std::vector<std::string> args;
  std::vector<std::string> env;
  ProcessStartOptions options;  // limits points into `limits` below
  ProcessLimits limits;
  int signalStops = 0;
  int lastSignal = 0;
  int64_t lastStopTimeout = 0;
  int commandStops = 0;
  std::string stopCommand;
  std::vector<std::string> stopCommandArgs;
  int cancelCount = 0;
  ProcessCallback forceKillCallback = nullptr;
  int64_t forceKillTimeout = -1;
  std::string pending[2];
};

// The factory the Service tests install, and the world it keeps.
SysProcess *CreateFakeProcess(const std::string &tag);
// The newest live fake with this tag, or null.
FakeSysProcess *FindFake(const std::string &tag);
// How many fakes with this tag were ever created.
int FakesCreated(const std::string &tag);
// Start fails for fakes with these tags.
std::set<std::string> &FakeStartFailures();
// Forgets the counts and failures; live fakes stay registered.
void ResetFakeWorld();
