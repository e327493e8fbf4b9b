// The health-event publisher with real script runs: a turn's changes go out in
// one run, in order; those queued behind a hung run, once its 20 s limit kills it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "process/ProcessTestSupport.h"
#include "src/core/SentroConfig.h"
#include "src/telemetry/EventPublisher.h"
#include "support/TempDir.h"

TEST(Publisher, ChangesOfOneTurnGoOutInOneRunAndAHangingRunDoesNotHoldBackTheNext) {
  TempDir dir;
  WriteFile(dir.File("config.json"), "{\"EventPublisherScriptDir\": \"" + dir.path() + "\"}");
  ASSERT_NE(SentroConfig::Load(dir.path(), dir.path()), nullptr);
  // Records each run's arguments; the first run hangs like a silent upstream.
  WriteFile(dir.File("python"),
            "#!/bin/sh\ncd \"${0%/*}\"\necho \"$@\" >> runs\n[ -f hang ] && rm hang && exec sleep "
            "1000\nexit 0\n");
  chmod(dir.File("python").c_str(), 0755);
  setenv("NORVANE_PYTHON_BIN", dir.File("python").c_str(), 1);
  WriteFile(dir.File("hang"), "");
  PublishHealthChange("web", HealthStatus::Healthy, HealthStatus::StartPending, false);
  PublishHealthChange("db", HealthStatus::Unhealthy, HealthStatus::Healthy, true);
  const std::string first =
      SentroConfig::Get()->EventPublisherScriptPath() +
      " --eventdata web,HEALTHY,START_PENDING,0 --eventdata db,UNHEALTHY,HEALTHY,1\n";
  ASSERT_TRUE(RunLoopUntil([&] { return ReadWholeFile(dir.File("runs")) == first; }))
      << ReadWholeFile(dir.File("runs"));
  PublishHealthChange("web", HealthStatus::Unknown, HealthStatus::Healthy, true);  // queued
  RunLoopFor(50);
  EXPECT_EQ(ReadWholeFile(dir.File("runs")), first) << "one script at a time";
  AdvanceClock(21);
  ASSERT_TRUE(RunLoopUntil([&] {
    return ReadWholeFile(dir.File("runs")).find("web,UNKNOWN,HEALTHY,1") != std::string::npos;
  }));
  EXPECT_TRUE(Logged("Failed to publish health status change."));
  EXPECT_TRUE(RunLoopUntil([] { return Logged("Successfully published health status change."); }));
}
