// Stopping, timing out, cancelling and reaping real children, what exit
// callbacks may do, and the stop signal and live core commands.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>

#include "process/ProcessTestSupport.h"
#include "src/process/CommandHelpers.h"
#include "src/process/SpawnChild.h"
#include "src/process/SysProcessImpl.h"
#include "support/LogCapture.h"
#include "support/WaitUntil.h"

namespace {

// Both print a line once ready, then close their output early.
const char *const kTermExits = "trap 'exit 3' TERM; echo; exec >&-; while :; do sleep 0.01; done";
const char *const kTermIgnored = "trap '' TERM; echo; exec sleep 30 >&-";
const char *const kGone = "";  // exits at once and is reaped behind the object's back

// Each way a child is stopped, on one object started again for every case
// (so a start after an exit or a cancel is allowed), with an exec time-out
// and a force-kill time-out of 7 s armed. A stop in progress refuses starts
// and further clean stops; a killed child exits with 1; the timers fire after
// exactly their seconds and never once the child is reaped. Core-dump
// notices reach the owner until the child is gone; a stream at its end is no
// longer watched (it would stay readable and run its callback every turn).
TEST(ProcessStop, EachStopModeEndsTheChildAtItsTimeAndLeavesNoTimerBehind) {
  using State = ProcessState;
  using Stop = std::function<bool(SysProcessImpl &)>;
  struct Case {
    const char *script;
    int execTimeoutSec;
    Stop stop;
    bool accepted;
    State state;   // after the stop call
    int waitSec;   // clock seconds before the outcome; one less must not do
    int exitCode;  // -1: no exit is reported
    bool execTimedOut;
    int forceKillTimeouts;
    std::string message;  // "{pid}" stands for the child's pid
  } cases[] = {
      {kTermExits, 3, [](auto &p) { return p.StopWithSignal(-1, -1); }, true, State::Stopping, 0, 3,
       false, 0, "<stop> Found empty StopSignal parameter in config file. Defaulting to SIGTERM\n"},
      {kTermIgnored, -1, [](auto &p) { return p.Stop(false, 5); }, true, State::Stopping, 5, 1,
       false, 0, "<stop> Sysprocess clean stop timed out. Force kill. Pid {pid}\n"},
      {kTermExits, -1,
       [](auto &p) {
         return p.StopWithCommand("/bin/kill", {"-TERM", std::to_string(p.GetPid())}, 30);
       },
       true, State::Stopping, 0, 3, false, 0,
       "<stop> Constructed command: /bin/kill -TERM {pid} \n"},
      {kTermExits, -1,
       [](auto &p) {
         SetForkFunctionForTesting([]() -> pid_t { return errno = ENOMEM, -1; });
         bool stopped = p.StopWithCommand("/bin/true", {}, 30);
         SetForkFunctionForTesting(nullptr);
         return stopped || !p.Stop(true, 0);  // then killed, to end the case
       },
       false, State::Killing, 0, 1, false, 0,
       "<stop> Fork failed. Error: Cannot allocate memory\n"},
      {kTermIgnored, 1, [](auto &) { return true; }, true, State::Running, 1, 1, true, 0,
       "<stop> SysProcess exec timed out. Force kill. Pid {pid}\n"},
      {kTermIgnored, 2, [](auto &p) { return p.StopWithSignal(60, SIGTERM); }, true,
       State::Stopping, 2, 1, true, 0, "<stop> SysProcess exec timed out. Force kill. Pid {pid}\n"},
      {kGone, -1, [](auto &p) { return p.StopWithSignal(-1, SIGTERM) && p.Stop(true, 0); }, true,
       State::Killing, 7, -1, false, 1,
       "<stop> The process we are trying to kill is already gone. No such process\n"},
      {kTermIgnored, 1, [](auto &p) { return p.CancelExecution(), true; }, true, State::NotStarted,
       0, -1, false, 0, "A non tracked pid {pid} terminated.\n"},
  };
  auto process = std::make_unique<SysProcessImpl>("stop");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    ProcessEvents events;
    ProcessStartOptions options;
    options.execTimeoutSec = c.execTimeoutSec;
    ASSERT_TRUE(process->Start("/bin/sh", {"-c", c.script}, {}, events.Wire(options, true)));
    if (c.script == kGone) {
      siginfo_t info = {};
      ASSERT_EQ(waitid(P_PID, process->GetPid(), &info, WEXITED), 0);
    } else {
      ASSERT_TRUE(RunLoopUntil([&] { return !events.output[0].empty(); }));
    }
    process->SetForceKillTimeoutCallback(RecordForceKillTimeout, 7);
    const std::string message = WithPid(c.message, process->GetPid());
    const int pid = process->GetPid();
    NotifyCoreDump(pid);
    EXPECT_EQ(c.stop(*process), c.accepted);
    EXPECT_EQ(process->State(), c.state);
    if (c.state != State::NotStarted) {
      EXPECT_FALSE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, events.Wire()));
    }
    if (c.state == State::Stopping || c.state == State::Killing) {
      EXPECT_FALSE(process->Stop(false, 30));
      EXPECT_FALSE(process->StopWithSignal(30, SIGTERM));
      EXPECT_FALSE(process->StopWithCommand("/bin/true", {}, 30));
    }
    if (c.waitSec > 0) {
      AdvanceClock(c.waitSec - 1);
      RunLoopFor(50);
      EXPECT_EQ(events.exits + events.forceKillTimeouts, 0);
      AdvanceClock(1);
    }
    EXPECT_TRUE(RunLoopUntil([&] {
      return c.exitCode >= 0 ? events.exits > 0
                             : events.forceKillTimeouts > 0 ||
                                   (c.state == State::NotStarted && Logged(message));
    }));
    AdvanceClock(8);
    RunLoopFor(20);
    EXPECT_EQ(events.exits, c.exitCode >= 0 ? 1 : 0);
    EXPECT_EQ(events.exitCodeAtExit, c.exitCode);
    EXPECT_EQ(process->HasExecTimedOut(), c.execTimedOut);
    EXPECT_EQ(events.forceKillTimeouts, c.forceKillTimeouts);
    EXPECT_TRUE(Logged(message)) << message;
    EXPECT_LT(events.streamCalls, 10);
    if (!process->HasExited()) process->CancelExecution();
    char buf[8];
    EXPECT_EQ(process->ReadStream(PROCESS_STREAM_STDOUT, buf, sizeof buf), -1);  // closed
    NotifyCoreDump(pid);
    EXPECT_EQ(events.coreDumps, 1);
    EXPECT_TRUE(Logged(WithPid("A non tracked pid {pid} is dumping core.\n", pid)));
  }
  // Deleted with a child: killed, reported as untracked, and no timer fires.
  ProcessEvents events;
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Wire()));
  process->SetForceKillTimeoutCallback(RecordForceKillTimeout, 1);
  std::string pid = std::to_string(process->GetPid());
  process.reset();
  ASSERT_TRUE(RunLoopUntil([&] { return Logged("A non tracked pid " + pid + " terminated.\n"); }));
  AdvanceClock(2);
  RunLoopFor(20);
  EXPECT_EQ(events.exits + events.forceKillTimeouts, 0);
  ReapChildren();  // no child left: quiet
  EXPECT_FALSE(Logged("waitid failed"));
}

// The first exit restarts the process from its callback, the second deletes it.
TEST(ProcessCallbacks, ExitCallbackMayRestartOrDeleteTheProcess) {
  static int exits = 0;
  static ProcessStartOptions options;
  options.onExit = [](SysProcess *process, void *) {
    if (++exits == 2) return delete process;
    EXPECT_TRUE(process->Start("/bin/sh", {"-c", "exit 2"}, {}, options));
  };
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

TEST(CommandHelpers, StopSignalNamesMatchExactlyAndLiveCoresAreNamedInUtc) {
  ClearCapturedMessages();
  for (auto [name, number] : {std::pair{"SIGTERM", SIGTERM},
                              {"SIGINT", SIGINT},
                              {"SIGHUP", SIGHUP},
                              {"SIGUSR1", SIGUSR1},
                              {"SIGUSR2", SIGUSR2},
                              {"sigterm", SIGTERM}}) {
    EXPECT_EQ(SignalFromName(name), number) << name;
  }
  EXPECT_EQ(LoggedMessages(),
            std::vector<std::string>{"Signal sigterm is not supported. Defaulting to SIGTERM.\n"});
  setenv("TZ", "Asia/Kolkata", 1);  // the name uses UTC whatever the local zone
  tzset();
  UseSysroot("/tmp/sentro-root");
  std::string command, core;
  std::vector<std::string> args = {"kept"};
  BuildLiveCoreCommandAt(1614675907, 1234, "alpha", &command, &args, &core);  // 2021-03-02 09:05:07
  UseSysroot(nullptr);
  unsetenv("TZ");
  tzset();
  const std::string prefix = "/tmp/sentro-root/var/core/livecore.alpha-03-02-21-09-05-07";
  EXPECT_EQ(command, "/tmp/sentro-root/usr/bin/gcore");
  EXPECT_EQ(args, (std::vector<std::string>{"kept", "-o", prefix, "1234"}));
  EXPECT_EQ(core, prefix + ".1234");
}

}  // namespace
