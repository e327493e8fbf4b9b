// list and status: the state of every service, or of the named ones, as a
// table, as detailed blocks, or as JSON.
#include <algorithm>

#include "src/protocol/MessageHeader.h"
#include "src/protocol/WireTexts.h"
#include "tools/sentroctl/CtlCommands.h"
#include "tools/sentroctl/CtlReport.h"

namespace {

// The health data column of the list table shows at most this much of the
// first line.
#define HEALTH_COLUMN_MAX 40
#define STATE_STOPPED 3u

// One service asked about: its state, or why there is none.
struct ServiceRow {
  std::string name;
  CallOutcome outcome;
  SvcStatePayload status;
};

// The names to show: the operands, or every registered service.
bool CollectNames(CtlContext &context, std::vector<std::string> *names, CallOutcome *failure) {
  if (!context.options.args.empty()) {
    *names = context.options.args;
    return true;
  }
  RequestMessage request;
  request.type = MessageType::ListSvcsReq;
  *failure = CallForNames(context.target, request, names);
  return failure->succeeded();
}

// Asks for the state of each name, one connection each. Stops at the first
// failure to reach the daemon, which the next request would only repeat.
std::vector<ServiceRow> QueryStates(CtlContext &context, const std::vector<std::string> &names) {
  std::vector<ServiceRow> rows;
  for (const std::string &name : names) {
    ServiceRow row;
    row.name = name;
    row.outcome = CallForState(context.target, name, &row.status);
    rows.push_back(row);
    if (row.outcome.error != ClientError::None) {
      break;
    }
  }
  return rows;
}

std::string StateOf(const SvcStatePayload &status) {
  return EnumText(WireServiceStateText(status.state), status.state);
}

std::string HealthOf(const SvcStatePayload &status) {
  return EnumText(WireHealthStatusText(status.health), status.health);
}

std::string StartupOf(const SvcStatePayload &status) {
  return EnumText(WireStartupTypeText(status.startupType), status.startupType);
}

std::string PidOf(const SvcStatePayload &status) {
  return status.pid == 0 ? "-" : std::to_string(status.pid);
}

std::string FirstLine(const std::string &text, size_t maxLength) {
  std::string line = text.substr(0, text.find('\n'));
  if (line.size() > maxLength) {
    line = line.substr(0, maxLength - 3) + "...";
  }
  return line;
}

void WriteServiceJson(JsonOut &json, const SvcStatePayload &status) {
  json.BeginObject();
  json.Field("name", status.name);
  json.Field("state", StateOf(status));
  json.Field("health", HealthOf(status));
  json.Field("startupType", StartupOf(status));
  json.Field("pid", static_cast<int64_t>(status.pid));
  json.Key("msInState");
  json.Uint(status.msInState);
  json.Field("runAsUser", status.runAsUser);
  json.Field("lastStopFailed", status.lastStopFailed);
  json.Field("healthData", status.healthData);
  json.EndObject();
}

void PrintJson(CtlContext &context, const std::vector<ServiceRow> &rows,
               const CallOutcome &listFailure) {
  JsonOut json;
  BeginJson(json, context);
  const ServiceRow *failed = nullptr;
  for (const ServiceRow &row : rows) {
    if (!row.outcome.succeeded() && failed == nullptr) {
      failed = &row;
    }
  }
  if (!listFailure.succeeded()) {
    AddOutcomeFields(json, listFailure, MessageType::ListSvcsReq, "");
  } else if (failed != nullptr) {
    AddOutcomeFields(json, failed->outcome, MessageType::GetSvcStateReq, failed->name);
  } else {
    json.Field("ok", true);
  }
  json.Key("services");
  json.BeginArray();
  for (const ServiceRow &row : rows) {
    if (row.outcome.succeeded()) {
      WriteServiceJson(json, row.status);
    }
  }
  json.EndArray();
  json.Key("errors");
  json.BeginArray();
  for (const ServiceRow &row : rows) {
    if (!row.outcome.succeeded()) {
      json.BeginObject();
      json.Field("service", row.name);
      AddOutcomeFields(json, row.outcome, MessageType::GetSvcStateReq, row.name);
      json.EndObject();
    }
  }
  json.EndArray();
  context.out << json.Finish();
}

void PrintTable(CtlContext &context, const std::vector<ServiceRow> &rows, bool listed) {
  std::vector<std::vector<std::string>> cells = {
      {"SERVICE", "STATE", "HEALTH", "STARTUP", "PID", "IN STATE", "USER", "HEALTH DATA"}};
  for (const ServiceRow &row : rows) {
    if (!row.outcome.succeeded()) {
      continue;
    }
    const SvcStatePayload &s = row.status;
    cells.push_back({row.name, StateOf(s), HealthOf(s), StartupOf(s), PidOf(s),
                     FormatDuration(s.msInState), s.runAsUser,
                     FirstLine(s.healthData, HEALTH_COLUMN_MAX)});
  }
  if (cells.size() == 1) {
    if (rows.empty() && listed) {
      context.out << "No services.\n";
    }
    return;
  }
  std::vector<size_t> widths(cells[0].size(), 0);
  for (const auto &line : cells) {
    for (size_t i = 0; i < line.size(); i++) {
      widths[i] = std::max(widths[i], line[i].size());
    }
  }
  for (const auto &line : cells) {
    std::string text;
    for (size_t i = 0; i < line.size(); i++) {
      text += line[i];
      if (i + 1 < line.size()) {
        text += std::string(widths[i] - line[i].size() + 2, ' ');
      }
    }
    text.erase(text.find_last_not_of(' ') + 1);
    context.out << text << "\n";
  }
}

void PrintBlock(CtlContext &context, const SvcStatePayload &s, const std::string &name) {
  CtlOutput &out = context.out;
  out << name << "\n"
      << "  State:        " << StateOf(s) << " for " << FormatDuration(s.msInState) << "\n"
      << "  Health:       " << HealthOf(s) << "\n"
      << "  Startup type: " << StartupOf(s) << "\n"
      << "  PID:          " << PidOf(s) << "\n"
      << "  Run as:       " << s.runAsUser << "\n";
  if (s.state == STATE_STOPPED) {
    out << "  Last stop:    " << (s.lastStopFailed ? "failed" : "succeeded") << "\n";
  }
  out << "  Health data:";
  if (s.healthData.empty()) {
    out << "  -\n";
    return;
  }
  size_t start = 0;
  const char *indent = "  ";
  while (start < s.healthData.size()) {
    size_t end = s.healthData.find('\n', start);
    if (end == std::string::npos) {
      end = s.healthData.size();
    }
    out << indent << s.healthData.substr(start, end - start) << "\n";
    indent = "                ";
    start = end + 1;
  }
}

int RunStates(CtlContext &context, bool table) {
  for (const std::string &name : context.options.args) {
    if (!IsValidNameText(name)) {
      return UsageError(context, "invalid service name '" + name + "'");
    }
  }
  std::vector<std::string> names;
  CallOutcome listFailure;
  std::vector<ServiceRow> rows;
  if (CollectNames(context, &names, &listFailure)) {
    rows = QueryStates(context, names);
  }
  if (context.options.json) {
    PrintJson(context, rows, listFailure);
  } else if (table) {
    PrintTable(context, rows, listFailure.succeeded());
  } else {
    bool first = true;
    for (const ServiceRow &row : rows) {
      if (row.outcome.succeeded()) {
        context.out << (first ? "" : "\n");
        PrintBlock(context, row.status, row.name);
        first = false;
      }
    }
    if (rows.empty() && listFailure.succeeded()) {
      context.out << "No services.\n";
    }
  }
  if (!listFailure.succeeded()) {
    PrintFailure(context, "list", listFailure, MessageType::ListSvcsReq, "");
    return ExitStatusOf(listFailure);
  }
  int status = CTL_EXIT_OK;
  for (const ServiceRow &row : rows) {
    if (!row.outcome.succeeded()) {
      PrintFailure(context, "status " + row.name, row.outcome, MessageType::GetSvcStateReq,
                   row.name);
      status = ExitStatusOf(row.outcome);
    }
  }
  return status;
}

}  // namespace

int RunList(CtlContext &context) {
  return RunStates(context, true);
}

int RunStatus(CtlContext &context) {
  return RunStates(context, false);
}
