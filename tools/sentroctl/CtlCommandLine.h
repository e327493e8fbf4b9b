// The command line of sentroctl: options may stand before or after the
// command; "--" ends the options.
//
//   sentroctl [--socket PATH] [--datadir DIR] [--timeout SECONDS] [--json]
//             [-h|--help] COMMAND [ARGS...] [--ignore-failures]
#pragma once

#include <string>
#include <utility>
#include <vector>

// The longest --timeout accepted: every wait of the client is bounded.
#define CTL_MAX_TIMEOUT_SECONDS 86400.0

struct CtlOptions {
  std::string command;            // empty when none was given
  std::vector<std::string> args;  // the command's operands
  std::string socketPath;         // --socket; empty when not given
  std::string dataDir;            // --datadir; empty when not given
  double timeoutSeconds = 0;      // --timeout; 0 means the command's default
  bool json = false;              // --json
  bool help = false;              // -h, --help
  bool ignoreFailures = false;    // --ignore-failures (profile commands)
  // Options of the operations commands (long form, value), in order.
  std::vector<std::pair<std::string, std::string>> commandOptions;
};

// Parses args (without the program name). False with *error set on an
// unknown option, a missing option value or a bad time-out.
bool ParseCtlCommandLine(const std::vector<std::string> &args, CtlOptions *options,
                         std::string *error);

// A directory of the daemon's, chosen as the daemon chooses it: the option
// when given, else the environment variable's value with "/norvane-sentro"
// appended, else ".".
std::string DaemonDirectory(const std::string &option, const char *variableValue);

// The socket to talk to: --socket when given, otherwise socketName in the
// daemon's data directory, which is --datadir, else the value of
// NORVANE_DATA_DIR (dataDirVariable, null when unset) followed by
// "/norvane-sentro", else ".".
std::string ResolveSocketPath(const CtlOptions &options, const char *dataDirVariable,
                              const char *socketName);
