// The start and stop sequences against fake processes and the test clock:
// launch, health polling and its answers, time-outs, pre-start, stop by
// command or signal, post-stop, and core-dump notices.
#include "ServiceFixture.h"
#include "lib/log/log.h"

namespace {

TEST_F(ServiceTest, LaunchPassesTheDefinitionToTheProcess) {
  UseConfig(R"({"KillServicesOnSentroCrash": false, "DefaultForceKillTimeoutSec": 17})");
  auto service = Make("web", R"("StartCommandArgs": ["-p"], "RunAsUser": "www",
      "StreamRedirectFile": "/log/web", "ProcessFdLimit": 64, "MemoryLimitBytes": 1024)");
  service->SetStart(nullptr, nullptr);
  FakeSysProcess *main = Main("web");
  EXPECT_EQ(main->args, (std::vector<std::string>{"-p"}));
  EXPECT_EQ(main->options.runAsUser, "www");
  EXPECT_FALSE(main->options.killOnParentDeath);
  EXPECT_EQ(main->options.stdStreamFileBase, "/log/web");
  EXPECT_EQ(main->limits.serviceName + std::to_string(main->limits.fdLimit) +
                std::to_string(main->limits.memoryLimitBytes),
            "web641024");
  EXPECT_EQ(main->forceKillTimeout, 17);
  main->ForceKillTimeout();
  EXPECT_EQ(env_.systemFailures, (std::vector<std::string>{"web"}));
  EXPECT_EQ(env_.operations, (std::vector<std::string>{"begin web START UNHEALTHY PENDING"}));
}

// The health command's answer while a start waits for the service.
TEST_F(ServiceTest, HealthAnswerDuringAStartDecidesWhetherItIsOver) {
  const int kTimedOut = -1, kCannotStart = -2;
  const struct {
    int answer;
    HealthStatus health;
    bool started, published;
    int level;
    std::string message;
  } cases[] = {
      {0, HealthStatus::Healthy, true, true, LOG_INFO, "<u> Service STARTED successfully.\n"},
      {64, HealthStatus::Initialized, true, true, LOG_INFO, "<u> Service STARTED successfully.\n"},
      {65, HealthStatus::Unhealthy, false, false, LOG_INFO,
       "<u> Re-check service health since it is still initializing.\n"},
      {63, HealthStatus::StartPending, false, false, LOG_DEBUG,
       "<u> Giving service additional 30 secs to start\n"},
      {7, HealthStatus::Unknown, false, true, LOG_WARNING,
       "<u> Service api healthcheck command returned unknown exit code 7\n"},
      {kTimedOut, HealthStatus::Unknown, false, true, LOG_WARNING,
       "<u> Service api healthcheck command timedout.\n"},
      {kCannotStart, HealthStatus::Unknown, false, true, LOG_ERROR,
       "<u> Failed to execute service api healthcheck command.\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.answer);
    FakeStartFailures() = {c.answer == kCannotStart ? "u-healthcmd" : ""};
    auto service = Make("u", R"("ApiHealthCommand": "/bin/probe", "RunAsUser": "svc")");
    Done start;
    service->SetStart(Done::Record, &start);
    AdvanceMs(1000);
    EXPECT_EQ(Health("u")->options.runAsUser, c.answer == kCannotStart ? "" : "svc");
    Health("u")->Write(0, "out");
    Health("u")->Exit(c.answer < 0 ? 1 : c.answer, c.answer == kTimedOut);
    EXPECT_EQ(service->health(), c.health);
    EXPECT_EQ(service->state(), c.started ? ServiceState::Started : ServiceState::Starting);
    EXPECT_EQ(start.results, c.started ? Results{Ok} : Results{});
    EXPECT_EQ(env_.published.size(), c.published ? 1u : 0u);
    EXPECT_TRUE(log_.Has(c.level, c.message));
    EXPECT_EQ(service->healthData(), c.started || c.answer == 65 ? "out" : "");
    env_.Clear();
    log_.Clear();
  }
}

TEST_F(ServiceTest, PollingRunsEveryThirtySecondthOfTheStartTimeoutWithinOneToEight) {
  for (auto [startTimeout, interval] : {std::pair{30, 1}, {96, 3}, {1000, 8}}) {
    auto service =
        Make("p", "\"ApiHealthCommand\":\"/p\",\"StartTimeout\":" + std::to_string(startTimeout));
    service->SetStart(nullptr, nullptr);
    AdvanceMs(1000);
    Health("p")->Exit(65);
    AdvanceMs(interval * 1000 - 100);
    EXPECT_EQ(Health("p")->startCount, 1) << startTimeout;
    AdvanceMs(100);
    EXPECT_EQ(Health("p")->startCount, 2) << startTimeout;
  }
}

TEST_F(ServiceTest, StartPendingExtendsTheStartByTheStartTimeoutEachTime) {
  auto service = Make("pend", R"("ApiHealthCommand": "/bin/probe", "StartTimeout": 10)");
  Done start;
  service->SetStart(Done::Record, &start);
  for (int ms = 0; ms < 120000; ms += 100) {  // far beyond the first 70-second deadline
    AdvanceMs(100);
    Health("pend")->Exit(63);
  }
  AdvanceMs(9900);
  EXPECT_EQ(service->state(), ServiceState::Starting);
  AdvanceMs(100);
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  EXPECT_EQ(env_.operations.back(), "end pend TIMED-OUT COMPLETED");
}

TEST_F(ServiceTest, PreStartCommandRunsBeforeTheLaunchAndItsFailureFailsTheStart) {
  for (int code : {0, 3}) {
    auto service = Make("pre", R"("PreStartCommand": "/bin/prep", "RunPreStartCmdAsUser": "a")");
    Done start;
    service->SetStart(Done::Record, &start);
    FakeSysProcess *pre = FindFake("pre-prestart");
    EXPECT_EQ(pre->options.runAsUser, "a");
    EXPECT_EQ(Main("pre")->startCount, 0);
    pre->Write(1, "oops");
    pre->Exit(code);
    EXPECT_TRUE(log_.Has(LOG_WARNING, "<pre> Service pre-start command's stderr: oops\n"));
    EXPECT_EQ(service->state(), code ? ServiceState::Stopped : ServiceState::Starting);
    EXPECT_EQ(start.results, code ? Results{Failed} : Results{});
  }
  EXPECT_TRUE(log_.Has(LOG_ERROR, "<pre> Service pre-start command failed with exit code 3.\n"));
}

TEST_F(ServiceTest, StopDuringPreStartSucceedsAtOnceAndStopWhileStartingCancelsTheStart) {
  auto service = Make("pre", R"("PreStartCommand": "/bin/prep")");
  Done start, stop;
  service->SetStart(Done::Record, &start);
  service->SetStop(Done::Record, &stop);
  EXPECT_EQ(stop.results, Results{Ok});
  FindFake("pre-prestart")->Exit(0);
  service->SetStop(Done::Record, &stop);
  EXPECT_EQ(start.results, Results{Cancelled});
  Main("pre")->Exit(1);
  EXPECT_EQ(stop.results, (Results{Ok, Ok}));
  EXPECT_FALSE(service->lastStopFailed());
  AdvanceMs(200000);  // neither the start timer nor the poll survived
  EXPECT_EQ(Health("pre")->startCount, 0);
}

TEST_F(ServiceTest, StopCommandThenPostStopCommandRunBeforeTheDecision) {
  auto service = Started("web", R"("PostStopCommand": "/bin/clean", "PostStopTimeout": 3,
      "StopCommand": "/bin/webctl", "StopTimeout": 6)");
  Done stop;
  service->SetStop(Done::Record, &stop);
  EXPECT_EQ(Main("web")->stopCommand, "/bin/webctl");
  EXPECT_EQ(Main("web")->lastStopTimeout, 6);
  Main("web")->Exit(0);
  FakeSysProcess *post = FindFake("web-post-stop");
  ASSERT_NE(post, nullptr);
  EXPECT_EQ(post->options.execTimeoutSec, 3);
  EXPECT_TRUE(stop.results.empty());
  post->Exit(2);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "<web> Post stop command exec failed. RC=2\n"));
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_EQ(FindFake("web-post-stop"), nullptr);
}

TEST_F(ServiceTest, CoreDumpNoticeCountsOnlyWhenIdleOrChecking) {
  for (ServiceRequest request : {ReqNone, ReqHealthCheck, ReqStop}) {
    auto service = Started("cd");
    Done done;
    if (request != ReqNone) {
      ASSERT_TRUE(service->TrySetRequest(request, Done::Record, &done));
    }
    Main("cd")->DumpCore();
    bool counted = request != ReqStop;
    EXPECT_EQ(service->failCounters().processCoredump, counted ? 1 : 0);
    EXPECT_EQ(service->state(), counted ? ServiceState::Stopping : ServiceState::Started);
    EXPECT_EQ(done.results, request == ReqHealthCheck ? Results{Cancelled} : Results{});
    Main("cd")->Exit(0);
  }
}

}  // namespace
