// Reaping: every exit reaches its owner even when SIGCHLD coalesces; exits
// and core-dump notices of pids nobody tracks are only logged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "process/ProcessTestSupport.h"

namespace {

TEST(Reaper, ExitsThatShareOneSigchldAreAllReported) {
  // Children that all exit while the loop is not running leave one pending
  // SIGCHLD for all of them: a reaper that takes one child per signal would
  // report only the first.
  const int kChildren = 32;
  ProcessEvents events;
  std::vector<std::unique_ptr<SysProcess>> processes;
  for (int i = 0; i < kChildren; ++i) {
    processes.emplace_back(CreateSysProcess("batch-" + std::to_string(i)));
    ASSERT_TRUE(processes.back()->Start("/bin/sh", {"-c", "exit 0"}, {}, events.Options()));
  }
  auto allZombies = [&] {
    for (auto &process : processes) {
      if (ProcessAlive(process->GetPid())) {
        return false;
      }
    }
    return true;
  };
  for (int wait = 0; wait < 5000 && !allZombies(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(allZombies());
  EXPECT_EQ(events.exits, 0);

  ASSERT_TRUE(RunLoopUntil([&] { return events.exits == kChildren; }))
      << events.exits << " exits reported";
  for (auto &process : processes) {
    EXPECT_TRUE(process->HasExited());
    EXPECT_EQ(process->GetExitCode(), 0);
  }
}

TEST(Reaper, ExitOfAnUntrackedChildIsOnlyLoggedAndNoChildLeftIsQuiet) {
  pid_t pid = fork();
  if (pid == 0) {
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(RunLoopUntil(
      [pid] { return Logged("A non tracked pid " + std::to_string(pid) + " terminated.\n"); }));
  ReapChildren();
  EXPECT_FALSE(Logged("waitid failed"));
}

TEST(CoreDumpNotice, ReachesTheOwnerUntilTheExitAndIsThenOnlyLogged) {
  ProcessEvents events;
  std::unique_ptr<SysProcess> process(CreateSysProcess("dumper"));
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  NotifyCoreDump(process->GetPid());
  EXPECT_EQ(events.coreDumps, 1);
  EXPECT_EQ(events.exits, 0);
  ASSERT_TRUE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));
  NotifyCoreDump(process->GetPid());
  EXPECT_EQ(events.coreDumps, 1);
  EXPECT_TRUE(
      Logged("A non tracked pid " + std::to_string(process->GetPid()) + " is dumping core.\n"));
}

}  // namespace
