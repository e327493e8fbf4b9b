// The control socket of a running daemon, driven through the client library
// over the real socket: what each request does, how malformed and silent
// clients are dropped, and that the daemon keeps serving.
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "DaemonFixture.h"
#include "src/protocol/MessageHeader.h"
#include "src/protocol/ReplyMessage.h"
#include "src/protocol/RequestMessage.h"

namespace {

using std::chrono::seconds;

class ControlSocket : public DaemonTest {
 protected:
  void SetUp() override { Config(", \"SocketIOTimeout\": 1"); }

  std::string SocketPath() const { return daemon_.dataDir() + "/sentroserver"; }

  // Sends raw bytes on a fresh connection and returns the raw reply (empty
  // when the daemon closed the connection without one).
  std::vector<uint8_t> RawExchange(const std::vector<uint8_t> &bytes) {
    int fd = Connect();
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::vector<uint8_t> reply;
    uint8_t chunk[4096];
    struct timeval timeout = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ssize_t length;
    while ((length = read(fd, chunk, sizeof chunk)) > 0) {
      reply.insert(reply.end(), chunk, chunk + length);
    }
    close(fd);
    return reply;
  }

  // A connection to the control socket; a non-blocking one is returned even
  // while its connect is still pending.
  int Connect(int flags = 0) const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", SocketPath().c_str());
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 &&
        (flags & SOCK_NONBLOCK) == 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  static std::vector<uint8_t> Header(uint32_t type, uint32_t payloadLength) {
    std::vector<uint8_t> bytes(MESSAGE_HEADER_SIZE);
    EncodeMessageHeader(MakeMessageHeader(static_cast<MessageType>(type), payloadLength),
                        bytes.data());
    return bytes;
  }
};

TEST_F(ControlSocket, TheSocketIsForTheApiGroupAndMisbehavingClientsDoNotStopIt) {
  WriteFile(SocketPath(), "stale");  // left by a previous run
  StartDaemon();
  // The socket is for root and the API group.
  struct stat st;
  ASSERT_EQ(stat(SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0775u);
  EXPECT_EQ(st.st_uid, 0u);
  struct passwd *api = getpwnam("sentroapi");
  ASSERT_NE(api, nullptr) << "the sentroapi user is created by scripts/install-deps.sh";
  EXPECT_EQ(st.st_gid, api->pw_gid);

  // The empty registry lists as 24 bytes; malformed headers are answered
  // with code 8 without reading a payload.
  const std::vector<uint8_t> emptyList = {0x22, 0x14, 0, 0, 1, 0, 0, 0, 15, 0, 0, 0,
                                          8,    0,    0, 0, 0, 0, 0, 0, 0,  0, 0, 0};
  EXPECT_EQ(RawExchange(Header(3, 0)), emptyList);

  const std::vector<uint8_t> codeEight = {0x22, 0x14, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 12, 0,
                                          0,    0,    8, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0,  0};
  EXPECT_EQ(RawExchange(Header(3, 4)), codeEight);   // list with a payload
  EXPECT_EQ(RawExchange(Header(9, 0)), codeEight);   // failover is not for this socket
  EXPECT_EQ(RawExchange(Header(15, 0)), codeEight);  // a reply type
  EXPECT_EQ(RawExchange(Header(99, 32)), codeEight);
  EXPECT_TRUE(daemon_.WaitForLog("Validation of request failed. Sending Error reply.\n"));

  // Silent and truncated clients time out; one that leaves is cleaned up.
  int silent = Connect();
  ASSERT_GE(silent, 0);
  int truncated = Connect();
  ASSERT_GE(truncated, 0);
  std::vector<uint8_t> partial = Header(0, 32);
  partial.resize(partial.size() + 10, 'x');
  ASSERT_EQ(write(truncated, partial.data(), partial.size()), static_cast<ssize_t>(partial.size()));
  int vanishing = Connect();
  ASSERT_GE(vanishing, 0);
  ASSERT_EQ(write(vanishing, "\x22\x14", 2), 2);
  close(vanishing);
  EXPECT_TRUE(daemon_.WaitForLog("Error Callback fired with error Remote disconnected\n"));
  EXPECT_TRUE(daemon_.WaitForLog("Timer Callback fired in state 1\n", seconds(5)));
  EXPECT_TRUE(daemon_.WaitForLog("Timer Callback fired in state 2\n", seconds(5)));
  char byte;
  EXPECT_EQ(read(silent, &byte, 1), 0);  // closed by the daemon
  close(silent);
  close(truncated);

  // A flood of connections that close at once.
  std::vector<int> clients;
  for (int i = 0; i < 2000; i++) {
    clients.push_back(Connect(SOCK_NONBLOCK));
  }
  for (int fd : clients) {
    close(fd);
  }
  EXPECT_TRUE(WaitUntil([&] { return Serves(); }, seconds(10)));
}

TEST_F(ControlSocket, ServiceRequestsOnARunningDaemon) {
  Service("zeta", ", \"DependsOn\": [\"beta\", \"alpha\"]");
  Service("alpha");
  Service("beta");
  Service("web", ", \"RunAsUser\": \"\"");
  std::string health = Executable(
      "health.sh", "#!/bin/sh\n[ -f \"" + daemon_.Root("ready") + "\" ] && exit 0\nexit 63\n");
  Service("slow", ", \"ApiHealthCommand\": \"" + health + "\"");
  StartDaemon();

  // The list in registry order, dependencies in their own order.
  std::vector<std::string> names;
  ASSERT_TRUE(Serves(&names));
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta", "slow", "web", "zeta"}));
  names.clear();
  ASSERT_TRUE(
      CallForNames(Target(), Request(MessageType::GetSvcDepsReq, "zeta"), &names).succeeded());
  EXPECT_EQ(names, (std::vector<std::string>{"beta", "alpha"}));

  // Start, status and stop.
  ASSERT_EQ(Call(MessageType::StartSvcReq, "web").code, 0u);
  EXPECT_TRUE(daemon_.WaitForLog("Received start request for web\n"));
  EXPECT_TRUE(daemon_.WaitForLog("Client info Uid=0,Gid=0,Pid="));
  SvcStatePayload status;
  ASSERT_TRUE(CallForState(Target(), "web", &status).succeeded());
  EXPECT_EQ(status.name, "web");
  EXPECT_EQ(status.state, kStarted);
  EXPECT_EQ(status.health, 2u);  // INITIALIZED: no health command
  EXPECT_NE(status.pid, 0u);
  EXPECT_EQ(status.runAsUser, "root");
  EXPECT_EQ(kill(static_cast<pid_t>(status.pid), 0), 0);
  EXPECT_EQ(Call(MessageType::StartSvcReq, "web").code, 0u);  // already running
  ASSERT_EQ(Call(MessageType::StopSvcReq, "web").code, 0u);
  ASSERT_TRUE(CallForState(Target(), "web", &status).succeeded());
  EXPECT_EQ(status.state, kStopped);
  EXPECT_EQ(status.pid, 0u);
  EXPECT_FALSE(status.lastStopFailed);

  // A client that leaves while its start is still waiting for health.
  std::vector<uint8_t> bytes = EncodeRequest(Request(MessageType::StartSvcReq, "slow"));
  int fd = Connect();
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_TRUE(daemon_.WaitForLog("Received start request for slow\n"));
  close(fd);
  WriteFile(daemon_.Root("ready"), "");
  ASSERT_TRUE(daemon_.WaitForLog("<slow> Service STARTED successfully.\n", seconds(10)));

  // Control of all services; saves fail without the statistics directory.
  RequestMessage all = Request(MessageType::AllSvcsControlReq);
  EXPECT_TRUE(CallForResult(Target(), all).succeeded());
  EXPECT_TRUE(daemon_.WaitForLog("Succeeded in performing control action on all services\n"));
  all.flags.saveCrashStats = true;
  all.flags.resetFailCounters = true;
  EXPECT_TRUE(CallForResult(Target(), all).succeeded());
  std::filesystem::remove_all(daemon_.dataDir() + "/.svcStats");
  EXPECT_EQ(CallForResult(Target(), all).code, 4u);
  EXPECT_TRUE(daemon_.WaitForLog("Failed in performing control action on all services\n"));

  EXPECT_EQ(Call(MessageType::StartProfileReq, "NOSUCH").code, 10u);
  EXPECT_TRUE(Call(MessageType::StartProfileReq, "ALL").succeeded());  // only manual services

  // Startup type changes are persisted and enforced.
  RequestMessage set = Request(MessageType::SetSvcStateReq, "web");
  set.startupType = 2;  // DISABLED
  ASSERT_TRUE(CallForResult(Target(), set).succeeded());
  EXPECT_EQ(ReadFile(daemon_.configDir() + "/svcCfgfiles/.state_web.json"),
            "{\"StartupType\":\"DISABLED\"}");
  EXPECT_EQ(Call(MessageType::StartSvcReq, "web").code, 9u);
  set.startupType = 7;
  EXPECT_EQ(CallForResult(Target(), set).code, 6u);

  // Unknown names.
  EXPECT_EQ(Call(MessageType::StartSvcReq, "ghost").code, 6u);
  EXPECT_EQ(CallForState(Target(), "ghost", &status).code, 6u);
  LiveCorePayload core;
  CallForLiveCore(Target(), "ghost", &core);
  EXPECT_FALSE(core.succeeded);
  EXPECT_EQ(core.corePath, "");
  EXPECT_TRUE(daemon_.WaitForLog("Service ghost not found.\n"));

  // The recovery profile is checked, and logged after the reply.
  RequestMessage profile = Request(MessageType::SetRecoveryProfileReq);
  profile.recoveryProfile = 2;
  EXPECT_EQ(CallForResult(Target(), profile).code, 6u);
  profile.recoveryProfile = 1;
  EXPECT_TRUE(CallForResult(Target(), profile).succeeded());
  EXPECT_TRUE(daemon_.WaitForLog("Set recovery action profile to FAILOVER.\n"));
}

}  // namespace
