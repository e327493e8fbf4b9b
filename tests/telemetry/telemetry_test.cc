// Telemetry: the metrics store on a real database in a sysroot, the upload,
// the helper's log records, the instance id, and the running daemon's push.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "lib/log/log.h"
#include "src/core/SysPaths.h"
#include "src/telemetry/InstanceId.h"
#include "src/telemetry/MetricsStore.h"
#include "src/telemetry/PushLogRecord.h"
#include "src/telemetry/TelemetryPush.h"
#include "src/telemetry/TelemetryUpload.h"
#include "support/LogCapture.h"
#include "support/SandboxDaemon.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"
#include "tools/sentroctl/ControlCalls.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

#define TEST_EPOCH 1767225600.0  // 2026-01-01 00:00:00 UTC

// The rows of sql on the database at path, NULL as "<null>"; {{"<error>"}} on failure.
Rows Sql(const std::string &path, const std::string &sql) {
  sqlite3 *db = nullptr;
  Rows out;
  auto addRow = [](void *rows, int columns, char **cells, char **) {
    auto &row = static_cast<Rows *>(rows)->emplace_back();
    for (int i = 0; i < columns; i++) row.push_back(cells[i] != nullptr ? cells[i] : "<null>");
    return 0;
  };
  bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_busy_timeout(db, 2000) == SQLITE_OK &&
            sqlite3_exec(db, sql.c_str(), addRow, &out, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok ? out : Rows{{"<error>"}};
}

// An unsent svcOpMetrics row: a START of service in operation id.
std::string MetricsRowSql(const std::string &id, const std::string &service) {
  return "INSERT INTO svcOpMetrics VALUES ('" + id + "', 'START', '" + service +
         "', 'a', 'b', '2', 'HEALTHY', '24322028', '7.0.1', 0);";
}

const char kUpdateConf[] = "/etc/keelbase/appliance/update.conf";

std::vector<std::string> posts;
sqlite3 *other = nullptr;  // a second connection that acts during the transfer
std::string duringTransfer;

bool RecordPost(const std::string &, const std::string &payload) {
  posts.push_back(payload);
  std::string sql = std::exchange(duringTransfer, "");  // during the first transfer only
  return sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A sysroot with the database and update.conf, TZ=UTC, an empty store whose
// wall clock reads now_; uploads go to RecordPost.
class TelemetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setenv("SENTRO_SYSROOT", root_.path().c_str(), 1);
    SysrootReset();
    SetMetricsWallClock([] { return now_; });
    now_ = TEST_EPOCH;
    std::string path = TelemetryDatabasePath();
    MakeDirs(path.substr(0, path.rfind('/')));
    WriteFile(path, "");
    Exec(ReadFile(std::string(SENTRO_SOURCE_DIR) + "/share/telemetry-schema.sql"));
    ResetMetricsStoreForTest();
    MakeDirs(root_.Sub("defs"));
    WriteSysFile(kUpdateConf, R"({"build": "24322028", "version": "7.0.1"})");
    posts.clear();
    setup_ = {path, AnalyticsUrl("42"), RecordPost};
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    log_.Clear();
  }
  void TearDown() override {
    sqlite3_close(other);
    ResetMetricsStoreForTest();
    SetMetricsWallClock(nullptr);
    unsetenv("SENTRO_SYSROOT");
    SysrootReset();
  }

  void Exec(const std::string &sql) { EXPECT_NE(Query(sql), Rows{{"<error>"}}) << sql; }
  Rows Query(const std::string &sql) { return Sql(TelemetryDatabasePath(), sql); }
  void WriteSysFile(const std::string &systemPath, const std::string &content) {
    std::string path = SysPath(systemPath.c_str());
    MakeDirs(path.substr(0, path.rfind('/')));
    WriteFile(path, content);
  }

  // Names the startup-events file of a service in a definition file.
  void AddStartupEvents(const std::string &service, const std::string &events) {
    std::string file = root_.Write(service + "-events", events);
    root_.Write("defs/" + service + ".json",
                R"({"Name": ")" + service + R"(", "ServiceStartupEventsFile": ")" + file + "\"}");
  }
  void Run(const std::string &service, const char *operation, double seconds) {
    BeginOperation(service, operation, "UNHEALTHY", "PENDING");
    now_ = TEST_EPOCH + seconds;
    EndOperation(service, "HEALTHY", "COMPLETED");
  }

  static inline double now_ = TEST_EPOCH;
  TelemetryPushSetup setup_;
  TempDir root_;
  LogCapture log_;
};

using MetricsStore = TelemetryTest;

TEST_F(MetricsStore, AFlushWritesEndedRecordsUnderOneIdAndCountsEveryRecord) {
  setenv("TZ", "CET-1", 1);  // times are local
  tzset();
  InitializeSvcOpCount({"alpha", "beta", "gamma", "delta"}, root_.Sub("defs"));
  now_ = TEST_EPOCH + 0.9;
  for (const char *name : {"gamma", "alpha", "delta"})
    BeginOperation(name, "BATCH-START", "UNHEALTHY", "PENDING");
  BeginOperation("alpha", "START", "HEALTHY", "PENDING");   // the batch's record stays
  BeginOperation("beta", "RESTART", "HEALTHY", "PENDING");  // still running at the flush
  now_ = TEST_EPOCH + 3.8;                                  // 2.9 s: the fraction is dropped
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
  EXPECT_EQ(
      Query("SELECT serviceName || startOperationCount || stopOperationCount || "
            "restartOperationCount FROM svcOpCounts ORDER BY serviceName"),
      (Rows{{"alpha100"}, {"beta001"}, {"delta000"}, {"gamma100"}}));  // starts, stops, restarts
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
}

TEST_F(MetricsStore, StartsRecordTheStagesOfTheFirstDeclaredStartupEventsFileAsText) {
  AddStartupEvents("alpha", R"({"stages": [{"name": "load", "time": "0.5", "status": "DONE"},
      "not an object", {"p": "warm", "t": 1.5}, {"a": true, "b": null, "c": {"k": [1]}, "d": 0}]})");
  AddStartupEvents("gamma", R"({"stages": [{"a": "x", "b": "1", "c": "DONE"}]})");
  AddStartupEvents("omega", R"({"stages": [)");
  WriteFile(root_.Sub("defs/alpha2"), R"({"Name": "alpha", "ServiceStartupEventsFile": "/2"})");
  ASSERT_EQ(mkfifo(root_.Sub("defs/fifo").c_str(), 0600), 0);  // the scan must not block
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

// A stop and a start flushed against a damaged, busy or missing database: each
// step logs, each write is all or nothing, a missing database is not created.
TEST_F(MetricsStore, AFailedStepLogsAndLeavesItsTransactionUncommitted) {
  const std::string kRefuse = " BEGIN SELECT RAISE(ABORT, 'no'); END;";
  struct Case {
    std::string damage;  // SQL run before the flush
    const char *holder;  // SQL of the other connection, held over the flush
    const char *metricsRows, *alphaStops, *warning, *otherWarning = nullptr;
  } cases[] = {
      {"DROP TABLE svcOpMetrics;", "", "<error>", "1",
       "[InsertSvcsOpDataToDb] PrepareSQLStmt failed.\n"},
      {"DROP TABLE svcSubEvents;", "", "2", "1",
       "[ReadSvcSubStartupData] PrepareSQLStmt failed.\n"},
      {"CREATE TRIGGER r BEFORE INSERT ON svcSubEvents" + kRefuse, "", "0", "1",
       "[ReadSvcSubStartupData] Insert operation failed.\n"},
      {"CREATE TRIGGER r BEFORE UPDATE ON svcOpCounts WHEN NEW.serviceName = 'beta'" + kRefuse, "",
       "2", "0", "[PrepareAndBindSql] Update query for service beta failed.\n",
       "[UpdateSvcsOperationCount] Insertion of data failed.\n"},
      {"", "BEGIN IMMEDIATE;", "0", "0",  // a writer: the insert fails at once, no busy wait
       "[InsertSvcsOpDataToDb] Insert operation failed.\n",
       "[PrepareAndBindSql] Update query for service alpha failed.\n"},
      {"unlink", "", "<error>", "<error>", "[InsertSvcsOpDataToDb] Database connection failed.\n",
       "[UpdateSvcsOperationCount] Database connection failed.\n"},
      {"", "BEGIN; SELECT COUNT(*) FROM svcOpCounts;", "0", "0",  // a reader: both commits fail
       "[InsertSvcsOpDataToDb] SQLITE COMMIT failed.\n",
       "[UpdateSvcsOperationCount] SQLITE COMMIT failed.\n"},
  };
  AddStartupEvents("beta", R"({"stages": [{"a": "x", "b": "1", "c": "DONE"}]})");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.damage + c.holder);
    TearDown();
    SetUp();
    c.damage == "unlink" ? (void)unlink(TelemetryDatabasePath().c_str()) : Exec(c.damage);
    InitializeSvcOpCount({"alpha", "beta"}, root_.Sub("defs"));
    ASSERT_EQ(sqlite3_exec(other, c.holder, nullptr, nullptr, nullptr), SQLITE_OK);
    Run("alpha", "STOP", 1);
    Run("beta", "START", 1);
    UpdateSvcsOperationCount();
    sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr);
    for (const char *warning : {c.warning, c.otherWarning})
      EXPECT_TRUE(!warning || log_.Has(LOG_WARNING, warning)) << log_.Text();
    EXPECT_EQ(Query("SELECT COUNT(*) FROM svcOpMetrics")[0][0], c.metricsRows);
    EXPECT_EQ(Query("SELECT stopOperationCount FROM svcOpCounts WHERE serviceName = 'alpha'"),
              (Rows{{c.alphaStops}}));
    EXPECT_TRUE(GetOpenOperationRecords().empty());
    EXPECT_EQ(FileExists(TelemetryDatabasePath()), c.damage != "unlink");
  }
}

using Upload = TelemetryTest;

TEST_F(Upload, UnsentRowsGoInOneRequestPerTableAndAreMarkedByOperation) {
  for (int i = 0; i < 10; ++i)
    Exec(MetricsRowSql(i < 4 ? "op-b" : "op-a", "svc" + std::to_string(i)));
  Exec(
      "INSERT INTO svcSubEvents (serviceName, operationID, subPhase) VALUES ('w\"', 'op-b', 'x');");
  duringTransfer = MetricsRowSql("op-a", "late");  // marked with its operation
  PushAllTelemetryTables(setup_);
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_TRUE(posts[0].starts_with(
      "[{\"operationID\":\"op-b\",\"operation\":\"START\",\"serviceName\":\"svc0\","
      "\"operationStartTime\":\"a\",\"operationEndTime\":\"b\",\"timeForOperationInSec\":\"2\","
      "\"serviceStatus\":\"HEALTHY\",\"buildNumber\":\"24322028\",\"versionNumber\":\"7.0.1\","
      "\"@type\":\"SENTRO_SERVICE_OPERATION_METRICS\"},{"))
      << posts[0];
  EXPECT_EQ(std::count(posts[0].begin(), posts[0].end(), '@'), 10);
  EXPECT_EQ(posts[1],  // a NULL column is sent as an empty string
            "[{\"serviceName\":\"w\\\"\",\"operationID\":\"op-b\",\"subPhase\":\"x\","
            "\"timeForCompletetionInSec\":\"\",\"phaseStatus\":\"\",\"buildNumber\":\"\","
            "\"versionNumber\":\"\",\"@type\":\"SENTRO_SERVICE_STARTUP_EVENTS_METRICS\"}]");
  EXPECT_EQ(Query("SELECT (SELECT COUNT(*) FROM svcOpMetrics WHERE sentToAnalytics = 0) + "
                  "(SELECT COUNT(*) FROM svcSubEvents WHERE sentToAnalytics = 0)"),
            Rows{{"0"}});
  PushAllTelemetryTables(setup_);
  EXPECT_EQ(posts.size(), 2u) << "nothing unsent: no request";
}

TEST(PushLogRecord, RecordsSurviveAnySplitOfTheStreamAndAnImpossibleLengthStopsIt) {
  std::string stream, text;
  EncodePushLogRecord(LOG_WARNING, "[A] one.\n", 9, &stream);
  EncodePushLogRecord(LOG_INFO, "", 0, &stream);
  int level;
  for (size_t split = 0; split <= stream.size(); ++split) {
    PushLogDecoder decoder;
    std::string got;
    for (const std::string &part : {stream.substr(0, split), stream.substr(split)}) {
      decoder.Feed(part.data(), part.size());
      while (decoder.Next(&level, &text)) got += std::to_string(level) + ":" + text + "|";
    }
    EXPECT_EQ(got, "3:[A] one.\n|5:|") << split;
  }
  PushLogDecoder corrupt;
  corrupt.Feed(std::string(8, '\xff').data(), 8);
  EXPECT_FALSE(corrupt.Next(&level, &text) || !corrupt.Corrupt());
}

TEST_F(Upload, TheInstanceIdHashesTheIdentityOfTheDeploymentKind) {
  const std::pair<const char *, uint64_t> kHashes[] = {{"", 6142509188972423790u},
                                                       {"a", 4993892634952068459u},
                                                       {"abcdefgh", 8664279048047335611u},
                                                       {"instance-1234567", 17287259548130544879u}};
  for (const auto &[text, hash] : kHashes)
    EXPECT_EQ(MurmurHash64A(text, strlen(text), 0xc70f6907), hash) << text;
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
}

bool Readable(int fd, int ms) {
  struct pollfd entry = {fd, POLLIN, 0};
  return poll(&entry, 1, ms) > 0;
}

// The next request, whole by its Content-Length, answered with a 500 after
// delayMs; the client closes first (no TIME_WAIT on the port).
std::string Exchange(int listener, int delayMs) {
  int connection =
      Readable(listener, 10000) ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  std::string request;
  char buffer[4096];
  size_t head = std::string::npos, length = 0;
  for (ssize_t n = 1; n > 0 && (head == std::string::npos || request.size() < head + 4 + length);) {
    n = Readable(connection, 3000) ? read(connection, buffer, sizeof buffer) : 0;
    request.append(buffer, std::max<ssize_t>(n, 0));
    head = request.find("\r\n\r\n");
    size_t field = request.find("\r\nContent-Length: ");
    length = field < head ? std::stoul(request.substr(field + 18)) : 0;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  std::string answer = "HTTP/1.1 500 X\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
  (void)!send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);  // late: may be refused
  Readable(connection, 3000);
  close(connection);
  return request;
}

// The daemon records a control request's start and the push timer (shortened
// in the sandbox) has the helper post it: an exchange that times out keeps
// the rows for the next period, whose exchange marks them whatever its
// status. The daemon never maps libcurl or OpenSSL, nor logs the instance id.
TEST(DaemonPush, RecordsAreKeptWhenTheExchangeFailsAndMarkedOnceItCompletes) {
  SandboxDaemon daemon;
  std::string install = std::string(SENTRO_SOURCE_DIR) + "/scripts/install-telemetry-db.sh '";
  ASSERT_EQ(system((install + daemon.sysroot() + "' >/dev/null").c_str()), 0);
  daemon.WriteConfig(R"({"EnableLivenessCheck": false})");
  daemon.WriteService("web.json", R"({"Name": "web", "StartupType": "MANUAL",
      "StartCommand": "/bin/sleep", "StartCommandArgs": ["100"]})");
  daemon.SetEnv("SENTRO_TELEMETRY_PUSH_SECS=1");
  MakeDirs(daemon.sysroot() + "/etc/norvane-skyd");
  WriteFile(daemon.sysroot() + "/etc/norvane-skyd/instance.cfg", "instanceUuid=sandbox\n");
  // 127.0.0.1:15080, the analytics port (the tests' RESOURCE_LOCK).
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = {AF_INET, htons(ANALYTICS_PORT), {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_TRUE(WaitUntil(
      [&] { return bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0; }));
  ASSERT_EQ(listen(listener, 8), 0);
  daemon.Start();
  ASSERT_TRUE(daemon.WaitForLog("Processing service operation metrics from Sentro database"));
  EXPECT_EQ(daemon.LogText().find(TELEMETRY_PUSH_PROGRAM_NAME), std::string::npos);  // no rows
  CallOutcome start = CallForResult({daemon.dataDir() + "/sentroserver",
                                     std::chrono::steady_clock::now() + std::chrono::seconds(10)},
                                    {.type = MessageType::StartSvcReq, .name = "web"});
  ASSERT_TRUE(start.succeeded()) << start.detail << start.code << daemon.LogText();
  std::string db = daemon.sysroot() + "/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db";
  auto unsent = [&] {
    return Sql(db, "SELECT COUNT(*) FROM svcOpMetrics WHERE sentToAnalytics = 0");
  };
  // The first exchange is answered after the helper's 1 s time-out.
  Exchange(listener, 1100);
  ASSERT_TRUE(daemon.WaitForLog("[PushDataToAnalytics] Error in sending the telemetry data."))
      << daemon.LogText();
  EXPECT_EQ(unsent(), (Rows{{"1"}}));
  std::string request = Exchange(listener, 0);
  close(listener);
  ASSERT_TRUE(daemon.WaitForLog("Service operation metrics sent successfully."))
      << daemon.LogText();
  EXPECT_TRUE(WaitUntil([&] { return unsent() == Rows{{"0"}}; }));  // marked right after
  std::string maps = ReadFile("/proc/" + std::to_string(daemon.pid()) + "/maps");
  for (const char *library : {"libcurl", "libssl", "libcrypto"})
    EXPECT_EQ(maps.find(library), std::string::npos) << library;
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
  std::string instanceId = std::to_string(MurmurHash64A("sandbox", 7, 0xc70f6907));
  EXPECT_EQ(daemon.LogText().find(instanceId), std::string::npos) << daemon.LogText();
  EXPECT_EQ(Sql(db, "SELECT operation, sentToAnalytics FROM svcOpMetrics ORDER BY rowid"),
            (Rows{{"START", "1"}, {"BATCH-STOP", "0"}}));
  EXPECT_EQ(request.substr(0, request.find("\r\n") + 2),
            "POST /analytics/telemetry/ph/api/hyper/send?_c=SKLA.7_0_1&_i=" + instanceId +
                " HTTP/1.1\r\n");
  EXPECT_NE(request.find("\r\nContent-Type: application/json; charset=utf-8\r\nCache-Control: "
                         "max-age=0, no-cache, no-store\r\nPragma: no-cache\r\n"),
            std::string::npos)
      << request;
  EXPECT_NE(request.find("\"serviceName\":\"web\""), std::string::npos) << request;
}

}  // namespace
