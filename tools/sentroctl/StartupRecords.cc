#include "tools/sentroctl/StartupRecords.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <set>

#include "src/core/JsonFileReader.h"
#include "src/core/SysPaths.h"
#include "tools/sentroctl/OpsCommands.h"

namespace {

#define METRICS_DB_FILE "/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db"

const char kStartRowsSql[] =
    "SELECT operationID, operation, serviceName, operationStartTime, operationEndTime, "
    "serviceStatus, timeForOperationInSec FROM svcOpMetrics WHERE operation IN ('START', "
    "'BATCH-START', 'RESTART') "
    "ORDER BY rowid";
const char kSubPhasesSql[] =
    "SELECT serviceName, operationID, subPhase, timeForCompletetionInSec, phaseStatus "
    "FROM svcSubEvents ORDER BY rowid";

// Statuses with which a start's own end closes its record; any other
// (STOPPED, STOPPING) was written by a later operation over it.
bool IsStartOutcome(const std::string &status) {
  return status == "HEALTHY" || status == "UNHEALTHY" || status == "CRASHED" ||
         status == "TIMED-OUT";
}

// "%Y-%m-%d %H:%M:%S %Z" as the daemon writes it, in its local time; 0 when
// the text is not such a time.
int64_t ParseRowTime(const std::string &text) {
  struct tm parts = {};
  const char *rest = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &parts);
  if (rest == nullptr) {
    return 0;
  }
  std::string zone = rest[0] == ' ' ? rest + 1 : rest;
  if (zone == "UTC" || zone == "GMT") {
    return static_cast<int64_t>(timegm(&parts));
  }
  parts.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&parts));
}

// timeForOperationInSec: whole seconds measured by the daemon, -1 when the
// text is not such a number.
int64_t RecordedSeconds(const std::string &text) {
  char *rest = nullptr;
  long long seconds = strtoll(text.c_str(), &rest, 10);
  return text.empty() || *rest != '\0' || seconds < 0 ? -1 : static_cast<int64_t>(seconds);
}

std::string Column(sqlite3_stmt *statement, int column) {
  const unsigned char *text = sqlite3_column_text(statement, column);
  return text == nullptr ? "" : reinterpret_cast<const char *>(text);
}

// Runs sql and calls onRow for each row; false with *error on failure.
bool ForEachRow(sqlite3 *db, const char *sql, const std::function<void(sqlite3_stmt *)> &onRow,
                std::string *error) {
  sqlite3_stmt *statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    *error = std::string("cannot read the metrics database: ") + sqlite3_errmsg(db);
    return false;
  }
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    onRow(statement);
  }
  sqlite3_finalize(statement);
  if (step != SQLITE_DONE) {
    *error = std::string("cannot read the metrics database: ") + sqlite3_errmsg(db);
    return false;
  }
  return true;
}

struct StartRow {
  std::string operationId;
  ServiceStart start;
};

bool ReadRows(const std::string &dbPath, std::vector<StartRow> *rows,
              std::vector<std::pair<std::string, SubPhase>> *phases,
              std::vector<std::string> *phaseServices, std::string *error) {
  if (access(dbPath.c_str(), R_OK) != 0) {
    *error = "no metrics database at " + dbPath + " (give a copy with --db FILE)";
    return false;
  }
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    *error = "cannot open the metrics database " + dbPath + ": " + sqlite3_errmsg(db);
    sqlite3_close(db);
    return false;
  }
  bool read = ForEachRow(
      db, kStartRowsSql,
      [&](sqlite3_stmt *row) {
        StartRow entry;
        entry.operationId = Column(row, 0);
        entry.start.operation = Column(row, 1);
        entry.start.service = Column(row, 2);
        entry.start.start = ParseRowTime(Column(row, 3));
        entry.start.end = ParseRowTime(Column(row, 4));
        entry.start.status = Column(row, 5);
        entry.start.endKnown = IsStartOutcome(entry.start.status) && entry.start.end != 0;
        entry.start.recordedSeconds = RecordedSeconds(Column(row, 6));
        rows->push_back(entry);
      },
      error);
  read = read && ForEachRow(
                     db, kSubPhasesSql,
                     [&](sqlite3_stmt *row) {
                       phaseServices->push_back(Column(row, 0));
                       phases->push_back(
                           {Column(row, 1), SubPhase{Column(row, 2), atof(Column(row, 3).c_str()),
                                                     Column(row, 4)}});
                     },
                     error);
  sqlite3_close(db);
  return read;
}

}  // namespace

std::string StartupDbPath(const CtlOptions &options) {
  const std::string *path = OpsOption(options, "--db");
  return path != nullptr ? *path : SysPath(METRICS_DB_FILE);
}

double ServiceStart::Seconds() const {
  if (endKnown) {
    return static_cast<double>(recordedSeconds >= 0 ? recordedSeconds : end - start);
  }
  double sum = 0;
  for (const SubPhase &phase : phases) {
    sum += phase.seconds;
  }
  return sum;
}

bool ReadStarts(const std::string &dbPath, const StartSelection &selection, StartBatch *batch,
                std::string *error) {
  std::vector<StartRow> rows;
  std::vector<std::pair<std::string, SubPhase>> phases;
  std::vector<std::string> phaseServices;
  if (!ReadRows(dbPath, &rows, &phases, &phaseServices, error)) {
    return false;
  }
  if (rows.empty()) {
    *error = "the metrics database " + dbPath + " holds no start records yet";
    return false;
  }
  std::string wanted = selection.operationId;
  if (wanted.empty() && selection.lastBatch) {
    wanted = rows.back().operationId;
  }
  // The last start of each service among the selected rows.
  std::map<std::string, StartRow> latest;
  for (const StartRow &row : rows) {
    if (wanted.empty() || row.operationId == wanted) {
      latest[row.start.service] = row;
    }
  }
  if (latest.empty()) {
    *error = "no start records of operation " + wanted + " in " + dbPath;
    return false;
  }
  batch->operationId = wanted;
  batch->starts.clear();
  for (auto &[service, row] : latest) {
    for (size_t i = 0; i < phases.size(); i++) {
      if (phases[i].first == row.operationId && phaseServices[i] == service) {
        row.start.phases.push_back(phases[i].second);
      }
    }
    batch->starts.push_back(row.start);
  }
  batch->begin = batch->starts.front().start;
  for (const ServiceStart &start : batch->starts) {
    batch->begin = std::min(batch->begin, start.start);
  }
  return true;
}

std::map<std::string, std::string> ReadDefinitionFiles(const std::string &configDir) {
  std::map<std::string, std::string> files;
  std::vector<std::string> fileNames;
  std::string dir = configDir + "/svcCfgfiles";
  if (!ListDirectoryNames(dir, &fileNames)) {
    return files;
  }
  for (const std::string &fileName : fileNames) {
    JsonFileReader reader;
    std::string name;
    size_t dot = fileName.rfind('.');
    if (fileName.rfind(".state_", 0) == 0 || dot == std::string::npos ||
        fileName.compare(dot, std::string::npos, ".json") != 0 ||
        !reader.Load(dir + "/" + fileName) || !reader.GetString("Name", false, &name)) {
      continue;
    }
    files.emplace(name, fileName);
  }
  return files;
}

std::map<std::string, std::vector<std::string>> ReadDependsOn(const std::string &configDir) {
  std::map<std::string, std::vector<std::string>> graph;
  for (const auto &[name, fileName] : ReadDefinitionFiles(configDir)) {
    JsonFileReader reader;
    if (reader.Load(configDir + "/svcCfgfiles/" + fileName)) {
      reader.GetStringList("DependsOn", false, &graph[name]);
    }
  }
  return graph;
}

std::vector<const ServiceStart *> InDependencyOrder(
    const StartBatch &batch, const std::map<std::string, std::vector<std::string>> &dependsOn) {
  std::vector<const ServiceStart *> pending;
  for (const ServiceStart &start : batch.starts) {
    pending.push_back(&start);
  }
  std::sort(pending.begin(), pending.end(), [](const ServiceStart *a, const ServiceStart *b) {
    return a->start != b->start ? a->start < b->start : a->service < b->service;
  });
  std::set<std::string> inBatch;
  for (const ServiceStart *start : pending) {
    inBatch.insert(start->service);
  }
  // Repeatedly take the first start whose dependencies in the batch are
  // placed; a cycle is broken by taking the first one left.
  std::vector<const ServiceStart *> ordered;
  std::set<std::string> placed;
  while (!pending.empty()) {
    size_t pick = 0;
    for (size_t i = 0; i < pending.size(); i++) {
      auto deps = dependsOn.find(pending[i]->service);
      bool ready = true;
      if (deps != dependsOn.end()) {
        for (const std::string &dep : deps->second) {
          ready = ready && (inBatch.count(dep) == 0 || placed.count(dep) != 0);
        }
      }
      if (ready) {
        pick = i;
        break;
      }
    }
    placed.insert(pending[pick]->service);
    ordered.push_back(pending[pick]);
    pending.erase(pending.begin() + static_cast<long>(pick));
  }
  return ordered;
}

std::string FormatSeconds(double seconds) {
  char text[32];
  if (seconds < 60) {
    bool whole = std::fabs(seconds - std::round(seconds)) < 0.0005;
    snprintf(text, sizeof text, whole ? "%.0fs" : "%.3fs", seconds);
  } else {
    int total = static_cast<int>(seconds);
    snprintf(text, sizeof text, "%dmin %02ds", total / 60, total % 60);
  }
  return text;
}
