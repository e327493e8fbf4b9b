// The control socket of a running daemon, over the real socket: who may use
// it, the exact reply to a malformed header, and what the service requests
// do. Misbehaving clients by the thousand are the stress suite's.
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "DaemonFixture.h"
#include "src/protocol/MessageHeader.h"

namespace {

class ControlSocket : public DaemonTest {
 protected:
  // The whole reply to a header of type with a payload of length bytes.
  std::vector<uint8_t> Exchange(uint32_t type, uint32_t length) const {
    std::vector<uint8_t> header(MESSAGE_HEADER_SIZE), reply;
    EncodeMessageHeader(MakeMessageHeader(static_cast<MessageType>(type), length), header.data());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {AF_UNIX, {}};
    snprintf(address.sun_path, sizeof address.sun_path, "%s", SocketPath().c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(write(fd, header.data(), header.size()), static_cast<ssize_t>(header.size()));
    uint8_t chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
      reply.insert(reply.end(), chunk, chunk + n);
    close(fd);
    return reply;
  }
  std::string SocketPath() const { return daemon_.dataDir() + "/sentroserver"; }
};

TEST_F(ControlSocket, ServesTheApiGroupRejectsMalformedHeadersAndAnswersServiceRequests) {
  Service("zeta", ", \"DependsOn\": [\"beta\", \"alpha\"]");
  Service("alpha");
  Service("beta");
  WriteFile(SocketPath(), "stale");  // left by a previous run
  StartDaemon();
  struct stat st;
  ASSERT_EQ(stat(SocketPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0775u);
  struct passwd *api = getpwnam("sentroapi");
  ASSERT_NE(api, nullptr) << "the sentroapi user is created by scripts/install-deps.sh";
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, api->pw_gid);
  // Malformed headers get code 8 without a payload being read.
  const std::vector<uint8_t> codeEight = {0x22, 0x14, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 12, 0,
                                          0,    0,    8, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0,  0};
  for (auto [type, length] : {std::pair{3u, 4u}, {9u, 0u}, {15u, 0u}, {99u, 32u}}) {
    EXPECT_EQ(Exchange(type, length), codeEight) << type;
  }

  std::vector<std::string> names;
  ASSERT_TRUE(Serves(&names));
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
