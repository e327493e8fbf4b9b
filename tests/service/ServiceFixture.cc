#include "ServiceFixture.h"

#include "lib/pollDefault/poll.h"
#include "src/core/SentroConfig.h"

void ServiceTest::SetUp() {
  MakeDirs(configDir_ + "/svcCfgfiles");
  MakeDirs(dataDir_ + "/.svcStats");
  UseConfig("{}");
  PollInstallDefault();
  ResetFakeWorld();
  log_.Clear();
}

void ServiceTest::TearDown() {
  // Route commands own themselves until they end.
  while (FakeSysProcess *route = FindFake("static-ui")) {
    route->running ? route->Exit(0) : delete route;
  }
  PollShutdown();
  SentroConfig::ResetForTest();
}

void ServiceTest::UseConfig(const std::string &json) {
  WriteFile(configDir_ + "/config.json", json);
  SentroConfig::ResetForTest();
  ASSERT_NE(SentroConfig::Load(configDir_, dataDir_), nullptr);
}

void ServiceTest::WriteDefinition(const std::string &name, const std::string &members) {
  std::string json = "{\"Name\":\"" + name + "\"";
  if (members.find("\"StartCommand\"") == std::string::npos) {
    json += ",\"StartCommand\":\"/bin/" + name + "\"";
  }
  WriteFile(configDir_ + "/svcCfgfiles/" + name + ".json",
            json + (members.empty() ? "" : "," + members) + "}");
}

std::unique_ptr<Service> ServiceTest::Make(const std::string &name, const std::string &members) {
  WriteDefinition(name, members);
  std::unique_ptr<Service> service = CreateService(name + ".json", &env_);
  env_.registry[name] = service.get();
  return service;
}

std::unique_ptr<Service> ServiceTest::Started(const std::string &name, const std::string &members) {
  std::unique_ptr<Service> service = Make(name, members);
  EXPECT_NE(service, nullptr);
  Done start;
  service->SetStart(Done::Record, &start);
  AdvanceMs(1000);
  if (Health(name)->running) {
    Health(name)->Exit(0);
  }
  EXPECT_EQ(start.results, Results{Ok});
  env_.Clear();
  log_.Clear();
  return service;
}

void ServiceTest::AdvanceMs(int64_t ms) {
  for (; ms > 0; ms -= 100) {
    clock_.AdvanceMs(std::min<int64_t>(ms, 100));
    volatile uint8_t exitFlag = 0;
    PollRun(false, &exitFlag, 0, 0);
  }
}
