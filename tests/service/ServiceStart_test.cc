// The start sequence against fake processes and a hand-driven clock: launch
// options, health polling, time-outs, START_PENDING, pre-start commands and
// start failures.
#include <climits>

#include "ServiceFixture.h"
#include "lib/log/log.h"

using servicetest::CountLogged;
using servicetest::Logged;

namespace {

class ServiceStartTest : public ServiceFixture {};

TEST_F(ServiceStartTest, LaunchPassesTheDefinitionToTheProcess) {
  UseConfig(R"({"KillServicesOnSentroCrash": false, "DefaultForceKillTimeoutSec": 17})");
  auto service = CreateNamed("web", R"("StartCommandArgs": ["-p", "80"], "RunAsUser": "www",
      "WorkingDir": "/srv", "StreamRedirectFile": "/var/log/web", "ProcessFdLimit": 4096,
      "MemoryLimitBytes": 1048576)");
  ASSERT_NE(service, nullptr);
  service->SetStart(nullptr, nullptr);
  FakeSysProcess *main = Main("web");
  ASSERT_TRUE(main->IsRunning());
  EXPECT_EQ(main->path, "/bin/web");
  EXPECT_EQ(main->args, (std::vector<std::string>{"-p", "80"}));
  EXPECT_TRUE(main->env.empty());
  EXPECT_EQ(main->options.execTimeoutSec, -1);
  EXPECT_EQ(main->options.runAsUser, "www");
  EXPECT_EQ(main->options.workingDir, "/srv");
  EXPECT_FALSE(main->options.killOnParentDeath);
  EXPECT_EQ(main->options.stdStreamFileBase, "/var/log/web");
  EXPECT_EQ(main->options.onStdout, nullptr);
  EXPECT_EQ(main->options.onStderr, nullptr);
  EXPECT_NE(main->options.onCoreDump, nullptr);
  ASSERT_NE(main->options.limits, nullptr);
  EXPECT_EQ(main->limits.serviceName, "web");
  EXPECT_EQ(main->limits.fdLimit, 4096u);
  EXPECT_EQ(main->limits.memoryLimitBytes, 1048576u);
  EXPECT_NE(main->forceKillCallback, nullptr);
  EXPECT_EQ(main->forceKillTimeout, 17);
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_EQ(service->GetStatus().pid, main->pid);
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
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_EQ(service->request(), ReqNone);
  EXPECT_TRUE(Logged(LOG_INFO, "<web> Service STARTED successfully.\n"));
  EXPECT_TRUE(Logged(LOG_DEBUG, "<web> Service api healthcheck returned health as INITIALIZED.\n"));
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
      "ApiHealthCommandArgs": ["--quick"], "RunAsUser": "dbuser", "WorkingDir": "/var/db",
      "ApiHealthCmdTimeout": 7)");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  AdvanceSeconds(1);
  FakeSysProcess *health = HealthCmd("db");
  ASSERT_TRUE(health->IsRunning());
  EXPECT_EQ(health->path, "/bin/probe");
  EXPECT_EQ(health->args, (std::vector<std::string>{"--quick"}));
  EXPECT_EQ(health->options.execTimeoutSec, 7);
  EXPECT_EQ(health->options.runAsUser, "dbuser");
  EXPECT_EQ(health->options.workingDir, "/var/db");
  EXPECT_TRUE(health->options.killOnParentDeath);
  EXPECT_NE(health->options.onStdout, nullptr);
  EXPECT_NE(health->forceKillCallback, nullptr);
  EXPECT_EQ(health->forceKillTimeout, 30);
  EXPECT_TRUE(Logged(LOG_INFO, "<db> Running the API Health command as user dbuser\n"));

  health->WriteStdout("still loading");
  health->Exit(65);
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_EQ(service->health(), HealthStatus::Unhealthy);
  EXPECT_EQ(service->healthData(), "still loading");
  EXPECT_TRUE(Logged(LOG_INFO, "<db> Re-check service health since it is still initializing.\n"));
  EXPECT_TRUE(Hooks().published.empty());  // unhealthy before and after

  AdvanceMs(999);
  EXPECT_EQ(health->startCount, 1);
  AdvanceMs(1);
  EXPECT_EQ(health->startCount, 2);
  health->WriteStdout(std::string(300, 'x'));
  health->WriteStdout("!");
  health->Exit(0);
  EXPECT_EQ(service->state(), ServiceState::Started);
  EXPECT_EQ(service->health(), HealthStatus::Healthy);
  EXPECT_EQ(service->healthData(), std::string(300, 'x') + "!");
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{Ok}));
}

TEST_F(ServiceStartTest, HealthUserPrefersTheHealthCommandUser) {
  auto service = CreateNamed("db", R"("ApiHealthCommand": "/bin/probe", "RunAsUser": "dbuser",
      "RunApiHealthCmdAsUser": "probe")");
  service->SetStart(nullptr, nullptr);
  AdvanceSeconds(1);
  EXPECT_EQ(HealthCmd("db")->options.runAsUser, "probe");
}

TEST_F(ServiceStartTest, InitializedCountsAsStarted) {
  auto service = CreateNamed("db", R"("ApiHealthCommand": "/bin/probe")");
  service->SetStart(nullptr, nullptr);
  AdvanceSeconds(1);
  HealthCmd("db")->Exit(64);
  EXPECT_EQ(service->state(), ServiceState::Started);
  EXPECT_EQ(service->health(), HealthStatus::Initialized);
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

TEST_F(ServiceStartTest, UnhealthyServiceIsStoppedWhenStartTimeoutPlusAdditionalExpires) {
  auto service = CreateNamed("slow", R"("ApiHealthCommand": "/bin/probe", "StartTimeout": 30)");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  FakeSysProcess *main = Main("slow");
  FakeSysProcess *health = HealthCmd("slow");
  // Answer every poll with "unhealthy" for 89.9 seconds.
  for (int i = 0; i < 899; i++) {
    AdvanceMs(100);
    if (health->IsRunning()) {
      health->Exit(65);
    }
  }
  EXPECT_EQ(health->startCount, 89);  // 1 s after launch, then every second
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_EQ(main->signalStops, 0);
  AdvanceMs(100);
  EXPECT_TRUE(Logged(LOG_INFO, "<slow> Service start operation timed out.\n"));
  EXPECT_EQ(Hooks().operations.back(), "end slow TIMED-OUT COMPLETED");
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  EXPECT_EQ(main->signalStops, 1);
  EXPECT_EQ(main->lastSignal, -1);
  EXPECT_EQ(main->lastStopTimeout, 10);
  EXPECT_TRUE(service->startTimedOut());
  EXPECT_TRUE(start.results.empty());
  EXPECT_EQ(service->request(), ReqStart);
  // No more polling while stopping.
  AdvanceSeconds(5);
  EXPECT_EQ(health->startCount, 90);
  EXPECT_FALSE(health->IsRunning());

  main->Exit(1);
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{TimedOut}));
  EXPECT_TRUE(service->lastStopFailed());
  EXPECT_TRUE(Logged(LOG_WARNING, "<slow> Service exited. Exit code 1\n"));
}

TEST_F(ServiceStartTest, AdditionalStartTimeoutComesFromTheConfiguration) {
  UseConfig(R"({"AdditionalServiceStartTimeout": 5})");
  auto service = CreateNamed("slow", R"("ApiHealthCommand": "/bin/probe", "StartTimeout": 10)");
  service->SetStart(nullptr, nullptr);
  AdvanceMs(14900);  // the health command started at 1 s never answers
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_TRUE(HealthCmd("slow")->IsRunning());
  AdvanceMs(100);
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  EXPECT_FALSE(HealthCmd("slow")->IsRunning());
  EXPECT_EQ(HealthCmd("slow")->cancelCount, 1);
}

TEST_F(ServiceStartTest, StartPendingExtendsTheStartByTheStartTimeoutEachTime) {
  auto service = CreateNamed("pend", R"("ApiHealthCommand": "/bin/probe", "StartTimeout": 10)");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  FakeSysProcess *health = HealthCmd("pend");
  // 120 seconds of START_PENDING, far beyond the first 70-second deadline.
  for (int i = 0; i < 1200; i++) {
    AdvanceMs(100);
    if (health->IsRunning()) {
      health->Exit(63);
    }
  }
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_EQ(service->health(), HealthStatus::StartPending);
  EXPECT_TRUE(service->healthData().empty());
  EXPECT_TRUE(Hooks().published.empty());  // START_PENDING is not published
  EXPECT_TRUE(Logged(LOG_DEBUG, "<pend> Giving service additional 10 secs to start\n"));
  EXPECT_TRUE(
      Logged(LOG_DEBUG, "<pend> Service api healthcheck returned health as START_PENDING.\n"));
  EXPECT_TRUE(start.results.empty());
  // The last START_PENDING came at 120 s; without another the start ends at 130 s.
  for (int i = 0; i < 99; i++) {
    AdvanceMs(100);
    if (health->IsRunning()) {
      health->Exit(65);
    }
  }
  EXPECT_EQ(service->state(), ServiceState::Starting);
  AdvanceMs(100);
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  Main("pend")->Exit(0);
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{TimedOut}));
}

TEST_F(ServiceStartTest, UnknownHealthAnswersKeepPolling) {
  auto service = CreateNamed("u", R"("ApiHealthCommand": "/bin/probe")");
  service->SetStart(nullptr, nullptr);
  AdvanceSeconds(1);
  FakeSysProcess *health = HealthCmd("u");
  health->Exit(7);
  EXPECT_TRUE(
      Logged(LOG_WARNING, "<u> Service api healthcheck command returned unknown exit code 7\n"));
  EXPECT_EQ(service->health(), HealthStatus::Unknown);
  EXPECT_EQ(service->state(), ServiceState::Starting);
  AdvanceSeconds(1);
  health->ExecTimeout();
  EXPECT_TRUE(Logged(LOG_WARNING, "<u> Service api healthcheck command timedout.\n"));
  EXPECT_EQ(service->state(), ServiceState::Starting);
  EXPECT_EQ(health->startCount, 2);
  AdvanceSeconds(1);
  EXPECT_EQ(health->startCount, 3);
}

TEST_F(ServiceStartTest, HealthCommandThatCannotStartGivesUnknownAndPollsAgain) {
  auto service = CreateNamed("u", R"("ApiHealthCommand": "/bin/probe")");
  FakeStartFailures().insert("u-healthcmd");
  service->SetStart(nullptr, nullptr);
  AdvanceSeconds(1);
  EXPECT_TRUE(Logged(LOG_ERROR, "<u> Failed to execute service api healthcheck command.\n"));
  EXPECT_EQ(service->health(), HealthStatus::Unknown);
  EXPECT_EQ(service->state(), ServiceState::Starting);
  ASSERT_EQ(Hooks().published.size(), 1u);
  EXPECT_EQ(Hooks().published[0].newHealth, HealthStatus::Unknown);
}

TEST_F(ServiceStartTest, HealthCommandStderrIsLoggedInOneMessage) {
  auto service = CreateNamed("u", R"("ApiHealthCommand": "/bin/probe")");
  service->SetStart(nullptr, nullptr);
  AdvanceSeconds(1);
  HealthCmd("u")->WriteStderr("warn: disk");
  HealthCmd("u")->Exit(0);
  EXPECT_TRUE(Logged(LOG_WARNING, "<u> Service api-health command's stderr: warn: disk\n"));
}

TEST_F(ServiceStartTest, ProcessEndingWhileStartingIsAStartFailure) {
  auto service = CreateNamed("crashy", R"("ApiHealthCommand": "/bin/probe")");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  AdvanceSeconds(1);
  ASSERT_TRUE(HealthCmd("crashy")->IsRunning());
  Main("crashy")->Exit(2);
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{StartFailed}));
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_TRUE(service->lastStopFailed());
  EXPECT_FALSE(HealthCmd("crashy")->IsRunning());
  EXPECT_TRUE(Hooks().recoveries.empty());
  AdvanceSeconds(100);
  EXPECT_EQ(HealthCmd("crashy")->startCount, 1);
}

TEST_F(ServiceStartTest, LaunchFailureIsAStartFailure) {
  auto service = CreateNamed("nolaunch", "");
  FakeStartFailures().insert("nolaunch");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  EXPECT_TRUE(Logged(LOG_ERROR, "<nolaunch> Failed to execute service start command\n"));
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{StartFailed}));
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(service->request(), ReqNone);
}

TEST_F(ServiceStartTest, HealthFileIsRemovedBeforeLaunch) {
  std::string healthFile = dir_.Sub("health.flag");
  WriteFile(healthFile, "old");
  auto service = CreateNamed("hf", "\"ApiHealthFile\": \"" + healthFile + "\"");
  service->SetStart(nullptr, nullptr);
  EXPECT_FALSE(FileExists(healthFile));
  EXPECT_TRUE(Main("hf")->IsRunning());
}

TEST_F(ServiceStartTest, HealthFileThatCannotBeRemovedFailsTheStart) {
  std::string healthFile = dir_.Sub("health.dir");
  MakeDirs(healthFile + "/inside");
  auto service = CreateNamed("hf", "\"ApiHealthFile\": \"" + healthFile + "\"");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  EXPECT_TRUE(Logged(LOG_ERROR, "<hf> Failed to unlink api health file " + healthFile + "\n"));
  EXPECT_EQ(Main("hf")->startCount, 0);
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{StartFailed}));
  EXPECT_EQ(service->state(), ServiceState::Stopped);
}

TEST_F(ServiceStartTest, PreStartCommandRunsBeforeTheLaunch) {
  auto service = CreateNamed("pre", R"("PreStartCommand": "/bin/prep",
      "PreStartCommandArgs": ["a"], "RunAsUser": "svc", "WorkingDir": "/w")");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  FakeSysProcess *pre = PreStart("pre");
  ASSERT_TRUE(pre->IsRunning());
  EXPECT_EQ(pre->path, "/bin/prep");
  EXPECT_EQ(pre->args, (std::vector<std::string>{"a"}));
  EXPECT_EQ(pre->options.execTimeoutSec, 300);
  EXPECT_EQ(pre->options.runAsUser, "svc");
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

TEST_F(ServiceStartTest, PreStartUserPrefersItsOwnSetting) {
  auto service = CreateNamed("pre", R"("PreStartCommand": "/bin/prep", "RunAsUser": "svc",
      "RunPreStartCmdAsUser": "admin")");
  service->SetStart(nullptr, nullptr);
  EXPECT_EQ(PreStart("pre")->options.runAsUser, "admin");
}

TEST_F(ServiceStartTest, FailedPreStartCommandFailsTheStart) {
  auto service = CreateNamed("pre", R"("PreStartCommand": "/bin/prep")");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  PreStart("pre")->Exit(3);
  EXPECT_TRUE(Logged(LOG_ERROR, "<pre> Service pre-start command failed with exit code 3.\n"));
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{Failed}));
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_TRUE(service->lastStopFailed());
  EXPECT_EQ(Main("pre")->startCount, 0);
}

TEST_F(ServiceStartTest, PreStartCommandThatCannotStartFailsTheStart) {
  auto service = CreateNamed("pre", R"("PreStartCommand": "/bin/prep")");
  FakeStartFailures().insert("pre-prestart");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  EXPECT_TRUE(Logged(LOG_ERROR, "<pre> Service pre-start command could not started.\n"));
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{Failed}));
  EXPECT_TRUE(service->lastStopFailed());
  EXPECT_EQ(service->request(), ReqNone);
}

TEST_F(ServiceStartTest, StartOfAStartedServiceSucceedsAtOnce) {
  auto service = CreateNamed("s", "");
  CompletionRecord first;
  StartHealthy(service.get(), &first);
  Hooks().operations.clear();
  CompletionRecord second;
  service->SetStart(CompletionRecord::Record, &second);
  EXPECT_EQ(second.results, (std::vector<ServiceResult>{Ok}));
  EXPECT_EQ(Hooks().operations, (std::vector<std::string>{"end s NONE COMPLETED"}));
  service->SetStart(nullptr, nullptr);  // no completion: no record either
  EXPECT_EQ(Hooks().operations.size(), 1u);
  EXPECT_EQ(Main("s")->startCount, 1);
}

TEST_F(ServiceStartTest, StartOfADisabledServiceIsRefused) {
  auto service = CreateNamed("off", R"("StartupType": "DISABLED")");
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{Disabled}));
  EXPECT_TRUE(Logged(LOG_WARNING, "<off> SetStart: Service is currently disabled.\n"));
  CompletionRecord restart;
  service->SetRestart(CompletionRecord::Record, &restart);
  EXPECT_EQ(restart.results, (std::vector<ServiceResult>{Disabled}));
  EXPECT_TRUE(Logged(LOG_WARNING, "<off> SetRestart: Service is currently disabled.\n"));
  EXPECT_EQ(Main("off")->startCount, 0);
}

TEST_F(ServiceStartTest, StartWhileStoppingIsRefused) {
  auto service = CreateNamed("s", "");
  CompletionRecord first;
  StartHealthy(service.get(), &first);
  service->SetStop(nullptr, nullptr);
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{InvalidState}));
  EXPECT_TRUE(Logged(LOG_WARNING, "<s> SetStart: Invalid State STOPPING, Curr request 2.\n"));
}

TEST_F(ServiceStartTest, EachRequestedStartReadsTheDefinitionAgain) {
  auto service = CreateNamed("re", R"("StartCommandArgs": ["one"])");
  service->SetStart(nullptr, nullptr);
  EXPECT_EQ(Main("re")->args, (std::vector<std::string>{"one"}));
  service->SetStop(nullptr, nullptr);
  Main("re")->Exit(0);
  WriteDefinition("re.json",
                  R"({"Name":"re","StartCommand":"/bin/re","StartCommandArgs":["two"]})");
  service->SetStart(nullptr, nullptr);
  EXPECT_EQ(Main("re")->args, (std::vector<std::string>{"two"}));
  // A broken file keeps the previous definition and the start goes on.
  service->SetStop(nullptr, nullptr);
  Main("re")->Exit(0);
  WriteDefinition("re.json", "{");
  service->SetStart(nullptr, nullptr);
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
