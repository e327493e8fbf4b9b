// The commands of sentroctl. Each maps onto one request type of the control
// protocol; the four actions of AllSvcsControlReq are four commands, and
// status and list also read the state of each service they show.
#pragma once

#include <cstddef>
#include <string>

#include "tools/sentroctl/ControlCalls.h"
#include "tools/sentroctl/CtlCommandLine.h"
#include "tools/sentroctl/CtlOutput.h"

// The daemon's control socket, in its data directory.
#define CONTROL_SOCKET "sentroserver"

// What a command runs with.
struct CtlContext {
  const CtlOptions &options;
  CallTarget target;
  CtlOutput &out;  // results
  CtlOutput &err;  // diagnostics
};

typedef int (*CtlRunFn)(CtlContext &context);

struct CtlCommand {
  const char *name;
  const char *operands;  // "SERVICE", "PROFILE [--ignore-failures]"
  const char *group;     // heading in the help
  const char *summary;   // one line
  const char *details;   // the rest of the command's help
  int minArgs;
  int maxArgs;         // -1: no limit
  int timeoutSeconds;  // default --timeout
  bool takesIgnoreFailures;
  const char *socketName;  // file in the data directory it talks to
  CtlRunFn run;
};

// The command of that name, or null.
const CtlCommand *FindCtlCommand(const std::string &name);

// The help texts.
void PrintCtlUsage(CtlOutput &out);
void PrintCtlCommandHelp(const CtlCommand &command, CtlOutput &out);

// The runners, one file per family.
int RunStart(CtlContext &context);
int RunStop(CtlContext &context);
int RunRestart(CtlContext &context);
int RunSetStartup(CtlContext &context);
int RunRunAs(CtlContext &context);
int RunDeps(CtlContext &context);
int RunLiveCore(CtlContext &context);
int RunList(CtlContext &context);
int RunStatus(CtlContext &context);
int RunStartProfile(CtlContext &context);
int RunStopProfile(CtlContext &context);
int RunHealthCheckAll(CtlContext &context);
int RunResetCounters(CtlContext &context);
int RunReload(CtlContext &context);
int RunSaveStats(CtlContext &context);
int RunRecoveryProfile(CtlContext &context);
int RunNotifyCoreDump(CtlContext &context);
int RunHaFailover(CtlContext &context);
