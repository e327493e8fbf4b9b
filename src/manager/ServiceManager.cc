#include "src/manager/ServiceManager.h"

#include <algorithm>

#include "lib/log/log.h"
#include "src/core/JsonFileReader.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/manager/DependencyChecks.h"
#include "src/service/OperationTexts.h"
#include "src/service/Service.h"
#include "src/service/ServiceEnv.h"
#include "src/service/ServiceRecovery.h"
#include "src/service/servlet/MuxServer.h"

// A registered service as batches see it.
class ServiceManager::RegisteredService : public BatchMember {
 public:
  explicit RegisteredService(std::unique_ptr<Service> service) : service_(std::move(service)) {}
  Service *service() const { return service_.get(); }

  const std::string &Name() const override { return service_->name(); }
  StartupType GetStartupType() const override { return service_->startupType(); }
  const std::vector<std::string> &DependsOn() const override { return service_->dependsOn(); }
  void RunBatchOp(BatchOpType op, BatchMemberDone done, void *context) override;

 private:
  // One operation in flight; several batches may act on one service at once.
  struct OperationInFlight {
    RegisteredService *entry;
    BatchMemberDone done;
    void *context;
  };
  static void OperationDone(ServiceResult result, Service *service, void *context);

  std::unique_ptr<Service> service_;
};

void ServiceManager::RegisteredService::RunBatchOp(BatchOpType op, BatchMemberDone done,
                                                   void *context) {
  auto *pending = new OperationInFlight{this, done, context};
  ServiceEnv &env = service_->env();
  switch (op) {
    case BatchOpType::Start:
      env.BeginOperation(Name(), TELEMETRY_OP_BATCH_START, TELEMETRY_STATUS_UNHEALTHY,
                         TELEMETRY_PHASE_PENDING);
      service_->SetStart(OperationDone, pending);
      break;
    case BatchOpType::Stop:
      env.BeginOperation(Name(), TELEMETRY_OP_BATCH_STOP, TELEMETRY_STATUS_STOPPING,
                         TELEMETRY_PHASE_PENDING);
      service_->SetStop(OperationDone, pending);
      break;
    case BatchOpType::ApiHealth:
      RunHealthCheck(service_.get(), OperationDone, pending);
      break;
    default:
      delete pending;
      done(static_cast<int>(ServiceResult::Failed), this, context);
      break;
  }
}

void ServiceManager::RegisteredService::OperationDone(ServiceResult result, Service *,
                                                      void *context) {
  auto *pending = static_cast<OperationInFlight *>(context);
  OperationInFlight copy = *pending;
  delete pending;
  copy.done(static_cast<int>(result), copy.entry, copy.context);
}

ServiceManager::ServiceManager(ServiceEnv *env) : env_(env) {}

ServiceManager::~ServiceManager() {
  // Profiles and the stop order hold plain pointers into the registry.
  profiles_.clear();
  stopOrder_.clear();
  registry_.clear();
}

std::unique_ptr<ServiceManager> ServiceManager::Create(ServiceEnv *env) {
  std::unique_ptr<ServiceManager> manager(new ServiceManager(env));
  if (!manager->LoadAll()) {
    return nullptr;
  }
  return manager;
}

bool ServiceManager::LoadAll() {
  SentroConfig *config = SentroConfig::Get();
  if (!LoadMuxServers()) {
    return false;
  }
  if (!LoadServices(config->ServiceDefinitionDir())) {
    return false;
  }
  ServiceGraph graph;
  for (const auto &[name, entry] : registry_) {
    graph[name] = entry.get();
  }
  if (CheckStartupTypes(graph)) {
    DetectDependencyCycles(graph);
  }
  if (!LoadProfiles(config->ProfilesFilePath())) {
    return false;
  }
  BuildStopOrder();
  return true;
}

bool ServiceManager::LoadServices(const std::string &dir) {
  std::vector<std::string> fileNames;
  if (!ListDirectoryNames(dir, &fileNames)) {
    LogAtLevel(LOG_ERROR, "Failed to read directory %s.\n", dir.c_str());
    return false;
  }
  for (const std::string &fileName : fileNames) {
    size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || fileName.compare(dot, std::string::npos, ".json") != 0) {
      LogAtLevel(LOG_DEBUG, "Skipping file %s as it does not ends with .json\n", fileName.c_str());
      continue;
    }
    if (fileName.rfind(".state_", 0) == 0) {
      LogAtLevel(LOG_DEBUG, "Skipping file %s as it stores run time state of the service.\n",
                 fileName.c_str());
      continue;
    }
    std::unique_ptr<Service> service = CreateService(fileName, env_);
    if (service == nullptr) {
      LogAtLevel(LOG_WARNING, "Failed to add service %s.\n", fileName.c_str());
      continue;
    }
    Register(std::move(service), fileName);
  }
  return true;
}

void ServiceManager::Register(std::unique_ptr<Service> service, const std::string &fileName) {
  auto existing = registry_.find(service->name());
  if (existing != registry_.end()) {
    LogAtLevel(LOG_ERROR, "Service %s is already defined in %s. Ignoring %s.\n",
               service->name().c_str(), existing->second->service()->fileName().c_str(),
               fileName.c_str());
    LogAtLevel(LOG_WARNING, "Failed to add service %s.\n", fileName.c_str());
    return;
  }
  LogAtLevel(LOG_INFO, "Adding service %s.\n", service->name().c_str());
  std::string name = service->name();
  registry_[name] = std::make_unique<RegisteredService>(std::move(service));
}

bool ServiceManager::LoadProfiles(const std::string &path) {
  JsonFileReader reader;
  if (!reader.Load(path)) {
    return false;
  }
  std::vector<std::string> profileNames;
  reader.GetMemberNames(&profileNames);
  for (const std::string &profileName : profileNames) {
    if (profiles_.count(profileName) != 0) {
      continue;  // the first occurrence wins
    }
    std::vector<BatchMember *> &members = profiles_[profileName];
    std::vector<std::string> serviceNames;
    if (!reader.GetStringList(profileName.c_str(), false, &serviceNames)) {
      continue;  // not an array: a profile without services
    }
    for (const std::string &serviceName : serviceNames) {
      if (GetService(serviceName) == nullptr) {
        LogAtLevel(LOG_WARNING, "Invalid service %s in profile %s. Ignoring.\n",
                   serviceName.c_str(), profileName.c_str());
        continue;
      }
      members.push_back(registry_[serviceName].get());
    }
  }
  if (profiles_.count("ALL") == 0) {
    std::vector<BatchMember *> &all = profiles_["ALL"];
    for (const auto &entry : registry_) {
      all.push_back(entry.second.get());
    }
  }
  return true;
}

void ServiceManager::BuildStopOrder() {
  for (const auto &[name, entry] : registry_) {
    for (const std::string &later : entry->service()->stopBefore()) {
      stopOrder_[later].push_back(entry.get());
    }
  }
}

Service *ServiceManager::GetService(const std::string &name) const {
  auto it = registry_.find(name);
  if (it == registry_.end()) {
    LogAtLevel(LOG_ERROR, "Service %s not found.\n", name.c_str());
    return nullptr;
  }
  return it->second->service();
}

void ServiceManager::GetServiceNames(std::vector<std::string> *names) const {
  for (const auto &entry : registry_) {
    names->push_back(entry.first);
  }
}

bool ServiceManager::HasProfile(const std::string &profileName) const {
  return profiles_.count(profileName) != 0;
}

bool ServiceManager::IsServiceInProfile(const std::string &serviceName,
                                        const std::string &profileName) const {
  auto it = profiles_.find(profileName);
  if (it == profiles_.end()) {
    return false;
  }
  return std::any_of(it->second.begin(), it->second.end(),
                     [&](BatchMember *member) { return member->Name() == serviceName; });
}

bool ServiceManager::ReloadAllConfigs() {
  bool allOk = true;
  if (!ReloadMuxServers()) {
    allOk = false;
  }
  for (const auto &entry : registry_) {
    allOk = entry.second->service()->ReloadConfig() && allOk;
  }
  return allOk;
}

bool ServiceManager::ResetAllFailCounters() {
  bool allSaved = true;
  for (const auto &entry : registry_) {
    ResetFailCounters(entry.second->service());
    allSaved = entry.second->service()->SaveCrashStats() && allSaved;
  }
  return allSaved;
}

bool ServiceManager::SaveAllCrashStats() {
  bool allSaved = true;
  for (const auto &entry : registry_) {
    allSaved = entry.second->service()->SaveCrashStats() && allSaved;
  }
  return allSaved;
}

void ServiceManager::ResetExpiredFailCounters() {
  for (const auto &entry : registry_) {
    if (IsFailCounterResetDue(entry.second->service())) {
      ResetFailCounters(entry.second->service());
    }
  }
}

void ServiceManager::RunProfileBatch(BatchOpType op, const std::string &profile, bool ignoreFail,
                                     bool parallel, BatchDone done, void *context) {
  auto it = profiles_.find(profile);
  if (it == profiles_.end()) {
    if (done != nullptr) {
      done(BATCH_PROFILE_NOT_FOUND, "", context);
    }
    return;
  }
  RunBatch(this, op, it->second, ignoreFail, parallel, done, context);
}

void ServiceManager::StartProfile(const std::string &profile, bool ignoreFail, bool parallel,
                                  BatchDone done, void *context) {
  RunProfileBatch(BatchOpType::Start, profile, ignoreFail, parallel, done, context);
}

void ServiceManager::StopProfile(const std::string &profile, bool ignoreFail, bool parallel,
                                 BatchDone done, void *context) {
  RunProfileBatch(BatchOpType::Stop, profile, ignoreFail, parallel, done, context);
}

void ServiceManager::HealthCheckProfile(const std::string &profile, bool ignoreFail, bool parallel,
                                        BatchDone done, void *context) {
  RunProfileBatch(BatchOpType::ApiHealth, profile, ignoreFail, parallel, done, context);
}

BatchMember *ServiceManager::FindMember(const std::string &name) const {
  auto it = registry_.find(name);
  return it == registry_.end() ? nullptr : it->second.get();
}

const std::vector<BatchMember *> *ServiceManager::StopPredecessors(const std::string &name) const {
  auto it = stopOrder_.find(name);
  return it == stopOrder_.end() ? nullptr : &it->second;
}

int ServiceManager::ThrottleLimit() const {
  return SentroConfig::Get()->ParallelSvcOpThrottleLimit();
}

bool ServiceManager::IsShutdownStarted() const {
  return env_->IsShutdownStarted();
}

void ServiceManager::OnStopBatchDone() {
  env_->FlushOperationRecords();
}
