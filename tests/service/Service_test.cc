// One service against fake processes: state files, one request at a time,
// what the end of the process means, re-entrant completions, start and stop.
#include "ServiceFixture.h"

namespace {

// The configuration check's tests see the loader's other rejections.
TEST_F(ServiceTest, AServletWithoutItsServerOrATornRunStateRejectsTheService) {
  WriteDefinition("s", R"("Type": "MUX_SERVLET")");
  EXPECT_EQ(CreateService("s.json", &env_), nullptr);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Mandatory field MuxServerName missing. s.json\n"));
  WriteDefinition("r", "");
  WriteFile(configDir_ + "/svcCfgfiles/.state_r.json", "torn");
  EXPECT_EQ(CreateService("r.json", &env_), nullptr);
  EXPECT_TRUE(log_.Has(
      LOG_ERROR, "Invalid Json formatted file " + configDir_ + "/svcCfgfiles/.state_r.json\n"));
}

TEST_F(ServiceTest, StateFilesSurviveARestartAndATornStatsFileLosesNothingElse) {
  auto service = Make("a");
  EXPECT_EQ(service->SetStartupType(StartupType::Manual), Ok);
  EXPECT_EQ(Make("a")->startupType(), StartupType::Manual);  // the daemon tests read the files
  service->failCounters() = {2, 3, 4};
  ASSERT_TRUE(service->SaveCrashStats());
  std::string stats = dataDir_ + "/.svcStats/stats_a.json";
  EXPECT_EQ(Make("a")->failCounters().processCoredump, 4);
  WriteFile(stats, R"({"ProcessCrashCount":7})");
  EXPECT_EQ(Make("a")->failCounters().apiHealthFail, 0);
  WriteFile(stats, "{torn");
  EXPECT_EQ(Make("a")->failCounters().processCrash, 0);
  EXPECT_FALSE(FileExists(stats));
  EXPECT_TRUE(log_.Has(LOG_WARNING, "Stats file " + stats + " corrupted , hence removed !\n"));
}

TEST_F(ServiceTest, AdmissionFollowsTheCurrentRequest) {
  auto service = Make("adm");
  const ServiceRequest N = ReqNone, S = ReqStart, T = ReqStop, R = ReqRestart, H = ReqHealthCheck,
                       C = ReqConfigChange;
  const struct {
    ServiceRequest current, incoming;
    bool admitted;
  } cases[] = {{N, S, true},  {N, H, true},  {H, S, true},  {H, R, true},
               {H, C, true},  {H, T, true},  {H, H, false}, {S, S, false},
               {S, R, false}, {S, C, false}, {S, T, true},  {R, T, true},
               {C, T, true},  {T, T, false}, {T, R, false}, {S, N, false}};
  for (const auto &c : cases) {
    Done first, second;
    if (c.current != N) {
      ASSERT_TRUE(service->TrySetRequest(c.current, Done::Record, &first));
    }
    EXPECT_EQ(service->TrySetRequest(c.incoming, Done::Record, &second), c.admitted)
        << c.current << " then " << c.incoming;
    EXPECT_EQ(first.results, c.admitted && c.current != N ? Results{Cancelled} : Results{});
    service->CompleteRequest(Ok);
  }
}

// Each row: the request in progress when the process ends, how it ends, and
// what that means (its completion, the state after, whether the stop failed).
TEST_F(ServiceTest, EndOfTheProcessIsDecidedByTheRequestInProgress) {
  enum Setup { Stop, Restart, RestartTimedOut, RestartStopHalf, Start, StartTimedOut, Check, Idle };
  const ServiceState kStopped = ServiceState::Stopped, kStarting = ServiceState::Starting;
  const std::string kCrash = "<d> Service exited unexpectedly. Crash count 0. ";
  const struct {
    Setup setup;
    bool shutdown, recoveryOff;
    int exitCode;
    Results results;
    ServiceState state;
    bool stopFailed;
    std::string log;  // "" when no particular line is expected
  } rows[] = {
      // clang-format off
      {Stop,            true,  false, 1, {Ok},          kStopped,  false, "<d> Service STOPPED sucessfully.\n"},
      {Start,           true,  false, 1, {Cancelled},   kStopped,  false, ""},
      {Idle,            true,  false, 1, {},            kStopped,  false, ""},
      {Restart,         false, false, 1, {StartFailed}, kStopped,  true,  ""},
      {RestartTimedOut, false, false, 1, {TimedOut},    kStopped,  true,  "<d> Service start operation timed out.\n"},
      {RestartStopHalf, false, false, 0, {},            kStarting, false, ""},
      {Start,           false, false, 1, {StartFailed}, kStopped,  true,  ""},
      {StartTimedOut,   false, false, 1, {TimedOut},    kStopped,  true,  ""},
      {Check,           false, false, 1, {Cancelled},   kStarting, false, "<d> Restarting service.\n"},
      {Idle,            false, false, 3, {},            kStopped,  false, "<d> Service exited cleanly.\n"},
      {Idle,            false, false, 1, {},            kStarting, false, kCrash + "Taking configured recovery action.\n"},
      {Idle,            false, true,  1, {},            kStopped,  true,  kCrash + "Recovery action is disabled\n"},
      // clang-format on
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(&row - rows);
    UseConfig(row.recoveryOff ? R"({"RecoverOnServiceCrash":false})" : "{}");
    env_.shuttingDown = false;
    bool started = row.setup != Start && row.setup != StartTimedOut;
    const std::string keys = R"("ApiHealthCommand":"/bin/p","StartTimeout":0)";  // 0: the default
    auto service = started ? Started("d", keys + R"(,"CleanExitCodes":[3])") : Make("d", keys);
    Done done;
    if (row.setup == Stop) {
      service->SetStop(Done::Record, &done);
    } else if (row.setup == Check) {
      ASSERT_TRUE(service->TrySetRequest(ReqHealthCheck, Done::Record, &done));
    } else if (!started) {
      service->SetStart(Done::Record, &done);
    } else if (row.setup != Idle) {
      service->SetRestart(Done::Record, &done);
      Main("d")->Exit(0);
    }
    if (row.setup == RestartTimedOut || row.setup == StartTimedOut) {
      AdvanceMs(89900);  // 30 s and the additional 60 s
      ASSERT_EQ(service->state(), ServiceState::Starting);
      AdvanceMs(100);
    }
    env_.shuttingDown = row.shutdown;
    if (row.setup != RestartStopHalf) Main("d")->Exit(row.exitCode);
    EXPECT_EQ(done.results, row.results);
    EXPECT_EQ(service->state(), row.state);
    EXPECT_EQ(service->lastStopFailed(), row.stopFailed);
    EXPECT_TRUE(row.log.empty() || Logged(row.log));
    EXPECT_EQ(service->failCounters().processCrash,
              row.exitCode == 1 && !row.shutdown && (row.setup == Idle || row.setup == Check));
    Main("d")->Exit(0);
  }
}

TEST_F(ServiceTest, CompletionsMayStopDestroyOrRestartTheService) {
  auto service = Started("re", R"("ApiHealthCommand": "/bin/probe")");
  Done check{{}, [](Service *self) { self->SetStop(nullptr, nullptr); }}, restart;
  ASSERT_TRUE(service->TrySetRequest(ReqHealthCheck, Done::Record, &check));
  service->SetRestart(Done::Record, &restart);  // cancels the check, whose caller stops
  EXPECT_EQ(check.results, Results{Cancelled});
  EXPECT_EQ(restart.results, Results{Cancelled});
  EXPECT_EQ(env_.operations, (std::vector<std::string>{"begin re STOP STOPPING PENDING"}));
  Main("re")->Exit(0);
  EXPECT_EQ(Main("re")->startCount, 1);

  std::unique_ptr<Service> gone = Started("gone", R"("ApiHealthCommand": "/bin/probe")");
  Done destroy{{}, [&](Service *) { gone.reset(); }};
  ASSERT_TRUE(gone->TrySetRequest(ReqHealthCheck, Done::Record, &destroy));
  gone->SetRestart(nullptr, nullptr);
  EXPECT_EQ(destroy.results, Results{Cancelled});
  EXPECT_EQ(FindFake("gone"), nullptr);
  std::unique_ptr<Service> front = Make("frontgate");
  Done started{{}, [&](Service *) { front.reset(); }};
  front->SetStart(Done::Record, &started);
  AdvanceMs(100000);  // no timer of a dead service fires
  EXPECT_EQ(started.results, Results{Ok});

  auto again = Make("again");  // restarted from the completion of its failure
  Done start;
  start.then = [&](Service *self) {
    if (start.results.size() < 3) self->SetRestart(Done::Record, &start);
  };
  again->SetStart(Done::Record, &start);
  Main("again")->Exit(1);
  Main("again")->Exit(1);
  AdvanceMs(1000);
  EXPECT_EQ(start.results, (Results{StartFailed, StartFailed, Ok}));
  EXPECT_EQ(Main("again")->startCount, 3);
}

// The daemon tests follow the route through starts and stops; a crash here.
TEST_F(ServiceTest, UiCrashCreatesTheDirectResponseRouteAndItsOutcomeIsLogged) {
  UseConfig(R"({"RecoverOnServiceCrash":false})");
  auto ui = Started("atrium-ui");
  Main("atrium-ui")->Exit(1);
  FakeSysProcess *route = FindFake("static-ui");
  ASSERT_NE(route, nullptr);
  EXPECT_EQ(route->args.back() + route->args[1], "crashedcreate");
  route->Exit(2);
  EXPECT_TRUE(log_.Has(LOG_INFO, "Direct response route command hit max retries.\n"));
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
      // clang-format off
      {0,            HealthStatus::Healthy,      true,  true,  LOG_INFO,    "<u> Service STARTED successfully.\n"},
      {64,           HealthStatus::Initialized,  true,  true,  LOG_INFO,    "<u> Service STARTED successfully.\n"},
      {65,           HealthStatus::Unhealthy,    false, false, LOG_INFO,    "<u> Re-check service health since it is still initializing.\n"},
      {63,           HealthStatus::StartPending, false, false, LOG_DEBUG,   "<u> Giving service additional 30 secs to start\n"},
      {7,            HealthStatus::Unknown,      false, true,  LOG_WARNING, "<u> Service api healthcheck command returned unknown exit code 7\n"},
      {kTimedOut,    HealthStatus::Unknown,      false, true,  LOG_WARNING, "<u> Service api healthcheck command timedout.\n"},
      {kCannotStart, HealthStatus::Unknown,      false, true,  LOG_ERROR,   "<u> Failed to execute service api healthcheck command.\n"},
      // clang-format on
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

// A start polls every thirty-second of its time-out, from 1 to 8 s.
TEST_F(ServiceTest, HealthPollingIntervalFollowsTheStartTimeout) {
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

TEST_F(ServiceTest, PreStartRunsBeforeTheLaunchAndItsFailureEndsTheStart) {
  for (int code : {0, 3}) {
    auto service = Make("pre", R"("PreStartCommand": "/bin/prep")");
    Done start;
    service->SetStart(Done::Record, &start);
    EXPECT_EQ(Main("pre")->startCount, 0);
    FindFake("pre-prestart")->Exit(code);
    EXPECT_EQ(service->state(), code == 0 ? ServiceState::Starting : ServiceState::Stopped);
    EXPECT_EQ(start.results, code == 0 ? Results{} : Results{Failed});
    EXPECT_EQ(Main("pre")->startCount, code == 0 ? 1 : 0);
  }
}

TEST_F(ServiceTest, StopWhileStartingCancelsTheStartAndItsTimers) {
  auto service = Make("pre", R"("ApiHealthCommand": "/bin/probe")");
  Done start, stop;
  service->SetStart(Done::Record, &start);
  service->SetStop(Done::Record, &stop);
  EXPECT_EQ(start.results, Results{Cancelled});
  Main("pre")->Exit(1);
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_FALSE(service->lastStopFailed());
  AdvanceMs(200000);  // neither the start timer nor the poll survived
  EXPECT_EQ(Health("pre")->startCount, 0);
}

TEST_F(ServiceTest, StopCommandThenPostStopCommandRunBeforeTheDecision) {
  auto service = Started("web", R"("PostStopCommand": "/bin/clean", "PostStopTimeout": 3,
      "StopCommand": "/bin/webctl", "StopTimeout": 6)");
  Done stop;
  service->SetStop(Done::Record, &stop);
  EXPECT_EQ(service->SetStartupType(StartupType::Manual), InvalidState);  // nor a start
  EXPECT_EQ(service->SetRunAsUser("x") + !service->ReloadConfig(), InvalidState + 1);
  EXPECT_TRUE(log_.Has(LOG_WARNING, "<web> SetStartupType: Invalid state STOPPING, Curr req. 2\n"));
  EXPECT_EQ(Main("web")->stopCommand + std::to_string(Main("web")->lastStopTimeout),
            "/bin/webctl6");
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
