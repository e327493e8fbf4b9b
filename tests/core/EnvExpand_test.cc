#include "src/core/EnvExpand.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/LogCapture.h"
#include "lib/log/log.h"

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

  // Expands source, expecting success and no message.
  std::string Expanded(const std::string &source) {
    LogCapture capture;
    std::string out = "stale";
    EXPECT_TRUE(ExpandEnvVars(source, &out)) << source;
    EXPECT_EQ(capture.Text(), "") << source;
    return out;
  }
};

TEST_F(EnvExpandTest, ReferenceIsReplacedByTheVariableValue) {
  EXPECT_EQ(Expanded("%SENTRO_T_HOME%/bin"), "/home/op/bin");
  EXPECT_EQ(Expanded("a%SENTRO_T_HOME%b%SENTRO_T_HOME%"), "a/home/opb/home/op");
}

TEST_F(EnvExpandTest, TextWithoutReferencesIsCopied) {
  EXPECT_EQ(Expanded(""), "");
  EXPECT_EQ(Expanded("/opt/sentro/bin"), "/opt/sentro/bin");
}

TEST_F(EnvExpandTest, DoublePercentIsOneLiteralPercent) {
  EXPECT_EQ(Expanded("100%%"), "100%");
  EXPECT_EQ(Expanded("%%%SENTRO_T_HOME%"), "%/home/op");
  EXPECT_EQ(Expanded("%%%%"), "%%");
  EXPECT_EQ(Expanded("a%%b"), "a%b");
}

TEST_F(EnvExpandTest, DoublePercentInsideANameIsPartOfTheName) {
  EXPECT_EQ(Expanded("%SENTRO_T_A%%B%"), "ab");
}

TEST_F(EnvExpandTest, EmptyValueExpandsToNothing) {
  EXPECT_EQ(Expanded("x%SENTRO_T_EMPTY%y"), "xy");
}

TEST_F(EnvExpandTest, ValuesAreNotExpandedAgain) {
  EXPECT_EQ(Expanded("%SENTRO_T_PCT%"), "%SENTRO_T_HOME%");
}

TEST_F(EnvExpandTest, UnterminatedReferenceFailsNamingTheWholeText) {
  LogCapture capture;
  std::string out;
  EXPECT_FALSE(ExpandEnvVars("%SENTRO_T_HOME", &out));
  ASSERT_EQ(capture.Messages().size(), 1u);
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Missing ending % in %SENTRO_T_HOME\n"));

  capture.Clear();
  EXPECT_FALSE(ExpandEnvVars("ends with %", &out));
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Missing ending % in ends with %\n"));

  capture.Clear();
  EXPECT_FALSE(ExpandEnvVars("%SENTRO_T_HOME%%", &out));
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Missing ending % in %SENTRO_T_HOME%%\n"));
}

TEST_F(EnvExpandTest, UnsetVariableFailsNamingTheVariable) {
  LogCapture capture;
  std::string out;
  EXPECT_FALSE(ExpandEnvVars("/x/%SENTRO_T_UNSET%/y", &out));
  ASSERT_EQ(capture.Messages().size(), 1u);
  EXPECT_TRUE(capture.Has(LOG_ERROR, "Env variable SENTRO_T_UNSET is not set\n"));
}

}  // namespace
