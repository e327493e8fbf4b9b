// The fork/exec SysProcess: one child at a time, with its capture pipes and
// its three timers (exec time-out, clean-stop time-out, force-kill time-out).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "src/process/SysProcess.h"

enum class ProcessState : int32_t {
  NotStarted = 0,  // never started, or execution cancelled
  Running = 1,     // forked and not yet reaped
  Stopping = 2,    // a clean stop was sent (signal or stop command)
  Killing = 3,     // SIGKILL was sent
  Exited = 4,      // reaped; the exit code is valid
};

class SysProcessImpl : public SysProcess {
 public:
  explicit SysProcessImpl(const std::string &tag);
  ~SysProcessImpl() override;

  bool Start(const std::string &path, const std::vector<std::string> &args,
             const std::vector<std::string> &env, const ProcessStartOptions &options) override;
  bool HasExited() override { return state_ == ProcessState::Exited; }
  bool HasExecTimedOut() override { return execTimedOut_; }
  int GetExitCode() override { return exitCode_; }
  bool Stop(bool force, int64_t timeoutSec) override;
  bool StopWithCommand(const std::string &path, const std::vector<std::string> &args,
                       int64_t timeoutSec) override;
  bool StopWithSignal(int64_t timeoutSec, int signal) override;
  void SetForceKillTimeoutCallback(ProcessCallback callback, int64_t timeoutSec) override;
  void CancelExecution() override;
  int GetPid() override { return pid_; }
  ssize_t ReadStream(int stream, void *buffer, size_t length) override;

  ProcessState State() const { return state_; }

  // The reaper collected this object's child (already out of the process
  // table). The exit callback runs last, so it may restart or delete this.
  void HandleExit(int exitCode);
  // A client reported that the child is dumping core.
  void HandleCoreDump();

 private:
  void WatchStream(int stream);
  void UnwatchStream(int stream);
  void ClosePipe(int stream);
  void ArmExecTimer(int64_t seconds);
  void DisarmExecTimer();
  void ArmStopTimer(int64_t seconds);
  void DisarmStopTimer();
  void ArmForceKillTimer();
  void RemoveForceKillTimer();

  static void StdoutReadable(void *clientData);
  static void StderrReadable(void *clientData);
  static void ExecTimerFired(void *clientData);
  static void StopTimerFired(void *clientData);
  static void ForceKillTimerFired(void *clientData);

  pid_t pid_ = 0;
  ProcessState state_ = ProcessState::NotStarted;
  int32_t exitCode_ = 0;
  bool execTimedOut_ = false;
  bool execTimerArmed_ = false;
  bool stopTimerArmed_ = false;
  ProcessCallback onExit_ = nullptr;
  ProcessCallback onCoreDump_ = nullptr;
  int stdoutFd_ = -1;
  ProcessStreamCallback onStdout_ = nullptr;
  int stderrFd_ = -1;
  ProcessStreamCallback onStderr_ = nullptr;
  int64_t forceKillTimeoutSec_ = 0;
  ProcessCallback onForceKillTimeout_ = nullptr;
  void *context_ = nullptr;
  std::string tag_;

  // Whether the force-kill timer is registered, so that two forced stops
  // never leave two timers behind.
  bool forceKillTimerArmed_ = false;
  // Whether each capture pipe is registered with the event loop; a pipe that
  // reached end of stream is not, so the loop does not spin on it.
  bool streamWatched_[2] = {false, false};
};
