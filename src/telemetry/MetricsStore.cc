#include "src/telemetry/MetricsStore.h"

#include <time.h>

#include <cstdint>
#include <cstring>

#include "lib/log/log.h"
#include "src/core/JsonFileReader.h"
#include "src/core/SysPaths.h"
#include "src/telemetry/InstanceId.h"
#include "src/telemetry/StartupEvents.h"
#include "src/telemetry/TelemetryDb.h"

#define TELEMETRY_DB_FILE "/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db"
#define APPLIANCE_UPDATE_CONF "/etc/keelbase/appliance/update.conf"

static const char kInsertCountsSql[] =
    "INSERT OR REPLACE INTO svcOpCounts (serviceName,buildNumber, versionNumber) VALUES (?, ?, "
    "?) ON CONFLICT(serviceName,buildNumber) DO NOTHING";
static const char kInsertMetricsSql[] =
    "INSERT INTO svcOpMetrics (operationID,operation, serviceName, operationStartTime, "
    "operationEndTime, timeForOperationInSec, serviceStatus,buildNumber, versionNumber) "
    "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)";
static const char kCountStartSql[] =
    "UPDATE svcOpCounts SET startOperationCount = startOperationCount + 1 WHERE serviceName = ?";
static const char kCountStopSql[] =
    "UPDATE svcOpCounts SET stopOperationCount = stopOperationCount + 1 WHERE serviceName = ?";
static const char kCountRestartSql[] =
    "UPDATE svcOpCounts SET restartOperationCount = restartOperationCount + 1 WHERE serviceName "
    "= ?";

namespace {

struct MetricsStore {
  TelemetryContext context;
  // Keyed by service name, so records are written in byte-wise name order.
  std::map<std::string, OperationRecord> records;
  StartupEventsMap startupEvents;
  WallClockSource clock = nullptr;
};

MetricsStore &Store() {
  static MetricsStore store;
  return store;
}

double WallClockNow() {
  if (Store().clock != nullptr) {
    return Store().clock();
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

std::string TelemetryDatabasePath() {
  return SysPath(TELEMETRY_DB_FILE);
}

const TelemetryContext &GetTelemetryContext() {
  return Store().context;
}

const std::map<std::string, OperationRecord> &GetOpenOperationRecords() {
  return Store().records;
}

const StartupEventsMap &GetStartupEventsMap() {
  return Store().startupEvents;
}

void SetMetricsWallClock(WallClockSource source) {
  Store().clock = source;
}

void ResetMetricsStoreForTest() {
  WallClockSource clock = Store().clock;
  Store() = MetricsStore();
  Store().clock = clock;
}

// ---- Start-up completion ----

static void ReadBuildAndVersion(TelemetryContext *context) {
  context->buildNumber.clear();
  context->versionNumber.clear();
  JsonFileReader updateConf;
  if (updateConf.Load(SysPath(APPLIANCE_UPDATE_CONF))) {
    updateConf.GetString("build", false, &context->buildNumber);
    updateConf.GetString("version", false, &context->versionNumber);
  }
}

// One counter row per service and build; a row already there keeps its
// counters.
static void AddCounterRows(const std::vector<std::string> &serviceNames,
                           const TelemetryContext &context) {
  static const char *const step = "InitializeSvcOpCount";
  TelemetryDb db;
  TelemetryStatement insert;
  if (!db.Open(TelemetryDatabasePath(), step) || !db.Begin(step) ||
      !db.Prepare(kInsertCountsSql, step, &insert)) {
    return;
  }
  for (const std::string &name : serviceNames) {
    insert.BindText(1, name);
    insert.BindText(2, context.buildNumber);
    insert.BindText(3, context.versionNumber);
    if (insert.Step() != SQLITE_DONE) {
      LogAtLevel(LOG_WARNING, "[%s] Insert operation failed.\n", step);
      return;
    }
    insert.Reset();
  }
  db.Commit(step);
}

void InitializeSvcOpCount(const std::vector<std::string> &serviceNames,
                          const std::string &definitionsDir) {
  TelemetryContext &context = Store().context;
  ReadBuildAndVersion(&context);
  AddCounterRows(serviceNames, context);
  context.instanceId = ComputeInstanceId();
  Store().startupEvents = ScanStartupEventsFiles(definitionsDir);
}

// ---- Records ----

void BeginOperation(const std::string &serviceName, const char *operation, const char *status,
                    const char *phase) {
  MetricsStore &store = Store();
  if (store.records.count(serviceName) != 0) {
    return;
  }
  if (store.context.currentOperationId.empty()) {
    store.context.currentOperationId = NewUuidText();
  }
  OperationRecord record;
  record.operationId = store.context.currentOperationId;
  record.serviceName = serviceName;
  record.operation = operation;
  record.startTime = WallClockNow();
  record.endTime = 0;
  record.status = status;
  record.phase = phase;
  store.records.emplace(serviceName, std::move(record));
}

void EndOperation(const std::string &serviceName, const char *status, const char *phase) {
  auto found = Store().records.find(serviceName);
  if (found == Store().records.end()) {
    return;
  }
  if (strcmp(status, TELEMETRY_STATUS_NONE) == 0) {
    Store().records.erase(found);
    return;
  }
  found->second.endTime = WallClockNow();
  found->second.status = status;
  found->second.phase = phase;
}

// ---- The flush ----

// "%Y-%m-%d %H:%M:%S %Z" in local time.
static std::string LocalTimeText(double seconds) {
  time_t whole = static_cast<time_t>(seconds);
  struct tm local;
  char text[128];
  if (localtime_r(&whole, &local) == nullptr) {
    return "";
  }
  size_t length = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &local);
  return std::string(text, length);
}

static bool IsStartOperation(const std::string &operation) {
  return operation == TELEMETRY_OP_RESTART || operation == TELEMETRY_OP_START ||
         operation == TELEMETRY_OP_BATCH_START;
}

static bool InsertOperationRow(TelemetryStatement *insert, const OperationRecord &record,
                               const TelemetryContext &context) {
  int64_t seconds = static_cast<int64_t>(record.endTime - record.startTime);
  insert->BindText(1, record.operationId);
  insert->BindText(2, record.operation);
  insert->BindText(3, record.serviceName);
  insert->BindText(4, LocalTimeText(record.startTime));
  insert->BindText(5, LocalTimeText(record.endTime));
  insert->BindText(6, std::to_string(seconds));
  insert->BindText(7, record.status);
  insert->BindText(8, context.buildNumber);
  insert->BindText(9, context.versionNumber);
  bool inserted = insert->Step() == SQLITE_DONE;
  insert->Reset();
  return inserted;
}

// Writes one svcOpMetrics row per ended record and the start-up sub-phases
// of every start, all in one transaction.
static void InsertSvcsOpDataToDb() {
  static const char *const step = "InsertSvcsOpDataToDb";
  const MetricsStore &store = Store();
  TelemetryDb db;
  TelemetryStatement insert;
  if (!db.Open(TelemetryDatabasePath(), step) || !db.Begin(step) ||
      !db.Prepare(kInsertMetricsSql, step, &insert)) {
    return;
  }
  for (const auto &[name, record] : store.records) {
    if (record.endTime != 0 && !InsertOperationRow(&insert, record, store.context)) {
      LogAtLevel(LOG_WARNING, "[%s] Insert operation failed.\n", step);
      return;
    }
    if (IsStartOperation(record.operation) &&
        !ReadSvcSubStartupData(&db, record, store.context, store.startupEvents)) {
      return;
    }
  }
  db.Commit(step);
}

static const char *CounterUpdateSql(const std::string &operation) {
  if (operation == TELEMETRY_OP_START || operation == TELEMETRY_OP_BATCH_START) {
    return kCountStartSql;
  }
  if (operation == TELEMETRY_OP_STOP || operation == TELEMETRY_OP_BATCH_STOP) {
    return kCountStopSql;
  }
  if (operation == TELEMETRY_OP_RESTART) {
    return kCountRestartSql;
  }
  return nullptr;
}

static bool PrepareAndBindSql(TelemetryDb *db, const char *sql, const std::string &serviceName) {
  static const char *const step = "PrepareAndBindSql";
  TelemetryStatement update;
  if (!db->Prepare(sql, step, &update)) {
    return false;
  }
  update.BindText(1, serviceName);
  if (update.Step() != SQLITE_DONE) {
    LogAtLevel(LOG_WARNING, "[%s] Update query for service %s failed.\n", step,
               serviceName.c_str());
    return false;
  }
  return true;
}

static void CountOperations() {
  static const char *const step = "UpdateSvcsOperationCount";
  TelemetryDb db;
  if (!db.Open(TelemetryDatabasePath(), step) || !db.Begin(step)) {
    return;
  }
  for (const auto &[name, record] : Store().records) {
    const char *sql = CounterUpdateSql(record.operation);
    if (sql != nullptr && !PrepareAndBindSql(&db, sql, name)) {
      LogAtLevel(LOG_WARNING, "[%s] Insertion of data failed.\n", step);
      return;
    }
  }
  db.Commit(step);
}

void UpdateSvcsOperationCount() {
  MetricsStore &store = Store();
  if (store.records.empty()) {
    return;
  }
  InsertSvcsOpDataToDb();
  CountOperations();
  // Whatever was written: a record still running now is counted but never
  // gets a metrics row, and the next operation gets a new id.
  store.context.currentOperationId.clear();
  store.records.clear();
}
