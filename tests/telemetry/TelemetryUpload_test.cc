// One push of a table, in-process: the operations marked as sent and the
// failures around the transfer. The transfer is a stand-in here; the payload
// and the real HTTP exchange are checked in TelemetryPush_test.cc.
#include "src/telemetry/TelemetryUpload.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <set>

#include "lib/log/log.h"
#include "src/telemetry/MetricsStore.h"
#include "src/telemetry/PushLogRecord.h"
#include "telemetry/TelemetryTestEnv.h"

namespace {

std::vector<std::string> posts;  // the payloads, in order

bool RecordPost(const std::string &url, const std::string &payload) {
  EXPECT_EQ(url, AnalyticsUrl("42"));
  posts.push_back(payload);
  return true;
}

const TelemetryTable &Metrics() {
  return kTelemetryTables[0];
}

class TelemetryUploadTest : public TelemetryTest {
 protected:
  void SetUp() override {
    TelemetryTest::SetUp();
    posts.clear();
    setup_.databasePath = TelemetryDatabasePath();
    setup_.url = AnalyticsUrl("42");
    setup_.post = RecordPost;
  }

  void PushMetrics() {
    CreatePayloadAndSendToAnalytics(setup_, Metrics().selectSql, Metrics().typeValue,
                                    Metrics().name);
  }

  std::set<std::string> UnsentOperationIds() {
    std::string payload;
    std::set<std::string> ids;
    EXPECT_TRUE(BuildTelemetryPayload(setup_.databasePath, Metrics().selectSql, Metrics().typeValue,
                                      &payload, &ids));
    return ids;
  }

  TelemetryPushSetup setup_;
};

TEST_F(TelemetryUploadTest, TenRowsOfTwoOperationsGoInOneRequestAndAreMarkedByOperation) {
  for (int i = 0; i < 10; ++i) {
    Exec(MetricsRowSql(i < 4 ? "op-b" : "op-a", "svc" + std::to_string(i)));
  }
  Exec(MetricsRowSql("op-old", "done") +
       "UPDATE svcOpMetrics SET sentToAnalytics = 1 WHERE operationID = 'op-old';");
  EXPECT_EQ(UnsentOperationIds(), (std::set<std::string>{"op-a", "op-b"}));

  PushMetrics();
  ASSERT_EQ(posts.size(), 1u);
  size_t objects = 0;
  for (size_t at = 0; (at = posts[0].find("\"@type\"", at)) != std::string::npos; ++at) {
    objects++;
  }
  EXPECT_EQ(objects, 10u);
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
}

TEST_F(TelemetryUploadTest, RowsAddedToASentOperationDuringThePushAreMarkedWithIt) {
  Exec(MetricsRowSql("op-a", "web"));
  std::set<std::string> ids = UnsentOperationIds();
  Exec(MetricsRowSql("op-a", "db"));
  UpdateProcessedSvcsData(setup_.databasePath, Metrics().markSentSql, ids);
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
}

TEST_F(TelemetryUploadTest, MissingTableEndsThatTablesPushOnly) {
  Exec("DROP TABLE svcOpMetrics;");
  Exec("INSERT INTO svcSubEvents (serviceName, operationID) VALUES ('web', 'op-1');");
  PushAllTelemetryTables(setup_);
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[CreatePayloadAndSendToAnalytics] PrepareSQLStmt failed.\n"));
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_NE(posts[0].find("SENTRO_SERVICE_STARTUP_EVENTS_METRICS"), std::string::npos);
}

// Every statement, as the database sees it, through the message naming the
// statement that could not be prepared.
TEST_F(TelemetryUploadTest, EveryStatementIsTheOperatorsKnownText) {
  MakeDirs(root_.Sub("defs"));
  WriteFile(root_.Sub("defs/web.json"),
            "{\"Name\": \"web\", \"ServiceStartupEventsFile\": \"" + root_.Sub("ev.json") + "\"}");
  WriteFile(root_.Sub("ev.json"), "{\"stages\": []}");
  Exec("DROP TABLE svcOpMetrics; DROP TABLE svcSubEvents; DROP TABLE svcOpCounts;");
  InitializeSvcOpCount({"web"}, root_.Sub("defs"));
  for (const char *operation : {"START", "STOP", "RESTART"}) {
    BeginOperation("web", operation, "UNHEALTHY", "PENDING");
    UpdateSvcsOperationCount();
  }
  PushAllTelemetryTables(setup_);
  for (const TelemetryTable &table : kTelemetryTables) {
    UpdateProcessedSvcsData(setup_.databasePath, table.markSentSql, {"op"});
  }

  const char *statements[] = {
      "INSERT OR REPLACE INTO svcOpCounts (serviceName,buildNumber, versionNumber) VALUES (?, ?, "
      "?) ON CONFLICT(serviceName,buildNumber) DO NOTHING",
      "INSERT INTO svcOpMetrics (operationID,operation, serviceName, operationStartTime, "
      "operationEndTime, timeForOperationInSec, serviceStatus,buildNumber, versionNumber) "
      "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
      "UPDATE svcOpCounts SET startOperationCount = startOperationCount + 1 WHERE serviceName = ?",
      "UPDATE svcOpCounts SET stopOperationCount = stopOperationCount + 1 WHERE serviceName = ?",
      "UPDATE svcOpCounts SET restartOperationCount = restartOperationCount + 1 WHERE "
      "serviceName = ?",
      "SELECT operationID, operation, serviceName, operationStartTime, operationEndTime, "
      "timeForOperationInSec, serviceStatus, buildNumber, versionNumber FROM svcOpMetrics WHERE "
      "sentToAnalytics='0'",
      "SELECT serviceName, operationID, subPhase, timeForCompletetionInSec, phaseStatus, "
      "buildNumber, versionNumber FROM svcSubEvents WHERE sentToAnalytics='0'",
      "UPDATE svcOpMetrics SET sentToAnalytics = 1 WHERE operationID = ?",
      "UPDATE svcSubEvents SET sentToAnalytics = 1 WHERE operationID = ?",
  };
  for (const char *statement : statements) {
    EXPECT_TRUE(log_.Has(LOG_INFO, std::string("prepare SQL statement ") + statement + " failed\n"))
        << statement;
  }
  // The start-up sub-phase insert is prepared only when the metrics insert
  // could be; its text is checked where that table alone is missing.
  for (const char *step : {"InitializeSvcOpCount", "InsertSvcsOpDataToDb", "PrepareAndBindSql",
                           "CreatePayloadAndSendToAnalytics", "UpdateProcessedSvcsData"}) {
    EXPECT_TRUE(log_.Has(LOG_WARNING, std::string("[") + step + "] PrepareSQLStmt failed.\n"))
        << step;
  }
  EXPECT_EQ(log_.Count("[UpdateSvcsOperationCount] Insertion of data failed.\n"), 3);
  EXPECT_TRUE(posts.empty());
}

TEST_F(TelemetryUploadTest, UnreadableRowsEndThePushBeforeAnyRequest) {
  std::string rows = "BEGIN;";
  for (int i = 0; i < 200; ++i) {
    rows += MetricsRowSql("op-" + std::to_string(i), std::string(200, 'x'));
  }
  Exec(rows + "COMMIT;");
  // Overwrite every page allocated after the tables' root pages: the select
  // still prepares (the schema is intact) but stepping hits the damage.
  int pageSize = std::stoi(QueryOne("PRAGMA page_size"));
  int pageCount = std::stoi(QueryOne("PRAGMA page_count"));
  int lastRoot = std::stoi(QueryOne("SELECT MAX(rootpage) FROM sqlite_master"));
  ASSERT_GT(pageCount, lastRoot + 1);
  {
    std::fstream file(TelemetryDatabasePath(), std::ios::in | std::ios::out | std::ios::binary);
    for (int page = lastRoot + 1; page <= pageCount; ++page) {
      file.seekp(static_cast<std::streamoff>(page - 1) * pageSize);
      file << std::string(pageSize, '\xff');
    }
  }
  PushMetrics();
  EXPECT_TRUE(posts.empty());
  EXPECT_TRUE(log_.Has(LOG_WARNING,
                       "[CreatePayloadAndSendToAnalytics] sqlite3_step returned unknown error.\n"))
      << log_.Text();
}

// Another connection interferes during the transfer, after the select: the
// marking fails, no operation is marked, and the next push sends them all.
TEST_F(TelemetryUploadTest, FailedMarkingKeepsEveryRowUnsentForTheNextPush) {
  static sqlite3 *other;
  static const char *duringTransfer;
  struct Case {
    const char *duringTransfer;
    const char *afterwards;
    const char *warning;
  } cases[] = {
      {"CREATE TRIGGER refuse BEFORE UPDATE ON svcOpMetrics WHEN NEW.operationID = 'op-2' "
       "BEGIN SELECT RAISE(ABORT, 'no'); END;",
       "DROP TRIGGER refuse;", "[UpdateProcessedSvcsData] Updating processed data failed.\n"},
      // A reader still holds its lock when the marking commits.
      {"BEGIN; SELECT COUNT(*) FROM svcOpMetrics;", "COMMIT;",
       "[UpdateProcessedSvcsData] SQLITE COMMIT failed.\n"},
  };
  ASSERT_EQ(sqlite3_open(TelemetryDatabasePath().c_str(), &other), SQLITE_OK);
  setup_.post = [](const std::string &, const std::string &payload) {
    posts.push_back(payload);
    return sqlite3_exec(other, duringTransfer, nullptr, nullptr, nullptr) == SQLITE_OK;
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.duringTransfer);
    posts.clear();
    Exec("DELETE FROM svcOpMetrics;" + MetricsRowSql("op-1", "web") + MetricsRowSql("op-2", "db"));
    duringTransfer = c.duringTransfer;
    PushMetrics();
    EXPECT_TRUE(log_.Has(LOG_WARNING, c.warning)) << log_.Text();
    EXPECT_EQ(Unsent("svcOpMetrics"), "2");  // op-1 was not committed either

    EXPECT_EQ(sqlite3_exec(other, c.afterwards, nullptr, nullptr, nullptr), SQLITE_OK);
    duringTransfer = "";
    PushMetrics();
    EXPECT_EQ(posts.size(), 2u);
    EXPECT_EQ(Unsent("svcOpMetrics"), "0");
  }
  sqlite3_close(other);
}

TEST(PushLogRecord, RecordsSurviveAnySplitOfTheStream) {
  std::string stream;
  EncodePushLogRecord(LOG_WARNING, "[A] one.\n", 9, &stream);
  EncodePushLogRecord(LOG_INFO, "", 0, &stream);
  EncodePushLogRecord(LOG_DEBUG, "three\n", 6, &stream);
  for (size_t split = 0; split <= stream.size(); ++split) {
    PushLogDecoder decoder;
    std::vector<std::pair<int, std::string>> got;
    int level;
    std::string text;
    for (const std::string &part : {stream.substr(0, split), stream.substr(split)}) {
      decoder.Feed(part.data(), part.size());
      while (decoder.Next(&level, &text)) {
        got.emplace_back(level, text);
      }
    }
    EXPECT_EQ(got, (std::vector<std::pair<int, std::string>>{
                       {LOG_WARNING, "[A] one.\n"}, {LOG_INFO, ""}, {LOG_DEBUG, "three\n"}}))
        << "split at " << split;
    EXPECT_FALSE(decoder.Corrupt());
  }
}

TEST(PushLogRecord, ImpossibleLengthStopsTheDecoder) {
  std::string stream(8, '\xff');
  PushLogDecoder decoder;
  decoder.Feed(stream.data(), stream.size());
  int level;
  std::string text;
  EXPECT_FALSE(decoder.Next(&level, &text));
  EXPECT_TRUE(decoder.Corrupt());
}

}  // namespace
