// Records what the service code logs: an output installed for the whole test
// run keeps every message with its level; Clear forgets what came before.
#pragma once

#include <string>
#include <vector>

#include "support/LogCapture.h"

using LoggedMessage = CapturedMessage;

namespace servicetest {

std::vector<LoggedMessage> LoggedMessages();
// True when one message has exactly this level and text.
bool Logged(int level, const std::string &text);
// How many messages have exactly this text, at any level.
int CountLogged(const std::string &text);
// The position of the first message with this text, or -1.
int LogIndex(const std::string &text);
void ClearLog();

}  // namespace servicetest
