// Every seam the daemon wires for its services, seen from outside on one
// running daemon: the direct-response-route command, the health event
// publisher, the servlet container, the recovery restart, the system restart
// and failover requests, and the system failure. The metrics rows a request
// writes are the telemetry push test's.
#include <unistd.h>

#include "DaemonFixture.h"
#include "src/protocol/MessageHeader.h"
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
  MakeDirs(daemon_.Root("pub"));
  const std::string sysroot = daemon_.sysroot();
  OneShotListener listener(daemon_.dataDir() + "/duolistener", MESSAGE_HEADER_SIZE);
  listener.Serve([](int connection) {  // accepts the failover
    uint8_t reply[MESSAGE_HEADER_SIZE];
    EncodeMessageHeader(MakeMessageHeader(static_cast<MessageType>(15), 0), reply);
    EXPECT_EQ(write(connection, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    char byte;
    (void)!read(connection, &byte, 1);  // let the daemon close first
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
  StartDaemon();

  // Route: deleted when atrium-ui starts while frontgate runs, created when
  // atrium-ui stops, deleted when frontgate reaches STARTED while atrium-ui runs.
  StartService("frontgate");
  StartService("atrium-ui");
  ASSERT_TRUE(Call(MessageType::StopSvcReq, "atrium-ui").succeeded());
  ASSERT_TRUE(Call(MessageType::StopSvcReq, "frontgate").succeeded());
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

  // A crash restarts the service.
  pid_t pid = StartService("loop");
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_TRUE(WaitUntil([&] {
    SvcStatePayload status = State("loop");
    return status.state == kStarted && static_cast<pid_t>(status.pid) != pid;
  })) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("<loop> Restarting service.\n"));

  // Crash actions: the system restart request, the failover request.
  ASSERT_EQ(kill(StartService("fatal"), SIGKILL), 0);
  EXPECT_TRUE(
      WaitUntil([&] { return ReadWholeFile(sysroot + "/reboot-requests") == "RESTART\n"; }));
  EXPECT_TRUE(daemon_.WaitForLog("Failed to restart system.\n"));
  ASSERT_EQ(kill(StartService("duo"), SIGKILL), 0);
  ASSERT_TRUE(daemon_.WaitForLog("DUO failover call done. Success : 1\n")) << daemon_.LogText();
  EXPECT_EQ(static_cast<uint32_t>(DecodeMessageHeader(listener.Request().data()).type), 9u);

  // Unknown health of a critical service under FAILOVER fails the system.
  StartService("core");
  ASSERT_TRUE(Call({.type = MessageType::SetRecoveryProfileReq, .recoveryProfile = 1}).succeeded());
  WriteFile(daemon_.Root("broken"), "");
  RequestMessage healthCheck = {.type = MessageType::AllSvcsControlReq};
  healthCheck.flags.healthCheck = true;
  Call(healthCheck);
  EXPECT_TRUE(daemon_.WaitForLog("<core> health state unknown ,considered as system failure\n"));
  EXPECT_TRUE(WaitUntil([&] {
    return ReadWholeFile(sysroot + "/reboot-requests") == "RESTART\nRESTART\n";
  })) << daemon_.LogText();
  EXPECT_EQ(CountOf(daemon_.LogText(), "System Failure, initiating system restart.\n"), 1u);
}

}  // namespace
