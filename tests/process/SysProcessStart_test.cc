// Starting real children: what they run with, what they inherit, how a
// failed set-up step ends them, and how a start that cannot happen leaves
// nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <csignal>
#include <memory>
#include <set>
#include <sstream>

#include "process/ProcessTestSupport.h"
#include "src/process/ChildReport.h"
#include "src/process/SpawnChild.h"
#include "support/TempDir.h"

namespace {

const std::string kShell = "/bin/sh";

std::unique_ptr<SysProcess> NewProcess(const std::string &tag = "test") {
  return std::unique_ptr<SysProcess>(CreateSysProcess(tag));
}

// Runs `sh -c script` to its end and returns its events; *pid gets the
// child's pid.
ProcessEvents RunScript(const std::string &script, ProcessStartOptions options = {},
                        bool captureStdout = false, bool captureStderr = false,
                        pid_t *pid = nullptr) {
  ProcessEvents events;
  auto process = NewProcess();
  EXPECT_TRUE(process->Start(kShell, {"-c", script}, {},
                             events.Wire(options, captureStdout, captureStderr)));
  EXPECT_TRUE(WaitForExit(process.get()));
  if (pid != nullptr) {
    *pid = process->GetPid();
  }
  return events;
}

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  for (int fd = 0; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) {
      fds.insert(fd);
    }
  }
  return fds;
}

// The n-th lowest descriptor number that is free (n counts from 1).
int NthFreeDescriptor(int n) {
  for (int fd = 0;; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && --n == 0) {
      return fd;
    }
  }
}

class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t soft) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    struct rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  struct rlimit saved_;
};

// Whether this process may raise its hard descriptor limit; lowering it back
// is always allowed.
bool MayRaiseHardDescriptorLimit() {
  struct rlimit limit, raised;
  getrlimit(RLIMIT_NOFILE, &limit);
  raised = limit;
  raised.rlim_max += 1;
  bool may = setrlimit(RLIMIT_NOFILE, &raised) == 0;
  setrlimit(RLIMIT_NOFILE, &limit);
  return may;
}

// The text with every run of digits replaced by "N".
std::string WithoutPids(const std::string &text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!isdigit(static_cast<unsigned char>(text[i]))) {
      result += text[i];
    } else if (i == 0 || !isdigit(static_cast<unsigned char>(text[i - 1]))) {
      result += 'N';
    }
  }
  return result;
}

TEST(ProcessExit, ExitStatusIsTheCodeAndAnyDeathBySignalIsOne) {
  struct Case {
    const char *script;
    int exitCode;
  } cases[] = {{"exit 7", 7}, {"kill -KILL $$", 1}, {"kill -SEGV $$", 1}, {"kill -TERM $$", 1}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.script);
    ProcessEvents events = RunScript(c.script);
    EXPECT_EQ(events.exits, 1);
    EXPECT_EQ(events.exitCodeAtExit, c.exitCode);
  }
}

TEST(ProcessStart, RefusedWhileTheChildLivesAndAllowedAfterExitOrCancel) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  pid_t pid = process->GetPid();
  EXPECT_FALSE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));  // running
  ASSERT_TRUE(process->StopWithSignal(-1, SIGTERM));
  EXPECT_FALSE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));  // stopping
  EXPECT_EQ(process->GetPid(), pid);
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exits, 1);

  ASSERT_TRUE(process->Start(kShell, {"-c", "exit 4"}, {}, events.Options()));
  EXPECT_FALSE(process->HasExited());
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exitCodeAtExit, 4);

  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  ASSERT_TRUE(process->Stop(true, 0));
  EXPECT_FALSE(process->Stop(true, 0));  // killing already
  EXPECT_FALSE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  process->CancelExecution();
  ASSERT_TRUE(process->Start(kShell, {"-c", "exit 6"}, {}, events.Options()));
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exitCodeAtExit, 6);
  EXPECT_EQ(events.exits, 3);
}

TEST(ProcessStreams, CapturePipesAreTheChildsOnlyExtraDescriptorsAndAreReadInFullBeforeExit) {
  // Descriptors the daemon forgot to mark close-on-exec.
  int leaky = open("/dev/null", O_RDONLY);
  int leakyPipe[2];
  ASSERT_EQ(pipe(leakyPipe), 0);
  ProcessEvents events;
  auto process = NewProcess();
  // More than a pipe holds: the child's end blocks instead of failing.
  ASSERT_TRUE(process->Start(
      kShell,
      {"-c", "ls -l /proc/$$/fd | grep -c pipe: >&2; ls /proc/$$/fd; head -c 300000 /dev/zero"}, {},
      events.Options(true, true)));
  close(leaky);
  close(leakyPipe[0]);
  close(leakyPipe[1]);
  char buf[8];
  EXPECT_EQ(process->ReadStream(2, buf, sizeof buf), -1);
  ASSERT_TRUE(WaitForExit(process.get()));
  const std::string &out = events.outputAtExit[PROCESS_STREAM_STDOUT];
  EXPECT_EQ(out.size(), 6u + 300000u);
  EXPECT_TRUE(out.starts_with("0\n1\n2\n"));  // no descriptor beyond the standard three
  EXPECT_EQ(events.outputAtExit[PROCESS_STREAM_STDERR], "2\n");  // stdout and stderr are pipes
  EXPECT_EQ(process->ReadStream(PROCESS_STREAM_STDOUT, buf, sizeof buf), -1);  // closed at exit

  ASSERT_TRUE(process->Start(kShell, {"-c", "exit 0"}, {}, events.Options()));
  EXPECT_EQ(process->ReadStream(PROCESS_STREAM_STDOUT, buf, sizeof buf), -1);  // not captured
  ASSERT_TRUE(WaitForExit(process.get()));
}

struct StreamCalls {
  int calls = 0;
  std::string data;
};

void CountStreamCall(SysProcess *process, int stream, void *context) {
  auto *calls = static_cast<StreamCalls *>(context);
  calls->calls++;
  char buf[256];
  ssize_t count;
  while ((count = process->ReadStream(stream, buf, sizeof buf)) > 0) {
    calls->data.append(buf, static_cast<size_t>(count));
  }
}

TEST(ProcessStreams, StreamClosedEarlyDoesNotKeepTheLoopBusy) {
  StreamCalls calls;
  ProcessStartOptions options;
  options.onStdout = CountStreamCall;
  options.context = &calls;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start(kShell, {"-c", "echo early; exec >&-; exec sleep 30"}, {}, options));
  ASSERT_TRUE(RunLoopUntil([&] { return calls.data == "early\n"; }));
  RunLoopFor(200);
  // Readable at end of stream for ever: watched, this would run every turn.
  EXPECT_LT(calls.calls, 10);
  ASSERT_TRUE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));
}

TEST(ProcessStreams, RedirectFilesAppendAfterAPidLineAndACapturePipeWinsOverThem) {
  TempDir dir;
  ProcessStartOptions options;
  options.stdStreamFileBase = dir.Sub("svc");
  RunScript("echo hello; echo oops >&2", options);
  pid_t pid = 0;
  ProcessEvents captured = RunScript("echo again; echo oops2 >&2", options, true, false, &pid);
  EXPECT_EQ(captured.output[PROCESS_STREAM_STDOUT], "again\n");
  std::string out = ReadFile(dir.Sub("svc.stdout"));
  EXPECT_EQ(WithoutPids(out),
            "Starting service process with pid: N.\nhello\n"
            "Starting service process with pid: N.\n");
  EXPECT_TRUE(out.ends_with("pid: " + std::to_string(pid) + ".\n")) << out;
  EXPECT_EQ(WithoutPids(ReadFile(dir.Sub("svc.stderr"))),
            "Starting service process with pid: N.\noops\n"
            "Starting service process with pid: N.\noopsN\n");
  struct stat info;
  ASSERT_EQ(stat(dir.Sub("svc.stdout").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(ProcessSetup, FailedStepEndsTheChildWith254BeforeExecAndItsMessageComesFirst) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.Sub("fifo.stdout").c_str(), 0600), 0);
  struct Case {
    std::string workingDir, runAsUser, streamBase;
    std::string before, after;  // the message is before + pid + after
  } cases[] = {
      {"/nonexistent-sentro-dir", "", "", "[Child ",
       "] Failed to set working directory. Error No such file or directory\n"},
      // Must not go on as root.
      {"", "sentro-no-such-user", "", "[Child ",
       "] Entry corresponding to user sentro-no-such-user not found\n"},
      {"", "", "/nonexistent-dir/svc",
       "<test> [Process: ", "] Failed to redirect std-stream. Error: No such file or directory\n"},
      // A FIFO without a reader fails at once instead of blocking the start.
      {"", "", dir.Sub("fifo"),
       "<test> [Process: ", "] Failed to redirect std-stream. Error: No such device or address\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.after);
    ProcessStartOptions options;
    options.workingDir = c.workingDir;
    options.runAsUser = c.runAsUser;
    options.stdStreamFileBase = c.streamBase;
    pid_t pid = 0;
    alarm(20);  // a blocked start ends the test run instead of hanging it
    ProcessEvents events = RunScript("touch " + dir.Sub("ran"), options, false, false, &pid);
    alarm(0);
    EXPECT_EQ(events.exitCodeAtExit, 254);
    EXPECT_FALSE(FileExists(dir.Sub("ran")));
    std::vector<std::string> log = LoggedMessages();
    auto failure = std::find(log.begin(), log.end(), c.before + std::to_string(pid) + c.after);
    auto exited = std::find(log.begin(), log.end(),
                            "<test> Pid " + std::to_string(pid) + " exited with exit code 254\n");
    ASSERT_NE(failure, log.end());
    ASSERT_NE(exited, log.end());
    EXPECT_LT(failure, exited);
  }
  EXPECT_EQ(ChildReportOpenCount(), 0u);  // the forked child's report pipe too
}

TEST(ProcessEnvironment, WorkingDirectoryIsApplied) {
  TempDir dir;
  ProcessStartOptions options;
  options.workingDir = dir.path();
  ProcessEvents events = RunScript("pwd -P", options, true);
  char resolved[PATH_MAX];
  ASSERT_NE(realpath(dir.path().c_str(), resolved), nullptr);
  EXPECT_EQ(events.output[PROCESS_STREAM_STDOUT], std::string(resolved) + "\n");
}

TEST(ProcessEnvironment, ExtraEntriesComeAfterTheInheritedOnes) {
  setenv("SENTRO_TEST_INHERITED", "1", 1);
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/usr/bin/env", {}, {"SENTRO_EXTRA_A=2", "SENTRO_EXTRA_B=3"},
                             events.Options(true)));
  ASSERT_TRUE(WaitForExit(process.get()));
  unsetenv("SENTRO_TEST_INHERITED");
  const std::string &out = events.output[PROCESS_STREAM_STDOUT];
  EXPECT_NE(out.find("SENTRO_TEST_INHERITED=1\n"), std::string::npos);
  EXPECT_TRUE(out.ends_with("\nSENTRO_EXTRA_A=2\nSENTRO_EXTRA_B=3\n")) << out;
}

TEST(ProcessUser, RunsAsNobodyWithItsGroupsAndEnvironment) {
  if (getuid() != 0) {
    GTEST_SKIP() << "changing user needs root";
  }
  ProcessStartOptions options;
  options.runAsUser = "nobody";
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start(kShell, {"-c", "echo $USER $HOME $SHELL; exec sleep 30"}, {},
                             events.Wire(options, true)));
  pid_t pid = process->GetPid();
  ASSERT_TRUE(RunLoopUntil(
      [&] { return events.output[PROCESS_STREAM_STDOUT].find('\n') != std::string::npos; }));
  struct passwd *nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  std::string uid = std::to_string(nobody->pw_uid);
  std::string gid = std::to_string(nobody->pw_gid);
  EXPECT_EQ(ProcField(pid, "status", "Uid:"), "\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid);
  EXPECT_EQ(ProcField(pid, "status", "Gid:"), "\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid);
  EXPECT_EQ(ProcField(pid, "status", "Groups:").find(" 0 "), std::string::npos);
  EXPECT_EQ(events.output[PROCESS_STREAM_STDOUT],
            std::string("nobody ") + nobody->pw_dir + " " + nobody->pw_shell + "\n");
  ASSERT_TRUE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));
}

TEST(ProcessLimitsTest, DescriptorLimitSetsTheSoftLimitRaisesALowerHardOneOrFailsTheChild) {
  struct rlimit own;
  getrlimit(RLIMIT_NOFILE, &own);
  const uint64_t nrOpen = std::stoull(ReadFile("/proc/sys/fs/nr_open"));
  std::string hard = own.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(own.rlim_max);
  std::vector<std::pair<uint64_t, std::string>> cases = {{777, "777 " + hard}};  // soft, hard
  if (own.rlim_max + 1000 <= nrOpen && MayRaiseHardDescriptorLimit()) {
    std::string raised = std::to_string(own.rlim_max + 1000);
    cases.push_back({own.rlim_max + 1000, raised + " " + raised});
  }
  ProcessLimits limits;
  ProcessStartOptions options;
  options.limits = &limits;
  for (const auto &[fdLimit, softAndHard] : cases) {
    limits.fdLimit = fdLimit;
    ProcessEvents events;
    auto process = NewProcess();
    ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Wire(options)));
    pid_t pid = process->GetPid();
    auto limitsNow = [pid] {
      std::istringstream line(ProcField(pid, "limits", "Max open files"));
      std::string soft, hard;
      line >> soft >> hard;
      return soft + " " + hard;
    };
    EXPECT_TRUE(RunLoopUntil([&] { return limitsNow() == softAndHard; })) << limitsNow();
    ASSERT_TRUE(process->Stop(true, 0));
    ASSERT_TRUE(WaitForExit(process.get()));
  }
  // Above nr_open not even a privileged child may go.
  limits.fdLimit = nrOpen + 1;
  pid_t pid = 0;
  EXPECT_EQ(RunScript("exit 0", options, false, false, &pid).exitCodeAtExit, 254);
  EXPECT_TRUE(Logged("[Child " + std::to_string(pid) +
                     "] Failed to set fd limit. Error: Operation not permitted\n"));
}

// A child that keeps the daemon's user borrows its memory until exec, so
// the program is already running when Start returns.
TEST(ProcessSpawn, ChildHasExecdWithNoBlockedAndNoIgnoredSignalsWhenStartReturns) {
  // What the daemon has: SIGPIPE and others ignored, its signals blocked.
  struct sigaction ignore = {}, savedPipe, savedUsr2;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &savedPipe);
  sigaction(SIGUSR2, &ignore, &savedUsr2);
  sigset_t blocked, savedMask;
  sigemptyset(&blocked);
  for (int signal : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGCHLD, SIGUSR1}) {
    sigaddset(&blocked, signal);
  }
  sigprocmask(SIG_BLOCK, &blocked, &savedMask);

  ProcessEvents events;
  auto process = NewProcess();
  bool started = process->Start("/bin/sleep", {"30"}, {}, events.Options());
  // The start leaves the daemon's own mask and dispositions as they were.
  sigset_t maskAfter;
  sigprocmask(SIG_SETMASK, nullptr, &maskAfter);
  struct sigaction pipeAfter;
  sigaction(SIGPIPE, nullptr, &pipeAfter);

  sigprocmask(SIG_SETMASK, &savedMask, nullptr);
  sigaction(SIGPIPE, &savedPipe, nullptr);
  sigaction(SIGUSR2, &savedUsr2, nullptr);
  ASSERT_TRUE(started);
  // The executable, not the name: exec renames the task a moment after it
  // has let go of the daemon's memory.
  pid_t pid = process->GetPid();
  char sleepPath[PATH_MAX], exePath[PATH_MAX] = {};
  ASSERT_NE(realpath("/bin/sleep", sleepPath), nullptr);
  std::string exeLink = "/proc/" + std::to_string(pid) + "/exe";
  ASSERT_GT(readlink(exeLink.c_str(), exePath, sizeof exePath - 1), 0);
  EXPECT_STREQ(exePath, sleepPath);
  ASSERT_TRUE(RunLoopUntil([pid] { return ProcField(pid, "status", "Name:") == "\tsleep"; }));
  EXPECT_EQ(ProcField(pid, "status", "SigBlk:"), "\t0000000000000000");
  EXPECT_EQ(ProcField(pid, "status", "SigIgn:"), "\t0000000000000000");
  for (int signal : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGCHLD, SIGUSR1}) {
    EXPECT_TRUE(sigismember(&maskAfter, signal)) << signal;
  }
  EXPECT_FALSE(sigismember(&maskAfter, SIGUSR2));
  EXPECT_EQ(pipeAfter.sa_handler, SIG_IGN);
  ASSERT_TRUE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));
}

TEST(ProcessSpawn, BackToBackStartsAndExecFailuresAllReport) {
  // The same borrowed stack serves every child; a failure in one leaves
  // nothing behind for the next.
  for (int round = 0; round < 20; ++round) {
    ProcessEvents good = RunScript("exit 3");
    EXPECT_EQ(good.exitCodeAtExit, 3);
    auto process = NewProcess("nosuch");
    ProcessEvents events;
    ASSERT_TRUE(process->Start("/nonexistent/program", {}, {}, events.Options()));
    ASSERT_TRUE(WaitForExit(process.get()));
    EXPECT_EQ(process->GetExitCode(), 254);
  }
}

TEST(ProcessSignals, ParentDeathSignalIsRequestedWhenAsked) {
  if (access("/usr/bin/python3", X_OK) != 0) {
    GTEST_SKIP() << "needs python3 to read the parent-death signal";
  }
  // PR_GET_PDEATHSIG (2), asked by the exec'd program itself.
  const std::string script =
      "import ctypes; s = ctypes.c_int(0); ctypes.CDLL(None).prctl(2, ctypes.byref(s)); "
      "print(s.value)";
  for (bool ask : {true, false}) {
    ProcessEvents events;
    ProcessStartOptions options = events.Options(true);
    options.killOnParentDeath = ask;
    auto process = NewProcess();
    ASSERT_TRUE(process->Start("/usr/bin/python3", {"-c", script}, {}, options));
    ASSERT_TRUE(WaitForExit(process.get(), 10000));
    EXPECT_EQ(events.output[PROCESS_STREAM_STDOUT], ask ? "9\n" : "0\n");
  }
}

TEST(ProcessDescriptors, FailingPipeLeavesNothingOpenAndForksNothing) {
  struct Case {
    int freeDescriptors;  // room left under the lowered limit
    bool captureStderr;
    const char *message;
  } cases[] = {
      {0, false, "<pipes> stdout pipe creation failed. Too many open files\n"},
      {2, true, "<pipes> stderr pipe creation failed. Too many open files\n"},
      // Both capture pipes fit, the child's report pipe does not.
      {4, true, "<pipes> Child report pipe creation failed. Too many open files\n"},
  };
  ProcessEvents events;
  auto process = NewProcess("pipes");
  // A first virtual call outside the lowered limit: UBSan's type check
  // needs a descriptor of its own the first time it meets the object.
  EXPECT_EQ(process->GetPid(), 0);
  std::set<int> before = OpenDescriptors();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    {
      DescriptorLimit limit(NthFreeDescriptor(c.freeDescriptors + 1));
      EXPECT_FALSE(
          process->Start(kShell, {"-c", "exit 0"}, {}, events.Options(true, c.captureStderr)));
    }
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_TRUE(Logged(c.message));
  }
  EXPECT_FALSE(process->HasExited());
  EXPECT_EQ(process->GetPid(), 0);
}

pid_t FailingFork() {
  errno = EAGAIN;
  return -1;
}

TEST(ProcessDescriptors, FailingForkLeavesNothingOpenAndKeepsTheState) {
  ProcessEvents events;
  auto process = NewProcess("forkless");
  ASSERT_TRUE(process->Start(kShell, {"-c", "exit 5"}, {}, events.Options()));
  ASSERT_TRUE(WaitForExit(process.get()));
  std::set<int> before = OpenDescriptors();
  SetForkFunctionForTesting(FailingFork);
  bool started = process->Start(kShell, {"-c", "exit 0"}, {}, events.Options(true, true));
  SetForkFunctionForTesting(nullptr);
  EXPECT_FALSE(started);
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_TRUE(Logged("fork failed. Resource temporarily unavailable\n"));
  EXPECT_TRUE(process->HasExited());
  EXPECT_EQ(process->GetExitCode(), 5);
}

}  // namespace
