// The operation metrics store against a real database file in a sysroot.
#include "src/telemetry/MetricsStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "lib/log/log.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/manager/ServiceManager.h"
#include "src/service/ServiceHooks.h"
#include "telemetry/TelemetryTestEnv.h"

namespace {

const char kUpdateConf[] = "/etc/keelbase/appliance/update.conf";

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
  std::string AddStartupEvents(const std::string &service, const std::string &events) {
    std::string eventsPath = root_.Sub(service + "-startup.json");
    WriteFile(eventsPath, events);
    WriteFile(
        definitionsDir_ + "/" + service + ".json",
        "{\"Name\": \"" + service + "\", \"ServiceStartupEventsFile\": \"" + eventsPath + "\"}");
    return eventsPath;
  }

  void StartAndFinish(const std::string &service, const char *operation, double start, double end,
                      const char *status) {
    SetNow(start);
    BeginOperation(service, operation, "UNHEALTHY", "PENDING");
    SetNow(end);
    EndOperation(service, status, "COMPLETED");
  }

  Rows Counters() {
    return Query(
        "SELECT serviceName, buildNumber, versionNumber, startOperationCount, "
        "stopOperationCount, restartOperationCount FROM svcOpCounts ORDER BY serviceName, "
        "buildNumber");
  }

  std::string definitionsDir_;
};

TEST_F(MetricsStoreTest, BatchOfThreeServicesWritesThreeRowsSharingOneOperationId) {
  Initialize({"alpha", "beta", "gamma"});
  SetNow(TEST_EPOCH);
  for (const char *name : {"gamma", "alpha", "beta"}) {
    BeginOperation(name, "BATCH-START", "UNHEALTHY", "PENDING");
  }
  // The service's own start inside the batch does not replace the record.
  BeginOperation("beta", "START", "UNHEALTHY", "PENDING");
  SetNow(TEST_EPOCH + 2.7);
  for (const char *name : {"alpha", "beta", "gamma"}) {
    EndOperation(name, "HEALTHY", "COMPLETED");
  }
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
                           id, "BATCH-START", names[i], "2026-01-01 00:00:00 UTC",
                           "2026-01-01 00:00:02 UTC", "2", "HEALTHY", "24322028", "7.0.1", "0"}));
  }
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "1", "0", "0"},
                              {"beta", "24322028", "7.0.1", "1", "0", "0"},
                              {"gamma", "24322028", "7.0.1", "1", "0", "0"}}));
  EXPECT_TRUE(GetOpenOperationRecords().empty());
  EXPECT_EQ(GetTelemetryContext().currentOperationId, "");

  // The next user-level operation gets an id of its own.
  StartAndFinish("alpha", "STOP", TEST_EPOCH + 10, TEST_EPOCH + 11, "STOPPED");
  UpdateSvcsOperationCount();
  EXPECT_EQ(QueryOne("SELECT COUNT(DISTINCT operationID) FROM svcOpMetrics"), "2");
  EXPECT_EQ(QueryOne("SELECT stopOperationCount FROM svcOpCounts WHERE serviceName='alpha'"), "1");
}

TEST_F(MetricsStoreTest, OperationStillRunningAtTheFlushIsCountedButNotWritten) {
  Initialize({"alpha", "beta"});
  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  BeginOperation("beta", "RESTART", "HEALTHY", "PENDING");
  UpdateSvcsOperationCount();

  EXPECT_EQ(Query("SELECT serviceName FROM svcOpMetrics"), (Rows{{"alpha"}}));
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "1", "0", "0"},
                              {"beta", "24322028", "7.0.1", "0", "0", "1"}}));
  // The flush forgets the running record too.
  EXPECT_TRUE(GetOpenOperationRecords().empty());
  EndOperation("beta", "HEALTHY", "COMPLETED");
  UpdateSvcsOperationCount();
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcOpMetrics"), "1");
}

TEST_F(MetricsStoreTest, RecordEndedWithNoneLeavesNoTrace) {
  AddStartupEvents("alpha", "{\"stages\": [{\"p\": \"init\", \"t\": \"1\", \"s\": \"DONE\"}]}");
  Initialize({"alpha"});
  BeginOperation("alpha", "START", "UNHEALTHY", "PENDING");
  EndOperation("alpha", "NONE", "COMPLETED");
  EXPECT_TRUE(GetOpenOperationRecords().empty());
  log_.Clear();
  UpdateSvcsOperationCount();

  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcOpMetrics"), "0");
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcSubEvents"), "0");
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "0", "0", "0"}}));
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(MetricsStoreTest, EndWithoutRecordAndSecondBeginChangeNothing) {
  EndOperation("alpha", "HEALTHY", "COMPLETED");
  EXPECT_TRUE(GetOpenOperationRecords().empty());

  SetNow(TEST_EPOCH);
  BeginOperation("alpha", "STOP", "STOPPING", "PENDING");
  SetNow(TEST_EPOCH + 5);
  BeginOperation("alpha", "RESTART", "HEALTHY", "PENDING");
  const OperationRecord &record = GetOpenOperationRecords().at("alpha");
  EXPECT_EQ(record.operation, "STOP");
  EXPECT_EQ(record.status, "STOPPING");
  EXPECT_EQ(record.phase, "PENDING");
  EXPECT_EQ(record.startTime, TEST_EPOCH);
  EXPECT_EQ(record.endTime, 0);
  EXPECT_EQ(record.operationId, GetTelemetryContext().currentOperationId);
}

TEST_F(MetricsStoreTest, DurationDropsTheFractionAndTimesUseTheLocalZone) {
  setenv("TZ", "CET-1", 1);
  tzset();
  Initialize({"alpha"});
  StartAndFinish("alpha", "START", TEST_EPOCH + 0.9, TEST_EPOCH + 3.8, "TIMED-OUT");
  UpdateSvcsOperationCount();
  EXPECT_EQ(Query("SELECT operationStartTime, operationEndTime, timeForOperationInSec, "
                  "serviceStatus FROM svcOpMetrics"),
            (Rows{{"2026-01-01 01:00:00 CET", "2026-01-01 01:00:03 CET", "2", "TIMED-OUT"}}));
}

TEST_F(MetricsStoreTest, InitializingTwiceKeepsTheCounters) {
  Initialize({"alpha", "beta"});
  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  UpdateSvcsOperationCount();
  Initialize({"alpha", "beta", "gamma"});
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "1", "0", "0"},
                              {"beta", "24322028", "7.0.1", "0", "0", "0"},
                              {"gamma", "24322028", "7.0.1", "0", "0", "0"}}));
}

TEST_F(MetricsStoreTest, NewBuildStartsNewCounterRows) {
  Initialize({"alpha"});
  StartAndFinish("alpha", "STOP", TEST_EPOCH, TEST_EPOCH + 1, "STOPPED");
  UpdateSvcsOperationCount();
  WriteSysFile(kUpdateConf, "{\"build\": \"24400000\", \"version\": \"7.1.0\"}");
  Initialize({"alpha"});
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "0", "1", "0"},
                              {"alpha", "24400000", "7.1.0", "0", "0", "0"}}));
  EXPECT_EQ(GetTelemetryContext().buildNumber, "24400000");
  EXPECT_EQ(GetTelemetryContext().versionNumber, "7.1.0");
}

TEST_F(MetricsStoreTest, MissingUpdateConfLeavesBuildAndVersionEmpty) {
  unlink(SysPath(kUpdateConf).c_str());
  Initialize({"alpha"});
  EXPECT_EQ(GetTelemetryContext().buildNumber, "");
  EXPECT_EQ(GetTelemetryContext().versionNumber, "");
  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  UpdateSvcsOperationCount();
  EXPECT_EQ(Query("SELECT buildNumber, versionNumber FROM svcOpMetrics"), (Rows{{"", ""}}));
  EXPECT_EQ(Counters(), (Rows{{"alpha", "", "", "1", "0", "0"}}));
}

TEST_F(MetricsStoreTest, StartupSubPhasesLandInSvcSubEvents) {
  AddStartupEvents("alpha",
                   "{\"stages\": [\n"
                   "  {\"name\": \"load-config\", \"time\": \"0.5\", \"status\": \"COMPLETED\"},\n"
                   "  \"not an object\",\n"
                   "  {\"phase\": \"open-db\", \"took\": \"2\", \"state\": \"FAILED\"}\n"
                   "]}");
  Initialize({"alpha", "beta"});
  BeginOperation("alpha", "RESTART", "HEALTHY", "PENDING");  // still running: phases go in
  BeginOperation("beta", "START", "UNHEALTHY", "PENDING");
  std::string id = GetTelemetryContext().currentOperationId;
  UpdateSvcsOperationCount();

  EXPECT_EQ(Query("SELECT serviceName, operationID, subPhase, timeForCompletetionInSec, "
                  "phaseStatus, buildNumber, versionNumber, sentToAnalytics FROM svcSubEvents "
                  "ORDER BY rowid"),
            (Rows{{"alpha", id, "load-config", "0.5", "COMPLETED", "24322028", "7.0.1", "0"},
                  {"alpha", id, "open-db", "2", "FAILED", "24322028", "7.0.1", "0"}}));
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[ReadSvcSubStartupData] No startup information from beta.\n"))
      << log_.Text();
}

TEST_F(MetricsStoreTest, StopsRecordNoSubPhases) {
  AddStartupEvents("alpha", "{\"stages\": [{\"a\": \"x\", \"b\": \"1\", \"c\": \"DONE\"}]}");
  Initialize({"alpha"});
  StartAndFinish("alpha", "BATCH-STOP", TEST_EPOCH, TEST_EPOCH + 1, "STOPPED");
  UpdateSvcsOperationCount();
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcSubEvents"), "0");
  EXPECT_EQ(log_.Count("[ReadSvcSubStartupData] No startup information from alpha.\n"), 0);
}

TEST_F(MetricsStoreTest, StageValuesOtherThanThreeStringsAreStoredAsText) {
  AddStartupEvents("alpha",
                   "{\"stages\": [{\"name\": \"warm-up\", \"time\": 1.5},"
                   " {\"a\": \"x\", \"b\": \"1\", \"c\": \"DONE\", \"d\": \"ignored\"},"
                   " {\"a\": true, \"b\": null, \"c\": {\"k\": [1]}}]}");
  Initialize({"alpha"});
  BeginOperation("alpha", "START", "UNHEALTHY", "PENDING");
  UpdateSvcsOperationCount();
  EXPECT_EQ(Query("SELECT subPhase, timeForCompletetionInSec, phaseStatus FROM svcSubEvents "
                  "ORDER BY rowid"),
            (Rows{{"warm-up", "1.5", ""}, {"x", "1", "DONE"}, {"true", "null", "{\"k\":[1]}"}}));
}

TEST_F(MetricsStoreTest, StartupEventsFileThatDoesNotParseWritesNoPhases) {
  AddStartupEvents("alpha", "{\"stages\": [");
  AddStartupEvents("beta", "{\"stages\": \"none\"}");
  Initialize({"alpha", "beta"});
  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  StartAndFinish("beta", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  UpdateSvcsOperationCount();
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcSubEvents"), "0");
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcOpMetrics"), "2");
}

TEST_F(MetricsStoreTest, DefinitionScanMapsFirstFileAndSkipsOthers) {
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
  ASSERT_EQ(mkfifo((definitionsDir_ + "/fifo.json").c_str(), 0600), 0);
  log_.Clear();
  Initialize({});

  // a1.json or a2.json may come first in the listing; either way one path.
  const StartupEventsMap &files = GetStartupEventsMap();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_TRUE(files.at("alpha") == "/first" || files.at("alpha") == "/second");
  EXPECT_EQ(files.at("echo"), "/e");
  EXPECT_EQ(log_.Text().find("Invalid Json"), std::string::npos) << log_.Text();
}

// ---- Faults: each logs its message, the daemon carries on ----

TEST_F(MetricsStoreTest, MissingDatabaseLogsAndForgetsTheRecords) {
  std::string path = TelemetryDatabasePath();
  unlink(path.c_str());
  Initialize({"alpha"});
  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
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
  // The rest of the start-up completion still ran.
  EXPECT_FALSE(GetTelemetryContext().instanceId.empty());
}

TEST_F(MetricsStoreTest, MissingMetricsTableStillCountsTheOperations) {
  Exec("DROP TABLE svcOpMetrics;");
  Initialize({"alpha"});
  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  UpdateSvcsOperationCount();

  EXPECT_TRUE(log_.Has(LOG_INFO,
                       "prepare SQL statement INSERT INTO svcOpMetrics (operationID,operation, "
                       "serviceName, operationStartTime, operationEndTime, timeForOperationInSec, "
                       "serviceStatus,buildNumber, versionNumber) VALUES(?, ?, ?, ?, ?, ?, ?, ?, "
                       "?) failed\n"))
      << log_.Text();
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[InsertSvcsOpDataToDb] PrepareSQLStmt failed.\n"));
  EXPECT_EQ(QueryOne("SELECT startOperationCount FROM svcOpCounts"), "1");
}

TEST_F(MetricsStoreTest, MissingSubEventsTableSkipsOnlyThePhases) {
  AddStartupEvents("alpha", "{\"stages\": [{\"a\": \"x\", \"b\": \"1\", \"c\": \"DONE\"}]}");
  Exec("DROP TABLE svcSubEvents;");
  Initialize({"alpha"});
  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  UpdateSvcsOperationCount();
  EXPECT_TRUE(log_.Has(LOG_INFO,
                       "prepare SQL statement INSERT INTO svcSubEvents (serviceName, operationID, "
                       "subPhase, timeForCompletetionInSec, phaseStatus, buildNumber, "
                       "versionNumber) VALUES(?, ?, ?, ?, ?, ?, ?) failed\n"))
      << log_.Text();
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[ReadSvcSubStartupData] PrepareSQLStmt failed.\n"));
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcOpMetrics"), "1");
}

TEST_F(MetricsStoreTest, FailedPhaseInsertWritesNothingOfTheOperation) {
  AddStartupEvents("beta", "{\"stages\": [{\"a\": \"x\", \"b\": \"1\", \"c\": \"DONE\"}]}");
  Exec("CREATE TRIGGER refuse BEFORE INSERT ON svcSubEvents BEGIN SELECT RAISE(ABORT, 'no'); END;");
  Initialize({"alpha", "beta"});
  StartAndFinish("alpha", "STOP", TEST_EPOCH, TEST_EPOCH + 1, "STOPPED");
  StartAndFinish("beta", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  UpdateSvcsOperationCount();

  EXPECT_TRUE(log_.Has(LOG_WARNING, "[ReadSvcSubStartupData] Insert operation failed.\n"));
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcOpMetrics"), "0");  // all or nothing
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "0", "1", "0"},
                              {"beta", "24322028", "7.0.1", "1", "0", "0"}}));
}

TEST_F(MetricsStoreTest, FailedCounterUpdateCommitsNoCounter) {
  Exec(
      "CREATE TRIGGER refuse BEFORE UPDATE ON svcOpCounts WHEN NEW.serviceName = 'beta' "
      "BEGIN SELECT RAISE(ABORT, 'no'); END;");
  Initialize({"alpha", "beta"});
  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  StartAndFinish("beta", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  UpdateSvcsOperationCount();

  EXPECT_TRUE(log_.Has(LOG_WARNING, "[PrepareAndBindSql] Update query for service beta failed.\n"));
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[UpdateSvcsOperationCount] Insertion of data failed.\n"));
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "0", "0", "0"},
                              {"beta", "24322028", "7.0.1", "0", "0", "0"}}));
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcOpMetrics"), "2");  // its own transaction
  EXPECT_TRUE(GetOpenOperationRecords().empty());
}

TEST_F(MetricsStoreTest, LockedDatabaseFailsAtOnceWithoutWriting) {
  Initialize({"alpha"});
  sqlite3 *holder = nullptr;
  ASSERT_EQ(sqlite3_open(TelemetryDatabasePath().c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);

  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  UpdateSvcsOperationCount();
  sqlite3_exec(holder, "ROLLBACK;", nullptr, nullptr, nullptr);
  sqlite3_close(holder);

  EXPECT_TRUE(log_.Has(LOG_WARNING, "[InsertSvcsOpDataToDb] Insert operation failed.\n"))
      << log_.Text();
  EXPECT_TRUE(
      log_.Has(LOG_WARNING, "[PrepareAndBindSql] Update query for service alpha failed.\n"));
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcOpMetrics"), "0");
  EXPECT_EQ(QueryOne("SELECT startOperationCount FROM svcOpCounts"), "0");
}

TEST_F(MetricsStoreTest, ReaderHoldingTheDatabaseFailsTheCommitAndNothingIsWritten) {
  Initialize({"alpha"});
  // An open read transaction keeps a shared lock: the writer gets as far as
  // its commit, which needs the database to itself.
  sqlite3 *reader = nullptr;
  ASSERT_EQ(sqlite3_open(TelemetryDatabasePath().c_str(), &reader), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM svcOpCounts;", nullptr, nullptr, nullptr),
      SQLITE_OK);
  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  UpdateSvcsOperationCount();
  sqlite3_exec(reader, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(reader);

  EXPECT_EQ(log_.Count("Database transaction COMMIT; failed\n"), 2) << log_.Text();
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[InsertSvcsOpDataToDb] SQLITE COMMIT failed.\n"));
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[UpdateSvcsOperationCount] SQLITE COMMIT failed.\n"));
  EXPECT_EQ(QueryOne("SELECT COUNT(*) FROM svcOpMetrics"), "0");
  EXPECT_EQ(QueryOne("SELECT startOperationCount FROM svcOpCounts"), "0");
}

TEST_F(MetricsStoreTest, ReadOnlyDatabaseFailsTheInsert) {
  Initialize({"alpha"});
  // A write version above 2 in the file header makes SQLite treat the file
  // as read-only, even for root.
  {
    std::fstream file(TelemetryDatabasePath(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(18);
    file.put(3);
  }
  StartAndFinish("alpha", "START", TEST_EPOCH, TEST_EPOCH + 1, "HEALTHY");
  UpdateSvcsOperationCount();
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[InsertSvcsOpDataToDb] Insert operation failed.\n"))
      << log_.Text();
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[UpdateSvcsOperationCount] Insertion of data failed.\n"));
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

TEST_F(MetricsStoreTest, ServicesAndBatchesReachTheStoreOnceConnected) {
  Initialize({"alpha"});
  ConnectMetricsStore();
  GetServiceHooks().beginOperation("alpha", "BATCH-STOP", "STOPPING", "PENDING");
  GetServiceHooks().endOperation("alpha", "STOPPED", "COMPLETED");
  ServiceManager::GetHooks().updateOperationCounts();
  ResetServiceHooks();
  ServiceManager::GetHooks().updateOperationCounts = nullptr;

  EXPECT_EQ(Query("SELECT operation, serviceName, serviceStatus FROM svcOpMetrics"),
            (Rows{{"BATCH-STOP", "alpha", "STOPPED"}}));
  EXPECT_EQ(QueryOne("SELECT stopOperationCount FROM svcOpCounts"), "1");
}

}  // namespace
