// The daemon's own pieces on the test clock. SENTRO_SYSROOT is set for the
// whole program: a restart is only recorded in the sandbox's "reboot-requests".
#include <gtest/gtest.h>

#include <sstream>

#include "lib/pollDefault/poll.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/daemon/DaemonWiring.h"
#include "src/daemon/SystemFailure.h"
#include "src/manager/ServiceManager.h"
#include "src/process/ProcessTable.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestClock.h"
#include "support/WaitUntil.h"

namespace {

TempDir *sandbox = nullptr;
TestClock *testClock = nullptr;

// A watchdog period of 30 s (a beat every 9 s); "database" is critical, "reports" not.
class DaemonEnvironment : public ::testing::Environment {
  void SetUp() override {
    sandbox = new TempDir();
    for (const char *dir : {"svcCfgfiles", ".svcStats", "muxServerInstanceCfgfiles"})
      MakeDirs(sandbox->Sub(dir));
    WriteFile(sandbox->Sub("profiles.json"), "{\"CRITICAL\": [\"database\"]}");
    for (const char *name : {"database", "reports"})
      WriteFile(sandbox->Sub("svcCfgfiles/") + name + ".json",
                std::string("{\"Name\": \"") + name +
                    "\", \"StartupType\": \"MANUAL\", \"StartCommand\": \"/bin/true\"}");
    setenv("SENTRO_SYSROOT", sandbox->path().c_str(), 1);
    SysrootReset();
    ASSERT_TRUE(SysrootActive());  // the line between a test and a real restart
    WriteFile(sandbox->Sub("config.json"), "{\"CriticalHealthCheckFreqSecs\": 30}");
    ASSERT_NE(SentroConfig::Load(sandbox->path(), sandbox->path()), nullptr);
    testClock = new TestClock();
    PollInstallDefault();
    CreateProcessTable();
  }
};
[[maybe_unused]] auto *environment = ::testing::AddGlobalTestEnvironment(new DaemonEnvironment);

bool TurnLoopUntil(const std::function<bool()> &done) {
  volatile uint8_t never = 0;
  return WaitUntil([&] { return PollRun(false, &never, POLL_CLASS_MAIN, 1000), done(); },
                   std::chrono::seconds(5), {});
}

// Steps ("beat", "check", "fail:<service>") under a profile and HaltOnSystemFailHA.
TEST(SystemFailure, TheWatchdogAndFailingServicesRestartExactlyWhenTheRulesSaySo) {
  EXPECT_STREQ(TheDaemonEnv().MissingSeam(), "control context registry");  // start-up check
  TheDaemonEnv().AttachRegistry(ServiceManager::Create(&TheDaemonEnv()));
  EXPECT_EQ(TheDaemonEnv().MissingSeam(), nullptr);
  ASSERT_NE(GetSystemFailureHandler(), nullptr);  // also the heartbeat timer
  const char *kNotAlive = "MainThread not alive, restarting the system!\n";
  const char *kFailure = "System Failure, initiating system restart.\n";
  struct Case {
    bool failover, halt;
    const char *script, *logged;  // a restart is requested when logged is set
  } cases[] = {
      {false, true, "check check", nullptr},  // missed heartbeats, default profile
      {true, true, "check", kNotAlive},
      {true, true, "beat check", nullptr},
      {true, true, "beat beat check check", kNotAlive},  // a beat covers one period
      {true, true, "fail:database", kFailure},
      {true, true, "fail:reports fail:no-such-service", nullptr},
      {false, true, "fail:database", nullptr},
      {true, false, "fail:database", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.script);
    unlink(sandbox->Sub("reboot-requests").c_str());
    WriteFile(sandbox->Sub("config.json"),
              std::string("{\"CriticalHealthCheckFreqSecs\": 30, \"HaltOnSystemFailHA\": ") +
                  (c.halt ? "true}" : "false}"));
    ASSERT_TRUE(SentroConfig::Get()->Reload());
    SentroConfig::Get()->SetActiveRecoveryProfile(RecoveryProfile::Default);
    TurnLoopUntil([] { return true; });
    WatchdogCheckOnce();  // starts a fresh period
    SentroConfig::Get()->SetActiveRecoveryProfile(c.failover ? RecoveryProfile::Failover
                                                             : RecoveryProfile::Default);
    LogCapture log;
    std::istringstream script(c.script);
    for (std::string step; script >> step;) {
      if (step == "check") {
        EXPECT_TRUE(WatchdogCheckOnce());
      }
      if (step.starts_with("fail:")) TheDaemonEnv().ReportSystemFailure(step.substr(5));
      if (step != "beat") continue;
      testClock->AdvanceMicros(9000000);  // the heartbeat timer's period: (30 / 3 - 1) s
      TurnLoopUntil([&] { return log.Has(8, "Signal main thread alive...\n"); });
      log.Clear();
    }
    EXPECT_EQ(ReadWholeFile(sandbox->Sub("reboot-requests")), c.logged ? "RESTART\n" : "<missing>");
    for (const char *message : {kNotAlive, kFailure})
      EXPECT_EQ(log.Has(2, message), message == c.logged) << message;
  }
  StopWatchdog(GetSystemFailureHandler());
  WatchdogHeartbeat(nullptr);  // must not undo the stop
  EXPECT_FALSE(WatchdogCheckOnce());
}

}  // namespace
