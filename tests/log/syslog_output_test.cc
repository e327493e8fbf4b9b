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

  LogOutput *Create(const LogDict &options) {
    return CreateSyslogOutput("sentro", "syslog", &options, nullptr);
  }
};

TEST_F(LogSyslogOutputTest, CreationAnnouncesThePosixInterface) {
  auto *capture = new CaptureOutput;
  ASSERT_TRUE(InstallOutput(capture));
  LogOutput *output = Create(LogDict());
  ASSERT_NE(output, nullptr);
  ASSERT_FALSE(capture->lines.empty());
  EXPECT_EQ(capture->lines[0].text, "Using POSIX syslog APIs\n");
  EXPECT_EQ(capture->lines[0].header.level, LOG_INFO);
  DestroyOutput(output);
}

TEST_F(LogSyslogOutputTest, IdentityMustBeShortPrintableAndWithoutSpaces) {
  LogDict options;
  options.Set("log.syslogID", "");
  EXPECT_EQ(Create(options), nullptr);
  options.Set("log.syslogID", "has space");
  EXPECT_EQ(Create(options), nullptr);
  options.Set("log.syslogID", "tab\there");
  EXPECT_EQ(Create(options), nullptr);
  options.Set("log.syslogID", std::string(49, 'x'));
  EXPECT_EQ(Create(options), nullptr);
  options.Set("log.syslogID", std::string(48, 'x'));
  LogOutput *output = Create(options);
  EXPECT_NE(output, nullptr);
  DestroyOutput(output);
}

TEST_F(LogSyslogOutputTest, FacilityMustBeAShiftedFacilityCode) {
  LogDict options;
  for (int bad : {3, 1017, 1024}) {
    options.SetInt("log.syslogFacility", bad);
    EXPECT_EQ(Create(options), nullptr) << bad;
  }
  for (int good : {0, 8, 16 * 8, 1016}) {
    options.SetInt("log.syslogFacility", good);
    LogOutput *output = Create(options);
    EXPECT_NE(output, nullptr) << good;
    DestroyOutput(output);
  }
}

TEST_F(LogSyslogOutputTest, ProfileIdentityNeedsAnExtraIdentity) {
  LogDict options, config;
  options.Set("log.syslogID", "$audit");
  config.Set("log.syslog.progID.audit", "sentro-audit");
  EXPECT_EQ(CreateSyslogOutput("sentro", "syslog", &options, &config), nullptr);
  config.Set("log.syslog.extraID.audit", "");
  EXPECT_EQ(CreateSyslogOutput("sentro", "syslog", &options, &config), nullptr);
  config.Set("log.syslog.extraID.audit", "appliance-7");
  LogOutput *output = CreateSyslogOutput("sentro", "syslog", &options, &config);
  ASSERT_NE(output, nullptr);
  ASSERT_TRUE(InstallOutput(output));
  Log("profiled");
  EXPECT_EQ(openedIdentity, "sentro-audit");
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().text, "[msg@32473 extraID=\"appliance-7\"] profiled");
}

TEST_F(LogSyslogOutputTest, OpensOnFirstMessageAndSendsPlainLinesWithLevelPriorities) {
  LogDict options;
  options.Set("log.syslogLevel", "debug");
  options.SetInt("log.syslogFacility", 16 * 8);
  LogOutput *output = Create(options);
  ASSERT_NE(output, nullptr);
  ASSERT_TRUE(InstallOutput(output));
  EXPECT_EQ(openedFacility, -1);
  LogAtLevel(LOG_ERROR, "first\nsecond");
  // The creation's own message waited in the early ring until now.
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[1].text, "Using POSIX syslog APIs");
  sent.erase(sent.begin() + 1);
  LogAtLevel(LOG_DEBUG, "debugging");
  EXPECT_EQ(openedIdentity, "<program name>");
  EXPECT_EQ(openedFacility, 128);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].priority, 128 | 6);
  EXPECT_EQ(sent[0].text.rfind("Log for ", 0), 0u);
  EXPECT_EQ(sent[1].priority, 128 | 3);
  EXPECT_EQ(sent[1].text, "first");
  EXPECT_EQ(sent[2].text, "second");
  EXPECT_EQ(sent[3].priority, 128 | 7);
  RemoveOutput(output);
  EXPECT_EQ(closeCount, 1);
}

TEST_F(LogSyslogOutputTest, OperationIdAndExtraIdentityFormTheStructuredElement) {
  LogDict options, config;
  options.Set("log.syslogID", "$ops");
  config.Set("log.syslog.progID.ops", "sentro");
  config.Set("log.syslog.extraID.ops", "node-2");
  LogOutput *output = CreateSyslogOutput("sentro", "syslog", &options, &config);
  ASSERT_NE(output, nullptr);
  ASSERT_TRUE(InstallOutput(output));
  LogSetOpIdProvider([]() -> const char * { return "op-42"; });
  Log("with both");
  LogSetOpIdProvider(nullptr);
  EXPECT_EQ(sent.back().text, "[msg@32473 opID=\"op-42\" extraID=\"node-2\"] with both");

  RemoveOutput(output);
  output = Create(LogDict());
  ASSERT_TRUE(InstallOutput(output));
  LogSetOpIdProvider([]() -> const char * { return "op-43"; });
  Log("only the operation");
  LogSetOpIdProvider(nullptr);
  EXPECT_EQ(sent.back().text, "[msg@32473 opID=\"op-43\"] only the operation");
}

}  // namespace
