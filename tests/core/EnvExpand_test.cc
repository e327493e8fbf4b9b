#include "src/core/EnvExpand.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "lib/log/log.h"
#include "support/LogCapture.h"

namespace {

class EnvExpandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SENTRO_T_HOME", "/home/op", 1);
    setenv("SENTRO_T_EMPTY", "", 1);
    setenv("SENTRO_T_PCT", "%SENTRO_T_HOME%", 1);
    setenv("SENTRO_T_A%B", "ab", 1);
    unsetenv("SENTRO_T_UNSET");
  }
};

TEST_F(EnvExpandTest, ReferencesAreReplacedAndDoublePercentIsALiteralPercent) {
  struct Case {
    const char *source;
    const char *expanded;
  } cases[] = {
      {"", ""},
      {"/opt/sentro/bin", "/opt/sentro/bin"},
      {"%SENTRO_T_HOME%/bin", "/home/op/bin"},
      {"a%SENTRO_T_HOME%b%SENTRO_T_HOME%", "a/home/opb/home/op"},
      {"100%%", "100%"},
      {"%%%SENTRO_T_HOME%", "%/home/op"},
      {"%%%%", "%%"},
      {"%SENTRO_T_A%%B%", "ab"},              // "%%" inside a name belongs to the name
      {"x%SENTRO_T_EMPTY%y", "xy"},           // an empty value expands to nothing
      {"%SENTRO_T_PCT%", "%SENTRO_T_HOME%"},  // values are not expanded again
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.source);
    LogCapture capture;
    std::string out = "stale";
    EXPECT_TRUE(ExpandEnvVars(c.source, &out));
    EXPECT_EQ(out, c.expanded);
    EXPECT_EQ(capture.Text(), "");
  }
}

TEST_F(EnvExpandTest, BadReferencesFailWithOneError) {
  struct Case {
    const char *source;
    const char *message;
  } cases[] = {
      {"%SENTRO_T_HOME", "Missing ending % in %SENTRO_T_HOME\n"},
      {"ends with %", "Missing ending % in ends with %\n"},
      {"%SENTRO_T_HOME%%", "Missing ending % in %SENTRO_T_HOME%%\n"},
      {"/x/%SENTRO_T_UNSET%/y", "Env variable SENTRO_T_UNSET is not set\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.source);
    LogCapture capture;
    std::string out;
    EXPECT_FALSE(ExpandEnvVars(c.source, &out));
    ASSERT_EQ(capture.Messages().size(), 1u);
    EXPECT_TRUE(capture.Has(LOG_ERROR, c.message));
  }
}

}  // namespace
