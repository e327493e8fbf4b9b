// The failover client against a real listener on a Unix socket: which
// answers count as accepted, and that every failure reaches the caller once.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "lib/log/clock.h"
#include "lib/pollDefault/poll.h"
#include "src/control/FailoverClient.h"
#include "src/protocol/MessageHeader.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

// A listener thread: accepts one connection, reads the 16-byte request, then
// answers as the test says and closes.
class FakeDuoListener {
 public:
  FakeDuoListener(const std::string &path, std::function<void(int)> answer) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd_, 5), 0);
    thread_ = std::thread([this, answer] {
      int connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) {
        return;
      }
      uint8_t request[16];
      ssize_t got = recv(connection, request, sizeof request, MSG_WAITALL);
      requestBytes.assign(request, request + std::max<ssize_t>(got, 0));
      answer(connection);
      close(connection);
    });
  }
  ~FakeDuoListener() {
    Join();
    close(fd_);
    unlink(path_.c_str());
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
  // The client may already have dropped the connection: no SIGPIPE.
  send(connection, header, sizeof header, MSG_NOSIGNAL);
  if (payloadLength > 0) {
    send(connection, "\0\0\0\0", 4, MSG_NOSIGNAL);
  }
}

// Waits until the client closes its end, at most 5 s of real time.
void StaySilent(int connection) {
  struct pollfd entry = {connection, POLLIN, 0};
  char byte;
  while (poll(&entry, 1, 5000) > 0 && read(connection, &byte, 1) > 0) {
  }
}

std::atomic<int64_t> clockOffsetMicros{0};

int64_t ShiftedClock() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::microseconds>(now).count() + clockOffsetMicros;
}

class FailoverClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ClockSetMonotonicSource(ShiftedClock);
    PollInstallDefault();
    path_ = dir_.Sub("duolistener");
  }
  void TearDown() override {
    PollShutdown();
    ClockSetMonotonicSource(nullptr);
  }

  // Runs the loop until done was called and the request cleaned up; the
  // loop's clock jumps clockStepMicros_ ahead on every turn.
  void RunUntilDone(Outcome *outcome, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    volatile uint8_t exitFlag = 0;
    while (outcome->calls == 0 && std::chrono::steady_clock::now() < deadline) {
      PollRun(false, &exitFlag, POLL_CLASS_MAIN, 20000);
      clockOffsetMicros += clockStepMicros_;
    }
    for (int i = 0; i < 5; i++) {
      PollRun(false, &exitFlag, POLL_CLASS_MAIN, 0);  // the deferred clean-up
    }
  }

  TempDir dir_;
  std::string path_;
  LogCapture log_;
  int64_t clockStepMicros_ = 0;
};

TEST_F(FailoverClient, EachAnswerEndsTheRequestWithOneOutcome) {
  const char *kFailureReply = "Sending failure reply for HA Node Failover request\n";
  struct Case {
    const char *name;
    std::function<void(int)> answer;
    bool success;
    const char *errorLogged;  // at level 2, null for none
    bool failureReplyLogged;
    bool silent;  // only then the loop's clock runs ahead to the time-out
  } cases[] = {
      {"success reply", [](int c) { Reply(c, 15, 0); }, true, nullptr, false, false},
      // A refusal is an answer, not a failure of the request.
      {"error reply", [](int c) { Reply(c, 16, 0); }, false, nullptr, false, false},
      {"reply with a payload", [](int c) { Reply(c, 15, 4); }, false,
       "Validation of Response failed. Returning error...\n", true, false},
      {"unknown reply type", [](int c) { Reply(c, 3, 0); }, false,
       "Validation of Response failed. Returning error...\n", true, false},
      {"closed without answering", [](int) {}, false,
       "Error Callback fired with error Remote disconnected\n", true, false},
      {"silent", StaySilent, false, "Timer Callback fired in state 2 for request type 9\n", true,
       true},
  };
  const std::vector<uint8_t> kRequest = {0x22, 0x14, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    FakeDuoListener listener(path_, c.answer);
    Outcome outcome;
    clockStepMicros_ = c.silent ? 200000 : 0;
    ASSERT_TRUE(SendFailoverRequest(path_, RecordDone, &outcome, c.silent ? 1 : 120));
    RunUntilDone(&outcome);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.success, c.success);
    listener.Join();
    EXPECT_EQ(listener.requestBytes, kRequest);  // a bare type-9 header
    EXPECT_TRUE(log_.Has(5, "Sending HA Node Failover Request\n"));
    if (c.errorLogged != nullptr) {
      EXPECT_TRUE(log_.Has(2, c.errorLogged));
    }
    EXPECT_EQ(log_.Has(2, kFailureReply), c.failureReplyLogged);
  }
}

TEST_F(FailoverClient, NothingListeningFailsAtOnceWithoutCallingDone) {
  Outcome outcome;
  EXPECT_FALSE(SendFailoverRequest(path_, RecordDone, &outcome, 120));
  RunUntilDone(&outcome, std::chrono::milliseconds(100));
  EXPECT_EQ(outcome.calls, 0);
  EXPECT_TRUE(log_.Has(2, "Error in creating unix domain socket: Connection error\n"));
}

}  // namespace
