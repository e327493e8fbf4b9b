#include "src/protocol/WireTexts.h"

#include <strings.h>

namespace {

struct ResultText {
  const char *name;
  const char *meaning;
};

const ResultText kResultTexts[CONTROL_RESULT_MAX + 1] = {
    {"Ok", "success"},
    {"TimedOut", "timed out"},
    {"StartFailed", "start failed"},
    {"Cancelled", "cancelled"},
    {"Failed", "failed"},
    {"InvalidState", "invalid state"},
    {"InvalidStartupType", "invalid startup type, profile or service name"},
    {nullptr, nullptr},
    {"InvalidRequest", "invalid request"},
    {"Disabled", "disabled"},
    {"UnknownProfile", "unknown profile"},
};

const char *const kServiceStates[WIRE_SERVICE_STATE_COUNT] = {"STARTING", "STOPPING", "STARTED",
                                                              "STOPPED"};
const char *const kHealthStatuses[WIRE_HEALTH_STATUS_COUNT] = {
    "UNHEALTHY", "HEALTHY", "INITIALIZED", "START_PENDING", "UNKNOWN"};
const char *const kStartupTypes[WIRE_STARTUP_TYPE_COUNT] = {"MANUAL", "AUTOMATIC", "DISABLED"};
const char *const kRecoveryProfiles[WIRE_RECOVERY_PROFILE_COUNT] = {"DEFAULT", "FAILOVER"};

const char *TextOf(uint32_t value, const char *const *texts, uint32_t count) {
  return value < count ? texts[value] : nullptr;
}

int ValueOf(const char *text, const char *const *texts, int count) {
  for (int i = 0; i < count; i++) {
    if (strcasecmp(text, texts[i]) == 0) {
      return i;
    }
  }
  return -1;
}

}  // namespace

const char *ControlResultName(uint32_t code) {
  return code <= CONTROL_RESULT_MAX ? kResultTexts[code].name : nullptr;
}

const char *ControlResultMeaning(uint32_t code) {
  return code <= CONTROL_RESULT_MAX ? kResultTexts[code].meaning : nullptr;
}

const char *WireServiceStateText(uint32_t state) {
  return TextOf(state, kServiceStates, WIRE_SERVICE_STATE_COUNT);
}

const char *WireHealthStatusText(uint32_t health) {
  return TextOf(health, kHealthStatuses, WIRE_HEALTH_STATUS_COUNT);
}

const char *WireStartupTypeText(uint32_t startupType) {
  return TextOf(startupType, kStartupTypes, WIRE_STARTUP_TYPE_COUNT);
}

const char *WireRecoveryProfileText(uint32_t profile) {
  return TextOf(profile, kRecoveryProfiles, WIRE_RECOVERY_PROFILE_COUNT);
}

int WireStartupTypeFromText(const char *text) {
  return ValueOf(text, kStartupTypes, WIRE_STARTUP_TYPE_COUNT);
}

int WireRecoveryProfileFromText(const char *text) {
  return ValueOf(text, kRecoveryProfiles, WIRE_RECOVERY_PROFILE_COUNT);
}
