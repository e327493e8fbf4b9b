#include "src/core/DaemonWiring.h"

#include "src/posix/SystemFailure.h"
#include "src/service/ServiceHooks.h"

namespace {

void ReportFailureOfService(const std::string &serviceName) {
  ReportSystemFailure(GetSystemFailureHandler(), serviceName);
}

}  // namespace

void WireDaemonHooks() {
  ServiceHooks &hooks = GetServiceHooks();
  hooks.reportSystemFailure = ReportFailureOfService;
}
