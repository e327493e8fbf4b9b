#include "tools/sentroctl/OpsCommands.h"

#include <cstdlib>
#include <cstring>

namespace {

#define OFFLINE_TIMEOUT 10  // the daemon is asked at most for a list and states

// The command options: short form (or ""), long form, whether a value follows.
struct OpsOptionSpec {
  const char *shortName;
  const char *longName;
  bool takesValue;
};

const OpsOptionSpec kOptions[] = {
    {"-c", "--configdir", true}, {"", "--db", true},      {"", "--last", false},
    {"", "--operation", true},   {"-n", "--lines", true}, {"-f", "--follow", false},
    {"", "--since", true},       {"", "--level", true},   {"", "--log-file", true},
    {"", "--textfile", true},
};

// Which options each command takes, by long form, blank-separated.
struct OpsCommandOptions {
  const char *command;
  const char *options;
};

const OpsCommandOptions kAccepted[] = {
    {"check-config", "--configdir"},
    {"blame", "--db --last --operation"},
    {"critical-chain", "--db --last --operation --configdir"},
    {"plot", "--db --last --operation --configdir"},
    {"logs", "--lines --follow --since --level --log-file --configdir"},
    {"metrics", "--db --textfile --configdir"},
    {"complete-names", "--configdir"},
};

const CtlCommand kOpsCommands[] = {
    {"check-config", "[-c CONFIGDIR]", "Operations", "Check the configuration without the daemon",
     "Loads config.json, profiles.json, every service definition and every servlet\n"
     "container instance with the daemon's own loaders and reports each problem the\n"
     "daemon would log, with its file and key, and what would only fail later: unknown\n"
     "or cyclic dependencies, inconsistent startup types, commands that are missing or\n"
     "not executable, unknown users, missing directories. Exit status 0 when there is\n"
     "no error (warnings allowed), 1 otherwise. -c defaults to\n"
     "$NORVANE_CFG_DIR/norvane-sentro; --datadir is checked for its .svcStats.\n",
     0, 0, OFFLINE_TIMEOUT, false, CONTROL_SOCKET, RunCheckConfig},
    {"blame", "[--last|--operation ID] [--db FILE]", "Operations",
     "Services by the time their last start took",
     "Reads the operation metrics database (read-only) and lists the services by the\n"
     "duration of their last start, longest first, with the sub-phases each service\n"
     "reported in its startup-events file. --last takes the starts of the last start\n"
     "batch, --operation those of one operation id. Durations are whole seconds, as\n"
     "the database keeps them.\n",
     0, 0, OFFLINE_TIMEOUT, false, CONTROL_SOCKET, RunBlame},
    {"critical-chain", "[SERVICE] [--operation ID] [--db FILE] [-c CONFIGDIR]", "Operations",
     "The chain of dependencies that bounded a service's start",
     "For the last start batch (or --operation ID), follows from SERVICE (default: the\n"
     "service that became ready last) the dependency that became ready last, down to a\n"
     "service without one; prints each with its time after the batch began (@) and its\n"
     "own duration (+). Dependencies come from the service definitions in -c.\n",
     0, 1, OFFLINE_TIMEOUT, false, CONTROL_SOCKET, RunCriticalChain},
    {"plot", "[--last|--operation ID] [--db FILE] [-c CONFIGDIR]", "Operations",
     "An SVG timeline of a start batch",
     "Writes one SVG picture of the last start batch (or --operation ID) to standard\n"
     "output: one bar per service from its start request to STARTED, split into the\n"
     "sub-phases it reported, in dependency order.\n",
     0, 0, OFFLINE_TIMEOUT, false, CONTROL_SOCKET, RunPlot},
    {"logs", "[SERVICE] [-n N] [-f] [--since TIME] [--level LEVEL]", "Operations",
     "The daemon's log lines, for one service or all",
     "Prints the daemon's log lines about SERVICE (its <SERVICE> tag and those of its\n"
     "helper commands) from the log file and its rotated files, oldest first. -n keeps\n"
     "the last N lines, -f follows the log through rotations, --since takes an ISO\n"
     "time (2026-01-31T08:15:42, UTC as logged) or an age (90s, 15m, 2h, 1d), --level\n"
     "a level name or number (error, warning, info, debug). --log-file names the log\n"
     "(default /var/log/norvane/sentro.log). When config.json in -c says LogToSyslog,\n"
     "it says where the lines are instead.\n",
     0, 1, OFFLINE_TIMEOUT, false, CONTROL_SOCKET, RunLogs},
    {"metrics", "[--textfile PATH] [--db FILE]", "Operations",
     "Every service's state in the Prometheus text format",
     "Asks the daemon for every service's state and adds the crash counters of the data\n"
     "directory and each service's last start duration from the metrics database.\n"
     "Writes to standard output, or atomically to PATH (for node_exporter's textfile\n"
     "collector).\n",
     0, 0, OFFLINE_TIMEOUT, false, CONTROL_SOCKET, RunMetrics},
    {"complete-names", "services|profiles [-c CONFIGDIR]", "", "Names for shell completion",
     "Prints one name per line: the services of the running daemon (of the configuration\n"
     "directory when it does not answer), or the profiles of profiles.json and ALL.\n",
     1, 1, 2, false, CONTROL_SOCKET, RunCompleteNames},
};

}  // namespace

const CtlCommand *FindOpsCommand(const std::string &name) {
  for (const CtlCommand &command : kOpsCommands) {
    if (name == command.name) {
      return &command;
    }
  }
  return nullptr;
}

const CtlCommand *OpsCommands(size_t *count) {
  *count = sizeof(kOpsCommands) / sizeof(kOpsCommands[0]);
  return kOpsCommands;
}

bool FindOpsOption(const std::string &name, std::string *longName, bool *takesValue) {
  for (const OpsOptionSpec &spec : kOptions) {
    if (name == spec.longName || (spec.shortName[0] != '\0' && name == spec.shortName)) {
      *longName = spec.longName;
      *takesValue = spec.takesValue;
      return true;
    }
  }
  return false;
}

const std::string *RejectedOpsOption(const CtlCommand &command, const CtlOptions &options) {
  const char *accepted = "";
  for (const OpsCommandOptions &entry : kAccepted) {
    if (strcmp(entry.command, command.name) == 0) {
      accepted = entry.options;
    }
  }
  std::string list = std::string(" ") + accepted + " ";
  for (const auto &[name, value] : options.commandOptions) {
    if (list.find(" " + name + " ") == std::string::npos) {
      return &name;
    }
  }
  return nullptr;
}

const std::string *OpsOption(const CtlOptions &options, const char *longName) {
  const std::string *found = nullptr;
  for (const auto &[name, value] : options.commandOptions) {
    if (name == longName) {
      found = &value;
    }
  }
  return found;
}

bool HasOpsOption(const CtlOptions &options, const char *longName) {
  return OpsOption(options, longName) != nullptr;
}

std::string OpsConfigDir(const CtlOptions &options) {
  const std::string *dir = OpsOption(options, "--configdir");
  return DaemonDirectory(dir != nullptr ? *dir : "", getenv("NORVANE_CFG_DIR"));
}

std::string OpsDataDir(const CtlOptions &options) {
  return DaemonDirectory(options.dataDir, getenv("NORVANE_DATA_DIR"));
}
