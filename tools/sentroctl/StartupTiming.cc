// blame and critical-chain: where the time of a start went, from the start
// records of the operation metrics database.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/sentroctl/CtlReport.h"
#include "tools/sentroctl/OpsCommands.h"
#include "tools/sentroctl/StartupRecords.h"

namespace {

// Reading the database fails with this status; there is nothing to show.
#define TIMING_EXIT_NO_DATA 4

bool SelectionOf(CtlContext &context, bool lastByDefault, StartSelection *selection) {
  const std::string *id = OpsOption(context.options, "--operation");
  if (id != nullptr && HasOpsOption(context.options, "--last")) {
    UsageError(context, "give either --last or --operation");
    return false;
  }
  selection->operationId = id != nullptr ? *id : "";
  selection->lastBatch =
      HasOpsOption(context.options, "--last") || (id == nullptr && lastByDefault);
  return true;
}

// Reads the batch or reports why there is none; false means exit with *status.
bool LoadBatch(CtlContext &context, bool lastByDefault, StartBatch *batch, int *status) {
  StartSelection selection;
  if (!SelectionOf(context, lastByDefault, &selection)) {
    *status = CTL_EXIT_USAGE;
    return false;
  }
  std::string error;
  if (!ReadStarts(StartupDbPath(context.options), selection, batch, &error)) {
    if (context.options.json) {
      JsonOut json;
      BeginJson(json, context);
      json.Field("ok", false);
      json.Field("error", error);
      context.out << json.Finish();
    }
    context.err << "sentroctl: " << error << "\n";
    *status = TIMING_EXIT_NO_DATA;
    return false;
  }
  return true;
}

int64_t Millis(double seconds) {
  return static_cast<int64_t>(std::llround(seconds * 1000));
}

std::string DurationText(const ServiceStart &start) {
  if (start.endKnown) {
    return FormatSeconds(start.Seconds());
  }
  return start.phases.empty() ? "?" : "~" + FormatSeconds(start.Seconds());
}

void WritePhasesJson(JsonOut &json, const ServiceStart &start) {
  json.Key("phases");
  json.BeginArray();
  for (const SubPhase &phase : start.phases) {
    json.BeginObject();
    json.Field("name", phase.name);
    json.Field("milliseconds", Millis(phase.seconds));
    json.Field("status", phase.status);
    json.EndObject();
  }
  json.EndArray();
}

void WriteStartJson(JsonOut &json, const ServiceStart &start, int64_t begin) {
  json.Field("service", start.service);
  json.Field("operation", start.operation);
  json.Field("status", start.status);
  json.Field("endKnown", start.endKnown);
  json.Field("milliseconds", Millis(start.Seconds()));
  json.Field("readyAfterMilliseconds", Millis(start.End() - static_cast<double>(begin)));
}

// Opens a report on one batch: its id, then the array named key.
void BeginBatchJson(JsonOut &json, const CtlContext &context, const StartBatch &batch,
                    const char *key) {
  BeginJson(json, context);
  json.Field("ok", true);
  json.Field("operationId", batch.operationId);
  json.Key(key);
  json.BeginArray();
}

}  // namespace

int RunBlame(CtlContext &context) {
  StartBatch batch;
  int status = CTL_EXIT_OK;
  if (!LoadBatch(context, false, &batch, &status)) {
    return status;
  }
  std::vector<const ServiceStart *> starts;
  for (const ServiceStart &start : batch.starts) {
    starts.push_back(&start);
  }
  // Longest first; starts whose end is not known after those that have one.
  std::stable_sort(starts.begin(), starts.end(), [](const ServiceStart *a, const ServiceStart *b) {
    if (a->endKnown != b->endKnown) {
      return a->endKnown;
    }
    return a->Seconds() > b->Seconds();
  });
  if (context.options.json) {
    JsonOut json;
    BeginBatchJson(json, context, batch, "services");
    for (const ServiceStart *start : starts) {
      json.BeginObject();
      WriteStartJson(json, *start, batch.begin);
      WritePhasesJson(json, *start);
      json.EndObject();
    }
    json.EndArray();
    context.out << json.Finish();
    return CTL_EXIT_OK;
  }
  bool anyUnknown = false;
  for (const ServiceStart *start : starts) {
    char line[160];
    snprintf(line, sizeof line, "%10s %-24s %-12s %s\n", DurationText(*start).c_str(),
             start->service.c_str(), start->operation.c_str(), start->status.c_str());
    context.out << line;
    for (const SubPhase &phase : start->phases) {
      snprintf(line, sizeof line, "%10s   %-22s %-12s %s\n", "", phase.name.c_str(),
               FormatSeconds(phase.seconds).c_str(), phase.status.c_str());
      context.out << line;
    }
    anyUnknown = anyUnknown || !start->endKnown;
  }
  if (anyUnknown) {
    context.out << "? or ~: the record was closed by a later operation; ~ is the sum of the "
                   "reported sub-phases\n";
  }
  return CTL_EXIT_OK;
}

int RunCriticalChain(CtlContext &context) {
  StartBatch batch;
  int status = CTL_EXIT_OK;
  if (!LoadBatch(context, true, &batch, &status)) {
    return status;
  }
  std::map<std::string, const ServiceStart *> byName;
  const ServiceStart *target = &batch.starts.front();
  for (const ServiceStart &start : batch.starts) {
    byName[start.service] = &start;
    if (start.End() > target->End()) {
      target = &start;
    }
  }
  if (!context.options.args.empty()) {
    auto named = byName.find(context.options.args[0]);
    if (named == byName.end()) {
      context.err << "sentroctl: " << context.options.args[0] << " has no start in operation "
                  << batch.operationId << "\n";
      return TIMING_EXIT_NO_DATA;
    }
    target = named->second;
  }
  // From the target down: at each step the dependency in the batch that
  // became ready last, which is the one the service waited for.
  auto dependsOn = ReadDependsOn(OpsConfigDir(context.options));
  std::vector<const ServiceStart *> chain{target};
  while (chain.size() <= batch.starts.size()) {
    const ServiceStart *bound = nullptr;
    for (const std::string &dep : dependsOn[chain.back()->service]) {
      auto found = byName.find(dep);
      if (found != byName.end() && (bound == nullptr || found->second->End() > bound->End())) {
        bound = found->second;
      }
    }
    if (bound == nullptr) {
      break;
    }
    chain.push_back(bound);
  }
  if (context.options.json) {
    JsonOut json;
    BeginBatchJson(json, context, batch, "chain");
    for (const ServiceStart *start : chain) {
      json.BeginObject();
      WriteStartJson(json, *start, batch.begin);
      json.EndObject();
    }
    json.EndArray();
    context.out << json.Finish();
    return CTL_EXIT_OK;
  }
  context.out << "The time after the batch began at which a service was ready is printed after "
                 "\"@\", the time its start took after \"+\".\n\n";
  for (size_t i = 0; i < chain.size(); i++) {
    std::string indent = i == 0 ? "" : std::string(2 * (i - 1), ' ') + "`-";
    context.out << indent << chain[i]->service << " @"
                << FormatSeconds(chain[i]->End() - static_cast<double>(batch.begin)) << " +"
                << DurationText(*chain[i]) << "\n";
  }
  return CTL_EXIT_OK;
}
