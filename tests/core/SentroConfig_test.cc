#include "src/core/SentroConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>

#include "lib/log/log.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

// A value as it is written in config.json, so one table holds each key's
// default, a custom value and the getter that reports it.
template <typename T>
std::string Json(T value) {
  return std::to_string(value);
}
std::string Json(bool value) {
  return value ? "true" : "false";
}
std::string Json(const std::string &value) {
  return "\"" + value + "\"";
}
std::string Json(StartupType value) {
  return Json(std::string(StartupTypeName(value)));
}

struct Key {
  const char *name;
  std::function<std::string(const SentroConfig &)> get;
  const char *byDefault;
  const char *custom;
  bool reloaded;  // read again by Reload, not only at start-up
};

// clang-format off
#define KEY(name, byDefault, custom, reloaded) \
  Key{#name, [](const SentroConfig &c) { return Json(c.name()); }, #byDefault, #custom, reloaded}
// clang-format on

const Key kKeys[] = {
    KEY(DefaultServiceStartTimeout, 30, 31, false),
    KEY(DefaultServiceStopTimeout, 10, 11, false),
    KEY(DefaultServicePostStopTimeout, 10, 12, false),
    KEY(DefaultApiHealthCmdTimeout, 30, 13, false),
    KEY(MaxServiceQuickRecoveryCount, 5, 2, false),
    KEY(DefaultServiceStartupType, "AUTOMATIC", "MANUAL", false),
    KEY(MaxIncomingRequests, 25, 7, false),
    KEY(KillServicesOnSentroCrash, true, false, false),
    KEY(EnableLivenessCheck, true, false, false),
    KEY(AdditionalServiceStartTimeout, 60, 14, true),
    KEY(DumpLiveCoreOnApiHealthFail, false, true, true),
    KEY(ResetServiceFailCounterTime, 86400, 15, true),
    KEY(ParallelServiceOperation, true, false, true),
    KEY(ParallelSvcOpThrottleLimit, 0, 3, true),
    KEY(StreamRedirectedFilesLimit, 5, 9, true),
    KEY(SocketIOTimeout, 5, 16, true),
    KEY(CriticalHealthCheckFreqSecs, 300, 60, true),
    KEY(CriticalToAllHealthCheckFreqRatio, 6, 2, true),
    KEY(EventPublisherScriptDir, "", "/usr/lib/events", true),
    KEY(LogLevel, 5, 8, true),
    KEY(LogToSyslog, false, true, true),
    KEY(PerformPeriodicHealthCheck, true, false, true),
    KEY(RecoverOnServiceHealthFail, true, false, true),
    KEY(RecoverOnServiceCrash, true, false, true),
    KEY(HaltOnSystemFailHA, true, false, true),
    KEY(DefaultForceKillTimeoutSec, 30, 17, true),
    KEY(SentroTelemetryPushFreqHours, 24, 1, true),
};

// A config.json setting every key of the table to its custom value.
std::string CustomConfig() {
  std::string json =
      "// Operator overrides.\n{\"DefaultCrashRecoveryActions\": [\"RESTART_SYSTEM\", "
      "\"HAFAILOVER\"],\n\"DefaultApiHealthFailRecoveryActions\": [\"RESTART_SERVICE\"],\n"
      "\"UnknownKey\": [1, 2, 3]";
  for (const Key &key : kKeys) {
    json += ",\n\"" + std::string(key.name) + "\": " + key.custom;
  }
  return json + "}";
}

class SentroConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { SentroConfig::ResetForTest(); }
  void TearDown() override { SentroConfig::ResetForTest(); }

  void WriteConfig(const std::string &contents) { configDir.Write("config.json", contents); }

  // Loads contents as config.json afresh; fails the test when Load fails.
  SentroConfig *LoadConfig(const std::string &contents) {
    SentroConfig::ResetForTest();
    WriteConfig(contents);
    SentroConfig *config = SentroConfig::Load(configDir.path(), dataDir.path());
    EXPECT_NE(config, nullptr) << contents;
    return config;
  }

  TempDir configDir;
  TempDir dataDir;
};

TEST_F(SentroConfigTest, EveryKeyHasItsDefaultAndIsReadFromTheFile) {
  LogCapture capture;
  SentroConfig *config = LoadConfig("{}");
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(SentroConfig::Get(), config);
  for (const Key &key : kKeys) {
    EXPECT_EQ(key.get(*config), key.byDefault) << key.name;
  }
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::Crash),
            RecoveryActionList{RecoveryAction::RestartService});
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::HealthFail),
            (RecoveryActionList{RecoveryAction::NoAction, RecoveryAction::RestartService}));
  EXPECT_TRUE(config->RecoveryActionsFor(FailureType::CoreDump).empty());
  EXPECT_EQ(config->ActiveRecoveryProfile(), RecoveryProfile::Default);

  config = LoadConfig(CustomConfig());
  ASSERT_NE(config, nullptr);
  for (const Key &key : kKeys) {
    EXPECT_EQ(key.get(*config), key.custom) << key.name;
  }
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::Crash),
            (RecoveryActionList{RecoveryAction::RestartSystem, RecoveryAction::HaFailover}));
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::HealthFail),
            RecoveryActionList{RecoveryAction::RestartService});
  EXPECT_EQ(capture.Text(), "");
}

TEST_F(SentroConfigTest, ReloadReadsOnlyRunTimeKeysAndKeepsMissingOnes) {
  SentroConfig *config = LoadConfig(CustomConfig());
  ASSERT_NE(config, nullptr);
  WriteConfig("{}");
  EXPECT_TRUE(config->Reload());
  for (const Key &key : kKeys) {
    EXPECT_EQ(key.get(*config), key.custom) << key.name;
  }
  std::string defaults = "{\"DefaultCrashRecoveryActions\": []";
  for (const Key &key : kKeys) {
    defaults += ", \"" + std::string(key.name) + "\": " + key.byDefault;
  }
  WriteConfig(defaults + "}");
  EXPECT_TRUE(config->Reload());
  for (const Key &key : kKeys) {
    EXPECT_EQ(key.get(*config), key.reloaded ? key.byDefault : key.custom) << key.name;
  }
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::Crash),
            (RecoveryActionList{RecoveryAction::RestartSystem, RecoveryAction::HaFailover}));
  EXPECT_EQ(config->ConfigDir(), configDir.path());
  EXPECT_EQ(config->DataDir(), dataDir.path());
}

TEST_F(SentroConfigTest, LogLevelOutsideOneToEighteenWarnsAndBecomesFiveOnLoadAndReload) {
  struct Case {
    int level;
    int expected;
  } cases[] = {{0, 5}, {19, 5}, {-3, 5}, {1, 1}, {18, 18}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.level);
    std::string json = "{\"LogLevel\": " + std::to_string(c.level) + "}";
    std::string warning =
        c.expected != c.level ? "LogLevel config value must be in the range 1 and 18\n" : "";
    LogCapture capture;
    SentroConfig *config = LoadConfig(json);
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->LogLevel(), c.expected);
    EXPECT_EQ(capture.Text(), warning);

    WriteConfig("{\"LogLevel\": 8}");
    ASSERT_TRUE(config->Reload());
    WriteConfig(json);
    capture.Clear();
    ASSERT_TRUE(config->Reload());
    EXPECT_EQ(config->LogLevel(), c.expected);
    EXPECT_EQ(capture.Text(), warning);
  }
}

// Every integer key at the values a careless or hostile file holds: inside
// its range a value is taken, outside it (or beyond 32 bits) the key falls
// back to its default after one warning naming the key and the value.
TEST_F(SentroConfigTest, IntegerOutsideItsRangeWarnsWithKeyAndValueAndBecomesTheDefault) {
  const int64_t kMax = INT32_MAX;
  const struct Range {
    const char *key;
    int64_t byDefault, min, max;
  } kRanges[] = {
      {"DefaultServiceStartTimeout", 30, 1, kMax},
      {"DefaultServiceStopTimeout", 10, 1, kMax},
      {"DefaultServicePostStopTimeout", 10, 1, kMax},
      {"DefaultApiHealthCmdTimeout", 30, 1, kMax},
      {"MaxServiceQuickRecoveryCount", 5, 0, kMax},
      {"MaxIncomingRequests", 25, 0, kMax},
      {"AdditionalServiceStartTimeout", 60, 0, kMax},
      {"ResetServiceFailCounterTime", 86400, 0, kMax},
      {"ParallelSvcOpThrottleLimit", 0, 0, kMax},
      {"StreamRedirectedFilesLimit", 5, 0, kMax},
      {"SocketIOTimeout", 5, 1, kMax},
      {"CriticalHealthCheckFreqSecs", 300, 6, 2147},  // the watchdog's period too
      {"CriticalToAllHealthCheckFreqRatio", 6, 1, kMax},
      {"LogLevel", 5, 1, 18},
      {"DefaultForceKillTimeoutSec", 30, 1, kMax},
      {"SentroTelemetryPushFreqHours", 24, 1, kMax},
  };
  for (const Range &range : kRanges) {
    for (int64_t value : {int64_t{0}, int64_t{-1}, int64_t{INT32_MIN}, kMax, int64_t{INT64_MAX},
                          range.min - 1, range.min, range.max, range.max + 1}) {
      SCOPED_TRACE(std::string(range.key) + " " + std::to_string(value));
      bool inRange = value >= range.min && value <= range.max;
      std::string warning = inRange ? ""
                            : range.key == std::string("LogLevel")
                                ? "LogLevel config value must be in the range 1 and 18\n"
                                : std::string(range.key) + " config value " +
                                      std::to_string(value) + " is out of the range " +
                                      std::to_string(range.min) + " to " +
                                      std::to_string(range.max) + "; using the default " +
                                      std::to_string(range.byDefault) + "\n";
      LogCapture capture;
      SentroConfig *config =
          LoadConfig("{\"" + std::string(range.key) + "\": " + std::to_string(value) + "}");
      ASSERT_NE(config, nullptr);
      const Key *key = std::find_if(std::begin(kKeys), std::end(kKeys),
                                    [&](const Key &k) { return k.name == std::string(range.key); });
      EXPECT_EQ(key->get(*config), std::to_string(inRange ? value : range.byDefault));
      EXPECT_EQ(capture.Text(), warning);
    }
  }
  // The watchdog needs six seconds; without it one second will do.
  SentroConfig *config = LoadConfig(
      "{\"EnableLivenessCheck\": false, \"CriticalHealthCheckFreqSecs\": 1, \"SocketIOTimeout\": "
      "9}");
  EXPECT_EQ(config->CriticalHealthCheckFreqSecs(), 1);
  WriteConfig("{\"SocketIOTimeout\": -9}");  // a reload falls back to the default too
  ASSERT_TRUE(config->Reload());
  EXPECT_EQ(config->SocketIOTimeout(), 5);
}

TEST_F(SentroConfigTest, UnusableFileMakesLoadFail) {
  LogCapture capture;
  EXPECT_EQ(SentroConfig::Load(configDir.path(), dataDir.path()), nullptr);
  EXPECT_TRUE(capture.Has(LOG_WARNING, "Failed to open file " + configDir.path() +
                                           "/config.json. Error: No such file or directory\n"));
  for (const char *contents : {"", "[]", "{\"LogLevel\": 3", "{} {}"}) {
    WriteConfig(contents);
    EXPECT_EQ(SentroConfig::Load(configDir.path(), dataDir.path()), nullptr) << contents;
    EXPECT_EQ(SentroConfig::Get(), nullptr);
  }
}

TEST_F(SentroConfigTest, FailedReloadChangesNothing) {
  SentroConfig *config = LoadConfig("{\"SocketIOTimeout\": 9}");
  ASSERT_NE(config, nullptr);
  WriteConfig("{\"SocketIOTimeout\": 1,");
  EXPECT_FALSE(config->Reload());
  EXPECT_EQ(config->SocketIOTimeout(), 9);
}

TEST_F(SentroConfigTest, LaterLoadsReturnTheFirstInstanceUnchanged) {
  SentroConfig *config = LoadConfig("{\"SocketIOTimeout\": 8}");
  TempDir otherDir;
  otherDir.Write("config.json", "{\"SocketIOTimeout\": 9}");
  EXPECT_EQ(SentroConfig::Load(otherDir.path(), otherDir.path()), config);
  EXPECT_EQ(config->SocketIOTimeout(), 8);
}

}  // namespace
