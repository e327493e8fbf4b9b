#include "src/core/SentroConfig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "lib/log/log.h"

namespace {

class SentroConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { SentroConfig::ResetForTest(); }
  void TearDown() override { SentroConfig::ResetForTest(); }

  void WriteConfig(const std::string &contents) { configDir.Write("config.json", contents); }

  // Loads contents as config.json; fails the test when Load fails.
  SentroConfig *LoadConfig(const std::string &contents) {
    WriteConfig(contents);
    SentroConfig *config = SentroConfig::Load(configDir.path(), dataDir.path());
    EXPECT_NE(config, nullptr) << contents;
    return config;
  }

  TempDir configDir;
  TempDir dataDir;
};

TEST_F(SentroConfigTest, EmptyObjectYieldsAllDefaults) {
  LogCapture capture;
  SentroConfig *config = LoadConfig("{}");
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(SentroConfig::Get(), config);

  EXPECT_EQ(config->RecoveryActionsFor(FailureType::Crash),
            RecoveryActionList{RecoveryAction::RestartService});
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::HealthFail),
            (RecoveryActionList{RecoveryAction::NoAction, RecoveryAction::RestartService}));
  EXPECT_TRUE(config->RecoveryActionsFor(FailureType::CoreDump).empty());
  EXPECT_EQ(config->DefaultServiceStartTimeout(), 30);
  EXPECT_EQ(config->DefaultServiceStopTimeout(), 10);
  EXPECT_EQ(config->DefaultServicePostStopTimeout(), 10);
  EXPECT_EQ(config->DefaultApiHealthCmdTimeout(), 30);
  EXPECT_EQ(config->AdditionalServiceStartTimeout(), 60);
  EXPECT_EQ(config->MaxServiceQuickRecoveryCount(), 5);
  EXPECT_EQ(config->DefaultServiceStartupType(), StartupType::Automatic);
  EXPECT_FALSE(config->DumpLiveCoreOnApiHealthFail());
  EXPECT_EQ(config->ResetServiceFailCounterTime(), 86400);
  EXPECT_EQ(config->ActiveRecoveryProfile(), RecoveryProfile::Default);
  EXPECT_TRUE(config->ParallelServiceOperation());
  EXPECT_EQ(config->ParallelSvcOpThrottleLimit(), 0);
  EXPECT_EQ(config->StreamRedirectedFilesLimit(), 5);
  EXPECT_EQ(config->SocketIOTimeout(), 5);
  EXPECT_EQ(config->MaxIncomingRequests(), 25);
  EXPECT_EQ(config->CriticalHealthCheckFreqSecs(), 300);
  EXPECT_EQ(config->CriticalToAllHealthCheckFreqRatio(), 6);
  EXPECT_EQ(config->EventPublisherScriptDir(), "");
  EXPECT_EQ(config->LogLevel(), 5);
  EXPECT_FALSE(config->LogToSyslog());
  EXPECT_TRUE(config->KillServicesOnSentroCrash());
  EXPECT_TRUE(config->PerformPeriodicHealthCheck());
  EXPECT_TRUE(config->RecoverOnServiceHealthFail());
  EXPECT_TRUE(config->RecoverOnServiceCrash());
  EXPECT_TRUE(config->HaltOnSystemFailHA());
  EXPECT_TRUE(config->EnableLivenessCheck());
  EXPECT_EQ(config->DefaultForceKillTimeoutSec(), 30);
  EXPECT_EQ(config->SentroTelemetryPushFreqHours(), 24);
}

TEST_F(SentroConfigTest, PathsAreBuiltFromTheDirectories) {
  setenv("SENTRO_T_HUB", "/opt/hub", 1);
  SentroConfig *config = LoadConfig("{\"EventPublisherScriptDir\": \"%SENTRO_T_HUB%/events\"}");
  ASSERT_NE(config, nullptr);
  const std::string &cfg = configDir.path();
  const std::string &data = dataDir.path();
  EXPECT_EQ(config->ConfigDir(), cfg);
  EXPECT_EQ(config->DataDir(), data);
  EXPECT_EQ(config->ConfigFilePath(), cfg + "/config.json");
  EXPECT_EQ(config->ProfilesFilePath(), cfg + "/profiles.json");
  EXPECT_EQ(config->ServiceDefinitionDir(), cfg + "/svcCfgfiles");
  EXPECT_EQ(config->MuxInstanceDefinitionDir(), cfg + "/muxServerInstanceCfgfiles");
  EXPECT_EQ(config->ServiceStatsPath(), data + "/.svcStats");
  EXPECT_EQ(config->FailoverListenerPath(), data + "/duolistener");
  EXPECT_EQ(config->DefaultStartProfilePath(), data + "/defaultStartProfile");
  EXPECT_EQ(config->ControlSocketPath(), data + "/sentroserver");
  EXPECT_EQ(config->EventPublisherScriptDir(), "/opt/hub/events");
  EXPECT_EQ(config->EventPublisherScriptPath(), "/opt/hub/events/sentroEventPublisher.py");
}

TEST_F(SentroConfigTest, EveryKeyIsRead) {
  LogCapture capture;
  SentroConfig *config = LoadConfig(R"({
    // Operator overrides.
    "DefaultCrashRecoveryActions": ["RESTART_SYSTEM", "HAFAILOVER"],
    "DefaultApiHealthFailRecoveryActions": ["RESTART_SERVICE"],
    "DefaultServiceStartTimeout": 31,
    "DefaultServiceStopTimeout": 11,
    "DefaultServicePostStopTimeout": 12,
    "DefaultApiHealthCmdTimeout": 13,
    "MaxServiceQuickRecoveryCount": 2,
    "DefaultServiceStartupType": "MANUAL",
    "MaxIncomingRequests": 7,
    "KillServicesOnSentroCrash": false,
    "EnableLivenessCheck": false,
    "AdditionalServiceStartTimeout": 14,
    "DumpLiveCoreOnApiHealthFail": true,
    "ResetServiceFailCounterTime": 15,
    "ParallelServiceOperation": false,
    "ParallelSvcOpThrottleLimit": 3,
    "StreamRedirectedFilesLimit": 9,
    "SocketIOTimeout": 16,
    "CriticalHealthCheckFreqSecs": 60,
    "CriticalToAllHealthCheckFreqRatio": 2,
    "EventPublisherScriptDir": "/usr/lib/events",
    "LogLevel": 8,
    "LogToSyslog": true,
    "PerformPeriodicHealthCheck": false,
    "RecoverOnServiceHealthFail": false,
    "RecoverOnServiceCrash": false,
    "HaltOnSystemFailHA": false,
    "DefaultForceKillTimeoutSec": 17,
    "SentroTelemetryPushFreqHours": 1,
    "UnknownKey": [1, 2, 3]
  })");
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::Crash),
            (RecoveryActionList{RecoveryAction::RestartSystem, RecoveryAction::HaFailover}));
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::HealthFail),
            RecoveryActionList{RecoveryAction::RestartService});
  EXPECT_EQ(config->DefaultServiceStartTimeout(), 31);
  EXPECT_EQ(config->DefaultServiceStopTimeout(), 11);
  EXPECT_EQ(config->DefaultServicePostStopTimeout(), 12);
  EXPECT_EQ(config->DefaultApiHealthCmdTimeout(), 13);
  EXPECT_EQ(config->MaxServiceQuickRecoveryCount(), 2);
  EXPECT_EQ(config->DefaultServiceStartupType(), StartupType::Manual);
  EXPECT_EQ(config->MaxIncomingRequests(), 7);
  EXPECT_FALSE(config->KillServicesOnSentroCrash());
  EXPECT_FALSE(config->EnableLivenessCheck());
  EXPECT_EQ(config->AdditionalServiceStartTimeout(), 14);
  EXPECT_TRUE(config->DumpLiveCoreOnApiHealthFail());
  EXPECT_EQ(config->ResetServiceFailCounterTime(), 15);
  EXPECT_FALSE(config->ParallelServiceOperation());
  EXPECT_EQ(config->ParallelSvcOpThrottleLimit(), 3);
  EXPECT_EQ(config->StreamRedirectedFilesLimit(), 9);
  EXPECT_EQ(config->SocketIOTimeout(), 16);
  EXPECT_EQ(config->CriticalHealthCheckFreqSecs(), 60);
  EXPECT_EQ(config->CriticalToAllHealthCheckFreqRatio(), 2);
  EXPECT_EQ(config->EventPublisherScriptDir(), "/usr/lib/events");
  EXPECT_EQ(config->LogLevel(), 8);
  EXPECT_TRUE(config->LogToSyslog());
  EXPECT_FALSE(config->PerformPeriodicHealthCheck());
  EXPECT_FALSE(config->RecoverOnServiceHealthFail());
  EXPECT_FALSE(config->RecoverOnServiceCrash());
  EXPECT_FALSE(config->HaltOnSystemFailHA());
  EXPECT_EQ(config->DefaultForceKillTimeoutSec(), 17);
  EXPECT_EQ(config->SentroTelemetryPushFreqHours(), 1);
}

TEST_F(SentroConfigTest, LogLevelOutsideOneToEighteenWarnsAndBecomesFive) {
  for (int level : {0, 19, -3}) {
    SentroConfig::ResetForTest();
    LogCapture capture;
    SentroConfig *config = LoadConfig("{\"LogLevel\": " + std::to_string(level) + "}");
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->LogLevel(), 5) << level;
    ASSERT_EQ(capture.Messages().size(), 1u);
    EXPECT_TRUE(capture.Has(LOG_WARNING, "LogLevel config value must be in the range 1 and 18\n"));
  }
  for (int level : {1, 18}) {
    SentroConfig::ResetForTest();
    LogCapture capture;
    SentroConfig *config = LoadConfig("{\"LogLevel\": " + std::to_string(level) + "}");
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->LogLevel(), level);
    EXPECT_EQ(capture.Text(), "");
  }
}

TEST_F(SentroConfigTest, WrongValueTypesAreIgnoredSilently) {
  LogCapture capture;
  SentroConfig *config = LoadConfig(
      "{\"CriticalHealthCheckFreqSecs\": 60.5, \"SocketIOTimeout\": \"9\","
      " \"LogToSyslog\": 1, \"DefaultServiceStartTimeout\": 3000000000,"
      " \"DefaultServiceStartupType\": 1, \"DefaultCrashRecoveryActions\": \"HAFAILOVER\","
      " \"EventPublisherScriptDir\": [\"/x\"]}");
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(capture.Text(), "");
  EXPECT_EQ(config->CriticalHealthCheckFreqSecs(), 300);
  EXPECT_EQ(config->SocketIOTimeout(), 5);
  EXPECT_FALSE(config->LogToSyslog());
  EXPECT_EQ(config->DefaultServiceStartTimeout(), 30);
  EXPECT_EQ(config->DefaultServiceStartupType(), StartupType::Automatic);
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::Crash),
            RecoveryActionList{RecoveryAction::RestartService});
  EXPECT_EQ(config->EventPublisherScriptDir(), "");
}

TEST_F(SentroConfigTest, RecoveryListsAreReplacedAsAWhole) {
  LogCapture capture;
  SentroConfig *config = LoadConfig(
      "{\"DefaultCrashRecoveryActions\": [],"
      " \"DefaultApiHealthFailRecoveryActions\": [5, \"RESTART_SYSTEM\"],"
      " \"DefaultCoreDumpRecoveryActions\": [\"RESTART_SERVICE\"]}");
  ASSERT_NE(config, nullptr);
  EXPECT_TRUE(config->RecoveryActionsFor(FailureType::Crash).empty());
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::HealthFail),
            RecoveryActionList{RecoveryAction::RestartSystem});
  EXPECT_TRUE(config->RecoveryActionsFor(FailureType::CoreDump).empty());
  ASSERT_EQ(capture.Messages().size(), 1u);
  EXPECT_TRUE(capture.Has(
      LOG_WARNING, "Non String entry in DefaultApiHealthFailRecoveryActions field. Skipping...\n"));
}

TEST_F(SentroConfigTest, InvalidStartupTypeWarnsAndKeepsTheDefault) {
  LogCapture capture;
  SentroConfig *config = LoadConfig("{\"DefaultServiceStartupType\": \"SOMETIMES\"}");
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->DefaultServiceStartupType(), StartupType::Automatic);
  ASSERT_EQ(capture.Messages().size(), 1u);
  EXPECT_TRUE(capture.Has(LOG_WARNING, "Invalid startup type SOMETIMES\n"));
}

TEST_F(SentroConfigTest, FailedExpansionKeepsThePreviousScriptDir) {
  unsetenv("SENTRO_T_UNSET");
  LogCapture capture;
  SentroConfig *config = LoadConfig("{\"EventPublisherScriptDir\": \"%SENTRO_T_UNSET%/x\"}");
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->EventPublisherScriptDir(), "");
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Env variable SENTRO_T_UNSET is not set\n"));

  WriteConfig("{\"EventPublisherScriptDir\": \"/opt/events\"}");
  ASSERT_TRUE(config->Reload());
  WriteConfig("{\"EventPublisherScriptDir\": \"/opt/%SENTRO_T_UNSET\"}");
  ASSERT_TRUE(config->Reload());
  EXPECT_EQ(config->EventPublisherScriptDir(), "/opt/events");
}

TEST_F(SentroConfigTest, UnusableFileMakesLoadFail) {
  LogCapture capture;
  EXPECT_EQ(SentroConfig::Load(configDir.path(), dataDir.path()), nullptr);
  EXPECT_TRUE(capture.Has(LOG_WARNING, "Failed to open file " + configDir.path() +
                                           "/config.json. Error: No such file or directory\n"));
  EXPECT_EQ(SentroConfig::Get(), nullptr);

  for (const char *contents : {"", "[]", "{\"LogLevel\": 3", "{} {}"}) {
    WriteConfig(contents);
    EXPECT_EQ(SentroConfig::Load(configDir.path(), dataDir.path()), nullptr) << contents;
    EXPECT_EQ(SentroConfig::Get(), nullptr);
  }
}

TEST_F(SentroConfigTest, LaterLoadsReturnTheFirstInstanceUnchanged) {
  SentroConfig *config = LoadConfig("{\"SocketIOTimeout\": 8}");
  ASSERT_NE(config, nullptr);
  TempDir otherDir;
  otherDir.Write("config.json", "{\"SocketIOTimeout\": 9}");
  EXPECT_EQ(SentroConfig::Load(otherDir.path(), otherDir.path()), config);
  EXPECT_EQ(config->SocketIOTimeout(), 8);
  EXPECT_EQ(config->ConfigDir(), configDir.path());
}

TEST_F(SentroConfigTest, ReloadReadsOnlyRunTimeKeysAndKeepsMissingOnes) {
  SentroConfig *config = LoadConfig(
      "{\"LogLevel\": 8, \"SocketIOTimeout\": 9, \"DefaultServiceStartTimeout\": 40,"
      " \"DefaultCrashRecoveryActions\": [\"HAFAILOVER\"], \"EnableLivenessCheck\": false}");
  ASSERT_NE(config, nullptr);

  WriteConfig(
      "{\"SocketIOTimeout\": 3, \"DefaultServiceStartTimeout\": 99, \"LogToSyslog\": true,"
      " \"DefaultCrashRecoveryActions\": [], \"EnableLivenessCheck\": true,"
      " \"DefaultServiceStartupType\": \"DISABLED\", \"MaxIncomingRequests\": 1}");
  EXPECT_TRUE(config->Reload());
  EXPECT_EQ(config->LogLevel(), 8);
  EXPECT_EQ(config->SocketIOTimeout(), 3);
  EXPECT_TRUE(config->LogToSyslog());
  EXPECT_EQ(config->DefaultServiceStartTimeout(), 40);
  EXPECT_EQ(config->RecoveryActionsFor(FailureType::Crash),
            RecoveryActionList{RecoveryAction::HaFailover});
  EXPECT_FALSE(config->EnableLivenessCheck());
  EXPECT_EQ(config->DefaultServiceStartupType(), StartupType::Automatic);
  EXPECT_EQ(config->MaxIncomingRequests(), 25);
  EXPECT_EQ(config->ConfigDir(), configDir.path());
  EXPECT_EQ(config->DataDir(), dataDir.path());
}

TEST_F(SentroConfigTest, ReloadChecksTheLogLevelRange) {
  SentroConfig *config = LoadConfig("{\"LogLevel\": 8}");
  ASSERT_NE(config, nullptr);
  WriteConfig("{\"LogLevel\": 40}");
  LogCapture capture;
  EXPECT_TRUE(config->Reload());
  EXPECT_EQ(config->LogLevel(), 5);
  EXPECT_TRUE(capture.Has(LOG_WARNING, "LogLevel config value must be in the range 1 and 18\n"));
}

TEST_F(SentroConfigTest, FailedReloadChangesNothing) {
  SentroConfig *config = LoadConfig("{\"SocketIOTimeout\": 9}");
  ASSERT_NE(config, nullptr);
  WriteConfig("{\"SocketIOTimeout\": 1,");
  LogCapture capture;
  EXPECT_FALSE(config->Reload());
  EXPECT_EQ(config->SocketIOTimeout(), 9);
  EXPECT_TRUE(
      capture.Has(LOG_ERROR, "Invalid Json formatted file " + config->ConfigFilePath() + "\n"));
}

TEST_F(SentroConfigTest, ActiveProfileIsSeenByAnotherThread) {
  SentroConfig *config = LoadConfig("{}");
  ASSERT_NE(config, nullptr);
  bool seen = false;
  std::thread watcher([config, &seen] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      if (config->ActiveRecoveryProfile() == RecoveryProfile::Failover) {
        seen = true;
        return;
      }
      std::this_thread::yield();
    }
  });
  config->SetActiveRecoveryProfile(RecoveryProfile::Failover);
  watcher.join();
  EXPECT_TRUE(seen);
  config->SetActiveRecoveryProfile(RecoveryProfile::Default);
  EXPECT_EQ(config->ActiveRecoveryProfile(), RecoveryProfile::Default);
}

TEST_F(SentroConfigTest, ActiveProfileSurvivesReload) {
  SentroConfig *config = LoadConfig("{}");
  ASSERT_NE(config, nullptr);
  config->SetActiveRecoveryProfile(RecoveryProfile::Failover);
  EXPECT_TRUE(config->Reload());
  EXPECT_EQ(config->ActiveRecoveryProfile(), RecoveryProfile::Failover);
}

TEST_F(SentroConfigTest, RecoveryActionsForAnUnknownFailureTypeIsFatal) {
  SentroConfig *config = LoadConfig("{}");
  ASSERT_NE(config, nullptr);
  EXPECT_DEATH(config->RecoveryActionsFor(static_cast<FailureType>(3)), "");
}

}  // namespace
