// Stopping a service and what the end of its process means: stop command or
// signal, post-stop command, clean exits, crashes, core dumps and shutdown.
#include <climits>

#include "ServiceFixture.h"
#include "lib/log/log.h"

using servicetest::CountLogged;
using servicetest::Logged;

namespace {

class ServiceStopTest : public ServiceFixture {
 protected:
  std::unique_ptr<Service> Started(const std::string &name, const std::string &extra) {
    auto service = CreateNamed(name, extra);
    CompletionRecord start;
    StartHealthy(service.get(), &start);
    EXPECT_EQ(start.results, (std::vector<ServiceResult>{Ok}));
    Hooks().operations.clear();
    Hooks().published.clear();
    servicetest::ClearLog();
    return service;
  }
};

TEST_F(ServiceStopTest, StopBySignalCompletesWhenTheProcessHasEnded) {
  auto service = Started("web", R"("StopSignal": "SIGINT", "StopTimeout": 4)");
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  FakeSysProcess *main = Main("web");
  EXPECT_EQ(main->signalStops, 1);
  EXPECT_EQ(main->lastSignal, 2);
  EXPECT_EQ(main->lastStopTimeout, 4);
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  EXPECT_EQ(service->health(), HealthStatus::Unhealthy);
  EXPECT_TRUE(stop.results.empty());
  EXPECT_EQ(Hooks().operations, (std::vector<std::string>{"begin web STOP STOPPING PENDING"}));
  ASSERT_EQ(Hooks().published.size(), 1u);
  EXPECT_FALSE(Hooks().published[0].unsolicited);

  main->Exit(0);
  EXPECT_EQ(stop.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_FALSE(service->lastStopFailed());
  EXPECT_TRUE(Logged(LOG_INFO, "<web> Service STOPPED sucessfully.\n"));
  EXPECT_EQ(Hooks().operations.back(), "end web STOPPED COMPLETED");
}

TEST_F(ServiceStopTest, StopCommandIsUsedWhenDefined) {
  auto service = Started("web", R"("StopCommand": "/bin/webctl", "StopCommandArgs": ["stop"],
      "StopTimeout": 6)");
  service->SetStop(nullptr, nullptr);
  FakeSysProcess *main = Main("web");
  EXPECT_EQ(main->signalStops, 0);
  EXPECT_EQ(main->commandStops, 1);
  EXPECT_EQ(main->stopCommand, "/bin/webctl");
  EXPECT_EQ(main->stopCommandArgs, (std::vector<std::string>{"stop"}));
  EXPECT_EQ(main->lastStopTimeout, 6);
}

TEST_F(ServiceStopTest, StopOfAStoppedServiceSucceedsAtOnce) {
  auto service = CreateNamed("idle", "");
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  EXPECT_EQ(stop.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_EQ(Hooks().operations, (std::vector<std::string>{"end idle NONE COMPLETED"}));
}

TEST_F(ServiceStopTest, SecondStopWhileStoppingIsRefused) {
  auto service = Started("web", "");
  CompletionRecord first;
  CompletionRecord second;
  service->SetStop(CompletionRecord::Record, &first);
  service->SetStop(CompletionRecord::Record, &second);
  EXPECT_EQ(second.results, (std::vector<ServiceResult>{InvalidState}));
  EXPECT_TRUE(Logged(LOG_WARNING, "<web> SetStop: Invalid State STOPPING, Curr request 2.\n"));
  Main("web")->Exit(0);
  EXPECT_EQ(first.results, (std::vector<ServiceResult>{Ok}));
}

TEST_F(ServiceStopTest, PostStopCommandRunsBeforeTheDecision) {
  auto service = Started("web", R"("PostStopCommand": "/bin/cleanup",
      "PostStopCommandArgs": ["--all"], "PostStopTimeout": 3, "RunAsUser": "www",
      "WorkingDir": "/srv")");
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  Main("web")->Exit(0);
  FakeSysProcess *post = PostStop("web");
  ASSERT_NE(post, nullptr);
  EXPECT_TRUE(post->IsRunning());
  EXPECT_EQ(post->path, "/bin/cleanup");
  EXPECT_EQ(post->args, (std::vector<std::string>{"--all"}));
  EXPECT_EQ(post->options.execTimeoutSec, 3);
  EXPECT_TRUE(post->options.killOnParentDeath);
  EXPECT_EQ(post->options.runAsUser, "");
  EXPECT_EQ(post->options.workingDir, "");
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  EXPECT_TRUE(stop.results.empty());

  post->WriteStderr("cleaning");
  post->Exit(0);
  EXPECT_TRUE(Logged(LOG_WARNING, "<web> Service post-stop command's stderr: cleaning\n"));
  EXPECT_EQ(stop.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(PostStop("web"), nullptr);  // released after its run
}

TEST_F(ServiceStopTest, FailingPostStopCommandDoesNotChangeTheDecision) {
  auto service = Started("web", R"("PostStopCommand": "/bin/cleanup")");
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  Main("web")->Exit(0);
  PostStop("web")->Exit(2);
  EXPECT_TRUE(Logged(LOG_ERROR, "<web> Post stop command exec failed. RC=2\n"));
  EXPECT_EQ(stop.results, (std::vector<ServiceResult>{Ok}));
}

TEST_F(ServiceStopTest, PostStopCommandThatCannotStartStillDecides) {
  auto service = Started("web", R"("PostStopCommand": "/bin/cleanup")");
  FakeStartFailures().insert("web-post-stop");
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  Main("web")->Exit(0);
  EXPECT_TRUE(Logged(LOG_ERROR, "<web> Failed to execute post stop command.\n"));
  EXPECT_EQ(stop.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_EQ(PostStop("web"), nullptr);
}

TEST_F(ServiceStopTest, ServiceDestroyedDuringPostStopReleasesIt) {
  auto service = Started("web", R"("PostStopCommand": "/bin/cleanup")");
  Main("web")->Exit(1);
  ASSERT_NE(PostStop("web"), nullptr);
  service.reset();
  EXPECT_EQ(PostStop("web"), nullptr);
}

TEST_F(ServiceStopTest, CleanExitCodeLeavesTheServiceStoppedWithoutRecovery) {
  auto service = Started("batch", R"("CleanExitCodes": [0, 3])");
  Main("batch")->Exit(3);
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_FALSE(service->lastStopFailed());
  EXPECT_TRUE(Logged(LOG_WARNING, "<batch> Service exited. Exit code 3\n"));
  EXPECT_TRUE(Logged(LOG_INFO, "<batch> Service exited cleanly.\n"));
  EXPECT_TRUE(Hooks().recoveries.empty());
  ASSERT_EQ(Hooks().published.size(), 1u);
  EXPECT_TRUE(Hooks().published[0].unsolicited);
}

TEST_F(ServiceStopTest, CrashTakesTheConfiguredRecoveryAction) {
  auto service = Started("api", "");
  Main("api")->Exit(1);
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_TRUE(service->lastStopFailed());
  EXPECT_TRUE(Logged(LOG_WARNING,
                     "<api> Service exited unexpectedly. Crash count 0. Taking configured "
                     "recovery action.\n"));
  EXPECT_EQ(Hooks().recoveries, (std::vector<std::string>{"api CRASH 0"}));
  EXPECT_EQ(service->failCounters().processCrash, 1);  // raised by the recovery step
}

TEST_F(ServiceStopTest, CrashWithRecoveryDisabledCountsTheCrash) {
  UseConfig(R"({"RecoverOnServiceCrash": false})");
  auto service = Started("api", "");
  Main("api")->Exit(1);
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_TRUE(Hooks().recoveries.empty());
  EXPECT_EQ(service->failCounters().processCrash, 1);
  EXPECT_TRUE(Logged(LOG_INFO,
                     "<api> Service exited unexpectedly. Crash count 0. Recovery action is "
                     "disabled\n"));
  EXPECT_EQ(Hooks().operations.back(), "end api CRASHED COMPLETED");
}

TEST_F(ServiceStopTest, CrashCountStopsAtItsMaximum) {
  UseConfig(R"({"RecoverOnServiceCrash": false})");
  WriteFile(dataDir_ + "/.svcStats/stats_api.json", R"({"ProcessCrashCount":2147483647})");
  auto service = Started("api", "");
  Main("api")->Exit(1);
  EXPECT_EQ(service->failCounters().processCrash, INT_MAX);
}

TEST_F(ServiceStopTest, CoreDumpOfAnIdleServiceIsCountedAndMarksItStopping) {
  auto service = Started("cd", "");
  Main("cd")->DumpCore();
  EXPECT_TRUE(Logged(LOG_INFO, "<cd> Service is dumping core. Coredump count 0. CurrReq: 0\n"));
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  EXPECT_EQ(service->health(), HealthStatus::Unhealthy);
  EXPECT_EQ(service->failCounters().processCoredump, 1);
  Main("cd")->Exit(1);
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(Hooks().recoveries.size(), 1u);
}

TEST_F(ServiceStopTest, CoreDumpDuringAStartIsOnlyLogged) {
  auto service = CreateNamed("cd", "");
  service->SetStart(nullptr, nullptr);
  Main("cd")->DumpCore();
  EXPECT_TRUE(Logged(LOG_INFO, "<cd> Service is dumping core. Coredump count 0. CurrReq: 1\n"));
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_EQ(service->failCounters().processCoredump, 0);
}

TEST_F(ServiceStopTest, CoreDumpCancelsAnExplicitHealthCheck) {
  auto service = Started("cd", R"("ApiHealthCommand": "/bin/probe")");
  CompletionRecord check;
  ASSERT_TRUE(service->TrySetRequest(ReqHealthCheck, CompletionRecord::Record, &check));
  service->RunHealthCommand();
  Main("cd")->DumpCore();
  EXPECT_EQ(check.results, (std::vector<ServiceResult>{Cancelled}));
  EXPECT_FALSE(HealthCmd("cd")->IsRunning());
  EXPECT_EQ(service->failCounters().processCoredump, 1);
  EXPECT_EQ(service->request(), ReqNone);
}

TEST_F(ServiceStopTest, CoreDumpCountHasNoCap) {
  WriteFile(dataDir_ + "/.svcStats/stats_cd.json", R"({"ProcessCoredumpCount":2147483647})");
  auto service = Started("cd", "");
  Main("cd")->DumpCore();
  EXPECT_EQ(service->failCounters().processCoredump, INT_MIN);
}

TEST_F(ServiceStopTest, ProcessEndDuringExplicitHealthCheckCancelsItAndRecovers) {
  auto service = Started("hc", R"("ApiHealthCommand": "/bin/probe")");
  CompletionRecord check;
  ASSERT_TRUE(service->TrySetRequest(ReqHealthCheck, CompletionRecord::Record, &check));
  service->RunHealthCommand();
  Main("hc")->Exit(1);
  EXPECT_EQ(check.results, (std::vector<ServiceResult>{Cancelled}));
  EXPECT_EQ(Hooks().recoveries, (std::vector<std::string>{"hc CRASH 0"}));
}

TEST_F(ServiceStopTest, ShutdownCancelsTheRequestInsteadOfRecovering) {
  auto service = CreateNamed("sd", "");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  Hooks().shuttingDown = true;
  Main("sd")->Exit(1);
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{Cancelled}));
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_FALSE(service->lastStopFailed());

  Hooks().shuttingDown = false;
  StartHealthy(service.get(), &start);
  Hooks().shuttingDown = true;
  Main("sd")->Exit(1);
  EXPECT_TRUE(Hooks().recoveries.empty());
}

TEST_F(ServiceStopTest, StopDuringShutdownStillCompletesWithOk) {
  auto service = Started("sd", "");
  Hooks().shuttingDown = true;
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  Main("sd")->Exit(0);
  EXPECT_EQ(stop.results, (std::vector<ServiceResult>{Ok}));
}

TEST_F(ServiceStopTest, StopOfAServiceThatCrashedDuringItsPostStopCompletesWithOk) {
  auto service = Started("ps", R"("PostStopCommand": "/bin/cleanup")");
  Main("ps")->Exit(1);  // crash; post-stop runs while STOPPING without a request
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  EXPECT_TRUE(stop.results.empty());
  PostStop("ps")->Exit(0);
  EXPECT_EQ(stop.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_TRUE(Hooks().recoveries.empty());
}

}  // namespace
