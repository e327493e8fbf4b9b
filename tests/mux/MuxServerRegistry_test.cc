// The registry with the servlet containers plugged in: instances load before
// the service definitions that name them, and reload with the services.
#include <filesystem>
#include <memory>

#include "lib/log/log.h"
#include "mux/MuxTestSupport.h"
#include "src/manager/ServiceManager.h"
#include "src/service/servlet/MuxServerHooks.h"
#include "src/service/servlet/MuxServerInstance.h"
#include "src/service/servlet/MuxServerList.h"
#include "src/service/Service.h"

namespace {

class MuxServerRegistryTest : public MuxTest {
 protected:
  void SetUp() override {
    MuxTest::SetUp();
    ServiceManager::Hooks &hooks = ServiceManager::GetHooks();
    InstallMuxServerHooks(&hooks.loadMuxServers, &hooks.reloadMuxServers);
    WriteFile(configDir_ + "/profiles.json", "{}");
  }
  void TearDown() override {
    ServiceManager::GetHooks().loadMuxServers = nullptr;
    ServiceManager::GetHooks().reloadMuxServers = nullptr;
    MuxTest::TearDown();
  }
  void WriteDefinition(const std::string &fileName, const std::string &json) {
    WriteFile(configDir_ + "/svcCfgfiles/" + fileName, json);
  }
};

TEST_F(MuxServerRegistryTest, ServletsOfLoadedInstancesRegisterAndOthersAreDropped) {
  WriteInstance("web.json", R"({"Name": "web", "StartCommand": "/bin/true"})");
  WriteInstance("bad.json", R"({"Name": "bad"})");
  WriteDefinition("alpha.json", R"({"Name": "alpha", "Type": "MUX_SERVLET",
      "MuxServerName": "web"})");
  WriteDefinition("beta.json", R"({"Name": "beta", "Type": "MUX_SERVLET",
      "MuxServerName": "bad"})");
  std::unique_ptr<ServiceManager> manager = ServiceManager::Create();
  ASSERT_NE(manager, nullptr);

  std::vector<std::string> names;
  manager->GetServiceNames(&names);
  EXPECT_EQ(names, (std::vector<std::string>{"alpha"}));
  EXPECT_TRUE(log_.Has(LOG_INFO, "Loaded MUX server config file web.json\n"));
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Failed to load mux server instance bad.json\n"));
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Unknown MUX server bad\n"));
  EXPECT_TRUE(log_.Has(LOG_WARNING, "Failed to add service beta.json.\n"));
}

TEST_F(MuxServerRegistryTest, AnUnreadableInstanceDirectoryFailsTheRegistry) {
  std::filesystem::remove_all(InstanceDir());
  EXPECT_EQ(ServiceManager::Create(), nullptr);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Failed to read directory " + InstanceDir() + ".\n"));
}

TEST_F(MuxServerRegistryTest, ReloadingAllConfigurationReloadsTheInstances) {
  WriteInstance("web.json", R"({"Name": "web", "StartCommand": "/bin/old"})");
  WriteDefinition("alpha.json", R"({"Name": "alpha", "Type": "MUX_SERVLET",
      "MuxServerName": "web"})");
  std::unique_ptr<ServiceManager> manager = ServiceManager::Create();
  ASSERT_NE(manager, nullptr);
  WriteInstance("web.json", R"({"Name": "web", "StartCommand": "/bin/new"})");
  EXPECT_TRUE(manager->ReloadAllConfigs());
  EXPECT_EQ(FindMuxServer("web")->startCommand, "/bin/new");

  WriteInstance("web.json", "{");
  EXPECT_FALSE(manager->ReloadAllConfigs());
  EXPECT_EQ(FindMuxServer("web")->startCommand, "/bin/new");
}

}  // namespace
