// Loading and reloading the servlet container instance files: what is taken,
// what rejects a file, what a reload keeps, and the servlet factory's look-up.
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "lib/log/log.h"
#include "mux/MuxTestSupport.h"
#include "src/service/MuxServerHooks.h"
#include "src/service/MuxServerInstance.h"
#include "src/service/MuxServerList.h"
#include "src/service/MuxServletProcessImpl.h"
#include "src/service/ServiceHooks.h"

namespace {

using MuxServerLoadTest = MuxTest;

TEST_F(MuxServerLoadTest, EveryKeyIsTakenWithEnvironmentReferencesExpanded) {
  setenv("MUX_TEST_ROOT", "/opt/mux", 1);
  WriteInstance("web.json", R"({"Name": "web", "StartCommand": "%MUX_TEST_ROOT%/bin/container",
      "StartCommandArgs": ["-p", "%MUX_TEST_ROOT%/conf"], "WorkingDir": "%MUX_TEST_ROOT%/run",
      "RunAsUser": "%MUX_TEST_ROOT%"})");
  ASSERT_TRUE(LoadMuxServers());
  unsetenv("MUX_TEST_ROOT");
  EXPECT_TRUE(log_.Has(LOG_INFO, "Loaded MUX server config file web.json\n"));
  MuxServerInstance *web = FindMuxServer("web");
  ASSERT_NE(web, nullptr);
  EXPECT_EQ(web->fileName, "web.json");
  EXPECT_EQ(web->startCommand, "/opt/mux/bin/container");
  EXPECT_EQ(web->startCommandArgs, (std::vector<std::string>{"-p", "/opt/mux/conf"}));
  EXPECT_EQ(web->workingDir, "/opt/mux/run");
  EXPECT_EQ(web->runAsUser, "/opt/mux");
  EXPECT_EQ(web->process, nullptr);  // nothing runs before the first servlet
  EXPECT_TRUE(web->servlets.empty());
}

TEST_F(MuxServerLoadTest, BadFilesAreSkippedWithTheirMessagesAndTheOthersLoad) {
  WriteInstance("good.json", R"({"Name": "good", "StartCommand": "/bin/true"})");
  WriteInstance("broken.json", R"({"Name": "broken", )");
  WriteInstance("nameless.json", R"({"StartCommand": "/bin/true"})");
  WriteInstance("commandless.json", R"({"Name": "commandless", "StartCommand": 7})");
  WriteInstance("unexpandable.json", R"({"Name": "unexpandable",
      "StartCommand": "%MUX_TEST_UNSET_VARIABLE%/bin/x"})");
  unsetenv("MUX_TEST_UNSET_VARIABLE");
  ASSERT_TRUE(LoadMuxServers());

  EXPECT_NE(FindMuxServer("good"), nullptr);
  for (const char *name : {"broken", "nameless", "commandless", "unexpandable"}) {
    EXPECT_EQ(FindMuxServer(name), nullptr) << name;
  }
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Invalid mux server config file: broken.json\n"));
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Mandatory field Name missing: nameless.json\n"));
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Mandatory field StartCommand missing: commandless.json\n"));
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Mandatory field StartCommand missing: unexpandable.json\n"));
  for (const char *file : {"broken.json", "nameless.json", "commandless.json"}) {
    EXPECT_TRUE(
        log_.Has(LOG_ERROR, std::string("Failed to load mux server instance ") + file + "\n"))
        << file;
  }
  int loadFailures = 0;
  for (const CapturedMessage &message : log_.Messages()) {
    loadFailures += message.text == "Failed to load MUX Server configuration\n" ? 1 : 0;
  }
  EXPECT_EQ(loadFailures, 4);
  EXPECT_FALSE(log_.Has(LOG_INFO, "Loaded MUX server config file broken.json\n"));
}

TEST_F(MuxServerLoadTest, AnUnreadableInstanceDirectoryFailsTheLoad) {
  std::filesystem::remove_all(InstanceDir());
  EXPECT_FALSE(LoadMuxServers());
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Failed to read directory " + InstanceDir() + ".\n"));
}

TEST_F(MuxServerLoadTest, AReloadTakesTheNewCommandButKeepsNameAndUser) {
  WriteInstance("web.json", R"({"Name": "web", "StartCommand": "/bin/old",
      "StartCommandArgs": ["a"], "WorkingDir": "/old", "RunAsUser": "alice"})");
  ASSERT_TRUE(LoadMuxServers());
  MuxServerInstance *web = FindMuxServer("web");
  ASSERT_NE(web, nullptr);

  WriteInstance("web.json", R"({"Name": "renamed", "StartCommand": "/bin/new",
      "WorkingDir": "/new", "RunAsUser": "bob"})");
  log_.Clear();
  ASSERT_TRUE(ReloadMuxServer(web));
  EXPECT_EQ(web->name, "web");
  EXPECT_EQ(web->startCommand, "/bin/new");
  EXPECT_TRUE(web->startCommandArgs.empty());
  EXPECT_EQ(web->workingDir, "/new");
  EXPECT_EQ(web->runAsUser, "alice");
  EXPECT_TRUE(log_.Messages().empty());
}

TEST_F(MuxServerLoadTest, AReloadKeepsTheUserLastSetByAServlet) {
  WriteInstance("web.json", R"({"Name": "web", "StartCommand": "/bin/sh",
      "StartCommandArgs": ["-c", "exec sleep 30"], "RunAsUser": "root"})");
  ASSERT_TRUE(LoadMuxServers());
  std::unique_ptr<MuxServletProcessImpl> servlet(CreateMuxServlet("web"));
  ProcessStartOptions options;
  options.runAsUser = "nobody";
  ASSERT_TRUE(servlet->Start("", {}, {}, options));
  ASSERT_TRUE(ReloadMuxServers());
  EXPECT_EQ(FindMuxServer("web")->runAsUser, "nobody");
  servlet->CancelExecution();
}

TEST_F(MuxServerLoadTest, AFailedReloadKeepsTheInstanceAndTheOthersStillReload) {
  WriteInstance("a.json", R"({"Name": "a", "StartCommand": "/bin/a"})");
  WriteInstance("b.json", R"({"Name": "b", "StartCommand": "/bin/b"})");
  ASSERT_TRUE(LoadMuxServers());
  WriteInstance("a.json", R"({"Name": "a"})");
  WriteInstance("b.json", R"({"Name": "b", "StartCommand": "/bin/b2"})");
  log_.Clear();
  EXPECT_FALSE(ReloadMuxServers());
  EXPECT_EQ(FindMuxServer("a")->startCommand, "/bin/a");
  EXPECT_EQ(FindMuxServer("b")->startCommand, "/bin/b2");
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Mandatory field StartCommand missing: a.json\n"));
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Failed to reload MUX Server configuration\n"));
}

TEST_F(MuxServerLoadTest, AServletOfAnUnknownInstanceIsRefused) {
  WriteInstance("web.json", R"({"Name": "web", "StartCommand": "/bin/true"})");
  ASSERT_TRUE(LoadMuxServers());
  EXPECT_EQ(CreateMuxServlet("Web"), nullptr);
  EXPECT_TRUE(log_.Has(LOG_ERROR, "Unknown MUX server Web\n"));
  std::unique_ptr<MuxServletProcessImpl> servlet(CreateMuxServlet("web"));
  ASSERT_NE(servlet, nullptr);
  EXPECT_EQ(servlet->state(), MuxServletProcessImpl::NotStarted);
}

TEST_F(MuxServerLoadTest, InstallingTheHooksFillsTheFactoryAndBothRegistrySlots) {
  MuxServersEntryPoint load = nullptr;
  MuxServersEntryPoint reload = nullptr;
  InstallMuxServerHooks(&load, &reload);
  ASSERT_NE(load, nullptr);
  ASSERT_NE(reload, nullptr);
  WriteInstance("web.json", R"({"Name": "web", "StartCommand": "/bin/true"})");
  ASSERT_TRUE(load());
  EXPECT_NE(FindMuxServer("web"), nullptr);
  EXPECT_TRUE(reload());
  auto create = GetServiceHooks().createServletProcess;
  ASSERT_NE(create, nullptr);
  std::unique_ptr<SysProcess> servlet(create("web"));
  EXPECT_NE(servlet, nullptr);
  EXPECT_EQ(create("other"), nullptr);
}

}  // namespace
