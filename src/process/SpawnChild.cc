#include "src/process/SpawnChild.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/log/log.h"
#include "src/core/SysPaths.h"
#include "src/process/ChildReport.h"
#include "src/process/ChildSetup.h"
#include "src/process/CommandHelpers.h"

extern char **environ;

namespace {

ForkFunction forkFunction = nullptr;

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

}  // namespace

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

  pid_t pid = forkFunction != nullptr ? forkFunction() : fork();
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
  ChildReportWatch(pid, report[0]);
  LogAtLevel(LOG_DEBUG, "<%s> Starting pid %d\n", tag.c_str(), pid);
  return pid;
}
