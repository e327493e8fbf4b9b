// Reading a service definition file: keys, defaults, expansion, limits, the
// messages for wrong files, the run-state overlay, and reloads.
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
    "Name": "alpha",
    "Type": "PLAIN",
    "DependsOn": ["db", "%SVCTEST_ROOT%"],
    "StopBefore": ["web"],
    "StartupType": "MANUAL",
    "RunApiHealthCmdAsUser": "%SVCTEST_ROOT%",
    "RunAsUser": "svc%SVCTEST_ROOT%",
    "StartCommand": "%SVCTEST_ROOT%/bin/alpha",
    "StartCommandArgs": ["-c", "%SVCTEST_ROOT%/etc"],
    "PreStartCommand": "%SVCTEST_ROOT%/bin/pre",
    "RunPreStartCmdAsUser": "prer",
    "PreStartCommandArgs": ["p1"],
    "StopCommand": "%SVCTEST_ROOT%/bin/stop",
    "StopCommandArgs": ["s1", "s2"],
    "PostStopCommand": "%SVCTEST_ROOT%/bin/post",
    "PostStopCommandArgs": ["q1"],
    "StopSignal": "SIGUSR2",
    "ApiHealthCommand": "%SVCTEST_ROOT%/bin/health",
    "ApiHealthCommandArgs": ["h1"],
    "ApiHealthFile": "%SVCTEST_ROOT%/health",
    "StreamRedirectFile": "%SVCTEST_ROOT%/log/alpha",
    "StartTimeout": 11,
    "StopTimeout": 12,
    "PostStopTimeout": 13,
    "ApiHealthCmdTimeout": 14,
    "RecoveryActionProfiles": {"FAILOVER": {"CRASH": ["HAFAILOVER", "RESTART_SYSTEM"]}},
    "DumpLiveCoreOnApiHealthFail": true,
    "WorkingDir": "%SVCTEST_ROOT%/run",
    "CleanExitCodes": [0, 143],
    "ProcessFdLimit": 65536,
    "MemoryLimitBytes": 17179869184
  })");
  ASSERT_NE(service, nullptr);
  const ServiceDefinition &d = service->definition();
  EXPECT_EQ(service->name(), "alpha");
  EXPECT_EQ(service->fileName(), "alpha.json");
  EXPECT_EQ(service->type(), "PLAIN");
  EXPECT_FALSE(service->IsServlet());
  EXPECT_EQ(service->dependsOn(), (std::vector<std::string>{"db", "%SVCTEST_ROOT%"}));
  EXPECT_EQ(service->stopBefore(), (std::vector<std::string>{"web"}));
  EXPECT_EQ(d.startupType, StartupType::Manual);
  EXPECT_EQ(d.runApiHealthCmdAsUser, "%SVCTEST_ROOT%");
  EXPECT_EQ(d.runAsUser, "svc/opt/alpha");
  EXPECT_EQ(service->EffectiveRunAsUser(), "svc/opt/alpha");
  EXPECT_EQ(d.startCommand, "/opt/alpha/bin/alpha");
  EXPECT_EQ(d.startCommandArgs, (std::vector<std::string>{"-c", "/opt/alpha/etc"}));
  EXPECT_EQ(d.preStartCommand, "/opt/alpha/bin/pre");
  EXPECT_EQ(d.runPreStartCmdAsUser, "prer");
  EXPECT_EQ(d.preStartCommandArgs, (std::vector<std::string>{"p1"}));
  EXPECT_EQ(d.stopCommand, "/opt/alpha/bin/stop");
  EXPECT_EQ(d.stopCommandArgs, (std::vector<std::string>{"s1", "s2"}));
  EXPECT_EQ(d.postStopCommand, "/opt/alpha/bin/post");
  EXPECT_EQ(d.postStopCommandArgs, (std::vector<std::string>{"q1"}));
  EXPECT_EQ(d.stopSignal, 12);
  EXPECT_EQ(d.apiHealthCommand, "/opt/alpha/bin/health");
  EXPECT_EQ(d.apiHealthCommandArgs, (std::vector<std::string>{"h1"}));
  EXPECT_EQ(d.apiHealthFile, "/opt/alpha/health");
  EXPECT_EQ(d.streamRedirectFile, "/opt/alpha/log/alpha");
  EXPECT_EQ(d.startTimeout, 11);
  EXPECT_EQ(d.stopTimeout, 12);
  EXPECT_EQ(d.postStopTimeout, 13);
  EXPECT_EQ(d.apiHealthCmdTimeout, 14);
  RecoveryActionProfiles expectedProfiles = {
      {RecoveryProfile::Failover,
       {{FailureType::Crash, {RecoveryAction::HaFailover, RecoveryAction::RestartSystem}}}}};
  EXPECT_EQ(d.recoveryActionProfiles, expectedProfiles);
  EXPECT_TRUE(d.dumpLiveCoreOnApiHealthFail);
  EXPECT_EQ(d.workingDir, "/opt/alpha/run");
  EXPECT_EQ(d.cleanExitCodes, (std::vector<int32_t>{0, 143}));
  EXPECT_EQ(d.processFdLimit, 65536u);
  EXPECT_EQ(d.memoryLimitBytes, 17179869184u);
  unsetenv("SVCTEST_ROOT");
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
  EXPECT_EQ(d.processFdLimit, 0u);
  EXPECT_EQ(d.memoryLimitBytes, 0u);
  EXPECT_TRUE(d.cleanExitCodes.empty());
  EXPECT_TRUE(d.recoveryActionProfiles.empty());
  EXPECT_EQ(service->EffectiveRunAsUser(), "root");
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(service->health(), HealthStatus::Unhealthy);
  EXPECT_EQ(service->request(), ReqNone);
}

TEST_F(ServiceDefinitionTest, TimeoutsBelowOneWarnInKeyOrderAndFallBackToTheDefaults) {
  auto service = Create("c.json", R"({"Name": "c", "StartCommand": "/bin/c",
      "ApiHealthCmdTimeout": -1, "PostStopTimeout": 0, "StopTimeout": -5, "StartTimeout": 0,
      "CleanExitCodes": ["x"]})");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->definition().startTimeout, 30);
  EXPECT_EQ(service->definition().stopTimeout, 10);
  EXPECT_EQ(service->definition().postStopTimeout, 10);
  EXPECT_EQ(service->definition().apiHealthCmdTimeout, 30);
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
    int index = servicetest::LogIndex(text);
    EXPECT_GT(index, previous) << text;
    previous = index;
  }
}

TEST_F(ServiceDefinitionTest, MistypedOrOversizedTimeoutsSilentlyKeepTheDefault) {
  auto service = Create("d.json", R"({"Name": "d", "StartCommand": "/bin/d",
      "StartTimeout": "45", "StopTimeout": 4294967296, "PostStopTimeout": 2.5})");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->definition().startTimeout, 30);
  EXPECT_EQ(service->definition().stopTimeout, 10);
  EXPECT_EQ(service->definition().postStopTimeout, 10);
  for (const LoggedMessage &message : servicetest::LoggedMessages()) {
    EXPECT_EQ(message.text.find("Timeout value"), std::string::npos) << message.text;
  }
}

TEST_F(ServiceDefinitionTest, FileWithoutNameIsRejected) {
  EXPECT_EQ(Create("noname.json", R"({"StartCommand": "/bin/x"})"), nullptr);
  EXPECT_TRUE(Logged(LOG_ERROR, "Mandatory field 'Name' missing: noname.json\n"));
}

TEST_F(ServiceDefinitionTest, FileWithoutStartCommandIsRejected) {
  EXPECT_EQ(Create("nocmd.json", R"({"Name": "nocmd"})"), nullptr);
  EXPECT_TRUE(Logged(LOG_ERROR, "Mandatory field 'StartCommand' missing nocmd.json\n"));
}

TEST_F(ServiceDefinitionTest, StartCommandWithUnsetVariableCountsAsMissing) {
  unsetenv("SVCTEST_UNSET");
  EXPECT_EQ(Create("unset.json", R"({"Name": "u", "StartCommand": "%SVCTEST_UNSET%/bin/u"})"),
            nullptr);
  EXPECT_TRUE(Logged(LOG_ERROR, "Env variable SVCTEST_UNSET is not set\n"));
  EXPECT_TRUE(Logged(LOG_ERROR, "Mandatory field 'StartCommand' missing unset.json\n"));
}

TEST_F(ServiceDefinitionTest, UnparsableOrMissingFileIsRejected) {
  EXPECT_EQ(Create("broken.json", "{\"Name\": \"b\", "), nullptr);
  EXPECT_TRUE(Logged(LOG_ERROR, "Invalid service config file: broken.json\n"));
  EXPECT_EQ(Create("array.json", "[1, 2]"), nullptr);
  EXPECT_TRUE(Logged(LOG_ERROR, "Invalid service config file: array.json\n"));
  EXPECT_EQ(CreateService("absent.json"), nullptr);
  EXPECT_TRUE(Logged(LOG_ERROR, "Invalid service config file: absent.json\n"));
}

TEST_F(ServiceDefinitionTest, StartupTypeTextsMatchByPrefix) {
  auto automatic = Create("t1.json", R"({"Name":"t1","StartCommand":"/x","StartupType":"AUTO"})");
  auto manual = Create("t2.json", R"({"Name":"t2","StartCommand":"/x","StartupType":""})");
  auto disabled = Create("t3.json", R"({"Name":"t3","StartCommand":"/x","StartupType":"D"})");
  UseConfig(R"({"DefaultServiceStartupType": "MANUAL"})");
  auto invalid = Create("t4.json", R"({"Name":"t4","StartCommand":"/x","StartupType":"ENABLED"})");
  ASSERT_TRUE(automatic && manual && disabled && invalid);
  EXPECT_EQ(automatic->startupType(), StartupType::Automatic);
  EXPECT_EQ(manual->startupType(), StartupType::Manual);
  EXPECT_EQ(disabled->startupType(), StartupType::Disabled);
  EXPECT_EQ(invalid->startupType(), StartupType::Manual);
  EXPECT_TRUE(Logged(LOG_WARNING, "Invalid startup type ENABLED\n"));
}

TEST_F(ServiceDefinitionTest, StopSignalOutsideTheTableFallsBackToSigterm) {
  auto kill = Create("k.json", R"({"Name":"k","StartCommand":"/x","StopSignal":"SIGKILL"})");
  auto usr1 = Create("u.json", R"({"Name":"u","StartCommand":"/x","StopSignal":"SIGUSR1"})");
  ASSERT_TRUE(kill && usr1);
  EXPECT_EQ(kill->definition().stopSignal, 15);
  EXPECT_TRUE(Logged(LOG_WARNING, "Signal SIGKILL is not supported. Defaulting to SIGTERM.\n"));
  EXPECT_EQ(usr1->definition().stopSignal, 10);
}

TEST_F(ServiceDefinitionTest, CreationMakesTheServiceAndHelperProcessObjects) {
  auto service = CreateNamed("gamma", "");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->process(), FindFake("gamma"));
  EXPECT_NE(FindFake("gamma-prestart"), nullptr);
  EXPECT_NE(FindFake("gamma-healthcmd"), nullptr);
  service.reset();
  EXPECT_EQ(FindFake("gamma"), nullptr);
  EXPECT_EQ(FindFake("gamma-healthcmd"), nullptr);
}

TEST_F(ServiceDefinitionTest, ServletWithoutContainerNameIsRejected) {
  EXPECT_EQ(Create("s.json", R"({"Name":"s","Type":"MUX_SERVLET"})"), nullptr);
  EXPECT_TRUE(Logged(LOG_ERROR, "Mandatory field MuxServerName missing. s.json\n"));
}

TEST_F(ServiceDefinitionTest, ServletFailsCreationUntilServletProcessesExist) {
  EXPECT_EQ(Create("s.json", R"({"Name":"s","Type":"MUX_SERVLET","MuxServerName":"mux1"})"),
            nullptr);
  EXPECT_TRUE(Logged(LOG_ERROR, "<s> Servlet services are not supported. MUX server mux1\n"));
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

TEST_F(ServiceDefinitionTest, UnparsableRunStateFileRejectsTheService) {
  WriteFile(configDir_ + "/svcCfgfiles/.state_r.json", "not json");
  EXPECT_EQ(Create("r.json", R"({"Name":"r","StartCommand":"/bin/r"})"), nullptr);
  EXPECT_TRUE(Logged(LOG_ERROR,
                     "Invalid Json formatted file " + configDir_ + "/svcCfgfiles/.state_r.json\n"));
}

TEST_F(ServiceDefinitionTest, ReloadReadsOnlyTheKeysThatMayChange) {
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
  EXPECT_EQ(service->request(), ReqNone);
}

TEST_F(ServiceDefinitionTest, ReloadOfBrokenFileKeepsThePreviousDefinition) {
  auto service = Create("f.json", R"({"Name":"f","StartCommand":"/bin/f","StartTimeout":5})");
  ASSERT_NE(service, nullptr);
  WriteDefinition("f.json", R"({"Name":"f","StartTimeout":9})");
  EXPECT_FALSE(service->ReloadConfig());
  EXPECT_TRUE(Logged(LOG_ERROR, "Mandatory field 'StartCommand' missing f.json\n"));
  EXPECT_TRUE(Logged(LOG_WARNING, "<f> Failed to reload configuration of service.\n"));
  EXPECT_EQ(service->definition().startCommand, "/bin/f");
  EXPECT_EQ(service->definition().startTimeout, 5);

  WriteDefinition("f.json", "{{{");
  EXPECT_FALSE(service->ReloadConfig());
  EXPECT_EQ(service->definition().startTimeout, 5);
  EXPECT_EQ(service->request(), ReqNone);
}

TEST_F(ServiceDefinitionTest, ReloadWhileStartingIsRefused) {
  auto service = CreateNamed("g", "");
  ASSERT_NE(service, nullptr);
  service->SetStart(nullptr, nullptr);
  ASSERT_EQ(service->state(), ServiceState::Starting);
  EXPECT_FALSE(service->ReloadConfig());
  EXPECT_TRUE(Logged(LOG_WARNING, "<g> ReloadConfig: Invalid State STARTING, Curr request 1.\n"));
  EXPECT_EQ(service->request(), ReqStart);
}

TEST_F(ServiceDefinitionTest, ReloadCancelsAnExplicitHealthCheck) {
  auto service = CreateNamed("h", R"("ApiHealthCommand": "/bin/probe")");
  ASSERT_NE(service, nullptr);
  CompletionRecord start;
  StartHealthy(service.get(), &start);
  CompletionRecord check;
  ASSERT_TRUE(service->TrySetRequest(ReqHealthCheck, CompletionRecord::Record, &check));
  service->RunHealthCommand();
  ASSERT_TRUE(HealthCmd("h")->IsRunning());
  EXPECT_TRUE(service->ReloadConfig());
  EXPECT_EQ(check.results, (std::vector<ServiceResult>{Cancelled}));
  EXPECT_FALSE(HealthCmd("h")->IsRunning());
  EXPECT_EQ(service->request(), ReqNone);
}

TEST_F(ServiceDefinitionTest, RecoveryListComesFromTheActiveProfileElseTheDaemonDefault) {
  auto own = Create("own.json", R"({"Name":"own","StartCommand":"/x",
      "RecoveryActionProfiles": {"DEFAULT": {"CRASH": []},
                                 "FAILOVER": {"HEALTHFAIL": ["HAFAILOVER"]}}})");
  auto plain = Create("plain.json", R"({"Name":"plain","StartCommand":"/x"})");
  ASSERT_TRUE(own && plain);
  RecoveryActionList restart = {RecoveryAction::RestartService};
  RecoveryActionList healthDefault = {RecoveryAction::NoAction, RecoveryAction::RestartService};
  EXPECT_TRUE(own->SelectRecoveryActions(FailureType::Crash).empty());
  EXPECT_EQ(own->SelectRecoveryActions(FailureType::HealthFail), healthDefault);
  EXPECT_EQ(plain->SelectRecoveryActions(FailureType::Crash), restart);
  SentroConfig::Get()->SetActiveRecoveryProfile(RecoveryProfile::Failover);
  EXPECT_EQ(own->SelectRecoveryActions(FailureType::Crash), restart);
  EXPECT_EQ(own->SelectRecoveryActions(FailureType::HealthFail),
            RecoveryActionList{RecoveryAction::HaFailover});
  SentroConfig::Get()->SetActiveRecoveryProfile(RecoveryProfile::Default);
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
  EXPECT_EQ(start.results, (std::vector<ServiceResult>{Ok}));
  Main("alone")->ForceKillTimeout();
  Main("alone")->Exit(1);  // a crash with nobody to recover it
  EXPECT_EQ(service->state(), ServiceState::Stopped);
  EXPECT_EQ(service->failCounters().processCrash, 0);
}

}  // namespace
