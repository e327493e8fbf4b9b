// The running daemon seen from outside: every seam it wires, on one daemon,
// and its whole life on real processes. Metrics rows are the telemetry push
// test's; malformed, silent and flooding clients the stress suite's.
#include <pwd.h>
#include <unistd.h>

#include "DaemonFixture.h"
#include "support/OneShotListener.h"

namespace {

using Seams = DaemonTest;

TEST_F(Seams, EachSeamOfTheServicesReachesTheRealWorld) {
  // The route script and the publisher journal their arguments.
  Executable("sysroot/usr/bin/python", "#!/bin/sh\nexec /bin/sh \"$@\"\n");
  MakeDirs(daemon_.sysroot() + "/usr/lib/norvane-sentro");
  Executable("sysroot/usr/lib/norvane-sentro/sentro-direct-response-route.py",
             "echo \"$@\" >> \"" + daemon_.Root("routes") + "\"\n");
  daemon_.SetEnv(
      "NORVANE_PYTHON_BIN=" +
      Executable("publish.sh", "#!/bin/sh\necho \"$@\" >> \"" + daemon_.Root("events") + "\"\n"));
  const std::string reboots = daemon_.sysroot() + "/reboot-requests";
  OneShotListener listener(daemon_.dataDir() + "/duolistener", 16);
  listener.Serve([](int connection) {  // accepts the failover, lets the daemon close first
    uint8_t reply[16] = {0x22, 0x14, 0, 0, 1, 0, 0, 0, 15};
    EXPECT_EQ(write(connection, reply, sizeof reply), 16);
    (void)!read(connection, reply, 1);
  });
  Config(", \"HaltOnSystemFailHA\": true, \"EventPublisherScriptDir\": \"" + daemon_.Root("pub") +
         "\"");
  for (const char *name : {"frontgate", "atrium-ui", "loop"}) Service(name);
  const std::string crash = ", \"RecoveryActionProfiles\": {\"DEFAULT\": {\"CRASH\": [";
  Service("fatal", crash + "\"RESTART_SYSTEM\"]}}");
  Service("duo", crash + "\"HAFAILOVER\"]}}");
  Service("core", ", \"ApiHealthCommand\": \"" +
                      Executable("health.sh", "#!/bin/sh\n[ -e \"$1\" ] && exit 99\nexit 0\n") +
                      "\", \"ApiHealthCommandArgs\": [\"" + daemon_.Root("broken") + "\"]");
  daemon_.WriteProfiles("{\"CRITICAL\": [\"core\"]}");
  Service("dash", ", \"Type\": \"MUX_SERVLET\", \"MuxServerName\": \"web\"");
  WriteFile(daemon_.configDir() + "/muxServerInstanceCfgfiles/web.json",
            "{\"Name\": \"web\"" + SvcCommand("web") + "}");
  Service("zeta", ", \"DependsOn\": [\"frontgate\", \"core\"]");
  const std::string socket = Target().socketPath;
  WriteFile(socket, "stale");  // left by a previous run
  StartDaemon();

  // The control socket: the API group's, answering in registry order.
  struct stat st;
  struct passwd *api = getpwnam("sentroapi");  // created by scripts/install-deps.sh
  ASSERT_TRUE(stat(socket.c_str(), &st) == 0 && api != nullptr);
  EXPECT_EQ(std::make_tuple(st.st_mode & 07777, st.st_uid, st.st_gid),
            std::make_tuple(0775u, 0u, api->pw_gid));
  std::vector<std::string> names;
  ASSERT_TRUE(CallForNames(Target(), {}, &names).succeeded());
  EXPECT_EQ(names, (std::vector<std::string>{"atrium-ui", "core", "dash", "duo", "fatal",
                                             "frontgate", "loop", "zeta"}));
  names.clear();
  ASSERT_TRUE(CallForNames(Target(), {MessageType::GetSvcDepsReq, "zeta"}, &names).succeeded());
  EXPECT_EQ(names, (std::vector<std::string>{"frontgate", "core"}));  // their own order

  // Route: deleted when atrium-ui starts while frontgate runs, created when
  // atrium-ui stops, deleted when frontgate reaches STARTED while atrium-ui runs.
  StartService("frontgate");
  StartService("atrium-ui");
  ASSERT_TRUE(Call({MessageType::StopSvcReq, "atrium-ui"}).succeeded());
  ASSERT_TRUE(Call({MessageType::StopSvcReq, "frontgate"}).succeeded());
  StartService("atrium-ui");
  StartService("frontgate");
  EXPECT_TRUE(WaitUntil([&] {
    return ReadWholeFile(daemon_.Root("routes")) == "delete\ncreate stopped\ndelete\n";
  })) << ReadWholeFile(daemon_.Root("routes"));
  EXPECT_TRUE(daemon_.WaitForLog("Direct response route command completed successfully.\n"));
  // The health events of those requests.
  EXPECT_TRUE(WaitUntil([&] {
    return ReadWholeFile(daemon_.Root("events"))
               .find("/sentroEventPublisher.py --eventdata frontgate,INITIALIZED,") !=
           std::string::npos;
  })) << ReadWholeFile(daemon_.Root("events"));
  // A servlet runs in its container's process.
  StartService("dash");
  EXPECT_EQ(Journal("start").back(), "web");

  // Service requests; a crash restarts the service.
  ASSERT_EQ(Call({MessageType::StartSvcReq, "loop"}).code, 0u);
  EXPECT_TRUE(daemon_.WaitForLog("Client info Uid=0,Gid=0,Pid=" + std::to_string(getpid()) +
                                 ",Comm=(test_integratio),PPid=" + std::to_string(getppid())));
  SvcStatePayload status = State("loop");
  EXPECT_EQ(status.health, 2u);  // INITIALIZED: no health command
  EXPECT_EQ(status.runAsUser, "root");
  pid_t pid = static_cast<pid_t>(status.pid);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_TRUE(WaitUntil([&] {
    SvcStatePayload status = State("loop");
    return status.state == kStarted && static_cast<pid_t>(status.pid) != pid;
  })) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("<loop> Restarting service.\n"));
  ASSERT_EQ(Call({MessageType::StopSvcReq, "loop"}).code, 0u);
  EXPECT_EQ(State("loop").state, kStopped);
  // DISABLED, persisted and enforced.
  ASSERT_TRUE(
      Call({.type = MessageType::SetSvcStateReq, .name = "loop", .startupType = 2}).succeeded());
  EXPECT_EQ(ReadFile(daemon_.configDir() + "/svcCfgfiles/.state_loop.json"),
            "{\"StartupType\":\"DISABLED\"}");
  EXPECT_EQ(Call({MessageType::StartSvcReq, "loop"}).code, 9u);
  EXPECT_EQ(Call({MessageType::StartSvcReq, "ghost"}).code, 6u);
  EXPECT_EQ(Call({MessageType::StartProfileReq, "NOSUCH"}).code, 10u);
  EXPECT_EQ(Call({.type = MessageType::SetRecoveryProfileReq, .recoveryProfile = 2}).code, 6u);

  // Crash actions: the system restart request, the failover request.
  ASSERT_EQ(kill(StartService("fatal"), SIGKILL), 0);
  EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(reboots) == "RESTART\n"; }));
  EXPECT_TRUE(daemon_.WaitForLog("Failed to restart system.\n"));
  ASSERT_EQ(kill(StartService("duo"), SIGKILL), 0);
  ASSERT_TRUE(daemon_.WaitForLog("DUO failover call done. Success : 1\n")) << daemon_.LogText();
  EXPECT_EQ(listener.Request()[8], 9);  // the failover request's type

  // Unknown health of a critical service under FAILOVER fails the system.
  StartService("core");
  ASSERT_TRUE(Call({.type = MessageType::SetRecoveryProfileReq, .recoveryProfile = 1}).succeeded());
  WriteFile(daemon_.Root("broken"), "");
  Call({.type = MessageType::AllSvcsControlReq, .flags = {.healthCheck = true}});
  EXPECT_TRUE(daemon_.WaitForLog("<core> health state unknown ,considered as system failure\n"));
  EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(reboots) == "RESTART\nRESTART\n"; }))
      << daemon_.LogText();
  EXPECT_EQ(CountOf(daemon_.LogText(), "System Failure, initiating system restart.\n"), 1u);
}

using Lifecycle = DaemonTest;

TEST_F(Lifecycle, StartupInDependencyOrderHealthCycleReloadsAndSigtermStopsInStopOrder) {
  const std::string cycle =
      "\"CriticalHealthCheckFreqSecs\": 1, \"CriticalToAllHealthCheckFreqRatio\": 0";
  daemon_.WriteConfig("{\"EnableLivenessCheck\": false, " + cycle + ", \"LogLevel\": 5}");
  Service("db", ", \"StopBefore\": []", "AUTOMATIC");
  Service("app", ", \"DependsOn\": [\"db\"], \"StopBefore\": [\"db\"]", "AUTOMATIC");
  Service("web", ", \"DependsOn\": [\"app\"], \"StopBefore\": [\"app\"]", "AUTOMATIC");
  daemon_.WriteProfiles("{\"CRITICAL\": [\"db\"]}");  // a ratio of 0 falls back to 6
  Executable("sysroot/usr/bin/banner_ctrl", "#!/bin/sh\necho \"$@\" > " + daemon_.Root("banner"));
  daemon_.SetEnv("NORVANE_HUB_HOME=/opt/hub");
  daemon_.Start();
  ASSERT_TRUE(daemon_.WaitForLog("Post sentro startup command succeeded\n", seconds(15)))
      << daemon_.LogText();
  EXPECT_EQ(Journal("start"), (std::vector<std::string>{"db", "app", "web"}));
  EXPECT_EQ(ReadFile(daemon_.Root("banner")), "reset\n");
  const std::string corePattern = daemon_.sysroot() + "/proc/sys/kernel/core_pattern";
  EXPECT_EQ(ReadFile(corePattern), "|/opt/hub/norvane-sentro/sentro-coredumper %e %s %p");
  const char *kCycleDone = "Successfully executed service batch operation API_HEALTH.\n";
  ASSERT_TRUE(WaitUntil([&] { return CountOf(daemon_.LogText(), kCycleDone) >= 2; }, seconds(6)))
      << daemon_.LogText();
  EXPECT_EQ(daemon_.LogText().find("Db(08) host-"), std::string::npos);

  // A level change lets debug lines pass without a logger switch.
  daemon_.WriteConfig("{" + cycle + ", \"LogLevel\": 8, \"PerformPeriodicHealthCheck\": false}");
  daemon_.Signal(SIGHUP);
  ASSERT_TRUE(daemon_.WaitForLog("Received a SIGHUP signal to reload Sentro configuration\n"));
  EXPECT_EQ(State("db").state, kStarted);
  EXPECT_TRUE(daemon_.WaitForLog("Db(08) host-")) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("Periodic health check is disabled.\n", seconds(5)));
  // To syslog: written to the old output just before it is removed, once.
  daemon_.WriteConfig("{" + cycle + ", \"LogToSyslog\": true}");
  daemon_.Signal(SIGHUP);
  EXPECT_TRUE(daemon_.WaitForLog("Switching logger. logToSyslog=1\n")) << daemon_.LogText();
  daemon_.Signal(SIGHUP);  // no change: no second switch
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(seconds(15)), 0);
  EXPECT_EQ(CountOf(daemon_.LogText(), "Switching logger"), 1u);
  EXPECT_EQ(daemon_.LogText().find("Initiating Sentro shutdown."), std::string::npos);
  EXPECT_EQ(Journal("stop"), (std::vector<std::string>{"web", "app", "db"}));
  EXPECT_EQ(ReadFile(corePattern), "/var/core/core.%e.%p");
}

}  // namespace
