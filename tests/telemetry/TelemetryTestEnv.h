// What the telemetry tests share: a sysroot holding a freshly installed
// metrics database, SQL on that database, and a wall clock the test sets.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "src/core/SysPaths.h"
#include "src/telemetry/MetricsStore.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using Rows = std::vector<std::vector<std::string>>;

#define TEST_EPOCH 1767225600.0  // 2026-01-01 00:00:00 UTC

// The rows of sql run on the database at path, NULL as "<null>"; {{"<error>"}}
// when it fails. The busy wait covers a daemon or helper writing at once.
inline Rows Sql(const std::string &path, const std::string &sql) {
  Rows rows;
  sqlite3 *db = nullptr;
  bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_busy_timeout(db, 2000) == SQLITE_OK &&
            sqlite3_exec(
                db, sql.c_str(),
                [](void *out, int count, char **values, char **) {
                  static_cast<Rows *>(out)->emplace_back();
                  for (int i = 0; i < count; ++i) {
                    static_cast<Rows *>(out)->back().push_back(values[i] ? values[i] : "<null>");
                  }
                  return 0;
                },
                &rows, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok ? rows : Rows{{"<error>"}};
}

// An unsent svcOpMetrics row: a START of service in operation id.
inline std::string MetricsRowSql(const std::string &id, const std::string &service) {
  return "INSERT INTO svcOpMetrics (operationID, operation, serviceName, operationStartTime, "
         "operationEndTime, timeForOperationInSec, serviceStatus, buildNumber, versionNumber) "
         "VALUES ('" +
         id + "', 'START', '" + service + "', 'a', 'b', '2', 'HEALTHY', '24322028', '7.0.1');";
}

// SENTRO_SYSROOT is a scratch directory with an installed database, TZ is
// UTC, the store is empty and its wall clock reads what SetNow gave.
class TelemetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setenv("SENTRO_SYSROOT", root_.path().c_str(), 1);
    SysrootReset();
    SetMetricsWallClock([] { return now_; });
    SetNow(TEST_EPOCH);
    std::string path = TelemetryDatabasePath();
    MakeDirs(path.substr(0, path.rfind('/')));
    unlink(path.c_str());
    WriteFile(path, "");
    Exec(ReadFile(std::string(SENTRO_SOURCE_DIR) + "/share/telemetry-schema.sql"));
    ResetMetricsStoreForTest();
    log_.Clear();
  }
  void TearDown() override {
    ResetMetricsStoreForTest();
    SetMetricsWallClock(nullptr);
    unsetenv("SENTRO_SYSROOT");
    SysrootReset();
  }

  void Exec(const std::string &sql) { EXPECT_NE(Query(sql), Rows{{"<error>"}}) << sql; }
  Rows Query(const std::string &sql) { return Sql(TelemetryDatabasePath(), sql); }
  std::string Unsent(const std::string &table) {
    return Query("SELECT COUNT(*) FROM " + table + " WHERE sentToAnalytics=0")[0][0];
  }
  // Writes a file under the sysroot (path as on the appliance).
  void WriteSysFile(const std::string &systemPath, const std::string &content) {
    std::string path = SysPath(systemPath.c_str());
    MakeDirs(path.substr(0, path.rfind('/')));
    WriteFile(path, content);
  }
  static void SetNow(double seconds) { now_ = seconds; }

  static inline double now_ = TEST_EPOCH;
  TempDir root_;
  LogCapture log_;
};
