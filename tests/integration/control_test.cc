// The control socket of a running daemon: who may use it and what the
// service requests do. Malformed, silent and flooding clients are the stress
// suite's, the reply layouts the protocol tests'.
#include <pwd.h>

#include "DaemonFixture.h"

namespace {

using ControlSocket = DaemonTest;

TEST_F(ControlSocket, ServesTheApiGroupAndAnswersServiceRequests) {
  Service("zeta", ", \"DependsOn\": [\"beta\", \"alpha\"]");
  Service("alpha");
  Service("beta");
  const std::string socket = Target().socketPath;
  WriteFile(socket, "stale");  // left by a previous run
  StartDaemon();
  struct stat st;
  ASSERT_EQ(stat(socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0775u);
  struct passwd *api = getpwnam("sentroapi");
  ASSERT_NE(api, nullptr) << "the sentroapi user is created by scripts/install-deps.sh";
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, api->pw_gid);

  std::vector<std::string> names;
  ASSERT_TRUE(CallForNames(Target(), {}, &names).succeeded());
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta", "zeta"}));  // registry order
  names.clear();
  ASSERT_TRUE(CallForNames(Target(), {MessageType::GetSvcDepsReq, "zeta"}, &names).succeeded());
  EXPECT_EQ(names, (std::vector<std::string>{"beta", "alpha"}));  // their own order
  ASSERT_EQ(Call(MessageType::StartSvcReq, "alpha").code, 0u);
  EXPECT_TRUE(daemon_.WaitForLog("Client info Uid=0,Gid=0,Pid="));
  SvcStatePayload status = State("alpha");
  EXPECT_EQ(status.health, 2u);  // INITIALIZED: no health command
  EXPECT_EQ(status.runAsUser, "root");
  EXPECT_EQ(kill(static_cast<pid_t>(status.pid), 0), 0);
  ASSERT_EQ(Call(MessageType::StopSvcReq, "alpha").code, 0u);
  EXPECT_EQ(State("alpha").state, kStopped);
  // DISABLED, persisted and enforced.
  ASSERT_TRUE(
      Call({.type = MessageType::SetSvcStateReq, .name = "alpha", .startupType = 2}).succeeded());
  EXPECT_EQ(ReadFile(daemon_.configDir() + "/svcCfgfiles/.state_alpha.json"),
            "{\"StartupType\":\"DISABLED\"}");
  EXPECT_EQ(Call(MessageType::StartSvcReq, "alpha").code, 9u);
  EXPECT_EQ(Call(MessageType::StartSvcReq, "ghost").code, 6u);
  EXPECT_EQ(Call(MessageType::StartProfileReq, "NOSUCH").code, 10u);
  EXPECT_EQ(Call({.type = MessageType::SetRecoveryProfileReq, .recoveryProfile = 2}).code, 6u);
}

}  // namespace
