// Starting real children: what they run with, what they inherit, and how a
// start that cannot happen leaves nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <csignal>
#include <memory>
#include <set>

#include "process/ProcessTestSupport.h"
#include "src/process/SpawnChild.h"
#include "src/process/SysProcessImpl.h"
#include "support/TempDir.h"

namespace {

const std::string kShell = "/bin/sh";

std::unique_ptr<SysProcess> NewProcess(const std::string &tag = "test") {
  return std::unique_ptr<SysProcess>(CreateSysProcess(tag));
}

// Runs `sh -c script` to its end and returns its events.
ProcessEvents RunScript(const std::string &script, ProcessStartOptions options = {},
                        bool captureStdout = false, bool captureStderr = false) {
  ProcessEvents events;
  ProcessStartOptions wired = events.Options(captureStdout, captureStderr);
  options.onExit = wired.onExit;
  options.onCoreDump = wired.onCoreDump;
  options.onStdout = wired.onStdout;
  options.onStderr = wired.onStderr;
  options.context = &events;
  auto process = NewProcess();
  EXPECT_TRUE(process->Start(kShell, {"-c", script}, {}, options));
  EXPECT_TRUE(WaitForExit(process.get()));
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

// Whether this process could raise its hard descriptor limit (probed in a
// child, since a raised limit cannot always be taken back).
bool MayRaiseHardDescriptorLimit() {
  pid_t pid = fork();
  if (pid == 0) {
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_max += 1;
    _exit(setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 0 : 1);
  }
  siginfo_t info = {};
  waitid(P_PID, pid, &info, WEXITED);
  return info.si_code == CLD_EXITED && info.si_status == 0;
}

// The text with every run of digits replaced by "N".
std::string WithoutPids(const std::string &text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (isdigit(static_cast<unsigned char>(text[i]))) {
      if (i == 0 || !isdigit(static_cast<unsigned char>(text[i - 1]))) {
        result += 'N';
      }
    } else {
      result += text[i];
    }
  }
  return result;
}

TEST(ProcessExit, NormalExitStatusIsTheExitCode) {
  ProcessEvents events = RunScript("exit 7");
  EXPECT_EQ(events.exits, 1);
  EXPECT_EQ(events.exitCodeAtExit, 7);
}

TEST(ProcessExit, DeathByAnySignalIsExitCodeOne) {
  for (const char *script : {"kill -KILL $$", "kill -SEGV $$", "kill -TERM $$"}) {
    ProcessEvents events = RunScript(script);
    EXPECT_EQ(events.exits, 1) << script;
    EXPECT_EQ(events.exitCodeAtExit, 1) << script;
  }
}

TEST(ProcessExit, ExecFailureIsExitCode254) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/nonexistent/sentro-test-binary", {}, {}, events.Options()));
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(process->GetExitCode(), 254);
}

TEST(ProcessStart, LogsTheConstructedCommandEndingInABlank) {
  RunScript("exit 0");
  EXPECT_TRUE(Logged("<test> Constructed command: /bin/sh -c exit 0 \n"));
}

TEST(ProcessStart, StartWhileRunningFailsAndForksNothing) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  pid_t pid = process->GetPid();
  EXPECT_FALSE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  EXPECT_EQ(process->GetPid(), pid);
  ASSERT_TRUE(process->StopWithSignal(-1, SIGTERM));
  EXPECT_FALSE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(events.exits, 1);
}

TEST(ProcessStart, ExitedProcessCanBeStartedAgain) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start(kShell, {"-c", "exit 3"}, {}, events.Options()));
  ASSERT_TRUE(WaitForExit(process.get()));
  ASSERT_TRUE(process->Start(kShell, {"-c", "exit 4"}, {}, events.Options()));
  EXPECT_FALSE(process->HasExited());
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(process->GetExitCode(), 4);
  EXPECT_EQ(events.exits, 2);
}

TEST(ProcessStreams, CapturedOutputReachesTheStreamCallbacks) {
  ProcessEvents events = RunScript("echo out; echo err >&2; exit 0", {}, true, true);
  EXPECT_EQ(events.output[PROCESS_STREAM_STDOUT], "out\n");
  EXPECT_EQ(events.output[PROCESS_STREAM_STDERR], "err\n");
  EXPECT_EQ(events.exitCodeAtExit, 0);
}

TEST(ProcessStreams, LargeCapturedOutputIsNotCutShort) {
  // More than a pipe holds: the child's end blocks instead of failing.
  ProcessEvents events = RunScript("head -c 300000 /dev/zero", {}, true, false);
  EXPECT_EQ(events.output[PROCESS_STREAM_STDOUT].size(), 300000u);
  EXPECT_EQ(events.exitCodeAtExit, 0);
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

TEST(ProcessStreams, UncapturedStreamCannotBeRead) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start(kShell, {"-c", "exit 0"}, {}, events.Options()));
  char buf[8];
  EXPECT_EQ(process->ReadStream(PROCESS_STREAM_STDOUT, buf, sizeof buf), -1);
  EXPECT_EQ(process->ReadStream(2, buf, sizeof buf), -1);
  ASSERT_TRUE(WaitForExit(process.get()));
}

TEST(ProcessStreams, RedirectFilesStartWithThePidLineAndAppend) {
  TempDir dir;
  ProcessStartOptions options;
  options.stdStreamFileBase = dir.Sub("svc");
  RunScript("echo hello; echo oops >&2", options);
  RunScript("echo again", options);
  EXPECT_EQ(WithoutPids(ReadFile(dir.Sub("svc.stdout"))),
            "Starting service process with pid: N.\nhello\n"
            "Starting service process with pid: N.\nagain\n");
  EXPECT_EQ(WithoutPids(ReadFile(dir.Sub("svc.stderr"))),
            "Starting service process with pid: N.\noops\n"
            "Starting service process with pid: N.\n");
  struct stat info;
  ASSERT_EQ(stat(dir.Sub("svc.stdout").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(ProcessStreams, CapturePipeWinsOverRedirectFile) {
  TempDir dir;
  ProcessStartOptions options;
  options.stdStreamFileBase = dir.Sub("svc");
  ProcessEvents events;
  auto process = NewProcess();
  ProcessStartOptions wired = events.Options(true, false);
  options.onExit = wired.onExit;
  options.onStdout = wired.onStdout;
  options.context = &events;
  ASSERT_TRUE(process->Start(kShell, {"-c", "echo hello; echo oops >&2"}, {}, options));
  ASSERT_TRUE(WaitForExit(process.get()));
  std::string pidLine =
      "Starting service process with pid: " + std::to_string(process->GetPid()) + ".\n";
  EXPECT_EQ(events.output[PROCESS_STREAM_STDOUT], "hello\n");
  EXPECT_EQ(ReadFile(dir.Sub("svc.stdout")), pidLine);
  EXPECT_EQ(ReadFile(dir.Sub("svc.stderr")), pidLine + "oops\n");
}

TEST(ProcessStreams, UnopenableRedirectFileFailsTheChildWithItsMessageFirst) {
  ProcessStartOptions options;
  options.stdStreamFileBase = "/nonexistent-dir/svc";
  ProcessEvents events;
  auto process = NewProcess("redir");
  ProcessStartOptions wired = events.Options();
  options.onExit = wired.onExit;
  options.context = &events;
  ASSERT_TRUE(process->Start(kShell, {"-c", "exit 0"}, {}, options));
  ASSERT_TRUE(WaitForExit(process.get()));
  EXPECT_EQ(process->GetExitCode(), 254);
  std::string failure = "<redir> [Process: " + std::to_string(process->GetPid()) +
                        "] Failed to redirect std-stream. Error: No such file or directory\n";
  std::string exited =
      "<redir> Pid " + std::to_string(process->GetPid()) + " exited with exit code 254\n";
  std::vector<std::string> log = LoggedMessages();
  auto failureAt = std::find(log.begin(), log.end(), failure);
  auto exitedAt = std::find(log.begin(), log.end(), exited);
  ASSERT_NE(failureAt, log.end());
  ASSERT_NE(exitedAt, log.end());
  EXPECT_LT(failureAt, exitedAt);
}

TEST(ProcessStreams, RedirectToAFifoWithoutReaderFailsInsteadOfBlocking) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.Sub("svc.stdout").c_str(), 0600), 0);
  ProcessStartOptions options;
  options.stdStreamFileBase = dir.Sub("svc");
  alarm(20);  // a blocked start ends the test run instead of hanging it
  ProcessEvents events = RunScript("exit 0", options);
  alarm(0);
  EXPECT_EQ(events.exitCodeAtExit, 254);
  EXPECT_TRUE(Logged("] Failed to redirect std-stream. Error: No such device or address\n"));
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

TEST(ProcessEnvironment, MissingWorkingDirectoryFailsTheChild) {
  ProcessStartOptions options;
  options.workingDir = "/nonexistent-sentro-dir";
  ProcessEvents events = RunScript("exit 0", options);
  EXPECT_EQ(events.exitCodeAtExit, 254);
  EXPECT_TRUE(Logged("] Failed to set working directory. Error No such file or directory\n"));
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
  size_t inherited = out.find("SENTRO_TEST_INHERITED=1\n");
  ASSERT_NE(inherited, std::string::npos);
  EXPECT_LT(inherited, out.find("SENTRO_EXTRA_A=2\n"));
  EXPECT_EQ(out.substr(out.size() - 34), "SENTRO_EXTRA_A=2\nSENTRO_EXTRA_B=3\n");
}

TEST(ProcessUser, RunsAsNobodyWithItsGroupsAndEnvironment) {
  if (getuid() != 0) {
    GTEST_SKIP() << "changing user needs root";
  }
  ProcessStartOptions options;
  options.runAsUser = "nobody";
  ProcessEvents events;
  auto process = NewProcess();
  ProcessStartOptions wired = events.Options(true);
  options.onExit = wired.onExit;
  options.onStdout = wired.onStdout;
  options.context = &events;
  ASSERT_TRUE(
      process->Start(kShell, {"-c", "echo $USER $HOME $SHELL; exec sleep 30"}, {}, options));
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

TEST(ProcessUser, UnknownUserFailsTheStartInsteadOfRunningAsRoot) {
  TempDir dir;
  ProcessStartOptions options;
  options.runAsUser = "sentro-no-such-user";
  ProcessEvents events = RunScript("touch " + dir.Sub("ran"), options);
  EXPECT_EQ(events.exitCodeAtExit, 254);
  EXPECT_FALSE(FileExists(dir.Sub("ran")));
  EXPECT_TRUE(Logged("] Entry corresponding to user sentro-no-such-user not found\n"));
}

TEST(ProcessLimitsTest, DescriptorLimitIsSetAndHardLimitRaised) {
  struct rlimit own;
  getrlimit(RLIMIT_NOFILE, &own);
  ProcessLimits limits;
  limits.fdLimit = 777;
  ProcessStartOptions options;
  options.limits = &limits;
  ProcessEvents events;
  auto process = NewProcess();
  options.onExit = RecordExit;
  options.context = &events;
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, options));
  pid_t pid = process->GetPid();
  auto limitLine = [pid] { return ProcField(pid, "limits", "Max open files"); };
  ASSERT_TRUE(RunLoopUntil([&] { return limitLine().find(" 777 ") != std::string::npos; }));
  EXPECT_NE(limitLine().find(" " + std::to_string(own.rlim_max) + " "), std::string::npos);
  ASSERT_TRUE(process->Stop(true, 0));
  ASSERT_TRUE(WaitForExit(process.get()));

  if (own.rlim_max == RLIM_INFINITY) {
    return;
  }
  // Above the hard limit the child raises the hard limit too, which needs
  // CAP_SYS_RESOURCE; without it the start fails with the limit's message.
  limits.fdLimit = own.rlim_max + 1000;
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, options));
  pid = process->GetPid();
  std::string raised = " " + std::to_string(limits.fdLimit) + " ";
  bool hardRaised = RunLoopUntil([&] {
    std::string line = limitLine();
    size_t first = line.find(raised);
    return process->HasExited() ||
           (first != std::string::npos && line.find(raised, first + 1) != std::string::npos);
  });
  ASSERT_TRUE(hardRaised);
  if (process->HasExited()) {
    EXPECT_FALSE(MayRaiseHardDescriptorLimit());
    EXPECT_EQ(process->GetExitCode(), 254);
    EXPECT_TRUE(Logged("[Child " + std::to_string(pid) +
                       "] Failed to set fd limit. Error: Operation not permitted\n"));
  } else {
    EXPECT_TRUE(MayRaiseHardDescriptorLimit());
    ASSERT_TRUE(process->Stop(true, 0));
    ASSERT_TRUE(WaitForExit(process.get()));
  }
}

TEST(ProcessSignals, ChildStartsWithNoBlockedAndNoIgnoredSignals) {
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
  pid_t pid = process->GetPid();
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

// A child that keeps the daemon's user borrows its memory until exec, so
// the program is already running when Start returns; one that changes user
// is forked and catches up on its own.
TEST(ProcessSpawn, ChildHasExecdWhenStartReturns) {
  ProcessEvents events;
  auto process = NewProcess();
  ASSERT_TRUE(process->Start("/bin/sleep", {"30"}, {}, events.Options()));
  // The executable, not the name: exec renames the task a moment after it
  // has let go of the daemon's memory.
  char sleepPath[PATH_MAX], exePath[PATH_MAX] = {};
  ASSERT_NE(realpath("/bin/sleep", sleepPath), nullptr);
  std::string exeLink = "/proc/" + std::to_string(process->GetPid()) + "/exe";
  ASSERT_GT(readlink(exeLink.c_str(), exePath, sizeof exePath - 1), 0);
  EXPECT_STREQ(exePath, sleepPath);
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

TEST(ProcessDescriptors, NoDaemonDescriptorLeaksIntoTheChild) {
  // Descriptors the daemon forgot to mark close-on-exec.
  int leaky = open("/dev/null", O_RDONLY);
  int leakyPipe[2];
  ASSERT_EQ(pipe(leakyPipe), 0);

  ProcessEvents plain = RunScript("ls /proc/$$/fd", {}, true);
  EXPECT_EQ(plain.output[PROCESS_STREAM_STDOUT], "0\n1\n2\n");
  ProcessEvents both =
      RunScript("ls -l /proc/$$/fd | grep -c pipe: >&2; ls /proc/$$/fd", {}, true, true);
  EXPECT_EQ(both.output[PROCESS_STREAM_STDOUT], "0\n1\n2\n");
  // Standard output and standard error are the capture pipes.
  EXPECT_EQ(both.output[PROCESS_STREAM_STDERR], "2\n");

  close(leaky);
  close(leakyPipe[0]);
  close(leakyPipe[1]);
}

TEST(ProcessDescriptors, FailingCapturePipeLeavesNothingOpen) {
  ProcessEvents events;
  auto process = NewProcess("pipes");
  std::set<int> before = OpenDescriptors();
  {
    // Room for the stdout pipe only.
    DescriptorLimit limit(NthFreeDescriptor(2) + 1);
    EXPECT_FALSE(process->Start(kShell, {"-c", "exit 0"}, {}, events.Options(true, true)));
  }
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_TRUE(Logged("<pipes> stderr pipe creation failed. Too many open files\n"));
  {
    DescriptorLimit limit(NthFreeDescriptor(1));
    EXPECT_FALSE(process->Start(kShell, {"-c", "exit 0"}, {}, events.Options(true, false)));
  }
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_TRUE(Logged("<pipes> stdout pipe creation failed. Too many open files\n"));
  {
    // Both capture pipes fit, the report pipe does not.
    DescriptorLimit limit(NthFreeDescriptor(4) + 1);
    EXPECT_FALSE(process->Start(kShell, {"-c", "exit 0"}, {}, events.Options(true, true)));
  }
  EXPECT_EQ(OpenDescriptors(), before);
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
