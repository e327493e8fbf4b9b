// Reading output options from defaults, the option dictionary and the
// configuration source.
#include <sys/stat.h>

#include "lib/log/fileOutput.h"
#include "lib/log/logOptions.h"
#include "logTestUtil.h"

namespace {

class LogOptionsTest : public LogTest {};

TEST_F(LogOptionsTest, LaterSourcesWinInOrder) {
  LogDict options, config;
  LogOptionReader reader("sentro", "file", &options, &config);
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 3);
  options.SetInt("log.keepOld", 5);
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 5);
  config.SetInt("log.keepOld", 6);
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 6);
  config.SetInt("sentro.log.keepOld", 7);
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 7);
}

TEST_F(LogOptionsTest, ALaterSourceEqualToTheDefaultDoesNotOverride) {
  LogDict options, config;
  options.SetInt("log.rotateSize", 20971520);
  config.SetInt("log.rotateSize", 0);
  config.SetBool("sentro.log.append", false);
  options.SetBool("log.append", true);
  LogOptionReader reader("sentro", "file", &options, &config);
  EXPECT_EQ(reader.Int("log.rotateSize", 0, 0), 20971520);
  EXPECT_TRUE(reader.Bool("log.append", false));
}

TEST_F(LogOptionsTest, OtherOutputTypesReadConfigurationKeysWithTheirTypeName) {
  LogDict config;
  config.SetInt("log.keepOld", 4);
  config.SetInt("log.keepOld.audit", 9);
  LogOptionReader custom("sentro", "audit", nullptr, &config);
  EXPECT_EQ(custom.Int("log.keepOld", 3, 0), 9);
  LogOptionReader file("sentro", "file", nullptr, &config);
  EXPECT_EQ(file.Int("log.keepOld", 3, 0), 4);
  config.SetInt("sentro.log.keepOld.audit", 11);
  EXPECT_EQ(custom.Int("log.keepOld", 3, 0), 11);
}

TEST_F(LogOptionsTest, UnparsableValuesLeaveTheDefault) {
  LogDict options;
  options.Set("log.keepOld", "many");
  options.Set("log.append", "perhaps");
  options.Set("log.fileLevel", "loudest");
  options.Set("log.stderrLevel", "None");
  LogOptionReader reader("sentro", "file", &options, nullptr);
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 3);
  EXPECT_FALSE(reader.Bool("log.append", false));
  EXPECT_EQ(reader.Level("log.fileLevel", 5), 5);
  EXPECT_EQ(reader.Level("log.stderrLevel", 5), -1);
  EXPECT_FALSE(reader.Text("log.suffix").has_value());
}

TEST_F(LogOptionsTest, IntegerBelowItsMinimumIsReplacedWithAWarning) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  LogDict options;
  options.SetInt("log.keepOld", -2);
  options.SetInt("log.permissions", 0);
  options.SetInt("log.throttleBytesPerSec", -1);
  LogOptionReader reader("sentro", "file", &options, nullptr);
  EXPECT_EQ(reader.Int("log.keepOld", 3, 0), 3);
  EXPECT_EQ(reader.Int("log.permissions", 416, 1, 0), 416);
  EXPECT_EQ(reader.Int("log.throttleBytesPerSec", 1000, -1), -1);
  ASSERT_EQ(capture->lines.size(), 2u);
  EXPECT_EQ(capture->lines[0].text, "LogFileInt32: log.keepOld (-2) is invalid. Set to 3.\n");
  EXPECT_EQ(capture->lines[0].header.level, LOG_WARNING);
  EXPECT_EQ(capture->lines[1].text, "LogFileInt32: log.permissions (0) is invalid. Set to 416.\n");
}

TEST_F(LogOptionsTest, SmallRotateSizeIsRaisedToTheFloor) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  LogDict options;
  options.SetInt("log.rotateSize", 50000);
  LogOutput *output = NewFileOutput("floor.log", options);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(static_cast<FileOutput *>(output)->Options().rotateSize, 100000);
  EXPECT_TRUE(
      capture->Contains("LogFileVariables: log.rotateSize (50000) is too small. Set to 100000.\n"));
  DestroyOutput(output);
}

TEST_F(LogOptionsTest, FileOutputTakesEveryOptionFromTheDictionary) {
  LogDict options;
  options.SetBool("log.useTimeStamps", false);
  options.SetBool("log.useMilliseconds", false);
  options.SetBool("log.useLevelDesignator", false);
  options.SetBool("log.useThreadName", false);
  options.SetBool("log.useOpID", true);
  options.SetBool("log.append", true);
  options.SetBool("log.syncAfterWrite", true);
  options.SetBool("log.fastRotation", true);
  options.SetInt("log.keepOld", 8);
  options.SetInt("log.rotateSize", 20971520);
  options.Set("log.permissions", "0600");
  options.Set("log.fileLevel", "debug");
  options.Set("log.stderrLevel", "error");
  LogOutput *output = NewFileOutput("all.log", options);
  ASSERT_NE(output, nullptr);
  const FileOutputOptions &read = static_cast<FileOutput *>(output)->Options();
  EXPECT_FALSE(read.prefix.timeStamps);
  EXPECT_FALSE(read.prefix.milliseconds);
  EXPECT_FALSE(read.prefix.levelDesignator);
  EXPECT_FALSE(read.prefix.threadName);
  EXPECT_TRUE(read.prefix.opId);
  EXPECT_TRUE(read.append);
  EXPECT_TRUE(read.syncAfterWrite);
  EXPECT_TRUE(read.fastRotation);
  EXPECT_EQ(read.keepOld, 8);
  EXPECT_EQ(read.rotateSize, 20971520);
  EXPECT_EQ(read.permissions, 0600);
  EXPECT_EQ(read.path, dir_.File("all.log"));
  EXPECT_FALSE(read.generatedName);
  EXPECT_EQ(output->level, LOG_DEBUG);
  EXPECT_EQ(output->stderrLevel, LOG_ERROR);
  DestroyOutput(output);
}

TEST_F(LogOptionsTest, DefaultsOfTheFileOutput) {
  LogOutput *output = CreateFileOutput("sentro", "file", nullptr, nullptr);
  ASSERT_NE(output, nullptr);
  const FileOutputOptions &read = static_cast<FileOutput *>(output)->Options();
  EXPECT_TRUE(read.prefix.timeStamps && read.prefix.milliseconds && read.prefix.levelDesignator &&
              read.prefix.threadName);
  EXPECT_FALSE(read.prefix.opId || read.append || read.syncAfterWrite || read.fastRotation);
  EXPECT_EQ(read.keepOld, 3);
  EXPECT_EQ(read.rotateSize, 0);
  EXPECT_EQ(read.permissions, 0640);
  EXPECT_EQ(output->level, LOG_INFO);
  EXPECT_EQ(output->stderrLevel, -1);
  // Without a file name the log goes to the per-user safe directory.
  EXPECT_TRUE(read.generatedName);
  EXPECT_EQ(read.directory, dir_.File("norvane-" + std::to_string(geteuid())));
  EXPECT_EQ(read.path, read.directory + "/norvane-" + std::to_string(getpid()) + ".log");
  DestroyOutput(output);
}

TEST_F(LogOptionsTest, GeneratedNameCarriesTheSuffix) {
  LogDict options;
  options.Set("log.suffix", "worker");
  LogOutput *output = CreateFileOutput("sentro", "file", &options, nullptr);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(static_cast<FileOutput *>(output)->Options().path,
            dir_.File("norvane-" + std::to_string(geteuid())) + "/norvane-worker-" +
                std::to_string(getpid()) + ".log");
  DestroyOutput(output);
}

TEST_F(LogOptionsTest, ConfigKeyNamedByLogConfigTakesPrecedenceOverTheFileName) {
  LogDict options, config;
  options.Set("log.fileName", dir_.File("plain.log"));
  options.Set("log.config", "sentroLogFile");
  LogOutput *output = CreateFileOutput("sentro", "file", &options, &config);
  EXPECT_EQ(static_cast<FileOutput *>(output)->Options().path, dir_.File("plain.log"));
  DestroyOutput(output);
  config.Set("sentroLogFile", dir_.Path() + "//named.log");
  output = CreateFileOutput("sentro", "file", &options, &config);
  EXPECT_EQ(static_cast<FileOutput *>(output)->Options().path, dir_.File("named.log"));
  DestroyOutput(output);
}

TEST_F(LogOptionsTest, SystemAreaUsesTheRelocatedSystemLogDirectory) {
  LogSetSystemLogDir(dir_.File("varlog").c_str());
  LogDict options;
  options.SetBool("log.systemAreaTemp", true);
  LogOutput *output = CreateFileOutput("sentro", "file", &options, nullptr);
  LogSetSystemLogDir(nullptr);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(static_cast<FileOutput *>(output)->Options().directory, dir_.File("varlog"));
  DestroyOutput(output);
}

TEST_F(LogOptionsTest, UnsafePerUserDirectoryFailsCreation) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  std::string safeDir = dir_.File("norvane-" + std::to_string(geteuid()));
  ASSERT_EQ(mkdir(safeDir.c_str(), 0777), 0);
  ASSERT_EQ(chmod(safeDir.c_str(), 0777), 0);
  EXPECT_EQ(NewFileOutput("x.log"), nullptr);
  EXPECT_TRUE(capture->Contains("Safe logging area '" + safeDir + "' validation failed!\n"));
}

}  // namespace
