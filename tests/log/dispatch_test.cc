// How a message travels from a logging call to the outputs.
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>

#include <thread>

#include "logTestUtil.h"

namespace {

class LogDispatchTest : public LogTest {};

TEST_F(LogDispatchTest, MessageGetsANewlineAndIsSplitIntoContinuationLines) {
  struct WholeOutput : CaptureOutput {
    bool TakesWholeMessages() const override { return true; }
  };
  CaptureOutput *lines = Capture();
  auto *whole = new WholeOutput;
  ASSERT_TRUE(InstallOutput(whole));
  Log("no newline");
  LogAtLevel(LOG_WARNING, "one\ntwo\nthree\n");
  ASSERT_EQ(lines->lines.size(), 4u);
  EXPECT_EQ(lines->lines[0].text, "no newline\n");
  EXPECT_EQ(lines->lines[0].header.level, LOG_INFO);
  const char *expected[] = {"one\n", "two\n", "three\n"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(lines->lines[1 + i].text, expected[i]);
    EXPECT_EQ(lines->lines[1 + i].header.level, LOG_WARNING);
    EXPECT_EQ(lines->lines[1 + i].header.continuation, i > 0);
  }
  // An output that takes whole messages gets one call per message.
  ASSERT_EQ(whole->lines.size(), 2u);
  EXPECT_EQ(whole->lines[1].text, "one\ntwo\nthree\n");
}

TEST_F(LogDispatchTest, EachOutputGetsWhatItsLevelAdmitsAndSetOutputLevelActsAtOnce) {
  CaptureOutput *info = Capture(LOG_INFO);
  CaptureOutput *debug = Capture(LOG_DEBUG);
  EXPECT_FALSE(InstallOutput(nullptr));
  EXPECT_FALSE(InstallOutput(info));  // already installed
  LogAtLevel(LOG_DEBUG, "debug message");
  LogAtLevel(LOG_ERROR, "error message");
  LogAtLevel(LOG_MAX_LEVEL + 7, "out of range is info");
  ASSERT_EQ(info->lines.size(), 2u);
  EXPECT_EQ(info->lines[0].text, "error message\n");
  EXPECT_EQ(info->lines[1].header.level, LOG_INFO);
  EXPECT_EQ(debug->lines.size(), 3u);

  info->lines.clear();
  EXPECT_EQ(SetOutputLevel(info, LOG_WARNING), LOG_INFO);
  Log("info is now filtered");
  Warning("warning passes");
  EXPECT_EQ(SetOutputLevel(info, -1), LOG_WARNING);
  Warning("nothing passes");
  LogAtLevel(LOG_AUDIT, "audit always passes");
  ASSERT_EQ(info->lines.size(), 2u);
  EXPECT_EQ(info->lines[0].text, "warning passes\n");
  EXPECT_EQ(info->lines[1].text, "audit always passes\n");
}

TEST_F(LogDispatchTest, LongMessagesAreKeptWholeUpToTheSharedBufferThenCutOnACharacter) {
  CaptureOutput *capture = Capture();
  std::string exact(317, 'y');  // fills the stack buffer with its newline
  Log("%s", exact.c_str());
  std::string longer(5000, 'x');
  Log("%s\n", longer.c_str());
  // Three-byte characters, so the cut must back off to a sequence start.
  std::string tooLong;
  while (tooLong.size() < 40000) {
    tooLong += "\xE2\x82\xAC";
  }
  LogAtLevel(LOG_INFO, "%s", tooLong.c_str());
  ASSERT_EQ(capture->lines.size(), 3u);
  EXPECT_EQ(capture->lines[0].text, exact + "\n");
  EXPECT_EQ(capture->lines[1].text, longer + "\n");
  const std::string &line = capture->lines[2].text;
  EXPECT_LE(line.size(), 32766u);
  EXPECT_GE(line.size(), 32763u);
  EXPECT_EQ((line.size() - 1) % 3, 0u);
  EXPECT_EQ(line, tooLong.substr(0, line.size() - 1) + "\n");
}

TEST_F(LogDispatchTest, EarlyMessagesWaitForTheFirstOutputAndAnOutputsOwnMessagesForTheNext) {
  struct ChattyOutput : CaptureOutput {
    void Write(const LogLineHeader &header, const char *text, size_t length) override {
      CaptureOutput::Write(header, text, length);
      if (std::string(text, length) == "trigger\n") {
        Log("from inside the output");
      }
    }
  };
  Log("early one");
  Warning("early two\nsecond line");
  errno = ENOENT;
  LogAtLevel(LOG_DEBUG, "above the default level, dropped");
  EXPECT_EQ(errno, ENOENT);  // logging keeps the caller's errno
  auto *chatty = new ChattyOutput;
  ASSERT_TRUE(InstallOutput(chatty));
  EXPECT_TRUE(chatty->lines.empty());
  errno = EACCES;
  Log("trigger");
  EXPECT_EQ(errno, EACCES);
  ASSERT_EQ(chatty->lines.size(), 4u);
  EXPECT_EQ(chatty->lines[0].text, "early one\n");
  EXPECT_EQ(chatty->lines[1].text, "early two\n");
  EXPECT_EQ(chatty->lines[1].header.level, LOG_WARNING);
  EXPECT_EQ(chatty->lines[2].text, "second line\n");
  EXPECT_TRUE(chatty->lines[2].header.continuation);
  EXPECT_EQ(chatty->lines[3].text, "trigger\n");
  Log("next");
  ASSERT_EQ(chatty->lines.size(), 6u);
  EXPECT_EQ(chatty->lines[4].text, "from inside the output\n");
  EXPECT_EQ(chatty->lines[5].text, "next\n");
}

TEST_F(LogDispatchTest, HeaderCarriesTheThreadNameAndTheProvidersOperationId) {
  CaptureOutput *capture = Capture();
  long tid = 0;
  std::thread worker([&tid] {
    tid = syscall(SYS_gettid);
    Log("from a worker");
    LogSetThreadName("worker-with-a-name-longer-than-31-characters");
    Log("named");
    LogSetThreadName("");
    Log("emptied");
  });
  worker.join();
  LogSetOpIdProvider([]() -> const char * { return "op-0123456789abcdef0123456789abcdef-tail"; });
  Log("with provider");
  LogSetOpIdProvider(nullptr);
  ASSERT_EQ(capture->lines.size(), 4u);
  EXPECT_EQ(std::string(capture->lines[0].header.threadName), "host-" + std::to_string(tid));
  EXPECT_EQ(std::string(capture->lines[1].header.threadName), "worker-with-a-name-longer-than-");
  EXPECT_EQ(std::string(capture->lines[2].header.threadName), "*UNKNOWN*");
  EXPECT_STREQ(capture->lines[0].header.opId, "");
  EXPECT_STREQ(capture->lines[3].header.opId, "op-0123456789abcdef0123456789abc");
}

// A thread that finds the shared buffer taken stays with its stack buffer, so
// a long message is then cut, but lines are never interleaved.
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
  for (const CapturedLine &line : capture->lines) {
    const std::string &text = line.text;
    ASSERT_TRUE(text.front() == 'A' || text.front() == 'B');
    if (text.size() == big.size() + 3) {
      EXPECT_EQ(text.front(), text[text.size() - 2]);
    } else {
      EXPECT_EQ(text.size(), 318u);
    }
    EXPECT_EQ(text.find_first_not_of('b', 1), text.size() - 2 + (text.size() == 318u ? 1 : 0));
  }
}

TEST_F(LogDispatchTest, StderrEchoFollowsTheFirstOutputAndIsIndependentOfDelivery) {
  auto *first = new CaptureOutput(LOG_WARNING);
  first->stderrLevel = LOG_TRIVIA;
  auto *second = new CaptureOutput(LOG_INFO);
  second->stderrLevel = LOG_MAX_LEVEL;  // not first: no say in the echo
  ASSERT_TRUE(InstallOutput(first));
  ASSERT_TRUE(InstallOutput(second));
  std::string path = dir_.File("stderr");
  fflush(stderr);
  int saved = dup(STDERR_FILENO);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  dup2(fd, STDERR_FILENO);
  close(fd);
  Warning("echoed warning\nsecond line");
  LogAtLevel(LOG_TRIVIA, "trivia to stderr only");
  LogAtLevel(LOG_DEBUG, "debug not echoed");
  LogAtLevel(LOG_AUDIT, "audit never echoed");
  dup2(saved, STDERR_FILENO);
  close(saved);
  EXPECT_EQ(ReadFile(path), "echoed warning\nsecond line\ntrivia to stderr only\n");
  EXPECT_EQ(first->lines.size(), 3u);  // the warning's two lines and the audit line
}

}  // namespace
