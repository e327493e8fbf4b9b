// A fresh event loop per test, on a clock the test advances by hand.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/log/clock.h"
#include "lib/pollDefault/poll.h"
#include "lib/pollDefault/pollDefault.h"
#include "poll/LogCapture.h"

class PollFixture : public testing::Test {
 public:
  static inline int64_t fakeNow = 0;
  static inline std::vector<intptr_t> fired;

  static int64_t FakeClock() { return fakeNow; }

  // A callback that records its client data, read as a tag.
  static void Record(void *tag) { fired.push_back(reinterpret_cast<intptr_t>(tag)); }
  static void *Tag(intptr_t tag) { return reinterpret_cast<void *>(tag); }

 protected:
  void SetUp() override {
    fakeNow = 5000000000;
    fired.clear();
    ClockSetMonotonicSource(FakeClock);
    PollInstallDefault();
  }

  void TearDown() override {
    PollShutdown();
    PollDefaultSetSystemCall(nullptr);
    ClockSetMonotonicSource(nullptr);
  }

  void Advance(int64_t us) { fakeNow += us; }

  // One pass of the loop that does not wait.
  void Step() { PollRun(false, &exitFlag, POLL_CLASS_MAIN, 0); }

  volatile uint8_t exitFlag = 0;
  LogCapture log;
};

// Holds a mutex from another thread, as a record's lock that the loop finds
// busy (try-locking a mutex the calling thread owns is not allowed).
class BusyLock {
 public:
  explicit BusyLock(std::mutex &lock)
      : holder_([this, &lock, released = release_.get_future()] {
          std::lock_guard<std::mutex> guard(lock);
          held_.set_value();
          released.wait();
        }) {
    held_.get_future().wait();
  }
  ~BusyLock() { Release(); }

  void Release() {
    if (holder_.joinable()) {
      release_.set_value();
      holder_.join();
    }
  }

 private:
  std::promise<void> held_;
  std::promise<void> release_;
  std::thread holder_;  // after the promises, which it uses
};
