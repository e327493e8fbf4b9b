// The operator's commands that read this machine's files instead of (or as
// well as) asking the daemon: the configuration check, the start-up timings
// of the operation metrics database, the daemon's log, the Prometheus
// metrics, and the names shell completion offers. Each family has its own
// file; this one holds their table and the options they take.
#pragma once

#include <cstddef>
#include <string>

#include "tools/sentroctl/CtlCommands.h"

// The command of that name among these, or null.
const CtlCommand *FindOpsCommand(const std::string &name);
// The table, for the help; hidden commands have an empty group.
const CtlCommand *OpsCommands(size_t *count);

// Whether name ("-c", "--db", ...) is an option of one of these commands;
// *longName is its long form and *takesValue whether a value follows it.
bool FindOpsOption(const std::string &name, std::string *longName, bool *takesValue);
// Null when the command accepts every command option it was given, else
// the first one it does not accept.
const std::string *RejectedOpsOption(const CtlCommand &command, const CtlOptions &options);

// The last value given for a command option (long form), or null.
const std::string *OpsOption(const CtlOptions &options, const char *longName);
bool HasOpsOption(const CtlOptions &options, const char *longName);

// The daemon's directories as the daemon itself derives them: the option,
// else $NORVANE_CFG_DIR (or $NORVANE_DATA_DIR) + "/norvane-sentro", else ".".
std::string OpsConfigDir(const CtlOptions &options);
std::string OpsDataDir(const CtlOptions &options);

// The runners.
int RunCheckConfig(CtlContext &context);
int RunBlame(CtlContext &context);
int RunCriticalChain(CtlContext &context);
int RunPlot(CtlContext &context);
int RunLogs(CtlContext &context);
int RunMetrics(CtlContext &context);
int RunCompleteNames(CtlContext &context);
