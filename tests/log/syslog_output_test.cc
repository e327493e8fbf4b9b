// The syslog output's creation rules and what it hands to the system log,
// observed through a replaced system-log interface.
#include <stdarg.h>
#include <stdio.h>

#include "lib/log/syslogOutput.h"
#include "logTestUtil.h"

namespace {

struct SentRecord {
  int priority;
  std::string text;
};

std::vector<SentRecord> sent;
std::string openedIdentity;
int openedFacility = -1;
int closeCount = 0;

void FakeOpen(const char *identity, int facility) {
  openedIdentity = identity ? identity : "<program name>";
  openedFacility = facility;
}

void FakeSend(int priority, const char *format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  sent.push_back(SentRecord{priority, text});
}

void FakeClose() {
  ++closeCount;
}

class LogSyslogOutputTest : public LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    static const SyslogApi fake = {FakeOpen, FakeSend, FakeClose};
    SyslogOutputSetApi(&fake);
    sent.clear();
    openedIdentity.clear();
    openedFacility = -1;
    closeCount = 0;
  }
  void TearDown() override {
    LogTest::TearDown();
    SyslogOutputSetApi(nullptr);
  }
};

TEST_F(LogSyslogOutputTest, CreationChecksIdentityFacilityAndProfile) {
  struct Case {
    const char *syslogId;  // nullptr: not set
    int facility;          // -1: not set
    const char *progId, *extraId;
    bool created;
  } cases[] = {
      {"", -1, nullptr, nullptr, false},
      {"has space", -1, nullptr, nullptr, false},
      {"tab\there", -1, nullptr, nullptr, false},
      {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", -1, nullptr, nullptr, false},  // 49
      {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", -1, nullptr, nullptr, true},    // 48
      {nullptr, 3, nullptr, nullptr, false},
      {nullptr, 1017, nullptr, nullptr, false},
      {nullptr, 1024, nullptr, nullptr, false},
      {nullptr, 0, nullptr, nullptr, true},
      {nullptr, 1016, nullptr, nullptr, true},
      // A profile identity needs a non-empty extra identity.
      {"$audit", -1, "sentro-audit", nullptr, false},
      {"$audit", -1, "sentro-audit", "", false},
      {"$audit", -1, "sentro-audit", "appliance-7", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.syslogId ? c.syslogId : "-") + " " + std::to_string(c.facility));
    LogDict options, config;
    if (c.syslogId != nullptr) {
      options.Set("log.syslogID", c.syslogId);
    }
    if (c.facility != -1) {
      options.SetInt("log.syslogFacility", c.facility);
    }
    if (c.progId != nullptr) {
      config.Set("log.syslog.progID.audit", c.progId);
    }
    if (c.extraId != nullptr) {
      config.Set("log.syslog.extraID.audit", c.extraId);
    }
    LogOutput *output = CreateSyslogOutput("sentro", "syslog", &options, &config);
    EXPECT_EQ(output != nullptr, c.created);
    DestroyOutput(output);
  }
}

TEST_F(LogSyslogOutputTest, OpensOnFirstMessageAndSendsPlainLinesWithLevelPriorities) {
  LogDict options;
  options.Set("log.syslogLevel", "debug");
  options.SetInt("log.syslogFacility", 16 * 8);
  LogOutput *output = CreateSyslogOutput("sentro", "syslog", &options, nullptr);
  ASSERT_NE(output, nullptr);
  ASSERT_TRUE(InstallOutput(output));
  EXPECT_EQ(openedFacility, -1);
  LogAtLevel(LOG_ERROR, "first\nsecond");
  LogAtLevel(LOG_DEBUG, "debugging");
  EXPECT_EQ(openedIdentity, "<program name>");
  EXPECT_EQ(openedFacility, 128);
  // The creation's own info message waited in the early ring until the first.
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0].priority, 128 | 6);
  EXPECT_TRUE(sent[0].text.starts_with("Log for ")) << sent[0].text;
  EXPECT_EQ(sent[1].priority, 128 | 6);
  EXPECT_EQ(sent[1].text, "Using POSIX syslog APIs");
  EXPECT_EQ(sent[2].priority, 128 | 3);
  EXPECT_EQ(sent[2].text, "first");
  EXPECT_EQ(sent[3].text, "second");
  EXPECT_EQ(sent[4].priority, 128 | 7);
  RemoveOutput(output);
  EXPECT_EQ(closeCount, 1);
}

TEST_F(LogSyslogOutputTest, OperationIdAndExtraIdentityFormTheStructuredElement) {
  struct Case {
    bool profile;
    const char *opId;
    const char *identity, *text;
  } cases[] = {
      {true, "op-42", "sentro-ops", "[msg@32473 opID=\"op-42\" extraID=\"node-2\"] text"},
      {true, nullptr, "sentro-ops", "[msg@32473 extraID=\"node-2\"] text"},
      {false, "op-43", "<program name>", "[msg@32473 opID=\"op-43\"] text"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    LogDict options, config;
    if (c.profile) {
      options.Set("log.syslogID", "$ops");
      config.Set("log.syslog.progID.ops", "sentro-ops");
      config.Set("log.syslog.extraID.ops", "node-2");
    }
    LogOutput *output = CreateSyslogOutput("sentro", "syslog", &options, &config);
    ASSERT_NE(output, nullptr);
    ASSERT_TRUE(InstallOutput(output));
    static const char *opId;
    opId = c.opId;
    LogSetOpIdProvider(opId ? +[]() -> const char * { return opId; } : nullptr);
    Log("text");
    LogSetOpIdProvider(nullptr);
    EXPECT_EQ(openedIdentity, c.identity);
    EXPECT_EQ(sent.back().text, c.text);
    RemoveOutput(output);
  }
}

}  // namespace
