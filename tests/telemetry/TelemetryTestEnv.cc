#include "telemetry/TelemetryTestEnv.h"

#include <sqlite3.h>
#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "lib/log/logOutput.h"
#include "src/core/SysPaths.h"
#include "src/telemetry/MetricsStore.h"

namespace {

double fakeNow = TEST_EPOCH;
double FakeClock() {
  return fakeNow;
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
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

TelemetryLog::TelemetryLog() {
  Clear();
}

std::vector<LoggedMessage> TelemetryLog::Messages() const {
  return CapturedMessages();
}

bool TelemetryLog::Has(int level, const std::string &text) const {
  for (const LoggedMessage &message : Messages()) {
    if (message.level == level && message.text == text) {
      return true;
    }
  }
  return false;
}

int TelemetryLog::Count(const std::string &text) const {
  int count = 0;
  for (const LoggedMessage &message : Messages()) {
    count += message.text == text;
  }
  return count;
}

std::string TelemetryLog::Text() const {
  std::string text;
  for (const LoggedMessage &message : Messages()) {
    text += std::to_string(message.level) + " " + message.text;
  }
  return text;
}

std::string TelemetryLog::TextWithoutLauncher() const {
  std::string text;
  for (const LoggedMessage &message : Messages()) {
    if (message.text.rfind("<sentro-telemetry-push> ", 0) != 0) {
      text += std::to_string(message.level) + " " + message.text;
    }
  }
  return text;
}

void TelemetryLog::Clear() {
  ClearCapturedMessages();
}

std::string SourceDir() {
  if (const char *dir = getenv("SENTRO_SOURCE_DIR")) {
    return dir;
  }
  std::string here = __FILE__;  // <source>/tests/telemetry/TelemetryTestEnv.cc
  return here.substr(0, here.rfind("/tests/telemetry/"));
}

void TelemetryTest::SetUp() {
  const char *tz = getenv("TZ");
  hadTz_ = tz != nullptr;
  savedTz_ = hadTz_ ? tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  setenv("SENTRO_SYSROOT", root_.path().c_str(), 1);
  SysrootReset();
  ResetMetricsStoreForTest();
  SetMetricsWallClock(FakeClock);
  SetNow(TEST_EPOCH);
  InstallDatabase();
  log_.Clear();
}

void TelemetryTest::TearDown() {
  ResetMetricsStoreForTest();
  SetMetricsWallClock(nullptr);
  unsetenv("SENTRO_SYSROOT");
  SysrootReset();
  if (hadTz_) {
    setenv("TZ", savedTz_.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

void TelemetryTest::InstallDatabase() {
  std::string path = TelemetryDatabasePath();
  MakeDirs(path.substr(0, path.rfind('/')));
  std::string schema = ReadFile(SourceDir() + "/share/telemetry-schema.sql");
  ASSERT_FALSE(schema.empty()) << "no schema under " << SourceDir();
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
            SQLITE_OK);
  char *error = nullptr;
  int rc = sqlite3_exec(db, schema.c_str(), nullptr, nullptr, &error);
  std::string message = error != nullptr ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << message;
}

void TelemetryTest::Exec(const std::string &sql) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(TelemetryDatabasePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
            SQLITE_OK);
  char *error = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  std::string message = error != nullptr ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << sql << ": " << message;
}

Rows TelemetryTest::Query(const std::string &sql) {
  Rows rows;
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(TelemetryDatabasePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    ADD_FAILURE() << "cannot open the database";
    return rows;
  }
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
    sqlite3_close(db);
    return rows;
  }
  while (sqlite3_step(stmt) == SQLITE_ROW) {
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
