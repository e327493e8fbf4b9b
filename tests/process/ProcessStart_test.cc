// Starting real children: what they run with and inherit (cgroups
// included), how a failed set-up step ends them, and how a start that cannot
// happen leaves nothing behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <memory>
#include <set>
#include <sstream>

#include "process/ProcessTestSupport.h"
#include "src/process/ChildReport.h"
#include "src/process/SpawnChild.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

using Process = std::unique_ptr<SysProcess>;

// The directories made under the cgroup root, a file put in the way, the
// controllers whose group gets the child, and the set-up failure logged.
TEST(Cgroups, ChildJoinsEachMountedControllerOrFailsWithTheStepsMessage) {
  const std::string all = "memory/system.slice cpuacct/system.slice blkio/system.slice ";
  const std::string group = "/system.slice/svc.service/";
  struct Case {
    std::string dirs, file, joined, message;  // "{pid}", "{root}" stand for themselves
  } cases[] = {
      {all, "", "memory cpuacct blkio ", ""},
      {"", "", "", ""},                            // no hierarchy: no accounting, no memory limit
      {"memory/system.slice", "", "memory ", ""},  // a later one missing ends the step
      {"memory", "memory/system.slice", "",
       "[Child {pid}] Unable to enable memory accounting. Mkdir Error: Not a directory, "
       "{root}memory" +
           group + "\n"},
      {all + "cpuacct" + group + "cgroup.procs", "", "memory ",
       "[Child {pid}] Unable to enable cpuacct accounting.\n"},
      {all + "memory" + group + "memory.limit_in_bytes", "", "memory cpuacct blkio ",
       "[Child {pid}] Unable to set memory limits.\n"},
  };
  for (const Case &c : cases) {
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
    std::unique_ptr<SysProcess> process(CreateSysProcess("svc"));
    EXPECT_TRUE(process->Start("/bin/sh", {"-c", "exit 0"}, {}, options));
    UseSysroot(nullptr);
    EXPECT_TRUE(WaitForExit(process.get()));
    std::string pid = std::to_string(process->GetPid()), joined;
    for (const char *controller : {"memory", "cpuacct", "blkio"}) {
      if (ReadWholeFile(root + controller + group + "cgroup.procs") == pid) {
        joined += controller + std::string(" ");
      }
    }
    EXPECT_EQ(joined, c.joined);
    EXPECT_EQ(ReadWholeFile(root + "memory" + group + "memory.limit_in_bytes") == "64",
              c.message.empty() && joined == "memory cpuacct blkio ");
    std::string message = WithPid(c.message, process->GetPid());
    if (message.find("{root}") != std::string::npos)
      message.replace(message.find("{root}"), 6, root);
    EXPECT_EQ(Logged("Unable to"), !message.empty());
    EXPECT_TRUE(message.empty() || Logged(message)) << message;
    EXPECT_EQ(process->GetExitCode(), c.message.empty() ? 0 : 254);
  }
}

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  for (int fd = 0; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) fds.insert(fd);
  }
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

// Each set-up step either shows in what the program prints, or fails the
// child with 254 before exec (then nothing is printed), its message logged
// before the exit. The children start from a daemon-like signal state.
TEST(ChildSetup, EachStepIsAppliedOrEndsTheChildWith254AfterItsMessage) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.Sub("fifo.stdout").c_str(), 0600), 0);
  char cwd[PATH_MAX];
  ASSERT_NE(realpath(dir.path().c_str(), cwd), nullptr);
  struct passwd *nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string nobodyIds = std::to_string(nobody->pw_uid) + "\n" +
                                std::to_string(nobody->pw_gid) + "\nnobody " + nobody->pw_dir +
                                " " + nobody->pw_shell + "\n";
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
      {"", "", "exec grep ^Sig[BI] /proc/self/status",
       "SigBlk:\t0000000000000000\nSigIgn:\t0000000000001000\n", ""},  // SIGPIPE stays ignored
      {"workingDir", cwd, "pwd -P", std::string(cwd) + "\n", ""},
      {"env", "XTRA_A=2", "tr '\\0' '\\n' </proc/$$/environ | grep ^XTRA_",
       "XTRA_INHERITED=1\nXTRA_A=2\n", ""},
      {"user", "nobody", "id -u; id -G; echo $USER $HOME $SHELL", nobodyIds, ""},
      {"fdLimit", "777", "ulimit -n", "777\n", ""},
      {"inheritedFdLimit", "555", "ulimit -n", "555\n", ""},  // the daemon's own, raised
      {"killOnParentDeath", "1", pdeathsig, "9\n", ""},
      {"killOnParentDeath", "0", pdeathsig, "0\n", ""},
      // Both files are appended to after a pid line; the captured stdout
      // goes to its pipe instead.
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
      {"streamBase", "/nonexistent-dir/svc", "echo ran", "",
       "<test> [Process: {pid}] Failed to redirect std-stream. Error: No such file or directory\n"},
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
    SetInheritedFdLimit(c.step == "inheritedFdLimit" ? std::stoull(c.value) : 0);
    options.killOnParentDeath = c.step == "killOnParentDeath" && c.value == "1";
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
    std::vector<std::string> log = LoggedMessages();
    auto exited =
        std::find(log.begin(), log.end(), withPid("<test> Pid {pid} exited with exit code 254\n"));
    EXPECT_TRUE(c.message.empty() || std::find(log.begin(), exited, withPid(c.message)) < exited);
  }
  SetInheritedFdLimit(0);
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

}  // namespace
