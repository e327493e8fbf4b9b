// Start-up sub-phases: a service may name, in its definition, a JSON file in
// which it records how long each phase of its own start-up took. The store
// finds those files once at start-up completion and copies their stages
// into svcSubEvents whenever it writes a start of the service.
//
// The file is an object whose array "stages" holds one object per phase
// with three members, taken in member order whatever their names: the
// sub-phase name, the time it took in seconds and its status.
#pragma once

#include <string>

#include "src/telemetry/MetricsStore.h"

class TelemetryDb;

// Lists definitionsDir and maps the "Name" of every definition file that
// has a non-empty "ServiceStartupEventsFile" to that path; the first file
// naming a service wins, files that do not parse are skipped.
StartupEventsMap ScanStartupEventsFiles(const std::string &definitionsDir);

// Inserts the stages of record's service into svcSubEvents within the open
// transaction of db. False only when an insert failed, which ends the whole
// write; a missing file or a statement that cannot be prepared only skips
// the service.
bool ReadSvcSubStartupData(TelemetryDb *db, const OperationRecord &record,
                           const TelemetryContext &context, const StartupEventsMap &files);
