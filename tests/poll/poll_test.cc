// The event loop on the test clock: timer order and margins, registrations
// from inside callbacks, descriptor callbacks.
#include "lib/pollDefault/poll.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "lib/log/log.h"
#include "lib/pollDefault/pollDefault.h"
#include "support/LogCapture.h"
#include "support/TestClock.h"

namespace {

using Fired = std::vector<intptr_t>;
Fired fired;
void Record(void *tag) {
  fired.push_back(reinterpret_cast<intptr_t>(tag));
}
const auto Tag = [](intptr_t tag) { return reinterpret_cast<void *>(tag); };
TestClock *theClock = nullptr;  // the running test's

class PollTest : public testing::Test {
 protected:
  void SetUp() override {
    fired.clear();
    theClock = &testClock_;
    PollInstallDefault();
  }
  void TearDown() override { PollShutdown(); }
  void StepAfter(int64_t micros) {
    theClock->AdvanceMicros(micros);
    PollRun(false, &exitFlag_, POLL_CLASS_MAIN, 0);
  }

  TestClock testClock_;
  volatile uint8_t exitFlag_ = 0;
  LogCapture log_;
};

// Registers two timers with the same deadline in turn, and one already due.
void RegisterFromCallback(void *) {
  PollAddTimer(Record, Tag(4), 500, false, nullptr);
  PollAddTimer(Record, Tag(5), 500, false, nullptr);
  PollAddTimer(Record, Tag(6), 0, false, nullptr);
}

TEST_F(PollTest, TimersFireInDeadlineOrderTiesLatestFirstAndDueOnesInTheSameStep) {
  PollAddTimer(Record, Tag(3), 3000, false, nullptr);
  PollAddTimer(Record, Tag(1), 1000, false, nullptr);
  PollAddTimer(RegisterFromCallback, nullptr, 2000, false, nullptr);
  StepAfter(999);  // a one-shot timer never fires early
  EXPECT_TRUE(fired.empty());
  StepAfter(2001);
  StepAfter(500);
  StepAfter(5000);
  EXPECT_EQ(fired, (Fired{1, 6, 3, 5, 4}));
}

// A callback that takes its time, then defers two pieces of work.
void SlowCallbackDefersTwo(void *) {
  theClock->AdvanceMicros(300);
  PollAddTimer(Record, Tag(7), 0, false, nullptr);
  theClock->AdvanceMicros(300);
  PollAddTimer(Record, Tag(8), 0, false, nullptr);
}

TEST_F(PollTest, ZeroDelayTimersAddedDuringAWalkRunInThatWalkInTheOrderAdded) {
  PollAddTimer(SlowCallbackDefersTwo, nullptr, 1000, false, nullptr);
  PollAddTimer(Record, Tag(9), 1000, false, nullptr);  // due in the same walk, added later
  StepAfter(1000);
  EXPECT_EQ(fired, (Fired{9, 7, 8}));
}

TEST_F(PollTest, PeriodicTimerFiresUpToTwoMillisecondsEarlyAndRearmsFromTheWalk) {
  PollAddTimer(Record, Tag(1), 10000, true, nullptr);
  StepAfter(8500);  // 1.5 ms before the deadline
  StepAfter(7999);  // 2001 µs before the next one, counted from the last walk
  EXPECT_EQ(fired.size(), 1u);
  StepAfter(1);
  EXPECT_EQ(fired.size(), 2u);
}

bool removedSelf;
void RemoveOwnTimer(void *periodic) {  // the data says whether it is periodic
  Record(periodic);
  removedSelf = PollRemoveTimer(RemoveOwnTimer, periodic, periodic != nullptr);
}

TEST_F(PollTest, RemovalMatchesExactlyAndARunningOneShotTimerIsAlreadyGone) {
  PollAddTimer(Record, Tag(1), 1000, true, nullptr);
  EXPECT_FALSE(PollRemoveTimer(Record, Tag(1), false) || PollRemoveTimer(Record, Tag(2), true));
  EXPECT_TRUE(PollRemoveTimer(Record, Tag(1), true));
  PollAddTimer(RemoveOwnTimer, Tag(0), 0, false, nullptr);
  StepAfter(0);
  EXPECT_FALSE(removedSelf);
  PollAddTimer(RemoveOwnTimer, Tag(7), 1000, true, nullptr);
  StepAfter(1000);
  EXPECT_TRUE(removedSelf);
  StepAfter(10000);
  EXPECT_EQ(fired, (Fired{0, 7}));
}

void RemoveSecondReader(void *data) {
  Record(data);
  PollRemoveReader(Record, Tag(2), true);
}

TEST_F(PollTest, DescriptorCallbacksFireWhileReadyUnlessOneShotOrRemovedOrClosed) {
  int a[2], b[2];
  ASSERT_EQ(pipe2(a, O_CLOEXEC) + pipe2(b, O_CLOEXEC), 0);
  ASSERT_EQ(write(a[1], "x", 1) + write(b[1], "x", 1), 2);
  ASSERT_EQ(PollAddReader(RemoveSecondReader, Tag(1), a[0], true), POLL_OK);
  ASSERT_EQ(PollAddReader(Record, Tag(2), b[0], true), POLL_OK);
  ASSERT_EQ(
      PollAddCallback(POLL_CS_MAIN, POLL_FLAG_WRITE, Record, Tag(3), POLL_DEVICE, a[1], nullptr),
      POLL_OK);
  StepAfter(0);
  StepAfter(0);  // the persistent reader again, the one-shot writer not
  EXPECT_TRUE(PollRemoveReader(RemoveSecondReader, Tag(1), true));
  EXPECT_EQ(PollAddReader(Record, Tag(4), a[0], false), POLL_OK);
  char byte;
  ASSERT_EQ(read(a[0], &byte, 1), 1);
  close(a[1]);  // hang-up alone: a one-shot reader fires once
  StepAfter(0);
  StepAfter(0);
  EXPECT_EQ(fired, (Fired{1, 3, 1, 4}));
  // A descriptor closed behind the loop's back is reported once and deleted.
  ASSERT_EQ(PollAddReader(Record, Tag(5), b[0], true), POLL_OK);
  close(b[0]);
  StepAfter(0);
  StepAfter(0);
  EXPECT_EQ(fired.size(), 4u);
  char line[200];
  snprintf(line, sizeof line,
           "POLL invalid fd %d events %#x revents %#x reader cbFn %p writer cbFn %p\n", b[0],
           POLLIN, POLLNVAL, reinterpret_cast<void *>(Record), nullptr);
  EXPECT_TRUE(log_.Has(LOG_WARNING, line)) << log_.Text();
  EXPECT_EQ(log_.Messages().size(), 2u);  // and "POLL: deleting entry"
  EXPECT_FALSE(PollRemoveReader(Record, Tag(5), true));
  close(a[0]);
  close(b[1]);
}

}  // namespace
