// How a message travels from a logging call to the outputs.
#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "lib/log/verify.h"
#include "logTestUtil.h"

#ifndef SENTRO_SANITIZE
// The binary counts calls into the C allocator, which operator new uses too.
extern "C" void *__libc_malloc(size_t size);
static std::atomic<long> allocations{0};
extern "C" void *malloc(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
#endif

namespace {

using Lines = std::vector<std::string>;
using LogDispatchTest = LogTest;

TEST_F(LogDispatchTest, EachOutputGetsTheLinesItsLevelAdmitsContinuationsMarked) {
  CaptureOutput *info = Capture(LOG_INFO);
  CaptureOutput *debug = Capture(LOG_DEBUG);
  LogAtLevel(LOG_DEBUG, "debug");
  LogAtLevel(LOG_WARNING, "one\ntwo");
  LogAtLevel(LOG_MAX_LEVEL + 7, "out of range is info");
  EXPECT_EQ(SetOutputLevel(info, LOG_LEVEL_NONE), LOG_INFO);
  Warning("blocked");
  LogAtLevel(LOG_AUDIT, "audit always passes");
  EXPECT_EQ(info->lines,
            (Lines{"one\n", "two\n", "out of range is info\n", "audit always passes\n"}));
  EXPECT_FALSE(info->headers[0].continuation);
  EXPECT_TRUE(info->headers[1].continuation);
  EXPECT_EQ(info->headers[2].level, LOG_INFO);
  EXPECT_EQ(debug->lines.size(), 6u);
}

// Logs "from inside" while writing "trigger": the nested message must wait.
struct ChattyOutput : CaptureOutput {
  void Write(const LogLineHeader &header, const char *text, size_t length) override {
    CaptureOutput::Write(header, text, length);
    if (std::string(text, length) == "trigger\n") {
      Log("from inside");
    }
  }
};

TEST_F(LogDispatchTest, EarlyMessagesWaitForTheFirstOutputAndAnOutputsOwnForTheNextMessage) {
  Warning("early");
  Log("one more");
  auto *chatty = new ChattyOutput;
  ASSERT_TRUE(InstallOutput(chatty));
  Log("trigger");
  Log("next");
  EXPECT_EQ(chatty->lines,
            (Lines{"early\n", "one more\n", "trigger\n", "from inside\n", "next\n"}));
  EXPECT_EQ(chatty->headers[0].level, LOG_WARNING);
}

TEST_F(LogDispatchTest, LongMessagesAreKeptWholeUpToTheSharedBufferThenCutOnACharacter) {
  CaptureOutput *capture = Capture();
  std::string exact(317, 'y'), longer(5000, 'x'), euros;
  while (euros.size() < 40000) {
    euros += "\xE2\x82\xAC";  // three bytes each: the cut must back off
  }
  for (int round = 0; round < 2; ++round) {  // the shared buffer comes back
    Log("%s", exact.c_str());
    Log("%s\n", longer.c_str());
    Log("%s", euros.c_str());
  }
  ASSERT_EQ(capture->lines.size(), 6u);
  EXPECT_EQ(capture->lines[3], exact + "\n");
  EXPECT_EQ(capture->lines[4], longer + "\n");
  const std::string &cut = capture->lines[5];
  EXPECT_GE(cut.size(), 32764u);
  EXPECT_EQ(cut, euros.substr(0, cut.size() - 1) + "\n");
  EXPECT_EQ((cut.size() - 1) % 3, 0u);  // whole characters only
}

// A thread that finds the shared buffer taken stays with its stack buffer and
// cuts its message, but no line ever holds parts of two messages.
TEST_F(LogDispatchTest, ConcurrentLoggersNeverMixTheirMessages) {
  CaptureOutput *capture = Capture();
  std::string big(2000, 'b');
  auto logger = [&big](char tag) {
    for (int i = 0; i < 200; ++i) {
      Log("%c%s%c", tag, big.c_str(), tag);
    }
  };
  std::thread a(logger, 'A'), b(logger, 'B');
  a.join();
  b.join();
  ASSERT_EQ(capture->lines.size(), 400u);
  for (const std::string &text : capture->lines) {
    bool whole = text.size() == big.size() + 3;
    ASSERT_TRUE(whole || text.size() == 318u) << text.size();
    EXPECT_EQ(text.find_first_not_of('b', 1), text.size() - (whole ? 2 : 1));
    EXPECT_TRUE(!whole || text.front() == text[text.size() - 2]);
  }
}

// Lines carry time, level designator and thread name after the header lines.
TEST_F(LogDispatchTest, LoggingToAnOpenFileAllocatesNothing) {
  LogDict options;
  for (const char *field : {"log.useTimeStamps", "log.useLevelDesignator", "log.useThreadName"}) {
    options.SetBool(field, true);
  }
  InstallFile("alloc.log", options);
  LogAtLevel(LOG_WARNING, "one\ntwo");  // opening the file may allocate
  std::string stamp = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z ";
  std::string me = " host-" + std::to_string(gettid()) + " ";
  std::regex expected(stamp + "In\\(05\\)" + me + "Log for .* pid=\\d+ .*\n(.*\n){3}" + stamp +
                      "In\\(05\\)" + me + "Host offset from UTC is [+-]\\d\\d:\\d\\d.\n" + stamp +
                      "Wa\\(03\\)" + me + "one\n" + stamp + "Wa\\(03\\)\\+" + me + "two\n");
  EXPECT_TRUE(std::regex_match(Read("alloc.log"), expected)) << Read("alloc.log");
#ifndef SENTRO_SANITIZE  // the sanitizer owns the allocator
  std::string text(300, 'a');
  long before = allocations.load();
  for (int i = 0; i < 1000; ++i) {
    LogAtLevel(LOG_WARNING, "%s", text.c_str());
    LogAtLevel(LOG_INFO, "two\nlines %d", i);
    LogAtLevel(LOG_DEBUG, "filtered out %d", i);
  }
  EXPECT_EQ(allocations.load() - before, 0);
  EXPECT_EQ(CountOccurrences(Read("alloc.log"), text), 1000u);
#endif
}

TEST(LogVerifyDeathTest, FailedAssertionsLogTheirWordAndLocationAndAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  VERIFY(2 + 2 == 4);
  // No output is installed: the line reaches standard error before the abort.
  EXPECT_DEATH(VERIFY(1 + 1 == 3), "VERIFY .*log_test\\.cc:[0-9]+");
  EXPECT_DEATH(NOT_REACHED(), "NOT_REACHED .*log_test\\.cc:[0-9]+");
  EXPECT_DEATH(NOT_IMPLEMENTED(), "NOT_IMPLEMENTED .*log_test\\.cc:[0-9]+");
}

}  // namespace
