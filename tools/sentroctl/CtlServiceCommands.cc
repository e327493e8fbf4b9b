// The commands that act on one service: start, stop, restart, set-startup,
// run-as, deps, live-core.

#include "src/protocol/MessageHeader.h"
#include "src/protocol/WireTexts.h"
#include "tools/sentroctl/CtlCommands.h"
#include "tools/sentroctl/CtlReport.h"

namespace {

// Checks a service name operand; a longer name would be cut by the daemon
// and could name another service.
bool CheckServiceName(CtlContext &context, const std::string &name, int *status) {
  if (IsValidNameText(name)) {
    return true;
  }
  *status = UsageError(context, "invalid service name '" + name + "': give 1 to " +
                                    std::to_string(NAME_TEXT_MAX) + " characters");
  return false;
}

int RunServiceAction(CtlContext &context, MessageType type, const char *doneVerb) {
  const std::string &service = context.options.args[0];
  int status;
  if (!CheckServiceName(context, service, &status)) {
    return status;
  }
  CtlAction action;
  action.request.type = type;
  action.request.name = service;
  action.subjectKey = "service";
  action.subject = service;
  action.successLine = std::string(doneVerb) + " " + service + ".";
  return RunAction(context, action);
}

}  // namespace

int RunStart(CtlContext &context) {
  return RunServiceAction(context, MessageType::StartSvcReq, "Started");
}

int RunStop(CtlContext &context) {
  return RunServiceAction(context, MessageType::StopSvcReq, "Stopped");
}

int RunRestart(CtlContext &context) {
  return RunServiceAction(context, MessageType::RestartSvcReq, "Restarted");
}

int RunSetStartup(CtlContext &context) {
  const std::string &service = context.options.args[0];
  const std::string &typeText = context.options.args[1];
  int status;
  if (!CheckServiceName(context, service, &status)) {
    return status;
  }
  int startupType = WireStartupTypeFromText(typeText.c_str());
  if (startupType < 0) {
    return UsageError(
        context, "invalid startup type '" + typeText + "': give manual, automatic or disabled");
  }
  CtlAction action;
  action.request.type = MessageType::SetSvcStateReq;
  action.request.name = service;
  action.request.startupType = static_cast<uint32_t>(startupType);
  action.subjectKey = "service";
  action.subject = service;
  action.successLine = "Startup type of " + service + " set to " +
                       WireStartupTypeText(static_cast<uint32_t>(startupType)) + ".";
  return RunAction(context, action);
}

int RunRunAs(CtlContext &context) {
  const std::string &service = context.options.args[0];
  const std::string &user = context.options.args[1];
  int status;
  if (!CheckServiceName(context, service, &status)) {
    return status;
  }
  if (!IsValidUserText(user)) {
    return UsageError(context, "invalid user name '" + user + "': give 1 to " +
                                   std::to_string(USER_TEXT_MAX) + " characters");
  }
  CtlAction action;
  action.request.type = MessageType::RunAsUserReq;
  action.request.name = service;
  action.request.user = user;
  action.subjectKey = "service";
  action.subject = service;
  action.successLine = "Run-as user of " + service + " set to " + user + ".";
  return RunAction(context, action);
}

int RunDeps(CtlContext &context) {
  const std::string &service = context.options.args[0];
  int status;
  if (!CheckServiceName(context, service, &status)) {
    return status;
  }
  RequestMessage request;
  request.type = MessageType::GetSvcDepsReq;
  request.name = service;
  std::vector<std::string> names;
  CallOutcome outcome = CallForNames(context.target, request, &names);
  if (context.options.json) {
    JsonOut json;
    BeginJson(json, context);
    json.Field("service", service);
    AddOutcomeFields(json, outcome, request.type, service);
    if (outcome.succeeded()) {
      json.Field("dependsOn", names);
    }
    context.out << json.Finish();
  } else if (outcome.succeeded()) {
    for (const std::string &name : names) {
      context.out << name << "\n";
    }
    if (names.empty()) {
      context.out << service << " depends on no other service.\n";
    }
  }
  if (!outcome.succeeded()) {
    PrintFailure(context, "deps " + service, outcome, request.type, service);
  }
  return ExitStatusOf(outcome);
}

int RunLiveCore(CtlContext &context) {
  const std::string &service = context.options.args[0];
  int status;
  if (!CheckServiceName(context, service, &status)) {
    return status;
  }
  LiveCorePayload core;
  CallOutcome outcome = CallForLiveCore(context.target, service, &core);
  // A failed dump is told by the reply type alone; a request the daemon
  // refused outright comes back as a result code instead.
  bool dumpFailed = outcome.error == ClientError::None && !core.succeeded &&
                    outcome.code == static_cast<uint32_t>(ControlResult::Failed);
  if (context.options.json) {
    JsonOut json;
    BeginJson(json, context);
    json.Field("service", service);
    if (dumpFailed) {
      json.Field("ok", false);
      json.Field("error", "live core dump failed");
    } else {
      AddOutcomeFields(json, outcome, MessageType::DumpLiveCoreReq, service);
    }
    if (outcome.succeeded()) {
      json.Field("coreFile", core.corePath);
    }
    context.out << json.Finish();
  } else if (outcome.succeeded()) {
    context.out << "Live core of " << service << " written to " << core.corePath << "\n";
  }
  if (dumpFailed) {
    context.err << "sentroctl: live-core " << service
                << ": live core dump failed (no such service, service not running, or the "
                   "dump itself failed)\n";
  } else if (!outcome.succeeded()) {
    PrintFailure(context, "live-core " + service, outcome, MessageType::DumpLiveCoreReq, service);
  }
  return ExitStatusOf(outcome);
}
