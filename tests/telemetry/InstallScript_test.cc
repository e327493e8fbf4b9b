// The install step of the metrics database, run as an installer would.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>

#include "telemetry/TelemetryTestEnv.h"

namespace {

const char kDatabase[] = "/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db";

int RunInstall(const std::string &root) {
  std::string command = SourceDir() + "/scripts/install-telemetry-db.sh '" + root + "' 2>&1";
  return system(command.c_str());
}

std::string Query(const std::string &path, const char *sql) {
  sqlite3 *db = nullptr;
  std::string result;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        const unsigned char *text = sqlite3_column_text(stmt, 0);
        result +=
            std::string(text != nullptr ? reinterpret_cast<const char *>(text) : "<null>") + ";";
      }
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

TEST(InstallTelemetryDb, CreatesTheDatabaseUnderTheRootAndKeepsRowsWhenRunAgain) {
  ScratchDir root;
  ASSERT_EQ(RunInstall(root.path()), 0);
  std::string path = root.path() + kDatabase;
  EXPECT_EQ(Query(path, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"),
            "svcOpCounts;svcOpMetrics;svcSubEvents;");

  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "INSERT INTO svcOpMetrics (operationID, operation, serviceName) VALUES "
                         "('op', 'START', 'web');"
                         "INSERT INTO svcOpCounts (serviceName, buildNumber) VALUES ('web', '1');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  // A second row for the same service and build breaks the uniqueness.
  EXPECT_NE(
      sqlite3_exec(db, "INSERT INTO svcOpCounts (serviceName, buildNumber) VALUES ('web', '1');",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);

  ASSERT_EQ(RunInstall(root.path()), 0);
  // New rows start unsent, and the stored 0 equals the text '0' the push
  // selects with; counters start at 0.
  EXPECT_EQ(Query(path, "SELECT serviceName FROM svcOpMetrics WHERE sentToAnalytics='0'"), "web;");
  EXPECT_EQ(Query(path,
                  "SELECT startOperationCount || stopOperationCount || restartOperationCount "
                  "FROM svcOpCounts"),
            "000;");
}

}  // namespace
