// The log tests' fixture: an output that records what the facility delivers,
// a private directory for log files, and a facility left empty before and
// after each test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "lib/log/log.h"
#include "lib/log/logOutput.h"
#include "support/TempDir.h"

struct CaptureOutput : LogOutput {
  explicit CaptureOutput(int outputLevel = LOG_MAX_LEVEL) { level = outputLevel; }
  void Write(const LogLineHeader &header, const char *text, size_t length) override {
    headers.push_back(header);
    lines.emplace_back(text, length);
  }
  std::vector<LogLineHeader> headers;
  std::vector<std::string> lines;
};

inline size_t CountOccurrences(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
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

  // Installs a file output on `name` in the test directory; unless the
  // options say otherwise its lines carry no prefix.
  LogOutput *InstallFile(const std::string &name, LogDict options = LogDict()) {
    options.Set("log.fileName", dir_.File(name));
    for (const char *field : {"log.useTimeStamps", "log.useLevelDesignator", "log.useThreadName"}) {
      if (options.Find(field) == nullptr) {
        options.SetBool(field, false);
      }
    }
    LogOutput *output = CreateFileOutput("sentro", "file", &options, nullptr);
    EXPECT_TRUE(InstallOutput(output));
    return output;
  }

  std::string Read(const std::string &name) { return ReadWholeFile(dir_.File(name)); }

  TempDir dir_;
};
