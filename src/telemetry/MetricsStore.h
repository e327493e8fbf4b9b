// The operation metrics store: how long the daemon's service operations
// take and how they end, how many starts, stops and restarts each service
// had per build, and the start-up sub-phases a service records itself.
//
// Services and batches open one record per service when an operation
// begins and mark it when the operation ends; nothing touches the database
// until the user-level operation is over and UpdateSvcsOperationCount
// writes every open record in one go. All records opened between two such
// flushes share one random operation id, so that id names one control
// request or one batch and every service operation inside it.
//
// The database file and its tables are installed beforehand
// (scripts/install-telemetry-db.sh); every write opens the file, runs one
// transaction and closes it. Main thread only.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "src/service/OperationTexts.h"

// The database, under the sysroot when one is set.
std::string TelemetryDatabasePath();

struct TelemetryContext {
  std::string buildNumber;         // "build" of update.conf, or empty
  std::string versionNumber;       // "version" of update.conf, or empty
  std::string currentOperationId;  // shared by the records since the last flush
  std::string instanceId;          // anonymised appliance id sent by the push
};

struct OperationRecord {
  std::string operationId;
  std::string serviceName;
  std::string operation;  // an operation text
  double startTime = 0;   // wall-clock seconds since the epoch
  double endTime = 0;     // 0 while the operation runs
  std::string status;     // a status text
  std::string phase;      // a phase text
};

// Service name -> the startup-events file its definition names.
using StartupEventsMap = std::map<std::string, std::string>;

// Start-up completion: reads build and version, adds a counter row for each
// service not yet counted for this build, computes the instance id and maps
// each service to its startup-events file from the definition files in
// definitionsDir.
void InitializeSvcOpCount(const std::vector<std::string> &serviceNames,
                          const std::string &definitionsDir);

// Opens a record for the service unless it has one: the first opener wins,
// so a batch start's record is not replaced by the service's own start.
void BeginOperation(const std::string &serviceName, const char *operation, const char *status,
                    const char *phase);

// Marks the service's record ended with the given status and phase; status
// "NONE" drops the record instead. Without a record nothing happens.
void EndOperation(const std::string &serviceName, const char *status, const char *phase);

// The flush: writes the ended records and their start-up sub-phases, counts
// every record's operation, then forgets all records and the operation id.
void UpdateSvcsOperationCount();

// What the store holds; for the push and for tests.
const TelemetryContext &GetTelemetryContext();
const std::map<std::string, OperationRecord> &GetOpenOperationRecords();
const StartupEventsMap &GetStartupEventsMap();

// The wall clock the records are stamped with, in seconds; null restores
// the real clock.
typedef double (*WallClockSource)();
void SetMetricsWallClock(WallClockSource source);

// Forgets records, context and map; for tests.
void ResetMetricsStoreForTest();
