// One request at a time: admission by request x state, what the end of the
// process means for each request, completions that re-enter the Service, and
// the direct-response route rules.
#include <functional>

#include "ServiceFixture.h"
#include "lib/log/log.h"
#include "src/core/SysPaths.h"

namespace {

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
    if (c.current != ReqNone) {
      ASSERT_TRUE(service->TrySetRequest(c.current, Done::Record, &first));
    }
    EXPECT_EQ(service->TrySetRequest(c.incoming, Done::Record, &second), c.admitted)
        << c.current << " then " << c.incoming;
    EXPECT_EQ(first.results, c.admitted && c.current != N ? Results{Cancelled} : Results{});
    service->CompleteRequest(Ok);
  }
}

TEST_F(ServiceTest, RequestsWhileStoppingAreRefusedWithTheirMessage) {
  auto service = Started("s");
  service->SetStop(nullptr, nullptr);
  Done refused;
  const std::pair<std::function<ServiceResult()>, std::string> cases[] = {
      {[&] { return service->SetStart(Done::Record, &refused), refused.results.back(); },
       "<s> SetStart: Invalid State STOPPING, Curr request 2.\n"},
      {[&] { return service->SetRestart(Done::Record, &refused), refused.results.back(); },
       "<s> SetRestart: Invalid State STOPPING, Curr request 2.\n"},
      {[&] { return service->SetStop(Done::Record, &refused), refused.results.back(); },
       "<s> SetStop: Invalid State STOPPING, Curr request 2.\n"},
      {[&] { return service->SetStartupType(StartupType::Manual); },
       "<s> SetStartupType: Invalid state STOPPING, Curr req. 2\n"},
      {[&] { return service->SetRunAsUser("x"); },
       "<s> SetRunAsUser: Invalid state STOPPING, Curr req. 2.\n"},
  };
  for (const auto &[request, message] : cases) {
    EXPECT_EQ(request(), InvalidState) << message;
    EXPECT_TRUE(log_.Has(LOG_WARNING, message)) << message;
  }
  EXPECT_FALSE(service->ReloadConfig());
  EXPECT_TRUE(log_.Has(LOG_WARNING, "<s> ReloadConfig: Invalid State STOPPING, Curr request 2.\n"));
  EXPECT_EQ(service->request(), ReqStop);
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
    auto service = started ? Started("d", R"("CleanExitCodes":[3],"ApiHealthCommand":"/bin/p")")
                           : Make("d", R"("ApiHealthCommand":"/bin/p")");
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
    if (row.setup != RestartStopHalf) {
      Main("d")->Exit(row.exitCode);
    }
    EXPECT_EQ(done.results, row.results);
    EXPECT_EQ(service->state(), row.state);
    EXPECT_EQ(service->lastStopFailed(), row.stopFailed);
    EXPECT_TRUE(row.log.empty() || log_.Has(LOG_INFO, row.log) || log_.Has(LOG_WARNING, row.log));
    EXPECT_EQ(service->failCounters().processCrash,
              row.exitCode == 1 && !row.shutdown && (row.setup == Idle || row.setup == Check));
    Main("d")->Exit(0);
  }
}

// Re-entrant completions: the caller's completion may stop, restart or destroy.
struct Reentry {
  std::unique_ptr<Service> *owner = nullptr;
  Results results;
  static void Stop(ServiceResult result, Service *service, void *context) {
    static_cast<Reentry *>(context)->results.push_back(result);
    service->SetStop(nullptr, nullptr);
  }
  static void Destroy(ServiceResult result, Service *, void *context) {
    static_cast<Reentry *>(context)->results.push_back(result);
    static_cast<Reentry *>(context)->owner->reset();
  }
  static void Restart(ServiceResult result, Service *service, void *context) {
    auto *self = static_cast<Reentry *>(context);
    self->results.push_back(result);
    if (result != Ok && self->results.size() < 3) {
      service->SetRestart(Restart, context);
    }
  }
};

TEST_F(ServiceTest, CancelledCallerThatStopsTheServicePreventsTheRestart) {
  auto service = Started("re", R"("ApiHealthCommand": "/bin/probe")");
  Reentry check;
  ASSERT_TRUE(service->TrySetRequest(ReqHealthCheck, Reentry::Stop, &check));
  Done restart;
  service->SetRestart(Done::Record, &restart);
  EXPECT_EQ(check.results, Results{Cancelled});
  EXPECT_EQ(restart.results, Results{Cancelled});
  EXPECT_EQ(service->request(), ReqStop);
  EXPECT_EQ(env_.operations, (std::vector<std::string>{"begin re STOP STOPPING PENDING"}));
  Main("re")->Exit(0);
  EXPECT_EQ(Main("re")->startCount, 1);
}

TEST_F(ServiceTest, CompletionMayDestroyTheService) {
  std::unique_ptr<Service> service = Started("gone", R"("ApiHealthCommand": "/bin/probe")");
  Reentry check{&service, {}};
  ASSERT_TRUE(service->TrySetRequest(ReqHealthCheck, Reentry::Destroy, &check));
  service->SetRestart(nullptr, nullptr);
  EXPECT_EQ(check.results, Results{Cancelled});
  EXPECT_EQ(FindFake("gone"), nullptr);
  std::unique_ptr<Service> front = Make("frontgate");
  Reentry start{&front, {}};
  front->SetStart(Reentry::Destroy, &start);
  AdvanceMs(100000);  // no timer of a dead service fires
  EXPECT_EQ(start.results, Results{Ok});
}

TEST_F(ServiceTest, CompletionMayRestartTheServiceItJustFailed) {
  auto service = Make("again");
  Reentry start;
  service->SetStart(Reentry::Restart, &start);
  Main("again")->Exit(1);
  Main("again")->Exit(1);
  AdvanceMs(1000);
  EXPECT_EQ(start.results, (Results{StartFailed, StartFailed, Ok}));
  EXPECT_EQ(Main("again")->startCount, 3);
}

TEST_F(ServiceTest, UiAndFrontgateMoveTheDirectResponseRoute) {
  const std::string kCreate = "Informing frontgate to create a direct response route as atrium-ui ";
  const std::string kDelete = "Deleting the direct response route created for atrium-ui\n";
  const std::string kDone = "Direct response route command completed successfully.\n";
  const struct {
    const char *name;
    std::function<void(ServiceTest *)> act;
    std::string message;
    std::vector<std::string> args;  // empty: no route command
    int exitCode;
    std::string outcome;
  } cases[] = {
      {"ui stops",
       [](ServiceTest *t) { t->Started("atrium-ui")->SetStop(nullptr, nullptr); },
       kCreate + "is stopped\n",
       {"create", "stopped"},
       2,
       "Direct response route command hit max retries.\n"},
      {"ui crashes without recovery",
       [](ServiceTest *t) {
         t->UseConfig(R"({"RecoverOnServiceCrash":false})");
         auto ui = t->Started("atrium-ui");
         t->Main("atrium-ui")->Exit(1);
       },
       kCreate + "is crashed\n",
       {"create", "crashed"},
       1,
       "Direct response route command failed.\n"},
      {"ui restart fails to start",
       [](ServiceTest *t) {
         auto ui = t->Started("atrium-ui");
         ui->SetRestart(nullptr, nullptr);
         t->Main("atrium-ui")->Exit(0);
         t->Main("atrium-ui")->Exit(1);
       },
       kCreate + "is crashed\n",
       {"create", "crashed"},
       0,
       kDone},
      {"ui starts while frontgate runs",
       [](ServiceTest *t) {
         auto front = t->Started("frontgate");
         t->Make("atrium-ui")->SetStart(nullptr, nullptr);
       },
       kDelete,
       {"delete"},
       0,
       kDone},
      {"frontgate ready while ui runs",
       [](ServiceTest *t) {
         auto ui = t->Started("atrium-ui");
         auto front = t->Make("frontgate");
         front->SetStart(nullptr, nullptr);
         t->AdvanceMs(1000);
       },
       kDelete,
       {"delete"},
       0,
       kDone},
      {"ui starts without frontgate",
       [](ServiceTest *t) { t->Started("atrium-ui"); },
       "",
       {},
       0,
       ""},
  };
  std::string script = SysPath("/usr/lib/norvane-sentro/sentro-direct-response-route.py");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    env_.registry.clear();
    UseConfig("{}");
    c.act(this);
    FakeSysProcess *route = FindFake("static-ui");
    EXPECT_EQ(log_.Has(LOG_WARNING, c.message), !c.message.empty());
    ASSERT_EQ(route != nullptr, !c.args.empty());
    if (route != nullptr) {
      std::vector<std::string> args = {script};
      args.insert(args.end(), c.args.begin(), c.args.end());
      EXPECT_EQ(route->path, SysPath("/usr/bin/python"));
      EXPECT_EQ(route->args, args);
      route->Exit(c.exitCode);
      EXPECT_TRUE(log_.Has(LOG_INFO, c.outcome));
    }
    log_.Clear();
  }
}

}  // namespace
