// The world of the service, recovery and servlet tests: scratch directories,
// the test clock under the loop's timers, fake processes, a recording env.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "src/core/SentroConfig.h"
#include "src/service/Service.h"
#include "support/FakeSysProcess.h"
#include "support/LogCapture.h"
#include "support/RecordingEnv.h"
#include "support/TempDir.h"
#include "support/TestClock.h"

using Results = std::vector<ServiceResult>;

// A completion's results; then, if set, re-enters the Service as a caller would.
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
  void SetUp() override {
    MakeDirs(configDir_ + "/svcCfgfiles");
    MakeDirs(dataDir_ + "/.svcStats");
    UseConfig("{}");
    PollInstallDefault();
    ResetFakeWorld();
    log_.Clear();
  }
  void TearDown() override {
    while (FakeSysProcess *route = FindFake("static-ui")) {  // they own themselves until they end
      route->running ? route->Exit(0) : delete route;
    }
    PollShutdown();
    SentroConfig::ResetForTest();
  }
  void UseConfig(const std::string &json) {
    WriteFile(configDir_ + "/config.json", json);
    SentroConfig::ResetForTest();
    ASSERT_NE(SentroConfig::Load(configDir_, dataDir_), nullptr);
  }
  // name.json: a StartCommand "/bin/<name>" unless members give one.
  void WriteDefinition(const std::string &name, const std::string &members) {
    std::string start = members.find("\"StartCommand\"") == std::string::npos
                            ? ",\"StartCommand\":\"/bin/" + name + "\""
                            : "";
    WriteFile(configDir_ + "/svcCfgfiles/" + name + ".json",
              "{\"Name\":\"" + name + "\"" + start + (members.empty() ? "" : "," + members) + "}");
  }
  // The service of that file, registered for FindService; null if rejected.
  std::unique_ptr<Service> Make(const std::string &name, const std::string &members = "") {
    WriteDefinition(name, members);
    std::unique_ptr<Service> service = CreateService(name + ".json", &env_);
    env_.registry[name] = service.get();
    return service;
  }
  // Made, started and answering its first health poll; records cleared.
  std::unique_ptr<Service> Started(const std::string &name, const std::string &members = "") {
    std::unique_ptr<Service> service = Make(name, members);
    Done start;
    service->SetStart(Done::Record, &start);
    AdvanceMs(1000);
    if (Health(name)->running) Health(name)->Exit(0);
    EXPECT_EQ(start.results, Results{Ok});
    env_.Clear();
    log_.Clear();
    return service;
  }
  // Moves the clock in steps of 100 ms, one loop turn after each.
  void AdvanceMs(int64_t ms) {
    for (volatile uint8_t exitFlag = 0; ms > 0; ms -= 100) {
      clock_.AdvanceMs(std::min<int64_t>(ms, 100));
      PollRun(false, &exitFlag, 0, 0);
    }
  }
  bool Logged(const std::string &text) {  // at the information, warning or error level
    return log_.Has(LOG_INFO, text) || log_.Has(LOG_WARNING, text) || log_.Has(LOG_ERROR, text);
  }
  FakeSysProcess *Main(const std::string &name) { return FindFake(name); }
  FakeSysProcess *Health(const std::string &name) { return FindFake(name + "-healthcmd"); }

  TempDir dir_;
  std::string configDir_ = dir_.Sub("cfg"), dataDir_ = dir_.Sub("data");
  TestClock clock_;
  RecordingEnv env_;
  LogCapture log_;
};
