// Signals read from the signal descriptor on the event loop: SIGCHLD reaps,
// the first termination signal starts the shutdown, SIGHUP reloads.
#include "src/daemon/SignalHandlers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/pollDefault/poll.h"
#include "src/process/ProcessTable.h"
#include "src/process/SysProcess.h"
#include "support/LogCapture.h"

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

bool RunLoopUntil(const std::function<bool()> &done, int timeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  volatile uint8_t exitFlag = 0;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    PollRun(false, &exitFlag, POLL_CLASS_MAIN, 1000);
  }
  return done();
}

class SignalEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    PollInstallDefault();
    CreateProcessTable();
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
  LogCapture log;
  int before = reloads;
  raise(SIGHUP);
  ASSERT_TRUE(RunLoopUntil([&] { return reloads == before + 1; }));
  EXPECT_TRUE(log.Has(5, "Received a SIGHUP signal to reload Sentro configuration\n"));
  // Also after the shutdown has begun.
  raise(SIGTERM);
  raise(SIGHUP);
  ASSERT_TRUE(RunLoopUntil([&] { return reloads == before + 2; }));
}

}  // namespace
