#include <fcntl.h>

#include "asyncsocket/SocketFixture.h"

namespace {

using SendTest = SocketFixture;

std::string ClientReadAll(int fd, size_t want) {
  std::string got;
  char chunk[256];
  while (got.size() < want) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    got.append(chunk, n);
  }
  return got;
}

TEST_F(SendTest, QueuedSendsGoOutInOrderAndEachHandlerRunsOnceWithItsLength) {
  AsyncSocket *asock = AcceptPlainClient();
  char first[] = "first-";
  char second[] = "second-longer";
  ASSERT_EQ(AsyncSocket_Send(asock, first, 6, Owner::OnSent, &server), 0);
  ASSERT_EQ(AsyncSocket_Send(asock, second, 13, Owner::OnSent, &server), 0);
  ASSERT_TRUE(RunUntil([&] { return server.sent.size() == 2; }));
  RunFor(10);
  EXPECT_EQ(server.sent, (std::vector<int>{6, 13}));
  EXPECT_EQ(ClientReadAll(client_, 19), "first-second-longer");
}

TEST_F(SendTest, SendToAPeerThatHasGoneReportsRemoteDisconnect) {
  AsyncSocket *asock = AcceptPlainClient();
  close(client_);
  client_ = -1;
  char message[16] = "gone";
  ASSERT_EQ(AsyncSocket_Send(asock, message, 16, Owner::OnSent, &server), 0);
  ASSERT_TRUE(RunUntil([&] { return !server.errors.empty(); }));
  EXPECT_EQ(server.errors, std::vector<int>{ASOCKERR_REMOTE_DISCONNECT});
  EXPECT_TRUE(server.sent.empty());
  EXPECT_EQ(log.Count(Format("SOCKET %u (%d) send error %d: %s\n", AsyncSocket_GetID(asock),
                             AsyncSocket_GetFd(asock), EPIPE, strerror(EPIPE))),
            1);
}

// Fills the socket buffer: a peer that does not read leaves most of a large
// buffer queued.
constexpr int kLarge = 8 << 20;

TEST_F(SendTest, CancellingCallbacksTellsQueuedSendersWhatWasWritten) {
  AsyncSocket *asock = AcceptPlainClient();
  std::string large(kLarge, 'x');
  char small[16] = {};
  ASSERT_EQ(AsyncSocket_Send(asock, large.data(), kLarge, Owner::OnSent, &server), 0);
  ASSERT_EQ(AsyncSocket_Send(asock, small, 16, Owner::OnSent, &server), 0);
  RunFor(30);
  EXPECT_TRUE(server.sent.empty());
  EXPECT_EQ(AsyncSocket_CancelRecv(asock), ASOCKERR_INVAL) << "a send is pending";
  EXPECT_EQ(log.Count("SOCKET Can't cancel request as socket has send operation pending.\n"), 1);

  EXPECT_EQ(AsyncSocket_CancelCallbacks(asock), 0);
  ASSERT_EQ(server.sent.size(), 2u);
  EXPECT_GT(server.sent[0], 0);
  EXPECT_LT(server.sent[0], kLarge);
  EXPECT_EQ(server.sent[1], 0);
  EXPECT_EQ(AsyncSocket_GetState(asock), AsyncSocketCBCancelled);
  EXPECT_EQ(AsyncSocket_Send(asock, small, 16, Owner::OnSent, &server), ASOCKERR_NOTCONNECTED);
  EXPECT_EQ(AsyncSocket_CancelRecv(asock), ASOCKERR_INVAL);
  EXPECT_EQ(log.Count("SOCKET Failed to cancel request on disconnected socket!\n"), 1);
}

TEST_F(SendTest, ClosingFromTheSendHandlerCancelsTheNextSendAndIsLogged) {
  AsyncSocket *asock = AcceptPlainClient();
  uint32_t id = AsyncSocket_GetID(asock);
  server.closeInSend = true;
  char first[4] = {'a', 'b', 'c', 'd'};
  ASSERT_EQ(AsyncSocket_Send(asock, first, 4, Owner::OnSent, &server), 0);
  ASSERT_EQ(AsyncSocket_Send(asock, first, 4, Owner::OnSent, &server), 0);
  Forget();
  ASSERT_TRUE(RunUntil([&] { return !server.sent.empty(); }));
  EXPECT_EQ(server.sent, (std::vector<int>{4, 0}));
  EXPECT_EQ(log.Count(Format("SOCKET %u (%d) owner closed connection in send callback\n", id, -1)),
            1);
}

void Ignore(void *) {}

TEST_F(SendTest, FullEventTableRefusesReceiveAndSendWithPollError) {
  AsyncSocket *asock = AcceptPlainClient();
  // Descriptor numbers that are never opened fill the rest of the table; the
  // loop does not run again in this test.
  for (int fd = 100000; PollAddReader(Ignore, nullptr, fd, true) == POLL_OK; fd++) {
  }
  EXPECT_EQ(AsyncSocket_Recv(asock, server.buf, 16, Owner::OnRecv, &server), ASOCKERR_POLL);
  EXPECT_EQ(log.Count(Format("SOCKET %u (%d) failed to install recv callback!\n",
                             AsyncSocket_GetID(asock), AsyncSocket_GetFd(asock))),
            1);
  char message[16] = {};
  EXPECT_EQ(AsyncSocket_Send(asock, message, 16, Owner::OnSent, &server), ASOCKERR_POLL);
  EXPECT_TRUE(server.sent.empty()) << "the refused buffer is not queued";
  EXPECT_EQ(log.Count("POLL: reached limit of 4095 events in class 0\n"), 3);
}

}  // namespace
