// The periodic push end to end: the daemon side starts the real helper
// program, which posts over real HTTP to a server of the test on
// 127.0.0.1:15080; the helper's messages come back through the daemon's log.
#include "src/telemetry/TelemetryPush.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "lib/log/clock.h"
#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/process/ProcessTable.h"
#include "src/process/SysProcess.h"
#include "src/telemetry/MetricsStore.h"
#include "src/telemetry/TelemetryUpload.h"
#include "telemetry/AnalyticsServer.h"
#include "telemetry/TelemetryTestEnv.h"

namespace {

const char kInstanceCfg[] = "/etc/norvane-skyd/instance.cfg";
const char kSent[] = "Service operation metrics sent successfully.\n";
const char kSendError[] = "[PushDataToAnalytics] Error in sending the telemetry data.\n";
const int64_t kPushWaitUs = 10 * 1000 * 1000;

std::string HelperPath() {
  const char *buildDir = getenv("SENTRO_BUILD_DIR");
  if (buildDir != nullptr) {
    return std::string(buildDir) + "/" TELEMETRY_PUSH_PROGRAM_NAME;
  }
  // The test runs from <build>/tests.
  std::string self = DefaultTelemetryPushProgram();
  std::string dir = self.substr(0, self.rfind('/'));
  return dir.substr(0, dir.rfind('/') + 1) + TELEMETRY_PUSH_PROGRAM_NAME;
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
    WriteSysFile(kInstanceCfg, "instanceUuid=11111111-2222-4333-8444-555555555555\n");
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

  void AddMetricsRows(const std::string &id, int count) {
    for (int i = 0; i < count; ++i) {
      Exec(
          "INSERT INTO svcOpMetrics (operationID, operation, serviceName, operationStartTime, "
          "operationEndTime, timeForOperationInSec, serviceStatus, buildNumber, versionNumber) "
          "VALUES ('" +
          id + "', 'START', 'svc" + std::to_string(i) +
          "', '2026-01-01 00:00:00 UTC', '2026-01-01 00:00:01 UTC', '1', 'HEALTHY', '1', '2');");
    }
  }

  void AddSubEventRow(const std::string &id) {
    Exec(
        "INSERT INTO svcSubEvents (serviceName, operationID, subPhase, timeForCompletetionInSec, "
        "phaseStatus, buildNumber, versionNumber) VALUES ('web', '" +
        id + "', 'init', '0.5', 'COMPLETED', '1', '2');");
  }

  std::string Unsent(const char *table) {
    return QueryOne(std::string("SELECT COUNT(*) FROM ") + table + " WHERE sentToAnalytics=0");
  }

  // The index of the first header of that name, or -1.
  static int HeaderIndex(const ReceivedRequest &request, const std::string &name) {
    for (size_t i = 0; i < request.headers.size(); ++i) {
      if (strcasecmp(request.headers[i].first.c_str(), name.c_str()) == 0) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  std::string instanceId_;
};

TEST_F(TelemetryPushTest, PostsEachTableAndMarksItsRowsAfterTheExchange) {
  AnalyticsServer server(AnalyticsServer::Behaviour::Ok);
  ASSERT_TRUE(server.Ready());
  AddMetricsRows("op-1", 1);
  AddSubEventRow("op-1");
  PushAndWait();

  std::vector<ReceivedRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u) << log_.Text();
  const char *types[] = {"SENTRO_SERVICE_OPERATION_METRICS",
                         "SENTRO_SERVICE_STARTUP_EVENTS_METRICS"};
  for (size_t i = 0; i < requests.size(); ++i) {
    const ReceivedRequest &request = requests[i];
    EXPECT_EQ(request.requestLine, "POST /analytics/telemetry/ph/api/hyper/send?_c=SKLA.7_0_1&_i=" +
                                       instanceId_ + " HTTP/1.1");
    ASSERT_NE(request.Header("Content-Type"), nullptr);
    EXPECT_EQ(*request.Header("Content-Type"), "application/json; charset=utf-8");
    ASSERT_NE(request.Header("Cache-Control"), nullptr);
    EXPECT_EQ(*request.Header("Cache-Control"), "max-age=0, no-cache, no-store");
    ASSERT_NE(request.Header("Pragma"), nullptr);
    EXPECT_EQ(*request.Header("Pragma"), "no-cache");
    EXPECT_LT(HeaderIndex(request, "Content-Type"), HeaderIndex(request, "Cache-Control"));
    EXPECT_LT(HeaderIndex(request, "Cache-Control"), HeaderIndex(request, "Pragma"));
    EXPECT_EQ(request.Header("Expect"), nullptr);
    ASSERT_NE(request.Header("Content-Length"), nullptr);
    EXPECT_EQ(*request.Header("Content-Length"), std::to_string(request.body.size()));

    rapidjson::Document body;
    body.Parse(request.body.c_str());
    ASSERT_TRUE(body.IsArray()) << request.body;
    ASSERT_EQ(body.Size(), 1u);
    EXPECT_STREQ(body[0]["@type"].GetString(), types[i]);
    EXPECT_STREQ(body[0]["operationID"].GetString(), "op-1");
  }
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
  EXPECT_EQ(Unsent("svcSubEvents"), "0");
  // The helper's messages reach the daemon's log at their level.
  EXPECT_EQ(log_.Count(kSent), 2) << log_.Text();
  EXPECT_TRUE(log_.Has(LOG_INFO, kSent));
}

TEST_F(TelemetryPushTest, BodyIsThePayloadOfTheUnsentRows) {
  AnalyticsServer server(AnalyticsServer::Behaviour::Ok);
  ASSERT_TRUE(server.Ready());
  AddMetricsRows("op-1", 2);
  std::string payload;
  std::set<std::string> ids;
  ASSERT_TRUE(BuildTelemetryPayload(TelemetryDatabasePath(), kTelemetryTables[0].selectSql,
                                    kTelemetryTables[0].typeValue, &payload, &ids));
  PushAndWait();
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].body, payload);
}

TEST_F(TelemetryPushTest, TenRowsOfTwoOperationsGoInOneRequest) {
  AnalyticsServer server(AnalyticsServer::Behaviour::Ok);
  ASSERT_TRUE(server.Ready());
  AddMetricsRows("op-a", 6);
  AddMetricsRows("op-b", 4);
  PushAndWait();

  std::vector<ReceivedRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  rapidjson::Document body;
  body.Parse(requests[0].body.c_str());
  ASSERT_TRUE(body.IsArray());
  EXPECT_EQ(body.Size(), 10u);
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
}

TEST_F(TelemetryPushTest, ServerDownKeepsRowsForALaterPush) {
  AddMetricsRows("op-1", 1);
  AddSubEventRow("op-1");
  {
    AnalyticsServer down(AnalyticsServer::Behaviour::Down);
    ASSERT_TRUE(down.Ready());
    PushAndWait();
  }
  EXPECT_EQ(log_.Count(kSendError), 2) << log_.Text();
  EXPECT_TRUE(log_.Has(LOG_WARNING, kSendError));
  EXPECT_EQ(Unsent("svcOpMetrics"), "1");
  EXPECT_EQ(Unsent("svcSubEvents"), "1");

  AnalyticsServer server(AnalyticsServer::Behaviour::Ok);
  ASSERT_TRUE(server.Ready());
  PushAndWait();
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
  EXPECT_EQ(Unsent("svcSubEvents"), "0");
}

TEST_F(TelemetryPushTest, ServerSlowerThanOneSecondKeepsRowsAndSkipsOverlappingPush) {
  AnalyticsServer server(AnalyticsServer::Behaviour::Slow);
  ASSERT_TRUE(server.Ready());
  AddMetricsRows("op-1", 1);
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

TEST_F(TelemetryPushTest, ErrorStatusStillMarksRows) {
  AnalyticsServer server(AnalyticsServer::Behaviour::ServerError);
  ASSERT_TRUE(server.Ready());
  AddMetricsRows("op-1", 2);
  PushAndWait();
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_TRUE(log_.Has(LOG_INFO, kSent)) << log_.Text();
  EXPECT_EQ(Unsent("svcOpMetrics"), "0");
}

TEST_F(TelemetryPushTest, NoUnsentRowsMakesNoRequestAndLogsNothing) {
  AnalyticsServer server(AnalyticsServer::Behaviour::Ok);
  ASSERT_TRUE(server.Ready());
  AddMetricsRows("op-1", 1);
  Exec("UPDATE svcOpMetrics SET sentToAnalytics = 1;");
  log_.Clear();
  PushAndWait();
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(log_.TextWithoutLauncher(), "");
}

TEST_F(TelemetryPushTest, MissingDatabaseIsReportedThroughTheDaemonLog) {
  unlink(TelemetryDatabasePath().c_str());
  PushAndWait();
  EXPECT_EQ(log_.Count("[CreatePayloadAndSendToAnalytics] Database connection failed.\n"), 2)
      << log_.Text();
}

TEST_F(TelemetryPushTest, MissingHelperLogsAndStartsNothing) {
  std::string missing = root_.Sub("no-such-helper");
  SetTelemetryPushProgram(missing);
  PushTelemetry();
  EXPECT_FALSE(TelemetryPushRunning());
  EXPECT_TRUE(log_.Has(LOG_WARNING,
                       "[PushTelemetry] Telemetry push helper " + missing + " cannot be run.\n"));
}

TEST(TelemetryPushProgram, IsFoundBesideTheRunningExecutable) {
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  std::string exe(self, static_cast<size_t>(length));
  EXPECT_EQ(DefaultTelemetryPushProgram(),
            exe.substr(0, exe.rfind('/') + 1) + TELEMETRY_PUSH_PROGRAM_NAME);
}

}  // namespace
