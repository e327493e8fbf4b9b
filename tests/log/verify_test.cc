// Fatal assertions log their line at panic level and abort.
#include "lib/log/verify.h"

#include "logTestUtil.h"

namespace {

// Runs in the death-test child: an output whose stderr echo admits panics.
void InstallPanicEcho() {
  auto *echo = new CaptureOutput;
  echo->stderrLevel = LOG_PANIC;
  InstallOutput(echo);
}

TEST(LogVerifyDeathTest, FailedAssertionsLogTheirWordAndLocationAndAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  VERIFY(2 + 2 == 4);
  EXPECT_DEATH(
      {
        InstallPanicEcho();
        VERIFY(1 + 1 == 3);
      },
      "VERIFY .*verify_test\\.cc:[0-9]+");
  EXPECT_DEATH(
      {
        InstallPanicEcho();
        NOT_REACHED();
      },
      "NOT_REACHED .*verify_test\\.cc:[0-9]+");
  EXPECT_DEATH(
      {
        InstallPanicEcho();
        NOT_IMPLEMENTED();
      },
      "NOT_IMPLEMENTED .*verify_test\\.cc:[0-9]+");
}

}  // namespace
