// Stopping, timing out and cancelling real children, and what exit
// callbacks may do.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <memory>

#include "process/ProcessTestSupport.h"
#include "src/process/SpawnChild.h"
#include "src/process/SysProcessImpl.h"

namespace {

// True once the kernel shows pid with signal's bit in the given mask line
// ("SigIgn:" or "SigCgt:").
bool HasSignalBit(pid_t pid, const char *mask, int signal) {
  std::string hex = ProcField(pid, "status", mask);
  return !hex.empty() && (std::stoull(hex, nullptr, 16) >> (signal - 1) & 1) != 0;
}

class ProcessStop : public ::testing::Test {
 protected:
  // Starts a child that ignores SIGTERM and waits until it does.
  void StartTermIgnoringChild(ProcessStartOptions options) {
    ASSERT_TRUE(process_->Start("/bin/sh", {"-c", "trap '' TERM; exec sleep 30"}, {},
                                events_.Wire(options)));
    pid_t pid = process_->GetPid();
    ASSERT_TRUE(RunLoopUntil([pid] {
      return ProcField(pid, "status", "Name:") == "\tsleep" &&
             HasSignalBit(pid, "SigIgn:", SIGTERM);
    }));
  }
  void StartSleep() { ASSERT_TRUE(process_->Start("/bin/sleep", {"30"}, {}, events_.Options())); }
  // Starts a child and reaps it behind the object's back: its pid is gone.
  void StartVanished() {
    ASSERT_TRUE(process_->Start("/bin/sh", {"-c", "exit 0"}, {}, events_.Options()));
    siginfo_t info = {};
    ASSERT_EQ(waitid(P_PID, process_->GetPid(), &info, WEXITED), 0);
  }
  std::string Pid() const { return std::to_string(process_->GetPid()); }

  ProcessEvents events_;
  std::unique_ptr<SysProcessImpl> process_ = std::make_unique<SysProcessImpl>("stop");
};

TEST_F(ProcessStop, StopSendsSigtermAndAnEmptyStopSignalFallsBackToIt) {
  std::string firstPid;
  for (bool plainStop : {true, false}) {
    // Exit status 3 proves that the shell caught SIGTERM.
    ASSERT_TRUE(process_->Start("/bin/sh",
                                {"-c", "trap 'exit 3' TERM; while :; do sleep 0.01; done"}, {},
                                events_.Options()));
    pid_t pid = process_->GetPid();
    ASSERT_TRUE(RunLoopUntil([pid] { return HasSignalBit(pid, "SigCgt:", SIGTERM); }));
    firstPid = plainStop ? Pid() : firstPid;
    ASSERT_TRUE(plainStop ? process_->Stop(false, -1) : process_->StopWithSignal(-1, -1));
    EXPECT_EQ(process_->State(), ProcessState::Stopping);
    ASSERT_TRUE(WaitForExit(process_.get()));
    EXPECT_EQ(events_.exitCodeAtExit, 3);
  }
  EXPECT_EQ(events_.exits, 2);
  EXPECT_TRUE(Logged("<stop> Stopping pid " + firstPid + ", force=0, timeout=-1\n"));
  EXPECT_TRUE(
      Logged("<stop> Found empty StopSignal parameter in config file. Defaulting to SIGTERM\n"));
  EXPECT_TRUE(Logged("<stop> Using signal 15 to stop the process cleanly. Timeout: -1\n"));
}

TEST_F(ProcessStop, WhileStoppingOnlyTheCleanStopTimeOutOrAForcedStopKills) {
  StartTermIgnoringChild({});
  ASSERT_TRUE(process_->Stop(false, 5));
  EXPECT_FALSE(process_->Stop(false, 30));
  EXPECT_FALSE(process_->StopWithSignal(30, SIGTERM));
  EXPECT_FALSE(process_->StopWithCommand("/bin/true", {}, 30));
  RunLoopFor(100);
  EXPECT_FALSE(process_->HasExited());  // SIGTERM is ignored
  AdvanceClock(5);                      // the time-out's forced stop, as Stop(true, 0) would
  ASSERT_TRUE(WaitForExit(process_.get()));
  EXPECT_EQ(events_.exitCodeAtExit, 1);
  EXPECT_EQ(events_.exits, 1);
  EXPECT_TRUE(Logged("<stop> Sysprocess clean stop timed out. Force kill. Pid " + Pid() + "\n"));
  EXPECT_FALSE(process_->HasExecTimedOut());
}

TEST_F(ProcessStop, StoppingAVanishedChildSucceedsAndTheForceKillTimeOutStillFires) {
  StartVanished();
  EXPECT_TRUE(process_->StopWithSignal(-1, SIGTERM));
  EXPECT_EQ(process_->State(), ProcessState::Running);
  process_->SetForceKillTimeoutCallback(RecordForceKillTimeout, 7);
  EXPECT_TRUE(process_->Stop(true, 0));
  EXPECT_EQ(process_->State(), ProcessState::Killing);
  EXPECT_TRUE(
      Logged("<stop> The process we are trying to kill is already gone. No such process\n"));
  RunLoopFor(20);
  EXPECT_EQ(events_.forceKillTimeouts, 0);
  AdvanceClock(7);
  ASSERT_TRUE(RunLoopUntil([&] { return events_.forceKillTimeouts == 1; }));
  process_->CancelExecution();
}

TEST_F(ProcessStop, ForceKillTimeOutIsGoneOnceReapedAndANewStartClearsIt) {
  StartSleep();
  process_->SetForceKillTimeoutCallback(RecordForceKillTimeout, 7);
  ASSERT_TRUE(process_->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process_.get()));
  AdvanceClock(8);
  RunLoopFor(20);
  EXPECT_EQ(events_.forceKillTimeouts, 0);

  process_->SetForceKillTimeoutCallback(RecordForceKillTimeout, 0);
  StartVanished();
  ASSERT_TRUE(process_->Stop(true, 0));
  RunLoopFor(20);
  EXPECT_EQ(events_.forceKillTimeouts, 0);
  process_->CancelExecution();
}

pid_t FailingFork() {
  errno = ENOMEM;
  return -1;
}

TEST_F(ProcessStop, StopCommandRunsUntrackedAndOneThatCannotForkLeavesTheChildRunning) {
  StartSleep();
  SetForkFunctionForTesting(FailingFork);
  bool stopped = process_->StopWithCommand("/bin/true", {}, 30);
  SetForkFunctionForTesting(nullptr);
  EXPECT_FALSE(stopped);
  EXPECT_EQ(process_->State(), ProcessState::Running);
  EXPECT_TRUE(Logged("<stop> Fork failed. Error: Cannot allocate memory\n"));

  ASSERT_TRUE(process_->StopWithCommand("/bin/kill", {"-TERM", Pid()}, 30));
  EXPECT_EQ(process_->State(), ProcessState::Stopping);
  ASSERT_TRUE(WaitForExit(process_.get()));
  EXPECT_EQ(events_.exitCodeAtExit, 1);
  EXPECT_EQ(events_.exits, 1);
  EXPECT_TRUE(Logged("<stop> Stopping process " + Pid() + " with stop command.\n"));
  // The command line is logged with a blank after every word.
  EXPECT_TRUE(Logged("<stop> Constructed command: /bin/kill -TERM " + Pid() + " \n"));
  // The kill command's own exit is reported as untracked.
  EXPECT_TRUE(RunLoopUntil([] { return Logged("A non tracked pid "); }));
}

TEST_F(ProcessStop, ExecTimeOutKillsEvenDuringACleanStopAndIsDisarmedByTheExit) {
  ProcessStartOptions options = events_.Options();
  options.execTimeoutSec = 0;  // fires on the next turn
  ASSERT_TRUE(process_->Start("/bin/sleep", {"30"}, {}, options));
  EXPECT_FALSE(process_->HasExecTimedOut());
  ASSERT_TRUE(WaitForExit(process_.get()));
  EXPECT_TRUE(process_->HasExecTimedOut());
  EXPECT_EQ(events_.exitCodeAtExit, 1);
  EXPECT_TRUE(Logged("<stop> SysProcess exec timed out. Force kill. Pid " + Pid() + "\n"));

  options.execTimeoutSec = 2;
  StartTermIgnoringChild(options);
  ASSERT_TRUE(process_->StopWithSignal(60, SIGTERM));
  AdvanceClock(2);
  ASSERT_TRUE(WaitForExit(process_.get()));
  EXPECT_TRUE(process_->HasExecTimedOut());

  options.execTimeoutSec = 3;
  ASSERT_TRUE(process_->Start("/bin/sh", {"-c", "exit 0"}, {}, options));
  ASSERT_TRUE(WaitForExit(process_.get()));
  EXPECT_FALSE(process_->HasExecTimedOut());
  AdvanceClock(4);
  RunLoopFor(20);
  EXPECT_EQ(events_.exits, 3);
  EXPECT_FALSE(process_->HasExecTimedOut());
}

TEST_F(ProcessStop, CancelledOrDeletedChildIsKilledReportedAsUntrackedAndFiresNothing) {
  ASSERT_TRUE(process_->Start("/bin/sleep", {"30"}, {}, events_.Options(true, true)));
  std::string pid = Pid();
  process_->CancelExecution();
  EXPECT_EQ(process_->State(), ProcessState::NotStarted);
  char buf[8];
  EXPECT_EQ(process_->ReadStream(PROCESS_STREAM_STDOUT, buf, sizeof buf), -1);
  EXPECT_TRUE(Logged("<stop> Cancelling execution of pid " + pid + "\n"));
  ASSERT_TRUE(RunLoopUntil([&] { return Logged("A non tracked pid " + pid + " terminated.\n"); }));

  // The destructor cancels, and removes the force-kill timer with it.
  ASSERT_TRUE(process_->Start("/bin/sleep", {"30"}, {}, events_.Options(true)));
  process_->SetForceKillTimeoutCallback(RecordForceKillTimeout, 1);
  pid = Pid();
  process_.reset();
  ASSERT_TRUE(RunLoopUntil([&] { return Logged("A non tracked pid " + pid + " terminated.\n"); }));
  AdvanceClock(2);
  RunLoopFor(20);
  EXPECT_EQ(events_.exits, 0);
  EXPECT_EQ(events_.forceKillTimeouts, 0);
}

// Restarts the process from its first exit; deletes it at its second.
void RestartThenDelete(SysProcess *process, void *context) {
  int &exits = *static_cast<int *>(context);
  if (++exits == 1) {
    ProcessStartOptions options;
    options.onExit = RestartThenDelete;
    options.onStdout = [](SysProcess *p, int stream, void *) {
      char buf[64];
      while (p->ReadStream(stream, buf, sizeof buf) > 0) {
      }
    };
    options.context = context;
    EXPECT_TRUE(process->Start("/bin/sh", {"-c", "echo bye; exit 2"}, {}, options));
    return;
  }
  EXPECT_EQ(process->GetExitCode(), 2);
  delete process;
}

TEST(ProcessCallbacks, ExitCallbackMayRestartOrDeleteTheProcess) {
  int exits = 0;
  SysProcess *process = CreateSysProcess("self-deleting");
  ProcessStartOptions options;
  options.onExit = RestartThenDelete;
  options.context = &exits;
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "exit 1"}, {}, options));
  ASSERT_TRUE(RunLoopUntil([&] { return exits == 2; }));
}

}  // namespace
