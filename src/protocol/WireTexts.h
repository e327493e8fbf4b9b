// The values that travel as numbers and their texts: the result codes of
// an ErrorReply, and the service state, health, startup type and recovery
// action profile. Each text lookup returns null for a number outside its
// enumeration.
//
// Result codes 0 to 6 and 9 are the results of service operations, passed
// on unchanged; 6, 8 and 10 are also produced by the control server and
// the batch operations. 7 is unused.
#pragma once

#include <cstdint>

enum class ControlResult : uint32_t {
  Ok = 0,                  // success; never sent in a payload
  TimedOut = 1,            // a start or restart ran out of time
  StartFailed = 2,         // the process ended while the service was starting
  Cancelled = 3,           // superseded by another request, or the daemon is stopping
  Failed = 4,              // a setting was not saved, an action on all services failed
  InvalidState = 5,        // the service's state does not admit the request
  InvalidStartupType = 6,  // bad startup type or recovery profile, or no such service
  InvalidRequest = 8,      // the request failed validation
  Disabled = 9,            // start of a disabled service, or disabling a running one
  UnknownProfile = 10,     // the named profile does not exist
};

#define CONTROL_RESULT_MAX 10u  // the highest code in use

// The name of a code ("TimedOut", "InvalidRequest"), or null for a code
// without one (7, above 10).
const char *ControlResultName(uint32_t code);

// What a code means, in words an operator reads ("timed out", "disabled"),
// or null for a code without a meaning.
const char *ControlResultMeaning(uint32_t code);

#define WIRE_SERVICE_STATE_COUNT 4     // STARTING, STOPPING, STARTED, STOPPED
#define WIRE_HEALTH_STATUS_COUNT 5     // UNHEALTHY .. UNKNOWN
#define WIRE_STARTUP_TYPE_COUNT 3      // MANUAL, AUTOMATIC, DISABLED
#define WIRE_RECOVERY_PROFILE_COUNT 2  // DEFAULT, FAILOVER

const char *WireServiceStateText(uint32_t state);
const char *WireHealthStatusText(uint32_t health);
const char *WireStartupTypeText(uint32_t startupType);
const char *WireRecoveryProfileText(uint32_t profile);

// The value whose text equals text, compared without regard to case
// ("manual" and "MANUAL" give 0); -1 when none does.
int WireStartupTypeFromText(const char *text);
int WireRecoveryProfileFromText(const char *text);
