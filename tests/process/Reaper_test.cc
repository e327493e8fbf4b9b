// Reaping: every exit reaches its owner even when SIGCHLD coalesces; exits
// and core-dump notices of pids nobody tracks are only logged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <vector>

#include "process/ProcessTestSupport.h"
#include "src/process/ChildReport.h"
#include "support/TempDir.h"

namespace {

TEST(Reaper, FiveHundredChildrenExitingTogetherAreAllReported) {
  const int kChildren = 500;
  TempDir dir;
  std::string fifo = dir.Sub("gate");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Held open for writing, the FIFO lets every child open it and then wait
  // in read(); closing it ends all of them in the same instant.
  int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);

  ProcessEvents events;
  std::vector<std::unique_ptr<SysProcess>> processes;
  for (int i = 0; i < kChildren; ++i) {
    processes.emplace_back(CreateSysProcess("gate-" + std::to_string(i)));
    ASSERT_TRUE(processes.back()->Start("/bin/cat", {fifo}, {}, events.Options()));
  }
  auto waitingInRead = [&] {
    char target[PATH_MAX];
    for (auto &process : processes) {
      std::string fd3 = "/proc/" + std::to_string(process->GetPid()) + "/fd/3";
      ssize_t length = readlink(fd3.c_str(), target, sizeof target - 1);
      if (length <= 0 || fifo.compare(0, std::string::npos, target, length) != 0) {
        return false;
      }
    }
    return true;
  };
  ASSERT_TRUE(RunLoopUntil(waitingInRead, 60000));
  EXPECT_EQ(events.exits, 0);
  close(writer);

  ASSERT_TRUE(RunLoopUntil([&] { return events.exits == kChildren; }, 60000))
      << events.exits << " exits reported";
  for (auto &process : processes) {
    EXPECT_TRUE(process->HasExited());
    EXPECT_EQ(process->GetExitCode(), 0);
  }
  EXPECT_EQ(ChildReportOpenCount(), 0u);
}

TEST(Reaper, ExitOfAnUntrackedChildIsOnlyLogged) {
  pid_t pid = fork();
  if (pid == 0) {
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(RunLoopUntil(
      [pid] { return Logged("A non tracked pid " + std::to_string(pid) + " terminated.\n"); }));
}

TEST(Reaper, ReapingWithNoChildrenIsQuiet) {
  ReapChildren();
  EXPECT_FALSE(Logged("waitid failed"));
}

TEST(CoreDumpNotice, ReachesTheOwnerBeforeTheExit) {
  ProcessEvents events;
  std::unique_ptr<SysProcess> process(CreateSysProcess("dumper"));
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  NotifyCoreDump(process->GetPid());
  EXPECT_EQ(events.coreDumps, 1);
  EXPECT_EQ(events.exits, 0);
  ASSERT_TRUE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exits, 1);
  // After the exit the pid is no longer tracked.
  NotifyCoreDump(process->GetPid());
  EXPECT_EQ(events.coreDumps, 1);
}

TEST(CoreDumpNotice, ForAnUnknownPidIsOnlyLogged) {
  NotifyCoreDump(4194000);
  EXPECT_TRUE(Logged("A non tracked pid 4194000 is dumping core.\n"));
}

}  // namespace
