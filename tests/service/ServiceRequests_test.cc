// One request at a time: admission, pre-emption, restarts, configuration
// requests, re-entrant completions, and the direct-response-route rules.
#include <functional>

#include "ServiceFixture.h"
#include "lib/log/log.h"
#include "src/core/SysPaths.h"

using servicetest::Logged;

namespace {

class ServiceRequestTest : public ServiceFixture {};

TEST_F(ServiceRequestTest, AdmissionFollowsTheCurrentRequest) {
  auto service = CreateNamed("adm", "");
  struct Case {
    ServiceRequest current;
    ServiceRequest incoming;
    bool admitted;
  };
  const Case cases[] = {
      {ReqNone, ReqStart, true},
      {ReqNone, ReqHealthCheck, true},
      {ReqHealthCheck, ReqStart, true},
      {ReqHealthCheck, ReqRestart, true},
      {ReqHealthCheck, ReqConfigChange, true},
      {ReqHealthCheck, ReqStop, true},
      {ReqHealthCheck, ReqHealthCheck, false},
      {ReqStart, ReqStart, false},
      {ReqStart, ReqRestart, false},
      {ReqStart, ReqConfigChange, false},
      {ReqStart, ReqStop, true},
      {ReqRestart, ReqStop, true},
      {ReqConfigChange, ReqStop, true},
      {ReqStop, ReqStop, false},
      {ReqStop, ReqRestart, false},
      {ReqStart, ReqNone, false},
  };
  for (const Case &c : cases) {
    CompletionRecord first;
    CompletionRecord second;
    if (c.current != ReqNone) {
      ASSERT_TRUE(service->TrySetRequest(c.current, CompletionRecord::Record, &first));
    }
    EXPECT_EQ(service->TrySetRequest(c.incoming, CompletionRecord::Record, &second), c.admitted)
        << c.current << " then " << c.incoming;
    if (c.admitted && c.current != ReqNone) {
      EXPECT_EQ(first.results, Results{Cancelled});
    } else {
      EXPECT_TRUE(first.results.empty());
    }
    service->CompleteRequest(Ok);
  }
}

TEST_F(ServiceRequestTest, StopDuringPreStartSucceedsAtOnceAndTheStartGoesOn) {
  auto service = CreateNamed("pre", R"("PreStartCommand": "/bin/prep")");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  ASSERT_TRUE(PreStart("pre")->IsRunning());
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_TRUE(PreStart("pre")->IsRunning());
  EXPECT_EQ(service->request(), ReqStart);
  PreStart("pre")->Exit(0);
  EXPECT_EQ(service->state(), ServiceState::Starting);
  AdvanceSeconds(1);
  EXPECT_EQ(start.results, Results{Ok});
}

TEST_F(ServiceRequestTest, StopWhileStartingCancelsTheStart) {
  auto service = CreateNamed("web", R"("ApiHealthCommand": "/bin/probe")");
  CompletionRecord start;
  ASSERT_NO_FATAL_FAILURE(StartUntilFirstPoll(service.get(), &start));
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  EXPECT_EQ(start.results, Results{Cancelled});
  EXPECT_TRUE(stop.results.empty());
  EXPECT_FALSE(HealthCmd("web")->IsRunning());
  EXPECT_EQ(Main("web")->signalStops, 1);

  Main("web")->Exit(1);
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_FALSE(service->lastStopFailed());
  // Neither the start timer nor the poll survives the stop.
  AdvanceSeconds(200);
  EXPECT_EQ(HealthCmd("web")->startCount, 1);
  EXPECT_FALSE(Logged(LOG_INFO, "<web> Service start operation timed out.\n"));
}

TEST_F(ServiceRequestTest, RestartDuringHealthCheckCancelsItAndRestarts) {
  auto service = Started("web", R"("ApiHealthCommand": "/bin/probe")");
  CompletionRecord check;
  BeginHealthCheck(service.get(), &check);
  CompletionRecord restart;
  service->SetRestart(CompletionRecord::Record, &restart);
  EXPECT_EQ(check.results, Results{Cancelled});
  EXPECT_FALSE(HealthCmd("web")->IsRunning());
  EXPECT_EQ(Main("web")->signalStops, 1);
  EXPECT_EQ(Hooks().operations.front(), "begin web RESTART HEALTHY PENDING");

  Main("web")->Exit(0);  // the stop half ends; the start half launches
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_EQ(Main("web")->startCount, 2);
  EXPECT_TRUE(restart.results.empty());
  EXPECT_FALSE(service->lastStopFailed());
  AdvanceSeconds(1);
  HealthCmd("web")->Exit(0);
  EXPECT_EQ(restart.results, Results{Ok});
  EXPECT_EQ(service->state(), ServiceState::Started);
}

TEST_F(ServiceRequestTest, RestartWhoseStartHalfFailsReportsHowItFailed) {
  for (bool timeOut : {false, true}) {
    SCOPED_TRACE(timeOut ? "timed out" : "start failed");
    auto service = Started("web", R"("ApiHealthCommand": "/bin/probe", "StartTimeout": 5)");
    CompletionRecord restart;
    service->SetRestart(CompletionRecord::Record, &restart);
    Main("web")->Exit(0);
    ASSERT_EQ(service->state(), ServiceState::Starting);
    if (timeOut) {
      AdvanceSeconds(65);  // the poll's health command never answers
      EXPECT_EQ(service->state(), ServiceState::Stopping);
    }
    Main("web")->Exit(1);
    EXPECT_EQ(restart.results, Results{timeOut ? TimedOut : StartFailed});
    EXPECT_EQ(service->state(), ServiceState::Stopped);
    EXPECT_TRUE(service->lastStopFailed());
    EXPECT_TRUE(Hooks().recoveries.empty());
    // A restart of the stopped service only starts it.
    int stops = Main("web")->signalStops;
    service->SetRestart(nullptr, nullptr);
    EXPECT_EQ(service->state(), ServiceState::Starting);
    EXPECT_EQ(Main("web")->signalStops, stops);
  }
}

TEST_F(ServiceRequestTest, StopDuringTheStopHalfOfARestartTakesOver) {
  auto service = Started("web", "");
  CompletionRecord restart;
  service->SetRestart(CompletionRecord::Record, &restart);
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  EXPECT_EQ(restart.results, Results{Cancelled});
  Main("web")->Exit(0);
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_EQ(Main("web")->startCount, 1);
}

TEST_F(ServiceRequestTest, RecoveryRestartKeepsTheDefinitionAndPublishesUnsolicited) {
  auto service = Started("rec", R"("StartCommandArgs": ["old"])");
  WriteDefinition("rec.json",
                  R"({"Name":"rec","StartCommand":"/bin/rec","StartCommandArgs":["new"]})");
  CompletionRecord restart;
  service->SetRestart(CompletionRecord::Record, &restart, Service::RestartOrigin::Recovery);
  EXPECT_TRUE(service->IsRecoveryRestart());
  Main("rec")->Exit(0);
  EXPECT_EQ(Main("rec")->args, (std::vector<std::string>{"old"}));
  AdvanceSeconds(1);
  EXPECT_EQ(restart.results, Results{Ok});
  ASSERT_EQ(Hooks().published.size(), 2u);  // UNHEALTHY at the stop, INITIALIZED at the start
  EXPECT_TRUE(Hooks().published[0].unsolicited);
  EXPECT_TRUE(Hooks().published[1].unsolicited);

  // A client's restart reads the file again and publishes as solicited.
  Hooks().published.clear();
  service->SetRestart(nullptr, nullptr);
  Main("rec")->Exit(0);
  EXPECT_EQ(Main("rec")->args, (std::vector<std::string>{"new"}));
  EXPECT_FALSE(Hooks().published[0].unsolicited);
}

TEST_F(ServiceRequestTest, RequestForTheStateAlreadyReachedSucceedsAtOnce) {
  auto service = Started("s", "");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  EXPECT_EQ(start.results, Results{Ok});
  EXPECT_EQ(Hooks().operations, (std::vector<std::string>{"end s NONE COMPLETED"}));
  service->SetStart(nullptr, nullptr);  // no completion: no record either
  EXPECT_EQ(Hooks().operations.size(), 1u);
  EXPECT_EQ(Main("s")->startCount, 1);

  auto idle = CreateNamed("idle", "");
  CompletionRecord stop;
  idle->SetStop(CompletionRecord::Record, &stop);
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_EQ(Hooks().operations.back(), "end idle NONE COMPLETED");
}

TEST_F(ServiceRequestTest, RequestsWhileStoppingAreRefused) {
  auto service = Started("s", "");
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  struct Case {
    std::function<ServiceResult()> request;
    std::string message;
  };
  CompletionRecord refused;
  const Case cases[] = {
      {[&] { return service->SetStart(CompletionRecord::Record, &refused), refused.last(); },
       "<s> SetStart: Invalid State STOPPING, Curr request 2.\n"},
      {[&] { return service->SetRestart(CompletionRecord::Record, &refused), refused.last(); },
       "<s> SetRestart: Invalid State STOPPING, Curr request 2.\n"},
      {[&] { return service->SetStop(CompletionRecord::Record, &refused), refused.last(); },
       "<s> SetStop: Invalid State STOPPING, Curr request 2.\n"},
      {[&] { return service->SetStartupType(StartupType::Manual); },
       "<s> SetStartupType: Invalid state STOPPING, Curr req. 2\n"},
      {[&] { return service->SetRunAsUser("x"); },
       "<s> SetRunAsUser: Invalid state STOPPING, Curr req. 2.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    refused.results.clear();
    EXPECT_EQ(c.request(), InvalidState);
    EXPECT_TRUE(Logged(LOG_WARNING, c.message));
    EXPECT_EQ(service->request(), ReqStop);
  }
  Main("s")->Exit(0);
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_EQ(Main("s")->startCount, 1);
}

TEST_F(ServiceRequestTest, StartupTypeChangesFollowTheirRules) {
  auto service = Started("cfg", "");
  EXPECT_EQ(service->SetStartupType(StartupType::Disabled), Disabled);
  EXPECT_TRUE(
      Logged(LOG_WARNING, "<cfg> Cannot set startup type to DISABLED when service is running.\n"));
  EXPECT_EQ(service->SetStartupType(static_cast<StartupType>(3)), InvalidStartupType);
  EXPECT_TRUE(Logged(LOG_ERROR, "<cfg> Invalid given startup type for service.\n"));
  service->SetStop(nullptr, nullptr);
  Main("cfg")->Exit(0);

  EXPECT_EQ(service->SetStartupType(StartupType::Disabled), Ok);
  EXPECT_EQ(ReadFile(configDir_ + "/svcCfgfiles/.state_cfg.json"), R"({"StartupType":"DISABLED"})");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  EXPECT_EQ(start.results, Results{Disabled});
}

TEST_F(ServiceRequestTest, ExplicitHealthCheckCompletesAndHandsOverItsOutcome) {
  auto service = Started("hc", R"("ApiHealthCommand": "/bin/probe")");
  CompletionRecord check;
  BeginHealthCheck(service.get(), &check);
  HealthCmd("hc")->WriteStdout("db down");
  HealthCmd("hc")->Exit(65);
  EXPECT_EQ(check.results, Results{Ok});
  EXPECT_EQ(Hooks().healthChecksDone, (std::vector<std::string>{"hc UNHEALTHY"}));
  EXPECT_EQ(service->healthData(), "db down");
  EXPECT_EQ(service->state(), ServiceState::Started);
  ASSERT_EQ(Hooks().published.size(), 1u);
  EXPECT_TRUE(Hooks().published[0].unsolicited);

  CompletionRecord timedOut;
  BeginHealthCheck(service.get(), &timedOut);
  HealthCmd("hc")->ExecTimeout();
  EXPECT_EQ(timedOut.results, Results{TimedOut});
  EXPECT_EQ(service->health(), HealthStatus::Unknown);
}

// Re-entrant completions.

struct Reentry {
  std::unique_ptr<Service> *owner = nullptr;
  std::vector<ServiceResult> results;
  std::vector<ServiceResult> innerResults;
};

void StopOnCancel(ServiceResult result, Service *service, void *context) {
  auto *reentry = static_cast<Reentry *>(context);
  reentry->results.push_back(result);
  if (result == Cancelled) {
    service->SetStop([](ServiceResult inner, Service *,
                        void *ctx) { static_cast<Reentry *>(ctx)->innerResults.push_back(inner); },
                     context);
  }
}

TEST_F(ServiceRequestTest, CancelledCallerThatStopsTheServicePreventsTheRestart) {
  auto service = Started("re", R"("ApiHealthCommand": "/bin/probe")");
  Reentry reentry;
  ASSERT_TRUE(service->TrySetRequest(ReqHealthCheck, StopOnCancel, &reentry));
  service->RunHealthCommand();
  CompletionRecord restart;
  service->SetRestart(CompletionRecord::Record, &restart);
  // The health check's caller stopped the service from its completion: the
  // restart was cancelled in turn and must not go on.
  EXPECT_EQ(reentry.results, Results{Cancelled});
  EXPECT_EQ(restart.results, Results{Cancelled});
  EXPECT_EQ(service->request(), ReqStop);
  EXPECT_EQ(Main("re")->signalStops, 1);
  EXPECT_EQ(Hooks().operations, (std::vector<std::string>{"begin re STOP STOPPING PENDING"}));
  Main("re")->Exit(0);
  EXPECT_EQ(reentry.innerResults, Results{Ok});
  EXPECT_EQ(Main("re")->startCount, 1);
}

void DestroyOnResult(ServiceResult result, Service *, void *context) {
  auto *reentry = static_cast<Reentry *>(context);
  reentry->results.push_back(result);
  reentry->owner->reset();
}

TEST_F(ServiceRequestTest, CompletionMayDestroyTheService) {
  std::unique_ptr<Service> service = Started("gone", R"("ApiHealthCommand": "/bin/probe")");
  Reentry reentry;
  reentry.owner = &service;
  // Destroyed by the cancelled health check's caller while a restart is admitted.
  ASSERT_TRUE(service->TrySetRequest(ReqHealthCheck, DestroyOnResult, &reentry));
  service->RunHealthCommand();
  service->SetRestart(nullptr, nullptr);
  EXPECT_EQ(service, nullptr);
  EXPECT_EQ(reentry.results, Results{Cancelled});
  EXPECT_EQ(FindFake("gone"), nullptr);
  AdvanceSeconds(100);  // no timer of the dead service fires
}

TEST_F(ServiceRequestTest, StartCompletionMayDestroyTheFrontgateService) {
  auto ui = Started("atrium-ui", "");
  std::unique_ptr<Service> front = CreateNamed("frontgate", "");
  Reentry reentry;
  reentry.owner = &front;
  front->SetStart(DestroyOnResult, &reentry);
  AdvanceSeconds(1);
  EXPECT_EQ(front, nullptr);
  EXPECT_EQ(reentry.results, Results{Ok});
  Hooks().registry.erase("frontgate");
}

void RestartOnFailure(ServiceResult result, Service *service, void *context) {
  auto *reentry = static_cast<Reentry *>(context);
  reentry->results.push_back(result);
  if (result != Ok && reentry->results.size() < 3) {
    service->SetRestart(RestartOnFailure, context);
  }
}

TEST_F(ServiceRequestTest, CompletionMayRestartTheServiceItJustFailed) {
  auto service = CreateNamed("again", "");
  Reentry reentry;
  service->SetStart(RestartOnFailure, &reentry);
  Main("again")->Exit(1);  // StartFailed -> restart from the completion
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_EQ(Main("again")->startCount, 2);
  Main("again")->Exit(1);  // StartFailed again -> restart again
  EXPECT_EQ(Main("again")->startCount, 3);
  AdvanceSeconds(1);
  EXPECT_EQ(reentry.results, (Results{StartFailed, StartFailed, Ok}));
  EXPECT_EQ(service->state(), ServiceState::Started);
}

// The direct-response route of frontgate for atrium-ui.

class ServiceRouteTest : public ServiceRequestTest {
 protected:
  std::vector<std::string> RouteArgs() {
    FakeSysProcess *route = FindFake("static-ui");
    return route ? route->args : std::vector<std::string>{"<none>"};
  }
  std::string Script() {
    return SysPath("/usr/lib/norvane-sentro/sentro-direct-response-route.py");
  }
};

TEST_F(ServiceRouteTest, StoppingTheUiCreatesTheRoute) {
  auto ui = Started("atrium-ui", "");
  EXPECT_EQ(FindFake("static-ui"), nullptr);  // no frontgate, no route to delete
  ui->SetStop(nullptr, nullptr);
  EXPECT_TRUE(Logged(LOG_WARNING,
                     "Informing frontgate to create a direct response route as atrium-ui is "
                     "stopped\n"));
  FakeSysProcess *route = FindFake("static-ui");
  ASSERT_NE(route, nullptr);
  EXPECT_EQ(route->path, SysPath("/usr/bin/python"));
  EXPECT_EQ(route->args, (std::vector<std::string>{Script(), "create", "stopped"}));
  EXPECT_FALSE(route->options.killOnParentDeath);
  EXPECT_EQ(route->options.execTimeoutSec, -1);
  route->Exit(2);
  EXPECT_TRUE(Logged(LOG_INFO, "Direct response route command hit max retries.\n"));
  EXPECT_EQ(FindFake("static-ui"), nullptr);
}

TEST_F(ServiceRouteTest, WhicheverOfUiAndFrontgateStartsSecondDeletesTheRoute) {
  auto front = Started("frontgate", "");
  auto ui = CreateNamed("atrium-ui", "");
  ui->SetStart(nullptr, nullptr);  // at once, before the UI is ready
  EXPECT_TRUE(Logged(LOG_WARNING, "Deleting the direct response route created for atrium-ui\n"));
  EXPECT_EQ(RouteArgs(), (std::vector<std::string>{Script(), "delete"}));
  FindFake("static-ui")->Exit(0);
  EXPECT_TRUE(Logged(LOG_INFO, "Direct response route command completed successfully.\n"));
  AdvanceSeconds(1);

  front->SetStop(nullptr, nullptr);
  Main("frontgate")->Exit(0);
  front->SetStart(nullptr, nullptr);
  EXPECT_EQ(FindFake("static-ui"), nullptr);  // only once frontgate is ready
  AdvanceSeconds(1);
  EXPECT_EQ(RouteArgs(), (std::vector<std::string>{Script(), "delete"}));
  FindFake("static-ui")->Exit(1);
  EXPECT_TRUE(Logged(LOG_INFO, "Direct response route command failed.\n"));
}

TEST_F(ServiceRouteTest, UiThatCrashesForGoodCreatesTheCrashedRoute) {
  for (bool recoveryOff : {true, false}) {
    SCOPED_TRACE(recoveryOff ? "crash without recovery" : "restart that fails to start");
    UseConfig(recoveryOff ? R"({"RecoverOnServiceCrash": false})" : "{}");
    auto ui = Started("atrium-ui", "");
    if (!recoveryOff) {
      ui->SetRestart(nullptr, nullptr);
      Main("atrium-ui")->Exit(0);
    }
    Main("atrium-ui")->Exit(1);
    EXPECT_TRUE(Logged(LOG_WARNING,
                       "Informing frontgate to create a direct response route as atrium-ui is "
                       "crashed\n"));
    ASSERT_EQ(RouteArgs(), (std::vector<std::string>{Script(), "create", "crashed"}));
    FindFake("static-ui")->Exit(0);
  }
}

TEST_F(ServiceRouteTest, RouteCommandThatCannotStartIsLogged) {
  FakeStartFailures().insert("static-ui");
  auto ui = Started("atrium-ui", "");
  ui->SetStop(nullptr, nullptr);
  EXPECT_TRUE(
      Logged(LOG_WARNING, "Failed to execute command " + SysPath("/usr/bin/python") + "\n"));
  EXPECT_EQ(FindFake("static-ui"), nullptr);
}

}  // namespace
