// The operation metrics store against a real database file in a sysroot.
#include <sys/stat.h>

#include "lib/log/log.h"
#include "telemetry/TelemetryTestEnv.h"

namespace {

const char kUpdateConf[] = "/etc/keelbase/appliance/update.conf";

class MetricsStore : public TelemetryTest {
 protected:
  void SetUp() override {
    TelemetryTest::SetUp();
    MakeDirs(root_.Sub("defs"));
    WriteSysFile(kUpdateConf, R"({"build": "24322028", "version": "7.0.1"})");
  }
  // Names the startup-events file of a service in a definition file.
  void AddStartupEvents(const std::string &service, const std::string &events) {
    WriteFile(root_.Sub(service + "-events"), events);
    WriteFile(root_.Sub("defs/" + service + ".json"), R"({"Name": ")" + service +
                                                          R"(", "ServiceStartupEventsFile": ")" +
                                                          root_.Sub(service + "-events") + "\"}");
  }
  void Run(const std::string &service, const char *operation, double seconds) {
    BeginOperation(service, operation, "UNHEALTHY", "PENDING");
    SetNow(TEST_EPOCH + seconds);
    EndOperation(service, "HEALTHY", "COMPLETED");
  }
  Rows Counters() {  // service, build, version, starts, stops, restarts
    return Query("SELECT * FROM svcOpCounts ORDER BY serviceName, buildNumber");
  }
};

TEST_F(MetricsStore, AFlushWritesEndedRecordsUnderOneIdAndCountsEveryRecord) {
  setenv("TZ", "CET-1", 1);  // times are local
  tzset();
  InitializeSvcOpCount({"alpha", "beta", "gamma", "delta"}, root_.Sub("defs"));
  SetNow(TEST_EPOCH + 0.9);
  for (const char *name : {"gamma", "alpha", "delta"}) {
    BeginOperation(name, "BATCH-START", "UNHEALTHY", "PENDING");
  }
  BeginOperation("alpha", "START", "HEALTHY", "PENDING");   // the batch's record stays
  BeginOperation("beta", "RESTART", "HEALTHY", "PENDING");  // still running at the flush
  SetNow(TEST_EPOCH + 3.8);                                 // 2.9 s: the fraction is dropped
  EndOperation("alpha", "HEALTHY", "COMPLETED");
  EndOperation("gamma", "TIMED-OUT", "COMPLETED");
  EndOperation("delta", "NONE", "COMPLETED");  // leaves no trace
  UpdateSvcsOperationCount();
  Rows rows = Query("SELECT * FROM svcOpMetrics ORDER BY rowid");
  ASSERT_EQ(rows.size(), 2u);
  std::string id = rows[0][0];
  EXPECT_EQ(rows, (Rows{{id, "BATCH-START", "alpha", "2026-01-01 01:00:00 CET",
                         "2026-01-01 01:00:03 CET", "2", "HEALTHY", "24322028", "7.0.1", "0"},
                        {id, "BATCH-START", "gamma", "2026-01-01 01:00:00 CET",
                         "2026-01-01 01:00:03 CET", "2", "TIMED-OUT", "24322028", "7.0.1", "0"}}));
  EXPECT_EQ(Counters(), (Rows{{"alpha", "24322028", "7.0.1", "1", "0", "0"},
                              {"beta", "24322028", "7.0.1", "0", "0", "1"},
                              {"delta", "24322028", "7.0.1", "0", "0", "0"},
                              {"gamma", "24322028", "7.0.1", "1", "0", "0"}}));
  EXPECT_TRUE(GetOpenOperationRecords().empty());

  // The next operation has an id of its own; counters survive a second
  // start-up of the same build and are kept per build.
  WriteSysFile(kUpdateConf, R"({"build": "24400000", "version": "7.1.0"})");
  InitializeSvcOpCount({"alpha"}, root_.Sub("defs"));
  InitializeSvcOpCount({"alpha"}, root_.Sub("defs"));
  Run("alpha", "STOP", 10);
  UpdateSvcsOperationCount();
  EXPECT_EQ(Query("SELECT COUNT(DISTINCT operationID) FROM svcOpMetrics"), (Rows{{"2"}}));
  EXPECT_EQ(Query("SELECT * FROM svcOpCounts WHERE serviceName = 'alpha'"),
            (Rows{{"alpha", "24322028", "7.0.1", "1", "1", "0"},  // counts name no build
                  {"alpha", "24400000", "7.1.0", "0", "1", "0"}}));
  unlink(SysPath(kUpdateConf).c_str());  // without it build and version are empty
  InitializeSvcOpCount({}, root_.Sub("defs"));
  EXPECT_EQ(GetTelemetryContext().buildNumber + GetTelemetryContext().versionNumber, "");
}

TEST_F(MetricsStore, StartsRecordTheStagesOfTheirStartupEventsFileAsText) {
  AddStartupEvents("alpha", R"({"stages": [{"name": "load", "time": "0.5", "status": "DONE"},
      "not an object", {"p": "warm", "t": 1.5}, {"a": true, "b": null, "c": {"k": [1]}, "d": 0}]})");
  AddStartupEvents("gamma", R"({"stages": [{"a": "x", "b": "1", "c": "DONE"}]})");
  AddStartupEvents("omega", R"({"stages": [)");
  InitializeSvcOpCount({}, root_.Sub("defs"));
  BeginOperation("alpha", "RESTART", "HEALTHY", "PENDING");        // running: stages go in
  BeginOperation("beta", "START", "UNHEALTHY", "PENDING");         // no file
  BeginOperation("gamma", "BATCH-STOP", "STOPPING", "PENDING");    // a stop: no stages
  BeginOperation("omega", "BATCH-START", "UNHEALTHY", "PENDING");  // unreadable: nothing
  std::string id = GetTelemetryContext().currentOperationId;
  UpdateSvcsOperationCount();
  EXPECT_EQ(Query("SELECT * FROM svcSubEvents ORDER BY rowid"),
            (Rows{{"alpha", id, "load", "0.5", "DONE", "24322028", "7.0.1", "0"},
                  {"alpha", id, "warm", "1.5", "", "24322028", "7.0.1", "0"},
                  {"alpha", id, "true", "null", "{\"k\":[1]}", "24322028", "7.0.1", "0"}}));
  EXPECT_TRUE(log_.Has(LOG_WARNING, "[ReadSvcSubStartupData] No startup information from beta.\n"));
  EXPECT_EQ(log_.Text().find("from gamma"), std::string::npos);
}

TEST_F(MetricsStore, TheDefinitionScanTakesTheFirstFileInByteOrderAndSkipsTheRest) {
  WriteFile(root_.Sub("defs/a1.json"),
            "// first\n{\"Name\": \"alpha\", \"ServiceStartupEventsFile\": \"/first\"}");
  WriteFile(root_.Sub("defs/a2"), R"({"Name": "alpha", "ServiceStartupEventsFile": "/second"})");
  WriteFile(root_.Sub("defs/b"), R"({"Name": "beta", "ServiceStartupEventsFile": ""})");
  WriteFile(root_.Sub("defs/c"), R"({"ServiceStartupEventsFile": "/nameless"})");
  WriteFile(root_.Sub("defs/d"), R"({"Name": "delta", "ServiceStartupEventsFile": 7})");
  WriteFile(root_.Sub("defs/e"), R"({"Name": )");
  ASSERT_EQ(mkfifo(root_.Sub("defs/fifo").c_str(), 0600), 0);  // must not block
  InitializeSvcOpCount({}, root_.Sub("defs"));
  EXPECT_EQ(GetStartupEventsMap(), (StartupEventsMap{{"alpha", "/first"}}));
}

// A stop of alpha and a start of beta flushed against a damaged or busy
// database: each step logs, and each write is all or nothing.
TEST_F(MetricsStore, AFailedStepLogsAndLeavesItsTransactionUncommitted) {
  const std::string kRefuse = " BEGIN SELECT RAISE(ABORT, 'no'); END;";
  struct Case {
    std::string damage;  // SQL run before the flush
    const char *holder;  // SQL of a connection held over the flush
    const char *warnings[2], *metricsRows, *alphaStops;
  } cases[] = {
      {"DROP TABLE svcOpMetrics;",
       "",
       {"[InsertSvcsOpDataToDb] PrepareSQLStmt failed.\n"},
       "<error>",
       "1"},
      {"DROP TABLE svcSubEvents;",
       "",
       {"[ReadSvcSubStartupData] PrepareSQLStmt failed.\n"},
       "2",
       "1"},
      {"CREATE TRIGGER r BEFORE INSERT ON svcSubEvents" + kRefuse,
       "",
       {"[ReadSvcSubStartupData] Insert operation failed.\n"},
       "0",
       "1"},
      {"CREATE TRIGGER r BEFORE UPDATE ON svcOpCounts WHEN NEW.serviceName = 'beta'" + kRefuse,
       "",
       {"[PrepareAndBindSql] Update query for service beta failed.\n",
        "[UpdateSvcsOperationCount] Insertion of data failed.\n"},
       "2",
       "0"},
      {"",
       "BEGIN IMMEDIATE;",  // a writer: the insert fails at once, no busy wait
       {"[InsertSvcsOpDataToDb] Insert operation failed.\n",
        "[PrepareAndBindSql] Update query for service alpha failed.\n"},
       "0",
       "0"},
      {"",
       "BEGIN; SELECT COUNT(*) FROM svcOpCounts;",  // a reader: both commits fail
       {"[InsertSvcsOpDataToDb] SQLITE COMMIT failed.\n",
        "[UpdateSvcsOperationCount] SQLITE COMMIT failed.\n"},
       "0",
       "0"},
  };
  AddStartupEvents("beta", R"({"stages": [{"a": "x", "b": "1", "c": "DONE"}]})");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.damage + c.holder);
    TearDown();
    SetUp();
    Exec(c.damage);
    InitializeSvcOpCount({"alpha", "beta"}, root_.Sub("defs"));
    sqlite3 *holder = nullptr;
    ASSERT_EQ(sqlite3_open(TelemetryDatabasePath().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, c.holder, nullptr, nullptr, nullptr), SQLITE_OK);
    Run("alpha", "STOP", 1);
    Run("beta", "START", 1);
    UpdateSvcsOperationCount();
    sqlite3_close(holder);  // rolls its transaction back
    for (const char *warning : c.warnings) {
      EXPECT_TRUE(!warning || log_.Has(LOG_WARNING, warning)) << log_.Text();
    }
    EXPECT_EQ(Query("SELECT COUNT(*) FROM svcOpMetrics")[0][0], c.metricsRows);
    EXPECT_EQ(Query("SELECT stopOperationCount FROM svcOpCounts WHERE serviceName = 'alpha'"),
              (Rows{{c.alphaStops}}));
    EXPECT_TRUE(GetOpenOperationRecords().empty());
  }
}

TEST_F(MetricsStore, AMissingDatabaseIsLoggedAtEveryStepAndNeverCreated) {
  std::string path = TelemetryDatabasePath();
  unlink(path.c_str());
  InitializeSvcOpCount({"alpha"}, root_.Sub("defs"));
  Run("alpha", "START", 1);
  UpdateSvcsOperationCount();
  for (const char *step :
       {"InitializeSvcOpCount", "InsertSvcsOpDataToDb", "UpdateSvcsOperationCount"}) {
    EXPECT_TRUE(log_.Has(LOG_WARNING, std::string("[") + step + "] Database connection failed.\n"));
  }
  EXPECT_TRUE(log_.Has(LOG_INFO, "Can't open database connection at " + path +
                                     ", error unable to open database file\n"));
  EXPECT_FALSE(FileExists(path));
  EXPECT_FALSE(GetTelemetryContext().instanceId.empty());  // the rest of start-up still ran
}

}  // namespace
