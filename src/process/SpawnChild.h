// Forking a child: shared by SysProcessImpl::Start and the stop command.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "src/process/SysProcess.h"

// Capture pipes made by the caller: {read end, write end}, -1 when the stream
// is not captured. The child closes the read ends; the caller keeps them.
struct CapturePipes {
  int stdoutPipe[2] = {-1, -1};
  int stderrPipe[2] = {-1, -1};
};

// Logs the command, forks and returns the child's pid, or -1 (logged, errno
// set) when no child could be made. The child is set up as options say and
// execs path with argv = path, args and envp = the inherited environment,
// env. The tag heads the log lines.
pid_t SpawnChild(const std::string &tag, const std::string &path,
                 const std::vector<std::string> &args, const std::vector<std::string> &env,
                 const ProcessStartOptions &options, const CapturePipes &pipes);

// The soft descriptor limit of a child that asks for none of its own: the
// daemon raises its own limit at start-up and gives its children the one it
// inherited, as they would have had without it. 0 (the default) leaves
// children with the daemon's limit.
void SetInheritedFdLimit(uint64_t softLimit);

// Replaces fork(2) for tests that make it fail; null restores the real one.
using ForkFunction = pid_t (*)();
void SetForkFunctionForTesting(ForkFunction fork);
