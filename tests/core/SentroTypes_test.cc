#include "src/core/SentroTypes.h"

#include <gtest/gtest.h>

namespace {

// Names are matched by prefix over the text's own length, in enumeration
// order: the first name the text begins wins.
TEST(EnumNames, TextSelectsTheFirstNameItBegins) {
  const char *const *startup = kStartupTypeNames, *const *actions = kRecoveryActionNames;
  const struct {
    const char *text;
    const char *const *names;
    int count, expected;
  } cases[] = {
      {"AUTO", startup, STARTUP_TYPE_COUNT, static_cast<int>(StartupType::Automatic)},
      {"", startup, STARTUP_TYPE_COUNT, static_cast<int>(StartupType::Manual)},
      {"DISABLED", startup, STARTUP_TYPE_COUNT, static_cast<int>(StartupType::Disabled)},
      {"AUTOMATICALLY", startup, STARTUP_TYPE_COUNT, -1},
      {"automatic", startup, STARTUP_TYPE_COUNT, -1},
      {" AUTOMATIC", startup, STARTUP_TYPE_COUNT, -1},
      // "RESTART_S" begins both RESTART_SERVICE and RESTART_SYSTEM.
      {"RESTART_S", actions, RECOVERY_ACTION_COUNT,
       static_cast<int>(RecoveryAction::RestartService)},
      {"RESTART_SY", actions, RECOVERY_ACTION_COUNT,
       static_cast<int>(RecoveryAction::RestartSystem)},
      {"RESTART_SERVICES", actions, RECOVERY_ACTION_COUNT, -1},
      {"CORE", kFailureTypeNames, FAILURE_TYPE_COUNT, static_cast<int>(FailureType::CoreDump)},
      {"FAILOVERX", kRecoveryProfileNames, RECOVERY_PROFILE_COUNT, -1},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(MatchEnumName(c.text, c.names, c.count), c.expected) << c.text;
  }
}

}  // namespace
