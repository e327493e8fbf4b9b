#include "support/RecordingEnv.h"

#include "support/FakeSysProcess.h"

SysProcess *RecordingEnv::CreateProcess(const std::string &tag) {
  return new FakeSysProcess(tag);
}

SysProcess *RecordingEnv::CreateServletProcess(const std::string &container) {
  return servletFactory ? servletFactory(container) : new FakeSysProcess(container);
}

Service *RecordingEnv::FindService(const std::string &name) {
  auto it = registry.find(name);
  return it == registry.end() ? nullptr : it->second;
}

void RecordingEnv::BeginOperation(const std::string &serviceName, const char *operation,
                                  const char *status, const char *phase) {
  operations.push_back("begin " + serviceName + " " + operation + " " + status + " " + phase);
}

void RecordingEnv::EndOperation(const std::string &serviceName, const char *status,
                                const char *phase) {
  operations.push_back("end " + serviceName + " " + status + " " + phase);
}

void RecordingEnv::FlushOperationRecords() {
  operations.push_back("flush");
}

void RecordingEnv::PublishHealthChange(const std::string &serviceName, HealthStatus newHealth,
                                       HealthStatus oldHealth, bool unsolicited) {
  published.push_back({serviceName, newHealth, oldHealth, unsolicited});
}

void RecordingEnv::ReportSystemFailure(const std::string &serviceName) {
  systemFailures.push_back(serviceName);
}

bool RecordingEnv::RestartSystem(bool restart) {
  restarts.push_back(restart ? "RESTART" : "POWER_OFF");
  return true;  // refused, as a sandboxed daemon's request is
}

bool RecordingEnv::SendFailoverRequest(const std::string &path,
                                       void (*done)(bool success, void *data), void *data,
                                       uint64_t) {
  failoverPaths.push_back(path);
  if (!failoverStarts) {
    return false;
  }
  failoverDone = done;
  failoverData = data;
  return true;
}

void RecordingEnv::Clear() {
  operations.clear();
  published.clear();
  systemFailures.clear();
  restarts.clear();
  failoverPaths.clear();
  failoverDone = nullptr;
  failoverData = nullptr;
}
