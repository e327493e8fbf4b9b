#include "process/ProcessTestSupport.h"

#include <gtest/gtest.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "lib/pollDefault/poll.h"
#include "src/core/SysPaths.h"
#include "src/process/ProcessTable.h"
#include "support/LogCapture.h"
#include "support/TestClock.h"
#include "support/WaitUntil.h"

namespace {

TestClock *testClock = nullptr;

void ChildSignalReadable(void *clientData) {
  struct signalfd_siginfo record;
  while (read(static_cast<int>(reinterpret_cast<intptr_t>(clientData)), &record, sizeof record) ==
         static_cast<ssize_t>(sizeof record)) {
    ReapChildren();
  }
}

// Once per test program: the clock, the loop, the process table and SIGCHLD
// on a signal descriptor, as the daemon has them.
class LoopEnvironment : public ::testing::Environment {
  void SetUp() override {
    testClock = new TestClock();
    PollInstallDefault();
    CreateProcessTable();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    PollAddReader(ChildSignalReadable, reinterpret_cast<void *>(intptr_t{fd}), fd, true);
  }
};

[[maybe_unused]] auto *const environment = ::testing::AddGlobalTestEnvironment(new LoopEnvironment);

ProcessEvents &Events(void *context) {
  return *static_cast<ProcessEvents *>(context);
}

}  // namespace

bool RunLoopUntil(const std::function<bool()> &done, int timeoutMs) {
  volatile uint8_t never = 0;
  auto turn = [&] {
    PollRun(false, &never, POLL_CLASS_MAIN, 1000);  // one turn, at most 1 ms of waiting
    return done();
  };
  return done() || WaitUntil(turn, std::chrono::milliseconds(timeoutMs), {});
}

void AdvanceClock(int64_t seconds) {
  testClock->AdvanceMicros(seconds * 1000000);
}

bool Logged(const std::string &text) {
  for (const CapturedMessage &message : CapturedMessages()) {
    if (message.text.find(text) != std::string::npos) return true;
  }
  return false;
}

void UseSysroot(const char *dir) {
  dir != nullptr ? setenv("SENTRO_SYSROOT", dir, 1) : unsetenv("SENTRO_SYSROOT");
  SysrootReset();
}

std::string WithPid(std::string text, int pid) {
  for (size_t at; (at = text.find("{pid}")) != std::string::npos;) {
    text.replace(at, 5, std::to_string(pid));
  }
  return text;
}

ProcessStartOptions ProcessEvents::Wire(ProcessStartOptions options, bool out, bool err) {
  options.onExit = [](SysProcess *process, void *context) {
    Events(context).exits++;
    Events(context).exitCodeAtExit = process->GetExitCode();
  };
  options.onCoreDump = [](SysProcess *, void *context) { Events(context).coreDumps++; };
  ProcessStreamCallback read = [](SysProcess *process, int stream, void *context) {
    char buf[4096];
    Events(context).streamCalls++;
    for (ssize_t count; (count = process->ReadStream(stream, buf, sizeof buf)) > 0;) {
      Events(context).output[stream].append(buf, static_cast<size_t>(count));
    }
  };
  options.onStdout = out ? read : nullptr;
  options.onStderr = err ? read : nullptr;
  options.context = this;
  return options;
}

void RecordForceKillTimeout(SysProcess *, void *context) {
  Events(context).forceKillTimeouts++;
}
