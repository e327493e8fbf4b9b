#include "telemetry/TelemetryTestEnv.h"

#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "src/core/SysPaths.h"
#include "src/telemetry/MetricsStore.h"

namespace {

double fakeNow = TEST_EPOCH;
double FakeClock() {
  return fakeNow;
}

}  // namespace

std::string SourceDir() {
  return SENTRO_SOURCE_DIR;
}

Rows QueryDb(const std::string &path, const std::string &sql) {
  Rows rows;
  sqlite3 *db = nullptr;
  sqlite3_stmt *stmt = nullptr;
  // The busy wait covers a daemon or helper that writes at the same moment.
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
      sqlite3_busy_timeout(db, 2000) != SQLITE_OK ||
      sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
  }
  while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
    rows.emplace_back();
    for (int column = 0; column < sqlite3_column_count(stmt); ++column) {
      const unsigned char *text = sqlite3_column_text(stmt, column);
      rows.back().push_back(text != nullptr ? reinterpret_cast<const char *>(text) : "<null>");
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

std::string MetricsRowSql(const std::string &id, const std::string &service) {
  return "INSERT INTO svcOpMetrics (operationID, operation, serviceName, operationStartTime, "
         "operationEndTime, timeForOperationInSec, serviceStatus, buildNumber, versionNumber) "
         "VALUES ('" +
         id + "', 'START', '" + service + "', 'a', 'b', '2', 'HEALTHY', '24322028', '7.0.1');";
}

void TelemetryTest::SetUp() {
  setenv("TZ", "UTC", 1);
  tzset();
  setenv("SENTRO_SYSROOT", root_.path().c_str(), 1);
  SysrootReset();
  SetMetricsWallClock(FakeClock);
  SetNow(TEST_EPOCH);
  std::string path = TelemetryDatabasePath();
  MakeDirs(path.substr(0, path.rfind('/')));
  unlink(path.c_str());
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  std::string schema = ReadFile(SourceDir() + "/share/telemetry-schema.sql");
  EXPECT_EQ(sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ResetMetricsStoreForTest();
  log_.Clear();
}

void TelemetryTest::TearDown() {
  ResetMetricsStoreForTest();
  SetMetricsWallClock(nullptr);
  unsetenv("SENTRO_SYSROOT");
  SysrootReset();
}

void TelemetryTest::Exec(const std::string &sql) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(TelemetryDatabasePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
            SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  sqlite3_close(db);
}

Rows TelemetryTest::Query(const std::string &sql) {
  return QueryDb(TelemetryDatabasePath(), sql);
}

std::string TelemetryTest::Unsent(const std::string &table) {
  Rows rows = Query("SELECT COUNT(*) FROM " + table + " WHERE sentToAnalytics=0");
  return rows.empty() ? "<error>" : rows[0][0];
}

void TelemetryTest::WriteSysFile(const std::string &systemPath, const std::string &content) {
  std::string path = SysPath(systemPath.c_str());
  MakeDirs(path.substr(0, path.rfind('/')));
  WriteFile(path, content);
}

void TelemetryTest::SetNow(double seconds) {
  fakeNow = seconds;
}
