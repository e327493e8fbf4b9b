#include "ServiceFixture.h"

#include "lib/log/clock.h"
#include "lib/pollDefault/poll.h"
#include "src/core/SentroConfig.h"
#include "src/service/ServiceHooks.h"

namespace {

int64_t fakeNowMicros = 0;
int64_t FakeClock() {
  return fakeNowMicros;
}

}  // namespace

HookRecord &Hooks() {
  static HookRecord record;
  return record;
}

void ServiceFixture::SetUp() {
  configDir_ = dir_.Sub("cfg");
  dataDir_ = dir_.Sub("data");
  MakeDirs(configDir_ + "/svcCfgfiles");
  MakeDirs(dataDir_ + "/.svcStats");
  UseConfig("{}");

  fakeNowMicros = int64_t{1000} * 1000000;
  ClockSetMonotonicSource(FakeClock);
  PollInstallDefault();

  Hooks() = HookRecord();
  ResetFakeWorld();
  ResetServiceHooks();
  ServiceHooks &hooks = GetServiceHooks();
  hooks.createProcess = CreateFakeProcess;
  hooks.beginOperation = [](const std::string &name, const char *op, const char *status,
                            const char *phase) {
    Hooks().operations.push_back("begin " + name + " " + op + " " + status + " " + phase);
  };
  hooks.endOperation = [](const std::string &name, const char *status, const char *phase) {
    Hooks().operations.push_back("end " + name + " " + status + " " + phase);
  };
  hooks.publishHealthChange = [](const std::string &name, HealthStatus newHealth,
                                 HealthStatus oldHealth, bool unsolicited) {
    Hooks().published.push_back({name, newHealth, oldHealth, unsolicited});
  };
  hooks.reportSystemFailure = [](const std::string &name) {
    Hooks().systemFailures.push_back(name);
  };
  hooks.isShutdownStarted = [] { return Hooks().shuttingDown; };
  hooks.findService = [](const std::string &name) {
    auto it = Hooks().registry.find(name);
    return it == Hooks().registry.end() ? nullptr : it->second;
  };
  hooks.takeRecoveryAction = [](Service *service, FailureType failure, int32_t *counter) {
    Hooks().recoveries.push_back(service->name() + " " + FailureTypeName(failure) + " " +
                                 std::to_string((*counter)++));
  };
  hooks.onHealthCheckDone = [](Service *service) {
    Hooks().healthChecksDone.push_back(service->name() + " " + HealthStatusName(service->health()));
  };
  servicetest::ClearLog();
}

void ServiceFixture::TearDown() {
  // Route commands own themselves until they end.
  while (FakeSysProcess *route = FindFake("static-ui")) {
    if (!route->IsRunning()) {
      delete route;
      continue;
    }
    route->Exit(0);
  }
  PollShutdown();
  ClockSetMonotonicSource(nullptr);
  ResetServiceHooks();
  SentroConfig::ResetForTest();
}

void ServiceFixture::UseConfig(const std::string &json) {
  WriteFile(configDir_ + "/config.json", json);
  SentroConfig::ResetForTest();
  ASSERT_NE(SentroConfig::Load(configDir_, dataDir_), nullptr);
}

void ServiceFixture::WriteDefinition(const std::string &fileName, const std::string &json) {
  WriteFile(configDir_ + "/svcCfgfiles/" + fileName, json);
}

std::unique_ptr<Service> ServiceFixture::Create(const std::string &fileName,
                                                const std::string &json) {
  WriteDefinition(fileName, json);
  return CreateService(fileName);
}

std::unique_ptr<Service> ServiceFixture::CreateNamed(const std::string &name,
                                                     const std::string &extraMembers) {
  // The first member of a name wins, so a given StartCommand replaces the default.
  std::string json = "{\"Name\":\"" + name + "\"";
  if (extraMembers.find("\"StartCommand\"") == std::string::npos) {
    json += ",\"StartCommand\":\"/bin/" + name + "\"";
  }
  if (!extraMembers.empty()) {
    json += "," + extraMembers;
  }
  json += "}";
  auto service = Create(name + ".json", json);
  if (service) {
    Hooks().registry[name] = service.get();
  }
  return service;
}

int64_t ServiceFixture::NowMicros() {
  return fakeNowMicros;
}

void ServiceFixture::RunLoopOnce() {
  volatile uint8_t exitFlag = 0;
  PollRun(false, &exitFlag, 0, 0);
}

void ServiceFixture::AdvanceMs(int64_t ms, int64_t stepMs) {
  while (ms > 0) {
    int64_t step = std::min(ms, stepMs);
    fakeNowMicros += step * 1000;
    ms -= step;
    RunLoopOnce();
  }
}

void ServiceFixture::StartUntilFirstPoll(Service *service, CompletionRecord *record) {
  service->SetStart(CompletionRecord::Record, record);
  AdvanceSeconds(1);
  ASSERT_NE(HealthCmd(service->name()), nullptr);
  ASSERT_TRUE(HealthCmd(service->name())->IsRunning());
}

void ServiceFixture::StartHealthy(Service *service, CompletionRecord *record) {
  service->SetStart(CompletionRecord::Record, record);
  ASSERT_EQ(service->state(), ServiceState::Starting);
  AdvanceSeconds(1);
  FakeSysProcess *health = HealthCmd(service->name());
  if (service->definition().apiHealthCommand.empty()) {
    ASSERT_EQ(service->state(), ServiceState::Started);
    return;
  }
  ASSERT_NE(health, nullptr);
  ASSERT_TRUE(health->IsRunning());
  health->Exit(0);
  ASSERT_EQ(service->state(), ServiceState::Started);
}

std::unique_ptr<Service> ServiceFixture::Started(const std::string &name,
                                                 const std::string &extraMembers) {
  auto service = CreateNamed(name, extraMembers);
  EXPECT_NE(service, nullptr);
  if (service) {
    CompletionRecord start;
    StartHealthy(service.get(), &start);
    EXPECT_EQ(start.results, Results{Ok});
  }
  Hooks().operations.clear();
  Hooks().published.clear();
  servicetest::ClearLog();
  return service;
}

void ServiceFixture::BeginHealthCheck(Service *service, CompletionRecord *record) {
  ASSERT_TRUE(service->TrySetRequest(ReqHealthCheck, CompletionRecord::Record, record));
  service->RunHealthCommand();
  ASSERT_TRUE(HealthCmd(service->name())->IsRunning());
}
