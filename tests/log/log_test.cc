// The log facility: how a message travels from a logging call to the
// outputs, and the file and syslog outputs against real files and a replaced
// system-log interface.
#include "lib/log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "lib/log/logOutput.h"
#include "lib/log/syslogOutput.h"
#include "lib/log/verify.h"
#include "support/TempDir.h"
#include "support/TestClock.h"

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

struct CaptureOutput : LogOutput {
  explicit CaptureOutput(int outputLevel = LOG_MAX_LEVEL) { level = outputLevel; }
  void Write(const LogLineHeader &header, const char *text, size_t length) override {
    headers.push_back(header);
    lines.emplace_back(text, length);
  }
  std::vector<LogLineHeader> headers;
  std::vector<std::string> lines;
};

size_t CountOccurrences(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++count;
  return count;
}

class LogTest : public ::testing::Test {
 protected:
  // The per-user safe log directory goes under the test's own directory.
  void SetUp() override {
    LogShutdown();
    setenv("TMPDIR", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    LogShutdown();
    unsetenv("TMPDIR");
  }

  CaptureOutput *Capture(int level = LOG_MAX_LEVEL) {
    auto *capture = new CaptureOutput(level);
    EXPECT_TRUE(InstallOutput(capture));
    return capture;
  }

  // Installs a file output on `name` in the test directory, its lines with or
  // without the time, level and thread prefixes.
  LogOutput *InstallFile(const std::string &name, LogDict options = {}, bool prefixes = false) {
    options.Set("log.fileName", dir_.File(name));
    for (const char *field : {"log.useTimeStamps", "log.useLevelDesignator", "log.useThreadName"}) {
      options.SetBool(field, prefixes);
    }
    LogOutput *output = CreateFileOutput("sentro", "file", &options, nullptr);
    EXPECT_TRUE(InstallOutput(output));
    return output;
  }

  std::string Read(const std::string &name) { return ReadWholeFile(dir_.File(name)); }

  TempDir dir_;
};

// Logs "from inside" while writing "trigger": the nested message must wait.
struct ChattyOutput : CaptureOutput {
  void Write(const LogLineHeader &header, const char *text, size_t length) override {
    CaptureOutput::Write(header, text, length);
    if (std::string(text, length) == "trigger\n") Log("from inside");
  }
};

TEST_F(LogTest, EarlyMessagesWaitForTheFirstOutputAndEachOutputGetsWhatItsLevelAdmits) {
  Warning("early");
  auto *chatty = new ChattyOutput;
  ASSERT_TRUE(InstallOutput(chatty));
  CaptureOutput *info = Capture(LOG_INFO);
  Log("trigger");
  LogAtLevel(LOG_DEBUG, "debug");
  LogAtLevel(LOG_WARNING, "one\ntwo");
  LogAtLevel(LOG_MAX_LEVEL + 7, "out of range is info");
  EXPECT_EQ(SetOutputLevel(info, LOG_LEVEL_NONE), LOG_INFO);
  Warning("blocked");
  LogAtLevel(LOG_AUDIT, "audit always passes");
  EXPECT_EQ(chatty->lines,
            (Lines{"early\n", "trigger\n", "from inside\n", "debug\n", "one\n", "two\n",
                   "out of range is info\n", "blocked\n", "audit always passes\n"}));
  EXPECT_EQ(chatty->headers[0].level, LOG_WARNING);
  EXPECT_EQ(info->lines, (Lines{"early\n", "trigger\n", "from inside\n", "one\n", "two\n",
                                "out of range is info\n", "audit always passes\n"}));
  EXPECT_FALSE(info->headers[3].continuation);
  EXPECT_TRUE(info->headers[4].continuation);
  EXPECT_EQ(info->headers[5].level, LOG_INFO);
}

// A thread that finds the shared buffer taken stays with its stack buffer and
// cuts its message, but no line ever holds parts of two messages.
TEST_F(LogTest, ConcurrentLoggersNeverMixTheirMessages) {
  CaptureOutput *capture = Capture();
  std::string big(2000, 'b');
  auto logger = [&big](char tag) {
    for (int i = 0; i < 200; ++i) Log("%c%s%c", tag, big.c_str(), tag);
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
TEST_F(LogTest, LoggingToAnOpenFileAllocatesNothing) {
  InstallFile("alloc.log", {}, true);
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
}

TEST_F(LogTest, SymbolicLinkOrAnOpenLogDirectoryIsRefusedAndTheOpenRetriedOnceASecond) {
  TestClock clock;
  WriteFile(dir_.File("target"), "untouched\n");
  ASSERT_EQ(symlink(dir_.File("target").c_str(), dir_.File("link.log").c_str()), 0);
  CaptureOutput *capture = Capture();
  LogDict options;
  options.SetInt("log.keepOld", 0);  // no rotation renames the link away
  InstallFile("link.log", options);
  errno = 0;
  Log("first");  // the failed open sets errno
  EXPECT_EQ(errno, 0) << "logging keeps the caller's errno";
  for (int i = 0; i < 10; ++i, clock.AdvanceMicros(i == 9 ? 1000000 : 0)) {
    Log("message %d", i);  // the refusal is delivered with the next message
  }
  Log("delivers the retry's refusal");
  EXPECT_EQ(Read("target"), "untouched\n");
  std::string refusal = "Log file '" + dir_.File("link.log") + "' is a symbolic link.\n";
  EXPECT_EQ(std::count(capture->lines.begin(), capture->lines.end(), refusal), 2);
  // A per-user log directory open to others is refused.
  std::string safeDir = dir_.File("norvane-" + std::to_string(geteuid()));
  mkdir(safeDir.c_str(), 0700);  // the facility may have made it already
  ASSERT_EQ(chmod(safeDir.c_str(), 0703), 0);
  EXPECT_EQ(CreateFileOutput("sentro", "file", nullptr, nullptr), nullptr);
  EXPECT_EQ(capture->lines.back(), "Safe logging area '" + safeDir + "' validation failed!\n");
}

TEST_F(LogTest, OpeningRotatesTheOldFileByRenameOrByRenumbering) {
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
    auto path = [&dir](std::string word) {  // "s-5.bak=..." is s-5.log.bak
      word.erase(word.find('='));
      return dir.File(word.ends_with(".bak") ? word.insert(word.size() - 4, ".log")
                                             : word + ".log");
    };
    std::istringstream before(c.before + std::string(" s=cur")), after(c.after);
    for (std::string word; before >> word;) WriteFile(path(word), word.substr(word.find('=') + 1));
    LogDict options;
    options.SetBool("log.fastRotation", c.fast);
    options.SetInt("log.keepOld", c.keepOld);
    options.Set("log.fileName", dir.File("s.log"));
    LogOutput *output = CreateFileOutput("sentro", "file", &options, nullptr);
    ASSERT_TRUE(InstallOutput(output));
    Log("fresh");
    RemoveOutput(output);
    for (std::string word; after >> word;) {
      std::string content = word.substr(word.find('=') + 1);
      EXPECT_EQ(ReadWholeFile(path(word)), content == "-" ? "<missing>" : content) << word;
    }
  }
}

TEST_F(LogTest, FileIsRotatedOncePastRotateSizeWhichIsAtLeast100000) {
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

TEST_F(LogTest, FullDiskLosesLinesAndReportsTheLossOnceSpaceReturns) {
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

std::vector<std::string> sent;  // "<priority> <text>", the open as "open <identity> <facility>"

void FakeSend(int priority, const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  sent.push_back(std::to_string(priority) + " " + text);
}

const SyslogApi fakeSyslog = {
    [](const char *id, int facility) {
      sent.push_back("open " + std::string(id ? id : "-") + " " + std::to_string(facility));
    },
    FakeSend, [] { sent.push_back("close"); }};

TEST_F(LogTest, SyslogOutputChecksItsIdentityAndFacilityAndFormsTheStructuredElement) {
  SyslogOutputSetApi(&fakeSyslog);
  // One option (a syslogID, a facility, a profile's extra identity), the operation id, and
  // the message's record, null when creation fails.
  struct Case {
    const char *key, *value, *opId, *line;
  } cases[] = {
      {"log.syslogID", "", nullptr, nullptr},
      {"log.syslogID", "has space", nullptr, nullptr},
      {"log.syslogID", "x234567890123456789012345678901234567890123456789", nullptr, nullptr},
      {"log.syslogID", "x23456789012345678901234567890123456789012345678", nullptr, "11 text"},
      {"log.syslogFacility", "1024", nullptr, nullptr},
      {"log.syslogFacility", "12", nullptr, nullptr},
      {"log.syslogFacility", "1016", nullptr, "1019 text"},
      {"log.syslog.extraID.ops", "", nullptr, nullptr},
      {"log.syslog.extraID.ops", "node-2", "op-4",
       "11 [msg@32473 opID=\"op-4\" extraID=\"node-2\"] text"},
      {"log.syslog.extraID.ops", "node-2", nullptr, "11 [msg@32473 extraID=\"node-2\"] text"},
      {"log.syslogLevel", "debug", "op-5", "11 [msg@32473 opID=\"op-5\"] text"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    LogShutdown();  // forgets the early messages of the cases before
    LogDict options, config;
    options.Set(c.key, c.value);
    if (std::string(c.key).starts_with("log.syslog.")) {
      options.Set("log.syslogID", "$ops");
      config.Set("log.syslog.progID.ops", "sentro-ops");
      config.Set(c.key, c.value);
    }
    LogOutput *output = CreateSyslogOutput("sentro", "syslog", &options, &config);
    ASSERT_EQ(output != nullptr, c.line != nullptr);
    if (output == nullptr) continue;
    ASSERT_TRUE(InstallOutput(output));
    sent.clear();
    static const char *opId;
    opId = c.opId;
    LogSetOpIdProvider(opId ? +[]() -> const char * { return opId; } : nullptr);
    LogAtLevel(LOG_ERROR, "text");  // waits behind "Using POSIX syslog APIs"
    LogSetOpIdProvider(nullptr);
    RemoveOutput(output);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_TRUE(sent[0].starts_with(c.line[1] == '0' ? "open - 1016" : "open ")) << sent[0];
    EXPECT_TRUE(sent[1].find(" Log for ") != std::string::npos) << sent[1];
    EXPECT_EQ(sent[3], c.line);
    EXPECT_EQ(sent[4], "close");
  }
  SyslogOutputSetApi(nullptr);
}

}  // namespace
