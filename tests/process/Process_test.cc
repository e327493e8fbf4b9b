// Real children: what they run with and inherit, how a failed set-up step or
// start ends them; stopping, timing out, cancelling and reaping them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

#include "process/ProcessTestSupport.h"
#include "src/process/ChildReport.h"
#include "src/process/SpawnChild.h"
#include "src/process/SysProcessImpl.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

using Process = std::unique_ptr<SysProcess>;

// The directories under the cgroup root, a file put in the way, the
// controllers whose group gets the child, and the set-up failure logged.
TEST(Cgroups, ChildJoinsEachMountedControllerOrFailsWithTheStepsMessage) {
  const std::string all = "memory/system.slice cpuacct/system.slice blkio/system.slice ";
  const std::string group = "/system.slice/svc.service/", limit = "memory.limit_in_bytes";
  const struct {
    std::string dirs, file, joined, message;
  } cases[] = {
      {all, "", "memory cpuacct blkio ", ""},
      {"memory/system.slice", "", "memory ", ""},  // one missing ends the step quietly
      {"memory", "memory/system.slice", "",
       "Unable to enable memory accounting. Mkdir Error: "
       "Not a directory, {root}memory" +
           group + "\n"},
      {all + "memory" + group + limit, "", "memory cpuacct blkio ",
       "Unable to set memory limits.\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.dirs + c.file);
    ClearCapturedMessages();
    TempDir sysroot;
    const std::string root = sysroot.Sub("sys/fs/cgroup/");
    std::istringstream dirs(c.dirs);
    for (std::string dir; dirs >> dir;) MakeDirs(root + dir);
    if (!c.file.empty()) WriteFile(root + c.file, "in the way");
    UseSysroot(sysroot.path().c_str());
    ProcessLimits limits{"svc", 0, 64};
    ProcessEvents events;
    ProcessStartOptions options = events.Wire();
    options.limits = &limits;
    Process process(CreateSysProcess("svc"));
    EXPECT_TRUE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, options));
    UseSysroot(nullptr);
    EXPECT_TRUE(WaitForExit(process.get()));
    std::string pid = std::to_string(process->GetPid()), joined, message = c.message;
    for (const char *controller : {"memory", "cpuacct", "blkio"}) {
      if (ReadWholeFile(root + controller + group + "cgroup.procs") == pid) {
        joined += controller + std::string(" ");
      }
    }
    EXPECT_EQ(joined, c.joined);
    EXPECT_EQ(ReadWholeFile(root + "memory" + group + limit) == "64",
              joined == "memory cpuacct blkio " && message.empty());
    if (size_t at = message.find("{root}"); at != std::string::npos) message.replace(at, 6, root);
    EXPECT_EQ(Logged("Unable to"), !message.empty());
    EXPECT_TRUE(message.empty() || Logged("[Child " + pid + "] " + message)) << message;
    EXPECT_EQ(process->GetExitCode(), message.empty() ? 0 : 254);
  }
}

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  for (int fd = 0; fd < 1024; ++fd)
    if (fcntl(fd, F_GETFD) != -1) fds.insert(fd);
  return fds;
}

TEST(ProcessStreams, CapturePipesAreTheChildsOnlyExtraDescriptorsAndAreReadInFullBeforeExit) {
  int leaky = open("/dev/null", O_RDONLY);  // forgotten without close-on-exec
  ProcessEvents events, bulk;
  Process process(CreateSysProcess("test"));
  // One program, no pipeline of its own; ls opens the listed directory as 3.
  ASSERT_TRUE(process->Start("/bin/ls", {"-l", "/proc/self/fd"}, {}, events.Wire({}, true, true)));
  close(leaky);
  ASSERT_TRUE(WaitForExit(process.get()));
  std::istringstream lines(events.output[PROCESS_STREAM_STDOUT]);
  std::string listed;
  for (std::string line; std::getline(lines, line);) {
    size_t arrow = line.find(" -> "), name = line.rfind(' ', arrow - 1) + 1;
    if (arrow != std::string::npos) {
      listed +=
          line.substr(name, arrow - name) + (line.find("pipe:") != std::string::npos ? "p " : " ");
    }
  }
  EXPECT_EQ(listed, "0 1p 2p 3 ");
  // More than a pipe holds: the child's end blocks instead of failing.
  ASSERT_TRUE(
      process->Start("/usr/bin/head", {"-c", "300000", "/dev/zero"}, {}, bulk.Wire({}, true)));
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(bulk.output[PROCESS_STREAM_STDOUT].size(), 300000u);
}

// Each set-up step shows in what the program prints, or fails the child with
// 254 before exec, its message logged first; from a daemon-like signal state.
TEST(ChildSetup, EachStepIsAppliedOrEndsTheChildWith254AfterItsMessage) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.Sub("fifo.stdout").c_str(), 0600), 0);
  const std::string cwd = std::filesystem::canonical(dir.path());
  struct passwd *nobody = getpwnam("nobody");  // its own group only
  ASSERT_NE(nobody, nullptr);
  const std::string pdeathsig =  // PR_GET_PDEATHSIG, asked by the exec'd program
      "exec python3 -c 'import ctypes; s = ctypes.c_int(0); ctypes.CDLL(None).prctl(2, "
      "ctypes.byref(s)); print(s.value)'";
  const std::string base = dir.Sub("svc"), pidLine = "Starting service process with pid: {pid}.\n";
  const std::string beyondNrOpen =
      std::to_string(std::stoull(ReadFile("/proc/sys/fs/nr_open")) + 1);
  struct Case {
    std::string step, value;
    std::string script, output;  // what the program prints; nothing: it must not run
    std::string message;         // set-up failure; "{pid}" stands for the pid
  } cases[] = {
      {"", "", "grep ^Sig[BI] /proc/self/status; " + pdeathsig,  // SIGPIPE stays ignored
       "SigBlk:\t0000000000000000\nSigIgn:\t0000000000001000\n0\n", ""},
      {"workingDir", cwd, "pwd -P", cwd + "\n", ""},
      {"env", "XTRA_A=2", "tr '\\0' '\\n' </proc/$$/environ | grep ^XTRA_",
       "XTRA_INHERITED=1\nXTRA_A=2\n", ""},
      {"killOnParentDeath", "1", pdeathsig, "9\n", ""},
      {"user", "nobody", "id -G; echo $USER $HOME $SHELL",
       std::to_string(nobody->pw_gid) + "\nnobody " + nobody->pw_dir + " " + nobody->pw_shell +
           "\n",
       ""},
      // Both files get a pid line; the captured stdout goes to its pipe instead.
      {"streamBase", base,
       "echo oops >&2; stat -c %a " + base + ".stdout; cat " + base + ".stdout " + base + ".stderr",
       "600\n" + pidLine + pidLine + "oops\n", ""},
      {"path", "/nonexistent/program", "", "", ""},
      {"fdLimit", beyondNrOpen, "echo ran", "",
       "[Child {pid}] Failed to set fd limit. Error: Operation not permitted\n"},
      {"workingDir", "/nonexistent-dir", "echo ran", "",
       "[Child {pid}] Failed to set working directory. Error No such file or directory\n"},
      {"user", "sentro-no-such-user", "echo ran", "",
       "[Child {pid}] Entry corresponding to user sentro-no-such-user not found\n"},
      // A FIFO without a reader fails at once instead of blocking the start.
      {"streamBase", dir.Sub("fifo"), "echo ran", "",
       "<test> [Process: {pid}] Failed to redirect std-stream. Error: No such device or address\n"},
  };
  // What the daemon has: SIGPIPE ignored, its own signals blocked.
  struct sigaction ignore = {}, savedPipe, pipeAfter;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &savedPipe);
  sigset_t blocked, savedMask, maskAfter;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, &savedMask);
  setenv("XTRA_INHERITED", "1", 1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.step + " " + c.value);
    ProcessLimits limits;
    ProcessStartOptions options;
    options.limits = &limits;
    if (c.step == "workingDir") options.workingDir = c.value;
    if (c.step == "user") options.runAsUser = c.value;
    if (c.step == "streamBase") options.stdStreamFileBase = c.value;
    if (c.step == "fdLimit") limits.fdLimit = std::stoull(c.value);
    options.killOnParentDeath = c.step == "killOnParentDeath";
    ProcessEvents events;
    Process process(CreateSysProcess("test"));
    alarm(20);  // a blocked start ends the test run instead of hanging it
    ASSERT_TRUE(process->Start(c.step == "path" ? c.value : "/bin/sh", {"-c", c.script},
                               {c.step == "env" ? c.value : "X=1"}, events.Wire(options, true)));
    ASSERT_TRUE(WaitForExit(process.get()));
    alarm(0);
    auto withPid = [&](const std::string &text) { return WithPid(text, process->GetPid()); };
    EXPECT_EQ(events.output[PROCESS_STREAM_STDOUT], withPid(c.output));
    EXPECT_EQ(events.exitCodeAtExit, c.output.empty() ? 254 : 0);
    std::vector<std::string> log;
    for (const CapturedMessage &message : CapturedMessages()) log.push_back(message.text);
    auto exited =
        std::find(log.begin(), log.end(), withPid("<test> Pid {pid} exited with exit code 254\n"));
    EXPECT_TRUE(c.message.empty() || std::find(log.begin(), exited, withPid(c.message)) < exited);
  }
  unsetenv("XTRA_INHERITED");
  sigprocmask(SIG_SETMASK, &savedMask, &maskAfter);
  sigaction(SIGPIPE, &savedPipe, &pipeAfter);
  EXPECT_TRUE(sigismember(&maskAfter, SIGTERM));  // starts leave the daemon's own alone
  EXPECT_EQ(pipeAfter.sa_handler, SIG_IGN);
  EXPECT_EQ(ChildReportOpenCount(), 0u);  // the forked children's report pipes too
}

// A start that fails before a child exists leaves no descriptor open and the
// object as it was.
TEST(ProcessDescriptors, FailingPipeOrForkLeavesNothingOpenAndKeepsTheState) {
  ProcessEvents events;
  Process process(CreateSysProcess("pipes"));
  ASSERT_TRUE(process->Start("/bin/sh", {"-c", "exit 5"}, {}, events.Wire()));
  ASSERT_TRUE(WaitForExit(process.get()));
  std::set<int> before = OpenDescriptors();
  struct Case {
    int freeDescriptors;  // room left under the lowered limit; -1: fork fails
    bool captureStderr;
    const char *message;
  } cases[] = {
      {0, false, "<pipes> stdout pipe creation failed. Too many open files\n"},
      {2, true, "<pipes> stderr pipe creation failed. Too many open files\n"},
      {4, true, "<pipes> Child report pipe creation failed. Too many open files\n"},
      {-1, true, "fork failed. Resource temporarily unavailable\n"},
  };
  for (const Case &c : cases) {
    struct rlimit saved, lowered;
    getrlimit(RLIMIT_NOFILE, &saved);
    lowered = saved;
    for (int n = c.freeDescriptors + 1, fd = 0; c.freeDescriptors >= 0 && n > 0; ++fd) {
      lowered.rlim_cur = fd;  // ends at the (free + 1)-th free descriptor
      n -= fcntl(fd, F_GETFD) == -1;
    }
    setrlimit(RLIMIT_NOFILE, &lowered);
    SetForkFunctionForTesting(c.freeDescriptors < 0 ? +[]() -> pid_t { return errno = EAGAIN, -1; }
                                                    : nullptr);
    EXPECT_FALSE(
        process->Start("/bin/sh", {"-c", "exit 0"}, {}, events.Wire({}, true, c.captureStderr)));
    SetForkFunctionForTesting(nullptr);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_TRUE(Logged(c.message)) << c.message;
    EXPECT_EQ(process->GetExitCode(), 5);
  }
}

// Both print a line once ready, then close their output early.
const char *const kTermExits = "trap 'exit 3' TERM; echo; exec >&-; while :; do sleep 0.01; done";
const char *const kTermIgnored = "trap '' TERM; echo; exec sleep 30 >&-";
const char *const kGone = "";  // exits at once and is reaped behind the object's back

// Each stop mode on one object restarted per case, exec and force-kill (7 s)
// time-outs armed: a stop in progress refuses starts and stops; timers fire
// after exactly their seconds, never once the child is reaped; core notices
// reach the owner until it is gone; a stream at its end is no longer watched.
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
      // clang-format off
      {kTermExits, 3, [](auto &p) { return p.StopWithSignal(-1, -1); }, true, State::Stopping, 0, 3, false, 0,
       "<stop> Found empty StopSignal parameter in config file. Defaulting to SIGTERM\n"},
      {kTermIgnored, -1, [](auto &p) { return p.Stop(false, 5); }, true, State::Stopping, 5, 1, false, 0,
       "<stop> Sysprocess clean stop timed out. Force kill. Pid {pid}\n"},
      {kTermExits, -1, [](auto &p) { return p.StopWithCommand("/bin/kill", {"-TERM", std::to_string(p.GetPid())}, 30); },
       true, State::Stopping, 0, 3, false, 0, "<stop> Constructed command: /bin/kill -TERM {pid} \n"},
      {kTermExits, -1, [](auto &p) {  // then killed, to end the case
         SetForkFunctionForTesting([]() -> pid_t { return errno = ENOMEM, -1; });
         bool stopped = p.StopWithCommand("/bin/true", {}, 30);
         SetForkFunctionForTesting(nullptr);
         return stopped || !p.Stop(true, 0); },
       false, State::Killing, 0, 1, false, 0, "<stop> Fork failed. Error: Cannot allocate memory\n"},
      {kTermIgnored, 1, [](auto &) { return true; }, true, State::Running, 1, 1, true, 0,
       "<stop> SysProcess exec timed out. Force kill. Pid {pid}\n"},
      {kTermIgnored, 2, [](auto &p) { return p.StopWithSignal(60, SIGTERM); }, true, State::Stopping, 2, 1, true, 0,
       "<stop> SysProcess exec timed out. Force kill. Pid {pid}\n"},
      {kGone, -1, [](auto &p) { return p.StopWithSignal(-1, SIGTERM) && p.Stop(true, 0); }, true, State::Killing, 7, -1, false, 1,
       "<stop> The process we are trying to kill is already gone. No such process\n"},
      {kTermIgnored, 1, [](auto &p) { return p.CancelExecution(), true; }, true, State::NotStarted, 0, -1, false, 0,
       "A non tracked pid {pid} terminated.\n"},
      // clang-format on
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

}  // namespace
