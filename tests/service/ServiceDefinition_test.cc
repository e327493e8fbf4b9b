// Reading a service definition file: keys, defaults, expansion, the messages
// for wrong files, the run-state overlay, and reloads.
#include <stdlib.h>

#include "ServiceFixture.h"
#include "lib/log/log.h"
#include "src/core/SentroConfig.h"
#include "src/service/ServiceHooks.h"

using servicetest::Logged;

namespace {

class ServiceDefinitionTest : public ServiceFixture {};

TEST_F(ServiceDefinitionTest, EveryKeyFillsItsFieldWithExpansionWhereMarked) {
  setenv("SVCTEST_ROOT", "/opt/alpha", 1);
  auto service = Create("alpha.json", R"({
    "Name": "alpha", "Type": "PLAIN", "DependsOn": ["db", "%SVCTEST_ROOT%"],
    "StopBefore": ["web"], "StartupType": "MANUAL", "RunApiHealthCmdAsUser": "%SVCTEST_ROOT%",
    "RunAsUser": "svc%SVCTEST_ROOT%", "StartCommand": "%SVCTEST_ROOT%/bin/alpha",
    "StartCommandArgs": ["-c", "%SVCTEST_ROOT%/etc"], "PreStartCommand": "%SVCTEST_ROOT%/bin/pre",
    "RunPreStartCmdAsUser": "prer", "PreStartCommandArgs": ["%SVCTEST_ROOT%"],
    "StopCommand": "%SVCTEST_ROOT%/bin/stop", "StopCommandArgs": ["s1", "%SVCTEST_ROOT%"],
    "PostStopCommand": "%SVCTEST_ROOT%/bin/post", "PostStopCommandArgs": ["%SVCTEST_ROOT%"],
    "StopSignal": "SIGUSR2", "ApiHealthCommand": "%SVCTEST_ROOT%/bin/health",
    "ApiHealthCommandArgs": ["%SVCTEST_ROOT%"], "ApiHealthFile": "%SVCTEST_ROOT%/health",
    "StreamRedirectFile": "%SVCTEST_ROOT%/log/alpha", "StartTimeout": 11, "StopTimeout": 12,
    "PostStopTimeout": 13, "ApiHealthCmdTimeout": 14,
    "RecoveryActionProfiles": {"FAILOVER": {"CRASH": ["HAFAILOVER", "RESTART_SYSTEM"]}},
    "DumpLiveCoreOnApiHealthFail": true, "WorkingDir": "%SVCTEST_ROOT%/run",
    "CleanExitCodes": [0, 143], "ProcessFdLimit": 65536, "MemoryLimitBytes": 17179869184
  })");
  unsetenv("SVCTEST_ROOT");
  ASSERT_NE(service, nullptr);
  const ServiceDefinition &d = service->definition();
  const std::vector<std::string> root = {"/opt/alpha"};
  EXPECT_EQ(service->name(), "alpha");
  EXPECT_EQ(service->type(), "PLAIN");
  EXPECT_FALSE(service->IsServlet());
  EXPECT_EQ(service->dependsOn(), (std::vector<std::string>{"db", "%SVCTEST_ROOT%"}));
  EXPECT_EQ(service->stopBefore(), (std::vector<std::string>{"web"}));
  EXPECT_EQ(d.startupType, StartupType::Manual);
  EXPECT_EQ(d.runApiHealthCmdAsUser, "%SVCTEST_ROOT%");
  EXPECT_EQ(d.runAsUser, "svc/opt/alpha");
  EXPECT_EQ(d.startCommand, "/opt/alpha/bin/alpha");
  EXPECT_EQ(d.startCommandArgs, (std::vector<std::string>{"-c", "/opt/alpha/etc"}));
  EXPECT_EQ(d.preStartCommand, "/opt/alpha/bin/pre");
  EXPECT_EQ(d.runPreStartCmdAsUser, "prer");
  EXPECT_EQ(d.preStartCommandArgs, root);
  EXPECT_EQ(d.stopCommand, "/opt/alpha/bin/stop");
  EXPECT_EQ(d.stopCommandArgs, (std::vector<std::string>{"s1", "/opt/alpha"}));
  EXPECT_EQ(d.postStopCommand, "/opt/alpha/bin/post");
  EXPECT_EQ(d.postStopCommandArgs, root);
  EXPECT_EQ(d.stopSignal, 12);
  EXPECT_EQ(d.apiHealthCommand, "/opt/alpha/bin/health");
  EXPECT_EQ(d.apiHealthCommandArgs, root);
  EXPECT_EQ(d.apiHealthFile, "/opt/alpha/health");
  EXPECT_EQ(d.streamRedirectFile, "/opt/alpha/log/alpha");
  EXPECT_EQ(d.workingDir, "/opt/alpha/run");
  EXPECT_EQ(std::vector<int32_t>(
                {d.startTimeout, d.stopTimeout, d.postStopTimeout, d.apiHealthCmdTimeout}),
            (std::vector<int32_t>{11, 12, 13, 14}));
  RecoveryActionProfiles expectedProfiles = {
      {RecoveryProfile::Failover,
       {{FailureType::Crash, {RecoveryAction::HaFailover, RecoveryAction::RestartSystem}}}}};
  EXPECT_EQ(d.recoveryActionProfiles, expectedProfiles);
  EXPECT_TRUE(d.dumpLiveCoreOnApiHealthFail);
  EXPECT_EQ(d.cleanExitCodes, (std::vector<int32_t>{0, 143}));
  EXPECT_EQ(d.processFdLimit, 65536u);
  EXPECT_EQ(d.memoryLimitBytes, 17179869184u);
}

TEST_F(ServiceDefinitionTest, AbsentKeysTakeTheDefaultsOfTheConfigurationInForce) {
  UseConfig(R"({"DefaultServiceStartTimeout": 41, "DefaultServiceStopTimeout": 42,
                "DefaultServicePostStopTimeout": 43, "DefaultApiHealthCmdTimeout": 44,
                "DefaultServiceStartupType": "MANUAL", "DumpLiveCoreOnApiHealthFail": true})");
  auto service = Create("b.json", R"({"Name": "b", "StartCommand": "/bin/b"})");
  ASSERT_NE(service, nullptr);
  const ServiceDefinition &d = service->definition();
  EXPECT_EQ(d.startTimeout, 41);
  EXPECT_EQ(d.stopTimeout, 42);
  EXPECT_EQ(d.postStopTimeout, 43);
  EXPECT_EQ(d.apiHealthCmdTimeout, 44);
  EXPECT_EQ(d.startupType, StartupType::Manual);
  EXPECT_TRUE(d.dumpLiveCoreOnApiHealthFail);
  EXPECT_EQ(d.stopSignal, -1);
  EXPECT_EQ(d.processFdLimit + d.memoryLimitBytes, 0u);
  EXPECT_TRUE(d.cleanExitCodes.empty() && d.recoveryActionProfiles.empty());
  EXPECT_EQ(service->EffectiveRunAsUser(), "root");
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(service->health(), HealthStatus::Unhealthy);
}

TEST_F(ServiceDefinitionTest, TimeoutsBelowOneWarnInKeyOrderAndFallBackToTheDefaults) {
  auto below = Create("c.json", R"({"Name": "c", "StartCommand": "/bin/c",
      "ApiHealthCmdTimeout": -1, "PostStopTimeout": 0, "StopTimeout": -5, "StartTimeout": 0,
      "CleanExitCodes": ["x"]})");
  // Mistyped or oversized values count as absent, silently.
  auto mistyped = Create("d.json", R"({"Name": "d", "StartCommand": "/bin/d",
      "StartTimeout": "45", "StopTimeout": 4294967296, "PostStopTimeout": 2.5})");
  ASSERT_TRUE(below && mistyped);
  for (const ServiceDefinition *d : {&below->definition(), &mistyped->definition()}) {
    EXPECT_EQ(d->startTimeout, 30);
    EXPECT_EQ(d->stopTimeout, 10);
    EXPECT_EQ(d->postStopTimeout, 10);
    EXPECT_EQ(d->apiHealthCmdTimeout, 30);
  }
  const char *expected[] = {
      "Non Int entry in CleanExitCodes field. Skipping...\n",
      "StarTimeout value must be greater than 0 and less than or equal to 2147483647\n",
      "StopTimeout value must be greater than 0 and less than or equal to 2147483647\n",
      "PostStopTimeout value must be greater than 0 and less than or equal to 2147483647\n",
      "ApiHealthCmdTimeout value must be greater than 0 and less than or equal to 2147483647\n",
  };
  int previous = -1;
  for (const char *text : expected) {
    EXPECT_TRUE(Logged(LOG_WARNING, text)) << text;
    EXPECT_GT(servicetest::LogIndex(text), previous) << text;
    previous = servicetest::LogIndex(text);
    EXPECT_EQ(servicetest::CountLogged(text), 1) << text;
  }
}

TEST_F(ServiceDefinitionTest, RejectedFilesSayWhy) {
  unsetenv("SVCTEST_UNSET");
  struct Case {
    const char *file;
    const char *json;  // null: no file at all
    const char *runState;
    std::string message;
  };
  const Case cases[] = {
      {"noname.json", R"({"StartCommand": "/bin/x"})", nullptr,
       "Mandatory field 'Name' missing: noname.json\n"},
      {"nocmd.json", R"({"Name": "nocmd"})", nullptr,
       "Mandatory field 'StartCommand' missing nocmd.json\n"},
      {"unset.json", R"({"Name": "u", "StartCommand": "%SVCTEST_UNSET%/bin/u"})", nullptr,
       "Env variable SVCTEST_UNSET is not set\n"},
      {"unset.json", R"({"Name": "u", "StartCommand": "%SVCTEST_UNSET%/bin/u"})", nullptr,
       "Mandatory field 'StartCommand' missing unset.json\n"},
      {"broken.json", "{\"Name\": \"b\", ", nullptr, "Invalid service config file: broken.json\n"},
      {"array.json", "[1, 2]", nullptr, "Invalid service config file: array.json\n"},
      {"absent.json", nullptr, nullptr, "Invalid service config file: absent.json\n"},
      {"s.json", R"({"Name":"s","Type":"MUX_SERVLET"})", nullptr,
       "Mandatory field MuxServerName missing. s.json\n"},
      {"s.json", R"({"Name":"s","Type":"MUX_SERVLET","MuxServerName":"mux1"})", nullptr,
       "<s> Servlet services are not supported. MUX server mux1\n"},
      {"r.json", R"({"Name":"r","StartCommand":"/bin/r"})", "not json",
       "Invalid Json formatted file " + configDir_ + "/svcCfgfiles/.state_r.json\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    servicetest::ClearLog();
    if (c.runState != nullptr) {
      WriteFile(configDir_ + "/svcCfgfiles/.state_" + c.file, c.runState);
    }
    EXPECT_EQ(c.json ? Create(c.file, c.json) : CreateService(c.file), nullptr);
    EXPECT_TRUE(Logged(LOG_ERROR, c.message));
  }
}

TEST_F(ServiceDefinitionTest, EnumerationTextsMatchByPrefixOrFallBack) {
  auto automatic = Create("t1.json", R"({"Name":"t1","StartCommand":"/x","StartupType":"AUTO",
      "StopSignal":"SIGKILL"})");
  auto manual = Create("t2.json", R"({"Name":"t2","StartCommand":"/x","StartupType":"",
      "StopSignal":"SIGUSR1"})");
  auto disabled = Create("t3.json", R"({"Name":"t3","StartCommand":"/x","StartupType":"D"})");
  UseConfig(R"({"DefaultServiceStartupType": "MANUAL"})");
  auto invalid = Create("t4.json", R"({"Name":"t4","StartCommand":"/x","StartupType":"ENABLED"})");
  ASSERT_TRUE(automatic && manual && disabled && invalid);
  EXPECT_EQ(automatic->startupType(), StartupType::Automatic);
  EXPECT_EQ(manual->startupType(), StartupType::Manual);
  EXPECT_EQ(disabled->startupType(), StartupType::Disabled);
  EXPECT_EQ(invalid->startupType(), StartupType::Manual);
  EXPECT_TRUE(Logged(LOG_WARNING, "Invalid startup type ENABLED\n"));
  EXPECT_EQ(automatic->definition().stopSignal, 15);
  EXPECT_TRUE(Logged(LOG_WARNING, "Signal SIGKILL is not supported. Defaulting to SIGTERM.\n"));
  EXPECT_EQ(manual->definition().stopSignal, 10);
}

TEST_F(ServiceDefinitionTest, ServiceOwnsItsProcessAndHelperObjects) {
  auto service = CreateNamed("gamma", "");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->process(), FindFake("gamma"));
  EXPECT_NE(FindFake("gamma-prestart"), nullptr);
  EXPECT_NE(FindFake("gamma-healthcmd"), nullptr);
  service.reset();
  EXPECT_EQ(FindFake("gamma"), nullptr);
  EXPECT_EQ(FindFake("gamma-prestart"), nullptr);
  EXPECT_EQ(FindFake("gamma-healthcmd"), nullptr);
}

std::string lastServletServer;
SysProcess *CreateFakeServlet(const std::string &muxServerName) {
  lastServletServer = muxServerName;
  return CreateFakeProcess("servlet:" + muxServerName);
}
SysProcess *NoSuchServer(const std::string &) {
  return nullptr;
}

TEST_F(ServiceDefinitionTest, ServletNeedsNoStartCommandAndGetsTheServletProcess) {
  GetServiceHooks().createServletProcess = CreateFakeServlet;
  auto service = Create("s.json", R"({"Name":"s","Type":"MUX_SERVLET","MuxServerName":"mux1"})");
  ASSERT_NE(service, nullptr);
  EXPECT_TRUE(service->IsServlet());
  EXPECT_EQ(lastServletServer, "mux1");
  EXPECT_EQ(service->process(), FindFake("servlet:mux1"));
  EXPECT_EQ(FindFake("s"), nullptr);

  GetServiceHooks().createServletProcess = NoSuchServer;
  EXPECT_EQ(Create("s2.json", R"({"Name":"s2","Type":"MUX_SERVLET","MuxServerName":"nope"})"),
            nullptr);
}

TEST_F(ServiceDefinitionTest, RunStateFileOverridesStartupTypeAndHealthUser) {
  WriteFile(configDir_ + "/svcCfgfiles/.state_r.json",
            R"({"StartupType":"DISABLED","RunApiHealthCmdAsUser":"probe","RunAsUser":"x"})");
  auto service = Create("r.json", R"({"Name":"r","StartCommand":"/bin/r",
      "StartupType":"AUTOMATIC","RunApiHealthCmdAsUser":"other","RunAsUser":"svc"})");
  ASSERT_NE(service, nullptr);
  EXPECT_TRUE(Logged(LOG_INFO, "Load runstate service r.json\n"));
  EXPECT_EQ(service->startupType(), StartupType::Disabled);
  EXPECT_EQ(service->definition().runApiHealthCmdAsUser, "probe");
  EXPECT_EQ(service->definition().runAsUser, "svc");
  // And again on every reload.
  EXPECT_TRUE(service->ReloadConfig());
  EXPECT_EQ(service->startupType(), StartupType::Disabled);
}

TEST_F(ServiceDefinitionTest, ReloadReadsOnlyTheKeysThatMayChangeAndSurvivesABrokenFile) {
  auto service = Create("e.json", R"({"Name":"e","Type":"A","StartCommand":"/bin/e",
      "DependsOn":["x"],"StopBefore":["y"],"StartTimeout":5,"CleanExitCodes":[1,2]})");
  ASSERT_NE(service, nullptr);
  WriteDefinition("e.json", R"({"Name":"renamed","Type":"MUX_SERVLET","StartCommand":"/bin/e2",
      "DependsOn":["z"],"StopBefore":[],"StartTimeout":7,"CleanExitCodes":[3]})");
  EXPECT_TRUE(service->ReloadConfig());
  EXPECT_EQ(service->name(), "e");
  EXPECT_EQ(service->type(), "A");
  EXPECT_EQ(service->dependsOn(), (std::vector<std::string>{"x"}));
  EXPECT_EQ(service->stopBefore(), (std::vector<std::string>{"y"}));
  EXPECT_EQ(service->definition().startCommand, "/bin/e2");
  EXPECT_EQ(service->definition().startTimeout, 7);
  EXPECT_EQ(service->definition().cleanExitCodes, (std::vector<int32_t>{3}));

  for (const char *broken : {R"({"Name":"e","StartTimeout":9})", "{{{"}) {
    WriteDefinition("e.json", broken);
    EXPECT_FALSE(service->ReloadConfig());
    EXPECT_TRUE(Logged(LOG_WARNING, "<e> Failed to reload configuration of service.\n"));
    EXPECT_EQ(service->definition().startCommand, "/bin/e2");
    EXPECT_EQ(service->definition().startTimeout, 7);
    EXPECT_EQ(service->request(), ReqNone);
  }
}

TEST_F(ServiceDefinitionTest, ReloadIsRefusedWhileStartingAndCancelsAHealthCheck) {
  auto starting = CreateNamed("g", "");
  starting->SetStart(nullptr, nullptr);
  EXPECT_FALSE(starting->ReloadConfig());
  EXPECT_TRUE(Logged(LOG_WARNING, "<g> ReloadConfig: Invalid State STARTING, Curr request 1.\n"));
  EXPECT_EQ(starting->request(), ReqStart);

  auto checking = Started("h", R"("ApiHealthCommand": "/bin/probe")");
  CompletionRecord check;
  BeginHealthCheck(checking.get(), &check);
  EXPECT_TRUE(checking->ReloadConfig());
  EXPECT_EQ(check.results, Results{Cancelled});
  EXPECT_FALSE(HealthCmd("h")->IsRunning());
  EXPECT_EQ(checking->request(), ReqNone);
}

TEST_F(ServiceDefinitionTest, ServiceRunsWithNoPieceHookedIn) {
  ResetServiceHooks();
  GetServiceHooks().createProcess = CreateFakeProcess;
  GetServiceHooks().isShutdownStarted = nullptr;
  auto service = CreateNamed("alone", "");
  ASSERT_NE(service, nullptr);
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  AdvanceSeconds(1);
  EXPECT_EQ(start.results, Results{Ok});
  Main("alone")->ForceKillTimeout();
  Main("alone")->Exit(1);  // a crash with nobody to recover it
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(service->failCounters().processCrash, 0);
}

}  // namespace
