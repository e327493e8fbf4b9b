// The operation metrics store against a real database file in a sysroot.
#include "src/telemetry/MetricsStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/log/log.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "telemetry/TelemetryTestEnv.h"

namespace {

const char kUpdateConf[] = "/etc/keelbase/appliance/update.conf";
const char kOneStage[] = "{\"stages\": [{\"a\": \"x\", \"b\": \"1\", \"c\": \"DONE\"}]}";

class MetricsStoreTest : public TelemetryTest {
 protected:
  void SetUp() override {
    TelemetryTest::SetUp();
    definitionsDir_ = root_.Sub("svcCfgfiles");
    MakeDirs(definitionsDir_);
    WriteSysFile(kUpdateConf, "{\"build\": \"24322028\", \"version\": \"7.0.1\"}");
  }

  void Initialize(const std::vector<std::string> &names) {
    InitializeSvcOpCount(names, definitionsDir_);
  }

  // Names the startup-events file of a service in a definition file.
  void AddStartupEvents(const std::string &service, const std::string &events) {
    std::string eventsPath = root_.Sub(service + "-startup.json");
    WriteFile(eventsPath, events);
    WriteFile(
        definitionsDir_ + "/" + service + ".json",
        "{\"Name\": \"" + service + "\", \"ServiceStartupEventsFile\": \"" + eventsPath + "\"}");
  }

  void StartAndFinish(const std::string &service, const char *operation, double start = TEST_EPOCH,
                      double end = TEST_EPOCH + 1, const char *status = "HEALTHY") {
    SetNow(start);
    BeginOperation(service, operation, "UNHEALTHY", "PENDING");
    SetNow(end);
    EndOperation(service, status, "COMPLETED");
  }

  // One counter row: service, build, version, starts, stops, restarts.
  Rows Counters() {
    return Query(
        "SELECT serviceName, buildNumber, versionNumber, startOperationCount, "
        "stopOperationCount, restartOperationCount FROM svcOpCounts ORDER BY serviceName, "
        "buildNumber");
  }

  std::string MetricsRowCount() { return QueryOne("SELECT COUNT(*) FROM svcOpMetrics"); }

  std::string definitionsDir_;
};

TEST_F(MetricsStoreTest, BatchOfThreeServicesWritesThreeRowsSharingOneOperationId) {
  setenv("TZ", "CET-1", 1);  // times are local; the fixture restores TZ
  tzset();
  Initialize({"alpha", "beta", "gamma"});
  SetNow(TEST_EPOCH + 0.9);
  for (const char *name : {"gamma", "alpha", "beta"}) {
    BeginOperation(name, "BATCH-START", "UNHEALTHY", "PENDING");
  }
  // The service's own start inside the batch does not replace the record.
  SetNow(TEST_EPOCH + 1);
  BeginOperation("beta", "START", "HEALTHY", "PENDING");
  SetNow(TEST_EPOCH + 3.8);  // 2.9 s: the duration drops the fraction
  for (const char *name : {"alpha", "beta", "gamma"}) {
    EndOperation(name, "HEALTHY", "COMPLETED");
  }
  EndOperation("delta", "HEALTHY", "COMPLETED");  // no record: nothing happens
  UpdateSvcsOperationCount();

  Rows rows = Query(
      "SELECT operationID, operation, serviceName, operationStartTime, operationEndTime, "
      "timeForOperationInSec, serviceStatus, buildNumber, versionNumber, sentToAnalytics FROM "
      "svcOpMetrics ORDER BY rowid");
  ASSERT_EQ(rows.size(), 3u);
  std::string id = rows[0][0];
  EXPECT_EQ(id.size(), 36u);
  const char *names[] = {"alpha", "beta", "gamma"};
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i], (std::vector<std::string>{
                           id, "BATCH-START", names[i], "2026-01-01 01:00:00 CET",
                           "2026-01-01 01:00:03 CET", "2", "HEALTHY", "24322028", "7.0.1", "0"}));
  }
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "1", "0", "0"},
                              {"beta", "24322028", "7.0.1", "1", "0", "0"},
                              {"gamma", "24322028", "7.0.1", "1", "0", "0"}}));
  EXPECT_TRUE(GetOpenOperationRecords().empty());

  // The next user-level operation gets an id of its own.
  StartAndFinish("alpha", "STOP", TEST_EPOCH + 10, TEST_EPOCH + 11, "STOPPED");
  UpdateSvcsOperationCount();
  EXPECT_EQ(QueryOne("SELECT COUNT(DISTINCT operationID) FROM svcOpMetrics"), "2");
  EXPECT_EQ(QueryOne("SELECT stopOperationCount FROM svcOpCounts WHERE serviceName='alpha'"), "1");
}

TEST_F(MetricsStoreTest, RunningRecordIsCountedButNotWrittenAndNoneRecordLeavesNoTrace) {
  AddStartupEvents("gamma", kOneStage);
  Initialize({"alpha", "beta", "gamma"});
  StartAndFinish("alpha", "START");
  BeginOperation("beta", "RESTART", "HEALTHY", "PENDING");
  BeginOperation("gamma", "START", "UNHEALTHY", "PENDING");
  EndOperation("gamma", "NONE", "COMPLETED");
  UpdateSvcsOperationCount();

  EXPECT_EQ(Query("SELECT serviceName FROM svcOpMetrics"), (Rows{{"alpha"}}));
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "1", "0", "0"},
                              {"beta", "24322028", "7.0.1", "0", "0", "1"},
                              {"gamma", "24322028", "7.0.1", "0", "0", "0"}}));
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcSubEvents"), "0");
  EXPECT_EQ(log_.Text().find("gamma"), std::string::npos) << log_.Text();
  // The flush forgets the running record too.
  EndOperation("beta", "HEALTHY", "COMPLETED");
  UpdateSvcsOperationCount();
  EXPECT_EQ(MetricsRowCount(), "1");
}

TEST_F(MetricsStoreTest, CountersArePerBuildAndSurviveInitializingAgain) {
  Initialize({"alpha", "beta"});
  StartAndFinish("alpha", "STOP");
  UpdateSvcsOperationCount();
  Initialize({"alpha", "beta"});
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "0", "1", "0"},
                              {"beta", "24322028", "7.0.1", "0", "0", "0"}}));

  WriteSysFile(kUpdateConf, "{\"build\": \"24400000\", \"version\": \"7.1.0\"}");
  Initialize({"alpha"});
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "0", "1", "0"},
                              {"alpha", "24400000", "7.1.0", "0", "0", "0"},
                              {"beta", "24322028", "7.0.1", "0", "0", "0"}}));

  // Without update.conf, build and version are empty.
  unlink(SysPath(kUpdateConf).c_str());
  Initialize({"beta"});
  StartAndFinish("beta", "START");
  UpdateSvcsOperationCount();
  EXPECT_EQ(Query("SELECT buildNumber, versionNumber FROM svcOpMetrics WHERE serviceName='beta'"),
            (Rows{{"", ""}}));
  EXPECT_EQ(Query("SELECT startOperationCount FROM svcOpCounts WHERE buildNumber=''"),
            (Rows{{"1"}}));
}

TEST_F(MetricsStoreTest, StartsRecordTheSubPhasesOfTheirStartupEventsFile) {
  AddStartupEvents("alpha",
                   "{\"stages\": [\n"
                   "  {\"name\": \"load-config\", \"time\": \"0.5\", \"status\": \"COMPLETED\"},\n"
                   "  \"not an object\",\n"
                   "  {\"phase\": \"open-db\", \"took\": \"2\", \"state\": \"FAILED\"}\n"
                   "]}");
  AddStartupEvents("gamma", kOneStage);
  Initialize({"alpha", "beta", "gamma"});
  BeginOperation("alpha", "RESTART", "HEALTHY", "PENDING");      // still running: phases go in
  BeginOperation("beta", "START", "UNHEALTHY", "PENDING");       // no file
  BeginOperation("gamma", "BATCH-STOP", "STOPPING", "PENDING");  // a stop: no phases
  std::string id = GetTelemetryContext().currentOperationId;
  UpdateSvcsOperationCount();

  EXPECT_EQ(Query("SELECT serviceName, operationID, subPhase, timeForCompletetionInSec, "
                  "phaseStatus, buildNumber, versionNumber, sentToAnalytics FROM svcSubEvents "
                  "ORDER BY rowid"),
            (Rows{{"alpha", id, "load-config", "0.5", "COMPLETED", "24322028", "7.0.1", "0"},
                  {"alpha", id, "open-db", "2", "FAILED", "24322028", "7.0.1", "0"}}));
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[ReadSvcSubStartupData] No startup information from beta.\n"))
      << log_.Text();
  EXPECT_EQ(log_.Count("[ReadSvcSubStartupData] No startup information from gamma.\n"), 0);
}

TEST_F(MetricsStoreTest, StageValuesAreStoredAsTextAndUnreadableFilesAsNothing) {
  struct Case {
    const char *events;
    Rows stored;  // subPhase, time, status
  } cases[] = {
      {"{\"stages\": [{\"name\": \"warm-up\", \"time\": 1.5},"
       " {\"a\": \"x\", \"b\": \"1\", \"c\": \"DONE\", \"d\": \"ignored\"},"
       " {\"a\": true, \"b\": null, \"c\": {\"k\": [1]}}]}",
       {{"warm-up", "1.5", ""}, {"x", "1", "DONE"}, {"true", "null", "{\"k\":[1]}"}}},
      {"{\"stages\": [", {}},
      {"{\"stages\": \"none\"}", {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.events);
    Exec("DELETE FROM svcSubEvents;");
    AddStartupEvents("alpha", c.events);
    Initialize({"alpha"});
    BeginOperation("alpha", "START", "UNHEALTHY", "PENDING");
    UpdateSvcsOperationCount();
    EXPECT_EQ(Query("SELECT subPhase, timeForCompletetionInSec, phaseStatus FROM svcSubEvents "
                    "ORDER BY rowid"),
              c.stored);
  }
}

TEST_F(MetricsStoreTest, DefinitionScanMapsTheFirstFileInByteOrderAndSkipsOthers) {
  WriteFile(definitionsDir_ + "/a1.json",
            "// the first definition\n{\"Name\": \"alpha\",\n"
            "  \"ServiceStartupEventsFile\": \"/first\"}");
  WriteFile(definitionsDir_ + "/a2.json",
            "{\"Name\": \"alpha\", \"ServiceStartupEventsFile\": \"/second\"}");
  WriteFile(definitionsDir_ + "/b.json",
            "{\"Name\": \"beta\", \"ServiceStartupEventsFile\": \"\"}");
  WriteFile(definitionsDir_ + "/c.json", "{\"ServiceStartupEventsFile\": \"/nameless\"}");
  WriteFile(definitionsDir_ + "/d.txt", "{\"Name\": \"delta\", \"ServiceStartupEventsFile\": 7}");
  WriteFile(definitionsDir_ + "/e", "{\"Name\": \"echo\", \"ServiceStartupEventsFile\": \"/e\"}");
  WriteFile(definitionsDir_ + "/broken.json", "{\"Name\": ");
  MakeDirs(definitionsDir_ + "/subdir.json");
  ASSERT_EQ(mkfifo((definitionsDir_ + "/fifo.json").c_str(), 0600), 0);  // must not block
  Initialize({});

  // Of two files declaring one name, the first in byte order wins, as in
  // the service registry, whatever order the directory lists them in.
  const StartupEventsMap &files = GetStartupEventsMap();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files.at("alpha"), "/first");
  EXPECT_EQ(files.at("echo"), "/e");
  EXPECT_EQ(log_.Text().find("Invalid Json"), std::string::npos) << log_.Text();
}

// ---- Faults: each logs its message, the daemon carries on ----

TEST_F(MetricsStoreTest, MissingDatabaseLogsEveryStepAndForgetsTheRecords) {
  std::string path = TelemetryDatabasePath();
  unlink(path.c_str());
  Initialize({"alpha"});
  StartAndFinish("alpha", "START");
  UpdateSvcsOperationCount();

  for (const char *step :
       {"InitializeSvcOpCount", "InsertSvcsOpDataToDb", "UpdateSvcsOperationCount"}) {
    EXPECT_TRUE(log_.Has(LOG_WARNING, std::string("[") + step + "] Database connection failed.\n"))
        << log_.Text();
  }
  EXPECT_EQ(log_.Count("Can't open database connection at " + path +
                       ", error unable to open database file\n"),
            3);
  EXPECT_FALSE(FileExists(path)) << "the store must never create the database";
  EXPECT_TRUE(GetOpenOperationRecords().empty());
  EXPECT_FALSE(GetTelemetryContext().instanceId.empty());  // the rest of start-up still ran
}

// A stop of alpha and a start of beta, which has a startup-events file, are
// flushed against a damaged database: each write is all or nothing.
TEST_F(MetricsStoreTest, FailedWriteStepLogsAndLeavesItsTransactionUncommitted) {
  const char kRefuse[] = " BEGIN SELECT RAISE(ABORT, 'no'); END;";
  struct Case {
    std::string damage;
    std::vector<std::pair<int, std::string>> messages;
    const char *metricsRows;  // null: the table is gone
    const char *alphaStops;
  } cases[] = {
      {"DROP TABLE svcOpMetrics;",
       {{LOG_WARNING, "[InsertSvcsOpDataToDb] PrepareSQLStmt failed.\n"}},
       nullptr,
       "1"},
      {"DROP TABLE svcSubEvents;",
       // The statement text that TelemetryUpload_test's missing tables cannot reach.
       {{LOG_INFO,
         "prepare SQL statement INSERT INTO svcSubEvents (serviceName, operationID, subPhase, "
         "timeForCompletetionInSec, phaseStatus, buildNumber, versionNumber) VALUES(?, ?, ?, ?, "
         "?, ?, ?) failed\n"},
        {LOG_WARNING, "[ReadSvcSubStartupData] PrepareSQLStmt failed.\n"}},
       "2",
       "1"},
      {std::string("CREATE TRIGGER refuse BEFORE INSERT ON svcSubEvents") + kRefuse,
       {{LOG_WARNING, "[ReadSvcSubStartupData] Insert operation failed.\n"}},
       "0",
       "1"},
      {std::string("CREATE TRIGGER refuse BEFORE UPDATE ON svcOpCounts WHEN NEW.serviceName = "
                   "'beta'") +
           kRefuse,
       {{LOG_WARNING, "[PrepareAndBindSql] Update query for service beta failed.\n"},
        {LOG_WARNING, "[UpdateSvcsOperationCount] Insertion of data failed.\n"}},
       "2",
       "0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.damage);
    InstallDatabase();
    AddStartupEvents("beta", kOneStage);
    Exec(c.damage);
    Initialize({"alpha", "beta"});
    StartAndFinish("alpha", "STOP");
    StartAndFinish("beta", "START");
    UpdateSvcsOperationCount();

    for (const auto &[level, text] : c.messages) {
      EXPECT_TRUE(log_.Has(level, text)) << text << log_.Text();
    }
    if (c.metricsRows != nullptr) {
      EXPECT_EQ(MetricsRowCount(), c.metricsRows);
    }
    EXPECT_EQ(QueryOne("SELECT stopOperationCount FROM svcOpCounts WHERE serviceName='alpha'"),
              c.alphaStops);
    EXPECT_TRUE(GetOpenOperationRecords().empty());
  }
}

// Another connection holds the database during the flush: a writer makes the
// first insert fail at once (no busy wait), a reader makes both commits fail.
TEST_F(MetricsStoreTest, DatabaseHeldByAnotherConnectionFailsWithoutWriting) {
  struct Case {
    const char *holderSql;
    std::vector<std::string> warnings;
  } cases[] = {
      {"BEGIN IMMEDIATE;",
       {"[InsertSvcsOpDataToDb] Insert operation failed.\n",
        "[PrepareAndBindSql] Update query for service alpha failed.\n"}},
      {"BEGIN; SELECT COUNT(*) FROM svcOpCounts;",
       {"[InsertSvcsOpDataToDb] SQLITE COMMIT failed.\n",
        "[UpdateSvcsOperationCount] SQLITE COMMIT failed.\n"}},
  };
  Initialize({"alpha"});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.holderSql);
    log_.Clear();
    sqlite3 *holder = nullptr;
    ASSERT_EQ(sqlite3_open(TelemetryDatabasePath().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, c.holderSql, nullptr, nullptr, nullptr), SQLITE_OK);
    StartAndFinish("alpha", "START");
    UpdateSvcsOperationCount();
    sqlite3_close(holder);  // rolls its transaction back

    for (const std::string &warning : c.warnings) {
      EXPECT_TRUE(log_.Has(LOG_WARNING, warning)) << warning << log_.Text();
    }
    EXPECT_EQ(MetricsRowCount(), "0");
    EXPECT_EQ(QueryOne("SELECT startOperationCount FROM svcOpCounts"), "0");
  }
  EXPECT_EQ(log_.Count("Database transaction COMMIT; failed\n"), 2);
}

TEST_F(MetricsStoreTest, DaemonInitializationCountsRegisteredServicesAndScansTheirDefinitions) {
  std::string configDir = root_.Sub("config");
  std::string eventsPath = root_.Sub("alpha-startup.json");
  MakeDirs(configDir + "/svcCfgfiles");
  MakeDirs(root_.Sub("data"));
  WriteFile(configDir + "/config.json", "{}");
  WriteFile(configDir + "/profiles.json", "{}");
  WriteFile(configDir + "/svcCfgfiles/alpha.json",
            "{\"Name\": \"alpha\", \"StartCommand\": \"/bin/true\", "
            "\"ServiceStartupEventsFile\": \"" +
                eventsPath + "\"}");
  WriteFile(configDir + "/svcCfgfiles/beta.json",
            "{\"Name\": \"beta\", \"StartCommand\": \"/bin/true\"}");
  ASSERT_NE(SentroConfig::Load(configDir, root_.Sub("data")), nullptr);
  InitializeSvcOpCount();
  SentroConfig::ResetForTest();

  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "0", "0", "0"},
                              {"beta", "24322028", "7.0.1", "0", "0", "0"}}))
      << log_.Text();
  EXPECT_EQ(GetStartupEventsMap(), (StartupEventsMap{{"alpha", eventsPath}}));
}

}  // namespace
