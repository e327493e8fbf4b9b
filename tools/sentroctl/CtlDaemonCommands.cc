// The commands that act on profiles, on all services or on the daemon
// itself.
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "src/protocol/MessageHeader.h"
#include "src/protocol/WireTexts.h"
#include "tools/sentroctl/CtlCommands.h"
#include "tools/sentroctl/CtlReport.h"

namespace {

int RunProfile(CtlContext &context, MessageType type, const char *doneVerb) {
  const std::string &profile = context.options.args[0];
  if (!IsValidNameText(profile)) {
    return UsageError(context, "invalid profile name '" + profile + "': give 1 to " +
                                   std::to_string(NAME_TEXT_MAX) + " characters");
  }
  CtlAction action;
  action.request.type = type;
  action.request.name = profile;
  action.request.ignoreFail = context.options.ignoreFailures;
  action.subjectKey = "profile";
  action.subject = profile;
  action.successLine = std::string(doneVerb) + " profile " + profile +
                       (context.options.ignoreFailures ? "; failures were ignored." : ".");
  return RunAction(context, action);
}

int RunAllServices(CtlContext &context, const AllSvcsFlags &flags, const char *successLine) {
  CtlAction action;
  action.request.type = MessageType::AllSvcsControlReq;
  action.request.flags = flags;
  action.successLine = successLine;
  return RunAction(context, action);
}

}  // namespace

int RunStartProfile(CtlContext &context) {
  return RunProfile(context, MessageType::StartProfileReq, "Started");
}

int RunStopProfile(CtlContext &context) {
  return RunProfile(context, MessageType::StopProfileReq, "Stopped");
}

int RunHealthCheckAll(CtlContext &context) {
  AllSvcsFlags flags;
  flags.healthCheck = true;
  return RunAllServices(context, flags, "Ran the health check of every service.");
}

int RunResetCounters(CtlContext &context) {
  AllSvcsFlags flags;
  flags.resetFailCounters = true;
  return RunAllServices(context, flags,
                        "Reset the fail counters of every service and saved its crash statistics.");
}

int RunReload(CtlContext &context) {
  AllSvcsFlags flags;
  flags.reloadConfigs = true;
  return RunAllServices(context, flags, "Reloaded the configuration of every service.");
}

int RunSaveStats(CtlContext &context) {
  AllSvcsFlags flags;
  flags.saveCrashStats = true;
  return RunAllServices(context, flags, "Saved the crash statistics of every service.");
}

int RunRecoveryProfile(CtlContext &context) {
  const std::string &text = context.options.args[0];
  int profile = WireRecoveryProfileFromText(text.c_str());
  if (profile < 0) {
    return UsageError(context, "invalid recovery profile '" + text + "': give default or failover");
  }
  const char *name = WireRecoveryProfileText(static_cast<uint32_t>(profile));
  CtlAction action;
  action.request.type = MessageType::SetRecoveryProfileReq;
  action.request.recoveryProfile = static_cast<uint32_t>(profile);
  action.subjectKey = "recoveryProfile";
  action.subject = name;
  action.successLine = std::string("Recovery action profile set to ") + name + ".";
  return RunAction(context, action);
}

int RunNotifyCoreDump(CtlContext &context) {
  const std::string &text = context.options.args[0];
  char *end = nullptr;
  errno = 0;
  long pid = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || pid <= 0 || pid > INT_MAX) {
    return UsageError(context, "invalid process id '" + text + "'");
  }
  CtlAction action;
  action.request.type = MessageType::CoreDumpNotifyReq;
  action.request.pid = static_cast<int32_t>(pid);
  action.subjectKey = "pid";
  action.subject = text;
  action.successLine = "Reported process " + text + " as dumping core.";
  return RunAction(context, action);
}

int RunHaFailover(CtlContext &context) {
  CallOutcome outcome = CallForFailover(context.target);
  // A refusal is a bare ErrorReply, which CallForFailover turns into Failed;
  // any other code came from a control server that refused the type.
  bool refused = outcome.error == ClientError::None &&
                 outcome.code == static_cast<uint32_t>(ControlResult::Failed);
  const char *refusal = "the failover listener refused the failover";
  if (context.options.json) {
    JsonOut json;
    BeginJson(json, context);
    json.Field("socket", context.target.socketPath);
    if (refused) {
      json.Field("ok", false);
      json.Field("error", refusal);
    } else {
      AddOutcomeFields(json, outcome, MessageType::HaNodeFailoverReq, "");
    }
    context.out << json.Finish();
  } else if (outcome.succeeded()) {
    context.out << "The failover listener accepted the failover.\n";
  }
  if (refused) {
    context.err << "sentroctl: ha-failover: " << refusal << "\n";
  } else if (!outcome.succeeded()) {
    PrintFailure(context, "ha-failover", outcome, MessageType::HaNodeFailoverReq, "");
  }
  return ExitStatusOf(outcome);
}
