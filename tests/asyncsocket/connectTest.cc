#include "asyncsocket/SocketFixture.h"

namespace {

using ConnectTest = SocketFixture;

TEST_F(ConnectTest, ConnectedPairExchangesMessagesBothWays) {
  int error = -1;
  listener_ = AsyncSocket_ListenUnix(path_.c_str(), Owner::OnAccept, &server, &error);
  ASSERT_NE(listener_, nullptr);
  EXPECT_EQ(AsyncSocket_GetState(listener_), AsyncSocketListening);
  EXPECT_EQ(log.Count(Format("SOCKET creating new socket listening on %s\n", path_.c_str())), 1);
  EXPECT_EQ(log.Count(Format("SOCKET %u (%d) creating new listening socket on port 0\n",
                             AsyncSocket_GetID(listener_), AsyncSocket_GetFd(listener_))),
            1);

  Owner client;
  AsyncSocket *out = AsyncSocket_ConnectUnix(path_.c_str(), Owner::OnConnect, &client, &error);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(AsyncSocket_GetState(out), AsyncSocketConnecting);
  ASSERT_TRUE(RunUntil([&] { return client.connected && server.accepted; }));
  server_ = server.accepted;
  EXPECT_EQ(client.connected, out);
  EXPECT_EQ(AsyncSocket_GetState(out), AsyncSocketConnected);
  EXPECT_EQ(AsyncSocket_GetState(server_), AsyncSocketConnected);
  EXPECT_NE(AsyncSocket_GetID(out), AsyncSocket_GetID(server_));

  AsyncSocket_SetErrorHandler(server_, Owner::OnError, &server);
  AsyncSocket_SetErrorHandler(out, Owner::OnError, &client);
  ASSERT_EQ(AsyncSocket_Recv(server_, server.buf, 16, Owner::OnRecv, &server), 0);
  ASSERT_EQ(AsyncSocket_Recv(out, client.buf, 16, Owner::OnRecv, &client), 0);
  char request[] = "request---------";
  char reply[] = "reply-----------";
  ASSERT_EQ(AsyncSocket_Send(out, request, 16, Owner::OnSent, &client), 0);
  ASSERT_TRUE(RunUntil([&] { return !server.received.empty(); }));
  ASSERT_EQ(AsyncSocket_Send(server_, reply, 16, Owner::OnSent, &server), 0);
  ASSERT_TRUE(RunUntil([&] { return !client.received.empty(); }));
  EXPECT_EQ(server.received, std::vector<std::string>{request});
  EXPECT_EQ(client.received, std::vector<std::string>{reply});
  EXPECT_EQ(AsyncSocket_Close(out), 0);
  ASSERT_TRUE(RunUntil([&] { return !server.errors.empty(); }));
  EXPECT_EQ(server.errors, std::vector<int>{ASOCKERR_REMOTE_DISCONNECT});

  // The listener goes on accepting.
  server.accepted = nullptr;
  Owner second;
  AsyncSocket *again = AsyncSocket_ConnectUnix(path_.c_str(), Owner::OnConnect, &second, &error);
  ASSERT_TRUE(RunUntil([&] { return server.accepted != nullptr && second.connected; }));
  EXPECT_NE(server.accepted, server_);
  EXPECT_EQ(AsyncSocket_Close(again), 0);
  EXPECT_EQ(AsyncSocket_Close(server.accepted), 0);
}

TEST_F(ConnectTest, ClosingAConnectingSocketCancelsItsCompletion) {
  int error = -1;
  listener_ = AsyncSocket_ListenUnix(path_.c_str(), Owner::OnAccept, &server, &error);
  Owner client;
  AsyncSocket *out = AsyncSocket_ConnectUnix(path_.c_str(), Owner::OnConnect, &client, &error);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(AsyncSocket_Close(out), 0);
  RunFor(30);
  EXPECT_EQ(client.connected, nullptr);
  if (server.accepted != nullptr) {
    AsyncSocket_Close(server.accepted);
  }
}

TEST_F(ConnectTest, FailedConnectAndListenReportTheirErrorAndLogIt) {
  Owner client;
  int error = -1;
  auto connectError = [&](const std::string &path, AsyncSocketConnectFn fn) {
    EXPECT_EQ(AsyncSocket_ConnectUnix(path.c_str(), fn, &client, &error), nullptr) << path;
    return error;
  };
  auto listenError = [&](const std::string &path, AsyncSocketConnectFn fn) {
    EXPECT_EQ(AsyncSocket_ListenUnix(path.c_str(), fn, &server, &error), nullptr) << path;
    return error;
  };
  std::string tooLong(108, 'p');
  EXPECT_EQ(connectError(path_, Owner::OnConnect), ASOCKERR_CONNECT) << "nothing listens";
  EXPECT_EQ(log.Count(Format("SOCKET connect failed, error %d: %s\n", ENOENT, strerror(ENOENT))),
            1);
  EXPECT_EQ(connectError(std::string(107, 'p'), Owner::OnConnect), ASOCKERR_CONNECT)
      << "107 characters fit";
  EXPECT_EQ(connectError(tooLong, Owner::OnConnect), ASOCKERR_INVAL);
  EXPECT_EQ(listenError(tooLong, Owner::OnAccept), ASOCKERR_INVAL);
  EXPECT_EQ(log.Count(Format("SOCKET Path '%s' is too long for a unix domain socket!\n",
                             tooLong.c_str())),
            2);
  EXPECT_EQ(connectError(path_, nullptr), ASOCKERR_INVAL);
  EXPECT_EQ(log.Count("SOCKET invalid arguments to connect!\n"), 1);
  // The refusal comes after the bind, which leaves the socket file behind.
  std::string unaccepted = dir_ + "/unaccepted";
  EXPECT_EQ(listenError(unaccepted, nullptr), ASOCKERR_INVAL);
  EXPECT_EQ(log.Count("SOCKET invalid arguments to listen!\n"), 1);
  unlink(unaccepted.c_str());
  EXPECT_EQ(listenError(dir_ + "/missing/socket", Owner::OnAccept), ASOCKERR_BIND);

  listener_ = AsyncSocket_ListenUnix(path_.c_str(), Owner::OnAccept, &server, &error);
  ASSERT_NE(listener_, nullptr);
  EXPECT_EQ(listenError(path_, Owner::OnAccept), ASOCKERR_BINDADDRINUSE);
  EXPECT_EQ(log.Count(Format("SOCKET Could not bind socket, error %d: %s\n", EADDRINUSE,
                             strerror(EADDRINUSE))),
            1);
}

TEST_F(ConnectTest, OperationsWithoutASocketFail) {
  EXPECT_EQ(AsyncSocket_GetState(nullptr), ASOCKERR_INVAL);
  EXPECT_EQ(AsyncSocket_GetFd(nullptr), -1);
  EXPECT_EQ(AsyncSocket_Close(nullptr), ASOCKERR_INVAL);
  EXPECT_EQ(AsyncSocket_CancelRecv(nullptr), ASOCKERR_INVAL);
  EXPECT_EQ(AsyncSocket_CancelCallbacks(nullptr), ASOCKERR_INVAL);
  EXPECT_EQ(AsyncSocket_SetErrorHandler(nullptr, nullptr, nullptr), ASOCKERR_INVAL);
  char byte = 0;
  EXPECT_EQ(AsyncSocket_Send(nullptr, &byte, 1, nullptr, nullptr), ASOCKERR_INVAL);
  EXPECT_EQ(AsyncSocket_Recv(nullptr, &byte, 1, Owner::OnRecv, nullptr), ASOCKERR_INVAL);
}

}  // namespace
