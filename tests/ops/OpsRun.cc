#include "ops/OpsRun.h"

#include <sys/wait.h>

#include <cstdio>

#include "support/SandboxDaemon.h"

namespace {

std::string Quoted(const std::string &word) {
  std::string quoted = "'";
  for (char c : word) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

}  // namespace

OpsRun RunSentroctlBinary(const std::vector<std::string> &args,
                          const std::vector<std::string> &env) {
  std::string command = "env";
  for (const std::string &entry : env) {
    command += " " + Quoted(entry);
  }
  command += " " + Quoted(SandboxDaemon::BuildPath("sentroctl"));
  for (const std::string &arg : args) {
    command += " " + Quoted(arg);
  }
  command += " 2>/dev/null";
  OpsRun run;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return run;
  }
  char buffer[4096];
  size_t count;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    run.out.append(buffer, count);
  }
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}
