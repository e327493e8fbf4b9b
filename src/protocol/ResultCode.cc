#include "src/protocol/ResultCode.h"

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

}  // namespace

const char *ControlResultName(uint32_t code) {
  return code <= CONTROL_RESULT_MAX ? kResultTexts[code].name : nullptr;
}

const char *ControlResultMeaning(uint32_t code) {
  return code <= CONTROL_RESULT_MAX ? kResultTexts[code].meaning : nullptr;
}
