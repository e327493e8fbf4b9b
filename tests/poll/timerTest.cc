#include <mutex>

#include "poll/PollFixture.h"

using TimerTest = PollFixture;

static void RegisterTwoInTurn(void *) {
  PollAddTimer(PollFixture::Record, reinterpret_cast<void *>(4), 500, false, nullptr);
  PollAddTimer(PollFixture::Record, reinterpret_cast<void *>(5), 500, false, nullptr);
}

TEST_F(TimerTest, TimersFireInDeadlineOrderAndTiesInReverseOrderOfRegistration) {
  PollAddTimer(Record, Tag(3), 3000, false, nullptr);
  PollAddTimer(Record, Tag(1), 1000, false, nullptr);
  PollAddTimer(Record, Tag(2), 2000, false, nullptr);
  PollAddTimer(RegisterTwoInTurn, nullptr, 3000, false, nullptr);
  Advance(3000);
  Step();
  Advance(500);
  Step();
  EXPECT_EQ(fired, (std::vector<intptr_t>{1, 2, 3, 5, 4}));
}

TEST_F(TimerTest, OneShotTimerNeverFiresEarly) {
  PollAddTimer(Record, Tag(1), 1000, false, nullptr);
  Advance(999);
  Step();
  EXPECT_TRUE(fired.empty());
  Advance(1);
  Step();
  EXPECT_EQ(fired.size(), 1u);
  Advance(5000);
  Step();
  EXPECT_EQ(fired.size(), 1u) << "a one-shot timer fires once";
}

TEST_F(TimerTest, PeriodicTimerFiresUpToTwoMillisecondsEarlyAndRearmsFromTheWalk) {
  PollAddTimer(Record, Tag(1), 10000, true, nullptr);
  Advance(8500);  // 1.5 ms before the deadline
  Step();
  ASSERT_EQ(fired.size(), 1u);
  // The next deadline is 10 ms after this walk, not after the old deadline.
  Advance(7999);  // 2001 µs before it
  Step();
  EXPECT_EQ(fired.size(), 1u);
  Advance(1);  // exactly 2 ms before it
  Step();
  EXPECT_EQ(fired.size(), 2u);
}

TEST_F(TimerTest, PeriodicTimerShorterThanTheEarlyMarginFiresOncePerStep) {
  PollAddTimer(Record, Tag(1), 100, true, nullptr);
  for (size_t step = 1; step <= 3; step++) {
    Advance(100);
    Step();
    EXPECT_EQ(fired.size(), step);
  }
}

static void RegisterImmediate(void *) {
  PollAddTimer(PollFixture::Record, reinterpret_cast<void *>(2), 0, false, nullptr);
  PollFixture::Record(reinterpret_cast<void *>(1));
}

TEST_F(TimerTest, TimerWithDelayZeroRegisteredByACallbackRunsInTheSameStep) {
  PollAddTimer(RegisterImmediate, nullptr, 0, false, nullptr);
  Step();
  EXPECT_EQ(fired, (std::vector<intptr_t>{1, 2}));
}

static bool removedSelf;

// The client data, null or not, says whether the timer is periodic.
static void RemoveOwnTimer(void *periodic) {
  PollFixture::Record(periodic);
  removedSelf = PollRemoveTimer(RemoveOwnTimer, periodic, periodic != nullptr);
}

TEST_F(TimerTest, RunningTimerRemovingItselfFindsOnlyAPeriodicOneWhichThenStops) {
  removedSelf = true;
  PollAddTimer(RemoveOwnTimer, Tag(0), 0, false, nullptr);
  Step();
  EXPECT_FALSE(removedSelf) << "a running one-shot timer is already gone";
  PollAddTimer(RemoveOwnTimer, Tag(7), 1000, true, nullptr);
  Advance(1000);
  Step();
  EXPECT_TRUE(removedSelf);
  Advance(10000);
  Step();
  EXPECT_EQ(fired, (std::vector<intptr_t>{0, 7}));
}

TEST_F(TimerTest, RemovalMatchesFlagsFunctionAndDataExactly) {
  PollAddTimer(Record, Tag(1), 1000, true, nullptr);
  EXPECT_FALSE(PollRemoveTimer(Record, Tag(1), false));
  EXPECT_FALSE(PollRemoveTimer(Record, Tag(2), true));
  EXPECT_FALSE(PollRemoveCallback(POLL_CS_MAIN, POLL_FLAG_PERIODIC, Record, Tag(1), POLL_REALTIME))
      << "the wrappers' value 2 is part of the key";
  EXPECT_FALSE(PollRemoveCallback(POLL_CS_MAIN, 3, Record, Tag(1), POLL_DEVICE));
  EXPECT_TRUE(PollRemoveTimer(Record, Tag(1), true));
  EXPECT_FALSE(PollRemoveTimer(Record, Tag(1), true));
  Advance(5000);
  Step();
  EXPECT_TRUE(fired.empty());
}

TEST_F(TimerTest, TimerOfAnotherClassIsNotServed) {
  PollAddCallback(PollClassSet(1) << 5, POLL_FLAG_WRAPPER, Record, Tag(5), POLL_REALTIME, 0,
                  nullptr);
  PollAddTimer(Record, Tag(0), 0, false, nullptr);
  Step();
  EXPECT_EQ(fired, (std::vector<intptr_t>{0}));
  PollRun(false, &exitFlag, 5, 0);
  EXPECT_EQ(fired, (std::vector<intptr_t>{0, 5}));
}

static volatile uint8_t *exitFlagOfTest;

static void RequestExit(void *data) {
  PollFixture::Record(data);
  *exitFlagOfTest = 1;
}

TEST_F(TimerTest, ExitFlagEndsTheRunBeforeItStartsOrAfterTheStepsOtherDueCallbacks) {
  PollAddTimer(RequestExit, Tag(1), 100, false, nullptr);
  PollAddTimer(Record, Tag(2), 200, false, nullptr);
  PollAddTimer(Record, Tag(3), 60000000, false, nullptr);
  Advance(200);
  exitFlag = 1;
  PollRunMain(true, &exitFlag, POLL_CLASS_MAIN);
  EXPECT_TRUE(fired.empty());
  EXPECT_EQ(log.Count("Poll: Asked to return before even starting!\n"), 1);

  exitFlag = 0;
  exitFlagOfTest = &exitFlag;
  PollRun(true, &exitFlag, POLL_CLASS_MAIN, 1000000);  // returns without waiting
  EXPECT_EQ(fired, (std::vector<intptr_t>{1, 2}));
}

TEST_F(TimerTest, BusyRecordLockDelaysItsTimerAndBlocksLaterOnesOnlyUntilVeryLate) {
  std::mutex lock;
  BusyLock busy(lock);
  PollAddTimer(Record, Tag(1), 0, false, &lock);
  PollAddTimer(Record, Tag(2), 10, false, nullptr);
  Advance(2000000);
  for (int i = 0; i < 10; i++) {
    Step();
  }
  EXPECT_TRUE(fired.empty()) << "ten failures keep the walk at the busy timer";
  Step();
  EXPECT_EQ(fired, (std::vector<intptr_t>{2}));
  busy.Release();
  Step();
  EXPECT_EQ(fired, (std::vector<intptr_t>{2, 1}));
  EXPECT_TRUE(lock.try_lock()) << "the loop releases the record's lock after the call";
  lock.unlock();
}

static std::vector<int> pollTimeouts;

static int RecordTimeout(struct pollfd *, nfds_t, int timeoutMs) {
  pollTimeouts.push_back(timeoutMs);
  return 0;
}

class WaitTest : public PollFixture {
 protected:
  void SetUp() override {
    PollFixture::SetUp();
    pollTimeouts.clear();
    PollDefaultSetSystemCall(RecordTimeout);
  }
};

TEST_F(WaitTest, WaitIsOneSecondOrUntilTheNextTimerRoundedUpAndNoneWithAZeroMaximum) {
  PollAddTimer(Record, Tag(1), 1500, false, nullptr);
  Step();
  EXPECT_TRUE(pollTimeouts.empty()) << "a zero maximum wait never polls an empty table";
  PollRunMain(false, &exitFlag, POLL_CLASS_MAIN);
  PollRemoveTimer(Record, Tag(1), false);
  PollRunMain(false, &exitFlag, POLL_CLASS_MAIN);
  PollAddTimer(Record, Tag(1), 5000000, false, nullptr);
  PollRunMain(false, &exitFlag, POLL_CLASS_MAIN);
  EXPECT_EQ(pollTimeouts, (std::vector<int>{2, 1000, 1000}));
}

TEST_F(WaitTest, LateTimerWithAPersistentlyBusyLockBacksOff) {
  std::mutex lock;
  BusyLock busy(lock);
  PollAddTimer(Record, Tag(1), 0, false, &lock);
  Advance(5000);
  for (int run = 1; run <= 109; run++) {
    PollRunMain(false, &exitFlag, POLL_CLASS_MAIN);
  }
  EXPECT_TRUE(pollTimeouts.empty()) << "a late timer means no wait at all";
  PollRunMain(false, &exitFlag, POLL_CLASS_MAIN);  // the 110th failure
  PollRunMain(false, &exitFlag, POLL_CLASS_MAIN);  // within the back-off
  EXPECT_EQ(pollTimeouts, (std::vector<int>{1, 1}));
}
