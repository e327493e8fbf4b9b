#include "src/core/SentroTypes.h"

#include <gtest/gtest.h>

namespace {

// Names are matched by prefix over the text's own length, in enumeration
// order: the first name the text begins wins.
TEST(EnumNames, TextSelectsTheFirstNameItBegins) {
  auto startup = [](const char *text) {
    return MatchEnumName(text, kStartupTypeNames, STARTUP_TYPE_COUNT);
  };
  auto action = [](const char *text) {
    return MatchEnumName(text, kRecoveryActionNames, RECOVERY_ACTION_COUNT);
  };
  EXPECT_EQ(startup("AUTO"), static_cast<int>(StartupType::Automatic));
  EXPECT_EQ(startup(""), static_cast<int>(StartupType::Manual));
  EXPECT_EQ(startup("DISABLED"), static_cast<int>(StartupType::Disabled));
  for (const char *text : {"AUTOMATICALLY", "automatic", " AUTOMATIC"}) {
    EXPECT_EQ(startup(text), -1) << text;
  }
  // "RESTART_S" begins both RESTART_SERVICE and RESTART_SYSTEM.
  EXPECT_EQ(action("RESTART_S"), static_cast<int>(RecoveryAction::RestartService));
  EXPECT_EQ(action("RESTART_SY"), static_cast<int>(RecoveryAction::RestartSystem));
  EXPECT_EQ(action("RESTART_SERVICES"), -1);
  EXPECT_EQ(MatchEnumName("CORE", kFailureTypeNames, FAILURE_TYPE_COUNT),
            static_cast<int>(FailureType::CoreDump));
  EXPECT_EQ(MatchEnumName("FAILOVERX", kRecoveryProfileNames, RECOVERY_PROFILE_COUNT), -1);
}

}  // namespace
