// Signals read from the signal descriptor on the event loop: SIGCHLD reaps,
// the first termination signal starts the shutdown, SIGHUP reloads.
#include "src/posix/SignalHandlers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lib/log/logOutput.h"
#include "lib/pollDefault/poll.h"
#include "src/process/ProcessTable.h"
#include "src/process/SysProcess.h"

namespace {

int shutdownAsked = 0;
int terminations = 0;
int reloads = 0;

bool FirstShutdownOnly() {
  return ++shutdownAsked == 1;
}
void CountTermination() {
  ++terminations;
}
void CountReload() {
  ++reloads;
}

struct CaptureOutput : LogOutput {
  CaptureOutput() { level = LOG_DEBUG; }
  void Write(const LogLineHeader &header, const char *text, size_t length) override {
    std::lock_guard<std::mutex> guard(lock);
    lines.push_back(std::to_string(header.level) + " " + std::string(text, length));
  }
  std::mutex lock;
  std::vector<std::string> lines;
};

CaptureOutput *capture = nullptr;

bool Logged(const std::string &text) {
  std::lock_guard<std::mutex> guard(capture->lock);
  for (const std::string &line : capture->lines) {
    if (line.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

int64_t RealMillis() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void StopLoop(void *clientData) {
  *static_cast<volatile uint8_t *>(clientData) = 1;
}

bool RunLoopUntil(const std::function<bool()> &done, int timeoutMs = 5000) {
  int64_t deadline = RealMillis() + timeoutMs;
  while (!done() && RealMillis() < deadline) {
    volatile uint8_t exitFlag = 0;
    PollAddTimer(StopLoop, const_cast<uint8_t *>(&exitFlag), 1000, false, nullptr);
    PollRunMain(true, &exitFlag, POLL_CLASS_MAIN);
    PollRemoveTimer(StopLoop, const_cast<uint8_t *>(&exitFlag), false);
  }
  return done();
}

class SignalEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    PollInstallDefault();
    CreateProcessTable();
    capture = new CaptureOutput();
    InstallOutput(capture);
    SignalTargets targets{CountTermination, CountReload};
    targets.beginShutdownOnce = FirstShutdownOnly;
    InstallSignalHandling(targets);
  }
};

[[maybe_unused]] const int environmentAdded = [] {
  ::testing::AddGlobalTestEnvironment(new SignalEnvironment);
  return 0;
}();

TEST(SignalInstall, TheFiveSignalsAreBlockedAndSigpipeIgnored) {
  sigset_t mask;
  sigprocmask(SIG_BLOCK, nullptr, &mask);
  for (int signal : {SIGINT, SIGTERM, SIGQUIT, SIGCHLD, SIGHUP}) {
    EXPECT_TRUE(sigismember(&mask, signal)) << signal;
  }
  struct sigaction pipe;
  sigaction(SIGPIPE, nullptr, &pipe);
  EXPECT_EQ(pipe.sa_handler, SIG_IGN);
  int fd = SignalDescriptor();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
}

TEST(SignalInstall, ShutdownOnceDefaultsToTheDaemonsFlag) {
  SignalTargets targets{CountTermination, CountReload};
  EXPECT_EQ(targets.beginShutdownOnce, &BeginShutdownOnce);
}

void CountExit(SysProcess *, void *context) {
  ++*static_cast<int *>(context);
}

TEST(SignalDispatch, ChildExitsAreReapedEvenWhenSignalsCoalesce) {
  const int kChildren = 40;
  int exits = 0;
  std::vector<std::unique_ptr<SysProcess>> processes;
  ProcessStartOptions options;
  options.onExit = CountExit;
  options.context = &exits;
  for (int i = 0; i < kChildren; ++i) {
    processes.emplace_back(CreateSysProcess("child"));
    ASSERT_TRUE(processes.back()->Start("/bin/sh", {"-c", "exit 3"}, {}, options));
  }
  ASSERT_TRUE(RunLoopUntil([&] { return exits == kChildren; }, 30000)) << exits;
  for (auto &process : processes) {
    EXPECT_EQ(process->GetExitCode(), 3);
  }
}

TEST(SignalDispatch, OnlyTheFirstTerminationSignalStartsTheShutdown) {
  raise(SIGTERM);
  ASSERT_TRUE(RunLoopUntil([] { return shutdownAsked == 1; }));
  EXPECT_EQ(terminations, 1);
  raise(SIGINT);
  ASSERT_TRUE(RunLoopUntil([] { return shutdownAsked == 2; }));
  raise(SIGQUIT);
  ASSERT_TRUE(RunLoopUntil([] { return shutdownAsked == 3; }));
  EXPECT_EQ(terminations, 1);
}

TEST(SignalDispatch, SighupReloadsAndSaysSo) {
  int before = reloads;
  raise(SIGHUP);
  ASSERT_TRUE(RunLoopUntil([&] { return reloads == before + 1; }));
  EXPECT_TRUE(Logged("5 Received a SIGHUP signal to reload Sentro configuration\n"));
  // Also after the shutdown has begun.
  raise(SIGTERM);
  raise(SIGHUP);
  ASSERT_TRUE(RunLoopUntil([&] { return reloads == before + 2; }));
}

}  // namespace
