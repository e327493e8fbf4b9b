#include "asyncsocket/SocketFixture.h"

namespace {

using ReceiveTest = SocketFixture;

const std::string kMessage = "0123456789abcdef";

TEST_F(ReceiveTest, MessageInChunksCompletesOnceAndTheNextLandsInTheSameBuffer) {
  AsyncSocket *asock = AcceptPlainClient();
  ASSERT_EQ(AsyncSocket_Recv(asock, server.buf, 16, Owner::OnRecv, &server), 0);
  for (int chunk = 0; chunk < 3; chunk++) {
    ClientWrite(kMessage.substr(chunk * 4, 4));
    RunFor(10);
    EXPECT_TRUE(server.received.empty()) << "after chunk " << chunk + 1;
  }
  // The last chunk and all of the next message in one write.
  ClientWrite(kMessage.substr(12, 4) + "FEDCBA9876543210");
  ASSERT_TRUE(RunUntil([&] { return server.received.size() == 2; }));
  RunFor(10);
  EXPECT_EQ(server.received, (std::vector<std::string>{kMessage, "FEDCBA9876543210"}));
  EXPECT_EQ(server.receivedInto, (std::vector<void *>{server.buf, server.buf}));
  EXPECT_TRUE(server.errors.empty());
  EXPECT_EQ(AsyncSocket_GetState(asock), AsyncSocketConnected);
}

TEST_F(ReceiveTest, PeerClosingMidMessageReportsOneRemoteDisconnectToAHandlerThatMayClose) {
  AsyncSocket *asock = AcceptPlainClient();
  std::string closedText = Format("SOCKET %u (%d) recv detected client closed connection\n",
                                  AsyncSocket_GetID(asock), AsyncSocket_GetFd(asock));
  server.closeOnError = true;
  ASSERT_EQ(AsyncSocket_Recv(asock, server.buf, 16, Owner::OnRecv, &server), 0);
  Forget();
  ClientWrite(kMessage.substr(0, 10));
  close(client_);
  client_ = -1;
  ASSERT_TRUE(RunUntil([&] { return !server.errors.empty(); }));
  RunFor(30);
  EXPECT_EQ(server.errors, std::vector<int>{ASOCKERR_REMOTE_DISCONNECT});
  EXPECT_TRUE(server.received.empty());
  EXPECT_EQ(log.Count(closedText), 1);
}

TEST_F(ReceiveTest, ClosingFromTheReceiveHandlerStopsDelivery) {
  AsyncSocket *asock = AcceptPlainClient();
  uint32_t id = AsyncSocket_GetID(asock);
  server.closeInRecv = true;
  ASSERT_EQ(AsyncSocket_Recv(asock, server.buf, 16, Owner::OnRecv, &server), 0);
  Forget();
  ClientWrite(kMessage + kMessage);
  ASSERT_TRUE(RunUntil([&] { return !server.received.empty(); }));
  RunFor(20);
  EXPECT_EQ(server.received.size(), 1u);
  EXPECT_EQ(log.Count(Format("SOCKET %u (%d) owner closed connection in recv callback\n", id, -1)),
            1);
  EXPECT_EQ(server.secondCloseResult, ASOCKERR_CLOSED);
  EXPECT_EQ(log.Count("AsyncTCPSocketClose() called on already closed asock!\n"), 1);
}

TEST_F(ReceiveTest, NewOrCancelledReceiveDropsAPartlyFilledOneAndLeavesLaterBytesQueued) {
  AsyncSocket *asock = AcceptPlainClient();
  ASSERT_EQ(AsyncSocket_Recv(asock, server.buf, 16, Owner::OnRecv, &server), 0);
  ClientWrite("abcd");
  RunFor(20);
  char other[8];
  ASSERT_EQ(AsyncSocket_Recv(asock, other, 8, Owner::OnRecv, &server), 0);
  EXPECT_EQ(log.Count(Format("SOCKET %u (%d) Recv called -- partially read buffer discarded.\n",
                             AsyncSocket_GetID(asock), AsyncSocket_GetFd(asock))),
            1);
  EXPECT_EQ(AsyncSocket_CancelRecv(asock), 0);
  ClientWrite("12345678");
  RunFor(30);
  EXPECT_TRUE(server.received.empty());
  ASSERT_EQ(AsyncSocket_Recv(asock, other, 8, Owner::OnRecv, &server), 0);
  ASSERT_TRUE(RunUntil([&] { return !server.received.empty(); }));
  EXPECT_EQ(server.received, std::vector<std::string>{"12345678"});
  EXPECT_EQ(server.receivedInto, std::vector<void *>{other});
}

TEST_F(ReceiveTest, ReceiveAndSendRefuseBadArgumentsAndUnconnectedSockets) {
  AsyncSocket *asock = AcceptPlainClient();
  AsyncSocket_SetErrorHandler(asock, nullptr, nullptr);
  EXPECT_EQ(AsyncSocket_Recv(asock, server.buf, 16, Owner::OnRecv, &server), ASOCKERR_INVAL);
  EXPECT_EQ(log.Count(Format("SOCKET %u (%d) AsyncTCPSocketRecv: no registered error handler!\n",
                             AsyncSocket_GetID(asock), AsyncSocket_GetFd(asock))),
            1);
  AsyncSocket_SetErrorHandler(asock, Owner::OnError, &server);
  EXPECT_EQ(AsyncSocket_Recv(asock, server.buf, 0, Owner::OnRecv, &server), ASOCKERR_INVAL);
  EXPECT_EQ(AsyncSocket_Recv(asock, nullptr, 16, Owner::OnRecv, &server), ASOCKERR_INVAL);
  EXPECT_EQ(log.Count("SOCKET Recv called with invalid arguments!\n"), 2);
  AsyncSocket_SetErrorHandler(listener_, Owner::OnError, &server);
  EXPECT_EQ(AsyncSocket_Recv(listener_, server.buf, 16, Owner::OnRecv, &server),
            ASOCKERR_NOTCONNECTED);

  EXPECT_EQ(AsyncSocket_Send(asock, nullptr, 4, nullptr, nullptr), ASOCKERR_INVAL);
  EXPECT_EQ(log.Count(Format("SOCKET Send called with invalid arguments!buffer: %p length: %d\n",
                             nullptr, 4)),
            1);
  char byte = 0;
  EXPECT_EQ(AsyncSocket_Send(asock, &byte, 0, nullptr, nullptr), ASOCKERR_INVAL);
  EXPECT_EQ(AsyncSocket_Send(listener_, &byte, 1, nullptr, nullptr), ASOCKERR_NOTCONNECTED);
  EXPECT_EQ(log.Count(Format("SOCKET %u (%d) send called but state is not connected!\n",
                             AsyncSocket_GetID(listener_), AsyncSocket_GetFd(listener_))),
            1);
}

}  // namespace
