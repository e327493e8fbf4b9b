#include "src/daemon/SignalHandlers.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "lib/log/log.h"
#include "lib/log/verify.h"
#include "lib/pollDefault/poll.h"
#include "src/process/SysProcess.h"

namespace {

SignalTargets installedTargets;
int signalFd = -1;

void Terminate() {
  if (installedTargets.beginShutdownOnce != nullptr && installedTargets.beginShutdownOnce() &&
      installedTargets.terminate != nullptr) {
    installedTargets.terminate();
  }
}

void Reload() {
  LogAtLevel(LOG_INFO, "Received a SIGHUP signal to reload Sentro configuration\n");
  if (installedTargets.reload != nullptr) {
    installedTargets.reload();
  }
}

void Dispatch(uint32_t signal) {
  switch (signal) {
    case SIGTERM:
    case SIGINT:
    case SIGQUIT:
      Terminate();
      break;
    case SIGCHLD:
      ReapChildren();
      break;
    case SIGHUP:
      Reload();
      break;
    default:
      break;
  }
}

// Runs whenever the descriptor is readable: every queued signal in turn.
void SignalReadable(void *clientData) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(clientData));
  for (;;) {
    struct signalfd_siginfo record;
    ssize_t count = read(fd, &record, sizeof record);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0 && errno == EAGAIN) {
      return;
    }
    if (count != static_cast<ssize_t>(sizeof record)) {
      LogAtLevel(LOG_ERROR, "Error reading from signal fd. Error: %s\n",
                 strerror(count < 0 ? errno : EIO));
      return;
    }
    Dispatch(record.ssi_signo);
  }
}

sigset_t HandledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGQUIT, SIGCHLD, SIGHUP}) {
    sigaddset(&set, signal);
  }
  return set;
}

}  // namespace

void InstallSignalHandling(const SignalTargets &targets) {
  installedTargets = targets;
  signal(SIGPIPE, SIG_IGN);
  sigset_t set = HandledSignals();
  sigprocmask(SIG_BLOCK, &set, nullptr);

  static std::once_flag created;
  std::call_once(created, [&set] { signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC); });
  // The daemon cannot see its children exit or be told to stop without it.
  VERIFY(signalFd >= 0);

  PollAddReader(SignalReadable, reinterpret_cast<void *>(static_cast<intptr_t>(signalFd)), signalFd,
                true);
}

int SignalDescriptor() {
  return signalFd;
}
