// The texts of the enumerations that travel as numbers in replies: service
// state, health, startup type, and the recovery action profile of requests.
// Each returns null for a number outside its enumeration.
#pragma once

#include <cstdint>

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
