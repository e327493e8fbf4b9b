#include "ServiceLogCapture.h"

#include <algorithm>

namespace servicetest {

std::vector<LoggedMessage> LoggedMessages() {
  return CapturedMessages();
}

bool Logged(int level, const std::string &text) {
  std::vector<LoggedMessage> messages = LoggedMessages();
  return std::any_of(messages.begin(), messages.end(), [&](const LoggedMessage &message) {
    return message.level == level && message.text == text;
  });
}

int CountLogged(const std::string &text) {
  std::vector<LoggedMessage> messages = LoggedMessages();
  return static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                        [&](const LoggedMessage &m) { return m.text == text; }));
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
