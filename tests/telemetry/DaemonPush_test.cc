// The periodic push in the running daemon: a control request flushes the
// start's record into the real database, the push timer (shortened through
// the sandbox's SENTRO_TELEMETRY_PUSH_SECS) sends it to the test's analytics
// server, and the daemon still maps neither libcurl nor OpenSSL afterwards.
// The shutdown's stop batch is recorded too, and installing the database
// again keeps its rows.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "support/SandboxDaemon.h"
#include "telemetry/AnalyticsServer.h"
#include "telemetry/TelemetryTestEnv.h"
#include "tools/sentroctl/ControlCalls.h"

namespace {

using std::chrono::seconds;

const char kDatabase[] = "/etc/norvane/norvane-sentro/telemetry/db/SentroTelemetry.db";
const char kSent[] = "Service operation metrics sent successfully.";

std::string QueryOne(const std::string &path, const char *sql) {
  Rows rows = QueryDb(path, sql);
  return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "<error>";
}

// Polls condition for up to ten seconds.
template <typename Condition>
bool Eventually(Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    usleep(20 * 1000);
  }
  return true;
}

class DaemonPush : public ::testing::Test {
 protected:
  void SetUp() override {
    install_ =
        SourceDir() + "/scripts/install-telemetry-db.sh '" + daemon_.sysroot() + "' >/dev/null";
    ASSERT_EQ(system(install_.c_str()), 0);
    std::string script = daemon_.Root("svc.sh");
    WriteFile(script, "#!/bin/sh\ntrap 'exit 0' TERM\nwhile :; do sleep 0.05; done\n");
    chmod(script.c_str(), 0755);
    daemon_.WriteConfig("{\"EnableLivenessCheck\": false}");
    daemon_.WriteService("web.json",
                         "{\"Name\": \"web\", \"StartupType\": \"MANUAL\", "
                         "\"StartCommand\": \"" +
                             script + "\"}");
    daemon_.SetEnv("SENTRO_TELEMETRY_PUSH_SECS=1");
  }

  // Starts "web" over the control socket; the result reply flushes the
  // start's record into the database.
  void StartWeb() {
    RequestMessage request;
    request.type = MessageType::StartSvcReq;
    request.name = "web";
    CallTarget target{daemon_.dataDir() + "/sentroserver",
                      std::chrono::steady_clock::now() + seconds(10)};
    CallOutcome outcome = CallForResult(target, request);
    ASSERT_TRUE(outcome.succeeded()) << outcome.detail << " code " << outcome.code;
  }

  std::string Maps() const { return ReadFile("/proc/" + std::to_string(daemon_.pid()) + "/maps"); }

  SandboxDaemon daemon_;
  std::string install_;
};

TEST_F(DaemonPush, SendsFlushedRecordsAndMarksThemWithoutMappingCurl) {
  AnalyticsServer server(AnalyticsServer::Behaviour::Ok);
  ASSERT_TRUE(server.Ready());
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Sentro service is running in")) << daemon_.LogText();
  StartWeb();
  std::string database = daemon_.sysroot() + kDatabase;
  EXPECT_EQ(QueryOne(database, "SELECT count(*) FROM svcOpMetrics WHERE serviceName='web'"), "1");

  ASSERT_TRUE(daemon_.WaitForLog(kSent)) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("Processing service operation metrics from Sentro database"));
  std::vector<ReceivedRequest> requests = server.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(requests[0].body.find("\"serviceName\":\"web\""), std::string::npos)
      << requests[0].body;
  // The rows are marked right after the exchange that the message reports.
  EXPECT_TRUE(Eventually([&] {
    return QueryOne(database, "SELECT count(*) FROM svcOpMetrics WHERE sentToAnalytics='0'") == "0";
  }));

  std::string maps = Maps();
  ASSERT_FALSE(maps.empty());
  EXPECT_EQ(maps.find("libcurl"), std::string::npos);
  EXPECT_EQ(maps.find("libssl"), std::string::npos);
  EXPECT_EQ(maps.find("libcrypto"), std::string::npos);
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
  // Against the counter row made for every registered service at start-up.
  EXPECT_EQ(QueryOne(database, "SELECT operation FROM svcOpMetrics WHERE sentToAnalytics='0'"),
            "BATCH-STOP");
  EXPECT_EQ(QueryOne(database, "SELECT stopOperationCount FROM svcOpCounts"), "1");
}

TEST_F(DaemonPush, UnreachableAnalyticsKeepsTheRowsAndTheDaemonServing) {
  AnalyticsServer server(AnalyticsServer::Behaviour::Down);
  ASSERT_TRUE(server.Ready());
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Sentro service is running in")) << daemon_.LogText();
  StartWeb();
  ASSERT_TRUE(daemon_.WaitForLog("[PushDataToAnalytics] Error in sending the telemetry data."))
      << daemon_.LogText();
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
  // Installing again, as an upgrade would, keeps them as well.
  ASSERT_EQ(system(install_.c_str()), 0);
  EXPECT_EQ(QueryOne(daemon_.sysroot() + kDatabase,
                     "SELECT count(*) FROM svcOpMetrics WHERE sentToAnalytics='0' AND "
                     "operation='START'"),
            "1");
}

TEST(DaemonPushPeriod, MalformedValueIsIgnoredWithAWarning) {
  SandboxDaemon daemon;
  daemon.WriteConfig("{\"EnableLivenessCheck\": false}");
  daemon.SetEnv("SENTRO_TELEMETRY_PUSH_SECS=soon");
  daemon.Start();
  ASSERT_TRUE(daemon.WaitForLog("Ignoring SENTRO_TELEMETRY_PUSH_SECS=soon.")) << daemon.LogText();
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
}

}  // namespace
