#include "src/process/ChildSetup.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include "src/process/ChildReport.h"

extern char **environ;

namespace {

[[noreturn]] void FailChild() {
  _exit(PROCESS_SETUP_FAILED_EXIT_CODE);
}

// The daemon blocks the signals it reads from its signal descriptor; a
// service must not start with them blocked. Ignored dispositions (SIGPIPE,
// which the daemon ignores, and whatever its own parent ignored) stay
// ignored across exec, as services expect. Caught ones go back to default
// here although exec would reset them: a child that shares the daemon's
// memory must not run a daemon handler between unblocking and exec. The
// dispositions change before the mask is cleared.
void ResetCaughtSignals() {
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction action;
    if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_DFL &&
        action.sa_handler != SIG_IGN) {
      action.sa_handler = SIG_DFL;
      action.sa_flags &= ~SA_SIGINFO;
      sigaction(sig, &action, nullptr);
    }
  }
  sigset_t empty;
  sigemptyset(&empty);
  sigprocmask(SIG_SETMASK, &empty, nullptr);
}

// Gives the child back the soft descriptor limit the daemon inherited.
// Lowering the soft limit below the hard one cannot fail.
void RestoreInheritedFdLimit(uint64_t softLimit) {
  struct rlimit limit;
  if (softLimit != 0 && getrlimit(RLIMIT_NOFILE, &limit) == 0 && softLimit < limit.rlim_cur) {
    limit.rlim_cur = softLimit;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

bool ApplyFdLimit(uint64_t fdLimit, int reportFd) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = fdLimit;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < fdLimit) {
      limit.rlim_max = fdLimit;
    }
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) {
      return true;
    }
  }
  ChildReport(reportFd, LOG_WARNING, "[Child %d] Failed to set fd limit. Error: %s\n", getpid(),
              ChildErrorText(errno));
  return false;
}

void CgroupPath(char *path, size_t size, const char *root, const char *controller,
                const char *serviceName, const char *file) {
  ChildFormat(path, size, "%s/%s/system.slice/%s.service/%s", root, controller, serviceName, file);
}

// Writes value in decimal to path, as fopen(path, "w") would. Only a failure
// to open counts; what the write returns is not examined.
bool WriteCgroupValue(const char *path, unsigned long long value, int reportFd) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    ChildReport(reportFd, LOG_WARNING, "Fopen Error: %s, %s\n", ChildErrorText(errno), path);
    return false;
  }
  char text[24];
  size_t length = ChildFormat(text, sizeof text, "%llu", value);
  ssize_t ignored = write(fd, text, length);
  (void)ignored;
  close(fd);
  return true;
}

bool JoinCgroups(const ProcessLimits &limits, const char *root, int reportFd) {
  static const char *const kControllers[] = {"memory", "cpuacct", "blkio"};
  const char *name = limits.serviceName.c_str();
  const pid_t pid = getpid();
  char path[4096];
  for (const char *controller : kControllers) {
    CgroupPath(path, sizeof path, root, controller, name, "");
    if (mkdir(path, 0755) != 0 && errno != EEXIST) {
      if (errno == ENOENT) {
        return true;  // no such hierarchy: no accounting, no memory limit
      }
      ChildReport(reportFd, LOG_WARNING,
                  "[Child %d] Unable to enable %s accounting. Mkdir Error: %s, %s\n", pid,
                  controller, ChildErrorText(errno), path);
      return false;
    }
    CgroupPath(path, sizeof path, root, controller, name, "cgroup.procs");
    if (!WriteCgroupValue(path, static_cast<unsigned long long>(pid), reportFd)) {
      ChildReport(reportFd, LOG_WARNING, "[Child %d] Unable to enable %s accounting.\n", pid,
                  controller);
      return false;
    }
  }
  if (limits.memoryLimitBytes != 0) {
    CgroupPath(path, sizeof path, root, "memory", name, "memory.limit_in_bytes");
    if (!WriteCgroupValue(path, limits.memoryLimitBytes, reportFd)) {
      ChildReport(reportFd, LOG_WARNING, "[Child %d] Unable to set memory limits.\n", pid);
      return false;
    }
  }
  return true;
}

void RunAsUser(const char *user, int reportFd) {
  struct passwd *entry = getpwnam(user);
  if (entry == nullptr) {
    ChildReport(reportFd, LOG_ERROR, "[Child %d] Entry corresponding to user %s not found\n",
                getpid(), user);
    FailChild();
  }
  if (setgid(entry->pw_gid) != 0 || initgroups(entry->pw_name, entry->pw_gid) != 0 ||
      setuid(entry->pw_uid) != 0) {
    ChildReport(reportFd, LOG_ERROR, "[Child %d] Failed to run as user. Error %s\n", getpid(),
                ChildErrorText(errno));
    FailChild();
  }
  setenv("USER", entry->pw_name, 1);
  setenv("HOME", entry->pw_dir, 1);
  setenv("SHELL", entry->pw_shell, 1);
}

void AskForParentDeathSignal(pid_t parentPid, int reportFd) {
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    ChildReport(reportFd, LOG_ERROR, "[Child %d] prctl call failed %s\n", getpid(),
                ChildErrorText(errno));
    FailChild();
  }
  // The parent may have died before the request was made. Not raise(): in a
  // child that shares the daemon's memory it would name a daemon thread.
  if (getppid() != parentPid) {
    kill(getpid(), SIGKILL);
  }
}

// Puts fd on target. dup2 clears close-on-exec on the copy; when fd already
// is target the flag is cleared by hand.
bool MoveOnto(int fd, int target) {
  if (fd == target) {
    return fcntl(fd, F_SETFD, 0) == 0;
  }
  return dup2(fd, target) == target;
}

void RedirectToFile(const ChildPlan &plan, const char *file, int target) {
  // Non-blocking while opening: a FIFO without a reader fails at once instead
  // of holding up the daemon, which waits for a memory-sharing child to exec.
  int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd >= 0) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  if (fd < 0 || !MoveOnto(fd, target)) {
    ChildReport(plan.reportFd, LOG_ERROR,
                "<%s> [Process: %d] Failed to redirect std-stream. Error: %s\n", plan.tag, getpid(),
                ChildErrorText(errno));
    FailChild();
  }
  char line[128];
  size_t length =
      ChildFormat(line, sizeof line, "Starting service process with pid: %d.\n", getpid());
  if (write(fd, line, length) != static_cast<ssize_t>(length)) {
    ChildReport(plan.reportFd, LOG_WARNING, "<%s> Failed to write pid %d to file. Error: %s\n",
                plan.tag, getpid(), ChildErrorText(errno));
  }
  if (fd != target) {
    close(fd);
  }
}

// Puts the write end of a capture pipe on target; false with errno set.
bool CaptureInto(const int pipe[2], int target) {
  close(pipe[0]);
  // The pipe was made non-blocking for the daemon's read end; the child's end
  // blocks like any standard stream, so a busy writer waits instead of
  // failing with EAGAIN. The flag lives in the write end's own open file.
  fcntl(pipe[1], F_SETFL, fcntl(pipe[1], F_GETFL) & ~O_NONBLOCK);
  return MoveOnto(pipe[1], target);
}

// Fills plan.envp: the inherited environment (as the user change left it),
// then the extra entries.
void BuildEnvironment(const ChildPlan &plan) {
  size_t count = 0;
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    plan.envp[count++] = *entry;
  }
  for (const std::string &entry : *plan.extraEnv) {
    plan.envp[count++] = const_cast<char *>(entry.c_str());
  }
  plan.envp[count] = nullptr;
}

// The descriptor a /proc/self/fd entry names, or -1 for "." and "..".
int DescriptorNumber(const char *name) {
  int fd = 0;
  for (const char *p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') {
      return -1;
    }
    fd = fd * 10 + (*p - '0');
  }
  return *name == '\0' ? -1 : fd;
}

}  // namespace

bool ApplyProcessLimits(const ProcessLimits &limits, const char *cgroupRoot, int reportFd) {
  if (limits.fdLimit != 0 && !ApplyFdLimit(limits.fdLimit, reportFd)) {
    return false;
  }
  if (limits.serviceName.empty()) {
    return true;
  }
  return JoinCgroups(limits, cgroupRoot, reportFd);
}

void CloseDescriptorsOnExecByListing(int lowest) {
  int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    // No /proc: the only way left is to try every possible descriptor.
    for (long fd = lowest; fd < sysconf(_SC_OPEN_MAX); ++fd) {
      fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
    return;
  }
  alignas(8) char buf[4096];
  for (;;) {
    long bytes = syscall(SYS_getdents64, dir, buf, sizeof buf);
    if (bytes <= 0) {
      break;
    }
    for (long offset = 0; offset < bytes;) {
      auto *entry = reinterpret_cast<struct dirent64 *>(buf + offset);
      offset += entry->d_reclen;
      int fd = DescriptorNumber(entry->d_name);
      if (fd >= lowest && fd != dir) {
        fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
      }
    }
  }
  close(dir);
}

void CloseDescriptorsOnExec(int lowest) {
  // Close-on-exec rather than closed: the report pipe must stay open until
  // the exec itself, and every other descriptor is gone by then just the same.
  if (close_range(static_cast<unsigned>(lowest), ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return;
  }
  CloseDescriptorsOnExecByListing(lowest);
}

void RunChild(const ChildPlan &plan) {
  const ProcessStartOptions &options = *plan.options;
  const int reportFd = plan.reportFd;

  ResetCaughtSignals();
  if (options.limits == nullptr || options.limits->fdLimit == 0) {
    RestoreInheritedFdLimit(plan.inheritedFdLimit);
  }
  if (options.limits != nullptr &&
      !ApplyProcessLimits(*options.limits, plan.cgroupRoot.c_str(), reportFd)) {
    FailChild();
  }
  if (!options.runAsUser.empty()) {
    RunAsUser(options.runAsUser.c_str(), reportFd);
  }
  if (options.killOnParentDeath) {
    AskForParentDeathSignal(plan.parentPid, reportFd);
  }
  if (!plan.stdoutFile.empty()) {
    RedirectToFile(plan, plan.stdoutFile.c_str(), STDOUT_FILENO);
    RedirectToFile(plan, plan.stderrFile.c_str(), STDERR_FILENO);
  }
  // Capture comes after the redirect, so the pipe wins for its stream.
  if (plan.stdoutPipe[1] >= 0 && !CaptureInto(plan.stdoutPipe, STDOUT_FILENO)) {
    ChildReport(reportFd, LOG_ERROR, "[Child %d] stdout fd dup2 failed. Error %s\n", getpid(),
                ChildErrorText(errno));
    FailChild();
  }
  if (plan.stderrPipe[1] >= 0 && !CaptureInto(plan.stderrPipe, STDERR_FILENO)) {
    ChildReport(reportFd, LOG_ERROR, "[Child %d] stderr fd dup2 failed. Error %s\n", getpid(),
                ChildErrorText(errno));
    FailChild();
  }
  if (!options.workingDir.empty() && chdir(options.workingDir.c_str()) != 0) {
    ChildReport(reportFd, LOG_ERROR, "[Child %d] Failed to set working directory. Error %s\n",
                getpid(), ChildErrorText(errno));
    FailChild();
  }
  CloseDescriptorsOnExec(STDERR_FILENO + 1);

  BuildEnvironment(plan);
  execve(plan.path, plan.argv, plan.envp);
  FailChild();
}
