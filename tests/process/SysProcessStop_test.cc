// Stopping, timing out and cancelling real children.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <memory>

#include "process/ProcessTestSupport.h"
#include "src/process/SpawnChild.h"
#include "src/process/SysProcessImpl.h"

namespace {

std::unique_ptr<SysProcessImpl> NewProcess(const std::string &tag = "stop") {
  return std::make_unique<SysProcessImpl>(tag);
}

// True once the kernel shows pid with signal's bit in the given mask line
// ("SigIgn:" or "SigCgt:").
bool HasSignalBit(pid_t pid, const char *mask, int signal) {
  std::string hex = ProcField(pid, "status", mask);
  return !hex.empty() && (std::stoull(hex, nullptr, 16) >> (signal - 1) & 1) != 0;
}

// Starts a child that ignores SIGTERM and waits until it does.
void StartTermIgnoringChild(SysProcessImpl *process, ProcessEvents *events) {
  ASSERT_TRUE(
      process->Start("/bin/sh", {"-c", "trap '' TERM; exec sleep 30"}, {}, events->Options()));
  pid_t pid = process->GetPid();
  ASSERT_TRUE(RunLoopUntil([pid] {
    return ProcField(pid, "status", "Name:") == "\tsleep" && HasSignalBit(pid, "SigIgn:", SIGTERM);
  }));
}

std::string PidText(SysProcess *process) {
  return std::to_string(process->GetPid());
}

TEST(ProcessStop, StopSendsSigtermAndTheExitFollows) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  ASSERT_TRUE(process->Stop(false, -1));
  EXPECT_EQ(process->State(), ProcessState::Stopping);
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exits, 1);
  EXPECT_EQ(events.exitCodeAtExit, 1);
  EXPECT_TRUE(Logged("<stop> Stopping pid " + PidText(process.get()) + ", force=0, timeout=-1\n"));
}

TEST(ProcessStop, OnlyAForcedStopIsAllowedWhileStopping) {
  ProcessEvents events;
  auto process = NewProcess();
  StartTermIgnoringChild(process.get(), &events);
  ASSERT_TRUE(process->Stop(false, 30));
  EXPECT_FALSE(process->Stop(false, 30));
  EXPECT_FALSE(process->StopWithSignal(30, SIGTERM));
  EXPECT_FALSE(process->StopWithCommand("/bin/true", {}, 30));
  RunLoopFor(50);
  EXPECT_FALSE(process->HasExited());
  ASSERT_TRUE(process->Stop(true, 0));
  EXPECT_EQ(process->State(), ProcessState::Killing);
  EXPECT_FALSE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exitCodeAtExit, 1);
  EXPECT_EQ(events.exits, 1);
}

TEST(ProcessStop, CleanStopTimeOutEscalatesToSigkill) {
  ProcessEvents events;
  auto process = NewProcess();
  StartTermIgnoringChild(process.get(), &events);
  ASSERT_TRUE(process->StopWithSignal(5, SIGTERM));
  RunLoopFor(100);
  EXPECT_FALSE(process->HasExited());  // SIGTERM is ignored
  AdvanceClock(5);
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exitCodeAtExit, 1);
  EXPECT_TRUE(Logged("<stop> Sysprocess clean stop timed out. Force kill. Pid " +
                     PidText(process.get()) + "\n"));
  EXPECT_FALSE(process->HasExecTimedOut());
}

TEST(ProcessStop, EmptyStopSignalFallsBackToSigtermAfterAWarning) {
  ProcessEvents events;
  auto process = NewProcess();
  // Exit status 3 proves that the shell caught SIGTERM.
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "trap 'exit 3' TERM; while :; do sleep 0.01; done"},
                             {}, events.Options()));
  pid_t pid = process->GetPid();
  ASSERT_TRUE(RunLoopUntil([pid] { return HasSignalBit(pid, "SigCgt:", SIGTERM); }));
  ASSERT_TRUE(process->StopWithSignal(-1, -1));
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exitCodeAtExit, 3);
  EXPECT_TRUE(
      Logged("<stop> Found empty StopSignal parameter in config file. Defaulting to SIGTERM\n"));
  EXPECT_TRUE(Logged("<stop> Using signal 15 to stop the process cleanly. Timeout: -1\n"));
}

TEST(ProcessStop, StoppingAChildThatIsAlreadyGoneSucceeds) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, events.Options()));
  // Reaped behind the object's back: the pid no longer exists.
  siginfo_t info = {};
  ASSERT_EQ(waitid(P_PID, process->GetPid(), &info, WEXITED), 0);
  EXPECT_TRUE(process->StopWithSignal(-1, SIGTERM));
  EXPECT_EQ(process->State(), ProcessState::Running);
  EXPECT_TRUE(process->Stop(true, 0));
  EXPECT_EQ(process->State(), ProcessState::Killing);
  EXPECT_TRUE(
      Logged("<stop> The process we are trying to kill is already gone. No such process\n"));
  process->CancelExecution();
}

TEST(ProcessStop, ForceKillTimeOutFiresWhenTheChildIsNotReaped) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, events.Options()));
  process->SetForceKillTimeoutCallback(RecordForceKillTimeout, 7);
  siginfo_t info = {};
  ASSERT_EQ(waitid(P_PID, process->GetPid(), &info, WEXITED), 0);
  ASSERT_TRUE(process->Stop(true, 0));
  RunLoopFor(20);
  EXPECT_EQ(events.forceKillTimeouts, 0);
  AdvanceClock(7);
  ASSERT_TRUE(RunLoopUntil([&] { return events.forceKillTimeouts == 1; }));
  process->CancelExecution();
}

TEST(ProcessStop, ForceKillTimeOutIsRemovedWhenTheChildIsReaped) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  process->SetForceKillTimeoutCallback(RecordForceKillTimeout, 7);
  ASSERT_TRUE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));
  AdvanceClock(8);
  RunLoopFor(20);
  EXPECT_EQ(events.forceKillTimeouts, 0);
}

TEST(ProcessStop, StartClearsTheForceKillCallback) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, events.Options()));
  process->SetForceKillTimeoutCallback(RecordForceKillTimeout, 0);
  ASSERT_TRUE(WaitForExit(process.get()));
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, events.Options()));
  siginfo_t info = {};
  ASSERT_EQ(waitid(P_PID, process->GetPid(), &info, WEXITED), 0);
  ASSERT_TRUE(process->Stop(true, 0));
  RunLoopFor(20);
  EXPECT_EQ(events.forceKillTimeouts, 0);
  process->CancelExecution();
}

TEST(ProcessStop, StopCommandRunsUntrackedAndTheChildStops) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  std::string pid = PidText(process.get());
  ASSERT_TRUE(process->StopWithCommand("/bin/kill", {"-TERM", pid}, 30));
  EXPECT_EQ(process->State(), ProcessState::Stopping);
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exitCodeAtExit, 1);
  EXPECT_EQ(events.exits, 1);
  EXPECT_TRUE(Logged("<stop> Stopping process " + pid + " with stop command.\n"));
  EXPECT_TRUE(Logged("<stop> Constructed command: /bin/kill -TERM " + pid + " \n"));
  // The kill command's own exit is reported as untracked.
  EXPECT_TRUE(RunLoopUntil([] { return Logged("A non tracked pid "); }));
}

pid_t FailingFork() {
  errno = ENOMEM;
  return -1;
}

TEST(ProcessStop, StopCommandThatCannotForkLeavesTheChildRunning) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  SetForkFunctionForTesting(FailingFork);
  bool stopped = process->StopWithCommand("/bin/true", {}, 30);
  SetForkFunctionForTesting(nullptr);
  EXPECT_FALSE(stopped);
  EXPECT_EQ(process->State(), ProcessState::Running);
  EXPECT_TRUE(Logged("<stop> Fork failed. Error: Cannot allocate memory\n"));
  ASSERT_TRUE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));
}

TEST(ProcessTimeouts, ExecTimeOutZeroKillsOnTheNextTurn) {
  ProcessEvents events;
  auto process = NewProcess();
  ProcessStartOptions options = events.Options();
  options.execTimeoutSec = 0;
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, options));
  EXPECT_FALSE(process->HasExecTimedOut());
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_TRUE(process->HasExecTimedOut());
  EXPECT_EQ(events.exitCodeAtExit, 1);
  EXPECT_TRUE(
      Logged("<stop> SysProcess exec timed out. Force kill. Pid " + PidText(process.get()) + "\n"));
}

TEST(ProcessTimeouts, ExecTimeOutNotReachedLeavesTheFlagClearAndFiresNoMore) {
  ProcessEvents events;
  auto process = NewProcess();
  ProcessStartOptions options = events.Options();
  options.execTimeoutSec = 3;
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, options));
  ASSERT_TRUE(WaitForExit(process.get()));
  AdvanceClock(4);
  RunLoopFor(20);
  EXPECT_FALSE(process->HasExecTimedOut());
  EXPECT_FALSE(Logged("exec timed out"));
}

TEST(ProcessTimeouts, ExecTimeOutDuringACleanStopStillKills) {
  ProcessEvents events;
  auto process = NewProcess();
  ProcessStartOptions options = events.Options();
  options.execTimeoutSec = 2;
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "trap '' TERM; exec sleep 30"}, {}, options));
  pid_t pid = process->GetPid();
  ASSERT_TRUE(RunLoopUntil([pid] { return HasSignalBit(pid, "SigIgn:", SIGTERM); }));
  ASSERT_TRUE(process->StopWithSignal(60, SIGTERM));
  AdvanceClock(2);
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_TRUE(process->HasExecTimedOut());
}

TEST(ProcessCancel, CancelledChildIsKilledAndReportedAsUntracked) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options(true, true)));
  std::string pid = PidText(process.get());
  process->CancelExecution();
  EXPECT_EQ(process->State(), ProcessState::NotStarted);
  char buf[8];
  EXPECT_EQ(process->ReadStream(PROCESS_STREAM_STDOUT, buf, sizeof buf), -1);
  ASSERT_TRUE(RunLoopUntil([&] { return Logged("A non tracked pid " + pid + " terminated.\n"); }));
  EXPECT_EQ(events.exits, 0);
  EXPECT_FALSE(process->HasExited());
  EXPECT_TRUE(Logged("<stop> Cancelling execution of pid " + pid + "\n"));
}

TEST(ProcessCancel, CancelledProcessCanBeStartedAgain) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  process->CancelExecution();
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "exit 6"}, {}, events.Options()));
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exits, 1);
  EXPECT_EQ(events.exitCodeAtExit, 6);
}

TEST(ProcessCancel, DeletingARunningProcessKillsItsChild) {
  ProcessEvents events;
  SysProcess *process = CreateSysProcess("doomed");
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options(true)));
  process->SetForceKillTimeoutCallback(RecordForceKillTimeout, 1);
  std::string pid = std::to_string(process->GetPid());
  delete process;
  ASSERT_TRUE(RunLoopUntil([&] { return Logged("A non tracked pid " + pid + " terminated.\n"); }));
  AdvanceClock(2);
  RunLoopFor(20);
  EXPECT_EQ(events.exits, 0);
  EXPECT_EQ(events.forceKillTimeouts, 0);
}

struct Restarter {
  SysProcess *process = nullptr;
  int exits = 0;
};

void RestartOnce(SysProcess *process, void *context) {
  auto *restarter = static_cast<Restarter *>(context);
  if (++restarter->exits == 1) {
    ProcessStartOptions options;
    options.onExit = RestartOnce;
    options.context = restarter;
    EXPECT_TRUE(process->Start("/bin/sh", {"-c", "exit 2"}, {}, options));
  }
}

TEST(ProcessCallbacks, ExitCallbackMayRestartTheProcess) {
  Restarter restarter;
  auto process = NewProcess();
  ProcessStartOptions options;
  options.onExit = RestartOnce;
  options.context = &restarter;
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "exit 1"}, {}, options));
  ASSERT_TRUE(RunLoopUntil([&] { return restarter.exits == 2; }));
  EXPECT_EQ(process->GetExitCode(), 2);
}

void DeleteOnExit(SysProcess *process, void *context) {
  delete process;
  *static_cast<bool *>(context) = true;
}

TEST(ProcessCallbacks, ExitCallbackMayDeleteTheProcess) {
  bool deleted = false;
  SysProcess *process = CreateSysProcess("self-deleting");
  ProcessStartOptions options;
  options.onExit = DeleteOnExit;
  options.onStdout = [](SysProcess *p, int stream, void *) {
    char buf[64];
    while (p->ReadStream(stream, buf, sizeof buf) > 0) {
    }
  };
  options.context = &deleted;
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "echo bye"}, {}, options));
  ASSERT_TRUE(RunLoopUntil([&] { return deleted; }));
}

TEST(ProcessCallbacks, StreamsAreDrainedBeforeTheExitCallback) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(
      process->Start("/bin/sh", {"-c", "echo last words; exit 0"}, {}, events.Options(true)));
  ASSERT_TRUE(RunLoopUntil([&] { return events.exits == 1; }));
  EXPECT_EQ(events.output[PROCESS_STREAM_STDOUT], "last words\n");
  EXPECT_EQ(process->ReadStream(PROCESS_STREAM_STDOUT, nullptr, 0), -1);  // closed at exit
}

}  // namespace
