// The file output against real files: format, header, opening rules,
// rotation, throttling and write errors.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <map>

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

const std::string kStamp = "####-##-##T##:##:##.###Z";

// A text of `width` bytes with its newline: tag, number, dots.
std::string Padded(const char *tag, int number, size_t width) {
  std::string text = tag + std::to_string(number);
  text.resize(width - 1, '.');
  return text;
}

class LogFileOutputTest : public LogTest {
 protected:
  // Installs a file output on `name` with a capture output before it, so the
  // output's own warnings can be seen.
  void Install(const std::string &name, LogDict options = LogDict()) {
    capture_ = Capture();
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

  // The file's lines without the header lines.
  std::vector<std::string> MessageLines(const std::string &name) {
    std::vector<std::string> messages;
    for (const std::string &line : SplitLines(ReadFile(dir_.File(name)))) {
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

TEST_F(LogFileOutputTest, LinesCarryTimeDesignatorAndThreadNameAForkedChildItsOwn) {
  Install("sentro.log");
  LogAtLevel(LOG_INFO, "one\ntwo\nthree");
  Warning("careful");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Log("child");
    _exit(0);
  }
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  std::string content = ReadFile(dir_.File("sentro.log"));
  EXPECT_EQ(CountOccurrences(content, "Log creation time"), 0u);  // the lines carry the time
  std::vector<std::string> lines = MessageLines("sentro.log");
  ASSERT_EQ(lines.size(), 5u);
  const std::string thread = "host-" + std::to_string(gettid());
  EXPECT_TRUE(HasShape(lines[0], kStamp + " In(05) " + thread + " one")) << lines[0];
  EXPECT_TRUE(HasShape(lines[1], kStamp + " In(05)+ " + thread + " two")) << lines[1];
  EXPECT_TRUE(HasShape(lines[2], kStamp + " In(05)+ " + thread + " three")) << lines[2];
  EXPECT_TRUE(HasShape(lines[3], kStamp + " Wa(03) " + thread + " careful")) << lines[3];
  EXPECT_TRUE(HasShape(lines[4], kStamp + " In(05) host-" + std::to_string(child) + " child"))
      << lines[4];
}

TEST_F(LogFileOutputTest, FileOpensOnTheFirstMessageWithItsModeAndTheHeaderLines) {
  SetAppInfo("sentro", "e.x.p", "build-24322028", "Release");
  SetAppInfo("other", "1.0", "build-1", "Debug");  // the first registration wins
  LogDict options;
  options.SetBool("log.useTimeStamps", false);
  options.SetBool("log.useThreadName", false);
  options.SetInt("log.permissions", 0600);
  Install("header.log", options);
  struct stat info;
  EXPECT_NE(lstat(dir_.File("header.log").c_str(), &info), 0);
  Log("message");
  ASSERT_EQ(lstat(dir_.File("header.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  std::vector<std::string> lines = SplitLines(ReadFile(dir_.File("header.log")));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "In(05) Log for sentro pid=" + std::to_string(getpid()) +
                          " version=e.x.p build=build-24322028 option=Release");
  EXPECT_EQ(lines[1], "In(05) The host is 64-bit.");
  EXPECT_TRUE(lines[2].starts_with("In(05) Host codepage=")) << lines[2];
  EXPECT_NE(lines[2].find(" encoding=UTF-8"), std::string::npos);
  EXPECT_TRUE(HasShape(lines[3], "In(05) Log creation time is " + kStamp)) << lines[3];
  EXPECT_TRUE(lines[4].starts_with("In(05) Host is Linux ")) << lines[4];
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

TEST_F(LogFileOutputTest, AppendKeepsTheExistingContent) {
  WriteFile(dir_.File("append.log"), "earlier line\n");
  LogDict options = BareLines();
  options.SetBool("log.append", true);
  options.SetBool("log.syncAfterWrite", true);
  Install("append.log", options);
  Log("appended");
  EXPECT_EQ(ReadFile(dir_.File("append.log")), "earlier line\nappended\n");
}

TEST_F(LogFileOutputTest, SymbolicLinkIsRefusedAndTheOpenRetriedOnceASecond) {
  fakeClockMicros = 5000000;
  ClockSetMonotonicSource(FakeClock);
  WriteFile(dir_.File("target.log"), "untouched\n");
  ASSERT_EQ(symlink(dir_.File("target.log").c_str(), dir_.File("link.log").c_str()), 0);
  LogDict options;
  options.SetInt("log.keepOld", 0);
  Install("link.log", options);
  for (int i = 0; i < 20; ++i) {
    Log("message %d", i);
  }
  EXPECT_EQ(ReadFile(dir_.File("target.log")), "untouched\n");
  EXPECT_EQ(capture_->Count("Log file '" + dir_.File("link.log") + "' is a symbolic link.\n"), 1u);
  EXPECT_TRUE(capture_->Contains("Open of '" + dir_.File("link.log") + "' failed\n"));
  fakeClockMicros += 1100000;
  Log("after a second");
  Log("delivers the new refusal");
  EXPECT_EQ(capture_->Count("is a symbolic link"), 2u);
}

TEST_F(LogFileOutputTest, DirectoryOrFifoAtThePathIsRejected) {
  ASSERT_EQ(mkdir(dir_.File("dir.log").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(dir_.File("fifo.log").c_str(), 0600), 0);
  capture_ = Capture();
  for (const char *name : {"dir.log", "fifo.log"}) {
    LogOutput *output = NewFileOutput(name);
    ASSERT_TRUE(InstallOutput(output));
    Log("first");
    Log("second");
    EXPECT_TRUE(capture_->Contains("Rejecting '" + dir_.File(name) +
                                   "' because it is not an acceptable type.\n"))
        << name;
    RemoveOutput(output);
  }
}

TEST_F(LogFileOutputTest, OpeningRotatesByRenameKeepingEightOldFilesAndSkippingGaps) {
  for (int i = 0; i < 8; ++i) {
    if (i != 3) {
      WriteFile(dir_.File("sentro-" + std::to_string(i) + ".log"), "old " + std::to_string(i));
    }
  }
  WriteFile(dir_.File("sentro.log"), "current");
  LogDict options = BareLines();
  options.SetInt("log.keepOld", 8);
  Install("sentro.log", options);
  Log("fresh");
  const char *expected[] = {"current", "old 0", "old 1", "old 2",    "<missing>",
                            "old 4",   "old 5", "old 6", "<missing>"};
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(ReadWholeFile(dir_.File("sentro-" + std::to_string(i) + ".log")), expected[i]) << i;
  }
  EXPECT_EQ(MessageLines("sentro.log"), std::vector<std::string>{"fresh"});
  EXPECT_FALSE(capture_->Contains("FILE: "));
}

// The files of "name=content name=content ..."; "<missing>" for a removed one.
std::map<std::string, std::string> Files(const std::string &text) {
  std::map<std::string, std::string> files;
  std::istringstream in(text);
  for (std::string word; in >> word;) {
    files[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
  }
  return files;
}

TEST_F(LogFileOutputTest, FastRotationRenumbersAfterTheLargestDecimalNumber) {
  struct Case {
    int keepOld;
    const char *before, *after;
  } cases[] = {
      // Leading zeros and other extensions are not numbered old files.
      {3, "s-3.log=three s-12.log=twelve s-07.log=zero s-5.log.bak=bak",
       "s-13.log=current s-3.log=three s-12.log=twelve s-07.log=zero s-5.log.bak=bak"},
      {2, "s-3.log=three s-12.log=twelve", "s-3.log=<missing> s-12.log=twelve s-13.log=current"},
      // The largest number used up: the old files are renumbered from 1.
      {5, "s-7.log=seven s-4294967295.log=last", "s-1.log=seven s-2.log=last s-3.log=current"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.before);
    TempDir dir;
    for (const auto &[name, content] : Files(c.before + std::string(" s.log=current"))) {
      WriteFile(dir.File(name), content);
    }
    LogDict options;
    options.SetBool("log.fastRotation", true);
    options.SetInt("log.keepOld", c.keepOld);
    options.Set("log.fileName", dir.File("s.log"));
    LogOutput *output = CreateFileOutput("sentro", "file", &options, nullptr);
    ASSERT_TRUE(InstallOutput(output));
    Log("fresh");
    for (const auto &[name, content] : Files(c.after)) {
      EXPECT_EQ(ReadWholeFile(dir.File(name)), content) << name;
    }
    RemoveOutput(output);
  }
}

TEST_F(LogFileOutputTest, FileIsRotatedOnceItPassesRotateSizeOrStartsOverWithoutOldFiles) {
  LogDict options;
  options.SetInt("log.rotateSize", 100000);
  options.SetInt("log.keepOld", 2);
  options.SetInt("log.throttleBytesPerSec", 0);
  Install("size.log", options);
  std::string text(199, 'r');
  for (int i = 0; i < 600; ++i) {  // about 150 KB with prefixes
    Log("%s", text.c_str());
  }
  struct stat old;
  ASSERT_EQ(stat(dir_.File("size-0.log").c_str(), &old), 0);
  EXPECT_GT(old.st_size, 100000);
  EXPECT_LT(old.st_size, 100000 + 300);  // passed by at most one message
  std::string content = ReadFile(dir_.File("size.log"));
  EXPECT_EQ(content.find("Log for "), content.find(' ', content.find("host-")) + 1);
  EXPECT_EQ(CountOccurrences(content + ReadFile(dir_.File("size-0.log")), text), 600u);
  LogShutdown();

  options = BareLines();
  options.SetInt("log.rotateSize", 100000);
  options.SetInt("log.keepOld", 0);
  options.SetInt("log.throttleBytesPerSec", 0);
  Install("over.log", options);
  text.assign(999, 'o');
  for (int i = 0; i < 150; ++i) {
    Log("%s", text.c_str());
  }
  EXPECT_FALSE(FileExists(dir_.File("over-0.log")));
  content = ReadFile(dir_.File("over.log"));
  EXPECT_TRUE(content.starts_with("Log for "));
  EXPECT_EQ(CountOccurrences(content, text), 50u);  // the first 100 went before the rotation
}

TEST_F(LogFileOutputTest, FastLoggingPastTheThresholdIsThrottledAndHeldUntilTheRateDrops) {
  fakeClockMicros = 1000000000;
  ClockSetMonotonicSource(FakeClock);
  LogDict options = BareLines();
  options.SetInt("log.throttleThreshold", 10000);
  Install("throttle.log", options);
  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) {  // 100 bytes each: exactly the threshold
    expected.push_back(Padded("warmup ", i, 100));
    Log("%s", expected.back().c_str());
  }
  for (int i = 0; i < 600; ++i) {  // 10,000 bytes per second for 6 seconds
    fakeClockMicros += 10000;
    expected.push_back(Padded("fast ", i, 100));
    Log("%s", expected.back().c_str());
  }
  std::string during = ReadFile(dir_.File("throttle.log"));
  EXPECT_NE(during.find(Padded("fast ", 400, 100)), std::string::npos);
  EXPECT_EQ(during.find(Padded("fast ", 599, 100)), std::string::npos);

  // Still throttled until a 60-second measurement finds a low rate.
  fakeClockMicros += 30000000;
  expected.push_back(Padded("slow ", 0, 100));
  Log("%s", expected.back().c_str());
  EXPECT_EQ(ReadFile(dir_.File("throttle.log")), during);
  fakeClockMicros += 31000000;
  expected.push_back(Padded("slow ", 1, 100));
  Log("%s", expected.back().c_str());

  std::vector<std::string> lines = MessageLines("throttle.log");
  auto marker = std::find(lines.begin(), lines.end(), "<<< sentro Throttled >>>");
  ASSERT_NE(marker, lines.end());
  lines.erase(marker);
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(CountOccurrences(ReadFile(dir_.File("throttle.log")), "Throttled"), 1u);
}

TEST_F(LogFileOutputTest, NoLogAfterThresholdThrottlesForGoodBehindAnAuditLine) {
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

TEST_F(LogFileOutputTest, FullDiskLosesLinesAndReportsTheLossOnceSpaceReturns) {
  // A tmpfs of 64 KiB, detached at the end.
  std::string tiny = dir_.File("tiny");
  mkdir(tiny.c_str(), 0700);
  if (mount("tmpfs", tiny.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() {
      LogShutdown();  // closes the log file first
      umount2(path.c_str(), MNT_DETACH);
    }
  } unmount{tiny};
  LogDict options = BareLines();
  options.SetInt("log.throttleBytesPerSec", 0);
  Install("tiny/sentro.log", options);
  Log("before the disk filled");
  int filler = open((tiny + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  char block[4096] = {};
  while (write(filler, block, sizeof block) == static_cast<ssize_t>(sizeof block)) {
  }
  while (write(filler, block, 1) == 1) {
  }
  close(filler);
  std::string path = tiny + "/sentro.log";
  size_t sizeWhenFull = ReadFile(path).size();

  const int lostLines = 100;
  for (int i = 0; i < lostLines; ++i) {
    Log("%s", Padded("while full ", i, 64).c_str());
  }
  unlink((tiny + "/filler").c_str());
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
  EXPECT_EQ(CountOccurrences(content, ">>> Error writing log"), 1u);
  size_t discarded = std::stoul(content.substr(digits, reportEndAt - digits));
  size_t landedWhileFull = report - sizeWhenFull;
  EXPECT_GT(discarded, 0u);
  EXPECT_EQ(discarded, lostLines * 64 - landedWhileFull);
  EXPECT_EQ(content.substr(reportEndAt + reportEnd.size()), "after recovery\nand once more\n");
}

}  // namespace
