// Runs sentroctl in-process against a socket and captures what it prints.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "tools/sentroctl/Sentroctl.h"

struct CtlRun {
  int status = -1;
  std::string out;
  std::string err;
};

// sentroctl --socket socketPath args...
inline CtlRun RunCtl(const std::string &socketPath, std::vector<std::string> args) {
  args.insert(args.begin(), {"--socket", socketPath});
  std::ostringstream out;
  std::ostringstream err;
  CtlRun run;
  run.status = RunSentroctl(args, nullptr, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}
