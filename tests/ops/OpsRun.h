// Runs the real sentroctl binary with its operations commands and captures
// what it prints: check-config and the loaders it links keep process-wide
// state (the daemon configuration, the event loop), so each run is a fresh
// process, as an operator's is.
#pragma once

#include <string>
#include <vector>

struct OpsRun {
  int status = -1;
  std::string out;
};

// sentroctl args..., standard error discarded; env entries ("NAME=value")
// are added to the environment.
OpsRun RunSentroctlBinary(const std::vector<std::string> &args,
                          const std::vector<std::string> &env = {});
