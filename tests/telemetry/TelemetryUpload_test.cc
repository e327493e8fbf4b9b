// One push of a table, in-process: the payload, the marking of sent rows and
// every failure before and after the transfer. The transfer is a stand-in
// here; the real HTTP exchange is covered by TelemetryPush_test.cc.
#include "src/telemetry/TelemetryUpload.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "lib/log/log.h"
#include "src/telemetry/MetricsStore.h"
#include "src/telemetry/PushLogRecord.h"
#include "telemetry/TelemetryTestEnv.h"

namespace {

struct Post {
  std::string url;
  std::string payload;
};

std::vector<Post> posts;
bool postCompletes = true;

bool RecordPost(const std::string &url, const std::string &payload) {
  posts.push_back({url, payload});
  return postCompletes;
}

const TelemetryTable &Metrics() {
  return kTelemetryTables[0];
}
const TelemetryTable &SubEvents() {
  return kTelemetryTables[1];
}

class TelemetryUploadTest : public TelemetryTest {
 protected:
  void SetUp() override {
    TelemetryTest::SetUp();
    posts.clear();
    postCompletes = true;
    setup_.databasePath = TelemetryDatabasePath();
    setup_.url = AnalyticsUrl("42");
    setup_.post = RecordPost;
  }

  static std::string MetricsRowSql(const std::string &id, const std::string &service) {
    return "INSERT INTO svcOpMetrics (operationID, operation, serviceName, operationStartTime, "
           "operationEndTime, timeForOperationInSec, serviceStatus, buildNumber, versionNumber) "
           "VALUES ('" +
           id + "', 'START', '" + service +
           "', '2026-01-01 00:00:00 UTC', '2026-01-01 00:00:02 UTC', '2', 'HEALTHY', '24322028', "
           "'7.0.1');";
  }

  void AddMetricsRow(const std::string &id, const std::string &service) {
    Exec(MetricsRowSql(id, service));
  }

  void Push(const TelemetryTable &table) {
    CreatePayloadAndSendToAnalytics(setup_, table.selectSql, table.typeValue, table.name);
  }

  std::string Unsent(const char *table) {
    return QueryOne(std::string("SELECT COUNT(*) FROM ") + table + " WHERE sentToAnalytics=0");
  }

  TelemetryPushSetup setup_;
};

TEST_F(TelemetryUploadTest, PayloadHasOneStringMemberPerColumnThenType) {
  AddMetricsRow("op-1", "web");
  Exec(
      "INSERT INTO svcSubEvents (serviceName, operationID, subPhase, timeForCompletetionInSec, "
      "phaseStatus, buildNumber, versionNumber) VALUES ('web', 'op-1', 'init', '0.5', "
      "'COMPLETED', '24322028', '7.0.1');");
  Push(Metrics());
  Push(SubEvents());

  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].url, AnalyticsUrl("42"));
  EXPECT_EQ(posts[0].payload,
            "[{\"operationID\":\"op-1\",\"operation\":\"START\",\"serviceName\":\"web\","
            "\"operationStartTime\":\"2026-01-01 00:00:00 UTC\","
            "\"operationEndTime\":\"2026-01-01 00:00:02 UTC\",\"timeForOperationInSec\":\"2\","
            "\"serviceStatus\":\"HEALTHY\",\"buildNumber\":\"24322028\","
            "\"versionNumber\":\"7.0.1\",\"@type\":\"SENTRO_SERVICE_OPERATION_METRICS\"}]");
  EXPECT_EQ(posts[1].payload,
            "[{\"serviceName\":\"web\",\"operationID\":\"op-1\",\"subPhase\":\"init\","
            "\"timeForCompletetionInSec\":\"0.5\",\"phaseStatus\":\"COMPLETED\","
            "\"buildNumber\":\"24322028\",\"versionNumber\":\"7.0.1\","
            "\"@type\":\"SENTRO_SERVICE_STARTUP_EVENTS_METRICS\"}]");
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
  EXPECT_EQ(Unsent("svcSubEvents"), "0");
}

TEST_F(TelemetryUploadTest, NullColumnIsSentAsEmptyStringAndTextIsEscaped) {
  Exec(
      "INSERT INTO svcOpMetrics (operationID, operation, serviceName) VALUES ('op-1', 'STOP', "
      "'we\"b\\');");
  Push(Metrics());
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].payload,
            "[{\"operationID\":\"op-1\",\"operation\":\"STOP\",\"serviceName\":\"we\\\"b\\\\\","
            "\"operationStartTime\":\"\",\"operationEndTime\":\"\",\"timeForOperationInSec\":\"\","
            "\"serviceStatus\":\"\",\"buildNumber\":\"\",\"versionNumber\":\"\","
            "\"@type\":\"SENTRO_SERVICE_OPERATION_METRICS\"}]");
}

TEST_F(TelemetryUploadTest, NothingUnsentMakesNoRequestAndNoMessage) {
  AddMetricsRow("op-1", "web");
  Exec("UPDATE svcOpMetrics SET sentToAnalytics = 1;");
  log_.Clear();
  PushAllTelemetryTables(setup_);
  EXPECT_TRUE(posts.empty());
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(TelemetryUploadTest, TenRowsOfTwoOperationsGoInOneRequestAndAreMarkedByOperation) {
  for (int i = 0; i < 10; ++i) {
    AddMetricsRow(i < 4 ? "op-b" : "op-a", "svc" + std::to_string(i));
  }
  AddMetricsRow("op-old", "done");
  Exec("UPDATE svcOpMetrics SET sentToAnalytics = 1 WHERE operationID = 'op-old';");

  std::string payload;
  std::set<std::string> ids;
  ASSERT_TRUE(BuildTelemetryPayload(setup_.databasePath, Metrics().selectSql, Metrics().typeValue,
                                    &payload, &ids));
  EXPECT_EQ(ids, (std::set<std::string>{"op-a", "op-b"}));

  Push(Metrics());
  ASSERT_EQ(posts.size(), 1u);
  size_t objects = 0;
  for (size_t at = 0; (at = posts[0].payload.find("\"@type\"", at)) != std::string::npos; ++at) {
    objects++;
  }
  EXPECT_EQ(objects, 10u);
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
}

TEST_F(TelemetryUploadTest, RowsAddedToASentOperationLaterAreMarkedWithIt) {
  AddMetricsRow("op-a", "web");
  std::string payload;
  std::set<std::string> ids;
  ASSERT_TRUE(BuildTelemetryPayload(setup_.databasePath, Metrics().selectSql, Metrics().typeValue,
                                    &payload, &ids));
  AddMetricsRow("op-a", "db");
  UpdateProcessedSvcsData(setup_.databasePath, Metrics().markSentSql, ids);
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
}

TEST_F(TelemetryUploadTest, FailedTransferMarksNothing) {
  AddMetricsRow("op-1", "web");
  postCompletes = false;
  Push(Metrics());
  EXPECT_EQ(posts.size(), 1u);
  EXPECT_EQ(Unsent("svcOpMetrics"), "1");
  postCompletes = true;
  Push(Metrics());
  EXPECT_EQ(posts.size(), 2u);
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
}

TEST_F(TelemetryUploadTest, MissingDatabaseEndsThePush) {
  unlink(TelemetryDatabasePath().c_str());
  Push(Metrics());
  EXPECT_TRUE(posts.empty());
  EXPECT_TRUE(
      log_.Has(LOG_WARNING, "[CreatePayloadAndSendToAnalytics] Database connection failed.\n"));
}

TEST_F(TelemetryUploadTest, MissingTableEndsThatTablesPushOnly) {
  Exec("DROP TABLE svcOpMetrics;");
  Exec("INSERT INTO svcSubEvents (serviceName, operationID) VALUES ('web', 'op-1');");
  PushAllTelemetryTables(setup_);
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[CreatePayloadAndSendToAnalytics] PrepareSQLStmt failed.\n"));
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_NE(posts[0].payload.find("SENTRO_SERVICE_STARTUP_EVENTS_METRICS"), std::string::npos);
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
  BeginOperation("web", "START", "UNHEALTHY", "PENDING");
  UpdateSvcsOperationCount();
  BeginOperation("web", "STOP", "STOPPING", "PENDING");
  UpdateSvcsOperationCount();
  BeginOperation("web", "RESTART", "HEALTHY", "PENDING");
  UpdateSvcsOperationCount();
  PushAllTelemetryTables(setup_);
  UpdateProcessedSvcsData(setup_.databasePath, Metrics().markSentSql, {"op"});
  UpdateProcessedSvcsData(setup_.databasePath, SubEvents().markSentSql, {"op"});

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
  Push(Metrics());
  EXPECT_TRUE(posts.empty());
  EXPECT_TRUE(log_.Has(LOG_WARNING,
                       "[CreatePayloadAndSendToAnalytics] sqlite3_step returned unknown error.\n"))
      << log_.Text();
}

TEST_F(TelemetryUploadTest, FailedMarkingKeepsRowsUnsentForTheNextPush) {
  AddMetricsRow("op-1", "web");
  AddMetricsRow("op-2", "db");
  Exec(
      "CREATE TRIGGER refuse BEFORE UPDATE ON svcOpMetrics WHEN NEW.operationID = 'op-2' "
      "BEGIN SELECT RAISE(ABORT, 'no'); END;");
  Push(Metrics());
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[UpdateProcessedSvcsData] Updating processed data failed.\n"));
  EXPECT_EQ(Unsent("svcOpMetrics"), "2");  // op-1 was not committed either

  Exec("DROP TRIGGER refuse;");
  Push(Metrics());
  EXPECT_EQ(posts.size(), 2u);
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
}

TEST_F(TelemetryUploadTest, LockedDatabaseAtMarkingKeepsRowsUnsent) {
  AddMetricsRow("op-1", "web");
  sqlite3 *holder = nullptr;
  ASSERT_EQ(sqlite3_open(TelemetryDatabasePath().c_str(), &holder), SQLITE_OK);
  // Locks the database from inside the transfer, after the select is done.
  static sqlite3 *lockHolder;
  lockHolder = holder;
  setup_.post = [](const std::string &, const std::string &) {
    return sqlite3_exec(lockHolder, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
  };
  Push(Metrics());
  sqlite3_exec(holder, "ROLLBACK;", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[UpdateProcessedSvcsData] Updating processed data failed.\n"))
      << log_.Text();
  EXPECT_EQ(Unsent("svcOpMetrics"), "1");
}

TEST_F(TelemetryUploadTest, FailedCommitOfTheMarkingKeepsRowsUnsent) {
  AddMetricsRow("op-1", "web");
  static sqlite3 *reader;
  ASSERT_EQ(sqlite3_open(TelemetryDatabasePath().c_str(), &reader), SQLITE_OK);
  // A reader that starts during the transfer still holds its lock when the
  // marking commits.
  setup_.post = [](const std::string &, const std::string &) {
    return sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM svcOpMetrics;", nullptr, nullptr,
                        nullptr) == SQLITE_OK;
  };
  Push(Metrics());
  sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(reader);
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[UpdateProcessedSvcsData] SQLITE COMMIT failed.\n"))
      << log_.Text();
  EXPECT_EQ(Unsent("svcOpMetrics"), "1");
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
    decoder.Feed(stream.data(), split);
    while (decoder.Next(&level, &text)) {
      got.emplace_back(level, text);
    }
    decoder.Feed(stream.data() + split, stream.size() - split);
    while (decoder.Next(&level, &text)) {
      got.emplace_back(level, text);
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
