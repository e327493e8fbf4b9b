// The start records of the operation metrics database, read-only, as the
// start-up timing commands (blame, critical-chain, plot) need them: one
// start batch with each service's start and end and the sub-phases the
// service reported, and the "DependsOn" graph of the definitions.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/sentroctl/CtlCommandLine.h"

// The database file: --db, else the daemon's (under SENTRO_SYSROOT when set).
std::string StartupDbPath(const CtlOptions &options);

struct SubPhase {
  std::string name;
  double seconds = 0;
  std::string status;
};

// One service's start within a batch. Times are seconds since the epoch,
// whole seconds as the database keeps them.
struct ServiceStart {
  std::string service;
  std::string operation;  // START, BATCH-START or RESTART
  std::string status;     // how the record was closed
  int64_t start = 0;
  int64_t end = 0;
  // False when the record was closed by a later operation (a stop, a failed
  // health check) and its end time is not the start's: the daemon keeps a
  // start batch's records open until the next flush.
  bool endKnown = true;
  // The duration the daemon measured (timeForOperationInSec), -1 when not
  // recorded. It can be a second less than end - start: the daemon drops
  // the fraction of the precise difference, the times are whole seconds.
  int64_t recordedSeconds = -1;
  std::vector<SubPhase> phases;

  // The duration: the record's (measured, else end - start), or, when its end is not known, the sum
  // of the reported sub-phases (0 without any).
  double Seconds() const;
  // The end used on a timeline: the record's, or start + Seconds().
  double End() const { return static_cast<double>(start) + Seconds(); }
};

struct StartBatch {
  std::string operationId;
  int64_t begin = 0;  // earliest start in the batch
  std::vector<ServiceStart> starts;
};

// Which starts to read: those of one operation id, or of the last start
// batch, or (lastOnly false, no id) the last start of every service.
struct StartSelection {
  std::string operationId;
  bool lastBatch = false;
};

// Reads the selected starts. False with *error set when the database is
// missing, cannot be read or holds no start records (or none of the id).
bool ReadStarts(const std::string &dbPath, const StartSelection &selection, StartBatch *batch,
                std::string *error);

// The definition file of every service in configDir/svcCfgfiles, by name
// (of two files declaring one name, the first listed, as the daemon does).
std::map<std::string, std::string> ReadDefinitionFiles(const std::string &configDir);

// "DependsOn" of every service definition in configDir/svcCfgfiles, by
// service name; empty when the directory cannot be read.
std::map<std::string, std::vector<std::string>> ReadDependsOn(const std::string &configDir);

// The starts in dependency order: each after those of its dependencies that
// are in the batch, ties by start time and name.
std::vector<const ServiceStart *> InDependencyOrder(
    const StartBatch &batch, const std::map<std::string, std::vector<std::string>> &dependsOn);

// "1.234s", "12s", "2min 03s".
std::string FormatSeconds(double seconds);
