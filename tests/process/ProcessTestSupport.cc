#include "process/ProcessTestSupport.h"

#include <gtest/gtest.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>

#include "lib/log/clock.h"
#include "lib/pollDefault/poll.h"
#include "src/process/ProcessTable.h"
#include "support/LogCapture.h"

namespace {

int64_t RealMicros() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

std::atomic<int64_t> clockOffsetMicros{0};

int64_t ShiftedClock() {
  return RealMicros() + clockOffsetMicros.load();
}

void ChildSignalReadable(void *clientData) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(clientData));
  struct signalfd_siginfo record;
  while (read(fd, &record, sizeof record) == static_cast<ssize_t>(sizeof record)) {
    ReapChildren();
  }
}

// Once per test program: the loop, the process table, SIGCHLD on a signal
// descriptor as the daemon has it, and the shifted clock.
class LoopEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ClockSetMonotonicSource(ShiftedClock);
    PollInstallDefault();
    CreateProcessTable();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    PollAddReader(ChildSignalReadable, reinterpret_cast<void *>(static_cast<intptr_t>(fd)), fd,
                  true);
  }
};

// Each test sees only its own messages.
class ClearLog : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo &) override { ClearCapturedMessages(); }
};

[[maybe_unused]] const int environmentAdded = [] {
  ::testing::AddGlobalTestEnvironment(new LoopEnvironment);
  ::testing::UnitTest::GetInstance()->listeners().Append(new ClearLog);
  return 0;
}();

void StopLoop(void *clientData) {
  *static_cast<volatile uint8_t *>(clientData) = 1;
}

}  // namespace

bool RunLoopUntil(const std::function<bool()> &done, int timeoutMs) {
  int64_t deadline = RealMicros() + timeoutMs * 1000LL;
  while (!done() && RealMicros() < deadline) {
    volatile uint8_t exitFlag = 0;
    // One pass of the loop at most a millisecond long.
    PollAddTimer(StopLoop, const_cast<uint8_t *>(&exitFlag), 1000, false, nullptr);
    PollRunMain(true, &exitFlag, POLL_CLASS_MAIN);
    PollRemoveTimer(StopLoop, const_cast<uint8_t *>(&exitFlag), false);
  }
  return done();
}

void RunLoopFor(int ms) {
  int64_t deadline = RealMicros() + ms * 1000LL;
  RunLoopUntil([deadline] { return RealMicros() >= deadline; }, ms + 1000);
}

void AdvanceClock(int64_t seconds) {
  clockOffsetMicros += seconds * 1000000;
}

std::vector<std::string> LoggedMessages() {
  std::vector<std::string> texts;
  for (const CapturedMessage &message : CapturedMessages()) {
    texts.push_back(message.text);
  }
  return texts;
}

bool Logged(const std::string &text) {
  for (const std::string &line : LoggedMessages()) {
    if (line.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

ProcessStartOptions ProcessEvents::Options(bool captureStdout, bool captureStderr) {
  return Wire(ProcessStartOptions(), captureStdout, captureStderr);
}

ProcessStartOptions ProcessEvents::Wire(ProcessStartOptions options, bool captureStdout,
                                        bool captureStderr) {
  options.onExit = RecordExit;
  options.onCoreDump = RecordCoreDump;
  options.onStdout = captureStdout ? RecordStream : nullptr;
  options.onStderr = captureStderr ? RecordStream : nullptr;
  options.context = this;
  return options;
}

void RecordExit(SysProcess *process, void *context) {
  auto *events = static_cast<ProcessEvents *>(context);
  events->exits++;
  events->exitCodeAtExit = process->GetExitCode();
  events->outputAtExit[0] = events->output[0];
  events->outputAtExit[1] = events->output[1];
}

void RecordCoreDump(SysProcess *, void *context) {
  static_cast<ProcessEvents *>(context)->coreDumps++;
}

void RecordForceKillTimeout(SysProcess *, void *context) {
  static_cast<ProcessEvents *>(context)->forceKillTimeouts++;
}

void RecordStream(SysProcess *process, int stream, void *context) {
  auto *events = static_cast<ProcessEvents *>(context);
  char buf[4096];
  ssize_t count;
  while ((count = process->ReadStream(stream, buf, sizeof buf)) > 0) {
    events->output[stream].append(buf, static_cast<size_t>(count));
  }
}

bool WaitForExit(SysProcess *process, int timeoutMs) {
  return RunLoopUntil([process] { return process->HasExited(); }, timeoutMs);
}

std::string ProcField(pid_t pid, const std::string &file, const std::string &key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0) {
      return line.substr(key.size());
    }
  }
  return "";
}

bool ProcessAlive(pid_t pid) {
  std::string state = ProcField(pid, "status", "State:");
  return !state.empty() && state.find('Z') == std::string::npos;
}
