// The failover client against a listener on a Unix socket, on the test clock.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/pollDefault/poll.h"
#include "src/control/FailoverClient.h"
#include "support/LogCapture.h"
#include "support/OneShotListener.h"
#include "support/TempDir.h"
#include "support/TestClock.h"

namespace {

void RecordDone(bool success, void *calls) {
  static_cast<std::vector<bool> *>(calls)->push_back(success);
}

TEST(FailoverClient, OnlyABareAcceptingHeaderSucceedsAndEveryOutcomeArrivesOnceOrNotAtAll) {
  const std::string kInvalid = "Validation of Response failed. Returning error...\n";
  struct Case {
    std::vector<uint8_t> reply;  // {} with hangUp: closes; {} without: stays silent
    bool hangUp, success;
    std::string error;  // logged at level 2, empty for none
  } cases[] = {
      {{0x22, 0x14, 0, 0, 1, 0, 0, 0, 15, 0, 0, 0, 0, 0, 0, 0}, false, true, ""},
      {{0x22, 0x14, 0, 0, 1, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0}, false, false, ""},  // a refusal
      {{0x22, 0x14, 0, 0, 1, 0, 0, 0, 15, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0}, false, false, kInvalid},
      {{0x22, 0x14, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}, false, false, kInvalid},
      {{}, true, false, "Error Callback fired with error Remote disconnected\n"},
      {{}, false, false, "Timer Callback fired in state 2 for request type 9\n"},
  };
  const std::vector<uint8_t> kRequest = {0x22, 0x14, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0};
  TempDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.error + std::to_string(c.reply.size()));
    TestClock clock;
    PollInstallDefault();
    LogCapture log;
    OneShotListener listener(dir.Sub("duolistener"), 16);
    listener.Serve([&c](int connection) {
      send(connection, c.reply.data(), c.reply.size(), MSG_NOSIGNAL);
      for (char byte; !c.hangUp && read(connection, &byte, 1) > 0;) continue;  // until closed
    });
    std::vector<bool> calls;
    ASSERT_TRUE(SendFailoverRequest(dir.Sub("duolistener"), RecordDone, &calls, 120));
    volatile uint8_t exitFlag = 0;
    for (int turn = 0; turn < 200 && calls.empty(); turn++) {
      PollRun(false, &exitFlag, POLL_CLASS_MAIN, 20000);
      if (listener.Request().size() == 16)
        clock.AdvanceMicros(10 * 1000000);  // twelve quiet turns reach the 120 s time-out
    }
    PollRun(false, &exitFlag, POLL_CLASS_MAIN, 0);  // the deferred clean-up
    PollShutdown();
    EXPECT_EQ(calls, std::vector<bool>{c.success});
    EXPECT_EQ(listener.Request(), kRequest);
    EXPECT_EQ(c.error.empty() || log.Has(2, c.error), true);
    EXPECT_EQ(log.Has(2, "Sending failure reply for HA Node Failover request\n"), !c.error.empty());
  }
  // Nothing listening: fails at once without calling done.
  LogCapture log;
  std::vector<bool> calls;
  EXPECT_FALSE(SendFailoverRequest(dir.Sub("duolistener"), RecordDone, &calls, 120));
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(log.Has(2, "Error in creating unix domain socket: Connection error\n"));
}

}  // namespace
