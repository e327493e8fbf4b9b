// Observes what the daemon logs: an output installed for the whole test run
// records every message with its level; a LogCapture forgets what came before
// it and reads what came after.
#pragma once

#include <string>
#include <vector>

struct CapturedMessage {
  int level;
  std::string text;
};

// The recording itself, for helpers that keep their own interface over it.
std::vector<CapturedMessage> CapturedMessages();
void ClearCapturedMessages();

class LogCapture {
 public:
  LogCapture();  // starts with an empty record

  // Every message since construction (or the last Clear), in order.
  std::vector<CapturedMessage> Messages() const;
  // All texts concatenated.
  std::string Text() const;
  // True when one message has exactly this level and text.
  bool Has(int level, const std::string &text) const;
  void Clear();
};
