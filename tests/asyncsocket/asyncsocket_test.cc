// Unix-domain async sockets on the real event loop: exact-length receives,
// queued sends, error reports, and owners that close from their callbacks.
#include "lib/asyncsocket/asyncsocket.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "lib/log/log.h"
#include "lib/pollDefault/poll.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

// What the owner of one socket has seen; it closes from the callbacks named.
struct Owner {
  char buf[64] = {};
  std::vector<std::string> received;
  std::vector<int> errors, sent;
  bool closeInRecv = false, closeInSend = false;
  AsyncSocket *accepted = nullptr;

  static Owner &Of(void *data) { return *static_cast<Owner *>(data); }
  static void OnRecv(void *buf, int len, AsyncSocket *asock, void *data) {
    Of(data).received.emplace_back(static_cast<char *>(buf), len);
    if (Of(data).closeInRecv) AsyncSocket_Close(asock);
  }
  static void OnSent(void *, int len, AsyncSocket *asock, void *data) {
    Of(data).sent.push_back(len);
    if (Of(data).closeInSend) AsyncSocket_Close(asock);
  }
  static void OnError(int error, AsyncSocket *asock, void *data) {
    Of(data).errors.push_back(error);
    AsyncSocket_Close(asock);
  }
  static void OnAccept(AsyncSocket *asock, void *data) { Of(data).accepted = asock; }
};

class AsyncSocketTest : public testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    PollInstallDefault();
    int error = -1;
    listener_ = AsyncSocket_ListenUnix(path_.c_str(), Owner::OnAccept, &server_, &error);
    ASSERT_NE(listener_, nullptr);
    client_ = Connect();
    asock_ = server_.accepted;
    ASSERT_NE(asock_, nullptr);
    AsyncSocket_SetErrorHandler(asock_, Owner::OnError, &server_);
  }
  void TearDown() override {
    AsyncSocket_Close(listener_);
    close(client_);
    PollShutdown();
  }

  // Connects a plain blocking client and runs the loop until it is accepted.
  int Connect() {
    server_.accepted = nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {AF_UNIX, {}};
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_TRUE(RunUntil([&] { return server_.accepted != nullptr; }));
    return fd;
  }
  // Runs the loop in steps of at most 10 ms until `done` holds.
  bool RunUntil(const std::function<bool()> &done, int timeoutMs = 2000) {
    auto step = [&] {
      PollRun(false, &exitFlag_, POLL_CLASS_MAIN, 10000);
      return done();
    };
    return WaitUntil(step, std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(0));
  }
  void RunFor(int ms) {
    RunUntil([] { return false; }, ms);
  }
  void ClientWrite(const std::string &bytes) {
    ASSERT_EQ(write(client_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // A line the socket logs about itself, taken while it is open; once
  // closed, it names no descriptor.
  static std::string Line(AsyncSocket *asock, const std::string &what, bool closed = false) {
    return "SOCKET " + std::to_string(AsyncSocket_GetID(asock)) + " (" +
           std::to_string(closed ? -1 : AsyncSocket_GetFd(asock)) + ") " + what + "\n";
  }

  TempDir dir_;
  std::string path_ = dir_.File("server");
  Owner server_;
  AsyncSocket *listener_ = nullptr;
  AsyncSocket *asock_ = nullptr;
  int client_ = -1;
  volatile uint8_t exitFlag_ = 0;
  LogCapture log_;
};

TEST_F(AsyncSocketTest, MessagesCompleteWholeAndAPeerClosingMidMessageIsOneRemoteDisconnect) {
  ASSERT_EQ(AsyncSocket_Recv(asock_, server_.buf, 16, Owner::OnRecv, &server_), 0);
  std::string line = Line(asock_, "recv detected client closed connection");
  for (const char *chunk : {"0123", "4567", "89ab"}) {
    ClientWrite(chunk);
    RunFor(5);
  }
  EXPECT_TRUE(server_.received.empty());
  ClientWrite("cdefFEDCBA9876543210");  // the last chunk and all of the next message
  ASSERT_TRUE(RunUntil([&] { return server_.received.size() == 2; }));
  EXPECT_EQ(server_.received, (std::vector<std::string>{"0123456789abcdef", "FEDCBA9876543210"}));
  ClientWrite("0123456789");
  RunFor(20);
  close(client_);
  client_ = -1;
  ASSERT_TRUE(RunUntil([&] { return !server_.errors.empty(); }));
  RunFor(20);
  EXPECT_EQ(server_.errors, std::vector<int>{ASOCKERR_REMOTE_DISCONNECT});
  EXPECT_EQ(server_.received.size(), 2u);
  EXPECT_TRUE(log_.Has(LOG_INFO, line));
}

TEST_F(AsyncSocketTest, OwnerClosingFromItsReceiveOrSendHandlerStopsFurtherDelivery) {
  server_.closeInRecv = true;
  ASSERT_EQ(AsyncSocket_Recv(asock_, server_.buf, 16, Owner::OnRecv, &server_), 0);
  std::string inRecv = Line(asock_, "owner closed connection in recv callback", true);
  ClientWrite(std::string(32, 'r'));
  ASSERT_TRUE(RunUntil([&] { return !server_.received.empty(); }));
  EXPECT_EQ(server_.received.size(), 1u);
  EXPECT_TRUE(log_.Has(LOG_INFO, inRecv));

  int second = Connect();  // a second connection, closed from its send handler
  Owner sender;
  sender.closeInSend = true;
  char bytes[4] = {'a', 'b', 'c', 'd'};
  ASSERT_EQ(AsyncSocket_Send(server_.accepted, bytes, 4, Owner::OnSent, &sender), 0);
  ASSERT_EQ(AsyncSocket_Send(server_.accepted, bytes, 4, Owner::OnSent, &sender), 0);
  std::string inSend = Line(server_.accepted, "owner closed connection in send callback", true);
  ASSERT_TRUE(RunUntil([&] { return !sender.sent.empty(); }));
  EXPECT_EQ(sender.sent, (std::vector<int>{4, 0}));  // the queued one is told it was cancelled
  EXPECT_TRUE(log_.Has(LOG_INFO, inSend));
  close(second);
}

TEST_F(AsyncSocketTest, FailedConnectAndListenReportTheirCodesAndUnknownCodesWarn) {
  const struct {
    bool listen;
    std::string path;
    int error;
  } cases[] = {
      {false, dir_.File("nobody"), ASOCKERR_CONNECT},
      {false, std::string(107, 'p'), ASOCKERR_CONNECT},  // 107 characters fit
      {false, std::string(108, 'p'), ASOCKERR_INVAL},
      {true, std::string(108, 'p'), ASOCKERR_INVAL},
      {true, dir_.File("missing/socket"), ASOCKERR_BIND},
      {true, path_, ASOCKERR_BINDADDRINUSE},
  };
  for (const auto &c : cases) {
    int error = -1;
    auto open = c.listen ? AsyncSocket_ListenUnix : AsyncSocket_ConnectUnix;
    EXPECT_EQ(open(c.path.c_str(), Owner::OnAccept, &server_, &error), nullptr) << c.path;
    EXPECT_EQ(error, c.error) << c.path;
  }
  AsyncSocket_Close(asock_);
  EXPECT_STREQ(AsyncSocket_ErrorText(11), "Socket bind address already in use");
  EXPECT_STREQ(AsyncSocket_ErrorText(7), "Unknown error");   // no text
  EXPECT_STREQ(AsyncSocket_ErrorText(22), "Unknown error");  // past the last
  EXPECT_TRUE(log_.Has(LOG_WARNING, "AsyncSocket_MsgError was passed bad code 7\n"));
}

}  // namespace
