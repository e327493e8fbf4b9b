// The telemetry push: one table's upload in-process, the helper's log
// records, the instance id, and the push by the running daemon over HTTP to
// a stand-in for the analytics service.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "lib/log/log.h"
#include "src/telemetry/InstanceId.h"
#include "src/telemetry/PushLogRecord.h"
#include "src/telemetry/TelemetryPush.h"
#include "src/telemetry/TelemetryUpload.h"
#include "support/SandboxDaemon.h"
#include "support/WaitUntil.h"
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

// The analytics port, 127.0.0.1:15080, listened on by the test itself (the
// port is the tests' RESOURCE_LOCK).
int ListenOnAnalyticsPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = {AF_INET, htons(ANALYTICS_PORT), {htonl(INADDR_LOOPBACK)}, {}};
  EXPECT_TRUE(WaitUntil(
      [&] { return bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0; }));
  EXPECT_EQ(listen(fd, 8), 0);
  return fd;
}

bool Readable(int fd, int ms) {
  struct pollfd entry = {fd, POLLIN, 0};
  return poll(&entry, 1, ms) > 0;
}

// The next connection within ten seconds and its whole request, by its
// Content-Length; -1 when none came.
int AcceptRequest(int listener, std::string *request) {
  int connection =
      Readable(listener, 10000) ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  char buffer[4096];
  size_t head = std::string::npos, length = 0;
  request->clear();
  for (ssize_t n = 1;
       n > 0 && (head == std::string::npos || request->size() < head + 4 + length);) {
    n = Readable(connection, 3000) ? read(connection, buffer, sizeof buffer) : 0;
    request->append(buffer, std::max<ssize_t>(n, 0));
    head = request->find("\r\n\r\n");
    size_t field = request->find("\r\nContent-Length: ");
    length = field < head ? std::stoul(request->substr(field + 18)) : 0;
  }
  return connection;
}

// Answers a connection's request with a 500 after delayMs, then waits for
// the client to close first: no TIME_WAIT on the port.
void Answer(int connection, int delayMs) {
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  std::string answer = "HTTP/1.1 500 X\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
  (void)!send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);  // late: may be refused
  Readable(connection, 3000);
  close(connection);
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
  WriteFile(daemon.Root("svc.sh"), "#!/bin/sh\nexec sleep 100\n");
  chmod(daemon.Root("svc.sh").c_str(), 0755);
  daemon.WriteService("web.json", R"({"Name": "web", "StartupType": "MANUAL", "StartCommand": ")" +
                                      daemon.Root("svc.sh") + "\"}");
  daemon.SetEnv("SENTRO_TELEMETRY_PUSH_SECS=1");
  MakeDirs(daemon.sysroot() + "/etc/norvane-skyd");
  WriteFile(daemon.sysroot() + "/etc/norvane-skyd/instance.cfg", "instanceUuid=sandbox\n");
  int listener = ListenOnAnalyticsPort();
  daemon.Start();
  // Nothing unsent yet: the period passes without a helper or a message.
  ASSERT_TRUE(daemon.WaitForLog("Processing service operation metrics from Sentro database"))
      << daemon.LogText();
  EXPECT_EQ(daemon.LogText().find(TELEMETRY_PUSH_PROGRAM_NAME), std::string::npos);
  CallTarget target{daemon.dataDir() + "/sentroserver",
                    std::chrono::steady_clock::now() + std::chrono::seconds(10)};
  CallOutcome start = CallForResult(target, {.type = MessageType::StartSvcReq, .name = "web"});
  ASSERT_TRUE(start.succeeded()) << start.detail << start.code << daemon.LogText();
  std::string db = daemon.sysroot() + "/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db";
  // The first exchange is answered after the helper's 1 s time-out.
  std::string request;
  Answer(AcceptRequest(listener, &request), 1100);
  ASSERT_TRUE(daemon.WaitForLog("[PushDataToAnalytics] Error in sending the telemetry data."))
      << daemon.LogText();
  EXPECT_EQ(Sql(db, "SELECT COUNT(*) FROM svcOpMetrics WHERE sentToAnalytics = 0"), (Rows{{"1"}}));
  Answer(AcceptRequest(listener, &request), 0);
  close(listener);
  ASSERT_TRUE(daemon.WaitForLog("Service operation metrics sent successfully."))
      << daemon.LogText();
  EXPECT_TRUE(WaitUntil([&] {  // marked right after the exchange the message reports
    return Sql(db, "SELECT COUNT(*) FROM svcOpMetrics WHERE sentToAnalytics = 0")[0][0] == "0";
  }));
  std::string maps = ReadFile("/proc/" + std::to_string(daemon.pid()) + "/maps");
  for (const char *library : {"libcurl", "libssl", "libcrypto"}) {
    EXPECT_EQ(maps.find(library), std::string::npos) << library;
  }
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
