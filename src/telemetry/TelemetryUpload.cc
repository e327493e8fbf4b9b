#include "src/telemetry/TelemetryUpload.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>

#include "lib/log/log.h"
#include "src/telemetry/TelemetryDb.h"

#define OPERATION_ID_COLUMN "operationID"

const TelemetryTable kTelemetryTables[2] = {
    {"svcOpMetrics",
     "SELECT operationID, operation, serviceName, operationStartTime, operationEndTime, "
     "timeForOperationInSec, serviceStatus, buildNumber, versionNumber FROM svcOpMetrics WHERE "
     "sentToAnalytics='0'",
     "SENTRO_SERVICE_OPERATION_METRICS",
     "UPDATE svcOpMetrics SET sentToAnalytics = 1 WHERE operationID = ?"},
    {"svcSubEvents",
     "SELECT serviceName, operationID, subPhase, timeForCompletetionInSec, phaseStatus, "
     "buildNumber, versionNumber FROM svcSubEvents WHERE sentToAnalytics='0'",
     "SENTRO_SERVICE_STARTUP_EVENTS_METRICS",
     "UPDATE svcSubEvents SET sentToAnalytics = 1 WHERE operationID = ?"},
};

std::string AnalyticsUrl(const std::string &instanceId) {
  return "http://" ANALYTICS_HOST ":" + std::to_string(ANALYTICS_PORT) +
         ANALYTICS_PATH "?_c=" ANALYTICS_COLLECTOR "&_i=" + instanceId;
}

static int OperationIdColumn(const TelemetryStatement &select) {
  for (int column = 0; column < select.ColumnCount(); ++column) {
    if (strcmp(select.ColumnName(column), OPERATION_ID_COLUMN) == 0) {
      return column;
    }
  }
  return -1;
}

// One object of the payload from the current row.
static void WriteRow(const TelemetryStatement &select, const char *typeValue,
                     rapidjson::Writer<rapidjson::StringBuffer> *writer) {
  writer->StartObject();
  for (int column = 0; column < select.ColumnCount(); ++column) {
    size_t length;
    const char *text = select.ColumnText(column, &length);
    writer->Key(select.ColumnName(column));
    writer->String(text != nullptr ? text : "", static_cast<rapidjson::SizeType>(length));
  }
  writer->Key(TELEMETRY_TYPE_MEMBER);
  writer->String(typeValue);
  writer->EndObject();
}

bool BuildTelemetryPayload(const std::string &databasePath, const char *selectSql,
                           const char *typeValue, std::string *payload,
                           std::set<std::string> *operationIds) {
  static const char *const step = "CreatePayloadAndSendToAnalytics";
  TelemetryDb db;
  TelemetryStatement select;
  if (!db.Open(databasePath, step) || !db.Prepare(selectSql, step, &select)) {
    return false;
  }
  int idColumn = OperationIdColumn(select);
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartArray();
  int rc;
  while ((rc = select.Step()) == SQLITE_ROW) {
    WriteRow(select, typeValue, &writer);
    size_t length;
    const char *id = idColumn >= 0 ? select.ColumnText(idColumn, &length) : nullptr;
    if (id != nullptr) {
      operationIds->emplace(id, length);
    }
  }
  if (rc != SQLITE_DONE) {
    LogAtLevel(LOG_WARNING, "[%s] sqlite3_step returned unknown error.\n", step);
    return false;
  }
  writer.EndArray();
  payload->assign(buffer.GetString(), buffer.GetSize());
  return true;
}

void UpdateProcessedSvcsData(const std::string &databasePath, const char *markSentSql,
                             const std::set<std::string> &operationIds) {
  static const char *const step = "UpdateProcessedSvcsData";
  TelemetryDb db;
  TelemetryStatement update;
  if (!db.Open(databasePath, step) || !db.Begin(step) || !db.Prepare(markSentSql, step, &update)) {
    return;
  }
  for (const std::string &id : operationIds) {
    update.BindText(1, id);
    if (update.Step() != SQLITE_DONE) {
      LogAtLevel(LOG_WARNING, "[%s] Updating processed data failed.\n", step);
      return;
    }
    update.Reset();
  }
  db.Commit(step);
}

static const TelemetryTable *FindTable(const char *tableName) {
  for (const TelemetryTable &table : kTelemetryTables) {
    if (strcmp(table.name, tableName) == 0) {
      return &table;
    }
  }
  return nullptr;
}

void CreatePayloadAndSendToAnalytics(const TelemetryPushSetup &setup, const char *selectSql,
                                     const char *typeValue, const char *tableName) {
  const TelemetryTable *table = FindTable(tableName);
  std::string payload;
  std::set<std::string> operationIds;
  if (table == nullptr ||
      !BuildTelemetryPayload(setup.databasePath, selectSql, typeValue, &payload, &operationIds)) {
    return;
  }
  if (payload == "[]") {
    return;  // nothing unsent: no request, no message
  }
  if (setup.post(setup.url, payload)) {
    UpdateProcessedSvcsData(setup.databasePath, table->markSentSql, operationIds);
  }
}

void PushAllTelemetryTables(const TelemetryPushSetup &setup) {
  for (const TelemetryTable &table : kTelemetryTables) {
    CreatePayloadAndSendToAnalytics(setup, table.selectSql, table.typeValue, table.name);
  }
}
