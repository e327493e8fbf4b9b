// The event loop on the test clock: timer order and margins, registrations
// from inside callbacks and from other threads, descriptor callbacks, limits.
#include "lib/pollDefault/poll.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "lib/log/log.h"
#include "lib/pollDefault/pollDefault.h"
#include "support/LogCapture.h"
#include "support/TestClock.h"

namespace {

std::vector<intptr_t> fired;
void Record(void *tag) {
  fired.push_back(reinterpret_cast<intptr_t>(tag));
}
void *Tag(intptr_t tag) {
  return reinterpret_cast<void *>(tag);
}

class PollTest : public testing::Test {
 protected:
  void SetUp() override {
    fired.clear();
    PollInstallDefault();
    EXPECT_EQ(pipe2(pipe_, O_CLOEXEC | O_NONBLOCK), 0);
  }
  void TearDown() override {
    PollShutdown();
    PollDefaultSetSystemCall(nullptr);
    close(pipe_[0]);
    close(pipe_[1]);
  }
  void Step() { PollRun(false, &exitFlag_, POLL_CLASS_MAIN, 0); }
  void StepAfter(int64_t micros) {
    clock_.AdvanceMicros(micros);
    Step();
  }

  TestClock clock_;
  LogCapture log_;
  volatile uint8_t exitFlag_ = 0;
  int pipe_[2] = {-1, -1};
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
  EXPECT_EQ(fired, (std::vector<intptr_t>{1, 6, 3, 5, 4}));
}

// A callback that takes its time, then defers two pieces of work.
TestClock *walkClock = nullptr;
void SlowCallbackDefersTwo(void *) {
  walkClock->AdvanceMicros(300);
  PollAddTimer(Record, Tag(7), 0, false, nullptr);
  walkClock->AdvanceMicros(300);
  PollAddTimer(Record, Tag(8), 0, false, nullptr);
}

TEST_F(PollTest, ZeroDelayTimersAddedDuringAWalkRunInThatWalkInTheOrderAdded) {
  walkClock = &clock_;
  PollAddTimer(SlowCallbackDefersTwo, nullptr, 1000, false, nullptr);
  PollAddTimer(Record, Tag(9), 1000, false, nullptr);  // due in the same walk, added later
  StepAfter(1000);
  EXPECT_EQ(fired, (std::vector<intptr_t>{9, 7, 8}));
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
  EXPECT_FALSE(PollRemoveTimer(Record, Tag(1), false));
  EXPECT_FALSE(PollRemoveTimer(Record, Tag(2), true));
  EXPECT_FALSE(PollRemoveCallback(POLL_CS_MAIN, POLL_FLAG_PERIODIC, Record, Tag(1), POLL_REALTIME));
  EXPECT_TRUE(PollRemoveTimer(Record, Tag(1), true));
  PollAddTimer(RemoveOwnTimer, Tag(0), 0, false, nullptr);
  StepAfter(0);
  EXPECT_FALSE(removedSelf);
  PollAddTimer(RemoveOwnTimer, Tag(7), 1000, true, nullptr);
  StepAfter(1000);
  EXPECT_TRUE(removedSelf);
  StepAfter(10000);
  EXPECT_EQ(fired, (std::vector<intptr_t>{0, 7}));
}

volatile uint8_t *exitFlagOfTest;
void RequestExit(void *data) {
  Record(data);
  *exitFlagOfTest = 1;
}

TEST_F(PollTest, ExitFlagEndsTheRunBeforeItStartsOrAfterTheStepsOtherDueCallbacks) {
  PollAddTimer(RequestExit, Tag(1), 100, false, nullptr);
  PollAddTimer(Record, Tag(2), 200, false, nullptr);
  PollAddTimer(Record, Tag(3), 60000000, false, nullptr);
  clock_.AdvanceMicros(200);
  exitFlag_ = 1;
  PollRunMain(true, &exitFlag_, POLL_CLASS_MAIN);
  EXPECT_TRUE(log_.Has(LOG_INFO, "Poll: Asked to return before even starting!\n"));
  exitFlag_ = 0;
  exitFlagOfTest = &exitFlag_;
  PollRun(true, &exitFlag_, POLL_CLASS_MAIN, 1000000);  // returns without waiting
  EXPECT_EQ(fired, (std::vector<intptr_t>{1, 2}));
}

std::vector<int> pollTimeouts;
int RecordTimeout(struct pollfd *, nfds_t, int timeoutMs) {
  pollTimeouts.push_back(timeoutMs);
  return 0;
}

TEST_F(PollTest, WaitIsOneSecondOrUntilTheNextTimerRoundedUp) {
  pollTimeouts.clear();
  PollDefaultSetSystemCall(RecordTimeout);
  PollAddTimer(Record, Tag(1), 1500, false, nullptr);
  Step();  // a zero maximum wait never polls an empty table
  PollRunMain(false, &exitFlag_, POLL_CLASS_MAIN);
  PollRemoveTimer(Record, Tag(1), false);
  PollRunMain(false, &exitFlag_, POLL_CLASS_MAIN);
  EXPECT_EQ(pollTimeouts, (std::vector<int>{2, 1000}));
}

void RemoveSecondReader(void *data) {
  Record(data);
  PollRemoveReader(Record, Tag(2), true);
}

TEST_F(PollTest, ReadersAndWritersFireWhileReadyAndRemovedOnesNoLonger) {
  int other[2];
  ASSERT_EQ(pipe2(other, O_CLOEXEC), 0);
  ASSERT_EQ(write(pipe_[1], "x", 1) + write(other[1], "x", 1), 2);
  ASSERT_EQ(PollAddReader(RemoveSecondReader, Tag(1), pipe_[0], true), POLL_OK);
  ASSERT_EQ(PollAddReader(Record, Tag(2), other[0], true), POLL_OK);
  ASSERT_EQ(PollAddCallback(POLL_CS_MAIN, POLL_FLAG_WRITE, Record, Tag(3), POLL_DEVICE, pipe_[1],
                            nullptr),
            POLL_OK);
  Step();
  Step();  // the persistent reader again, the one-shot writer not
  EXPECT_EQ(fired, (std::vector<intptr_t>{1, 3, 1}));
  EXPECT_TRUE(PollRemoveReader(RemoveSecondReader, Tag(1), true));
  EXPECT_EQ(PollAddReader(Record, Tag(4), pipe_[0], false), POLL_OK);
  close(pipe_[1]);  // hang-up: a one-shot reader fires once
  pipe_[1] = -1;
  Step();
  Step();
  EXPECT_EQ(fired, (std::vector<intptr_t>{1, 3, 1, 4}));
  close(other[0]);
  close(other[1]);
}

TEST_F(PollTest, ClosedDescriptorIsReportedOnceAndItsCallbackDeleted) {
  int fd = pipe_[0];
  ASSERT_EQ(PollAddReader(Record, Tag(1), fd, true), POLL_OK);
  close(fd);  // behind the loop's back
  pipe_[0] = -1;
  Step();
  Step();
  EXPECT_TRUE(fired.empty());
  char line[200];
  snprintf(line, sizeof line,
           "POLL invalid fd %d events %#x revents %#x reader cbFn %p writer cbFn %p\n", fd, POLLIN,
           POLLNVAL, reinterpret_cast<void *>(Record), nullptr);
  EXPECT_TRUE(log_.Has(LOG_WARNING, line)) << log_.Text();
  EXPECT_EQ(log_.Messages().size(), 2u);  // and "POLL: deleting entry"
  EXPECT_FALSE(PollRemoveReader(Record, Tag(1), true));
}

TEST_F(PollTest, TableOfAClassHolds4095Descriptors) {
  constexpr int kFirstFd = 100000;  // never opened: the loop does not run here
  for (int i = 0; i < POLL_MAX_CLASS_ENTRIES; i++) {
    ASSERT_EQ(PollAddReader(Record, Tag(1), kFirstFd + i, true), POLL_OK) << i;
  }
  EXPECT_EQ(PollAddReader(Record, Tag(2), kFirstFd - 1, true), POLL_LIMIT_REACHED);
  EXPECT_TRUE(log_.Has(LOG_WARNING, "POLL: reached limit of 4095 events in class 0\n"));
  EXPECT_FALSE(PollRemoveReader(Record, Tag(2), true));
  EXPECT_TRUE(PollRemoveReader(Record, Tag(1), true));
  EXPECT_EQ(PollAddReader(Record, Tag(2), kFirstFd - 1, true), POLL_OK);
}

void SetExit(void *flag) {
  *static_cast<volatile uint8_t *>(flag) = 1;
}

// On the real clock: a registration from another thread cuts short a poll
// that would otherwise wait for five seconds.
TEST(PollWakeupTest, TimerRegisteredByAnotherThreadWakesAWaitingPoll) {
  PollInstallDefault();
  volatile uint8_t exitFlag = 0;
  auto start = std::chrono::steady_clock::now();
  std::thread other([&exitFlag] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PollAddTimer(SetExit, const_cast<uint8_t *>(&exitFlag), 0, false, nullptr);
  });
  PollRun(true, &exitFlag, POLL_CLASS_MAIN, 5000000);
  other.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  PollShutdown();
}

int FailWithEbadf(struct pollfd *, nfds_t, int) {
  errno = EBADF;
  return -1;
}

TEST(PollDeathTest, PollFailingWithEbadfDumpsTheTablesAndStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        LogShutdown();  // no output: the lines reach standard error at the stop
        PollInstallDefault();
        PollAddReader(Record, nullptr, STDIN_FILENO, true);
        PollDefaultSetSystemCall(FailWithEbadf);
        volatile uint8_t exitFlag = 0;
        PollRun(false, &exitFlag, POLL_CLASS_MAIN, 0);
      },
      "POLL fds 0: r-\nPOLL class 0\n"
      "POLL func 0x[0-9a-f]+\\(\\(nil\\)\\) flags 0x7 count 1 onQueue 1 handle 0 good\n"
      "VERIFY lib/pollDefault/pollDefault.cc:[0-9]+");  // named from the tree's top
}

}  // namespace
