// One child process of the daemon: a service's main process, one of its
// helper commands, or a servlet container. Every program the daemon runs is
// started, watched, stopped and reaped through this interface; the fork/exec
// implementation is SysProcessImpl, and tests substitute their own.
//
// Everything here runs on the main thread, from event-loop callbacks.
// Callbacks are invoked synchronously, so a callback may call back into the
// same object (restart it from its exit callback, read a stream from a stream
// callback).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class SysProcess;

// Exit, core-dump and force-kill-time-out callbacks.
typedef void (*ProcessCallback)(SysProcess *process, void *context);
// Stream callbacks; stream 0 is standard output, stream 1 standard error.
typedef void (*ProcessStreamCallback)(SysProcess *process, int stream, void *context);

#define PROCESS_STREAM_STDOUT 0
#define PROCESS_STREAM_STDERR 1

// Exit code of a child whose set-up between fork and exec failed, or whose
// exec failed.
#define PROCESS_SETUP_FAILED_EXIT_CODE 254

// Resource limits applied in the child before it runs as its user.
struct ProcessLimits {
  // When non-empty, the child joins the cgroup v1 accounting groups of this
  // service ("memory", "cpuacct", "blkio").
  std::string serviceName;
  // RLIMIT_NOFILE soft limit; 0 leaves the limit alone.
  uint64_t fdLimit = 0;
  // Written to the service's memory cgroup; 0 sets none. Needs serviceName.
  uint64_t memoryLimitBytes = 0;
};

// What a caller fills in for SysProcess::Start. Empty texts mean "absent".
struct ProcessStartOptions {
  // 0 or more: the child is force-killed that many seconds after the start
  // and HasExecTimedOut() turns true. Negative: no limit.
  int32_t execTimeoutSec = -1;
  // Empty keeps the daemon's own user.
  std::string runAsUser;
  // Empty keeps the daemon's working directory.
  std::string workingDir;
  // The child is sent SIGKILL when the daemon dies.
  bool killOnParentDeath = false;
  // Non-null: standard output is captured through a pipe.
  ProcessStreamCallback onStdout = nullptr;
  // Non-null: standard error is captured through a pipe.
  ProcessStreamCallback onStderr = nullptr;
  ProcessCallback onExit = nullptr;
  ProcessCallback onCoreDump = nullptr;
  // Non-empty: standard output is appended to base + ".stdout" and standard
  // error to base + ".stderr". A captured stream goes to its pipe instead.
  std::string stdStreamFileBase;
  void *context = nullptr;
  // Null for none. Only read during Start.
  const ProcessLimits *limits = nullptr;
};

class SysProcess {
 public:
  // Starts path (an absolute path, also passed as argument zero) with args
  // as arguments one onward and env (NAME=value entries) appended to the
  // inherited environment. False when the object already runs a child or
  // when no child could be forked.
  virtual bool Start(const std::string &path, const std::vector<std::string> &args,
                     const std::vector<std::string> &env, const ProcessStartOptions &options) = 0;
  virtual bool HasExited() = 0;
  virtual bool HasExecTimedOut() = 0;
  // The exit status of a child that exited normally; 1 for death by any
  // signal. Valid once HasExited() is true.
  virtual int GetExitCode() = 0;
  // Without force: StopWithSignal(timeoutSec, SIGTERM). With force: SIGKILL
  // at once (also while a clean stop is under way). A child that is already
  // gone counts as stopped.
  virtual bool Stop(bool force, int64_t timeoutSec) = 0;
  // Runs a stop command (never tracked, never waited for) and, when
  // timeoutSec >= 0, force-kills the child if it has not exited by then.
  virtual bool StopWithCommand(const std::string &path, const std::vector<std::string> &args,
                               int64_t timeoutSec) = 0;
  // Sends signal (-1: SIGTERM, after a warning) and, when timeoutSec >= 0,
  // force-kills the child if it has not exited by then.
  virtual bool StopWithSignal(int64_t timeoutSec, int signal) = 0;
  // Called when a forced kill has not been followed by the child's exit
  // within timeoutSec. Start clears it, so set it after each Start.
  virtual void SetForceKillTimeoutCallback(ProcessCallback callback, int64_t timeoutSec) = 0;
  // Kills the child and forgets it: no exit callback follows.
  virtual void CancelExecution() = 0;
  virtual int GetPid() = 0;
  // One non-blocking read from the capture pipe of stream 0 or 1: the byte
  // count, 0 at end of stream, -1 (errno set) when nothing is there or the
  // stream is not captured.
  virtual ssize_t ReadStream(int stream, void *buffer, size_t length) = 0;
  // Cancels a running child first.
  virtual ~SysProcess() = default;
};

// A fork/exec process object in state NotStarted; the caller owns it.
SysProcess *CreateSysProcess(const std::string &tag);

// Collects every exited child and delivers the exits of tracked ones. Run
// each time SIGCHLD is read from the signal descriptor.
void ReapChildren();

// A client reports that pid is dumping core: the owner's core-dump callback
// runs now, the exit follows later through ReapChildren.
void NotifyCoreDump(pid_t pid);
