// The file output against real files: format, header, opening rules,
// rotation, throttling and write errors.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include "logTestUtil.h"

namespace {

// True when `text` has the shape of `pattern`, where '#' stands for a digit.
bool HasShape(const std::string &text, const std::string &pattern) {
  if (text.size() != pattern.size()) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == '#' ? !digit : text[i] != pattern[i]) {
      return false;
    }
  }
  return true;
}

const char stampShape[] = "####-##-##T##:##:##.###Z";

class LogFileOutputTest : public LogTest {
 protected:
  // Installs a file output on `name` with a capture output beside it, so the
  // output's own warnings can be seen.
  void Install(const std::string &name, LogDict options = LogDict()) {
    capture_ = new CaptureOutput;
    ASSERT_TRUE(InstallOutput(capture_));
    output_ = NewFileOutput(name, options);
    ASSERT_NE(output_, nullptr);
    ASSERT_TRUE(InstallOutput(output_));
  }

  // Options for lines that carry no prefix at all.
  static LogDict BareLines() {
    LogDict options;
    options.SetBool("log.useTimeStamps", false);
    options.SetBool("log.useLevelDesignator", false);
    options.SetBool("log.useThreadName", false);
    return options;
  }

  std::vector<std::string> MessageLines(const std::string &path) {
    std::vector<std::string> lines = SplitLines(ReadFile(path));
    std::vector<std::string> messages;
    for (const std::string &line : lines) {
      if (line.find("Log for ") == std::string::npos && line.find("Host") == std::string::npos &&
          line.find("The host is") == std::string::npos &&
          line.find("Log creation time") == std::string::npos) {
        messages.push_back(line);
      }
    }
    return messages;
  }

  CaptureOutput *capture_ = nullptr;
  LogOutput *output_ = nullptr;
};

TEST_F(LogFileOutputTest, LinesCarryTimeDesignatorAndThreadName) {
  Install("sentro.log");
  LogAtLevel(LOG_INFO, "one\ntwo\nthree");
  Warning("careful");
  std::vector<std::string> lines = MessageLines(dir_.File("sentro.log"));
  ASSERT_EQ(lines.size(), 4u);
  const std::string thread = "host-" + std::to_string(gettid());
  EXPECT_TRUE(HasShape(lines[0], stampShape + (" In(05) " + thread + " one"))) << lines[0];
  EXPECT_TRUE(HasShape(lines[1], stampShape + (" In(05)+ " + thread + " two"))) << lines[1];
  EXPECT_TRUE(HasShape(lines[2], stampShape + (" In(05)+ " + thread + " three"))) << lines[2];
  EXPECT_TRUE(HasShape(lines[3], stampShape + (" Wa(03) " + thread + " careful"))) << lines[3];
}

TEST_F(LogFileOutputTest, ForkedChildIsNamedAfterItsOwnThreadId) {
  Install("fork.log");
  Log("parent");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Log("child");
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  std::vector<std::string> lines = MessageLines(dir_.File("fork.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" host-" + std::to_string(gettid()) + " parent"), std::string::npos);
  EXPECT_NE(lines[1].find(" host-" + std::to_string(child) + " child"), std::string::npos);
}

TEST_F(LogFileOutputTest, FileIsOpenedOnTheFirstMessageWithItsPermissions) {
  LogDict options;
  options.SetInt("log.permissions", 0600);
  Install("lazy.log", options);
  struct stat info;
  EXPECT_NE(lstat(dir_.File("lazy.log").c_str(), &info), 0);
  Log("first");
  ASSERT_EQ(lstat(dir_.File("lazy.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(LogFileOutputTest, NewFileStartsWithTheHeaderLines) {
  SetAppInfo("sentro", "e.x.p", "build-24322028", "Release");
  SetAppInfo("other", "1.0", "build-1", "Debug");
  LogDict options;
  options.SetBool("log.useTimeStamps", false);
  options.SetBool("log.useThreadName", false);
  Install("header.log", options);
  Log("message");
  std::vector<std::string> lines = SplitLines(ReadFile(dir_.File("header.log")));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "In(05) Log for sentro pid=" + std::to_string(getpid()) +
                          " version=e.x.p build=build-24322028 option=Release");
  EXPECT_EQ(lines[1], "In(05) The host is 64-bit.");
  EXPECT_EQ(lines[2].rfind("In(05) Host codepage=", 0), 0u);
  EXPECT_NE(lines[2].find(" encoding=UTF-8"), std::string::npos);
  EXPECT_TRUE(HasShape(lines[3], std::string("In(05) Log creation time is ") + stampShape))
      << lines[3];
  EXPECT_EQ(lines[4].rfind("In(05) Host is Linux ", 0), 0u);
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char offset[64];
  snprintf(offset, sizeof offset, "In(05) Host offset from UTC is %+03d:%02d.",
           static_cast<int>(local.tm_gmtoff / 3600),
           static_cast<int>(labs(local.tm_gmtoff) % 3600 / 60));
  EXPECT_EQ(lines[5], offset);
  EXPECT_EQ(lines[6], "In(05) message");
}

TEST_F(LogFileOutputTest, HeaderHasNoCreationTimeWhenLinesAreStamped) {
  Install("stamped.log");
  Log("message");
  std::string content = ReadFile(dir_.File("stamped.log"));
  EXPECT_EQ(CountOccurrences(content, "Log creation time"), 0u);
  EXPECT_EQ(SplitLines(content).size(), 6u);
}

TEST_F(LogFileOutputTest, AppendKeepsTheExistingContent) {
  WriteFile(dir_.File("append.log"), "earlier line\n");
  LogDict options = BareLines();
  options.SetBool("log.append", true);
  Install("append.log", options);
  Log("appended");
  EXPECT_EQ(ReadFile(dir_.File("append.log")), "earlier line\nappended\n");
}

TEST_F(LogFileOutputTest, SymbolicLinkAtThePathIsRefused) {
  WriteFile(dir_.File("target.log"), "untouched\n");
  ASSERT_EQ(symlink(dir_.File("target.log").c_str(), dir_.File("link.log").c_str()), 0);
  LogDict options;
  options.SetInt("log.keepOld", 0);
  Install("link.log", options);
  Log("first");
  Log("second");
  EXPECT_EQ(ReadFile(dir_.File("target.log")), "untouched\n");
  EXPECT_TRUE(capture_->Contains("Log file '" + dir_.File("link.log") + "' is a symbolic link.\n"));
  EXPECT_TRUE(capture_->Contains("Open of '" + dir_.File("link.log") + "' failed\n"));
}

TEST_F(LogFileOutputTest, FailedOpenIsRetriedOnceASecondNotOnEveryMessage) {
  fakeClockMicros = 5000000;
  ClockSetMonotonicSource(FakeClock);
  ASSERT_EQ(symlink("/nonexistent", dir_.File("retry.log").c_str()), 0);
  LogDict options;
  options.SetInt("log.keepOld", 0);
  Install("retry.log", options);
  for (int i = 0; i < 20; ++i) {
    Log("message %d", i);
  }
  auto refusals = [this] {
    size_t count = 0;
    for (const CapturedLine &line : capture_->lines) {
      count += line.text.find("is a symbolic link") != std::string::npos;
    }
    return count;
  };
  EXPECT_EQ(refusals(), 1u);
  fakeClockMicros += 1100000;
  Log("after a second");
  Log("delivers the new refusal");
  EXPECT_EQ(refusals(), 2u);
}

TEST_F(LogFileOutputTest, DirectoryOrFifoAtThePathIsRejected) {
  ASSERT_EQ(mkdir(dir_.File("dir.log").c_str(), 0700), 0);
  Install("dir.log");
  Log("first");
  Log("second");
  EXPECT_TRUE(capture_->Contains("Rejecting '" + dir_.File("dir.log") +
                                 "' because it is not an acceptable type.\n"));
  RemoveOutput(output_);
  ASSERT_EQ(mkfifo(dir_.File("fifo.log").c_str(), 0600), 0);
  output_ = NewFileOutput("fifo.log");
  ASSERT_TRUE(InstallOutput(output_));
  Log("first");
  Log("second");
  EXPECT_TRUE(capture_->Contains("Rejecting '" + dir_.File("fifo.log") +
                                 "' because it is not an acceptable type.\n"));
}

TEST_F(LogFileOutputTest, OpeningRotatesByRenameKeepingEightOldFiles) {
  for (int i = 0; i < 8; ++i) {
    WriteFile(dir_.File("sentro-" + std::to_string(i) + ".log"), "old " + std::to_string(i));
  }
  WriteFile(dir_.File("sentro.log"), "current");
  LogDict options = BareLines();
  options.SetInt("log.keepOld", 8);
  Install("sentro.log", options);
  Log("fresh");
  EXPECT_EQ(ReadFile(dir_.File("sentro-0.log")), "current");
  for (int i = 1; i < 8; ++i) {
    EXPECT_EQ(ReadFile(dir_.File("sentro-" + std::to_string(i) + ".log")),
              "old " + std::to_string(i - 1));
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("sentro-8.log")));
  std::vector<std::string> lines = MessageLines(dir_.File("sentro.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "fresh");
}

TEST_F(LogFileOutputTest, RenameRotationSkipsMissingFiles) {
  WriteFile(dir_.File("gap.log"), "current");
  WriteFile(dir_.File("gap-1.log"), "older");
  Install("gap.log");
  Log("fresh");
  EXPECT_EQ(ReadFile(dir_.File("gap-0.log")), "current");
  EXPECT_EQ(ReadFile(dir_.File("gap-2.log")), "older");
  EXPECT_FALSE(capture_->Contains("FILE: "));
}

TEST_F(LogFileOutputTest, FastRotationRenumbersAfterTheLargestDecimalNumber) {
  WriteFile(dir_.File("sentro.log"), "current");
  WriteFile(dir_.File("sentro-3.log"), "three");
  WriteFile(dir_.File("sentro-12.log"), "twelve");
  WriteFile(dir_.File("sentro-07.log"), "leading zero");
  WriteFile(dir_.File("sentro-5.log.bak"), "other extension");
  LogDict options;
  options.SetBool("log.fastRotation", true);
  options.SetInt("log.keepOld", 3);
  Install("sentro.log", options);
  Log("fresh");
  EXPECT_EQ(ReadFile(dir_.File("sentro-13.log")), "current");
  EXPECT_EQ(ReadFile(dir_.File("sentro-3.log")), "three");
  EXPECT_EQ(ReadFile(dir_.File("sentro-12.log")), "twelve");
  EXPECT_EQ(ReadFile(dir_.File("sentro-07.log")), "leading zero");
  EXPECT_EQ(ReadFile(dir_.File("sentro-5.log.bak")), "other extension");
}

TEST_F(LogFileOutputTest, FastRotationRemovesTheOldestBeyondKeepOld) {
  WriteFile(dir_.File("sentro.log"), "current");
  WriteFile(dir_.File("sentro-3.log"), "three");
  WriteFile(dir_.File("sentro-12.log"), "twelve");
  LogDict options;
  options.SetBool("log.fastRotation", true);
  options.SetInt("log.keepOld", 2);
  Install("sentro.log", options);
  Log("fresh");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("sentro-3.log")));
  EXPECT_EQ(ReadFile(dir_.File("sentro-12.log")), "twelve");
  EXPECT_EQ(ReadFile(dir_.File("sentro-13.log")), "current");
}

TEST_F(LogFileOutputTest, FastRotationRenumbersFromOneWhenTheLargestNumberIsUsedUp) {
  WriteFile(dir_.File("wrap.log"), "current");
  WriteFile(dir_.File("wrap-7.log"), "seven");
  WriteFile(dir_.File("wrap-4294967295.log"), "last");
  LogDict options;
  options.SetBool("log.fastRotation", true);
  options.SetInt("log.keepOld", 5);
  Install("wrap.log", options);
  Log("fresh");
  EXPECT_EQ(ReadFile(dir_.File("wrap-1.log")), "seven");
  EXPECT_EQ(ReadFile(dir_.File("wrap-2.log")), "last");
  EXPECT_EQ(ReadFile(dir_.File("wrap-3.log")), "current");
}

TEST_F(LogFileOutputTest, FileIsRotatedOnceItPassesRotateSize) {
  LogDict options;
  options.SetInt("log.rotateSize", 100000);
  options.SetInt("log.keepOld", 2);
  options.SetInt("log.throttleBytesPerSec", 0);
  Install("size.log", options);
  std::string text(199, 'r');
  for (int i = 0; i < 600; ++i) {  // about 150 KB with prefixes
    Log("%s", text.c_str());
  }
  struct stat current, old;
  ASSERT_EQ(stat(dir_.File("size.log").c_str(), &current), 0);
  ASSERT_EQ(stat(dir_.File("size-0.log").c_str(), &old), 0);
  EXPECT_GT(old.st_size, 100000);
  EXPECT_LT(old.st_size, 100000 + 300);  // passed by at most one message
  std::string content = ReadFile(dir_.File("size.log"));
  EXPECT_EQ(content.find("Log for "), content.find(' ', content.find("host-")) + 1);
  EXPECT_EQ(CountOccurrences(content + ReadFile(dir_.File("size-0.log")), text), 600u);
}

TEST_F(LogFileOutputTest, WithoutOldFilesTheRotatedLogStartsOver) {
  LogDict options = BareLines();
  options.SetInt("log.rotateSize", 100000);
  options.SetInt("log.keepOld", 0);
  options.SetInt("log.throttleBytesPerSec", 0);
  Install("over.log", options);
  std::string text(999, 'o');
  for (int i = 0; i < 150; ++i) {
    Log("%s", text.c_str());
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("over-0.log")));
  std::string content = ReadFile(dir_.File("over.log"));
  EXPECT_EQ(content.rfind("Log for ", 0), 0u);
  EXPECT_EQ(CountOccurrences(content, text), 50u);  // the first 100 went before the rotation
}

std::string Padded(const char *tag, int number, size_t width) {
  std::string text = tag + std::to_string(number);
  text.resize(width - 1, '.');
  return text;
}

TEST_F(LogFileOutputTest, FastLoggingPastTheThresholdIsThrottledAndHeldUntilTheRateDrops) {
  fakeClockMicros = 1000000000;
  ClockSetMonotonicSource(FakeClock);
  LogDict options = BareLines();
  options.SetInt("log.throttleThreshold", 10000);
  Install("throttle.log", options);
  for (int i = 0; i < 100; ++i) {  // 100 bytes each: exactly the threshold
    Log("%s", Padded("warmup ", i, 100).c_str());
  }
  for (int i = 0; i < 600; ++i) {  // 10,000 bytes per second for 6 seconds
    fakeClockMicros += 10000;
    Log("%s", Padded("fast ", i, 100).c_str());
  }
  std::string path = dir_.File("throttle.log");
  std::string during = ReadFile(path);
  EXPECT_EQ(CountOccurrences(during, "<<< sentro Throttled >>>\n"), 1u);
  EXPECT_NE(during.find(Padded("fast ", 400, 100)), std::string::npos);
  EXPECT_EQ(during.find(Padded("fast ", 599, 100)), std::string::npos);

  // Still throttled until a 60-second measurement finds a low rate.
  fakeClockMicros += 30000000;
  Log("%s", Padded("slow ", 0, 100).c_str());
  EXPECT_EQ(ReadFile(path), during);
  fakeClockMicros += 31000000;
  Log("%s", Padded("slow ", 1, 100).c_str());

  std::vector<std::string> lines = MessageLines(path);
  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) {
    expected.push_back(Padded("warmup ", i, 100));
  }
  for (int i = 0; i < 600; ++i) {
    expected.push_back(Padded("fast ", i, 100));
  }
  expected.push_back(Padded("slow ", 0, 100));
  expected.push_back(Padded("slow ", 1, 100));
  std::vector<std::string> withoutMarker;
  for (const std::string &line : lines) {
    if (line != "<<< sentro Throttled >>>") {
      withoutMarker.push_back(line);
    }
  }
  EXPECT_EQ(withoutMarker, expected);
  EXPECT_EQ(CountOccurrences(ReadFile(path), "<<< sentro Throttled >>>\n"), 1u);
}

TEST_F(LogFileOutputTest, ThrottledLineIsAnAuditLine) {
  LogDict options;
  options.SetBool("log.useTimeStamps", false);
  options.SetBool("log.useThreadName", false);
  options.SetInt("log.throttleThreshold", 1000);
  options.SetBool("log.noLogAfterThreshold", true);
  Install("forever.log", options);
  for (int i = 0; i < 20; ++i) {
    Log("%s", Padded("line ", i, 100).c_str());
  }
  std::string content = ReadFile(dir_.File("forever.log"));
  EXPECT_EQ(CountOccurrences(content, "No(00) <<< sentro Throttled >>>\n"), 1u);
  EXPECT_NE(content.find(Padded("line ", 9, 100)), std::string::npos);
  EXPECT_EQ(content.find(Padded("line ", 10, 100)), std::string::npos);
}

TEST_F(LogFileOutputTest, SyncAfterWriteStillWritesEveryLine) {
  LogDict options = BareLines();
  options.SetBool("log.syncAfterWrite", true);
  Install("sync.log", options);
  Log("synced one");
  Log("synced two");
  EXPECT_EQ(MessageLines(dir_.File("sync.log")),
            (std::vector<std::string>{"synced one", "synced two"}));
}

// A tmpfs of 64 KiB mounted for one test and detached afterwards.
class TinyFileSystem {
 public:
  explicit TinyFileSystem(const std::string &path) : path_(path) {
    mkdir(path.c_str(), 0700);
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") == 0;
    error_ = errno;
  }
  ~TinyFileSystem() {
    if (mounted_) {
      umount2(path_.c_str(), MNT_DETACH);
    }
  }
  bool Mounted() const { return mounted_; }
  int Error() const { return error_; }

 private:
  std::string path_;
  bool mounted_ = false;
  int error_ = 0;
};

// Fills the file system until writing fails.
void FillFileSystem(const std::string &path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  char block[4096] = {};
  while (write(fd, block, sizeof block) == static_cast<ssize_t>(sizeof block)) {
  }
  while (write(fd, block, 1) == 1) {
  }
  close(fd);
}

TEST_F(LogFileOutputTest, FullDiskLosesLinesAndReportsTheLossOnceSpaceReturns) {
  TinyFileSystem tiny(dir_.File("tiny"));
  if (!tiny.Mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(tiny.Error());
  }
  LogDict options = BareLines();
  options.SetInt("log.throttleBytesPerSec", 0);
  Install("tiny/sentro.log", options);
  Log("before the disk filled");
  FillFileSystem(dir_.File("tiny/filler"));
  std::string path = dir_.File("tiny/sentro.log");
  size_t sizeWhenFull = ReadFile(path).size();

  const int lostLines = 100;
  for (int i = 0; i < lostLines; ++i) {
    Log("%s", Padded("while full ", i, 64).c_str());
  }
  ASSERT_EQ(unlink(dir_.File("tiny/filler").c_str()), 0);
  Log("after recovery");
  Log("and once more");

  std::string content = ReadFile(path);
  const std::string reportStart = ">>> Error writing log, ";
  const std::string reportEnd = " bytes discarded. Disk full?\n";
  size_t report = content.find(reportStart);
  ASSERT_NE(report, std::string::npos) << content;
  size_t digits = report + reportStart.size();
  size_t reportEndAt = content.find(reportEnd, digits);
  ASSERT_NE(reportEndAt, std::string::npos);
  size_t discarded = std::stoul(content.substr(digits, reportEndAt - digits));
  EXPECT_EQ(CountOccurrences(content, ">>> Error writing log"), 1u);
  size_t landedWhileFull = report - sizeWhenFull;
  EXPECT_GT(discarded, 0u);
  EXPECT_EQ(discarded, lostLines * 64 - landedWhileFull);
  EXPECT_EQ(content.substr(reportEndAt + reportEnd.size()), "after recovery\nand once more\n");
  LogShutdown();
}

}  // namespace
