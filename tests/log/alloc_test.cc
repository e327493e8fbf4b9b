// The common logging path must not touch the heap: messages up to 318 bytes
// delivered to an open file output. The test binary replaces the C allocator
// with a counting wrapper over glibc's own, which also covers operator new.
#include <atomic>

#include "logTestUtil.h"

#ifndef SENTRO_SANITIZE
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
}

static std::atomic<long> allocations{0};

extern "C" void *malloc(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
extern "C" void *realloc(void *pointer, size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(pointer, size);
}
#endif

namespace {

class LogAllocationTest : public LogTest {};

TEST_F(LogAllocationTest, LoggingToAnOpenFileAllocatesNothing) {
#ifdef SENTRO_SANITIZE
  GTEST_SKIP() << "the sanitizer owns the allocator";
#else
  LogOutput *output = NewFileOutput("alloc.log");
  ASSERT_NE(output, nullptr);
  ASSERT_TRUE(InstallOutput(output));
  Log("opening the file may allocate");
  std::string text(300, 'a');

  long before = allocations.load();
  for (int i = 0; i < 1000; ++i) {
    Log("message %d with a number\n", i);
    LogAtLevel(LOG_WARNING, "%s", text.c_str());
    LogAtLevel(LOG_INFO, "two\nlines %s", "here");
    LogAtLevel(LOG_DEBUG, "filtered out %d", i);
  }
  EXPECT_EQ(allocations.load() - before, 0);
  EXPECT_EQ(CountOccurrences(ReadFile(dir_.File("alloc.log")), text), 1000u);
  // The counter works: an allocation is seen.
  void *probe = malloc(16);
  EXPECT_GT(allocations.load(), before);
  free(probe);
#endif
}

}  // namespace
