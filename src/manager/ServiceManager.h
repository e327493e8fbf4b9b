// The registry of every managed service and the startup profiles. Built once
// at start-up from the definitions directory and "profiles.json"; services
// are never added or removed afterwards. It also hosts the profile batch
// operations (start, stop, health check in dependency order).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "src/manager/BatchOperation.h"

class Service;
class ServiceEnv;

class ServiceManager : public BatchGraph {
 public:
  ~ServiceManager() override;

  // The registered service of that name; logs "Service %s not found.\n" and
  // returns null when there is none.
  Service *GetService(const std::string &name) const;
  // Appends every service name, in ascending byte-wise order.
  void GetServiceNames(std::vector<std::string> *names) const;
  bool IsServiceInProfile(const std::string &serviceName, const std::string &profileName) const;
  bool HasProfile(const std::string &profileName) const;

  // Each of these visits every service in registry order and attempts all
  // of them; true only when every one succeeded.
  bool ReloadAllConfigs();
  bool ResetAllFailCounters();
  bool SaveAllCrashStats();
  void ResetExpiredFailCounters();

  // Profile batches. An unknown profile reports 10 with an empty text at once.
  void StartProfile(const std::string &profile, bool ignoreFail, bool parallel, BatchDone done,
                    void *context);
  void StopProfile(const std::string &profile, bool ignoreFail, bool parallel, BatchDone done,
                   void *context);
  void HealthCheckProfile(const std::string &profile, bool ignoreFail, bool parallel,
                          BatchDone done, void *context);

  // BatchGraph
  BatchMember *FindMember(const std::string &name) const override;
  const std::vector<BatchMember *> *StopPredecessors(const std::string &name) const override;
  int ThrottleLimit() const override;
  bool IsShutdownStarted() const override;
  void OnStopBatchDone() override;

  // Builds a registry from the configuration in force, its services wired to
  // env (which outlives it); null on failure.
  static std::unique_ptr<ServiceManager> Create(ServiceEnv *env);

 private:
  class RegisteredService;
  explicit ServiceManager(ServiceEnv *env);
  bool LoadAll();
  bool LoadServices(const std::string &dir);
  void Register(std::unique_ptr<Service> service, const std::string &fileName);
  bool LoadProfiles(const std::string &path);
  void BuildStopOrder();
  void RunProfileBatch(BatchOpType op, const std::string &profile, bool ignoreFail, bool parallel,
                       BatchDone done, void *context);

  ServiceEnv *env_;
  std::map<std::string, std::unique_ptr<RegisteredService>> registry_;
  std::map<std::string, std::vector<BatchMember *>> profiles_;
  std::map<std::string, std::vector<BatchMember *>> stopOrder_;
};
