// The registry of every managed service and the startup profiles. Built once
// at start-up from the definitions directory and "profiles.json"; services
// are never added or removed afterwards. It also hosts the profile batch
// operations (start, stop, health check in dependency order).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "src/manager/BatchMember.h"
#include "src/manager/BatchOperation.h"

class Service;

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

  // Hooks filled in by pieces above the registry (the metrics store and the
  // servlet containers); empty ones do nothing.
  struct Hooks {
    void (*updateOperationCounts)() = nullptr;
    bool (*loadMuxServers)() = nullptr;
    bool (*reloadMuxServers)() = nullptr;
  };
  static Hooks &GetHooks();

  // Builds a registry from the configuration in force; null on failure.
  // GetServiceManager keeps the one the daemon uses.
  static std::unique_ptr<ServiceManager> Create();

 private:
  class Entry;
  friend ServiceManager *GetServiceManager();
  ServiceManager();
  bool Populate();
  bool LoadServices(const std::string &dir);
  void Register(std::unique_ptr<Service> service, const std::string &fileName);
  bool LoadProfiles(const std::string &path);
  void BuildStopOrder();
  void RunProfileBatch(BatchOpType op, const std::string &profile, bool ignoreFail, bool parallel,
                       BatchDone done, void *context);

  std::map<std::string, std::unique_ptr<Entry>> registry_;
  std::map<std::string, std::vector<BatchMember *>> profiles_;
  std::map<std::string, std::vector<BatchMember *>> stopOrder_;
};

// The daemon's registry, created on the first call; null when creation
// failed (the next call tries again).
ServiceManager *GetServiceManager();
