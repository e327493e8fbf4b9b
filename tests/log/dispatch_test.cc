// How a message travels from a logging call to the outputs.
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>

#include <atomic>
#include <thread>

#include "logTestUtil.h"

namespace {

class LogDispatchTest : public LogTest {};

TEST_F(LogDispatchTest, MessageWithoutNewlineGetsOne) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  Log("no newline");
  ASSERT_EQ(capture->lines.size(), 1u);
  EXPECT_EQ(capture->lines[0].text, "no newline\n");
  EXPECT_EQ(capture->lines[0].header.level, LOG_INFO);
}

TEST_F(LogDispatchTest, MultiLineMessageIsSplitWithContinuationMarks) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  LogAtLevel(LOG_INFO, "one\ntwo\nthree\n");
  ASSERT_EQ(capture->lines.size(), 3u);
  EXPECT_EQ(capture->lines[0].text, "one\n");
  EXPECT_FALSE(capture->lines[0].header.continuation);
  EXPECT_EQ(capture->lines[1].text, "two\n");
  EXPECT_TRUE(capture->lines[1].header.continuation);
  EXPECT_EQ(capture->lines[2].text, "three\n");
  EXPECT_TRUE(capture->lines[2].header.continuation);
}

TEST_F(LogDispatchTest, OutputTakingWholeMessagesGetsOneCall) {
  struct WholeOutput : CaptureOutput {
    bool TakesWholeMessages() const override { return true; }
  };
  auto *whole = new WholeOutput;
  ASSERT_TRUE(InstallOutput(whole));
  Log("a\nb");
  ASSERT_EQ(whole->lines.size(), 1u);
  EXPECT_EQ(whole->lines[0].text, "a\nb\n");
}

TEST_F(LogDispatchTest, LevelsGovernDeliveryPerOutput) {
  auto *info = new CaptureOutput(LOG_INFO);
  auto *debug = new CaptureOutput(LOG_DEBUG);
  ASSERT_TRUE(InstallOutput(info));
  ASSERT_TRUE(InstallOutput(debug));
  LogAtLevel(LOG_DEBUG, "debug message");
  LogAtLevel(LOG_ERROR, "error message");
  LogAtLevel(LOG_MAX_LEVEL + 7, "out of range is info");
  ASSERT_EQ(info->lines.size(), 2u);
  EXPECT_EQ(info->lines[0].text, "error message\n");
  EXPECT_EQ(info->lines[1].header.level, LOG_INFO);
  EXPECT_EQ(debug->lines.size(), 3u);
}

TEST_F(LogDispatchTest, SetOutputLevelReturnsThePreviousLevelAndFiltersAtOnce) {
  auto *capture = new CaptureOutput(LOG_INFO);
  ASSERT_TRUE(InstallOutput(capture));
  EXPECT_EQ(SetOutputLevel(capture, LOG_WARNING), LOG_INFO);
  Log("info is now filtered");
  Warning("warning passes");
  EXPECT_EQ(SetOutputLevel(capture, -1), LOG_WARNING);
  Warning("nothing passes");
  LogAtLevel(LOG_AUDIT, "audit always passes");
  ASSERT_EQ(capture->lines.size(), 2u);
  EXPECT_EQ(capture->lines[0].text, "warning passes\n");
  EXPECT_EQ(capture->lines[1].text, "audit always passes\n");
}

TEST_F(LogDispatchTest, InstallRefusesNullAndDuplicates) {
  auto *capture = new CaptureOutput;
  EXPECT_FALSE(InstallOutput(nullptr));
  EXPECT_TRUE(InstallOutput(capture));
  EXPECT_FALSE(InstallOutput(capture));
}

TEST_F(LogDispatchTest, LongMessageIsCutOnACharacterBoundaryAndEndsWithNewline) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  // Three-byte characters, so the cut must back off to a sequence start.
  std::string text;
  while (text.size() < 40000) {
    text += "\xE2\x82\xAC";
  }
  LogAtLevel(LOG_INFO, "%s", text.c_str());
  ASSERT_EQ(capture->lines.size(), 1u);
  const std::string &line = capture->lines[0].text;
  EXPECT_LE(line.size(), 32766u);
  EXPECT_GE(line.size(), 32763u);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ((line.size() - 1) % 3, 0u);
  EXPECT_EQ(line.substr(0, line.size() - 1), text.substr(0, line.size() - 1));
}

TEST_F(LogDispatchTest, MessageLongerThanTheStackBufferIsKeptWhole) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  std::string text(5000, 'x');
  Log("%s\n", text.c_str());
  ASSERT_EQ(capture->lines.size(), 1u);
  EXPECT_EQ(capture->lines[0].text, text + "\n");
  // A message that exactly fills the stack buffer with its newline.
  std::string exact(317, 'y');
  Log("%s", exact.c_str());
  EXPECT_EQ(capture->lines[1].text, exact + "\n");
}

TEST_F(LogDispatchTest, LoggingKeepsTheCallersErrno) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  errno = EACCES;
  Log("message %d", 1);
  EXPECT_EQ(errno, EACCES);
  errno = ENOENT;
  LogAtLevel(LOG_MAX_LEVEL, "filtered");
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(LogDispatchTest, MessagesBeforeTheFirstOutputWaitInTheEarlyRing) {
  Log("early one");
  Warning("early two\nsecond line");
  LogAtLevel(LOG_DEBUG, "above the default level, dropped");
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  EXPECT_TRUE(capture->lines.empty());
  Log("first after install");
  ASSERT_EQ(capture->lines.size(), 4u);
  EXPECT_EQ(capture->lines[0].text, "early one\n");
  EXPECT_EQ(capture->lines[1].text, "early two\n");
  EXPECT_EQ(capture->lines[1].header.level, LOG_WARNING);
  EXPECT_EQ(capture->lines[2].text, "second line\n");
  EXPECT_TRUE(capture->lines[2].header.continuation);
  EXPECT_EQ(capture->lines[3].text, "first after install\n");
}

TEST_F(LogDispatchTest, OutputThatLogsFromItsOwnWriteDefersThatMessage) {
  struct ChattyOutput : CaptureOutput {
    void Write(const LogLineHeader &header, const char *text, size_t length) override {
      CaptureOutput::Write(header, text, length);
      if (std::string(text, length) == "trigger\n") {
        Log("from inside the output");
      }
    }
  };
  auto *chatty = new ChattyOutput;
  ASSERT_TRUE(InstallOutput(chatty));
  Log("trigger");
  ASSERT_EQ(chatty->lines.size(), 1u);
  Log("next");
  ASSERT_EQ(chatty->lines.size(), 3u);
  EXPECT_EQ(chatty->lines[1].text, "from inside the output\n");
  EXPECT_EQ(chatty->lines[2].text, "next\n");
}

TEST_F(LogDispatchTest, UnnamedThreadIsNamedAfterItsKernelThreadId) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
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
  ASSERT_EQ(capture->lines.size(), 3u);
  EXPECT_EQ(std::string(capture->lines[0].header.threadName), "host-" + std::to_string(tid));
  EXPECT_EQ(std::string(capture->lines[1].header.threadName), "worker-with-a-name-longer-than-");
  EXPECT_EQ(std::string(capture->lines[2].header.threadName), "*UNKNOWN*");
}

TEST_F(LogDispatchTest, OperationIdComesFromTheInstalledProvider) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  Log("no provider");
  LogSetOpIdProvider([]() -> const char * { return "op-0123456789abcdef0123456789abcdef-tail"; });
  Log("with provider");
  LogSetOpIdProvider(nullptr);
  EXPECT_STREQ(capture->lines[0].header.opId, "");
  EXPECT_STREQ(capture->lines[1].header.opId, "op-0123456789abcdef0123456789abc");
}

// A thread that finds the shared buffer taken stays with its stack buffer, so
// a long message is then cut, but lines are never interleaved.
TEST_F(LogDispatchTest, ConcurrentLoggersNeverMixTheirMessages) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
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

// Redirects standard error to a file for the life of the object.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string &path) : path_(path) {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrCapture() { Restore(); }
  std::string Finish() {
    Restore();
    return ReadFile(path_);
  }

 private:
  void Restore() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
  }
  std::string path_;
  int saved_ = -1;
};

TEST_F(LogDispatchTest, StderrEchoFollowsTheFirstOutputsStderrLevel) {
  auto *first = new CaptureOutput(LOG_INFO);
  first->stderrLevel = LOG_WARNING;
  auto *second = new CaptureOutput(LOG_INFO);
  second->stderrLevel = LOG_MAX_LEVEL;
  ASSERT_TRUE(InstallOutput(first));
  ASSERT_TRUE(InstallOutput(second));
  StderrCapture echo(dir_.File("stderr"));
  Warning("echoed warning\nsecond line");
  Log("info not echoed");
  LogAtLevel(LOG_AUDIT, "audit never echoed");
  std::string echoed = echo.Finish();
  EXPECT_EQ(echoed, "echoed warning\nsecond line\n");
  EXPECT_EQ(first->lines.size(), 4u);
}

TEST_F(LogDispatchTest, MessagesOnlyForStderrAreEchoedButNotDelivered) {
  auto *capture = new CaptureOutput(LOG_WARNING);
  capture->stderrLevel = LOG_DEBUG;
  ASSERT_TRUE(InstallOutput(capture));
  StderrCapture echo(dir_.File("stderr"));
  LogAtLevel(LOG_DEBUG, "debug to stderr only");
  EXPECT_EQ(echo.Finish(), "debug to stderr only\n");
  EXPECT_TRUE(capture->lines.empty());
}

}  // namespace
