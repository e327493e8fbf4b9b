#include "tools/sentroctl/CtlReport.h"

#include <cinttypes>
#include <cstdio>

#include "src/protocol/WireTexts.h"

namespace {

// The failed services of a profile operation, sent joined by ", ".
std::vector<std::string> SplitServices(const std::string &text) {
  std::vector<std::string> names;
  size_t start = 0;
  while (!text.empty()) {
    size_t comma = text.find(", ", start);
    names.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) {
      break;
    }
    start = comma + 2;
  }
  return names;
}

bool IsProfileRequest(MessageType type) {
  return type == MessageType::StartProfileReq || type == MessageType::StopProfileReq;
}

}  // namespace

int ExitStatusOf(const CallOutcome &outcome) {
  switch (outcome.error) {
    case ClientError::None:
      return outcome.code == 0 ? CTL_EXIT_OK : CTL_EXIT_FAILED;
    case ClientError::NotRunning:
    case ClientError::PermissionDenied:
    case ClientError::Unreachable:
      return CTL_EXIT_UNREACHABLE;
    case ClientError::TimedOut:
      return CTL_EXIT_TIMEOUT;
    case ClientError::Protocol:
      return CTL_EXIT_PROTOCOL;
  }
  return CTL_EXIT_PROTOCOL;
}

const char *ClientErrorClass(ClientError error) {
  switch (error) {
    case ClientError::None:
      return "none";
    case ClientError::NotRunning:
      return "not-running";
    case ClientError::PermissionDenied:
      return "permission-denied";
    case ClientError::Unreachable:
      return "unreachable";
    case ClientError::TimedOut:
      return "timeout";
    case ClientError::Protocol:
      return "protocol";
  }
  return "protocol";
}

std::string FailureText(const CallOutcome &outcome, MessageType type, const std::string &subject) {
  if (outcome.error != ClientError::None) {
    return outcome.detail;
  }
  switch (static_cast<ControlResult>(outcome.code)) {
    case ControlResult::InvalidStartupType:
      if (RequestNamesService(static_cast<uint32_t>(type))) {
        return "no such service '" + subject + "'";
      }
      break;
    case ControlResult::UnknownProfile:
      return "no such profile '" + subject + "'";
    case ControlResult::InvalidRequest:
      return "the daemon refused the request as invalid";
    case ControlResult::InvalidState:
      return "invalid state: the service's current state does not admit the request";
    case ControlResult::Disabled:
      if (type == MessageType::SetSvcStateReq) {
        return "disabled: a service can be disabled only while it is stopped";
      }
      return "disabled: the service's startup type is DISABLED";
    default:
      break;
  }
  const char *meaning = ControlResultMeaning(outcome.code);
  return meaning != nullptr ? meaning : "unknown result code " + std::to_string(outcome.code);
}

void PrintFailure(CtlContext &context, const std::string &what, const CallOutcome &outcome,
                  MessageType type, const std::string &subject) {
  context.err << "sentroctl: ";
  if (outcome.error != ClientError::None) {
    context.err << outcome.detail << "\n";
    return;
  }
  context.err << what << ": " << FailureText(outcome, type, subject);
  const char *name = ControlResultName(outcome.code);
  if (name != nullptr) {
    context.err << " (" << name << ", code " << outcome.code << ")";
  }
  context.err << "\n";
  if (!outcome.text.empty()) {
    context.err << "Failed services: " << outcome.text << "\n";
  }
}

void AddOutcomeFields(JsonOut &json, const CallOutcome &outcome, MessageType type,
                      const std::string &subject) {
  json.Field("ok", outcome.succeeded());
  if (outcome.succeeded()) {
    return;
  }
  json.Field("error", FailureText(outcome, type, subject));
  if (outcome.error != ClientError::None) {
    json.Field("errorClass", ClientErrorClass(outcome.error));
    return;
  }
  json.Field("result", static_cast<int64_t>(outcome.code));
  const char *name = ControlResultName(outcome.code);
  json.Field("resultName", name != nullptr ? name : "");
  if (IsProfileRequest(type)) {
    json.Field("failedServices", SplitServices(outcome.text));
  }
}

void BeginJson(JsonOut &json, const CtlContext &context) {
  json.Field("command", context.options.command);
}

int RunAction(CtlContext &context, const CtlAction &action) {
  CallOutcome outcome = CallForResult(context.target, action.request);
  if (context.options.json) {
    JsonOut json;
    BeginJson(json, context);
    if (action.subjectKey != nullptr) {
      json.Field(action.subjectKey, action.subject);
    }
    AddOutcomeFields(json, outcome, action.request.type, action.subject);
    context.out << json.Finish();
  } else if (outcome.succeeded()) {
    context.out << action.successLine << "\n";
  }
  if (!outcome.succeeded()) {
    std::string what = context.options.command;
    if (!action.subject.empty()) {
      what += " " + action.subject;
    }
    PrintFailure(context, what, outcome, action.request.type, action.subject);
  }
  return ExitStatusOf(outcome);
}

std::string FormatDuration(uint64_t ms) {
  char text[48];
  uint64_t seconds = ms / 1000;
  if (seconds < 60) {
    snprintf(text, sizeof(text), "%" PRIu64 ".%" PRIu64 "s", seconds, (ms % 1000) / 100);
  } else if (seconds < 3600) {
    snprintf(text, sizeof(text), "%" PRIu64 "m %02" PRIu64 "s", seconds / 60, seconds % 60);
  } else if (seconds < 86400) {
    snprintf(text, sizeof(text), "%" PRIu64 "h %02" PRIu64 "m", seconds / 3600,
             seconds % 3600 / 60);
  } else {
    snprintf(text, sizeof(text), "%" PRIu64 "d %02" PRIu64 "h", seconds / 86400,
             seconds % 86400 / 3600);
  }
  return text;
}

std::string EnumText(const char *text, uint32_t value) {
  return text != nullptr ? text : std::to_string(value);
}

int UsageError(CtlContext &context, const std::string &message) {
  context.err << "sentroctl: " << message << "\n"
              << "Try 'sentroctl help " << context.options.command << "'.\n";
  return CTL_EXIT_USAGE;
}
