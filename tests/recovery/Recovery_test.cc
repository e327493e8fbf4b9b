// Recovery of failing services against fake processes and the hand-advanced
// clock: which action a failure takes, how the counters move, restarts with
// their quick-failure limit, system restart and failover through fake hooks,
// the outcome of explicit health checks, live core dumps and counter resets.
#include <climits>

#include "lib/log/log.h"
#include "service/ServiceFixture.h"
#include "src/core/SentroConfig.h"
#include "src/service/ServiceHooks.h"
#include "src/service/ServiceRecovery.h"

using servicetest::CountLogged;
using servicetest::Logged;

namespace {

// What the machine-level hooks were asked to do.
struct MachineRecord {
  int restarts = 0;
  std::vector<std::string> failoverPaths;
  uint64_t failoverTimeout = 0;
  bool failoverStarts = true;
  void (*failoverDone)(bool, void *) = nullptr;
  void *failoverData = nullptr;
};

MachineRecord &Machine() {
  static MachineRecord record;
  return record;
}

struct LiveCoreRecord {
  std::vector<ServiceResult> results;
  std::vector<std::string> paths;
  static void Record(ServiceResult result, Service *, const std::string &path, void *context) {
    auto *record = static_cast<LiveCoreRecord *>(context);
    record->results.push_back(result);
    record->paths.push_back(path);
  }
};

class RecoveryTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    InstallRecoveryHooks();
    Machine() = MachineRecord();
    GetRecoveryHooks().restartSystem = [](bool restart) {
      EXPECT_TRUE(restart);
      Machine().restarts++;
      return true;  // returning at all means refused
    };
    GetRecoveryHooks().sendFailoverRequest = [](const std::string &path, void (*done)(bool, void *),
                                                void *data, uint64_t timeoutSec) {
      Machine().failoverPaths.push_back(path);
      Machine().failoverTimeout = timeoutSec;
      Machine().failoverDone = done;
      Machine().failoverData = data;
      return Machine().failoverStarts;
    };
  }
  void TearDown() override {
    GetRecoveryHooks() = RecoveryHooks();
    ServiceFixture::TearDown();
  }

  // Runs one explicit health check whose command exits with exitCode.
  ServiceResult CheckHealth(Service *service, int exitCode, const std::string &output = "") {
    CompletionRecord check;
    RunHealthCheck(service, CompletionRecord::Record, &check);
    EXPECT_TRUE(HealthCmd(service->name())->IsRunning());
    HealthCmd(service->name())->WriteStdout(output);
    HealthCmd(service->name())->Exit(exitCode);
    return check.last();
  }
};

// Action selection.

TEST_F(RecoveryTest, ActiveProfileListOfTheServiceWinsOverTheDefaultsEvenWhenEmpty) {
  auto quiet = Started("quiet", R"("RecoveryActionProfiles": {"DEFAULT": {"CRASH": []},
      "FAILOVER": {"CRASH": ["HAFAILOVER", "RESTART_SYSTEM"]}})");
  auto plain = Started("plain", "");
  EXPECT_TRUE(quiet->SelectRecoveryActions(FailureType::Crash).empty());
  EXPECT_EQ(plain->SelectRecoveryActions(FailureType::Crash),
            (RecoveryActionList{RecoveryAction::RestartService}));
  // A failure type the service does not list falls back to the defaults.
  EXPECT_EQ(quiet->SelectRecoveryActions(FailureType::HealthFail),
            (RecoveryActionList{RecoveryAction::NoAction, RecoveryAction::RestartService}));

  Main("quiet")->Exit(1);
  EXPECT_EQ(quiet->state(), ServiceState::Stopped);
  EXPECT_EQ(quiet->failCounters().processCrash, 1);
  EXPECT_EQ(Main("quiet")->startCount, 1);

  Main("plain")->Exit(1);
  EXPECT_TRUE(Logged(LOG_INFO, "<plain> Restarting service.\n"));
  EXPECT_EQ(plain->state(), ServiceState::Starting);
  AdvanceSeconds(1);
  EXPECT_EQ(plain->state(), ServiceState::Started);
  EXPECT_EQ(Main("plain")->startCount, 2);

  SentroConfig::Get()->SetActiveRecoveryProfile(RecoveryProfile::Failover);
  EXPECT_EQ(plain->SelectRecoveryActions(FailureType::Crash),
            (RecoveryActionList{RecoveryAction::RestartService}));
  CompletionRecord start;
  StartHealthy(quiet.get(), &start);
  quiet->failCounters().processCrash = 0;
  Main("quiet")->Exit(1);
  EXPECT_EQ(Machine().failoverPaths, (std::vector<std::string>{dataDir_ + "/duolistener"}));
  EXPECT_EQ(Machine().restarts, 0);
  EXPECT_EQ(quiet->state(), ServiceState::Stopped);
  SentroConfig::Get()->SetActiveRecoveryProfile(RecoveryProfile::Default);
}

TEST_F(RecoveryTest, CounterPicksTheEntryTheLastOneRepeatsAndTheCounterSaturates) {
  auto service = Started("cnt", "");
  AdvanceSeconds(3);
  RecoveryActionList actions = {RecoveryAction::NoAction, RecoveryAction::RestartSystem,
                                RecoveryAction::HaFailover};
  int32_t counter = 0;
  TakeRecoveryAction(service.get(), actions, &counter);
  EXPECT_EQ(counter, 1);
  EXPECT_EQ(Machine().restarts, 0);
  EXPECT_TRUE(Machine().failoverPaths.empty());
  EXPECT_EQ(service->lastRecoveryMs(), static_cast<uint64_t>(NowMicros() / 1000));

  TakeRecoveryAction(service.get(), actions, &counter);
  EXPECT_EQ(counter, 2);
  EXPECT_EQ(Machine().restarts, 1);

  TakeRecoveryAction(service.get(), actions, &counter);
  TakeRecoveryAction(service.get(), actions, &counter);
  EXPECT_EQ(counter, 4);
  EXPECT_EQ(Machine().failoverPaths.size(), 2u);
  EXPECT_EQ(Machine().restarts, 1);

  counter = INT32_MAX;
  TakeRecoveryAction(service.get(), actions, &counter);
  EXPECT_EQ(counter, INT32_MAX);
  EXPECT_EQ(Machine().failoverPaths.size(), 3u);

  counter = 0;  // an empty list takes no action but still counts
  TakeRecoveryAction(service.get(), {}, &counter);
  EXPECT_EQ(counter, 1);
  EXPECT_EQ(service->state(), ServiceState::Started);
  EXPECT_EQ(Main("cnt")->startCount, 1);
}

TEST_F(RecoveryTest, RestartThatKeepsFailingGivesUpAfterTheQuickFailureLimit) {
  UseConfig(R"({"MaxServiceQuickRecoveryCount": 2})");
  auto service = Started("flaky", "");
  // A restart that succeeds after one failure reports nothing.
  Main("flaky")->Exit(1);
  Main("flaky")->Exit(1);
  EXPECT_TRUE(Logged(LOG_WARNING, "<flaky> Service failed to recover. Try again. Fail count 1\n"));
  AdvanceSeconds(1);
  EXPECT_EQ(service->state(), ServiceState::Started);
  EXPECT_EQ(service->quickFailCount(), 1);

  Main("flaky")->Exit(1);  // a new RESTART_SERVICE action counts from 0 again
  EXPECT_EQ(service->quickFailCount(), 0);
  ASSERT_EQ(service->state(), ServiceState::Starting);
  EXPECT_TRUE(service->IsRecoveryRestart());
  Main("flaky")->Exit(1);
  Main("flaky")->Exit(1);
  EXPECT_TRUE(Logged(LOG_WARNING, "<flaky> Service failed to recover. Try again. Fail count 2\n"));
  EXPECT_TRUE(Hooks().systemFailures.empty());
  Main("flaky")->Exit(1);
  EXPECT_TRUE(Logged(LOG_ERROR, "<flaky> Service reached max quick failure count. Give up!!!\n"));
  EXPECT_EQ(Hooks().systemFailures, (std::vector<std::string>{"flaky"}));
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(Main("flaky")->startCount, 6);  // the first start, then 2 and 3 recovery attempts
  EXPECT_EQ(service->failCounters().processCrash, 2);
}

TEST_F(RecoveryTest, DisabledServiceReachesTheQuickFailureLimitAtOnce) {
  UseConfig(R"({"MaxServiceQuickRecoveryCount": 3})");
  auto service = CreateNamed("off", R"("StartupType": "DISABLED")");
  int32_t counter = 0;
  TakeRecoveryAction(service.get(), {RecoveryAction::RestartService}, &counter);
  for (int attempt = 1; attempt <= 3; attempt++) {
    EXPECT_TRUE(Logged(LOG_WARNING, "<off> Service failed to recover. Try again. Fail count " +
                                        std::to_string(attempt) + "\n"));
  }
  EXPECT_EQ(CountLogged("<off> Service reached max quick failure count. Give up!!!\n"), 1);
  EXPECT_EQ(Hooks().systemFailures, (std::vector<std::string>{"off"}));
  EXPECT_EQ(service->quickFailCount(), 4);
  EXPECT_EQ(Main("off")->startCount, 0);
}

// System restart and failover.

TEST_F(RecoveryTest, SystemRestartThatReturnsIsLoggedAsFailed) {
  auto service = Started("sys", "");
  int32_t counter = 0;
  TakeRecoveryAction(service.get(), {RecoveryAction::RestartSystem}, &counter);
  EXPECT_EQ(Machine().restarts, 1);
  EXPECT_TRUE(Logged(LOG_INFO, "Issuing system restart request.\n"));
  EXPECT_TRUE(Logged(LOG_ERROR, "Failed to restart system.\n"));

  servicetest::ClearLog();
  GetRecoveryHooks().restartSystem = nullptr;
  TakeRecoveryAction(service.get(), {RecoveryAction::RestartSystem}, &counter);
  EXPECT_TRUE(Logged(LOG_ERROR, "Failed to restart system.\n"));
  EXPECT_TRUE(Hooks().systemFailures.empty());
}

TEST_F(RecoveryTest, FailoverLogsItsOutcomeAndOneThatCannotBeSentIsASystemFailure) {
  auto service = Started("duo", "");
  int32_t counter = 0;
  TakeRecoveryAction(service.get(), {RecoveryAction::HaFailover}, &counter);
  EXPECT_EQ(Machine().failoverPaths, (std::vector<std::string>{dataDir_ + "/duolistener"}));
  EXPECT_EQ(Machine().failoverTimeout, 120u);
  EXPECT_TRUE(Logged(LOG_INFO, "<duo> Initiated DUO failover for service.\n"));
  ASSERT_NE(Machine().failoverDone, nullptr);
  Machine().failoverDone(true, Machine().failoverData);
  EXPECT_TRUE(Logged(LOG_INFO, "DUO failover call done. Success : 1\n"));
  Machine().failoverDone(false, Machine().failoverData);
  EXPECT_TRUE(Logged(LOG_INFO, "DUO failover call done. Success : 0\n"));
  EXPECT_TRUE(Hooks().systemFailures.empty());
  EXPECT_EQ(service->state(), ServiceState::Started);

  Machine().failoverStarts = false;
  TakeRecoveryAction(service.get(), {RecoveryAction::HaFailover}, &counter);
  EXPECT_TRUE(Logged(LOG_ERROR, "<duo> Failed to send duo failover request for service.\n"));
  EXPECT_EQ(Hooks().systemFailures, (std::vector<std::string>{"duo"}));
  GetRecoveryHooks().sendFailoverRequest = nullptr;
  TakeRecoveryAction(service.get(), {RecoveryAction::HaFailover}, &counter);
  EXPECT_EQ(Hooks().systemFailures.size(), 2u);
}

TEST_F(RecoveryTest, UnhealthyTakesNoActionFirstThenRestarts) {
  auto service = Started("hc", R"("ApiHealthCommand": "/bin/probe")");
  EXPECT_EQ(CheckHealth(service.get(), 65, "db down"), Ok);
  EXPECT_EQ(Hooks().operations, (std::vector<std::string>{"end hc UNHEALTHY COMPLETED"}));
  EXPECT_TRUE(Logged(LOG_WARNING, "<hc> Health of service failed. Health data: db down\n"));
  EXPECT_TRUE(
      Logged(LOG_INFO, "<hc> Recover from service api health check failure. Fail count 0\n"));
  EXPECT_EQ(service->failCounters().apiHealthFail, 1);
  EXPECT_EQ(service->state(), ServiceState::Started);
  EXPECT_EQ(CountLogged("<hc> Restarting service.\n"), 0);

  EXPECT_EQ(CheckHealth(service.get(), 65), Ok);
  EXPECT_TRUE(
      Logged(LOG_INFO, "<hc> Recover from service api health check failure. Fail count 1\n"));
  EXPECT_TRUE(Logged(LOG_INFO, "<hc> Restarting service.\n"));
  EXPECT_EQ(service->failCounters().apiHealthFail, 2);
  EXPECT_EQ(service->state(), ServiceState::Stopping);
  EXPECT_TRUE(service->IsRecoveryRestart());
  EXPECT_TRUE(Hooks().systemFailures.empty());
}

TEST_F(RecoveryTest, ExplicitCheckOutcomeDecidesTheFollowUp) {
  struct Case {
    int exitCode;
    const char *config;
    bool systemFailure;
    int level;
    std::string message;
  };
  const Case cases[] = {
      {0, "{}", false, LOG_DEBUG, "<x> Service api healthcheck returned health as HEALTHY.\n"},
      {99, "{}", true, LOG_ERROR, "<x> health state unknown ,considered as system failure\n"},
      {63, "{}", true, LOG_WARNING,
       "<x> Service api healthcheck command returned unknown exit code 63\n"},
      {65, R"({"RecoverOnServiceHealthFail": false})", false, LOG_WARNING,
       "<x> Recovery action on service health fail is disabled.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    UseConfig(c.config);
    Hooks().systemFailures.clear();
    auto service = Started("x", R"("ApiHealthCommand": "/bin/probe")");
    EXPECT_EQ(CheckHealth(service.get(), c.exitCode), Ok);
    EXPECT_TRUE(Logged(c.level, c.message));
    EXPECT_EQ(Hooks().systemFailures.size(), c.systemFailure ? 1u : 0u);
    EXPECT_EQ(service->failCounters().apiHealthFail, 0);
    EXPECT_EQ(service->state(), ServiceState::Started);
  }
}

TEST_F(RecoveryTest, HealthCheckWithoutCommandIsOkAndStateIsChecked) {
  auto bare = Started("bare", "");
  CompletionRecord check;
  RunHealthCheck(bare.get(), CompletionRecord::Record, &check);
  EXPECT_EQ(check.results, Results{Ok});

  auto idle = CreateNamed("idle", R"("ApiHealthCommand": "/bin/probe")");
  CompletionRecord refused;
  RunHealthCheck(idle.get(), CompletionRecord::Record, &refused);
  EXPECT_EQ(refused.results, Results{InvalidState});
  EXPECT_TRUE(
      Logged(LOG_INFO, "<idle> Skip service health check. State STOPPED, Curr request 0\n"));
}

TEST_F(RecoveryTest, UnhealthyWithLiveCoreOptionDumpsInsteadOfRecovering) {
  auto service = Started("dump", R"("ApiHealthCommand": "/bin/probe",
      "DumpLiveCoreOnApiHealthFail": true)");
  CheckHealth(service.get(), 65);
  CheckHealth(service.get(), 65);  // the first check's dump is still running
  EXPECT_TRUE(Logged(LOG_INFO, "Initiating live core dump of dump on api health fail.\n"));
  EXPECT_TRUE(Logged(LOG_WARNING, "<dump> Service  process paused. No recovery action taken.\n"));
  EXPECT_EQ(FakesCreated("dump-live-core"), 1);
  EXPECT_EQ(service->failCounters().apiHealthFail, 0);
  EXPECT_EQ(service->state(), ServiceState::Started);
  EXPECT_TRUE(IsLiveCoreInProgress(service.get()));

  FakeSysProcess *gcore = FindFake("dump-live-core");
  ASSERT_NE(gcore, nullptr);
  gcore->Exit(0);
  EXPECT_FALSE(IsLiveCoreInProgress(service.get()));
  EXPECT_TRUE(Logged(LOG_INFO, "<dump> Live core dump operation done on api health fail.\n"));
}

TEST_F(RecoveryTest, PausedProcessBlocksRecoveryEvenWithoutTheLiveCoreOption) {
  auto service = Started("paused", R"("ApiHealthCommand": "/bin/probe")");
  LiveCoreRecord dump;
  TakeLiveCore(service.get(), LiveCoreRecord::Record, &dump);
  ASSERT_TRUE(IsLiveCoreInProgress(service.get()));
  CheckHealth(service.get(), 65);
  CheckHealth(service.get(), 65);
  EXPECT_EQ(CountLogged("<paused> Service  process paused. No recovery action taken.\n"), 2);
  EXPECT_EQ(service->failCounters().apiHealthFail, 0);
  EXPECT_EQ(service->state(), ServiceState::Started);
  FindFake("paused-live-core")->Exit(0);
}

// Live core dumps.

TEST_F(RecoveryTest, LiveCoreRunsGcoreOnTheServicePidOneAtATime) {
  auto service = Started("lc", "");
  LiveCoreRecord dump;
  TakeLiveCore(service.get(), LiveCoreRecord::Record, &dump);
  FakeSysProcess *gcore = FindFake("lc-live-core");
  ASSERT_NE(gcore, nullptr);
  ASSERT_TRUE(gcore->IsRunning());
  EXPECT_EQ(gcore->options.execTimeoutSec, -1);
  EXPECT_TRUE(gcore->options.killOnParentDeath);
  ASSERT_EQ(gcore->args.size(), 3u);
  EXPECT_EQ(gcore->args[0], "-o");
  EXPECT_EQ(gcore->args[2], std::to_string(Main("lc")->pid));
  EXPECT_TRUE(dump.results.empty());

  LiveCoreRecord second;
  TakeLiveCore(service.get(), LiveCoreRecord::Record, &second);
  EXPECT_EQ(second.results, Results{InvalidState});
  EXPECT_EQ(second.paths, (std::vector<std::string>{""}));
  EXPECT_EQ(FakesCreated("lc-live-core"), 1);

  std::string expectedPath = gcore->args[1] + "." + gcore->args[2];
  gcore->Exit(0);
  EXPECT_EQ(dump.results, Results{Ok});
  EXPECT_EQ(dump.paths, (std::vector<std::string>{expectedPath}));

  // Once ended, a new dump may run.
  LiveCoreRecord third;
  TakeLiveCore(service.get(), LiveCoreRecord::Record, &third);
  EXPECT_TRUE(IsLiveCoreInProgress(service.get()));
  FindFake("lc-live-core")->Exit(1);
  EXPECT_EQ(third.results, Results{Failed});
  EXPECT_EQ(third.paths, (std::vector<std::string>{""}));
  EXPECT_TRUE(Logged(LOG_ERROR, "<lc> Failed to take service live core. RC=1\n"));

  FakeStartFailures().insert("lc-live-core");
  LiveCoreRecord notStarted;
  TakeLiveCore(service.get(), LiveCoreRecord::Record, &notStarted);
  EXPECT_EQ(notStarted.results, Results{Failed});
  EXPECT_FALSE(IsLiveCoreInProgress(service.get()));

  auto stopped = CreateNamed("stopped", "");
  LiveCoreRecord refused;
  TakeLiveCore(stopped.get(), LiveCoreRecord::Record, &refused);
  EXPECT_EQ(refused.results, Results{InvalidState});
  EXPECT_EQ(FakesCreated("stopped-live-core"), 0);
}

TEST_F(RecoveryTest, LiveCoreEndCancelsARunningHealthCheck) {
  auto service = Started("both", R"("ApiHealthCommand": "/bin/probe")");
  LiveCoreRecord dump;
  TakeLiveCore(service.get(), LiveCoreRecord::Record, &dump);
  CompletionRecord check;
  RunHealthCheck(service.get(), CompletionRecord::Record, &check);
  ASSERT_EQ(service->request(), ReqHealthCheck);
  FindFake("both-live-core")->Exit(0);
  EXPECT_EQ(check.results, Results{Cancelled});
  EXPECT_EQ(dump.results, Results{Ok});
  // The cancelled check's command ending later leads to nothing.
  HealthCmd("both")->Exit(65);
  EXPECT_EQ(check.results.size(), 1u);
  EXPECT_EQ(service->failCounters().apiHealthFail, 0);
  EXPECT_EQ(service->state(), ServiceState::Started);
  EXPECT_EQ(service->request(), ReqNone);
}

// Fail counter reset.

TEST_F(RecoveryTest, CountersResetOnlyAfterTheConfiguredQuietTime) {
  UseConfig(R"({"ResetServiceFailCounterTime": 10})");
  auto service = Started("rst", "");
  TakeRecoveryAction(service.get(), {RecoveryAction::NoAction},
                     &service->failCounters().apiHealthFail);
  service->failCounters().processCrash = 4;
  service->failCounters().processCoredump = 2;
  EXPECT_FALSE(IsFailCounterResetDue(service.get()));
  AdvanceMs(10000);
  EXPECT_FALSE(IsFailCounterResetDue(service.get()));  // exactly the limit is not beyond it
  AdvanceMs(1);
  EXPECT_TRUE(IsFailCounterResetDue(service.get()));

  ResetFailCounters(service.get());
  EXPECT_EQ(service->failCounters().apiHealthFail, 0);
  EXPECT_EQ(service->failCounters().processCrash, 0);
  EXPECT_EQ(service->failCounters().processCoredump, 0);
  EXPECT_TRUE(Logged(LOG_INFO, "<rst> Reset fail counters of service.\n"));

  // A new recovery starts the quiet time again.
  TakeRecoveryAction(service.get(), {RecoveryAction::NoAction},
                     &service->failCounters().processCrash);
  EXPECT_FALSE(IsFailCounterResetDue(service.get()));
}

}  // namespace
