#include "src/core/SentroTypes.h"

#include <gtest/gtest.h>

namespace {

// Names are matched by prefix over the text's own length, in enumeration
// order: the first name the text begins wins.
TEST(EnumNames, TextSelectsTheFirstNameItBegins) {
  struct Case {
    const char *text;
    const char *const *names;
    int count;
    int expected;
  } cases[] = {
      {"AUTO", kStartupTypeNames, STARTUP_TYPE_COUNT, static_cast<int>(StartupType::Automatic)},
      {"", kStartupTypeNames, STARTUP_TYPE_COUNT, static_cast<int>(StartupType::Manual)},
      {"DISABLED", kStartupTypeNames, STARTUP_TYPE_COUNT, static_cast<int>(StartupType::Disabled)},
      {"AUTOMATICALLY", kStartupTypeNames, STARTUP_TYPE_COUNT, -1},
      {"automatic", kStartupTypeNames, STARTUP_TYPE_COUNT, -1},
      {" AUTOMATIC", kStartupTypeNames, STARTUP_TYPE_COUNT, -1},
      // "RESTART_S" begins both RESTART_SERVICE and RESTART_SYSTEM.
      {"RESTART_S", kRecoveryActionNames, RECOVERY_ACTION_COUNT,
       static_cast<int>(RecoveryAction::RestartService)},
      {"RESTART_SY", kRecoveryActionNames, RECOVERY_ACTION_COUNT,
       static_cast<int>(RecoveryAction::RestartSystem)},
      {"", kRecoveryActionNames, RECOVERY_ACTION_COUNT, static_cast<int>(RecoveryAction::NoAction)},
      {"RESTART_SERVICES", kRecoveryActionNames, RECOVERY_ACTION_COUNT, -1},
      {"CORE", kFailureTypeNames, FAILURE_TYPE_COUNT, static_cast<int>(FailureType::CoreDump)},
      {"", kFailureTypeNames, FAILURE_TYPE_COUNT, static_cast<int>(FailureType::Crash)},
      {"F", kRecoveryProfileNames, RECOVERY_PROFILE_COUNT,
       static_cast<int>(RecoveryProfile::Failover)},
      {"FAILOVERX", kRecoveryProfileNames, RECOVERY_PROFILE_COUNT, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(MatchEnumName(c.text, c.names, c.count), c.expected);
  }
}

}  // namespace
