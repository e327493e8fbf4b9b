// metrics: every service's state, health, startup type, pid, time in state
// and crash counters, and its last start's duration, in the Prometheus text
// exposition format, for node_exporter's textfile collector.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "src/core/JsonFileReader.h"
#include "src/protocol/MessageHeader.h"
#include "src/protocol/WireTexts.h"
#include "tools/sentroctl/CtlReport.h"
#include "tools/sentroctl/OpsCommands.h"
#include "tools/sentroctl/StartupRecords.h"

namespace {

#define METRICS_EXIT_WRITE_FAILED 4

// The enumerations shown as one series per value, 1 for the current one.
struct StateSet {
  const char *metric;
  const char *label;
  const char *help;
  uint32_t count;
  const char *(*text)(uint32_t);
  uint32_t SvcStatePayload::*field;
};
const StateSet kStateSets[] = {
    {"sentro_service_state", "state", "The service's state (1 for the current one).", 4,
     WireServiceStateText, &SvcStatePayload::state},
    {"sentro_service_health", "health", "The service's health (1 for the current one).", 5,
     WireHealthStatusText, &SvcStatePayload::health},
    {"sentro_service_startup_type", "type", "The service's startup type (1 for the current one).",
     3, WireStartupTypeText, &SvcStatePayload::startupType},
};

// The crash statistics file's counters.
const struct {
  const char *key;
  const char *kind;
} kCounters[] = {
    {"ProcessCrashCount", "crash"},
    {"ProcessCoredumpCount", "coredump"},
    {"ApiHealthFailCount", "health_fail"},
};

std::string Label(const std::string &value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void Header(CtlOutput &out, const char *metric, const char *help) {
  out << "# HELP " << metric << " " << help << "\n# TYPE " << metric << " gauge\n";
}

class MetricsText {
 public:
  MetricsText(CtlContext &context) : context_(context) {}

  // False when the daemon could not be asked; sentro_up then says so.
  bool Collect() {
    RequestMessage request;
    request.type = MessageType::ListSvcsReq;
    std::vector<std::string> names;
    CallOutcome outcome = CallForNames(context_.target, request, &names);
    if (outcome.succeeded()) {
      for (const std::string &name : names) {
        SvcStatePayload status;
        if (CallForState(context_.target, name, &status).succeeded()) {
          states_.push_back(status);
        }
      }
    }
    up_ = outcome.succeeded();
    if (!up_) {
      PrintFailure(context_, "metrics", outcome, MessageType::ListSvcsReq, "");
    }
    StartSelection everyService;
    std::string ignored;  // a missing database only leaves the durations out
    ReadStarts(StartupDbPath(context_.options), everyService, &starts_, &ignored);
    return up_;
  }

  std::string Text() const {
    CtlOutput out;
    Header(out, "sentro_up", "Whether the daemon answered on its control socket.");
    out << "sentro_up " << (up_ ? 1 : 0) << "\n";
    for (const StateSet &set : kStateSets) {
      Header(out, set.metric, set.help);
      for (const SvcStatePayload &status : states_) {
        for (uint32_t value = 0; value < set.count; value++) {
          out << set.metric << "{service=\"" << Label(status.name) << "\"," << set.label << "=\""
              << set.text(value) << "\"} " << (status.*set.field == value ? 1 : 0) << "\n";
        }
      }
    }
    Series(out, "sentro_service_pid", "The service's process id (0 when stopped).",
           [](const SvcStatePayload &status) { return std::to_string(status.pid); });
    Series(out, "sentro_service_state_seconds", "Seconds since the service's state last changed.",
           [](const SvcStatePayload &status) {
             char text[32];
             snprintf(text, sizeof text, "%.3f", status.msInState / 1000.0);
             return std::string(text);
           });
    Counters(out);
    LastStarts(out);
    return out.Text();
  }

 private:
  template <typename ValueOf>
  void Series(CtlOutput &out, const char *metric, const char *help, ValueOf valueOf) const {
    Header(out, metric, help);
    for (const SvcStatePayload &status : states_) {
      out << metric << "{service=\"" << Label(status.name) << "\"} " << valueOf(status) << "\n";
    }
  }

  // From the crash statistics files the daemon keeps in its data directory.
  void Counters(CtlOutput &out) const {
    Header(out, "sentro_service_failures",
           "The service's failures counted by the daemon since their last reset, by kind.");
    auto files = ReadDefinitionFiles(OpsConfigDir(context_.options));
    std::string statsDir = OpsDataDir(context_.options) + "/.svcStats/stats_";
    for (const SvcStatePayload &status : states_) {
      auto file = files.find(status.name);
      JsonFileReader reader;
      bool read = file != files.end() && access((statsDir + file->second).c_str(), R_OK) == 0 &&
                  reader.Load(statsDir + file->second);
      for (const auto &counter : kCounters) {
        int32_t count = 0;
        if (read) {
          reader.GetInt(counter.key, &count);
        }
        out << "sentro_service_failures{service=\"" << Label(status.name) << "\",kind=\""
            << counter.kind << "\"} " << count << "\n";
      }
    }
  }

  void LastStarts(CtlOutput &out) const {
    Header(out, "sentro_service_last_start_seconds",
           "How long the service's last recorded start took (whole seconds).");
    for (const ServiceStart &start : starts_.starts) {
      if (start.endKnown) {
        out << "sentro_service_last_start_seconds{service=\"" << Label(start.service) << "\"} "
            << start.Seconds() << "\n";
      }
    }
  }

  CtlContext &context_;
  bool up_ = false;
  std::vector<SvcStatePayload> states_;
  StartBatch starts_;
};

// Writes text to path through a temporary file in the same directory and a
// rename, so that a collector never reads half a file.
bool WriteAtomically(const std::string &path, const std::string &text) {
  std::string temporary = path + ".tmp." + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    return false;
  }
  bool written;
  {
    CtlOutput file(fd);
    file << text;
    written = file.Flush();
  }
  if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

int RunMetrics(CtlContext &context) {
  MetricsText metrics(context);
  bool up = metrics.Collect();
  const std::string *path = OpsOption(context.options, "--textfile");
  if (path == nullptr) {
    context.out << metrics.Text();
  } else if (!WriteAtomically(*path, metrics.Text())) {
    context.err << "sentroctl: cannot write " << *path << "\n";
    return METRICS_EXIT_WRITE_FAILED;
  }
  return up ? CTL_EXIT_OK : CTL_EXIT_UNREACHABLE;
}
