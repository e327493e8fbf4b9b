#include "ServiceLogCapture.h"

#include <gtest/gtest.h>

#include <mutex>

#include "lib/log/logOutput.h"

namespace {

struct RecordingOutput : LogOutput {
  bool TakesWholeMessages() const override { return true; }
  void Write(const LogLineHeader &header, const char *text, size_t length) override {
    std::lock_guard<std::mutex> guard(lock);
    messages.push_back({header.level, std::string(text, length)});
  }

  std::mutex lock;
  std::vector<LoggedMessage> messages;
};

// Installed before the first test and never removed, so that no message
// lingers in the facility and surfaces in a later test.
RecordingOutput *Recorder() {
  static RecordingOutput *output = [] {
    auto *created = new RecordingOutput();
    created->level = LOG_MAX_LEVEL;
    InstallOutput(created);
    return created;
  }();
  return output;
}

class RecorderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { Recorder(); }
};

::testing::Environment *const recorderEnvironment =
    ::testing::AddGlobalTestEnvironment(new RecorderEnvironment());

}  // namespace

namespace servicetest {

std::vector<LoggedMessage> LoggedMessages() {
  std::lock_guard<std::mutex> guard(Recorder()->lock);
  return Recorder()->messages;
}

bool Logged(int level, const std::string &text) {
  for (const LoggedMessage &message : LoggedMessages()) {
    if (message.level == level && message.text == text) {
      return true;
    }
  }
  return false;
}

int CountLogged(const std::string &text) {
  int count = 0;
  for (const LoggedMessage &message : LoggedMessages()) {
    count += message.text == text;
  }
  return count;
}

int LogIndex(const std::string &text) {
  std::vector<LoggedMessage> messages = LoggedMessages();
  for (size_t i = 0; i < messages.size(); i++) {
    if (messages[i].text == text) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void ClearLog() {
  std::lock_guard<std::mutex> guard(Recorder()->lock);
  Recorder()->messages.clear();
}

}  // namespace servicetest
