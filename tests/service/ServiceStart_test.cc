// The start sequence against fake processes and a hand-driven clock: launch
// options, health polling, time-outs, START_PENDING, pre-start commands and
// start failures.
#include "ServiceFixture.h"
#include "lib/log/log.h"

using servicetest::CountLogged;
using servicetest::Logged;

namespace {

class ServiceStartTest : public ServiceFixture {
 protected:
  // Answers every health poll with exitCode for ms milliseconds.
  void AnswerPollsFor(FakeSysProcess *health, int exitCode, int64_t ms) {
    for (; ms > 0; ms -= 100) {
      AdvanceMs(100);
      if (health->IsRunning()) {
        health->Exit(exitCode);
      }
    }
  }
};

TEST_F(ServiceStartTest, LaunchPassesTheDefinitionToTheProcess) {
  UseConfig(R"({"KillServicesOnSentroCrash": false, "DefaultForceKillTimeoutSec": 17})");
  std::string healthFile = dir_.Sub("health.flag");
  WriteFile(healthFile, "old");
  auto service = CreateNamed("web", R"("StartCommandArgs": ["-p", "80"], "RunAsUser": "www",
      "WorkingDir": "/srv", "StreamRedirectFile": "/var/log/web", "ProcessFdLimit": 4096,
      "MemoryLimitBytes": 1048576, "ApiHealthFile": ")" +
                                        healthFile + "\"");
  ASSERT_NE(service, nullptr);
  service->SetStart(nullptr, nullptr);
  EXPECT_FALSE(FileExists(healthFile));
  FakeSysProcess *main = Main("web");
  ASSERT_TRUE(main->IsRunning());
  EXPECT_EQ(main->path, "/bin/web");
  EXPECT_EQ(main->args, (std::vector<std::string>{"-p", "80"}));
  EXPECT_EQ(main->options.execTimeoutSec, -1);
  EXPECT_EQ(main->options.runAsUser, "www");
  EXPECT_EQ(main->options.workingDir, "/srv");
  EXPECT_FALSE(main->options.killOnParentDeath);
  EXPECT_EQ(main->options.stdStreamFileBase, "/var/log/web");
  EXPECT_NE(main->options.onCoreDump, nullptr);
  ASSERT_NE(main->options.limits, nullptr);
  EXPECT_EQ(main->limits.serviceName, "web");
  EXPECT_EQ(main->limits.fdLimit, 4096u);
  EXPECT_EQ(main->limits.memoryLimitBytes, 1048576u);
  EXPECT_NE(main->forceKillCallback, nullptr);
  EXPECT_EQ(main->forceKillTimeout, 17);
}

TEST_F(ServiceStartTest, ServiceWithoutHealthCommandIsStartedAtTheFirstPoll) {
  auto service = CreateNamed("web", "");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  EXPECT_EQ(Hooks().operations, (std::vector<std::string>{"begin web START UNHEALTHY PENDING"}));
  AdvanceMs(999, 999);
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_TRUE(start.results.empty());
  AdvanceMs(1);
  EXPECT_EQ(service->state(), ServiceState::Started);
  EXPECT_EQ(service->health(), HealthStatus::Initialized);
  EXPECT_EQ(start.results, Results{Ok});
  EXPECT_TRUE(Logged(LOG_INFO, "<web> Service STARTED successfully.\n"));
  EXPECT_EQ(Hooks().operations.back(), "end web HEALTHY COMPLETED");
  ASSERT_EQ(Hooks().published.size(), 1u);
  EXPECT_EQ(Hooks().published[0].newHealth, HealthStatus::Initialized);
  EXPECT_EQ(Hooks().published[0].oldHealth, HealthStatus::Unhealthy);
  EXPECT_FALSE(Hooks().published[0].unsolicited);
  // The start timer went with the request.
  AdvanceSeconds(200);
  EXPECT_EQ(CountLogged("<web> Service start operation timed out.\n"), 0);
}

TEST_F(ServiceStartTest, HealthCommandIsPolledUntilHealthyWithItsOutputAsData) {
  auto service = CreateNamed("db", R"("ApiHealthCommand": "/bin/probe",
      "ApiHealthCommandArgs": ["--quick"], "WorkingDir": "/var/db", "ApiHealthCmdTimeout": 7)");
  CompletionRecord start;
  ASSERT_NO_FATAL_FAILURE(StartUntilFirstPoll(service.get(), &start));
  FakeSysProcess *health = HealthCmd("db");
  EXPECT_EQ(health->path, "/bin/probe");
  EXPECT_EQ(health->args, (std::vector<std::string>{"--quick"}));
  EXPECT_EQ(health->options.execTimeoutSec, 7);
  EXPECT_EQ(health->options.workingDir, "/var/db");
  EXPECT_TRUE(health->options.killOnParentDeath);
  EXPECT_NE(health->forceKillCallback, nullptr);
  EXPECT_EQ(health->forceKillTimeout, 30);

  health->WriteStdout("still loading");
  health->WriteStderr("warn: disk");
  health->Exit(65);
  EXPECT_EQ(service->healthData(), "still loading");
  EXPECT_TRUE(Logged(LOG_WARNING, "<db> Service api-health command's stderr: warn: disk\n"));

  AdvanceSeconds(1);
  health->WriteStdout(std::string(300, 'x'));  // more than one read chunk
  health->WriteStdout("!");
  health->Exit(0);
  EXPECT_EQ(service->state(), ServiceState::Started);
  EXPECT_EQ(service->healthData(), std::string(300, 'x') + "!");
  EXPECT_EQ(start.results, Results{Ok});
}

TEST_F(ServiceStartTest, HealthAnswerDuringAStartDecidesWhetherItIsOver) {
  const int kExecTimeout = -1;
  const int kCannotStart = -2;
  struct Case {
    int answer;
    ServiceState state;
    HealthStatus health;
    bool published;
    int level;
    std::string message;
  };
  const Case cases[] = {
      {0, ServiceState::Started, HealthStatus::Healthy, true, LOG_DEBUG,
       "<u> Service api healthcheck returned health as HEALTHY.\n"},
      {64, ServiceState::Started, HealthStatus::Initialized, true, LOG_DEBUG,
       "<u> Service api healthcheck returned health as INITIALIZED.\n"},
      {65, ServiceState::Starting, HealthStatus::Unhealthy, false, LOG_INFO,
       "<u> Re-check service health since it is still initializing.\n"},
      {63, ServiceState::Starting, HealthStatus::StartPending, false, LOG_DEBUG,
       "<u> Service api healthcheck returned health as START_PENDING.\n"},
      {7, ServiceState::Starting, HealthStatus::Unknown, true, LOG_WARNING,
       "<u> Service api healthcheck command returned unknown exit code 7\n"},
      {kExecTimeout, ServiceState::Starting, HealthStatus::Unknown, true, LOG_WARNING,
       "<u> Service api healthcheck command timedout.\n"},
      {kCannotStart, ServiceState::Starting, HealthStatus::Unknown, true, LOG_ERROR,
       "<u> Failed to execute service api healthcheck command.\n"},
  };
  const std::string polled = "<u> Running the API Health command as user \n";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.answer);
    servicetest::ClearLog();
    Hooks().published.clear();
    if (c.answer == kCannotStart) {
      FakeStartFailures().insert("u-healthcmd");
    }
    auto service = CreateNamed("u", R"("ApiHealthCommand": "/bin/probe")");
    service->SetStart(nullptr, nullptr);
    AdvanceSeconds(1);
    if (c.answer == kExecTimeout) {
      HealthCmd("u")->ExecTimeout();
    } else if (c.answer != kCannotStart) {
      HealthCmd("u")->Exit(c.answer);
    }
    EXPECT_EQ(service->state(), c.state);
    EXPECT_EQ(service->health(), c.health);
    EXPECT_TRUE(Logged(c.level, c.message));
    ASSERT_EQ(Hooks().published.size(), c.published ? 1u : 0u);
    if (c.published) {
      EXPECT_EQ(Hooks().published[0].newHealth, c.health);
    }
    // A start that is not over polls again a second later.
    AdvanceSeconds(1);
    EXPECT_EQ(CountLogged(polled), c.state == ServiceState::Starting ? 2 : 1);
    FakeStartFailures().clear();
  }
}

struct PollCase {
  int startTimeout;
  int expectedIntervalSecs;
};

class ServicePollIntervalTest : public ServiceStartTest,
                                public ::testing::WithParamInterface<PollCase> {};

TEST_P(ServicePollIntervalTest, PollingRunsEveryThirtySecondthOfTheStartTimeoutWithinOneToEight) {
  auto service = CreateNamed("p", "\"ApiHealthCommand\": \"/bin/probe\", \"StartTimeout\": " +
                                      std::to_string(GetParam().startTimeout));
  service->SetStart(nullptr, nullptr);
  AdvanceSeconds(1);
  FakeSysProcess *health = HealthCmd("p");
  ASSERT_EQ(health->startCount, 1);
  health->Exit(65);
  int interval = GetParam().expectedIntervalSecs;
  AdvanceMs(interval * 1000 - 100);
  EXPECT_EQ(health->startCount, 1);
  AdvanceMs(100);
  EXPECT_EQ(health->startCount, 2);
}

INSTANTIATE_TEST_SUITE_P(Intervals, ServicePollIntervalTest,
                         ::testing::Values(PollCase{30, 1}, PollCase{64, 2}, PollCase{96, 3},
                                           PollCase{320, 8}, PollCase{1000, 8}));

TEST_F(ServiceStartTest, HelperCommandsRunAsTheirOwnUserElseTheServiceUser) {
  struct Case {
    std::string extra;
    std::string helper;
    std::string user;
  };
  const Case cases[] = {
      {R"("ApiHealthCommand": "/bin/probe")", "h-healthcmd", "svc"},
      {R"("ApiHealthCommand": "/bin/probe", "RunApiHealthCmdAsUser": "probe")", "h-healthcmd",
       "probe"},
      {R"("PreStartCommand": "/bin/prep")", "h-prestart", "svc"},
      {R"("PreStartCommand": "/bin/prep", "RunPreStartCmdAsUser": "admin")", "h-prestart", "admin"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.extra);
    servicetest::ClearLog();
    auto service = CreateNamed("h", R"("RunAsUser": "svc", )" + c.extra);
    service->SetStart(nullptr, nullptr);
    AdvanceSeconds(1);
    ASSERT_NE(FindFake(c.helper), nullptr);
    EXPECT_EQ(FindFake(c.helper)->options.runAsUser, c.user);
    if (c.helper == "h-healthcmd") {
      EXPECT_TRUE(Logged(LOG_INFO, "<h> Running the API Health command as user " + c.user + "\n"));
    }
  }
}

TEST_F(ServiceStartTest, ServiceNotReadyIsStoppedWhenStartTimeoutPlusAdditionalExpires) {
  UseConfig(R"({"AdditionalServiceStartTimeout": 5})");
  auto service = CreateNamed("slow", R"("ApiHealthCommand": "/bin/probe", "StartTimeout": 30)");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  FakeSysProcess *main = Main("slow");
  FakeSysProcess *health = HealthCmd("slow");
  AdvanceMs(34900);  // the health command started at 1 s never answers
  EXPECT_EQ(service->state(), ServiceState::Starting);
  AdvanceMs(100);
  EXPECT_TRUE(Logged(LOG_INFO, "<slow> Service start operation timed out.\n"));
  EXPECT_EQ(Hooks().operations.back(), "end slow TIMED-OUT COMPLETED");
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  EXPECT_EQ(main->signalStops, 1);
  EXPECT_EQ(main->lastSignal, -1);
  EXPECT_EQ(main->lastStopTimeout, 10);
  EXPECT_EQ(health->cancelCount, 1);
  EXPECT_TRUE(start.results.empty());
  AdvanceSeconds(5);  // no more polling while stopping
  EXPECT_EQ(health->startCount, 1);

  main->Exit(1);
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(start.results, Results{TimedOut});
  EXPECT_TRUE(service->lastStopFailed());
  EXPECT_TRUE(Logged(LOG_WARNING, "<slow> Service exited. Exit code 1\n"));
}

TEST_F(ServiceStartTest, StartPendingExtendsTheStartByTheStartTimeoutEachTime) {
  auto service = CreateNamed("pend", R"("ApiHealthCommand": "/bin/probe", "StartTimeout": 10)");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  FakeSysProcess *health = HealthCmd("pend");
  // 120 seconds of START_PENDING, far beyond the first 70-second deadline.
  AnswerPollsFor(health, 63, 120000);
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_EQ(service->health(), HealthStatus::StartPending);
  EXPECT_TRUE(Hooks().published.empty());  // START_PENDING is not published
  EXPECT_TRUE(Logged(LOG_DEBUG, "<pend> Giving service additional 10 secs to start\n"));
  EXPECT_TRUE(start.results.empty());
  // The last START_PENDING came at 120 s; without another the start ends at 130 s.
  AnswerPollsFor(health, 65, 9900);
  EXPECT_EQ(service->state(), ServiceState::Starting);
  AdvanceMs(100);
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  Main("pend")->Exit(0);
  EXPECT_EQ(start.results, Results{TimedOut});
}

TEST_F(ServiceStartTest, ProcessEndingWhileStartingIsAStartFailure) {
  auto service = CreateNamed("crashy", R"("ApiHealthCommand": "/bin/probe")");
  CompletionRecord start;
  ASSERT_NO_FATAL_FAILURE(StartUntilFirstPoll(service.get(), &start));
  Main("crashy")->Exit(2);
  EXPECT_EQ(start.results, Results{StartFailed});
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_TRUE(service->lastStopFailed());
  EXPECT_FALSE(HealthCmd("crashy")->IsRunning());
  EXPECT_TRUE(Hooks().recoveries.empty());
  AdvanceSeconds(100);
  EXPECT_EQ(HealthCmd("crashy")->startCount, 1);
}

TEST_F(ServiceStartTest, StartThatCannotLaunchCompletesWithItsFailure) {
  std::string healthDir = dir_.Sub("health.dir");
  MakeDirs(healthDir + "/inside");
  struct Case {
    std::string extra;
    std::string failingTag;
    ServiceResult result;
    std::string message;
  };
  const Case cases[] = {
      {"", "f", StartFailed, "<f> Failed to execute service start command\n"},
      {"\"ApiHealthFile\": \"" + healthDir + "\"", "", StartFailed,
       "<f> Failed to unlink api health file " + healthDir + "\n"},
      {R"("PreStartCommand": "/bin/prep")", "", Failed,
       "<f> Service pre-start command failed with exit code 3.\n"},
      {R"("PreStartCommand": "/bin/prep")", "f-prestart", Failed,
       "<f> Service pre-start command could not started.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    servicetest::ClearLog();
    FakeStartFailures() = {c.failingTag};
    auto service = CreateNamed("f", c.extra);
    CompletionRecord start;
    service->SetStart(CompletionRecord::Record, &start);
    if (PreStart("f")->IsRunning()) {
      PreStart("f")->Exit(3);
    }
    EXPECT_EQ(start.results, Results{c.result});
    EXPECT_TRUE(Logged(LOG_ERROR, c.message));
    EXPECT_EQ(service->state(), ServiceState::Stopped);
    EXPECT_TRUE(service->lastStopFailed());
    EXPECT_EQ(service->request(), ReqNone);
    EXPECT_EQ(Main("f")->startCount, 0);
  }
}

TEST_F(ServiceStartTest, PreStartCommandRunsBeforeTheLaunch) {
  auto service = CreateNamed("pre", R"("PreStartCommand": "/bin/prep",
      "PreStartCommandArgs": ["a"], "WorkingDir": "/w")");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  FakeSysProcess *pre = PreStart("pre");
  ASSERT_TRUE(pre->IsRunning());
  EXPECT_EQ(pre->path, "/bin/prep");
  EXPECT_EQ(pre->args, (std::vector<std::string>{"a"}));
  EXPECT_EQ(pre->options.execTimeoutSec, 300);
  EXPECT_EQ(pre->options.workingDir, "/w");
  EXPECT_TRUE(pre->options.killOnParentDeath);
  EXPECT_NE(pre->forceKillCallback, nullptr);
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(Main("pre")->startCount, 0);

  pre->WriteStderr("preparing");
  pre->Exit(0);
  EXPECT_TRUE(Logged(LOG_WARNING, "<pre> Service pre-start command's stderr: preparing\n"));
  EXPECT_TRUE(Logged(LOG_INFO, "<pre> Service pre-start command completed successfully.\n"));
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_TRUE(Main("pre")->IsRunning());
}

TEST_F(ServiceStartTest, StartOfADisabledServiceIsRefused) {
  auto service = CreateNamed("off", R"("StartupType": "DISABLED")");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  EXPECT_EQ(start.results, Results{Disabled});
  EXPECT_TRUE(Logged(LOG_WARNING, "<off> SetStart: Service is currently disabled.\n"));
  CompletionRecord restart;
  service->SetRestart(CompletionRecord::Record, &restart);
  EXPECT_EQ(restart.results, Results{Disabled});
  EXPECT_TRUE(Logged(LOG_WARNING, "<off> SetRestart: Service is currently disabled.\n"));
  EXPECT_EQ(Main("off")->startCount, 0);
}

TEST_F(ServiceStartTest, EachRequestedStartReadsTheDefinitionAgain) {
  auto service = CreateNamed("re", R"("StartCommandArgs": ["one"])");
  auto restartWith = [&](const std::string &definition) {
    service->SetStop(nullptr, nullptr);
    Main("re")->Exit(0);
    WriteDefinition("re.json", definition);
    service->SetStart(nullptr, nullptr);
  };
  service->SetStart(nullptr, nullptr);
  EXPECT_EQ(Main("re")->args, (std::vector<std::string>{"one"}));
  restartWith(R"({"Name":"re","StartCommand":"/bin/re","StartCommandArgs":["two"]})");
  EXPECT_EQ(Main("re")->args, (std::vector<std::string>{"two"}));
  // A broken file keeps the previous definition and the start goes on.
  restartWith("{");
  EXPECT_EQ(Main("re")->args, (std::vector<std::string>{"two"}));
  EXPECT_EQ(service->state(), ServiceState::Starting);
}

TEST_F(ServiceStartTest, ForceKillThatDoesNotFinishIsASystemFailure) {
  auto service = CreateNamed("stuck", "");
  service->SetStart(nullptr, nullptr);
  Main("stuck")->ForceKillTimeout();
  EXPECT_TRUE(Logged(LOG_ERROR,
                     "Force kill command timed out, for service <stuck>. resulting in system "
                     "Failure\n"));
  EXPECT_EQ(Hooks().systemFailures, (std::vector<std::string>{"stuck"}));
}

TEST_F(ServiceStartTest, StatusReportsPidWhileRunningAndStopFailureWhenStopped) {
  auto service = CreateNamed("st", "");
  AdvanceMs(2500, 2500);
  ServiceStatus status = service->GetStatus();
  EXPECT_EQ(status.state, ServiceState::Stopped);
  EXPECT_EQ(status.msInState, 2500u);
  EXPECT_EQ(status.pid, 0);
  service->SetStart(nullptr, nullptr);
  AdvanceMs(300);
  status = service->GetStatus();
  EXPECT_EQ(status.state, ServiceState::Starting);
  EXPECT_EQ(status.msInState, 300u);
  EXPECT_EQ(status.pid, Main("st")->pid);
  Main("st")->Exit(9);
  status = service->GetStatus();
  EXPECT_EQ(status.state, ServiceState::Stopped);
  EXPECT_TRUE(status.lastStopFailed);
  EXPECT_EQ(status.pid, 0);
}

}  // namespace
