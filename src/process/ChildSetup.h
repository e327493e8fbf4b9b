// What a new child does before exec. Everything the child needs is prepared
// by the parent beforehand (paths, argument and environment arrays). Most
// children share the daemon's memory until they exec (CLONE_VM |
// CLONE_VFORK), so this code allocates nothing, takes no lock, leaves glibc's
// thread state alone (no raise, no set*id wrappers) and only writes its own
// stack and the plan's arrays. A child that changes user is a real fork: the
// password database allocates and may load modules.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "src/process/SysProcess.h"

struct ChildPlan {
  const char *tag = "";
  const char *path = "";
  char *const *argv = nullptr;
  // The entries appended to the inherited environment.
  const std::vector<std::string> *extraEnv = nullptr;
  // Room for the inherited environment, the three variables the user change
  // may add, the extra entries and the terminating null.
  char **envp = nullptr;
  const ProcessStartOptions *options = nullptr;
  pid_t parentPid = 0;
  // The soft descriptor limit unless the options give one; 0 keeps the daemon's.
  uint64_t inheritedFdLimit = 0;
  std::string cgroupRoot;  // "/sys/fs/cgroup" under the sysroot
  std::string stdoutFile;  // redirect files, empty without a redirect
  std::string stderrFile;
  int stdoutPipe[2] = {-1, -1};  // capture pipes: read end, write end
  int stderrPipe[2] = {-1, -1};
  int reportFd = -1;  // write end of the report pipe
};

// Sets the child up and execs; never returns. Any failure ends the child
// with PROCESS_SETUP_FAILED_EXIT_CODE.
[[noreturn]] void RunChild(const ChildPlan &plan);

// Applies limits in the calling (child) process; false after reporting a
// failure through reportFd.
bool ApplyProcessLimits(const ProcessLimits &limits, const char *cgroupRoot, int reportFd);

// Makes every descriptor from lowest up close-on-exec, so that the exec'd
// program inherits none of them. One close_range(2) call where the kernel has
// it, else a walk over /proc/self/fd.
void CloseDescriptorsOnExec(int lowest);

// The /proc/self/fd walk on its own; for tests.
void CloseDescriptorsOnExecByListing(int lowest);
