// Collects what the log facility writes while a test runs: installs a file
// output on a private file and reads it back.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "lib/log/log.h"

class LogCapture {
 public:
  // With echoToStderr the messages are also written to standard error, which
  // is what a death test can see of a process that aborts.
  explicit LogCapture(bool echoToStderr = false) {
    std::string tmpl = testing::TempDir() + "sentro-log-XXXXXX";
    dir_ = mkdtemp(tmpl.data()) ? tmpl : testing::TempDir();
    path_ = dir_ + "/capture.log";
    LogDict options;
    options.Set("log.fileName", path_);
    options.Set("log.fileLevel", "8");
    options.SetInt("log.throttleBytesPerSec", 0);
    options.SetBool("log.useThreadName", false);
    if (echoToStderr) {
      options.Set("log.stderrLevel", "8");
    }
    output_ = CreateFileOutput("sentro-test", "file", &options, nullptr);
    if (output_ == nullptr || !InstallOutput(output_)) {
      ADD_FAILURE() << "cannot capture the log in " << path_;
    }
    // Opens the file now, so that it does not take a descriptor number the
    // test has just closed on purpose.
    LogAtLevel(LOG_DEBUG, "log capture started\n");
  }

  ~LogCapture() {
    if (output_ != nullptr) {
      RemoveOutput(output_);
    }
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  std::string Text() const {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  int Count(const std::string &needle) const {
    std::string text = Text();
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
      count++;
    }
    return count;
  }

 private:
  std::string dir_;
  std::string path_;
  LogOutput *output_ = nullptr;
};

// printf into a std::string, to build the expected text of a message.
inline std::string Format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char *fmt, ...) {
  char buffer[512];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
}
