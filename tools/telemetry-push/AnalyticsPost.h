// The HTTP transfer of a telemetry push, through libcurl.
#pragma once

#include <string>

// Posts payload as JSON to url with a total time-out of one second. True
// when the exchange completed, whatever the HTTP status.
bool PushDataToAnalytics(const std::string &url, const std::string &payload);
