// A Service driving real child processes: real health commands with their
// exit codes and output, stops by signal and by stop command, post-stop
// commands. Timers still run on the hand-driven clock; children end
// in real time, so each wait is bounded.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "ServiceFixture.h"
#include "lib/log/log.h"
#include "src/core/SysPaths.h"
#include "src/process/ProcessTable.h"
#include "src/service/ServiceHooks.h"

using servicetest::Logged;

namespace {

SysProcess *CreateRealProcess(const std::string &tag) {
  return CreateSysProcess(tag);
}

class ServiceRealProcessTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    // Children never touch the machine's cgroups: those paths go under here.
    MakeDirs(dir_.Sub("sysroot"));
    setenv("SENTRO_SYSROOT", dir_.Sub("sysroot").c_str(), 1);
    SysrootReset();
    CreateProcessTable();
    GetServiceHooks().createProcess = CreateRealProcess;
  }
  void TearDown() override {
    unsetenv("SENTRO_SYSROOT");
    SysrootReset();
    ServiceFixture::TearDown();
  }

  // Reaps children and turns the loop until done() holds; at most 10 s.
  bool RunUntil(const std::function<bool()> &done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      ReapChildren();
      RunLoopOnce();
      if (done()) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  std::string Script(const std::string &name, const std::string &body) {
    std::string path = dir_.Sub(name);
    WriteFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
  }
};

TEST_F(ServiceRealProcessTest, HealthCommandExitCodesAndOutputDecideTheStart) {
  std::string ready = dir_.Sub("ready");
  std::string probe = Script("probe.sh", "if [ -f " + ready +
                                             " ]; then echo all good; exit 0; fi\n"
                                             "echo warming; echo slow >&2; exit 65\n");
  auto service = CreateNamed("real",
                             "\"StartCommand\": \"/bin/sleep\", \"StartCommandArgs\": "
                             "[\"30\"], \"ApiHealthCommand\": \"" +
                                 probe + "\"");
  ASSERT_NE(service, nullptr);
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  ASSERT_EQ(service->state(), ServiceState::Starting);
  AdvanceSeconds(1);
  ASSERT_TRUE(RunUntil([&] { return service->healthData() == "warming\n"; }));
  EXPECT_EQ(service->state(), ServiceState::Starting);
  // The command's own line end, then the message's.
  EXPECT_TRUE(Logged(LOG_WARNING, "<real> Service api-health command's stderr: slow\n\n"));

  WriteFile(ready, "");
  AdvanceSeconds(1);
  ASSERT_TRUE(RunUntil([&] { return !start.results.empty(); }));
  EXPECT_EQ(start.results, Results{Ok});
  EXPECT_EQ(service->state(), ServiceState::Started);
  EXPECT_EQ(service->health(), HealthStatus::Healthy);
  EXPECT_EQ(service->healthData(), "all good\n");

  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  ASSERT_TRUE(RunUntil([&] { return !stop.results.empty(); }));
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_TRUE(Logged(LOG_WARNING, "<real> Service exited. Exit code 1\n"));  // died by SIGTERM
}

TEST_F(ServiceRealProcessTest, StopCommandAndPostStopCommandRun) {
  std::string pidFile = dir_.Sub("pid");
  std::string marker = dir_.Sub("post-stop-ran");
  std::string daemon = Script("daemon.sh", "echo $$ > " + pidFile + "\nexec sleep 30\n");
  auto service = CreateNamed(
      "ctl", "\"StartCommand\": \"" + daemon +
                 "\", \"StopCommand\": \"/bin/sh\", \"StopCommandArgs\": [\"-c\", \"kill $(cat " +
                 pidFile +
                 ")\"], \"PostStopCommand\": \"/bin/sh\", \"PostStopCommandArgs\": "
                 "[\"-c\", \"echo done > " +
                 marker + "; echo bye >&2; exit 3\"]");
  ASSERT_NE(service, nullptr);
  CompletionRecord start;
  service->SetStart(CompletionRecord::Record, &start);
  ASSERT_TRUE(RunUntil([&] { return FileExists(pidFile) && !ReadFile(pidFile).empty(); }));
  AdvanceSeconds(1);
  ASSERT_EQ(service->state(), ServiceState::Started);

  CompletionRecord stop;
  service->SetStop(CompletionRecord::Record, &stop);
  ASSERT_TRUE(RunUntil([&] { return !stop.results.empty(); }));
  EXPECT_EQ(stop.results, Results{Ok});
  EXPECT_EQ(ReadFile(marker), "done\n");
  EXPECT_TRUE(Logged(LOG_WARNING, "<ctl> Service post-stop command's stderr: bye\n\n"));
  EXPECT_TRUE(Logged(LOG_ERROR, "<ctl> Post stop command exec failed. RC=3\n"));
  EXPECT_EQ(service->state(), ServiceState::Stopped);
}

}  // namespace
