// Recovery of failing services: the action a failure counter picks, restarts
// with their quick-failure limit, system restart and failover, the outcome of
// explicit health checks and live core dumps.
#include <climits>

#include "service/ServiceFixture.h"
#include "src/service/ServiceRecovery.h"

namespace {

using Actions = RecoveryActionList;
const RecoveryAction kNo = RecoveryAction::NoAction, kRestart = RecoveryAction::RestartService,
                     kSystem = RecoveryAction::RestartSystem,
                     kFailover = RecoveryAction::HaFailover;

TEST_F(ServiceTest, CounterPicksTheEntryTheLastOneRepeatsAndTheCounterSaturates) {
  auto service = Started("c");
  const struct {
    Actions actions;
    int32_t counter, after;
    size_t restarts, failovers;
  } cases[] = {{{kNo, kSystem, kFailover}, 0, 1, 0, 0},
               {{kNo, kSystem, kFailover}, 1, 2, 1, 0},
               {{kNo, kSystem, kFailover}, 7, 8, 0, 1},
               {{kFailover}, INT_MAX, INT_MAX, 0, 1},
               {{}, 0, 1, 0, 0}};
  for (const auto &c : cases) {
    env_.Clear();
    clock_.AdvanceMs(5);
    int32_t counter = c.counter;
    TakeRecoveryAction(service.get(), c.actions, &counter);
    EXPECT_EQ(counter, c.after);
    EXPECT_EQ(env_.restarts.size(), c.restarts);
    EXPECT_EQ(env_.failoverPaths.size(), c.failovers);
    EXPECT_EQ(service->lastRecoveryMs(), static_cast<uint64_t>(clock_.NowMicros() / 1000));
  }
  env_.failoverStarts = false;
  TakeRecoveryAction(service.get(), {kFailover}, &service->failCounters().processCrash);
  EXPECT_EQ(env_.failoverPaths.back(), dataDir_ + "/duolistener");
  EXPECT_TRUE(log_.Has(LOG_ERROR, "<c> Failed to send duo failover request for service.\n"));
  EXPECT_EQ(env_.systemFailures, (std::vector<std::string>{"c"}));
}

TEST_F(ServiceTest, RestartThatKeepsFailingGivesUpAfterTheQuickFailureLimit) {
  UseConfig(R"({"MaxServiceQuickRecoveryCount": 2})");
  auto service = Started("flaky");
  Main("flaky")->Exit(1);
  AdvanceMs(1000);  // this recovery restart succeeds, and is published as unsolicited
  EXPECT_TRUE(env_.published.back().unsolicited);
  for (int exit = 0; exit < 3; exit++) {  // the crash, then two failed restarts
    Main("flaky")->Exit(1);
    EXPECT_TRUE(env_.systemFailures.empty());
    EXPECT_TRUE(service->IsRecoveryRestart());
  }
  EXPECT_TRUE(
      log_.Has(LOG_WARNING, "<flaky> Service failed to recover. Try again. Fail count 2\n"));
  Main("flaky")->Exit(1);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "<flaky> Service reached max quick failure count. Give up!!!\n"));
  EXPECT_EQ(env_.systemFailures, (std::vector<std::string>{"flaky"}));
  EXPECT_EQ(Main("flaky")->startCount, 5);
  auto off = Make("off", R"("StartupType": "DISABLED")");
  TakeRecoveryAction(off.get(), {kRestart}, &off->failCounters().processCrash);
  EXPECT_EQ(off->quickFailCount(), 3);  // every attempt answers Disabled
  EXPECT_EQ(env_.systemFailures.back(), "off");
}

TEST_F(ServiceTest, ExplicitHealthCheckOutcomeDecidesTheFollowUp) {
  const ServiceState kStarted = ServiceState::Started, kStopping = ServiceState::Stopping;
  const struct {
    int exitCode, failsBefore;
    const char *config;
    bool timedOut, systemFailure;
    ServiceState state;
    std::string message;
  } cases[] = {
      // clang-format off
      {0,  0, "{}", false, false, kStarted,  ""},
      {64, 0, "{}", false, false, kStarted,  ""},
      {65, 0, "{}", false, false, kStarted,  "<x> Recover from service api health check failure. Fail count 0\n"},
      {65, 1, "{}", false, false, kStopping, "<x> Restarting service.\n"},
      {65, 0, R"({"RecoverOnServiceHealthFail": false})", false, false, kStarted, "<x> Recovery action on service health fail is disabled.\n"},
      {63, 0, "{}", false, true,  kStarted,  "<x> Service api healthcheck command returned unknown exit code 63\n"},
      {0,  0, "{}", true,  true,  kStarted,  "<x> health state unknown ,considered as system failure\n"},
      // clang-format on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    UseConfig(c.config);
    auto service = Started("x", R"("ApiHealthCommand": "/bin/probe")");
    service->failCounters().apiHealthFail = c.failsBefore;
    Done check;
    RunHealthCheck(service.get(), Done::Record, &check);
    Health("x")->Exit(c.exitCode, c.timedOut);
    EXPECT_EQ(check.results, Results{c.timedOut ? TimedOut : Ok});
    EXPECT_EQ(env_.systemFailures.size(), c.systemFailure ? 1u : 0u);
    EXPECT_EQ(service->state(), c.state);
    EXPECT_TRUE(c.message.empty() || Logged(c.message));
    Main("x")->Exit(0);
  }
}

void LiveCoreDone(ServiceResult result, Service *, const std::string &path, void *context) {
  static_cast<std::vector<std::string> *>(context)->push_back(std::to_string(result) + path);
}

TEST_F(ServiceTest, LiveCoreRunsOneAtATimeAndPausesHealthRecovery) {
  auto service = Started("lc", R"("ApiHealthCommand": "/bin/probe")");
  std::vector<std::string> dumps;
  TakeLiveCore(service.get(), LiveCoreDone, &dumps);
  TakeLiveCore(service.get(), LiveCoreDone, &dumps);
  FakeSysProcess *gcore = FindFake("lc-live-core");
  EXPECT_EQ(gcore->args.back(), std::to_string(Main("lc")->pid));
  Done check;
  RunHealthCheck(service.get(), Done::Record, &check);
  Health("lc")->Exit(65);
  EXPECT_TRUE(log_.Has(LOG_WARNING, "<lc> Service  process paused. No recovery action taken.\n"));
  RunHealthCheck(service.get(), Done::Record, &check);
  std::string corePath = gcore->args[1] + "." + gcore->args[2];
  gcore->Exit(0);  // its end cancels the running health check
  EXPECT_EQ(check.results, (Results{Ok, Cancelled}));
  EXPECT_EQ(dumps, (std::vector<std::string>{"5", "0" + corePath}));
  service->SetStop(nullptr, nullptr);
  Main("lc")->Exit(0);
  TakeLiveCore(service.get(), LiveCoreDone, &dumps);  // nothing to dump once stopped
  EXPECT_EQ(dumps.back(), "5");
  EXPECT_EQ(service->failCounters().apiHealthFail, 0);
}

}  // namespace
