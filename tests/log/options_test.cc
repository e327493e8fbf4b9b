// Reading output options from defaults, the option dictionary and the
// configuration source.
#include <sys/stat.h>

#include "lib/log/fileOutput.h"
#include "lib/log/logOutput.h"
#include "logTestUtil.h"

namespace {

class LogOptionsTest : public LogTest {};

TEST_F(LogOptionsTest, LaterSourcesWinOnlyWithAValueOtherThanTheDefault) {
  LogDict options, config;
  LogOptionReader reader("sentro", "file", &options, &config);
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 3);
  options.SetInt("log.keepOld", 5);
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 5);
  config.SetInt("log.keepOld", 6);
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 6);
  config.SetInt("sentro.log.keepOld", 7);
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 7);
  config.SetInt("sentro.log.keepOld", 3);  // the default: no override
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 6);
  options.SetBool("log.append", true);
  config.SetBool("sentro.log.append", false);
  EXPECT_TRUE(reader.Bool("log.append", false));

  // Other output types read configuration keys ending in their type name.
  config.SetInt("log.keepOld.audit", 9);
  LogOptionReader custom("sentro", "audit", nullptr, &config);
  EXPECT_EQ(custom.Int("log.keepOld", 3, 0), 9);
  config.SetInt("sentro.log.keepOld.audit", 11);
  EXPECT_EQ(custom.Int("log.keepOld", 3, 0), 11);
}

TEST_F(LogOptionsTest, UnparsableValuesLeaveTheDefaultAndTooSmallOnesAreReplacedWithAWarning) {
  CaptureOutput *capture = Capture();
  LogDict options;
  options.Set("log.append", "perhaps");
  options.Set("log.fileLevel", "loudest");
  options.Set("log.stderrLevel", "None");
  options.Set("log.keepOld", "many");
  options.SetInt("log.rotateSize", -2);
  options.SetInt("log.permissions", 0);
  options.SetInt("log.throttleBytesPerSec", -1);
  LogOptionReader reader("sentro", "file", &options, nullptr);
  EXPECT_FALSE(reader.Bool("log.append", false));
  EXPECT_EQ(reader.Level("log.fileLevel", 5), 5);
  EXPECT_EQ(reader.Level("log.stderrLevel", 5), -1);
  EXPECT_FALSE(reader.Text("log.suffix").has_value());
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 3);
  EXPECT_TRUE(capture->lines.empty());
  EXPECT_EQ(reader.Int("log.rotateSize", 0, 0), 0);
  EXPECT_EQ(reader.Int("log.permissions", 416, 1, 0), 416);
  EXPECT_EQ(reader.Int("log.throttleBytesPerSec", 1000, -1), -1);
  ASSERT_EQ(capture->lines.size(), 2u);
  EXPECT_EQ(capture->lines[0].text, "LogFileInt32: log.rotateSize (-2) is invalid. Set to 0.\n");
  EXPECT_EQ(capture->lines[0].header.level, LOG_WARNING);
  EXPECT_EQ(capture->lines[1].text, "LogFileInt32: log.permissions (0) is invalid. Set to 416.\n");

  options.SetInt("log.rotateSize", 50000);
  LogOutput *output = NewFileOutput("floor.log", options);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(static_cast<FileOutput *>(output)->Options().rotateSize, 100000);
  EXPECT_TRUE(
      capture->Contains("LogFileVariables: log.rotateSize (50000) is too small. Set to 100000.\n"));
  DestroyOutput(output);
}

// Every option a file output read, in one line.
std::string Describe(LogOutput *output) {
  const FileOutputOptions &o = static_cast<FileOutput *>(output)->Options();
  char text[256];
  snprintf(text, sizeof text,
           "stamps=%d millis=%d designator=%d thread=%d opId=%d append=%d sync=%d fast=%d "
           "keepOld=%d rotateSize=%d permissions=%o level=%d stderrLevel=%d",
           o.prefix.timeStamps, o.prefix.milliseconds, o.prefix.levelDesignator,
           o.prefix.threadName, o.prefix.opId, o.append, o.syncAfterWrite, o.fastRotation,
           o.keepOld, o.rotateSize, o.permissions, output->level, output->stderrLevel);
  return text;
}

TEST_F(LogOptionsTest, FileOutputReadsEveryOptionWithItsDefault) {
  LogDict set;
  for (const char *key : {"log.useTimeStamps", "log.useMilliseconds", "log.useLevelDesignator",
                          "log.useThreadName"}) {
    set.SetBool(key, false);
  }
  for (const char *key : {"log.useOpID", "log.append", "log.syncAfterWrite", "log.fastRotation"}) {
    set.SetBool(key, true);
  }
  set.SetInt("log.keepOld", 8);
  set.SetInt("log.rotateSize", 20971520);
  set.Set("log.permissions", "0600");
  set.Set("log.fileLevel", "debug");
  set.Set("log.stderrLevel", "error");
  LogOutput *defaults = CreateFileOutput("sentro", "file", nullptr, nullptr);
  LogOutput *configured = NewFileOutput("all.log", set);
  ASSERT_NE(defaults, nullptr);
  ASSERT_NE(configured, nullptr);
  EXPECT_EQ(Describe(defaults),
            "stamps=1 millis=1 designator=1 thread=1 opId=0 append=0 sync=0 fast=0 keepOld=3 "
            "rotateSize=0 permissions=640 level=5 stderrLevel=-1");
  EXPECT_EQ(Describe(configured),
            "stamps=0 millis=0 designator=0 thread=0 opId=1 append=1 sync=1 fast=1 keepOld=8 "
            "rotateSize=20971520 permissions=600 level=8 stderrLevel=2");
  auto options = [](LogOutput *output) { return static_cast<FileOutput *>(output)->Options(); };
  EXPECT_EQ(options(configured).path, dir_.File("all.log"));
  EXPECT_FALSE(options(configured).generatedName);
  // Without a file name the log goes to the per-user safe directory.
  std::string safeDir = dir_.File("norvane-" + std::to_string(geteuid()));
  EXPECT_TRUE(options(defaults).generatedName);
  EXPECT_EQ(options(defaults).directory, safeDir);
  EXPECT_EQ(options(defaults).path, safeDir + "/norvane-" + std::to_string(getpid()) + ".log");
  DestroyOutput(defaults);
  DestroyOutput(configured);

  LogDict suffix;
  suffix.Set("log.suffix", "worker");
  LogOutput *output = CreateFileOutput("sentro", "file", &suffix, nullptr);
  EXPECT_EQ(options(output).path, safeDir + "/norvane-worker-" + std::to_string(getpid()) + ".log");
  DestroyOutput(output);
}

TEST_F(LogOptionsTest, ConfigKeyNamedByLogConfigTakesPrecedenceOverTheFileName) {
  LogDict options, config;
  options.Set("log.fileName", dir_.File("plain.log"));
  options.Set("log.config", "sentroLogFile");
  LogOutput *output = CreateFileOutput("sentro", "file", &options, &config);
  EXPECT_EQ(static_cast<FileOutput *>(output)->Options().path, dir_.File("plain.log"));
  DestroyOutput(output);
  config.Set("sentroLogFile", dir_.path() + "//named.log");
  output = CreateFileOutput("sentro", "file", &options, &config);
  EXPECT_EQ(static_cast<FileOutput *>(output)->Options().path, dir_.File("named.log"));
  DestroyOutput(output);
}

TEST_F(LogOptionsTest, LogDirectoryIsTheSystemAreaOrAValidatedPerUserDirectory) {
  LogSetSystemLogDir(dir_.File("varlog").c_str());
  LogDict options;
  options.SetBool("log.systemAreaTemp", true);
  LogOutput *output = CreateFileOutput("sentro", "file", &options, nullptr);
  LogSetSystemLogDir(nullptr);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(static_cast<FileOutput *>(output)->Options().directory, dir_.File("varlog"));
  DestroyOutput(output);

  CaptureOutput *capture = Capture();
  std::string safeDir = dir_.File("norvane-" + std::to_string(geteuid()));
  ASSERT_EQ(mkdir(safeDir.c_str(), 0777), 0);
  ASSERT_EQ(chmod(safeDir.c_str(), 0777), 0);
  EXPECT_EQ(NewFileOutput("x.log"), nullptr);
  EXPECT_TRUE(capture->Contains("Safe logging area '" + safeDir + "' validation failed!\n"));
}

}  // namespace
