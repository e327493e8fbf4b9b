// The world a Service test runs in: a configuration and a data directory in a
// scratch directory, the test clock under the event loop's timers, fake
// processes, and an env that records what a Service tells the daemon.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/log/log.h"
#include "src/service/Service.h"
#include "support/FakeSysProcess.h"
#include "support/LogCapture.h"
#include "support/RecordingEnv.h"
#include "support/TempDir.h"
#include "support/TestClock.h"

using Results = std::vector<ServiceResult>;

// The results a completion was called with, in order; then, if set, runs
// after each one, as a caller's completion that re-enters the Service.
struct Done {
  Results results;
  std::function<void(Service *)> then;
  static void Record(ServiceResult result, Service *service, void *context) {
    auto *done = static_cast<Done *>(context);
    done->results.push_back(result);
    if (done->then) done->then(service);
  }
};

class ServiceTest : public ::testing::Test {
 public:  // table rows reach the helpers through lambdas
  void SetUp() override;
  void TearDown() override;

  // Replaces the daemon configuration.
  void UseConfig(const std::string &json);
  void WriteDefinition(const std::string &name, const std::string &members);
  // The service of name.json: a StartCommand "/bin/<name>" unless members
  // give one, then the members; registered for FindService. Null if rejected.
  std::unique_ptr<Service> Make(const std::string &name, const std::string &members = "");
  // Made, started and answering its first health poll; records cleared.
  std::unique_ptr<Service> Started(const std::string &name, const std::string &members = "");
  // Moves the clock in steps of 100 ms, one loop turn after each.
  void AdvanceMs(int64_t ms);
  // Logged at the information, warning or error level.
  bool Logged(const std::string &text) {
    return log_.Has(LOG_INFO, text) || log_.Has(LOG_WARNING, text) || log_.Has(LOG_ERROR, text);
  }
  FakeSysProcess *Main(const std::string &name) { return FindFake(name); }
  FakeSysProcess *Health(const std::string &name) { return FindFake(name + "-healthcmd"); }

  TempDir dir_;
  std::string configDir_ = dir_.Sub("cfg");
  std::string dataDir_ = dir_.Sub("data");
  TestClock clock_;
  RecordingEnv env_;
  LogCapture log_;
};
