// Stopping a service and what the end of its process means: stop command or
// signal, post-stop command, clean exits, crashes, core dumps and shutdown.
#include <climits>

#include "ServiceFixture.h"
#include "lib/log/log.h"

using servicetest::Logged;

namespace {

class ServiceStopTest : public ServiceFixture {};

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
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_FALSE(service->lastStopFailed());
  EXPECT_TRUE(Logged(LOG_INFO, "<web> Service STOPPED sucessfully.\n"));
  EXPECT_EQ(Hooks().operations.back(), "end web STOPPED COMPLETED");
}

TEST_F(ServiceStopTest, StopCommandThenPostStopCommandRunBeforeTheDecision) {
  auto service = Started("web", R"("PostStopCommand": "/bin/cleanup",
      "PostStopCommandArgs": ["--all"], "PostStopTimeout": 3, "RunAsUser": "www",
      "WorkingDir": "/srv", "StopCommand": "/bin/webctl", "StopCommandArgs": ["stop"],
      "StopTimeout": 6)");
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  // A stop command, when defined, replaces the stop signal.
  EXPECT_EQ(Main("web")->signalStops, 0);
  EXPECT_EQ(Main("web")->commandStops, 1);
  EXPECT_EQ(Main("web")->stopCommand, "/bin/webctl");
  EXPECT_EQ(Main("web")->stopCommandArgs, (std::vector<std::string>{"stop"}));
  EXPECT_EQ(Main("web")->lastStopTimeout, 6);
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
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(PostStop("web"), nullptr);  // released after its run
}

TEST_F(ServiceStopTest, FailingPostStopCommandDoesNotChangeTheDecision) {
  struct Case {
    bool cannotStart;
    std::string message;
  };
  const Case cases[] = {{false, "<web> Post stop command exec failed. RC=2\n"},
                        {true, "<web> Failed to execute post stop command.\n"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    FakeStartFailures().clear();
    auto service = Started("web", R"("PostStopCommand": "/bin/cleanup")");
    if (c.cannotStart) {
      FakeStartFailures().insert("web-post-stop");
    }
    CompletionRecord stop;
    service->SetStop(CompletionRecord::Record, &stop);
    Main("web")->Exit(0);
    if (!c.cannotStart) {
      PostStop("web")->Exit(2);
    }
    EXPECT_TRUE(Logged(LOG_ERROR, c.message));
    EXPECT_EQ(stop.results, Results{Ok});
    EXPECT_EQ(PostStop("web"), nullptr);
  }
}

TEST_F(ServiceStopTest, ServiceDestroyedDuringPostStopReleasesIt) {
  auto service = Started("web", R"("PostStopCommand": "/bin/cleanup")");
  Main("web")->Exit(1);
  ASSERT_NE(PostStop("web"), nullptr);
  service.reset();
  EXPECT_EQ(PostStop("web"), nullptr);
}

TEST_F(ServiceStopTest, UnrequestedExitIsACleanExitOrACrashByItsCode) {
  for (int code : {3, 1}) {
    SCOPED_TRACE(code);
    servicetest::ClearLog();
    Hooks().recoveries.clear();
    auto service = Started("api", R"("CleanExitCodes": [0, 3])");
    Main("api")->Exit(code);
    EXPECT_EQ(service->state(), ServiceState::Stopped);
    EXPECT_EQ(service->lastStopFailed(), code == 1);
    EXPECT_TRUE(
        Logged(LOG_WARNING, "<api> Service exited. Exit code " + std::to_string(code) + "\n"));
    ASSERT_EQ(Hooks().published.size(), 1u);
    EXPECT_TRUE(Hooks().published[0].unsolicited);
    if (code == 3) {
      EXPECT_TRUE(Logged(LOG_INFO, "<api> Service exited cleanly.\n"));
      EXPECT_TRUE(Hooks().recoveries.empty());
    } else {
      EXPECT_TRUE(Logged(LOG_WARNING,
                         "<api> Service exited unexpectedly. Crash count 0. Taking configured "
                         "recovery action.\n"));
      EXPECT_EQ(Hooks().recoveries, (std::vector<std::string>{"api CRASH 0"}));
    }
  }
}

TEST_F(ServiceStopTest, CrashWithRecoveryDisabledCountsTheCrashUpToItsMaximum) {
  UseConfig(R"({"RecoverOnServiceCrash": false})");
  WriteFile(dataDir_ + "/.svcStats/stats_api.json", R"({"ProcessCrashCount":2147483646})");
  auto service = Started("api", "");
  Main("api")->Exit(1);
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_TRUE(Hooks().recoveries.empty());
  EXPECT_EQ(service->failCounters().processCrash, INT_MAX);
  EXPECT_TRUE(Logged(LOG_INFO,
                     "<api> Service exited unexpectedly. Crash count 2147483646. Recovery action "
                     "is disabled\n"));
  EXPECT_EQ(Hooks().operations.back(), "end api CRASHED COMPLETED");

  CompletionRecord start;
  StartHealthy(service.get(), &start);
  Main("api")->Exit(1);
  EXPECT_EQ(service->failCounters().processCrash, INT_MAX);
}

TEST_F(ServiceStopTest, CoreDumpOfAnIdleServiceIsCountedWithoutCapAndMarksItStopping) {
  WriteFile(dataDir_ + "/.svcStats/stats_cd.json", R"({"ProcessCoredumpCount":2147483647})");
  auto service = Started("cd", "");
  Main("cd")->DumpCore();
  EXPECT_TRUE(
      Logged(LOG_INFO, "<cd> Service is dumping core. Coredump count 2147483647. CurrReq: 0\n"));
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  EXPECT_EQ(service->health(), HealthStatus::Unhealthy);
  EXPECT_EQ(service->failCounters().processCoredump, INT_MIN);
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

TEST_F(ServiceStopTest, CoreDumpOrExitDuringAnExplicitHealthCheckCancelsIt) {
  for (bool dumpCore : {true, false}) {
    SCOPED_TRACE(dumpCore ? "core dump" : "exit");
    Hooks().recoveries.clear();
    auto service = Started("hc", R"("ApiHealthCommand": "/bin/probe")");
    CompletionRecord check;
    BeginHealthCheck(service.get(), &check);
    if (dumpCore) {
      Main("hc")->DumpCore();
    } else {
      Main("hc")->Exit(1);
    }
    EXPECT_EQ(check.results, Results{Cancelled});
    EXPECT_FALSE(HealthCmd("hc")->IsRunning());
    EXPECT_EQ(service->request(), ReqNone);
    EXPECT_EQ(service->failCounters().processCoredump, dumpCore ? 1 : 0);
    EXPECT_EQ(Hooks().recoveries,
              dumpCore ? std::vector<std::string>{} : std::vector<std::string>{"hc CRASH 0"});
  }
}

TEST_F(ServiceStopTest, ShutdownCancelsTheRequestInsteadOfRecovering) {
  auto service = CreateNamed("sd", "");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  Hooks().shuttingDown = true;
  Main("sd")->Exit(1);
  EXPECT_EQ(start.results, Results{Cancelled});
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_FALSE(service->lastStopFailed());

  Hooks().shuttingDown = false;
  StartHealthy(service.get(), &start);
  Hooks().shuttingDown = true;
  Main("sd")->Exit(1);
  EXPECT_TRUE(Hooks().recoveries.empty());

  // A stop requested during the shutdown still completes with Ok.
  Hooks().shuttingDown = false;
  StartHealthy(service.get(), &start);
  Hooks().shuttingDown = true;
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  Main("sd")->Exit(0);
  EXPECT_EQ(stop.results, Results{Ok});
}

TEST_F(ServiceStopTest, StopOfAServiceThatCrashedDuringItsPostStopCompletesWithOk) {
  auto service = Started("ps", R"("PostStopCommand": "/bin/cleanup")");
  Main("ps")->Exit(1);  // crash; post-stop runs while STOPPING without a request
  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  EXPECT_TRUE(stop.results.empty());
  PostStop("ps")->Exit(0);
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_TRUE(Hooks().recoveries.empty());
}

}  // namespace
