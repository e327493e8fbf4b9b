// The health-event publisher with real script processes: changes queued
// while a run is under way go out with the next run, and a script that hangs
// is killed by its 20-second limit without holding back later events.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "process/ProcessTestSupport.h"
#include "src/core/SentroConfig.h"
#include "src/telemetry/EventPublisher.h"
#include "support/TempDir.h"

namespace {

// Records each run's arguments as one line; hangs while the "hang" file
// exists, to play a publisher whose upstream does not answer.
const char kRecorder[] =
    "#!/bin/sh\n"
    "dir=$(dirname \"$0\")\n"
    "echo \"$@\" >> \"$dir/runs\"\n"
    "if [ -f \"$dir/hang\" ]; then rm -f \"$dir/hang\"; exec sleep 1000; fi\n"
    "exit 0\n";

class Publisher : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    WriteFile(dir_->File("config.json"), "{\"EventPublisherScriptDir\": \"" + dir_->path() + "\"}");
    ASSERT_NE(SentroConfig::Load(dir_->path(), dir_->path()), nullptr);
    WriteFile(dir_->File("python"), kRecorder);
    chmod(dir_->File("python").c_str(), 0755);
    setenv("NORVANE_PYTHON_BIN", dir_->File("python").c_str(), 1);
  }

  std::string Runs() const { return ReadWholeFile(dir_->File("runs")); }

  static TempDir *dir_;
};

TempDir *Publisher::dir_ = nullptr;

TEST_F(Publisher, ChangesOfOneTurnGoOutInOneRunInOrder) {
  PublishHealthChange("web", HealthStatus::Healthy, HealthStatus::StartPending, false);
  PublishHealthChange("db", HealthStatus::Unhealthy, HealthStatus::Healthy, true);
  PublishHealthChange("web", HealthStatus::Unknown, HealthStatus::Healthy, true);
  std::string script = SentroConfig::Get()->EventPublisherScriptPath();
  std::string expected = script +
                         " --eventdata web,HEALTHY,START_PENDING,0"
                         " --eventdata db,UNHEALTHY,HEALTHY,1"
                         " --eventdata web,UNKNOWN,HEALTHY,1\n";
  ASSERT_TRUE(RunLoopUntil([&] { return Runs() == expected; })) << Runs();
  EXPECT_TRUE(RunLoopUntil([] { return Logged("Successfully published health status change."); }));
  unlink(dir_->File("runs").c_str());
}

TEST_F(Publisher, AHangingScriptIsKilledAndTheNextEventsStillGoOut) {
  WriteFile(dir_->File("hang"), "");
  PublishHealthChange("web", HealthStatus::Healthy, HealthStatus::Unhealthy, false);
  ASSERT_TRUE(RunLoopUntil([&] { return Runs().find("web,HEALTHY") != std::string::npos; }));
  // Queued while the first run hangs.
  PublishHealthChange("db", HealthStatus::Healthy, HealthStatus::Unhealthy, false);
  RunLoopFor(50);
  EXPECT_EQ(Runs().find("db,HEALTHY"), std::string::npos) << "one script at a time";
  AdvanceClock(21);
  ASSERT_TRUE(RunLoopUntil([&] { return Runs().find("db,HEALTHY") != std::string::npos; }))
      << Runs();
  EXPECT_TRUE(Logged("Failed to publish health status change."));
  unlink(dir_->File("runs").c_str());
}

TEST_F(Publisher, WithoutAnInterpreterEveryChangeIsDroppedWithAWarning) {
  unsetenv("NORVANE_PYTHON_BIN");
  PublishHealthChange("web", HealthStatus::Healthy, HealthStatus::Unhealthy, false);
  EXPECT_TRUE(RunLoopUntil([] {
    return Logged(
        "Error executing publisher cmd. Make sure NORVANE_PYTHON_BIN env variable is "
        "set correctly.");
  }));
  setenv("NORVANE_PYTHON_BIN", dir_->File("python").c_str(), 1);
  // Nothing is retried: the next change starts a fresh run with itself alone.
  PublishHealthChange("db", HealthStatus::Healthy, HealthStatus::Unhealthy, false);
  ASSERT_TRUE(RunLoopUntil([&] { return !Runs().empty() && Runs() != "<missing>"; }));
  EXPECT_EQ(Runs().find("web,"), std::string::npos) << Runs();
  unlink(dir_->File("runs").c_str());
}

}  // namespace
