// What the telemetry tests share: a sysroot holding a freshly installed
// metrics database, SQL on that database, and a wall clock the test sets.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/TempDir.h"

using Rows = std::vector<std::vector<std::string>>;

// The source tree, for the shipped schema and scripts.
std::string SourceDir();

// The rows of a query on the database at path, NULL as "<null>".
Rows QueryDb(const std::string &path, const std::string &sql);

// An unsent svcOpMetrics row: a START of service in operation id.
std::string MetricsRowSql(const std::string &id, const std::string &service);

// SENTRO_SYSROOT is a scratch directory with an installed database, TZ is
// UTC, the store is empty and its wall clock reads what SetNow gave.
class TelemetryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void Exec(const std::string &sql);  // fails the test on error
  Rows Query(const std::string &sql);
  std::string Unsent(const std::string &table);
  // Writes a file under the sysroot (path as on the appliance).
  void WriteSysFile(const std::string &systemPath, const std::string &content);
  static void SetNow(double seconds);

  TempDir root_;
  LogCapture log_;
};

#define TEST_EPOCH 1767225600.0  // 2026-01-01 00:00:00 UTC
