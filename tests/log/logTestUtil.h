// Helpers shared by the log facility's tests: an output that records what
// the facility delivers, a clock that moves only when told, and a fixture
// that leaves the process-wide log state empty before and after each test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "lib/log/clock.h"
#include "lib/log/log.h"
#include "lib/log/logOutput.h"
#include "support/TempDir.h"

inline std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

inline size_t CountOccurrences(const std::string &text, const std::string &needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

struct CapturedLine {
  LogLineHeader header;
  std::string text;
};

// Records every line delivered to it; tests read `lines` after logging.
struct CaptureOutput : LogOutput {
  explicit CaptureOutput(int outputLevel = LOG_MAX_LEVEL) { level = outputLevel; }
  void Write(const LogLineHeader &header, const char *text, size_t length) override {
    lines.push_back(CapturedLine{header, std::string(text, length)});
  }
  bool Contains(const std::string &needle) const { return Count(needle) > 0; }
  size_t Count(const std::string &needle) const {
    size_t count = 0;
    for (const CapturedLine &line : lines) {
      count += line.text.find(needle) != std::string::npos;
    }
    return count;
  }
  std::vector<CapturedLine> lines;
};

// A monotonic clock that moves only when a test advances it.
inline int64_t fakeClockMicros = 0;
inline int64_t FakeClock() {
  return fakeClockMicros;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogShutdown();
    // The per-user safe log directory goes under the test's own directory.
    const char *previous = getenv("TMPDIR");
    hadTmpDir_ = previous != nullptr;
    savedTmpDir_ = hadTmpDir_ ? previous : "";
    setenv("TMPDIR", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    LogShutdown();
    ClockSetMonotonicSource(nullptr);
    hadTmpDir_ ? setenv("TMPDIR", savedTmpDir_.c_str(), 1) : unsetenv("TMPDIR");
  }

  // Installs and returns an output that records what reaches it.
  CaptureOutput *Capture(int level = LOG_MAX_LEVEL) {
    auto *capture = new CaptureOutput(level);
    EXPECT_TRUE(InstallOutput(capture));
    return capture;
  }

  // Creates a file output writing to `name` in the test directory.
  LogOutput *NewFileOutput(const std::string &name, LogDict options = LogDict()) {
    options.Set("log.fileName", dir_.File(name));
    return CreateFileOutput("sentro", "file", &options, nullptr);
  }

  TempDir dir_;

 private:
  std::string savedTmpDir_;
  bool hadTmpDir_ = false;
};
