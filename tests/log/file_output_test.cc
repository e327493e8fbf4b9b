// The file output against real files: line layout, opening rules, rotation,
// throttling, write errors and options.
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>

#include "logTestUtil.h"
#include "support/TestClock.h"

namespace {

using LogFileOutputTest = LogTest;

TEST_F(LogFileOutputTest, SymbolicLinkAtThePathIsRefusedAndTheOpenRetriedOnceASecond) {
  TestClock clock;
  WriteFile(dir_.File("target"), "untouched\n");
  ASSERT_EQ(symlink(dir_.File("target").c_str(), dir_.File("link.log").c_str()), 0);
  CaptureOutput *capture = Capture();
  LogDict options;
  options.SetInt("log.keepOld", 0);  // no rotation renames the link away
  InstallFile("link.log", options);
  InstallFile("missing/x.log", options);
  errno = 0;
  Log("first");  // the failed opens set errno
  EXPECT_EQ(errno, 0) << "logging keeps the caller's errno";
  for (int i = 0; i < 10; ++i, clock.AdvanceMicros(i == 9 ? 1000000 : 0)) {
    Log("message %d", i);  // the refusal is delivered with the next message
  }
  Log("delivers the retry's refusal");
  EXPECT_EQ(Read("target"), "untouched\n");
  std::string refusal = "Log file '" + dir_.File("link.log") + "' is a symbolic link.\n";
  EXPECT_EQ(std::count(capture->lines.begin(), capture->lines.end(), refusal), 2);
}

TEST_F(LogFileOutputTest, OpeningRotatesTheOldFileByRenameOrByRenumbering) {
  struct Case {
    bool fast;
    int keepOld;
    const char *before, *after;  // "name=content ..."; "=-" for a missing file
  } cases[] = {
      {false, 8, "s-0=0 s-1=1 s-2=2 s-4=4 s-5=5 s-6=6 s-7=7",
       "s-0=cur s-1=0 s-2=1 s-3=2 s-4=- s-5=4 s-6=5 s-7=6 s-8=-"},
      {false, 0, "s-0=0", "s-0=0"},
      // Leading zeros and other extensions are not numbered old files.
      {true, 3, "s-3=3 s-12=12 s-07=7 s-5.bak=5", "s-13=cur s-3=3 s-12=12 s-07=7 s-5.bak=5"},
      {true, 2, "s-3=3 s-12=12", "s-3=- s-12=12 s-13=cur"},
      // The largest number used up: the old files are renumbered from 1.
      {true, 5, "s-7=7 s-4294967295=L", "s-1=7 s-2=L s-3=cur"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.before);
    TempDir dir;
    auto path = [&dir](const std::string &word) {
      std::string name = word.substr(0, word.find('='));
      return dir.File(name.ends_with(".bak") ? name.insert(name.size() - 4, ".log")
                                             : name + ".log");
    };
    std::istringstream before(c.before + std::string(" s=cur"));
    for (std::string word; before >> word;) {
      WriteFile(path(word), word.substr(word.find('=') + 1));
    }
    LogDict options;
    options.SetBool("log.fastRotation", c.fast);
    options.SetInt("log.keepOld", c.keepOld);
    options.Set("log.fileName", dir.File("s.log"));
    LogOutput *output = CreateFileOutput("sentro", "file", &options, nullptr);
    ASSERT_TRUE(InstallOutput(output));
    Log("fresh");
    RemoveOutput(output);
    std::istringstream after(c.after);
    for (std::string word; after >> word;) {
      std::string content = word.substr(word.find('=') + 1);
      EXPECT_EQ(ReadWholeFile(path(word)), content == "-" ? "<missing>" : content) << word;
    }
  }
}

TEST_F(LogFileOutputTest, FileIsRotatedOncePastRotateSizeWhichIsAtLeast100000) {
  LogDict options;
  options.SetInt("log.rotateSize", 50000);
  options.SetInt("log.throttleBytesPerSec", 0);
  CaptureOutput *capture = Capture(LOG_WARNING);
  InstallFile("size.log", options);
  std::string text(199, 'r');
  for (int i = 0; i < 600; ++i) {  // 120,000 bytes
    Log("%s", text.c_str());
  }
  EXPECT_EQ(capture->lines[0],
            "LogFileVariables: log.rotateSize (50000) is too small. Set to 100000.\n");
  size_t old = Read("size-0.log").size();
  EXPECT_TRUE(old > 100000u && old <= 100000u + 200) << old;  // at most one message past
  EXPECT_TRUE(Read("size.log").starts_with("Log for "));
  EXPECT_EQ(CountOccurrences(Read("size.log") + Read("size-0.log"), text), 600u);
}

TEST_F(LogFileOutputTest, FastLoggingPastTheThresholdIsThrottledAndHeldUntilTheRateDrops) {
  TestClock clock;
  LogDict options;
  options.SetInt("log.throttleThreshold", 10000);
  InstallFile("throttle.log", options);
  std::string expected;
  for (int i = 0; i < 702; ++i) {  // 100 bytes each, 10,000 a second past the threshold
    std::string text = i < 700 ? std::to_string(1000 + i) + std::string(95, '.') : "slow";
    clock.AdvanceMicros(i >= 100 ? (i < 700 ? 10000 : 30500000) : 0);
    Log("%s", text.c_str());
    expected += text + "\n";
    // Still throttled until a 60-second measurement finds the rate low.
    EXPECT_EQ(Read("throttle.log").find("1699") == std::string::npos, i < 701) << i;
  }
  std::string content = Read("throttle.log");
  std::string marker = "<<< sentro Throttled >>>\n";
  EXPECT_EQ(CountOccurrences(content, marker), 1u);
  content.erase(content.find(marker), marker.size());
  EXPECT_EQ(content.substr(content.find("1000")), expected);
}

TEST_F(LogFileOutputTest, FullDiskLosesLinesAndReportsTheLossOnceSpaceReturns) {
  std::string tiny = dir_.File("tiny");
  mkdir(tiny.c_str(), 0700);
  if (mount("tmpfs", tiny.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
  }
  std::unique_ptr<const char, void (*)(const char *)> unmount(tiny.c_str(), [](const char *path) {
    LogShutdown();  // closes the log file first
    umount2(path, MNT_DETACH);
  });
  InstallFile("tiny/sentro.log");
  Log("before the disk filled");
  int filler = open((tiny + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  char block[4096] = {};
  while (write(filler, block, sizeof block) > 0) {
  }
  close(filler);
  size_t sizeWhenFull = Read("tiny/sentro.log").size();
  for (int i = 0; i < 100; ++i) {
    Log("%063d", i);  // 64 bytes each
  }
  unlink((tiny + "/filler").c_str());
  Log("after recovery");
  Log("and once more");
  std::string content = Read("tiny/sentro.log");
  std::smatch report;
  std::regex reportLine(">>> Error writing log, (\\d+) bytes discarded. Disk full\\?\n");
  ASSERT_TRUE(std::regex_search(content, report, reportLine)) << content;
  EXPECT_EQ(std::stoul(report[1]), 100 * 64 - (report.position(0) - sizeWhenFull));
  EXPECT_EQ(report.suffix().str(), "after recovery\nand once more\n");
}

TEST_F(LogFileOutputTest, OptionsComeFromLaterSourcesOnlyWhenNotTheDefault) {
  LogDict options, config;
  LogOptionReader reader("sentro", "file", &options, &config);
  LogOptionReader other("sentro", "audit", &options, &config);
  options.SetInt("log.keepOld", 5);
  config.SetInt("log.keepOld", 6);
  config.SetInt("sentro.log.keepOld", 3);  // the default: no override
  config.SetInt("log.keepOld.audit", 9);   // other types read keys ending in their name
  options.Set("log.fileLevel", "WARNING");
  options.SetInt("log.permissions", 0);
  CaptureOutput *capture = Capture();
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 6);
  EXPECT_EQ(other.Int("log.keepOld", 3, 0), 9);
  EXPECT_EQ(reader.Level("log.fileLevel", 5), 3);
  EXPECT_EQ(reader.Int("log.permissions", 0640, 1, 0), 0640);
  EXPECT_EQ(capture->lines[0], "LogFileInt32: log.permissions (0) is invalid. Set to 416.\n");
  // A per-user log directory open to others is refused.
  std::string safeDir = dir_.File("norvane-" + std::to_string(geteuid()));
  ASSERT_EQ(mkdir(safeDir.c_str(), 0700) || chmod(safeDir.c_str(), 0703), 0);
  EXPECT_EQ(CreateFileOutput("sentro", "file", nullptr, nullptr), nullptr);
  EXPECT_EQ(capture->lines.back(), "Safe logging area '" + safeDir + "' validation failed!\n");
}

}  // namespace
