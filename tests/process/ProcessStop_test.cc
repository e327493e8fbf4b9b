// Stopping, timing out, cancelling and reaping real children, and what exit
// callbacks may do.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <memory>

#include "process/ProcessTestSupport.h"
#include "src/process/SpawnChild.h"
#include "src/process/SysProcessImpl.h"
#include "support/WaitUntil.h"

namespace {

class ProcessStop : public ::testing::Test {
 protected:
  // Starts script, which prints a line once it is ready, and waits for it.
  void StartReady(const std::string &script, ProcessStartOptions options = {}) {
    events_.output[0].clear();
    ASSERT_TRUE(process_->Start("/bin/sh", {"-c", script}, {}, events_.Wire(options, true)));
    ASSERT_TRUE(RunLoopUntil([&] { return !events_.output[0].empty(); }));
  }
  void StartTermIgnoring(ProcessStartOptions options = {}) {
    StartReady("trap '' TERM; echo; exec sleep 30", options);
  }
  std::string Pid() const { return std::to_string(process_->GetPid()); }

  ProcessEvents events_;
  std::unique_ptr<SysProcessImpl> process_ = std::make_unique<SysProcessImpl>("stop");
};

TEST_F(ProcessStop, CleanStopSendsTheSignalAndOnlyItsTimeOutOrAForcedStopKills) {
  // Exit status 3: the shell caught the SIGTERM sent for signal -1.
  StartReady("trap 'exit 3' TERM; echo; while :; do sleep 0.01; done");
  ASSERT_TRUE(process_->StopWithSignal(-1, -1));
  EXPECT_EQ(process_->State(), ProcessState::Stopping);
  ASSERT_TRUE(WaitForExit(process_.get()));
  EXPECT_EQ(events_.exitCodeAtExit, 3);
  EXPECT_TRUE(
      Logged("<stop> Found empty StopSignal parameter in config file. Defaulting to SIGTERM\n"));
  StartTermIgnoring();
  ASSERT_TRUE(process_->Stop(false, 5));
  EXPECT_FALSE(process_->Stop(false, 30));
  EXPECT_FALSE(process_->StopWithSignal(30, SIGTERM));
  EXPECT_FALSE(process_->StopWithCommand("/bin/true", {}, 30));
  AdvanceClock(4);
  RunLoopFor(50);
  EXPECT_FALSE(process_->HasExited());
  AdvanceClock(1);
  ASSERT_TRUE(WaitForExit(process_.get()));
  EXPECT_TRUE(Logged("<stop> Sysprocess clean stop timed out. Force kill. Pid " + Pid() + "\n"));
}

TEST_F(ProcessStop, StoppingAVanishedChildSucceedsAndItsForceKillTimeOutFiresUntilReaped) {
  ASSERT_TRUE(process_->Start("/bin/sh", {"-c", "exit 0"}, {}, events_.Wire()));
  siginfo_t info = {};
  ASSERT_EQ(waitid(P_PID, process_->GetPid(), &info, WEXITED), 0);  // behind the object's back
  EXPECT_TRUE(process_->StopWithSignal(-1, SIGTERM));
  process_->SetForceKillTimeoutCallback(RecordForceKillTimeout, 7);
  EXPECT_TRUE(process_->Stop(true, 0));
  EXPECT_TRUE(
      Logged("<stop> The process we are trying to kill is already gone. No such process\n"));
  AdvanceClock(6);
  RunLoopFor(20);
  EXPECT_EQ(events_.forceKillTimeouts, 0);
  AdvanceClock(1);
  ASSERT_TRUE(RunLoopUntil([&] { return events_.forceKillTimeouts == 1; }));
  process_->CancelExecution();
  // Reaped in time, the child takes its force-kill time-out with it.
  ASSERT_TRUE(process_->Start("/bin/sleep", {"30"}, {}, events_.Wire()));
  process_->SetForceKillTimeoutCallback(RecordForceKillTimeout, 7);
  ASSERT_TRUE(process_->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process_.get()));
  AdvanceClock(8);
  RunLoopFor(20);
  EXPECT_EQ(events_.forceKillTimeouts, 1);
}

TEST_F(ProcessStop, StopCommandRunsUntrackedAndOneThatCannotForkLeavesTheChildRunning) {
  ASSERT_TRUE(process_->Start("/bin/sleep", {"30"}, {}, events_.Wire()));
  SetForkFunctionForTesting([]() -> pid_t { return errno = ENOMEM, -1; });
  EXPECT_FALSE(process_->StopWithCommand("/bin/true", {}, 30));
  SetForkFunctionForTesting(nullptr);
  EXPECT_EQ(process_->State(), ProcessState::Running);
  EXPECT_TRUE(Logged("<stop> Fork failed. Error: Cannot allocate memory\n"));
  ASSERT_TRUE(process_->StopWithCommand("/bin/kill", {"-TERM", Pid()}, 30));
  EXPECT_EQ(process_->State(), ProcessState::Stopping);
  ASSERT_TRUE(WaitForExit(process_.get()));
  EXPECT_TRUE(Logged("<stop> Constructed command: /bin/kill -TERM " + Pid() + " \n"));
  EXPECT_TRUE(RunLoopUntil([] { return Logged("A non tracked pid "); }));
}

TEST_F(ProcessStop, ExecTimeOutKillsEvenDuringACleanStopAndIsDisarmedByTheExit) {
  ProcessStartOptions options;
  options.execTimeoutSec = 0;  // fires on the next turn
  ASSERT_TRUE(process_->Start("/bin/sleep", {"30"}, {}, events_.Wire(options)));
  ASSERT_TRUE(WaitForExit(process_.get()));
  EXPECT_TRUE(process_->HasExecTimedOut());
  EXPECT_TRUE(Logged("<stop> SysProcess exec timed out. Force kill. Pid " + Pid() + "\n"));
  options.execTimeoutSec = 2;
  StartTermIgnoring(options);
  ASSERT_TRUE(process_->StopWithSignal(60, SIGTERM));
  AdvanceClock(2);
  ASSERT_TRUE(WaitForExit(process_.get()));
  EXPECT_TRUE(process_->HasExecTimedOut());
  options.execTimeoutSec = 3;
  ASSERT_TRUE(process_->Start("/bin/sh", {"-c", "exit 0"}, {}, events_.Wire(options)));
  ASSERT_TRUE(WaitForExit(process_.get()));
  AdvanceClock(4);
  RunLoopFor(20);
  EXPECT_FALSE(process_->HasExecTimedOut());
  EXPECT_EQ(events_.exits, 3);
}

TEST_F(ProcessStop, CancelledOrDeletedChildIsKilledReportedAsUntrackedAndFiresNothing) {
  ASSERT_TRUE(process_->Start("/bin/sleep", {"30"}, {}, events_.Wire({}, true)));
  std::string pid = Pid();
  process_->CancelExecution();
  EXPECT_EQ(process_->State(), ProcessState::NotStarted);
  char buf[8];
  EXPECT_EQ(process_->ReadStream(PROCESS_STREAM_STDOUT, buf, sizeof buf), -1);
  ASSERT_TRUE(RunLoopUntil([&] { return Logged("A non tracked pid " + pid + " terminated.\n"); }));
  ASSERT_TRUE(process_->Start("/bin/sleep", {"30"}, {}, events_.Wire()));
  process_->SetForceKillTimeoutCallback(RecordForceKillTimeout, 1);
  pid = Pid();
  process_.reset();  // cancels, and removes the force-kill timer with it
  ASSERT_TRUE(RunLoopUntil([&] { return Logged("A non tracked pid " + pid + " terminated.\n"); }));
  AdvanceClock(2);
  RunLoopFor(20);
  EXPECT_EQ(events_.exits + events_.forceKillTimeouts, 0);
}

// Restarts the process from its first exit; deletes it at its second.
void RestartThenDelete(SysProcess *process, void *context) {
  if (++*static_cast<int *>(context) == 2) {
    delete process;
    return;
  }
  ProcessStartOptions options;
  options.onExit = RestartThenDelete;
  options.context = context;
  EXPECT_TRUE(process->Start("/bin/sh", {"-c", "exit 2"}, {}, options));
}

TEST(ProcessCallbacks, ExitCallbackMayRestartOrDeleteTheProcess) {
  int exits = 0;
  ProcessStartOptions options;
  options.onExit = RestartThenDelete;
  options.context = &exits;
  ASSERT_TRUE(CreateSysProcess("self-deleting")->Start("/bin/sh", {"-c", "exit 1"}, {}, options));
  ASSERT_TRUE(RunLoopUntil([&] { return exits == 2; }));
}

TEST(Reaper, ExitsThatShareOneSigchldAreAllReported) {
  // Exits while the loop does not run leave one pending SIGCHLD for all.
  std::vector<std::unique_ptr<SysProcess>> processes;
  ProcessEvents events;
  for (int i = 0; i < 32; ++i) {
    processes.emplace_back(CreateSysProcess("batch"));
    ASSERT_TRUE(processes.back()->Start("/bin/sh", {"-c", "exit 4"}, {}, events.Wire()));
  }
  EXPECT_TRUE(WaitUntil([&] {  // all exited, none reaped yet
    return std::all_of(processes.begin(), processes.end(), [](auto &process) {
      siginfo_t info = {};
      return waitid(P_PID, process->GetPid(), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
             info.si_pid != 0;
    });
  }));
  ASSERT_TRUE(RunLoopUntil([&] { return events.exits == 32; })) << events.exits;
  EXPECT_EQ(events.exitCodeAtExit, 4);
}

TEST(Reaper, CoreDumpNoticesReachTheOwnerUntilItsExitAndAreThenOnlyLogged) {
  ProcessEvents events;
  std::unique_ptr<SysProcess> process(CreateSysProcess("dumper"));
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Wire()));
  NotifyCoreDump(process->GetPid());
  EXPECT_EQ(events.coreDumps, 1);
  ASSERT_TRUE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));
  NotifyCoreDump(process->GetPid());
  EXPECT_EQ(events.coreDumps, 1);
  EXPECT_TRUE(
      Logged("A non tracked pid " + std::to_string(process->GetPid()) + " is dumping core.\n"));
  ReapChildren();  // no child left: quiet
  EXPECT_FALSE(Logged("waitid failed"));
}

}  // namespace
