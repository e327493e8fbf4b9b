#include "src/core/EnvExpand.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "lib/log/log.h"
#include "support/LogCapture.h"

namespace {

TEST(EnvExpand, ReferencesAreReplacedDoublePercentIsLiteralAndBadReferencesFailWithOneError) {
  setenv("SENTRO_T_HOME", "/home/op", 1);
  setenv("SENTRO_T_EMPTY", "", 1);
  setenv("SENTRO_T_PCT", "%SENTRO_T_HOME%", 1);
  setenv("SENTRO_T_A%B", "ab", 1);
  unsetenv("SENTRO_T_UNSET");
  const struct {
    const char *source;
    const char *expanded;  // or the one error logged
    bool ok;
  } cases[] = {
      {"", "", true},
      {"a%SENTRO_T_HOME%b%SENTRO_T_HOME%", "a/home/opb/home/op", true},
      {"100%%", "100%", true},
      {"%%%SENTRO_T_HOME%", "%/home/op", true},
      {"%%%%", "%%", true},
      {"%SENTRO_T_A%%B%", "ab", true},              // "%%" inside a name belongs to the name
      {"x%SENTRO_T_EMPTY%y", "xy", true},           // an empty value expands to nothing
      {"%SENTRO_T_PCT%", "%SENTRO_T_HOME%", true},  // values are not expanded again
      {"%SENTRO_T_HOME", "Missing ending % in %SENTRO_T_HOME\n", false},
      {"ends with %", "Missing ending % in ends with %\n", false},
      {"%SENTRO_T_HOME%%", "Missing ending % in %SENTRO_T_HOME%%\n", false},
      {"/x/%SENTRO_T_UNSET%/y", "Env variable SENTRO_T_UNSET is not set\n", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.source);
    LogCapture capture;
    std::string out = "stale";
    EXPECT_EQ(ExpandEnvVars(c.source, &out), c.ok);
    EXPECT_EQ(c.ok ? out : capture.Text(), c.expanded);
    EXPECT_TRUE(c.ok ? capture.Messages().empty() : capture.Has(LOG_ERROR, c.expanded));
  }
}

}  // namespace
