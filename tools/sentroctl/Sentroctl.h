// The whole of sentroctl as a function, so that tests run it in-process
// with their own outputs and environment.
#pragma once

#include <string>
#include <vector>

#include "tools/sentroctl/CtlOutput.h"

// Runs sentroctl with args (without the program name); dataDirVariable is
// the value of NORVANE_DATA_DIR, or null when unset. Returns the exit status
// (CTL_EXIT_*).
int RunSentroctl(const std::vector<std::string> &args, const char *dataDirVariable, CtlOutput &out,
                 CtlOutput &err);
