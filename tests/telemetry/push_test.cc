// The telemetry push: one table's upload in-process, the helper's log
// records, the instance id, and the push by the running daemon over HTTP to
// a stand-in for the analytics service.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "lib/log/log.h"
#include "src/telemetry/InstanceId.h"
#include "src/telemetry/MetricsStore.h"
#include "src/telemetry/PushLogRecord.h"
#include "src/telemetry/TelemetryPush.h"
#include "src/telemetry/TelemetryUpload.h"
#include "support/SandboxDaemon.h"
#include "support/WaitUntil.h"
#include "telemetry/AnalyticsServer.h"
#include "telemetry/TelemetryTestEnv.h"
#include "tools/sentroctl/ControlCalls.h"

namespace {

std::vector<std::string> posts;
sqlite3 *other = nullptr;  // a second connection that acts during the transfer
std::string duringTransfer;

bool RecordPost(const std::string &url, const std::string &payload) {
  EXPECT_EQ(url,
            "http://127.0.0.1:15080/analytics/telemetry/ph/api/hyper/send?_c=SKLA.7_0_1&_i=42");
  posts.push_back(payload);
  std::string sql = std::exchange(duringTransfer, "");  // during the first transfer only
  return sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

class Upload : public TelemetryTest {
 protected:
  void SetUp() override {
    TelemetryTest::SetUp();
    posts.clear();
    setup_ = {TelemetryDatabasePath(), AnalyticsUrl("42"), RecordPost};
    ASSERT_EQ(sqlite3_open(TelemetryDatabasePath().c_str(), &other), SQLITE_OK);
  }
  void TearDown() override {
    sqlite3_close(other);
    TelemetryTest::TearDown();
  }
  TelemetryPushSetup setup_;
};

TEST_F(Upload, UnsentRowsGoInOneRequestPerTableAndAreMarkedByOperation) {
  for (int i = 0; i < 10; ++i) {
    Exec(MetricsRowSql(i < 4 ? "op-b" : "op-a", "svc" + std::to_string(i)));
  }
  Exec(
      "INSERT INTO svcSubEvents (serviceName, operationID, subPhase) VALUES ('w\"', 'op-b', 'x');");
  duringTransfer = MetricsRowSql("op-a", "late");  // marked with its operation
  PushAllTelemetryTables(setup_);
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(
      posts[0].rfind(
          "[{\"operationID\":\"op-b\",\"operation\":\"START\",\"serviceName\":\"svc0\","
          "\"operationStartTime\":\"a\",\"operationEndTime\":\"b\",\"timeForOperationInSec\":"
          "\"2\",\"serviceStatus\":\"HEALTHY\",\"buildNumber\":\"24322028\",\"versionNumber\":\""
          "7.0.1\",\"@type\":\"SENTRO_SERVICE_OPERATION_METRICS\"},{",
          0),
      0u);
  EXPECT_EQ(std::count(posts[0].begin(), posts[0].end(), '@'), 10);
  EXPECT_EQ(posts[1],  // a NULL column is sent as an empty string
            "[{\"serviceName\":\"w\\\"\",\"operationID\":\"op-b\",\"subPhase\":\"x\","
            "\"timeForCompletetionInSec\":\"\",\"phaseStatus\":\"\",\"buildNumber\":\"\","
            "\"versionNumber\":\"\",\"@type\":\"SENTRO_SERVICE_STARTUP_EVENTS_METRICS\"}]");
  EXPECT_EQ(Unsent("svcOpMetrics") + Unsent("svcSubEvents"), "00");
  PushAllTelemetryTables(setup_);
  EXPECT_EQ(posts.size(), 2u) << "nothing unsent: no request";
}

// Another connection interferes during the transfer: no operation is marked
// and the next push sends them all.
TEST_F(Upload, AFailedMarkingKeepsEveryRowUnsent) {
  std::pair<std::string, const char *> cases[] = {
      {"CREATE TRIGGER r BEFORE UPDATE ON svcOpMetrics WHEN NEW.operationID = 'op-2' BEGIN "
       "SELECT RAISE(ABORT, 'no'); END;",
       "[UpdateProcessedSvcsData] Updating processed data failed.\n"},
      {"BEGIN; SELECT COUNT(*) FROM svcOpMetrics;",  // a reader still holds its lock
       "[UpdateProcessedSvcsData] SQLITE COMMIT failed.\n"},
  };
  for (const auto &[interference, warning] : cases) {
    Exec("DELETE FROM svcOpMetrics;" + MetricsRowSql("op-1", "web") + MetricsRowSql("op-2", "db"));
    duringTransfer = interference;
    PushAllTelemetryTables(setup_);
    EXPECT_TRUE(log_.Has(LOG_WARNING, warning)) << log_.Text();
    EXPECT_EQ(Unsent("svcOpMetrics"), "2");
    sqlite3_exec(other, "DROP TRIGGER r; COMMIT;", nullptr, nullptr, nullptr);
  }
}

// Every statement as the database sees it, through the message naming the
// statement that could not be prepared; a missing table ends its push only.
TEST_F(Upload, EveryStatementIsTheOperatorsKnownText) {
  WriteFile(root_.Sub("web.json"),
            R"({"Name": "web", "ServiceStartupEventsFile": ")" + root_.Sub("ev") + "\"}");
  WriteFile(root_.Sub("ev"), R"({"stages": []})");
  Exec(
      "DROP TABLE svcOpMetrics; DROP TABLE svcOpCounts; INSERT INTO svcSubEvents "
      "(serviceName, operationID) VALUES ('w', 'x');");
  InitializeSvcOpCount({"web"}, root_.path());
  for (const char *operation : {"START", "STOP", "RESTART"}) {
    BeginOperation("web", operation, "UNHEALTHY", "PENDING");
    UpdateSvcsOperationCount();
  }
  PushAllTelemetryTables(setup_);
  EXPECT_EQ(posts.size(), 1u);
  UpdateProcessedSvcsData(setup_.databasePath, kTelemetryTables[0].markSentSql, {"op"});
  Exec("DROP TABLE svcSubEvents;");
  UpdateProcessedSvcsData(setup_.databasePath, kTelemetryTables[1].markSentSql, {"op"});
  Exec(
      "CREATE TABLE svcOpMetrics (operationID, operation, serviceName, operationStartTime, "
      "operationEndTime, timeForOperationInSec, serviceStatus, buildNumber, versionNumber);");
  BeginOperation("web", "START", "UNHEALTHY", "PENDING");
  UpdateSvcsOperationCount();
  for (const char *statement :
       {"INSERT OR REPLACE INTO svcOpCounts (serviceName,buildNumber, versionNumber) VALUES "
        "(?, ?, ?) ON CONFLICT(serviceName,buildNumber) DO NOTHING",
        "INSERT INTO svcOpMetrics (operationID,operation, serviceName, operationStartTime, "
        "operationEndTime, timeForOperationInSec, serviceStatus,buildNumber, versionNumber) "
        "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
        "INSERT INTO svcSubEvents (serviceName, operationID, subPhase, "
        "timeForCompletetionInSec, phaseStatus, buildNumber, versionNumber) VALUES(?, ?, ?, ?, "
        "?, ?, ?)",
        "UPDATE svcOpCounts SET startOperationCount = startOperationCount + 1 WHERE "
        "serviceName = ?",
        "UPDATE svcOpCounts SET stopOperationCount = stopOperationCount + 1 WHERE serviceName = ?",
        "UPDATE svcOpCounts SET restartOperationCount = restartOperationCount + 1 WHERE "
        "serviceName = ?",
        "SELECT operationID, operation, serviceName, operationStartTime, operationEndTime, "
        "timeForOperationInSec, serviceStatus, buildNumber, versionNumber FROM svcOpMetrics "
        "WHERE sentToAnalytics='0'",
        "UPDATE svcOpMetrics SET sentToAnalytics = 1 WHERE operationID = ?",
        "UPDATE svcSubEvents SET sentToAnalytics = 1 WHERE operationID = ?"}) {
    EXPECT_TRUE(log_.Has(LOG_INFO, std::string("prepare SQL statement ") + statement + " failed\n"))
        << statement;
  }
}

TEST(PushLogRecord, RecordsSurviveAnySplitOfTheStreamAndAnImpossibleLengthStopsIt) {
  std::string stream;
  EncodePushLogRecord(LOG_WARNING, "[A] one.\n", 9, &stream);
  EncodePushLogRecord(LOG_INFO, "", 0, &stream);
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
    EXPECT_EQ(got, (std::vector<std::pair<int, std::string>>{{LOG_WARNING, "[A] one.\n"},
                                                             {LOG_INFO, ""}}));
  }
  PushLogDecoder decoder;
  decoder.Feed(std::string(8, '\xff').data(), 8);
  int level;
  std::string text;
  EXPECT_FALSE(decoder.Next(&level, &text) || !decoder.Corrupt());
}

TEST_F(Upload, TheInstanceIdHashesTheIdentityOfTheDeploymentKind) {
  const std::pair<const char *, uint64_t> kHashes[] = {{"", 6142509188972423790u},
                                                       {"a", 4993892634952068459u},
                                                       {"abcdefgh", 8664279048047335611u},
                                                       {"instance-1234567", 17287259548130544879u}};
  for (const auto &[text, hash] : kHashes) {
    EXPECT_EQ(MurmurHash64A(text, strlen(text), 0xc70f6907), hash) << text;
  }
  struct Case {
    const char *buildInfo, *instanceCfg, *hashed;
  } cases[] = {
      {"", "# id\ninstanceUuid = a=b \ninstanceUuid=second\n", " a=b "},  // after the first "="
      {"B=1\nCLOUDVM_NAME:Norvane-Skylark-Outpost\n", "instanceUuid=ordinary\n", "outpost"},
      {"CLOUDVM_NAME:Norvane-Skylark-Outpost-2\n", "instanceUuid=ordinary\n", "ordinary"},
  };
  for (const Case &c : cases) {
    WriteSysFile("/etc/norvane/.buildInfo", c.buildInfo);
    WriteSysFile("/etc/norvane/appliance/appliance.cfg", "instanceUuid=outpost\n");
    WriteSysFile("/etc/norvane-skyd/instance.cfg", c.instanceCfg);
    EXPECT_EQ(ComputeInstanceId(),
              std::to_string(MurmurHash64A(c.hashed, strlen(c.hashed), 0xc70f6907)));
  }
  EXPECT_TRUE(log_.Has(LOG_INFO, "This is a Skylark Outpost deployment\n"));
  WriteSysFile("/etc/norvane-skyd/instance.cfg", "");  // none: a random UUID is hashed
  EXPECT_NE(ComputeInstanceId(), ComputeInstanceId());
  std::string id = NewUuidText();
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef-"), std::string::npos) << id;
  EXPECT_EQ(id[14], '4') << id;                                          // version 4
  EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;  // variant 10xx
}

// The daemon records a control request's start, the push timer (shortened
// in the sandbox) has the helper post it, and the daemon never maps libcurl
// or OpenSSL. The analytics status does not matter; a refused or slow
// exchange keeps the rows for the next period.
TEST(DaemonPush, RecordsAreSentMarkedAndKeptWhenTheExchangeFails) {
  struct Case {
    int status, delayMs;
    const char *message;
    const char *unsent;
  } cases[] = {
      {500, 0, "Service operation metrics sent successfully.", "0"},
      {0, 0, "[PushDataToAnalytics] Error in sending the telemetry data.", "1"},
      {200, 1100, "[PushDataToAnalytics] Error in sending the telemetry data.", "1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.status);
    SandboxDaemon daemon;
    ASSERT_EQ(system((SourceDir() + "/scripts/install-telemetry-db.sh '" + daemon.sysroot() +
                      "' >/dev/null")
                         .c_str()),
              0);
    daemon.WriteConfig(R"({"EnableLivenessCheck": false})");
    std::string service = daemon.Root("svc.sh");
    WriteFile(service, "#!/bin/sh\nexec sleep 100\n");
    chmod(service.c_str(), 0755);
    daemon.WriteService(
        "web.json",
        R"({"Name": "web", "StartupType": "MANUAL", "StartCommand": ")" + service + "\"}");
    daemon.SetEnv("SENTRO_TELEMETRY_PUSH_SECS=1");
    MakeDirs(daemon.sysroot() + "/etc/norvane-skyd");
    WriteFile(daemon.sysroot() + "/etc/norvane-skyd/instance.cfg", "instanceUuid=sandbox\n");
    AnalyticsServer server(c.status, c.delayMs);
    ASSERT_TRUE(server.Ready());
    daemon.Start();
    ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in")) << daemon.LogText();
    // Nothing unsent yet: the period passes without a helper or a message.
    ASSERT_TRUE(daemon.WaitForLog("Processing service operation metrics from Sentro database"));
    EXPECT_EQ(daemon.LogText().find(TELEMETRY_PUSH_PROGRAM_NAME), std::string::npos)
        << daemon.LogText();
    CallTarget target{daemon.dataDir() + "/sentroserver",
                      std::chrono::steady_clock::now() + std::chrono::seconds(10)};
    CallOutcome start = CallForResult(target, {.type = MessageType::StartSvcReq, .name = "web"});
    ASSERT_TRUE(start.succeeded()) << start.detail << start.code << daemon.LogText();
    std::string db =
        daemon.sysroot() + "/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db";
    ASSERT_TRUE(daemon.WaitForLog(c.message)) << daemon.LogText();
    EXPECT_TRUE(WaitUntil([&] {  // marked right after the exchange the message reports
      return QueryDb(db, "SELECT COUNT(*) FROM svcOpMetrics WHERE sentToAnalytics = 0")[0][0] ==
             c.unsent;
    }));
    std::string maps = ReadFile("/proc/" + std::to_string(daemon.pid()) + "/maps");
    for (const char *library : {"libcurl", "libssl", "libcrypto"}) {
      EXPECT_EQ(maps.find(library), std::string::npos) << library;
    }
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.WaitExit(), 0);
    std::string instanceId = std::to_string(MurmurHash64A("sandbox", 7, 0xc70f6907));
    EXPECT_EQ(daemon.LogText().find(instanceId), std::string::npos) << daemon.LogText();
    EXPECT_EQ(QueryDb(db, "SELECT operation, sentToAnalytics FROM svcOpMetrics ORDER BY rowid"),
              (Rows{{"START", c.unsent == std::string("0") ? "1" : "0"}, {"BATCH-STOP", "0"}}));
    if (c.status == 500) {
      std::string request = server.Requests().at(0);
      EXPECT_EQ(request.substr(0, request.find("\r\n") + 2),
                "POST /analytics/telemetry/ph/api/hyper/send?_c=SKLA.7_0_1&_i=" +
                    std::to_string(MurmurHash64A("sandbox", 7, 0xc70f6907)) + " HTTP/1.1\r\n");
      EXPECT_NE(request.find("\r\nContent-Type: application/json; charset=utf-8\r\nCache-Control: "
                             "max-age=0, no-cache, no-store\r\nPragma: no-cache\r\n"),
                std::string::npos)
          << request;
      EXPECT_NE(request.find("\"serviceName\":\"web\""), std::string::npos) << request;
    }
  }
}

}  // namespace
