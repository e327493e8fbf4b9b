// Proves that the steady state of the loop allocates nothing: a periodic timer
// fires and re-arms, a persistent reader fires, without touching the heap.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "poll/PollFixture.h"

#ifndef SENTRO_SANITIZE
static std::atomic<bool> countAllocations{false};
static std::atomic<long> allocations{0};

void *operator new(size_t size) {
  if (countAllocations.load(std::memory_order_relaxed)) {
    allocations++;
  }
  void *memory = malloc(size == 0 ? 1 : size);
  if (memory == nullptr) {
    throw std::bad_alloc();
  }
  return memory;
}
// The replacements pair with the operator new above; GCC cannot tell.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *memory) noexcept {
  free(memory);
}
void operator delete(void *memory, size_t) noexcept {
  free(memory);
}
#pragma GCC diagnostic pop
#endif

namespace {

using AllocationTest = PollFixture;

TEST_F(AllocationTest, FiringAndRearmingAPeriodicTimerAllocatesNothing) {
#ifdef SENTRO_SANITIZE
  GTEST_SKIP() << "the sanitizer runtime owns operator new";
#else
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  PollAddTimer(Record, Tag(1), 1000, true, nullptr);
  PollAddTimer(Record, Tag(2), 3000, true, nullptr);
  PollAddReader(Record, Tag(3), fds[0], true);
  fired.reserve(10000);
  Advance(1000);
  Step();  // the first wait sets up the thread's working memory

  allocations = 0;
  countAllocations = true;
  for (int i = 0; i < 1000; i++) {
    Advance(1000);
    Step();
  }
  countAllocations = false;
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_GT(fired.size(), 2000u);
  close(fds[0]);
  close(fds[1]);
#endif
}

}  // namespace
