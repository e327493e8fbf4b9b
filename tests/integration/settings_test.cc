// The daemon under settings it cannot use and a main thread that stops: it
// keeps serving, stays idle and restarts the machine only for a real hang.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "DaemonFixture.h"

namespace {

// Every numeric key of the configuration.
const char kIntegerKeys[] =
    "DefaultServiceStartTimeout DefaultServiceStopTimeout DefaultServicePostStopTimeout "
    "DefaultApiHealthCmdTimeout MaxServiceQuickRecoveryCount MaxIncomingRequests "
    "AdditionalServiceStartTimeout ResetServiceFailCounterTime ParallelSvcOpThrottleLimit "
    "StreamRedirectedFilesLimit SocketIOTimeout CriticalHealthCheckFreqSecs "
    "CriticalToAllHealthCheckFreqRatio LogLevel DefaultForceKillTimeoutSec "
    "SentroTelemetryPushFreqHours";

const RequestMessage kFailover = {.type = MessageType::SetRecoveryProfileReq, .recoveryProfile = 1};

// utime + stime of a process (fields 14 and 15 of its stat), in clock ticks.
long CpuTicks(pid_t pid) {
  std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  long utime = 0, stime = 0;
  sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
         &utime, &stime);
  return utime + stime;
}

// One daemon per value, all at once, each with every integer key at that
// value, the watchdog on and the FAILOVER profile active.
TEST(BadSettings, EveryIntegerKeyAtAnExtremeLeavesTheDaemonAnsweringIdleAndTheMachineUp) {
  const char *const kValues[] = {"0", "-1", "-2147483648", "2147483647", "9223372036854775807"};
  std::vector<std::unique_ptr<SandboxDaemon>> daemons;
  for (const char *value : kValues) {
    auto daemon = std::make_unique<SandboxDaemon>();
    std::string config = "{\"EnableLivenessCheck\": true";
    std::istringstream keys(kIntegerKeys);
    for (std::string key; keys >> key;) config += ", \"" + key + "\": " + value;
    daemon->WriteConfig(config + "}");
    daemon->Start();
    daemons.push_back(std::move(daemon));
  }
  for (auto &daemon : daemons) {
    ASSERT_TRUE(daemon->WaitForLog("Sentro service is running in")) << daemon->LogText();
    ASSERT_TRUE(CallForResult(TargetOf(*daemon), kFailover).succeeded()) << daemon->LogText();
  }
  std::vector<long> before;
  for (auto &daemon : daemons) before.push_back(CpuTicks(daemon->pid()));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (size_t i = 0; i < daemons.size(); i++) {
    SandboxDaemon &daemon = *daemons[i];
    SCOPED_TRACE(kValues[i]);
    EXPECT_LT(CpuTicks(daemon.pid()) - before[i], sysconf(_SC_CLK_TCK) / 2);  // 2 s, < 25 %
    std::vector<std::string> names;
    EXPECT_TRUE(CallForNames(TargetOf(daemon), {}, &names).succeeded());
    EXPECT_EQ(ReadWholeFile(daemon.sysroot() + "/reboot-requests"), "<missing>");
    daemon.Signal(SIGTERM);
    EXPECT_EQ(daemon.WaitExit(), 0) << daemon.LogText();
  }
}

// A service's first cgroup write goes to a FIFO nobody reads: its child
// blocks before exec and the daemon, which waits for a child that shares
// its memory, with it. The watchdog thread restarts the machine within two
// periods.
TEST(Watchdog, AMainThreadStuckForTwoPeriodsUnderFailoverRestartsTheMachine) {
  SandboxDaemon daemon;
  daemon.WriteConfig("{\"CriticalHealthCheckFreqSecs\": 6}");
  daemon.WriteService(
      "web.json",
      "{\"Name\": \"web\", \"StartupType\": \"MANUAL\", \"StartCommand\": \"/bin/true\"}");
  std::string cgroup = daemon.sysroot() + "/sys/fs/cgroup/memory/system.slice/web.service";
  MakeDirs(cgroup);
  ASSERT_EQ(mkfifo((cgroup + "/cgroup.procs").c_str(), 0600), 0);
  daemon.Start();
  ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in")) << daemon.LogText();
  ASSERT_TRUE(CallForResult(TargetOf(daemon), kFailover).succeeded());
  std::thread client([&] {
    CallForResult(TargetOf(daemon, 40), {MessageType::StartSvcReq, "web"});
  });
  bool restarted = daemon.WaitForLog("MainThread not alive, restarting the system!\n", seconds(20));
  int reader = open((cgroup + "/cgroup.procs").c_str(), O_RDONLY | O_NONBLOCK);  // lets it go
  client.join();
  close(reader);
  ASSERT_TRUE(restarted) << daemon.LogText();
  EXPECT_EQ(ReadWholeFile(daemon.sysroot() + "/reboot-requests"), "RESTART\n");
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitExit(), 0);
}

}  // namespace
