// The enumerations shared across the daemon: startup types, failure types,
// recovery actions and recovery action profiles, with their text forms.
//
// Text forms are matched by prefix: a text selects the first name, in
// enumeration order, that begins with it. So "" selects the first name, "AUTO"
// selects "AUTOMATIC", and a text longer than every name selects none.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

enum class StartupType : int32_t {
  Manual = 0,
  Automatic = 1,
  Disabled = 2,
};

enum class FailureType : int32_t {
  Crash = 0,
  HealthFail = 1,
  CoreDump = 2,
};

enum class RecoveryAction : int32_t {
  NoAction = 0,
  RestartService = 1,
  RestartSystem = 2,
  HaFailover = 3,
};

enum class RecoveryProfile : int32_t {
  Default = 0,
  Failover = 1,
};

#define STARTUP_TYPE_COUNT 3
#define FAILURE_TYPE_COUNT 3
#define RECOVERY_ACTION_COUNT 4
#define RECOVERY_PROFILE_COUNT 2

using RecoveryActionList = std::vector<RecoveryAction>;
// Failure type -> the actions taken for it, in the order of repeated failures.
using FailureRecoveryMap = std::map<FailureType, RecoveryActionList>;
// Recovery action profile -> its per-failure-type lists.
using RecoveryActionProfiles = std::map<RecoveryProfile, FailureRecoveryMap>;

// Name tables, indexed by enumeration value.
extern const char *const kStartupTypeNames[STARTUP_TYPE_COUNT];
extern const char *const kFailureTypeNames[FAILURE_TYPE_COUNT];
extern const char *const kRecoveryActionNames[RECOVERY_ACTION_COUNT];
extern const char *const kRecoveryProfileNames[RECOVERY_PROFILE_COUNT];

// The index of the first of count names that begins with text, or -1.
int MatchEnumName(const char *text, const char *const *names, int count);

// Prefix lookups; each returns false and leaves out untouched when the text
// names nothing.
bool StartupTypeFromName(const char *text, StartupType *out);
bool FailureTypeFromName(const char *text, FailureType *out);
bool RecoveryActionFromName(const char *text, RecoveryAction *out);
bool RecoveryProfileFromName(const char *text, RecoveryProfile *out);

// The text of a value; "UNKNOWN" for a value outside the enumeration.
const char *StartupTypeName(StartupType type);
const char *FailureTypeName(FailureType type);
const char *RecoveryActionName(RecoveryAction action);
const char *RecoveryProfileName(RecoveryProfile profile);
