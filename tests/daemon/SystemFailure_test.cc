// The last-resort machine restart: when the watchdog asks for it, when a
// failing service does, and what the request leaves behind. Every test runs
// with SENTRO_SYSROOT set, so a restart is only recorded in the sandbox's
// "reboot-requests" file; a test never starts without it.
#include "src/daemon/SystemFailure.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/manager/ServiceManager.h"
#include "src/daemon/SystemRestart.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

const char kConfig[] = "{\"EnableLivenessCheck\": false, \"HaltOnSystemFailHA\": true}";
const char kConfigNoHalt[] = "{\"EnableLivenessCheck\": false, \"HaltOnSystemFailHA\": false}";

class SystemFailure : public ::testing::Test {
 protected:
  // One configuration and registry for the whole process: "database" is
  // critical, "reports" is not. Neither is ever started.
  static void SetUpTestSuite() {
    config_ = new TempDir();
    MakeDirs(config_->Sub("svcCfgfiles"));
    MakeDirs(config_->Sub(".svcStats"));
    WriteFile(config_->Sub("config.json"), kConfig);
    WriteFile(config_->Sub("profiles.json"), "{\"CRITICAL\": [\"database\"]}");
    for (const char *name : {"database", "reports"}) {
      WriteFile(config_->Sub("svcCfgfiles/") + name + ".json",
                std::string("{\"Name\": \"") + name +
                    "\", \"StartupType\": \"MANUAL\", \"StartCommand\": \"/bin/true\"}");
    }
  }

  static void TearDownTestSuite() {
    delete config_;
    config_ = nullptr;
  }

  void SetUp() override {
    setenv("SENTRO_SYSROOT", sysroot_.path().c_str(), 1);
    SysrootReset();
    // The line between a test and a real restart of this machine.
    ASSERT_TRUE(SysrootActive());
    ASSERT_EQ(SysrootDir(), sysroot_.path());
    if (SentroConfig::Get() == nullptr) {
      ASSERT_NE(SentroConfig::Load(config_->path(), config_->path()), nullptr);
    }
    ASSERT_EQ(SentroConfig::Get()->ConfigDir(), config_->path());
    ASSERT_NE(GetServiceManager(), nullptr);
    ASSERT_NE(GetSystemFailureHandler(), nullptr);
  }

  void TearDown() override {
    SentroConfig::Get()->SetActiveRecoveryProfile(RecoveryProfile::Default);
    unsetenv("SENTRO_SYSROOT");
    SysrootReset();
  }

  // A new watchdog period under this configuration, no request recorded.
  void Prepare(bool failover, bool haltOnSystemFail) {
    unlink(sysroot_.Sub("reboot-requests").c_str());
    WriteFile(config_->Sub("config.json"), haltOnSystemFail ? kConfig : kConfigNoHalt);
    ASSERT_TRUE(SentroConfig::Get()->Reload());
    SentroConfig::Get()->SetActiveRecoveryProfile(RecoveryProfile::Default);
    WatchdogCheckOnce();  // clears a heartbeat left behind
    SentroConfig::Get()->SetActiveRecoveryProfile(failover ? RecoveryProfile::Failover
                                                           : RecoveryProfile::Default);
  }

  // What the restart requests so far wrote, "" when none was made.
  std::string Requests() const {
    std::string path = sysroot_.Sub("reboot-requests");
    return FileExists(path) ? ReadFile(path) : "";
  }

  static TempDir *config_;
  TempDir sysroot_;
};

TempDir *SystemFailure::config_ = nullptr;

TEST_F(SystemFailure, RestartsExactlyWhenTheRulesSaySo) {
  const char *kNotAlive = "MainThread not alive, restarting the system!\n";
  const char *kFailure = "System Failure, initiating system restart.\n";
  struct Case {
    const char *name;
    bool failover;
    bool haltOnSystemFail;
    const char *script;  // "restart", "poweroff", "beat", "check", "fail:<service>"
    const char *requests;
    const char *logged;  // null: neither restart message
  } cases[] = {
      {"requests are appended", false, true, "poweroff restart", "POWER_OFF\nRESTART\n", nullptr},
      {"missed heartbeats, default profile", false, true, "check check", "", nullptr},
      {"missed heartbeat, failover", true, true, "check", "RESTART\n", kNotAlive},
      {"a heartbeat covers its period", true, true, "beat check", "", nullptr},
      {"heartbeats cover one period only", true, true, "beat beat check check", "RESTART\n",
       kNotAlive},
      {"critical service, failover", true, true, "fail:database", "RESTART\n", kFailure},
      {"service outside critical or unknown", true, true, "fail:reports fail:no-such-service", "",
       nullptr},
      {"critical service, default profile", false, true, "fail:database", "", nullptr},
      {"critical service, no halt on failure", true, false, "fail:database", "", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(c.failover, c.haltOnSystemFail);
    LogCapture log;
    std::istringstream script(c.script);
    for (std::string step; script >> step;) {
      if (step == "restart" || step == "poweroff") {
        EXPECT_TRUE(RestartSystem(step == "restart"));
      } else if (step == "beat") {
        WatchdogHeartbeat(nullptr);
      } else if (step == "check") {
        EXPECT_TRUE(WatchdogCheckOnce());
      } else {
        ReportSystemFailure(GetSystemFailureHandler(), step.substr(strlen("fail:")));
      }
    }
    EXPECT_EQ(Requests(), c.requests);
    for (const char *message : {kNotAlive, kFailure}) {
      EXPECT_EQ(log.Has(2, message), message == c.logged) << message;
    }
  }
}

// Last in the file: a stop request lasts for the rest of the process.
TEST_F(SystemFailure, StoppedWatchdogEndsAndNoLongerRestarts) {
  Prepare(/*failover=*/true, /*haltOnSystemFail=*/true);
  StopWatchdog(GetSystemFailureHandler());
  WatchdogHeartbeat(nullptr);  // must not undo the stop
  EXPECT_FALSE(WatchdogCheckOnce());
  EXPECT_FALSE(WatchdogCheckOnce());
  EXPECT_EQ(Requests(), "");
}

}  // namespace
