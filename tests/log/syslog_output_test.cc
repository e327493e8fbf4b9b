// The syslog output's creation rules and what it hands to the system log,
// observed through a replaced system-log interface.
#include <stdarg.h>

#include "lib/log/syslogOutput.h"
#include "logTestUtil.h"

namespace {

std::vector<std::string> sent;  // "<priority> <text>", the open as "open <identity> <facility>"

void FakeSend(int priority, const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  sent.push_back(std::to_string(priority) + " " + text);
}

const SyslogApi fakeSyslog = {
    [](const char *id, int facility) {
      sent.push_back("open " + std::string(id ? id : "-") + " " + std::to_string(facility));
    },
    FakeSend, [] { sent.push_back("close"); }};

TEST_F(LogTest, SyslogOutputChecksItsIdentityAndFacilityAndFormsTheStructuredElement) {
  SyslogOutputSetApi(&fakeSyslog);
  struct Case {
    const char *key, *value;  // one option: a syslogID, a facility, a profile's extra identity
    const char *opId;
    const char *line;  // the message's record; null when creation fails
  } cases[] = {
      {"log.syslogID", "", nullptr, nullptr},
      {"log.syslogID", "has space", nullptr, nullptr},
      {"log.syslogID", "x234567890123456789012345678901234567890123456789", nullptr, nullptr},
      {"log.syslogID", "x23456789012345678901234567890123456789012345678", nullptr, "11 text"},
      {"log.syslogFacility", "1024", nullptr, nullptr},
      {"log.syslogFacility", "12", nullptr, nullptr},
      {"log.syslogFacility", "1016", nullptr, "1019 text"},
      {"log.syslog.extraID.ops", "", nullptr, nullptr},
      {"log.syslog.extraID.ops", "node-2", "op-4",
       "11 [msg@32473 opID=\"op-4\" extraID=\"node-2\"] text"},
      {"log.syslog.extraID.ops", "node-2", nullptr, "11 [msg@32473 extraID=\"node-2\"] text"},
      {"log.syslogLevel", "debug", "op-5", "11 [msg@32473 opID=\"op-5\"] text"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    LogShutdown();  // forgets the early messages of the cases before
    LogDict options, config;
    options.Set(c.key, c.value);
    if (std::string(c.key).starts_with("log.syslog.")) {
      options.Set("log.syslogID", "$ops");
      config.Set("log.syslog.progID.ops", "sentro-ops");
      config.Set(c.key, c.value);
    }
    LogOutput *output = CreateSyslogOutput("sentro", "syslog", &options, &config);
    ASSERT_EQ(output != nullptr, c.line != nullptr);
    if (output == nullptr) {
      continue;
    }
    ASSERT_TRUE(InstallOutput(output));
    sent.clear();
    static const char *opId;
    opId = c.opId;
    LogSetOpIdProvider(opId ? +[]() -> const char * { return opId; } : nullptr);
    LogAtLevel(LOG_ERROR, "text");  // waits behind "Using POSIX syslog APIs"
    LogSetOpIdProvider(nullptr);
    RemoveOutput(output);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_TRUE(sent[0].starts_with(c.line[1] == '0' ? "open - 1016" : "open ")) << sent[0];
    EXPECT_TRUE(sent[1].find(" Log for ") != std::string::npos) << sent[1];
    EXPECT_EQ(sent[3], c.line);
    EXPECT_EQ(sent[4], "close");
  }
  SyslogOutputSetApi(nullptr);
}

}  // namespace
