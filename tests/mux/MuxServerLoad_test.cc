// Loading and reloading the servlet container instance files: what is taken,
// what rejects a file and what a reload keeps.
#include <stdlib.h>

#include "lib/log/log.h"
#include "mux/MuxTestSupport.h"
#include "src/service/servlet/MuxServerInstance.h"
#include "src/service/servlet/MuxServerList.h"

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

TEST_F(MuxServerLoadTest, AReloadTakesTheNewCommandButKeepsNameUserAndFailedInstances) {
  WriteInstance("a.json", R"({"Name": "a", "StartCommand": "/bin/a"})");
  WriteInstance("web.json", R"({"Name": "web", "StartCommand": "/bin/old",
      "StartCommandArgs": ["a"], "WorkingDir": "/old", "RunAsUser": "alice"})");
  ASSERT_TRUE(LoadMuxServers());
  MuxServerInstance *web = FindMuxServer("web");
  ASSERT_NE(web, nullptr);

  WriteInstance("a.json", R"({"Name": "a"})");
  WriteInstance("web.json", R"({"Name": "renamed", "StartCommand": "/bin/new",
      "WorkingDir": "/new", "RunAsUser": "bob"})");
  log_.Clear();
  EXPECT_FALSE(ReloadMuxServers());
  EXPECT_EQ(FindMuxServer("a")->startCommand, "/bin/a");
  EXPECT_EQ(FindMuxServer("web"), web);
  EXPECT_EQ(web->name, "web");
  EXPECT_EQ(web->startCommand, "/bin/new");
  EXPECT_TRUE(web->startCommandArgs.empty());
  EXPECT_EQ(web->workingDir, "/new");
  EXPECT_EQ(web->runAsUser, "alice");
  EXPECT_EQ(log_.Text(),
            "Mandatory field StartCommand missing: a.json\n"
            "Failed to reload MUX Server configuration\n");
}

}  // namespace
