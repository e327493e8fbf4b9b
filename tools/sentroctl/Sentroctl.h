// The whole of sentroctl as a function, so that tests run it in-process
// with their own streams and environment.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Runs sentroctl with args (without the program name); dataDirVariable is
// the value of NORVANE_DATA_DIR, or null when unset. Returns the exit status
// (CTL_EXIT_*).
int RunSentroctl(const std::vector<std::string> &args, const char *dataDirVariable,
                 std::ostream &out, std::ostream &err);
