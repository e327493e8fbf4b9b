#include "src/core/SentroTypes.h"

#include <cstring>

const char *const kStartupTypeNames[STARTUP_TYPE_COUNT] = {"MANUAL", "AUTOMATIC", "DISABLED"};
const char *const kFailureTypeNames[FAILURE_TYPE_COUNT] = {"CRASH", "HEALTHFAIL", "COREDUMP"};
const char *const kRecoveryActionNames[RECOVERY_ACTION_COUNT] = {"NO_ACTION", "RESTART_SERVICE",
                                                                 "RESTART_SYSTEM", "HAFAILOVER"};
const char *const kRecoveryProfileNames[RECOVERY_PROFILE_COUNT] = {"DEFAULT", "FAILOVER"};

int MatchEnumName(const char *text, const char *const *names, int count) {
  size_t length = strlen(text);
  for (int i = 0; i < count; i++) {
    // strncmp stops at the end of the name, so a longer text never matches.
    if (strncmp(names[i], text, length) == 0) {
      return i;
    }
  }
  return -1;
}

namespace {

template <typename Enum>
bool FromName(const char *text, const char *const *names, int count, Enum *out) {
  int index = MatchEnumName(text, names, count);
  if (index < 0) {
    return false;
  }
  *out = static_cast<Enum>(index);
  return true;
}

template <typename Enum>
const char *NameOf(Enum value, const char *const *names, int count) {
  int index = static_cast<int>(value);
  return index >= 0 && index < count ? names[index] : "UNKNOWN";
}

}  // namespace

bool StartupTypeFromName(const char *text, StartupType *out) {
  return FromName(text, kStartupTypeNames, STARTUP_TYPE_COUNT, out);
}

bool FailureTypeFromName(const char *text, FailureType *out) {
  return FromName(text, kFailureTypeNames, FAILURE_TYPE_COUNT, out);
}

bool RecoveryActionFromName(const char *text, RecoveryAction *out) {
  return FromName(text, kRecoveryActionNames, RECOVERY_ACTION_COUNT, out);
}

bool RecoveryProfileFromName(const char *text, RecoveryProfile *out) {
  return FromName(text, kRecoveryProfileNames, RECOVERY_PROFILE_COUNT, out);
}

const char *StartupTypeName(StartupType type) {
  return NameOf(type, kStartupTypeNames, STARTUP_TYPE_COUNT);
}

const char *FailureTypeName(FailureType type) {
  return NameOf(type, kFailureTypeNames, FAILURE_TYPE_COUNT);
}

const char *RecoveryActionName(RecoveryAction action) {
  return NameOf(action, kRecoveryActionNames, RECOVERY_ACTION_COUNT);
}

const char *RecoveryProfileName(RecoveryProfile profile) {
  return NameOf(profile, kRecoveryProfileNames, RECOVERY_PROFILE_COUNT);
}
