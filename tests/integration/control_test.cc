// The control socket of a running daemon, driven through the client library
// over the real socket: what each request does, how malformed and silent
// clients are dropped, and that the daemon keeps serving.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "src/control/protocol/MessageHeader.h"
#include "src/control/protocol/ReplyMessage.h"
#include "src/control/protocol/RequestMessage.h"
#include "support/SandboxDaemon.h"
#include "tools/sentroctl/ControlCalls.h"

namespace {

using std::chrono::seconds;

class ControlSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = daemon_.Root("svc.sh");
    WriteFile(script_, "#!/bin/sh\ntrap 'exit 0' TERM\nwhile :; do sleep 0.05; done\n");
    chmod(script_.c_str(), 0755);
    daemon_.WriteConfig(
        "{\"EnableLivenessCheck\": false, \"SocketIOTimeout\": 1, \"LogLevel\": 8}");
  }

  void Service(const std::string &name, const std::string &extra = "") {
    daemon_.WriteService(name + ".json",
                         "{\"Name\": \"" + name +
                             "\", \"StartupType\": \"MANUAL\", \"StartCommand\": \"" + script_ +
                             "\"" + extra + "}");
  }

  void StartDaemon() {
    daemon_.Start();
    ASSERT_TRUE(daemon_.WaitForLog("Sentro service is running in")) << daemon_.LogText();
  }

  std::string SocketPath() const { return daemon_.dataDir() + "/sentroserver"; }

  CallTarget Target(int timeoutSec = 10) const {
    return CallTarget{SocketPath(), std::chrono::steady_clock::now() + seconds(timeoutSec)};
  }

  // A list request: the cheapest way to ask whether the daemon still serves.
  bool Serves() {
    RequestMessage list;
    list.type = MessageType::ListSvcsReq;
    std::vector<std::string> names;
    return CallForNames(Target(), list, &names).succeeded();
  }

  CallOutcome Call(MessageType type, const std::string &name = "") {
    RequestMessage request;
    request.type = type;
    request.name = name;
    return CallForResult(Target(), request);
  }

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

  int Connect() const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", SocketPath().c_str());
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
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

  SandboxDaemon daemon_;
  std::string script_;
};

TEST_F(ControlSocket, SocketFileBelongsToRootAndTheApiGroupWithMode0775) {
  WriteFile(SocketPath(), "stale");  // left by a previous run
  StartDaemon();
  struct stat st;
  ASSERT_EQ(stat(SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0775u);
  EXPECT_EQ(st.st_uid, 0u);
  struct passwd *api = getpwnam("sentroapi");
  ASSERT_NE(api, nullptr) << "the sentroapi user is created by scripts/install-deps.sh";
  EXPECT_EQ(st.st_gid, api->pw_gid);
  EXPECT_TRUE(Serves());
}

TEST_F(ControlSocket, EmptyRegistryListsAsTwentyFourBytes) {
  StartDaemon();
  std::vector<uint8_t> reply = RawExchange(Header(3, 0));
  std::vector<uint8_t> expected = {0x22, 0x14, 0, 0, 1, 0, 0, 0, 15, 0, 0, 0,
                                   8,    0,    0, 0, 0, 0, 0, 0, 0,  0, 0, 0};
  EXPECT_EQ(reply, expected);
}

TEST_F(ControlSocket, ListAndDependenciesComeInRegistryAndListOrder) {
  Service("zeta", ", \"DependsOn\": [\"beta\", \"alpha\"]");
  Service("alpha");
  Service("beta");
  StartDaemon();
  std::vector<std::string> names;
  RequestMessage list;
  list.type = MessageType::ListSvcsReq;
  ASSERT_TRUE(CallForNames(Target(), list, &names).succeeded());
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta", "zeta"}));

  RequestMessage deps;
  deps.type = MessageType::GetSvcDepsReq;
  deps.name = "zeta";
  names.clear();
  ASSERT_TRUE(CallForNames(Target(), deps, &names).succeeded());
  EXPECT_EQ(names, (std::vector<std::string>{"beta", "alpha"}));
}

TEST_F(ControlSocket, StartStatusAndStopOfOneService) {
  Service("web", ", \"RunAsUser\": \"\"");
  StartDaemon();
  ASSERT_EQ(Call(MessageType::StartSvcReq, "web").code, 0u);
  EXPECT_TRUE(daemon_.WaitForLog("Received start request for web\n"));
  EXPECT_TRUE(daemon_.WaitForLog("Client info Uid=0,Gid=0,Pid="));

  SvcStatePayload status;
  ASSERT_TRUE(CallForState(Target(), "web", &status).succeeded());
  EXPECT_EQ(status.name, "web");
  EXPECT_EQ(status.state, 2u);   // STARTED
  EXPECT_EQ(status.health, 2u);  // INITIALIZED: no health command
  EXPECT_NE(status.pid, 0u);
  EXPECT_EQ(status.runAsUser, "root");
  EXPECT_EQ(kill(static_cast<pid_t>(status.pid), 0), 0);

  EXPECT_EQ(Call(MessageType::StartSvcReq, "web").code, 0u);  // already running
  ASSERT_EQ(Call(MessageType::StopSvcReq, "web").code, 0u);
  ASSERT_TRUE(CallForState(Target(), "web", &status).succeeded());
  EXPECT_EQ(status.state, 3u);
  EXPECT_EQ(status.pid, 0u);
  EXPECT_FALSE(status.lastStopFailed);
}

TEST_F(ControlSocket, UnknownServicesAnswerCodeSix) {
  StartDaemon();
  EXPECT_EQ(Call(MessageType::StartSvcReq, "ghost").code, 6u);
  SvcStatePayload status;
  EXPECT_EQ(CallForState(Target(), "ghost", &status).code, 6u);
  LiveCorePayload core;
  CallForLiveCore(Target(), "ghost", &core);
  EXPECT_FALSE(core.succeeded);
  EXPECT_EQ(core.corePath, "");
  EXPECT_TRUE(daemon_.WaitForLog("Service ghost not found.\n"));
}

TEST_F(ControlSocket, InvalidHeadersAreAnsweredWithCodeEightWithoutReadingAPayload) {
  StartDaemon();
  const std::vector<uint8_t> codeEight = {0x22, 0x14, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 12, 0,
                                          0,    0,    8, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0,  0};
  EXPECT_EQ(RawExchange(Header(3, 4)), codeEight);   // list with a payload
  EXPECT_EQ(RawExchange(Header(9, 0)), codeEight);   // failover is not for this socket
  EXPECT_EQ(RawExchange(Header(15, 0)), codeEight);  // a reply type
  EXPECT_EQ(RawExchange(Header(99, 32)), codeEight);
  EXPECT_TRUE(daemon_.WaitForLog("Validation of request failed. Sending Error reply.\n"));
  EXPECT_TRUE(Serves());
}

TEST_F(ControlSocket, SilentAndTruncatedClientsAreDroppedAfterTheTimeout) {
  StartDaemon();
  int silent = Connect();
  ASSERT_GE(silent, 0);
  int truncated = Connect();
  ASSERT_GE(truncated, 0);
  std::vector<uint8_t> partial = Header(0, 32);
  partial.resize(partial.size() + 10, 'x');
  ASSERT_EQ(write(truncated, partial.data(), partial.size()), static_cast<ssize_t>(partial.size()));
  EXPECT_TRUE(daemon_.WaitForLog("Timer Callback fired in state 1\n", seconds(5)));
  EXPECT_TRUE(daemon_.WaitForLog("Timer Callback fired in state 2\n", seconds(5)));
  char byte;
  EXPECT_EQ(read(silent, &byte, 1), 0);  // closed by the daemon
  close(silent);
  close(truncated);
  EXPECT_TRUE(Serves());
}

TEST_F(ControlSocket, AClientThatDisconnectsMidHeaderIsCleanedUp) {
  StartDaemon();
  int fd = Connect();
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "\x22\x14", 2), 2);
  close(fd);
  EXPECT_TRUE(daemon_.WaitForLog("Error Callback fired with error Remote disconnected\n"));
  EXPECT_TRUE(Serves());
}

TEST_F(ControlSocket, AClientGoneDuringALongStartDoesNotHurtTheDaemon) {
  std::string health = daemon_.Root("health.sh");
  WriteFile(health, "#!/bin/sh\n[ -f \"" + daemon_.Root("ready") + "\" ] && exit 0\nexit 63\n");
  chmod(health.c_str(), 0755);
  Service("slow", ", \"ApiHealthCommand\": \"" + health + "\"");
  StartDaemon();
  RequestMessage start;
  start.type = MessageType::StartSvcReq;
  start.name = "slow";
  std::vector<uint8_t> bytes = EncodeRequest(start);
  int fd = Connect();
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ASSERT_TRUE(daemon_.WaitForLog("Received start request for slow\n"));
  close(fd);
  WriteFile(daemon_.Root("ready"), "");
  ASSERT_TRUE(daemon_.WaitForLog("<slow> Service STARTED successfully.\n", seconds(10)));
  EXPECT_TRUE(Serves());
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

TEST_F(ControlSocket, StartupTypeChangesArePersistedAndEnforced) {
  Service("web");
  StartDaemon();
  RequestMessage set;
  set.type = MessageType::SetSvcStateReq;
  set.name = "web";
  set.startupType = 2;  // DISABLED
  ASSERT_TRUE(CallForResult(Target(), set).succeeded());
  EXPECT_EQ(ReadFile(daemon_.configDir() + "/svcCfgfiles/.state_web.json"),
            "{\"StartupType\":\"DISABLED\"}");
  EXPECT_EQ(Call(MessageType::StartSvcReq, "web").code, 9u);
  set.startupType = 7;
  EXPECT_EQ(CallForResult(Target(), set).code, 6u);
}

TEST_F(ControlSocket, RecoveryProfileIsCheckedAndLoggedAfterTheReply) {
  StartDaemon();
  RequestMessage profile;
  profile.type = MessageType::SetRecoveryProfileReq;
  profile.recoveryProfile = 2;
  EXPECT_EQ(CallForResult(Target(), profile).code, 6u);
  profile.recoveryProfile = 1;
  EXPECT_TRUE(CallForResult(Target(), profile).succeeded());
  EXPECT_TRUE(daemon_.WaitForLog("Set recovery action profile to FAILOVER.\n"));
}

TEST_F(ControlSocket, AllServicesControlAndProfiles) {
  Service("web");
  StartDaemon();
  RequestMessage all;
  all.type = MessageType::AllSvcsControlReq;
  EXPECT_TRUE(CallForResult(Target(), all).succeeded());
  EXPECT_TRUE(daemon_.WaitForLog("Succeeded in performing control action on all services\n"));
  all.flags.saveCrashStats = true;
  all.flags.resetFailCounters = true;
  EXPECT_TRUE(CallForResult(Target(), all).succeeded());
  // Without the statistics directory the saves fail, and so does the request.
  std::filesystem::remove_all(daemon_.dataDir() + "/.svcStats");
  EXPECT_EQ(CallForResult(Target(), all).code, 4u);
  EXPECT_TRUE(daemon_.WaitForLog("Failed in performing control action on all services\n"));

  RequestMessage startProfile;
  startProfile.type = MessageType::StartProfileReq;
  startProfile.name = "NOSUCH";
  EXPECT_EQ(CallForResult(Target(), startProfile).code, 10u);
  startProfile.name = "ALL";
  EXPECT_TRUE(CallForResult(Target(), startProfile).succeeded());  // only manual services
}

TEST_F(ControlSocket, ManyConnectionsAtOnceDoNotStopTheServer) {
  StartDaemon();
  std::vector<int> clients;
  for (int i = 0; i < 2000; i++) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", SocketPath().c_str());
    connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
    clients.push_back(fd);
  }
  for (int fd : clients) {
    close(fd);
  }
  auto deadline = std::chrono::steady_clock::now() + seconds(10);
  bool served = false;
  while (!served && std::chrono::steady_clock::now() < deadline) {
    served = Serves();
  }
  EXPECT_TRUE(served);
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(), 0);
}

}  // namespace
