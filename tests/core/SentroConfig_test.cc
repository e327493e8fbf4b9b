#include "src/core/SentroConfig.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "lib/log/log.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

// A value as config.json writes it.
const struct {
  std::string operator()(int32_t v) const { return std::to_string(v); }
  std::string operator()(bool v) const { return v ? "true" : "false"; }
  std::string operator()(const std::string &v) const { return "\"" + v + "\""; }
  std::string operator()(StartupType v) const { return (*this)(std::string(StartupTypeName(v))); }
} Json;

// The integer keys' range; the other keys have none (min > max).
struct Range {
  int64_t min = 1, max = 0;
};
const int64_t kMax = INT32_MAX;

struct Key {
  const char *name;
  std::function<std::string(const SentroConfig &)> get;
  const char *byDefault, *custom;
  bool reloaded;  // read again by Reload, not only at start-up
  Range range;
};
#define KEY(name, byDefault, custom, reloaded, ...)                                               \
  Key(                                                                                            \
      #name, [](const SentroConfig &c) { return Json(c.name()); }, #byDefault, #custom, reloaded, \
      Range{__VA_ARGS__})

const Key kKeys[] = {
    KEY(DefaultServiceStartTimeout, 30, 31, false, 1, kMax),
    KEY(DefaultServiceStopTimeout, 10, 11, false, 1, kMax),
    KEY(DefaultServicePostStopTimeout, 10, 12, false, 1, kMax),
    KEY(DefaultApiHealthCmdTimeout, 30, 13, false, 1, kMax),
    KEY(MaxServiceQuickRecoveryCount, 5, 2, false, 0, kMax),
    KEY(DefaultServiceStartupType, "AUTOMATIC", "MANUAL", false),
    KEY(MaxIncomingRequests, 25, 7, false, 0, kMax),
    KEY(KillServicesOnSentroCrash, true, false, false),
    KEY(EnableLivenessCheck, true, false, false),
    KEY(AdditionalServiceStartTimeout, 60, 14, true, 0, kMax),
    KEY(DumpLiveCoreOnApiHealthFail, false, true, true),
    KEY(ResetServiceFailCounterTime, 86400, 15, true, 0, kMax),
    KEY(ParallelServiceOperation, true, false, true),
    KEY(ParallelSvcOpThrottleLimit, 0, 3, true, 0, kMax),
    KEY(StreamRedirectedFilesLimit, 5, 9, true, 0, kMax),
    KEY(SocketIOTimeout, 5, 16, true, 1, kMax),
    KEY(CriticalHealthCheckFreqSecs, 300, 60, true, 6, 2147),  // the watchdog's period too
    KEY(CriticalToAllHealthCheckFreqRatio, 6, 2, true, 1, kMax),
    KEY(EventPublisherScriptDir, "", "/usr/lib/events", true),
    KEY(LogLevel, 5, 8, true, 1, 18),
    KEY(LogToSyslog, false, true, true),
    KEY(PerformPeriodicHealthCheck, true, false, true),
    KEY(RecoverOnServiceHealthFail, true, false, true),
    KEY(RecoverOnServiceCrash, true, false, true),
    KEY(HaltOnSystemFailHA, true, false, true),
    KEY(DefaultForceKillTimeoutSec, 30, 17, true, 1, kMax),
    KEY(SentroTelemetryPushFreqHours, 24, 1, true, 1, kMax),
};

// A config.json with every key of the table at its default or custom value.
std::string Config(bool custom) {
  std::string json = custom ? "// Operator overrides.\n{\"DefaultCrashRecoveryActions\": "
                              "[\"RESTART_SYSTEM\", \"HAFAILOVER\"], \"UnknownKey\": [1, 2],\n"
                              "\"DefaultApiHealthFailRecoveryActions\": [\"RESTART_SERVICE\"]"
                            : "{\"DefaultCrashRecoveryActions\": []";
  for (const Key &key : kKeys) {
    json += ",\n\"" + std::string(key.name) + "\": " + (custom ? key.custom : key.byDefault);
  }
  return json + "}";
}

class SentroConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { SentroConfig::ResetForTest(); }
  void TearDown() override { SentroConfig::ResetForTest(); }

  void WriteConfig(const std::string &contents) { configDir.Write("config.json", contents); }
  // Loads contents as config.json afresh.
  SentroConfig *LoadConfig(const std::string &contents) {
    SentroConfig::ResetForTest();
    WriteConfig(contents);
    return SentroConfig::Load(configDir.path(), dataDir.path());
  }

  TempDir configDir, dataDir;
  LogCapture capture;
};

TEST_F(SentroConfigTest, KeysHaveTheirDefaultsAndReloadRereadsOnlyRunTimeKeys) {
  SentroConfig *config = LoadConfig("{}");
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(SentroConfig::Get(), config);
  for (const Key &key : kKeys) EXPECT_EQ(key.get(*config), key.byDefault) << key.name;
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::Crash),
            RecoveryActionList{RecoveryAction::RestartService});
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::HealthFail),
            (RecoveryActionList{RecoveryAction::NoAction, RecoveryAction::RestartService}));
  EXPECT_TRUE(config->RecoveryActionsFor(FailureType::CoreDump).empty());
  EXPECT_EQ(config->ActiveRecoveryProfile(), RecoveryProfile::Default);

  config = LoadConfig(Config(true));
  ASSERT_NE(config, nullptr);
  WriteConfig("{}");  // a key left out keeps its value
  EXPECT_TRUE(config->Reload());
  for (const Key &key : kKeys) EXPECT_EQ(key.get(*config), key.custom) << key.name;
  WriteConfig(Config(false));
  EXPECT_TRUE(config->Reload());
  for (const Key &key : kKeys) {
    EXPECT_EQ(key.get(*config), key.reloaded ? key.byDefault : key.custom) << key.name;
  }
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::Crash),
            (RecoveryActionList{RecoveryAction::RestartSystem, RecoveryAction::HaFailover}));
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::HealthFail),
            RecoveryActionList{RecoveryAction::RestartService});
  EXPECT_EQ(capture.Text(), "");
}

// Outside its range (or beyond 32 bits) a key takes its default after one
// warning, at start-up and on a reload.
TEST_F(SentroConfigTest, IntegerOutsideItsRangeWarnsAndBecomesTheDefault) {
  for (const Key &key : kKeys) {
    const Range range = key.range;
    for (int64_t value : {range.min - 1, range.min, range.max, range.max + 1}) {
      if (range.min > range.max) break;
      SCOPED_TRACE(std::string(key.name) + " " + std::to_string(value));
      bool inRange = value >= range.min && value <= range.max;
      std::string warning = std::string(key.name) + " config value " + std::to_string(value) +
                            " is out of the range " + std::to_string(range.min) + " to " +
                            std::to_string(range.max) + "; using the default " + key.byDefault +
                            "\n";
      if (key.name == std::string("LogLevel")) {
        warning = "LogLevel config value must be in the range 1 and 18\n";
      }
      std::string json = "{\"" + std::string(key.name) + "\": " + std::to_string(value) + "}";
      std::string expected = inRange ? std::to_string(value) : key.byDefault;
      capture.Clear();
      SentroConfig *config = LoadConfig(json);
      ASSERT_NE(config, nullptr);
      EXPECT_EQ(key.get(*config), expected);
      EXPECT_EQ(capture.Text(), inRange ? "" : warning);
      if (key.reloaded) {
        WriteConfig("{\"" + std::string(key.name) + "\": " + key.custom + "}");
        ASSERT_TRUE(config->Reload());
        WriteConfig(json);
        capture.Clear();
        ASSERT_TRUE(config->Reload());
        EXPECT_EQ(key.get(*config), expected);
        EXPECT_EQ(capture.Text(), inRange ? "" : warning);
      }
    }
  }
  // Without the watchdog one second will do.
  SentroConfig *config =
      LoadConfig("{\"EnableLivenessCheck\": false, \"CriticalHealthCheckFreqSecs\": 1}");
  EXPECT_EQ(config->CriticalHealthCheckFreqSecs(), 1);
}

TEST_F(SentroConfigTest, UnusableFileFailsTheLoadAndAFailedReloadChangesNothing) {
  EXPECT_EQ(SentroConfig::Load(configDir.path(), dataDir.path()), nullptr);
  EXPECT_TRUE(capture.Has(LOG_WARNING, "Failed to open file " + configDir.path() +
                                           "/config.json. Error: No such file or directory\n"));
  for (const char *contents : {"", "[]", "{\"LogLevel\": 3", "{} {}"}) {
    EXPECT_EQ(LoadConfig(contents), nullptr) << contents;
    EXPECT_EQ(SentroConfig::Get(), nullptr);
  }
  SentroConfig *config = LoadConfig("{\"SocketIOTimeout\": 9}");
  WriteConfig("{\"SocketIOTimeout\": 1,");
  EXPECT_FALSE(config->Reload());
  EXPECT_EQ(config->SocketIOTimeout(), 9);
  // Later loads return the first instance unchanged.
  TempDir otherDir;
  otherDir.Write("config.json", "{\"SocketIOTimeout\": 8}");
  EXPECT_EQ(SentroConfig::Load(otherDir.path(), otherDir.path()), config);
  EXPECT_EQ(config->SocketIOTimeout(), 9);
}

}  // namespace
