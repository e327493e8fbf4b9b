#include "tools/sentroctl/CtlCommands.h"

#include <cstring>

#include "tools/sentroctl/OpsCommands.h"

namespace {

// Default time-outs, in seconds. A start waits for the service's own start
// time-out (30 s by default) plus the daemon's extra 60 s, so the client
// waits longer than that; profiles run many such operations in a row.
#define QUICK_TIMEOUT 10
#define START_TIMEOUT 120
#define STOP_TIMEOUT 60
#define PROFILE_TIMEOUT 600
#define HEALTH_TIMEOUT 120
#define CORE_TIMEOUT 300
#define FAILOVER_TIMEOUT 130  // the daemon itself waits 120 s for the listener

#define FAILOVER_SOCKET "duolistener"

const CtlCommand kCommands[] = {
    {"list", "", "Services", "List all services with their state, health and startup type",
     "Shows one line per registered service, in name order: state, health, startup type,\n"
     "process id, time in the current state, run-as user and the first line of the last\n"
     "health check output (ListSvcsReq, then GetSvcStateReq for each service).\n",
     0, 0, QUICK_TIMEOUT, false, CONTROL_SOCKET, RunList},
    {"status", "[SERVICE...]", "Services", "Show the full state of services (all when none named)",
     "Shows state, health, startup type, process id, time in the current state, run-as\n"
     "user, whether the last stop failed, and the whole output of the last health check\n"
     "(GetSvcStateReq). Without SERVICE every registered service is shown.\n",
     0, -1, QUICK_TIMEOUT, false, CONTROL_SOCKET, RunStatus},
    {"start", "SERVICE", "Services", "Start a service and wait until it is ready",
     "Waits until the service reports itself healthy or initialised, or its start fails\n"
     "(StartSvcReq). Starting a started service succeeds at once. If the time-out passes\n"
     "first, the daemon still carries the start through.\n",
     1, 1, START_TIMEOUT, false, CONTROL_SOCKET, RunStart},
    {"stop", "SERVICE", "Services", "Stop a service and wait until it has stopped",
     "Runs the service's stop command or sends its stop signal and waits until the process\n"
     "has ended (StopSvcReq).\n",
     1, 1, STOP_TIMEOUT, false, CONTROL_SOCKET, RunStop},
    {"restart", "SERVICE", "Services", "Stop and start a service",
     "Stops the service if it runs, then starts it and waits until it is ready\n"
     "(RestartSvcReq).\n",
     1, 1, START_TIMEOUT, false, CONTROL_SOCKET, RunRestart},
    {"deps", "SERVICE", "Services", "List the services SERVICE depends on",
     "Prints the names of the service's dependencies in their configured order\n"
     "(GetSvcDepsReq).\n",
     1, 1, QUICK_TIMEOUT, false, CONTROL_SOCKET, RunDeps},
    {"set-startup", "SERVICE manual|automatic|disabled", "Services",
     "Set the startup type of a service",
     "Changes and saves the startup type (SetSvcStateReq). A service can be disabled only\n"
     "while it is stopped.\n",
     2, 2, QUICK_TIMEOUT, false, CONTROL_SOCKET, RunSetStartup},
    {"run-as", "SERVICE USER", "Services", "Set the user a service runs as",
     "Changes and saves the run-as user of the service (RunAsUserReq); it applies from the\n"
     "next start. USER has at most 63 characters.\n",
     2, 2, QUICK_TIMEOUT, false, CONTROL_SOCKET, RunRunAs},
    {"live-core", "SERVICE", "Services", "Write a core dump of a running service's process",
     "Dumps the core of the service's process without stopping it and prints the path of\n"
     "the core file (DumpLiveCoreReq).\n",
     1, 1, CORE_TIMEOUT, false, CONTROL_SOCKET, RunLiveCore},
    {"start-profile", "PROFILE [--ignore-failures]", "Profiles",
     "Start every service of a profile in dependency order",
     "Starts the services of PROFILE (for example ALL or CRITICAL), each after the services\n"
     "it depends on (StartProfileReq). Without --ignore-failures the first failure is\n"
     "reported with the names of the services that failed.\n",
     1, 1, PROFILE_TIMEOUT, true, CONTROL_SOCKET, RunStartProfile},
    {"stop-profile", "PROFILE [--ignore-failures]", "Profiles",
     "Stop every service of a profile in stop order",
     "Stops the services of PROFILE, each after the services that must stop before it\n"
     "(StopProfileReq). Without --ignore-failures the first failure is reported with the\n"
     "names of the services that failed.\n",
     1, 1, PROFILE_TIMEOUT, true, CONTROL_SOCKET, RunStopProfile},
    {"health-check-all", "", "All services", "Run the health check of every service",
     "Runs the API health check of every service in parallel (AllSvcsControlReq, health\n"
     "check). Failures are not reported here; see status.\n",
     0, 0, HEALTH_TIMEOUT, false, CONTROL_SOCKET, RunHealthCheckAll},
    {"reset-counters", "", "All services", "Reset the fail counters of every service and save them",
     "Resets the fail counters of every service and saves its crash statistics\n"
     "(AllSvcsControlReq, reset).\n",
     0, 0, QUICK_TIMEOUT, false, CONTROL_SOCKET, RunResetCounters},
    {"reload", "", "All services", "Reload the configuration of every service",
     "Re-reads the definition of every service and servlet container instance\n"
     "(AllSvcsControlReq, reload).\n",
     0, 0, QUICK_TIMEOUT, false, CONTROL_SOCKET, RunReload},
    {"save-stats", "", "All services", "Save the crash statistics of every service",
     "Writes the crash statistics file of every service (AllSvcsControlReq, save).\n", 0, 0,
     QUICK_TIMEOUT, false, CONTROL_SOCKET, RunSaveStats},
    {"recovery-profile", "default|failover", "Daemon", "Select the recovery action profile",
     "Selects the recovery action lists the daemon applies to failing services from now on\n"
     "(SetRecoveryProfileReq). The choice is not saved across restarts of the daemon.\n",
     1, 1, QUICK_TIMEOUT, false, CONTROL_SOCKET, RunRecoveryProfile},
    {"notify-coredump", "PID", "Daemon", "Tell the daemon that process PID is dumping core",
     "Reports a process that is dumping core, as the kernel's core-dump handler does\n"
     "(CoreDumpNotifyReq). The daemon always accepts the notice.\n",
     1, 1, QUICK_TIMEOUT, false, CONTROL_SOCKET, RunNotifyCoreDump},
    {"ha-failover", "", "Daemon", "Ask the high-availability listener to fail the node over",
     "Sends the failover request the daemon sends on HAFAILOVER recovery (HaNodeFailoverReq)\n"
     "to the \"duolistener\" socket of the data directory, or to --socket, and reports\n"
     "whether the listener accepted it. The daemon's own control socket refuses it.\n",
     0, 0, FAILOVER_TIMEOUT, false, FAILOVER_SOCKET, RunHaFailover},
};

const char kOptionsHelp[] =
    "Options:\n"
    "  --socket PATH      Control socket (default: DATADIR/sentroserver)\n"
    "  --datadir DIR      The daemon's data directory (default: $NORVANE_DATA_DIR/norvane-sentro,\n"
    "                     or the current directory when NORVANE_DATA_DIR is not set)\n"
    "  --timeout SECONDS  Stop waiting for the daemon after SECONDS (default: per command)\n"
    "  --json             Print the outcome as one JSON object on standard output\n"
    "  -h, --help         Show this help, or the help of the command\n";

const char kExitHelp[] =
    "Exit status:\n"
    "  0  success\n"
    "  1  usage error; nothing was sent\n"
    "  2  daemon not reachable: not running, connection refused or permission denied\n"
    "  3  timed out waiting for the daemon (the request may still be carried out)\n"
    "  4  the daemon carried out the request and reported a failure\n"
    "  5  protocol error: truncated or malformed reply\n";

std::string Synopsis(const CtlCommand &command) {
  std::string text = command.name;
  if (command.operands[0] != '\0') {
    text += std::string(" ") + command.operands;
  }
  return text;
}

// "  synopsis   summary", the summaries aligned; a synopsis too long for
// the column puts its summary on the next line.
void PrintSummaryLine(CtlOutput &out, const std::string &synopsis, const char *summary) {
  const size_t column = 36;
  out << "  " << synopsis;
  if (synopsis.size() + 2 > column) {
    out << "\n" << std::string(column + 2, ' ');
  } else {
    out << std::string(column - synopsis.size(), ' ');
  }
  out << summary << "\n";
}

}  // namespace

const CtlCommand *FindCtlCommand(const std::string &name) {
  for (const CtlCommand &command : kCommands) {
    if (name == command.name) {
      return &command;
    }
  }
  return FindOpsCommand(name);
}

void PrintCtlUsage(CtlOutput &out) {
  out << "Usage: sentroctl [OPTIONS] COMMAND [ARGS...]\n"
         "\n"
         "Controls the sentro service daemon through its control socket.\n";
  const char *group = "";
  for (const CtlCommand &command : kCommands) {
    if (strcmp(group, command.group) != 0) {
      group = command.group;
      out << "\n" << group << ":\n";
    }
    PrintSummaryLine(out, Synopsis(command), command.summary);
  }
  size_t opsCount = 0;
  const CtlCommand *ops = OpsCommands(&opsCount);
  for (size_t i = 0; i < opsCount; i++) {
    if (ops[i].group[0] != '\0' && strcmp(group, ops[i].group) != 0) {
      group = ops[i].group;
      out << "\n" << group << ":\n";
    }
    if (ops[i].group[0] != '\0') {
      PrintSummaryLine(out, Synopsis(ops[i]), ops[i].summary);
    }
  }
  out << "\n";
  PrintSummaryLine(out, "help [COMMAND]", "Show this help or the help of one command");
  out << "\n" << kOptionsHelp << "\n" << kExitHelp;
}

void PrintCtlCommandHelp(const CtlCommand &command, CtlOutput &out) {
  out << "Usage: sentroctl [OPTIONS] " << Synopsis(command) << "\n\n"
      << command.summary << ".\n\n"
      << command.details << "\nDefault time-out: " << command.timeoutSeconds << " seconds.\n\n"
      << kOptionsHelp << "\n"
      << kExitHelp;
}
