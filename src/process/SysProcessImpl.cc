#include "src/process/SysProcessImpl.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/process/ProcessTable.h"
#include "src/process/SpawnChild.h"

namespace {

int64_t SecondsToMicros(int64_t seconds) {
  constexpr int64_t kMicrosPerSecond = 1000000;
  constexpr int64_t kMaxSeconds = INT64_MAX / kMicrosPerSecond;
  return (seconds > kMaxSeconds ? kMaxSeconds : seconds) * kMicrosPerSecond;
}

void CloseCapturePipes(const CapturePipes &pipes) {
  for (int fd :
       {pipes.stdoutPipe[0], pipes.stdoutPipe[1], pipes.stderrPipe[0], pipes.stderrPipe[1]}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

}  // namespace

SysProcess *CreateSysProcess(const std::string &tag) {
  return new SysProcessImpl(tag);
}

SysProcessImpl::SysProcessImpl(const std::string &tag) : tag_(tag) {}

SysProcessImpl::~SysProcessImpl() {
  CancelExecution();
  // Nothing may fire for this object once it is gone.
  DisarmExecTimer();
  DisarmStopTimer();
  RemoveForceKillTimer();
}

bool SysProcessImpl::Start(const std::string &path, const std::vector<std::string> &args,
                           const std::vector<std::string> &env,
                           const ProcessStartOptions &options) {
  if (state_ != ProcessState::NotStarted && state_ != ProcessState::Exited) {
    return false;
  }
  ClosePipe(PROCESS_STREAM_STDOUT);
  ClosePipe(PROCESS_STREAM_STDERR);

  CapturePipes pipes;
  if (options.onStdout != nullptr && pipe2(pipes.stdoutPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    LogAtLevel(LOG_ERROR, "<%s> stdout pipe creation failed. %s\n", tag_.c_str(), strerror(errno));
    return false;
  }
  if (options.onStderr != nullptr && pipe2(pipes.stderrPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    LogAtLevel(LOG_ERROR, "<%s> stderr pipe creation failed. %s\n", tag_.c_str(), strerror(errno));
    CloseCapturePipes(pipes);
    return false;
  }
  pid_t pid = SpawnChild(tag_, path, args, env, options, pipes);
  if (pid == -1) {
    CloseCapturePipes(pipes);
    return false;
  }

  pid_ = pid;
  state_ = ProcessState::Running;
  exitCode_ = 0;
  execTimedOut_ = false;
  onExit_ = options.onExit;
  onCoreDump_ = options.onCoreDump;
  onStdout_ = options.onStdout;
  onStderr_ = options.onStderr;
  context_ = options.context;
  onForceKillTimeout_ = nullptr;

  if (onStdout_ != nullptr) {
    close(pipes.stdoutPipe[1]);
    stdoutFd_ = pipes.stdoutPipe[0];
    WatchStream(PROCESS_STREAM_STDOUT);
  }
  if (onStderr_ != nullptr) {
    close(pipes.stderrPipe[1]);
    stderrFd_ = pipes.stderrPipe[0];
    WatchStream(PROCESS_STREAM_STDERR);
  }
  ProcessTableInsert(pid_, this);
  if (options.execTimeoutSec >= 0) {
    ArmExecTimer(options.execTimeoutSec);
  }
  return true;
}

bool SysProcessImpl::Stop(bool force, int64_t timeoutSec) {
  bool allowed = state_ == ProcessState::Running || (state_ == ProcessState::Stopping && force);
  if (!allowed) {
    return false;
  }
  LogAtLevel(LOG_DEBUG, "<%s> Stopping pid %d, force=%d, timeout=%ld\n", tag_.c_str(), pid_, force,
             static_cast<long>(timeoutSec));
  if (!force) {
    return StopWithSignal(timeoutSec, SIGTERM);
  }
  state_ = ProcessState::Killing;
  DisarmStopTimer();
  DisarmExecTimer();
  bool stopped = true;
  if (kill(pid_, SIGKILL) != 0) {
    int err = errno;
    LogAtLevel(LOG_DEBUG, "<%s> The process we are trying to kill is already gone. %s\n",
               tag_.c_str(), strerror(err));
    stopped = err == ESRCH;
  }
  // Armed even when the kill failed: the owner still hears that the child
  // did not go away in time.
  if (onForceKillTimeout_ != nullptr) {
    ArmForceKillTimer();
  }
  return stopped;
}

bool SysProcessImpl::StopWithSignal(int64_t timeoutSec, int signal) {
  if (state_ != ProcessState::Running) {
    return false;
  }
  if (signal == -1) {
    LogAtLevel(LOG_WARNING,
               "<%s> Found empty StopSignal parameter in config file. Defaulting to SIGTERM\n",
               tag_.c_str());
    signal = SIGTERM;
  }
  LogAtLevel(LOG_DEBUG, "<%s> Using signal %d to stop the process cleanly. Timeout: %ld\n",
             tag_.c_str(), signal, static_cast<long>(timeoutSec));
  if (kill(pid_, signal) != 0) {
    int err = errno;
    LogAtLevel(LOG_DEBUG, "<%s> The process we are trying to kill is already gone. %s\n",
               tag_.c_str(), strerror(err));
    return err == ESRCH;
  }
  state_ = ProcessState::Stopping;
  if (timeoutSec >= 0) {
    ArmStopTimer(timeoutSec);
  }
  return true;
}

bool SysProcessImpl::StopWithCommand(const std::string &path, const std::vector<std::string> &args,
                                     int64_t timeoutSec) {
  if (state_ != ProcessState::Running) {
    return false;
  }
  LogAtLevel(LOG_DEBUG, "<%s> Stopping process %d with stop command.\n", tag_.c_str(), pid_);
  // The stop command is not tracked: its exit is reported as untracked.
  if (SpawnChild(tag_, path, args, {}, ProcessStartOptions(), CapturePipes()) == -1) {
    LogAtLevel(LOG_ERROR, "<%s> Fork failed. Error: %s\n", tag_.c_str(), strerror(errno));
    return false;
  }
  state_ = ProcessState::Stopping;
  if (timeoutSec >= 0) {
    ArmStopTimer(timeoutSec);
  }
  return true;
}

void SysProcessImpl::SetForceKillTimeoutCallback(ProcessCallback callback, int64_t timeoutSec) {
  onForceKillTimeout_ = callback;
  forceKillTimeoutSec_ = timeoutSec;
}

void SysProcessImpl::CancelExecution() {
  if (state_ == ProcessState::NotStarted) {
    return;
  }
  if (state_ != ProcessState::Exited) {
    LogAtLevel(LOG_INFO, "<%s> Cancelling execution of pid %d\n", tag_.c_str(), pid_);
    ProcessTableRemove(pid_);
    Stop(true, 0);
    if (onForceKillTimeout_ != nullptr) {
      RemoveForceKillTimer();
    }
    state_ = ProcessState::NotStarted;
  }
  ClosePipe(PROCESS_STREAM_STDOUT);
  ClosePipe(PROCESS_STREAM_STDERR);
}

ssize_t SysProcessImpl::ReadStream(int stream, void *buffer, size_t length) {
  int fd = stream == PROCESS_STREAM_STDOUT   ? stdoutFd_
           : stream == PROCESS_STREAM_STDERR ? stderrFd_
                                             : -1;
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  ssize_t count = read(fd, buffer, length);
  if (count == 0) {
    // End of stream stays readable for ever; stop watching it. The pipe
    // itself is closed when the child is reaped.
    UnwatchStream(stream);
  }
  return count;
}

void SysProcessImpl::HandleExit(int exitCode) {
  exitCode_ = exitCode;
  state_ = ProcessState::Exited;
  LogAtLevel(LOG_DEBUG, "<%s> Pid %d exited with exit code %d\n", tag_.c_str(), pid_, exitCode);
  DisarmStopTimer();
  DisarmExecTimer();
  if (onForceKillTimeout_ != nullptr) {
    RemoveForceKillTimer();
  }
  // One last call per captured stream lets the owner drain its pipe.
  if (onStdout_ != nullptr) {
    onStdout_(this, PROCESS_STREAM_STDOUT, context_);
    ClosePipe(PROCESS_STREAM_STDOUT);
  }
  if (onStderr_ != nullptr) {
    onStderr_(this, PROCESS_STREAM_STDERR, context_);
    ClosePipe(PROCESS_STREAM_STDERR);
  }
  if (onExit_ != nullptr) {
    onExit_(this, context_);
  }
}

void SysProcessImpl::HandleCoreDump() {
  if (onCoreDump_ != nullptr) {
    onCoreDump_(this, context_);
  }
}

void SysProcessImpl::WatchStream(int stream) {
  bool isStdout = stream == PROCESS_STREAM_STDOUT;
  int fd = isStdout ? stdoutFd_ : stderrFd_;
  PollerFunction readable = isStdout ? StdoutReadable : StderrReadable;
  streamWatched_[stream] = PollAddReader(readable, this, fd, true) == POLL_OK;
}

void SysProcessImpl::UnwatchStream(int stream) {
  if (streamWatched_[stream]) {
    PollRemoveReader(stream == PROCESS_STREAM_STDOUT ? StdoutReadable : StderrReadable, this, true);
    streamWatched_[stream] = false;
  }
}

void SysProcessImpl::ClosePipe(int stream) {
  bool isStdout = stream == PROCESS_STREAM_STDOUT;
  ProcessStreamCallback &callback = isStdout ? onStdout_ : onStderr_;
  int &fd = isStdout ? stdoutFd_ : stderrFd_;
  if (callback == nullptr) {
    return;
  }
  UnwatchStream(stream);
  if (fd >= 0) {
    close(fd);
  }
  callback = nullptr;
  fd = -1;
}

void SysProcessImpl::StdoutReadable(void *clientData) {
  auto *process = static_cast<SysProcessImpl *>(clientData);
  if (process->onStdout_ != nullptr) {
    process->onStdout_(process, PROCESS_STREAM_STDOUT, process->context_);
  }
}

void SysProcessImpl::StderrReadable(void *clientData) {
  auto *process = static_cast<SysProcessImpl *>(clientData);
  if (process->onStderr_ != nullptr) {
    process->onStderr_(process, PROCESS_STREAM_STDERR, process->context_);
  }
}

void SysProcessImpl::ArmExecTimer(int64_t seconds) {
  if (!execTimerArmed_) {
    execTimerArmed_ =
        PollAddTimer(ExecTimerFired, this, SecondsToMicros(seconds), false, nullptr) == POLL_OK;
  }
}

void SysProcessImpl::DisarmExecTimer() {
  if (execTimerArmed_) {
    PollRemoveTimer(ExecTimerFired, this, false);
    execTimerArmed_ = false;
  }
}

void SysProcessImpl::ArmStopTimer(int64_t seconds) {
  if (!stopTimerArmed_) {
    stopTimerArmed_ =
        PollAddTimer(StopTimerFired, this, SecondsToMicros(seconds), false, nullptr) == POLL_OK;
  }
}

void SysProcessImpl::DisarmStopTimer() {
  if (stopTimerArmed_) {
    PollRemoveTimer(StopTimerFired, this, false);
    stopTimerArmed_ = false;
  }
}

void SysProcessImpl::ArmForceKillTimer() {
  RemoveForceKillTimer();
  forceKillTimerArmed_ =
      PollAddTimer(ForceKillTimerFired, this, SecondsToMicros(forceKillTimeoutSec_), false,
                   nullptr) == POLL_OK;
}

void SysProcessImpl::RemoveForceKillTimer() {
  if (forceKillTimerArmed_) {
    PollRemoveTimer(ForceKillTimerFired, this, false);
    forceKillTimerArmed_ = false;
  }
}

void SysProcessImpl::ExecTimerFired(void *clientData) {
  auto *process = static_cast<SysProcessImpl *>(clientData);
  process->execTimerArmed_ = false;  // a one-shot timer is gone once it fires
  LogAtLevel(LOG_WARNING, "<%s> SysProcess exec timed out. Force kill. Pid %d\n",
             process->tag_.c_str(), process->pid_);
  process->Stop(true, 0);
  process->execTimedOut_ = true;
}

void SysProcessImpl::StopTimerFired(void *clientData) {
  auto *process = static_cast<SysProcessImpl *>(clientData);
  process->stopTimerArmed_ = false;
  LogAtLevel(LOG_WARNING, "<%s> Sysprocess clean stop timed out. Force kill. Pid %d\n",
             process->tag_.c_str(), process->pid_);
  process->Stop(true, 0);
}

void SysProcessImpl::ForceKillTimerFired(void *clientData) {
  auto *process = static_cast<SysProcessImpl *>(clientData);
  process->forceKillTimerArmed_ = false;
  if (process->onForceKillTimeout_ != nullptr) {
    process->onForceKillTimeout_(process, process->context_);
  }
}
