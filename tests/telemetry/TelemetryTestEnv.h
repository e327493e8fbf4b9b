// What the telemetry tests share: a sysroot with a freshly installed metrics
// database, direct SQL on that database, a hand-set wall clock and a record
// of every logged message.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/TempDir.h"

// A scratch directory on tmpfs when the machine has one (SQLite syncs every
// commit, which costs tens of milliseconds on a disk), removed at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  const std::string &path() const { return path_; }
  std::string Sub(const std::string &relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

class TelemetryLog : public LogCapture {
 public:
  int Count(const std::string &text) const;
  // Without the process launcher's lines about the push helper.
  std::string TextWithoutLauncher() const;
};

using Rows = std::vector<std::vector<std::string>>;

// The source tree, for the shipped schema and scripts.
std::string SourceDir();

// The rows of a query on the database at path, NULL as "<null>".
Rows QueryDb(const std::string &path, const std::string &sql);

// Inserts an unsent svcOpMetrics row: a START of service in operation id.
std::string MetricsRowSql(const std::string &id, const std::string &service);

// A test with SENTRO_SYSROOT set to a scratch directory that holds an
// installed metrics database, the store reset, TZ=UTC and a wall clock the
// test sets (SetNow).
class TelemetryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A fresh database from the shipped schema, an empty store and log.
  void InstallDatabase();
  // Runs sql (several statements allowed) on the database; fails the test on
  // error.
  void Exec(const std::string &sql);
  Rows Query(const std::string &sql);
  std::string QueryOne(const std::string &sql);
  std::string Unsent(const std::string &table) {
    return QueryOne("SELECT COUNT(*) FROM " + table + " WHERE sentToAnalytics=0");
  }

  // Writes a file under the sysroot (path as on the appliance).
  void WriteSysFile(const std::string &systemPath, const std::string &content);

  static void SetNow(double seconds);

  ScratchDir root_;
  TelemetryLog log_;
  std::optional<std::string> savedTz_;
};

// 2026-01-01 00:00:00 UTC.
#define TEST_EPOCH 1767225600.0
