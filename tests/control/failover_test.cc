// The failover client against a real listener on a Unix socket: which
// answers count as accepted, and that every failure reaches the caller once.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "lib/pollDefault/poll.h"
#include "src/control/FailoverClient.h"
#include "src/control/protocol/MessageHeader.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

// A listener thread: accepts one connection, reads the 16-byte request and
// then does whatever the test says.
class FakeDuoListener {
 public:
  explicit FakeDuoListener(const std::string &path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd_, 5), 0);
  }
  ~FakeDuoListener() {
    Join();
    close(fd_);
    unlink(path_.c_str());
  }

  void Serve(std::function<void(int connection)> answer) {
    thread_ = std::thread([this, answer] {
      int connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) {
        return;
      }
      uint8_t request[16];
      size_t got = 0;
      while (got < sizeof request) {
        ssize_t n = read(connection, request + got, sizeof request - got);
        if (n <= 0) {
          break;
        }
        got += static_cast<size_t>(n);
      }
      requestBytes = std::vector<uint8_t>(request, request + got);
      answer(connection);
      close(connection);
    });
  }

  void Join() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  std::vector<uint8_t> requestBytes;  // read it after Join()

 private:
  std::string path_;
  int fd_;
  std::thread thread_;
};

struct Outcome {
  int calls = 0;
  bool success = false;
};

void RecordDone(bool success, void *data) {
  auto *outcome = static_cast<Outcome *>(data);
  outcome->calls++;
  outcome->success = success;
}

void Reply(int connection, uint32_t type, uint32_t payloadLength) {
  uint8_t header[16];
  EncodeMessageHeader(MakeMessageHeader(static_cast<MessageType>(type), payloadLength), header);
  ASSERT_EQ(write(connection, header, sizeof header), 16);
}

class FailoverClient : public ::testing::Test {
 protected:
  void SetUp() override {
    PollInstallDefault();
    path_ = dir_.Sub("duolistener");
  }
  void TearDown() override { PollShutdown(); }

  // Runs the loop until done was called and the request cleaned up.
  void RunUntilDone(Outcome *outcome, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    volatile uint8_t exitFlag = 0;
    while (outcome->calls == 0 && std::chrono::steady_clock::now() < deadline) {
      PollRun(false, &exitFlag, POLL_CLASS_MAIN, 20000);
    }
    for (int i = 0; i < 5; i++) {
      PollRun(false, &exitFlag, POLL_CLASS_MAIN, 0);  // the deferred clean-up
    }
  }

  TempDir dir_;
  std::string path_;
  LogCapture log_;
};

TEST_F(FailoverClient, SuccessReplyAcceptsTheFailover) {
  FakeDuoListener listener(path_);
  listener.Serve([](int connection) { Reply(connection, 15, 0); });
  Outcome outcome;
  ASSERT_TRUE(SendFailoverRequest(path_, RecordDone, &outcome, 120));
  RunUntilDone(&outcome);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.success);
  EXPECT_TRUE(log_.Has(5, "Sending HA Node Failover Request\n"));
}

TEST_F(FailoverClient, TheRequestIsABareTypeNineHeader) {
  FakeDuoListener listener(path_);
  listener.Serve([](int connection) { Reply(connection, 15, 0); });
  Outcome outcome;
  ASSERT_TRUE(SendFailoverRequest(path_, RecordDone, &outcome, 120));
  RunUntilDone(&outcome);
  listener.Join();
  std::vector<uint8_t> expected = {0x22, 0x14, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(listener.requestBytes, expected);
}

TEST_F(FailoverClient, ErrorReplyRefusesWithoutAFailureMessage) {
  FakeDuoListener listener(path_);
  listener.Serve([](int connection) { Reply(connection, 16, 0); });
  Outcome outcome;
  ASSERT_TRUE(SendFailoverRequest(path_, RecordDone, &outcome, 120));
  RunUntilDone(&outcome);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.success);
  EXPECT_FALSE(log_.Has(2, "Sending failure reply for HA Node Failover request\n"));
}

TEST_F(FailoverClient, AReplyWithAPayloadFailsValidation) {
  FakeDuoListener listener(path_);
  listener.Serve([](int connection) {
    Reply(connection, 15, 4);
    // The client may already have dropped the connection over the header:
    // no SIGPIPE for the test.
    send(connection, "\0\0\0\0", 4, MSG_NOSIGNAL);
  });
  Outcome outcome;
  ASSERT_TRUE(SendFailoverRequest(path_, RecordDone, &outcome, 120));
  RunUntilDone(&outcome);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.success);
  EXPECT_TRUE(log_.Has(2, "Validation of Response failed. Returning error...\n"));
  EXPECT_TRUE(log_.Has(2, "Sending failure reply for HA Node Failover request\n"));
}

TEST_F(FailoverClient, AListenerThatClosesWithoutAnsweringFails) {
  FakeDuoListener listener(path_);
  listener.Serve([](int) {});
  Outcome outcome;
  ASSERT_TRUE(SendFailoverRequest(path_, RecordDone, &outcome, 120));
  RunUntilDone(&outcome);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.success);
  EXPECT_TRUE(log_.Has(2, "Error Callback fired with error Remote disconnected\n"));
}

TEST_F(FailoverClient, ASilentListenerTimesOut) {
  FakeDuoListener listener(path_);
  std::atomic<bool> release{false};
  listener.Serve([&release](int) {
    while (!release) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  Outcome outcome;
  ASSERT_TRUE(SendFailoverRequest(path_, RecordDone, &outcome, 1));
  RunUntilDone(&outcome, std::chrono::seconds(5));
  release = true;
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.success);
  EXPECT_TRUE(log_.Has(2, "Timer Callback fired in state 2 for request type 9\n"));
}

TEST_F(FailoverClient, NothingListeningFailsAtOnceWithoutCallingDone) {
  Outcome outcome;
  EXPECT_FALSE(SendFailoverRequest(path_, RecordDone, &outcome, 120));
  RunUntilDone(&outcome, std::chrono::milliseconds(100));
  EXPECT_EQ(outcome.calls, 0);
  EXPECT_TRUE(log_.Has(2, "Error in creating unix domain socket: Connection error\n"));
}

}  // namespace
