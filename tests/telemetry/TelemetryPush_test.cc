// The periodic push end to end: the daemon side starts the real helper
// program, which posts over real HTTP to a server of the test on
// 127.0.0.1:15080; the helper's messages come back through the daemon's log.
#include "src/telemetry/TelemetryPush.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "lib/log/clock.h"
#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/process/ProcessTable.h"
#include "src/process/SysProcess.h"
#include "src/telemetry/MetricsStore.h"
#include "src/telemetry/TelemetryUpload.h"
#include "support/SandboxDaemon.h"
#include "telemetry/AnalyticsServer.h"
#include "telemetry/TelemetryTestEnv.h"

namespace {

const char kSent[] = "Service operation metrics sent successfully.\n";
const char kSendError[] = "[PushDataToAnalytics] Error in sending the telemetry data.\n";
const int64_t kPushWaitUs = 10 * 1000 * 1000;

std::string HelperPath() {
  return SandboxDaemon::BuildPath(TELEMETRY_PUSH_PROGRAM_NAME);
}

volatile uint8_t loopExit;
int64_t loopDeadline;

// Stands in for the daemon's SIGCHLD handling and ends the loop once the
// push is over (or the wait is).
void WatchPush(void *) {
  ReapChildren();
  if (!TelemetryPushRunning() || ClockMonotonicMicros() > loopDeadline) {
    loopExit = 1;
  }
}

class TelemetryPushTest : public TelemetryTest {
 protected:
  static void SetUpTestSuite() {
    PollInstallDefault();
    CreateProcessTable();
  }

  void SetUp() override {
    TelemetryTest::SetUp();
    SetTelemetryPushProgram(HelperPath());
    ASSERT_EQ(access(HelperPath().c_str(), X_OK), 0) << HelperPath() << " is not built";
    InitializeSvcOpCount({}, root_.path());
    instanceId_ = GetTelemetryContext().instanceId;
  }

  void TearDown() override {
    SetTelemetryPushProgram("");
    TelemetryTest::TearDown();
  }

  // Runs the event loop until the started push has finished.
  void WaitForPush() {
    loopExit = 0;
    loopDeadline = ClockMonotonicMicros() + kPushWaitUs;
    PollAddTimer(WatchPush, nullptr, 2000, true, nullptr);
    PollRunMain(true, &loopExit, POLL_CLASS_MAIN);
    PollRemoveTimer(WatchPush, nullptr, true);
    ASSERT_FALSE(TelemetryPushRunning()) << "the push did not finish";
  }

  void PushAndWait() {
    PushTelemetry();
    WaitForPush();
  }

  std::string instanceId_;
};

// A NULL column is sent as an empty string.
TEST_F(TelemetryPushTest, PostsEachTableAndMarksItsRowsAfterTheExchange) {
  AnalyticsServer server(AnalyticsServer::Behaviour::Ok);
  ASSERT_TRUE(server.Ready());
  Exec(MetricsRowSql("op-1", "web"));
  Exec(
      "INSERT INTO svcSubEvents (serviceName, operationID, subPhase) VALUES ('we\"b\\', 'op-1', "
      "'init');");
  const char *payloads[] = {
      "[{\"operationID\":\"op-1\",\"operation\":\"START\",\"serviceName\":\"web\","
      "\"operationStartTime\":\"2026-01-01 00:00:00 UTC\","
      "\"operationEndTime\":\"2026-01-01 00:00:02 UTC\",\"timeForOperationInSec\":\"2\","
      "\"serviceStatus\":\"HEALTHY\",\"buildNumber\":\"24322028\",\"versionNumber\":\"7.0.1\","
      "\"@type\":\"SENTRO_SERVICE_OPERATION_METRICS\"}]",
      "[{\"serviceName\":\"we\\\"b\\\\\",\"operationID\":\"op-1\",\"subPhase\":\"init\","
      "\"timeForCompletetionInSec\":\"\",\"phaseStatus\":\"\",\"buildNumber\":\"\","
      "\"versionNumber\":\"\",\"@type\":\"SENTRO_SERVICE_STARTUP_EVENTS_METRICS\"}]"};
  PushAndWait();

  std::vector<ReceivedRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u) << log_.Text();
  for (size_t i = 0; i < requests.size(); ++i) {
    const ReceivedRequest &request = requests[i];
    EXPECT_EQ(request.head.rfind("POST /analytics/telemetry/ph/api/hyper/send?_c=SKLA.7_0_1&_i=" +
                                     instanceId_ + " HTTP/1.1\r\n",
                                 0),
              0u)
        << request.head;
    EXPECT_NE(request.head.find("\r\nContent-Type: application/json; charset=utf-8\r\n"
                                "Cache-Control: max-age=0, no-cache, no-store\r\n"
                                "Pragma: no-cache\r\n"),
              std::string::npos)
        << request.head;
    EXPECT_EQ(request.head.find("Expect:"), std::string::npos) << request.head;
    EXPECT_NE(request.head.find("\r\nContent-Length: " + std::to_string(request.body.size())),
              std::string::npos);
    EXPECT_EQ(request.body, payloads[i]);
  }
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
  EXPECT_EQ(Unsent("svcSubEvents"), "0");
  // The helper's messages reach the daemon's log at their level.
  EXPECT_EQ(log_.Count(kSent), 2) << log_.Text();
  EXPECT_TRUE(log_.Has(LOG_INFO, kSent));
}

TEST_F(TelemetryPushTest, RowsStayUnsentUntilAnExchangeCompletesEvenWithAnErrorStatus) {
  Exec(MetricsRowSql("op-1", "web"));
  Exec("INSERT INTO svcSubEvents (serviceName, operationID) VALUES ('web', 'op-1');");
  {
    AnalyticsServer down(AnalyticsServer::Behaviour::Down);
    ASSERT_TRUE(down.Ready());
    PushAndWait();
  }
  EXPECT_EQ(log_.Count(kSendError), 2) << log_.Text();  // once per table
  EXPECT_TRUE(log_.Has(LOG_WARNING, kSendError));
  EXPECT_EQ(Unsent("svcOpMetrics"), "1");
  EXPECT_EQ(Unsent("svcSubEvents"), "1");

  AnalyticsServer server(AnalyticsServer::Behaviour::ServerError);
  ASSERT_TRUE(server.Ready());
  PushAndWait();
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(log_.Count(kSent), 2) << log_.Text();
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
  EXPECT_EQ(Unsent("svcSubEvents"), "0");
}

TEST_F(TelemetryPushTest, ServerSlowerThanOneSecondKeepsRowsAndSkipsOverlappingPush) {
  AnalyticsServer server(AnalyticsServer::Behaviour::Slow);
  ASSERT_TRUE(server.Ready());
  Exec(MetricsRowSql("op-1", "web"));
  PushTelemetry();
  PushTelemetry();  // while the first one runs
  WaitForPush();

  EXPECT_TRUE(log_.Has(LOG_WARNING,
                       "[PushTelemetry] The previous telemetry push is still running. Skipping.\n"))
      << log_.Text();
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_TRUE(log_.Has(LOG_WARNING, kSendError)) << log_.Text();
  // The server would have answered 200 after 1.5 s: the row stays unsent
  // only because the transfer gave up at its one-second limit.
  EXPECT_EQ(Unsent("svcOpMetrics"), "1");
}

TEST_F(TelemetryPushTest, NoUnsentRowsMakesNoRequestAndLogsNothing) {
  AnalyticsServer server(AnalyticsServer::Behaviour::Ok);
  ASSERT_TRUE(server.Ready());
  Exec(MetricsRowSql("op-1", "web"));
  Exec("UPDATE svcOpMetrics SET sentToAnalytics = 1;");
  log_.Clear();
  PushAndWait();
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(log_.TextWithoutLauncher(), "");
}

TEST_F(TelemetryPushTest, MissingHelperLogsAndStartsNothing) {
  std::string missing = root_.Sub("no-such-helper");
  SetTelemetryPushProgram(missing);
  PushTelemetry();
  EXPECT_FALSE(TelemetryPushRunning());
  EXPECT_TRUE(log_.Has(LOG_WARNING,
                       "[PushTelemetry] Telemetry push helper " + missing + " cannot be run.\n"));
}

}  // namespace
