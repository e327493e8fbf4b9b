// The real sentroctl binary run through the shell: each run is a fresh
// process, as an operator's is (check-config's loaders keep process state).
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/SandboxDaemon.h"

struct OpsRun {
  int status = -1;
  std::string out;
};

// A shell command's standard output and exit status.
inline OpsRun Shell(const std::string &command) {
  OpsRun run;
  FILE *pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.out.append(buffer, n);
  int status = pipe != nullptr ? pclose(pipe) : -1;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// sentroctl args..., standard error discarded; env entries ("NAME=value")
// are added to the environment. No word holds a single quote.
inline OpsRun RunSentroctlBinary(const std::vector<std::string> &args,
                                 const std::vector<std::string> &env = {}) {
  std::string command = "env";
  for (const std::string &entry : env) command += " '" + entry + "'";
  command += " " + SandboxDaemon::BuildPath("sentroctl");
  for (const std::string &arg : args) command += " '" + arg + "'";
  return Shell(command + " 2>/dev/null");
}
