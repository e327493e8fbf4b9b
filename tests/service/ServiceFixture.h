// The world a Service test runs in: a configuration and a data directory in a
// scratch directory, a hand-advanced monotonic clock under the event loop's
// timers, fake processes, and hooks that record what a Service tells the
// metrics store, the event publisher, recovery and the failure handler.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/FakeSysProcess.h"
#include "ServiceLogCapture.h"
#include "src/service/Service.h"
#include "support/TempDir.h"

using Results = std::vector<ServiceResult>;

// The results a completion was called with, in order.
struct CompletionRecord {
  std::vector<ServiceResult> results;
  static void Record(ServiceResult result, Service *, void *context) {
    static_cast<CompletionRecord *>(context)->results.push_back(result);
  }
  ServiceResult last() const { return results.empty() ? ServiceResult(-1) : results.back(); }
};

struct PublishedChange {
  std::string service;
  HealthStatus newHealth;
  HealthStatus oldHealth;
  bool unsolicited;
};

// What the hooks were told, in order.
struct HookRecord {
  std::vector<std::string> operations;  // "begin <name> <op> <status> <phase>", "end ..."
  std::vector<PublishedChange> published;
  std::vector<std::string> systemFailures;
  std::vector<std::string> recoveries;  // "<name> <failure> <counter before>"
  std::vector<std::string> healthChecksDone;
  std::map<std::string, Service *> registry;
  bool shuttingDown = false;
};

HookRecord &Hooks();

class ServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Replaces the daemon configuration (written to config.json and loaded).
  void UseConfig(const std::string &json);
  void WriteDefinition(const std::string &fileName, const std::string &json);
  // Writes the definition and creates its Service; null when rejected.
  std::unique_ptr<Service> Create(const std::string &fileName, const std::string &json);
  // Creates the service of a minimal definition plus the extra members.
  std::unique_ptr<Service> CreateNamed(const std::string &name, const std::string &extraMembers);

  // Moves the clock forward in steps of at most stepMs, running one event
  // loop turn after each step, so every due timer fires in order.
  void AdvanceMs(int64_t ms, int64_t stepMs = 100);
  void AdvanceSeconds(int64_t seconds) { AdvanceMs(seconds * 1000); }
  void RunLoopOnce();
  static int64_t NowMicros();

  FakeSysProcess *Main(const std::string &name) { return FindFake(name); }
  FakeSysProcess *PreStart(const std::string &name) { return FindFake(name + "-prestart"); }
  FakeSysProcess *HealthCmd(const std::string &name) { return FindFake(name + "-healthcmd"); }
  FakeSysProcess *PostStop(const std::string &name) { return FindFake(name + "-post-stop"); }

  // Starts the service and runs until its first health poll is running.
  void StartUntilFirstPoll(Service *service, CompletionRecord *record);
  // Starts the service and answers its first health poll with exit code 0.
  void StartHealthy(Service *service, CompletionRecord *record);
  // A started service, with the hook records and the log cleared.
  std::unique_ptr<Service> Started(const std::string &name, const std::string &extraMembers);
  // Begins an explicit health check whose command is now running.
  void BeginHealthCheck(Service *service, CompletionRecord *record);

  TempDir dir_;
  std::string configDir_;
  std::string dataDir_;
};
