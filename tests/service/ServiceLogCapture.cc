#include "ServiceLogCapture.h"

#include <gtest/gtest.h>

namespace servicetest {

std::vector<LoggedMessage> LoggedMessages() {
  return CapturedMessages();
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
  ClearCapturedMessages();
}

}  // namespace servicetest
