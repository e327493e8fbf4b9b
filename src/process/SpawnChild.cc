#include "src/process/SpawnChild.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/log/log.h"
#include "src/core/SysPaths.h"
#include "src/process/ChildReport.h"
#include "src/process/ChildSetup.h"
#include "src/process/CommandHelpers.h"

#if defined(__SANITIZE_ADDRESS__)
#define SENTRO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SENTRO_ASAN 1
#endif
#endif
#ifdef SENTRO_ASAN
#include <sanitizer/asan_interface.h>
#endif

extern char **environ;

namespace {

ForkFunction forkFunction = nullptr;
uint64_t inheritedFdLimit = 0;

size_t EnvironmentSize() {
  size_t count = 0;
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    ++count;
  }
  return count;
}

std::string CommandText(const std::string &path, const std::vector<std::string> &args) {
  std::string text = path + " ";
  for (const std::string &arg : args) {
    text += arg;
    text += ' ';
  }
  return text;
}

const size_t kChildStackBytes = 64 * 1024;

// The stack a memory-sharing child runs on until it execs, made once with a
// guard page below it. Null when it cannot be made.
char *ChildStackTop() {
  static char *top = [] {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *base = mmap(nullptr, page + kChildStackBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) {
      return static_cast<char *>(nullptr);
    }
    mprotect(base, page, PROT_NONE);
    return static_cast<char *>(base) + page + kChildStackBytes;
  }();
  return top;
}

int RunChildOnItsStack(void *plan) {
  RunChild(*static_cast<const ChildPlan *>(plan));
}

// A child that borrows the daemon's memory until it execs or exits; the
// daemon waits that long. With all of the daemon's memory locked, copying
// its page tables is most of what fork costs, so this roughly halves the
// cost of a start. Every signal stays blocked until the child has reset the
// dispositions, so no daemon handler ever runs on the borrowed memory.
pid_t CloneSharingMemory(ChildPlan *plan) {
  char *stackTop = ChildStackTop();
#ifdef SENTRO_ASAN
  // The previous child never returned from its frames; their poisoned
  // redzones would be taken for overflows in the next one.
  ASAN_UNPOISON_MEMORY_REGION(stackTop - kChildStackBytes, kChildStackBytes);
#endif
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  pid_t pid = clone(RunChildOnItsStack, stackTop, CLONE_VM | CLONE_VFORK | SIGCHLD, plan);
  int cloneError = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  errno = cloneError;
  return pid;
}

}  // namespace

void SetInheritedFdLimit(uint64_t softLimit) {
  inheritedFdLimit = softLimit;
}

void SetForkFunctionForTesting(ForkFunction fork) {
  forkFunction = fork;
}

pid_t SpawnChild(const std::string &tag, const std::string &path,
                 const std::vector<std::string> &args, const std::vector<std::string> &env,
                 const ProcessStartOptions &options, const CapturePipes &pipes) {
  LogAtLevel(LOG_INFO, "<%s> Constructed command: %s\n", tag.c_str(),
             CommandText(path, args).c_str());

  // Everything the child needs is built here, before fork.
  std::vector<char *> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char *>(path.c_str()));
  for (const std::string &arg : args) {
    argv.push_back(const_cast<char *>(arg.c_str()));
  }
  argv.push_back(nullptr);
  const size_t kUserVariables = 3;  // USER, HOME, SHELL
  std::vector<char *> envp(EnvironmentSize() + kUserVariables + env.size() + 1);

  ChildPlan plan;
  plan.tag = tag.c_str();
  plan.path = path.c_str();
  plan.argv = argv.data();
  plan.extraEnv = &env;
  plan.envp = envp.data();
  plan.options = &options;
  plan.parentPid = getpid();
  plan.inheritedFdLimit = inheritedFdLimit;
  if (options.limits != nullptr && !options.limits->serviceName.empty()) {
    plan.cgroupRoot = SysPath(SYS_CGROUP_ROOT);
  }
  if (!options.stdStreamFileBase.empty()) {
    StreamRedirectPaths(options.stdStreamFileBase, &plan.stdoutFile, &plan.stderrFile);
  }
  std::memcpy(plan.stdoutPipe, pipes.stdoutPipe, sizeof plan.stdoutPipe);
  std::memcpy(plan.stderrPipe, pipes.stderrPipe, sizeof plan.stderrPipe);

  int report[2];
  if (pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0) {
    // Logging keeps errno for the caller.
    LogAtLevel(LOG_ERROR, "<%s> Child report pipe creation failed. %s\n", tag.c_str(),
               strerror(errno));
    return -1;
  }
  plan.reportFd = report[1];

  // Changing user needs the password database, which allocates: that child
  // gets its own copy of the daemon's memory.
  const bool sharesMemory =
      forkFunction == nullptr && options.runAsUser.empty() && ChildStackTop() != nullptr;
  pid_t pid;
  if (sharesMemory) {
    pid = CloneSharingMemory(&plan);
  } else {
    pid = forkFunction != nullptr ? forkFunction() : fork();
  }
  if (pid < 0) {
    int forkError = errno;
    LogAtLevel(LOG_ERROR, "fork failed. %s\n", strerror(forkError));
    close(report[0]);
    close(report[1]);
    errno = forkError;
    return -1;
  }
  if (pid == 0) {
    close(report[0]);
    RunChild(plan);
  }
  close(report[1]);
  LogAtLevel(LOG_DEBUG, "<%s> Starting pid %d\n", tag.c_str(), pid);
  if (sharesMemory) {
    ChildReportCollect(report[0]);  // the child has exec'd or exited
  } else {
    ChildReportWatch(pid, report[0]);
  }
  return pid;
}
