#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <mutex>

#include "lib/log/logOutput.h"

namespace {

struct CaptureOutput : LogOutput {
  bool TakesWholeMessages() const override { return true; }
  void Write(const LogLineHeader &header, const char *text, size_t length) override {
    std::lock_guard<std::mutex> guard(lock);
    messages.push_back({header.level, std::string(text, length)});
  }

  std::mutex lock;
  std::vector<CapturedMessage> messages;
};

// Installed before the first test runs and never removed, so that no message
// waits in the facility's early-message ring and surfaces in a later test.
CaptureOutput *Capture() {
  static CaptureOutput *output = [] {
    auto *created = new CaptureOutput();
    created->level = LOG_MAX_LEVEL;
    InstallOutput(created);
    return created;
  }();
  return output;
}

class CaptureEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { Capture(); }
};

// Registration only; the output is installed when the test run begins.
::testing::Environment *const captureEnvironment =
    ::testing::AddGlobalTestEnvironment(new CaptureEnvironment());

}  // namespace

std::vector<CapturedMessage> CapturedMessages() {
  std::lock_guard<std::mutex> guard(Capture()->lock);
  return Capture()->messages;
}

void ClearCapturedMessages() {
  std::lock_guard<std::mutex> guard(Capture()->lock);
  Capture()->messages.clear();
}

LogCapture::LogCapture() {
  Clear();
}

std::vector<CapturedMessage> LogCapture::Messages() const {
  return CapturedMessages();
}

std::string LogCapture::Text() const {
  std::string text;
  for (const CapturedMessage &message : Messages()) {
    text += message.text;
  }
  return text;
}

bool LogCapture::Has(int level, const std::string &text) const {
  for (const CapturedMessage &message : Messages()) {
    if (message.level == level && message.text == text) {
      return true;
    }
  }
  return false;
}

void LogCapture::Clear() {
  ClearCapturedMessages();
}
