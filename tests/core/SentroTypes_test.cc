#include "src/core/SentroTypes.h"

#include <gtest/gtest.h>

namespace {

TEST(EnumNames, TextSelectsTheFirstNameItBegins) {
  StartupType startup = StartupType::Disabled;
  EXPECT_TRUE(StartupTypeFromName("AUTO", &startup));
  EXPECT_EQ(startup, StartupType::Automatic);
  EXPECT_TRUE(StartupTypeFromName("DISABLED", &startup));
  EXPECT_EQ(startup, StartupType::Disabled);
  EXPECT_TRUE(StartupTypeFromName("M", &startup));
  EXPECT_EQ(startup, StartupType::Manual);

  RecoveryAction action = RecoveryAction::NoAction;
  // "RESTART_S" begins both RESTART_SERVICE and RESTART_SYSTEM: the first wins.
  EXPECT_TRUE(RecoveryActionFromName("RESTART_S", &action));
  EXPECT_EQ(action, RecoveryAction::RestartService);
  EXPECT_TRUE(RecoveryActionFromName("RESTART_SY", &action));
  EXPECT_EQ(action, RecoveryAction::RestartSystem);
  EXPECT_TRUE(RecoveryActionFromName("HAFAILOVER", &action));
  EXPECT_EQ(action, RecoveryAction::HaFailover);

  FailureType failure = FailureType::Crash;
  EXPECT_TRUE(FailureTypeFromName("CORE", &failure));
  EXPECT_EQ(failure, FailureType::CoreDump);
  EXPECT_TRUE(FailureTypeFromName("HEALTHFAIL", &failure));
  EXPECT_EQ(failure, FailureType::HealthFail);

  RecoveryProfile profile = RecoveryProfile::Default;
  EXPECT_TRUE(RecoveryProfileFromName("F", &profile));
  EXPECT_EQ(profile, RecoveryProfile::Failover);
}

TEST(EnumNames, EmptyTextSelectsTheFirstName) {
  StartupType startup = StartupType::Disabled;
  EXPECT_TRUE(StartupTypeFromName("", &startup));
  EXPECT_EQ(startup, StartupType::Manual);
  RecoveryAction action = RecoveryAction::HaFailover;
  EXPECT_TRUE(RecoveryActionFromName("", &action));
  EXPECT_EQ(action, RecoveryAction::NoAction);
  FailureType failure = FailureType::CoreDump;
  EXPECT_TRUE(FailureTypeFromName("", &failure));
  EXPECT_EQ(failure, FailureType::Crash);
  RecoveryProfile profile = RecoveryProfile::Failover;
  EXPECT_TRUE(RecoveryProfileFromName("", &profile));
  EXPECT_EQ(profile, RecoveryProfile::Default);
}

TEST(EnumNames, LongerOrDifferentTextMatchesNothingAndLeavesOutAlone) {
  StartupType startup = StartupType::Disabled;
  EXPECT_FALSE(StartupTypeFromName("AUTOMATICALLY", &startup));
  EXPECT_FALSE(StartupTypeFromName("automatic", &startup));
  EXPECT_FALSE(StartupTypeFromName(" AUTOMATIC", &startup));
  EXPECT_EQ(startup, StartupType::Disabled);
  RecoveryAction action = RecoveryAction::HaFailover;
  EXPECT_FALSE(RecoveryActionFromName("RESTART_SERVICES", &action));
  EXPECT_EQ(action, RecoveryAction::HaFailover);
  EXPECT_EQ(MatchEnumName("FAILOVERX", kRecoveryProfileNames, RECOVERY_PROFILE_COUNT), -1);
}

TEST(EnumNames, ValuesPrintTheirTextAndStrangersPrintUnknown) {
  EXPECT_STREQ(StartupTypeName(StartupType::Automatic), "AUTOMATIC");
  EXPECT_STREQ(FailureTypeName(FailureType::HealthFail), "HEALTHFAIL");
  EXPECT_STREQ(RecoveryActionName(RecoveryAction::HaFailover), "HAFAILOVER");
  EXPECT_STREQ(RecoveryProfileName(RecoveryProfile::Failover), "FAILOVER");
  EXPECT_STREQ(StartupTypeName(static_cast<StartupType>(3)), "UNKNOWN");
  EXPECT_STREQ(RecoveryActionName(static_cast<RecoveryAction>(-1)), "UNKNOWN");
}

}  // namespace
