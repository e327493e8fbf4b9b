// The last-resort machine restart: when the watchdog asks for it, when a
// failing service does, and what the request leaves behind. Every test runs
// with SENTRO_SYSROOT set, so a restart is only recorded in the sandbox's
// "reboot-requests" file; a test never starts without it.
#include "src/posix/SystemFailure.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/manager/ServiceManager.h"
#include "src/posix/SystemRestart.h"
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
    const char *previous = getenv("SENTRO_SYSROOT");
    hadSysroot_ = previous != nullptr;
    previousSysroot_ = hadSysroot_ ? previous : "";
    setenv("SENTRO_SYSROOT", sysroot_.path().c_str(), 1);
    SysrootReset();
    // The line between a test and a real restart of this machine.
    ASSERT_TRUE(SysrootActive());
    ASSERT_EQ(SysrootDir(), sysroot_.path());

    if (SentroConfig::Get() == nullptr) {
      ASSERT_NE(SentroConfig::Load(config_->path(), config_->path()), nullptr);
    }
    ASSERT_EQ(SentroConfig::Get()->ConfigDir(), config_->path());
    WriteFile(config_->Sub("config.json"), kConfig);
    ASSERT_TRUE(SentroConfig::Get()->Reload());
    ASSERT_NE(GetServiceManager(), nullptr);
    ASSERT_NE(GetSystemFailureHandler(), nullptr);
    SentroConfig::Get()->SetActiveRecoveryProfile(RecoveryProfile::Default);
    // A check now clears a heartbeat left by an earlier test.
    WatchdogCheckOnce();
  }

  void TearDown() override {
    SentroConfig::Get()->SetActiveRecoveryProfile(RecoveryProfile::Default);
    if (hadSysroot_) {
      setenv("SENTRO_SYSROOT", previousSysroot_.c_str(), 1);
    } else {
      unsetenv("SENTRO_SYSROOT");
    }
    SysrootReset();
  }

  // What the restart requests so far wrote, "" when none was made.
  std::string Requests() const {
    std::string path = sysroot_.Sub("reboot-requests");
    return FileExists(path) ? ReadFile(path) : "";
  }

  static void UseFailover() {
    SentroConfig::Get()->SetActiveRecoveryProfile(RecoveryProfile::Failover);
  }

  static TempDir *config_;
  TempDir sysroot_;
  bool hadSysroot_ = false;
  std::string previousSysroot_;
};

TempDir *SystemFailure::config_ = nullptr;

TEST_F(SystemFailure, RestartRequestIsRecordedUnderTheSysroot) {
  EXPECT_TRUE(RestartSystem(true));
  EXPECT_EQ(Requests(), "RESTART\n");
}

TEST_F(SystemFailure, PowerOffRequestIsRecordedAndAppended) {
  EXPECT_TRUE(RestartSystem(false));
  EXPECT_TRUE(RestartSystem(true));
  EXPECT_EQ(Requests(), "POWER_OFF\nRESTART\n");
}

TEST_F(SystemFailure, MissedHeartbeatUnderDefaultProfileDoesNothing) {
  EXPECT_TRUE(WatchdogCheckOnce());
  EXPECT_TRUE(WatchdogCheckOnce());
  EXPECT_EQ(Requests(), "");
}

TEST_F(SystemFailure, MissedHeartbeatUnderFailoverRestarts) {
  UseFailover();
  EXPECT_TRUE(WatchdogCheckOnce());
  EXPECT_EQ(Requests(), "RESTART\n");
}

TEST_F(SystemFailure, HeartbeatCoversOnePeriodOnly) {
  UseFailover();
  WatchdogHeartbeat(nullptr);
  EXPECT_TRUE(WatchdogCheckOnce());
  EXPECT_EQ(Requests(), "") << "a heartbeat in the period prevents the restart";
  EXPECT_TRUE(WatchdogCheckOnce());
  EXPECT_EQ(Requests(), "RESTART\n") << "the next period without one restarts";
}

TEST_F(SystemFailure, SeveralHeartbeatsCountAsOne) {
  UseFailover();
  WatchdogHeartbeat(nullptr);
  WatchdogHeartbeat(nullptr);
  EXPECT_TRUE(WatchdogCheckOnce());
  EXPECT_TRUE(WatchdogCheckOnce());
  EXPECT_EQ(Requests(), "RESTART\n");
}

TEST_F(SystemFailure, CriticalServiceFailureUnderFailoverRestarts) {
  UseFailover();
  ReportSystemFailure(GetSystemFailureHandler(), "database");
  EXPECT_EQ(Requests(), "RESTART\n");
}

TEST_F(SystemFailure, FailureOfServiceOutsideCriticalDoesNothing) {
  UseFailover();
  ReportSystemFailure(GetSystemFailureHandler(), "reports");
  ReportSystemFailure(GetSystemFailureHandler(), "no-such-service");
  EXPECT_EQ(Requests(), "");
}

TEST_F(SystemFailure, CriticalServiceFailureUnderDefaultProfileDoesNothing) {
  ReportSystemFailure(GetSystemFailureHandler(), "database");
  EXPECT_EQ(Requests(), "");
}

TEST_F(SystemFailure, CriticalServiceFailureWithoutHaltOnSystemFailDoesNothing) {
  WriteFile(config_->Sub("config.json"), kConfigNoHalt);
  ASSERT_TRUE(SentroConfig::Get()->Reload());
  ASSERT_FALSE(SentroConfig::Get()->HaltOnSystemFailHA());
  UseFailover();
  ReportSystemFailure(GetSystemFailureHandler(), "database");
  EXPECT_EQ(Requests(), "");
}

// Last in the file: a stop request lasts for the rest of the process.
TEST_F(SystemFailure, StoppedWatchdogEndsAndNoLongerRestarts) {
  UseFailover();
  StopWatchdog(GetSystemFailureHandler());
  WatchdogHeartbeat(nullptr);  // must not undo the stop
  EXPECT_FALSE(WatchdogCheckOnce());
  EXPECT_FALSE(WatchdogCheckOnce());
  EXPECT_EQ(Requests(), "");
}

}  // namespace
