#include "telemetry/TelemetryTestEnv.h"

#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "src/core/SysPaths.h"
#include "src/telemetry/MetricsStore.h"

namespace {

double fakeNow = TEST_EPOCH;
double FakeClock() {
  return fakeNow;
}

// Runs sql on the database at path; the error text, empty on success.
std::string ExecDb(const std::string &path, const std::string &sql, int openFlags) {
  sqlite3 *db = nullptr;
  char *error = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, openFlags, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  }
  std::string message = rc == SQLITE_OK ? "" : error != nullptr ? error : sqlite3_errstr(rc);
  sqlite3_free(error);
  sqlite3_close(db);
  return message;
}

}  // namespace

ScratchDir::ScratchDir() {
  std::error_code error;
  std::string base = std::filesystem::is_directory("/dev/shm", error)
                         ? "/dev/shm"
                         : std::filesystem::temp_directory_path().string();
  std::string pattern = base + "/sentro-telemetry-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed under " << base;
    return;
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path_.empty()) {
    std::filesystem::remove_all(path_, ignored);
  }
}

int TelemetryLog::Count(const std::string &text) const {
  int count = 0;
  for (const CapturedMessage &message : Messages()) {
    count += message.text == text;
  }
  return count;
}

std::string TelemetryLog::TextWithoutLauncher() const {
  std::string text;
  for (const CapturedMessage &message : Messages()) {
    if (message.text.rfind("<sentro-telemetry-push> ", 0) != 0) {
      text += message.text;
    }
  }
  return text;
}

std::string SourceDir() {
  if (const char *dir = getenv("SENTRO_SOURCE_DIR")) {
    return dir;
  }
  std::string here = __FILE__;  // <source>/tests/telemetry/TelemetryTestEnv.cc
  return here.substr(0, here.rfind("/tests/telemetry/"));
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
    std::vector<std::string> row;
    for (int column = 0; column < sqlite3_column_count(stmt); ++column) {
      const unsigned char *text = sqlite3_column_text(stmt, column);
      row.push_back(text != nullptr ? reinterpret_cast<const char *>(text) : "<null>");
    }
    rows.push_back(row);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

std::string MetricsRowSql(const std::string &id, const std::string &service) {
  return "INSERT INTO svcOpMetrics (operationID, operation, serviceName, operationStartTime, "
         "operationEndTime, timeForOperationInSec, serviceStatus, buildNumber, versionNumber) "
         "VALUES ('" +
         id + "', 'START', '" + service +
         "', '2026-01-01 00:00:00 UTC', '2026-01-01 00:00:02 UTC', '2', 'HEALTHY', '24322028', "
         "'7.0.1');";
}

void TelemetryTest::SetUp() {
  const char *tz = getenv("TZ");
  savedTz_ = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
  setenv("TZ", "UTC", 1);
  tzset();
  setenv("SENTRO_SYSROOT", root_.path().c_str(), 1);
  SysrootReset();
  SetMetricsWallClock(FakeClock);
  SetNow(TEST_EPOCH);
  InstallDatabase();
}

void TelemetryTest::InstallDatabase() {
  std::string path = TelemetryDatabasePath();
  unlink(path.c_str());
  MakeDirs(path.substr(0, path.rfind('/')));
  std::string schema = ReadFile(SourceDir() + "/share/telemetry-schema.sql");
  ASSERT_FALSE(schema.empty()) << "no schema under " << SourceDir();
  ASSERT_EQ(ExecDb(path, schema, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), "");
  ResetMetricsStoreForTest();
  log_.Clear();
}

void TelemetryTest::TearDown() {
  ResetMetricsStoreForTest();
  SetMetricsWallClock(nullptr);
  unsetenv("SENTRO_SYSROOT");
  SysrootReset();
  savedTz_ ? setenv("TZ", savedTz_->c_str(), 1) : unsetenv("TZ");
  tzset();
}

void TelemetryTest::Exec(const std::string &sql) {
  ASSERT_EQ(ExecDb(TelemetryDatabasePath(), sql, SQLITE_OPEN_READWRITE), "") << sql;
}

Rows TelemetryTest::Query(const std::string &sql) {
  return QueryDb(TelemetryDatabasePath(), sql);
}

std::string TelemetryTest::QueryOne(const std::string &sql) {
  Rows rows = Query(sql);
  if (rows.size() != 1 || rows[0].size() != 1) {
    ADD_FAILURE() << sql << " gave " << rows.size() << " rows";
    return "";
  }
  return rows[0][0];
}

void TelemetryTest::WriteSysFile(const std::string &systemPath, const std::string &content) {
  std::string path = SysPath(systemPath.c_str());
  MakeDirs(path.substr(0, path.rfind('/')));
  WriteFile(path, content);
}

void TelemetryTest::SetNow(double seconds) {
  fakeNow = seconds;
}
