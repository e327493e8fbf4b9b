#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "lib/log/clock.h"
#include "lib/pollDefault/poll.h"
#include "poll/LogCapture.h"

namespace {

// These tests wait on the real clock: a registration from another thread must
// cut short a poll that would otherwise sleep for seconds.
class WakeupTest : public testing::Test {
 protected:
  void SetUp() override { PollInstallDefault(); }
  void TearDown() override { PollShutdown(); }

  static void SetExit(void *flag) { *static_cast<volatile uint8_t *>(flag) = 1; }

  // Runs the loop with a five-second maximum wait until a callback sets the
  // exit flag, while `registration` runs on another thread 20 ms in.
  template <typename Fn>
  std::chrono::milliseconds RunWhileAnotherThreadRegisters(Fn registration) {
    auto start = std::chrono::steady_clock::now();
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      registration();
    });
    PollRun(true, &exitFlag, POLL_CLASS_MAIN, 5000000);
    other.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  }

  volatile uint8_t exitFlag = 0;
  LogCapture log;
};

TEST_F(WakeupTest, TimerOrReaderRegisteredByAnotherThreadWakesAWaitingPoll) {
  void *flag = const_cast<uint8_t *>(&exitFlag);
  auto elapsed =
      RunWhileAnotherThreadRegisters([flag] { PollAddTimer(SetExit, flag, 0, false, nullptr); });
  EXPECT_EQ(exitFlag, 1);
  EXPECT_LT(elapsed.count(), 1000);

  exitFlag = 0;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  elapsed = RunWhileAnotherThreadRegisters([&] { PollAddReader(SetExit, flag, fds[0], false); });
  EXPECT_EQ(exitFlag, 1);
  EXPECT_LT(elapsed.count(), 1000);
  close(fds[0]);
  close(fds[1]);
}

TEST_F(WakeupTest, ManyRegistrationsFromAnotherThreadAreAllServed) {
  static std::atomic<int> count{0};
  count = 0;
  auto bump = [](void *flag) {
    if (++count == 100) {
      *static_cast<volatile uint8_t *>(flag) = 1;
    }
  };
  auto elapsed = RunWhileAnotherThreadRegisters([&] {
    for (int i = 0; i < 100; i++) {
      PollAddTimer(bump, const_cast<uint8_t *>(&exitFlag), 0, false, nullptr);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  EXPECT_EQ(count.load(), 100);
  EXPECT_LT(elapsed.count(), 2000);
}

}  // namespace
