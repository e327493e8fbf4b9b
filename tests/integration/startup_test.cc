// Daemons started on their own: the command line, the startup profile, and
// settings out of range.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "DaemonFixture.h"

namespace {

// The profile file's first line names the profile (trailing blanks kept, cut
// at 127); -s wins, as UTF-8. Only ALL exists; all but NONE run the (missing)
// post-startup command. Bad options, configuration or profile exit 1.
TEST(Startup, TheCommandLineAndTheProfileFileDecideHowTheDaemonStarts) {
  const std::string longName(200, 'p'), longLine = longName + "\n";
  struct Case {
    std::vector<std::string> args;
    const char *config, *profileFile;  // null: none
    std::string profile;               // empty: the output and status 1
    int stopSignal = 0;
    std::string output;  // the beginning of stdout, and a part of stderr
  } cases[] = {
      {{}, "{}", nullptr, "ALL", SIGTERM},
      {{"--ignorefail"}, "{}", "web  ", "web  ", SIGQUIT},
      {{"-i", "x"}, "{}", longLine.c_str(), longName.substr(0, 127), SIGINT},
      {{"-s", "NONE"}, "{}", "CRITICAL\n", "NONE", SIGTERM},
      {{"-s", "caf\xe9"}, "{}", nullptr, "caf\xc3\xa9", SIGTERM},  // Latin-1 from the C locale
      {{"--bogus"}, "{}", nullptr, "", 0, "Invalid Option.\nUsage: "},
      {{"-s", "ALL", "-i"}, "{}", nullptr, "", 0, "Invalid Option.\n"},  // -i takes a value
      {{}, nullptr, nullptr, "", 0, "Failed to load Sentro Configuration. Exiting...\n"},
      {{}, "{\"LogLevel\": ", nullptr, "", 0, "Invalid Json formatted file"},
      {{}, "{}", "\n", "", 0, "Empty startup profile file "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.profile + c.output);
    SandboxDaemon daemon;
    daemon.SetEnv("LC_ALL=C");
    c.config != nullptr ? daemon.WriteConfig(c.config)
                        : (void)std::remove((daemon.configDir() + "/config.json").c_str());
    if (c.profileFile != nullptr)
      WriteFile(daemon.dataDir() + "/defaultStartProfile", c.profileFile);
    daemon.Start(c.args);
    if (c.profile.empty()) {
      EXPECT_EQ(daemon.WaitExit(), 1);
      std::string out = daemon.Stdout(), err = daemon.Stderr() + daemon.LogText();
      EXPECT_TRUE(out.find(c.output) == 0 || err.find(c.output) != std::string::npos) << out << err;
      continue;
    }
    ASSERT_TRUE(daemon.WaitForLog("Starting Sentro with profile '" + c.profile + "'\n"))
        << daemon.LogText();
    ASSERT_TRUE(daemon.WaitForLog("Sentro service is running in non-FIPS mode.\n"));
    const std::string corePattern = daemon.sysroot() + "/proc/sys/kernel/core_pattern";
    EXPECT_EQ(ReadFile(corePattern), "core");  // no NORVANE_HUB_HOME: left until shutdown
    ASSERT_TRUE(daemon.WaitForLog(c.profile == "NONE"
                                      ? "Services  failed to start on Sentro startup. ErrCode 10\n"
                                      : "Post sentro startup command exited with rc=254\n"));
    daemon.Signal(c.stopSignal);
    daemon.Signal(c.stopSignal);
    EXPECT_EQ(daemon.WaitExit(), 0);
    EXPECT_EQ(ReadFile(corePattern), "/var/core/core.%e.%p");
    EXPECT_EQ(CountOf(daemon.LogText(), "Initiating Sentro shutdown."), 1u);
    EXPECT_EQ(CountOf(daemon.LogText(), "Post sentro startup"), c.profile == "NONE" ? 0u : 1u);
    EXPECT_EQ(CountOf(daemon.LogText(), "ErrCode 10"), c.profile == "ALL" ? 0u : 1u);
  }
}

const char kIntegerKeys[] =
    "DefaultServiceStartTimeout DefaultServiceStopTimeout DefaultServicePostStopTimeout "
    "DefaultApiHealthCmdTimeout MaxServiceQuickRecoveryCount MaxIncomingRequests "
    "AdditionalServiceStartTimeout ResetServiceFailCounterTime ParallelSvcOpThrottleLimit "
    "StreamRedirectedFilesLimit SocketIOTimeout CriticalHealthCheckFreqSecs "
    "CriticalToAllHealthCheckFreqRatio LogLevel DefaultForceKillTimeoutSec "
    "SentroTelemetryPushFreqHours";

const RequestMessage kFailover = {.type = MessageType::SetRecoveryProfileReq, .recoveryProfile = 1};

// utime + stime (stat fields 14 and 15), in clock ticks.
long CpuTicks(pid_t pid) {
  std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  long ticks[2] = {};
  sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
         &ticks[0], &ticks[1]);
  return ticks[0] + ticks[1];
}

// One daemon per value, every integer key at it, watchdog on, FAILOVER
// active: each keeps answering, idle, machine left alone. Then the first
// (all in range) hangs: its service's cgroup write blocks on a FIFO, so the
// vfork child and the daemon with it; the watchdog restarts within 2 x 6 s.
TEST(BadSettings, EveryIntegerKeyAtAnExtremeLeavesTheDaemonIdleAndOnlyAHangRestartsTheMachine) {
  const char *const kValues[] = {"6",           "0",          "-1",
                                 "-2147483648", "2147483647", "9223372036854775807"};
  std::vector<std::unique_ptr<SandboxDaemon>> daemons;
  for (const char *value : kValues) {
    auto daemon = std::make_unique<SandboxDaemon>();
    std::string config = "{\"EnableLivenessCheck\": true";
    std::istringstream keys(kIntegerKeys);
    for (std::string key; keys >> key;) config += ", \"" + key + "\": " + value;
    daemon->WriteConfig(config + "}");
    daemon->WriteService(
        "web.json", R"({"Name": "web", "StartupType": "MANUAL", "StartCommand": "/bin/true"})");
    daemon->Start();
    daemons.push_back(std::move(daemon));
  }
  const std::string fifo = daemons[0]->sysroot() + "/sys/fs/cgroup/memory/system.slice/web.service";
  MakeDirs(fifo);
  ASSERT_EQ(mkfifo((fifo + "/cgroup.procs").c_str(), 0600), 0);
  std::vector<long> before;
  for (auto &daemon : daemons) {
    ASSERT_TRUE(daemon->WaitForLog("Sentro service is running in")) << daemon->LogText();
    ASSERT_TRUE(CallForResult(TargetOf(*daemon), kFailover).succeeded()) << daemon->LogText();
    before.push_back(CpuTicks(daemon->pid()));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (size_t i = 0; i < daemons.size(); i++) {
    SandboxDaemon &daemon = *daemons[i];
    SCOPED_TRACE(kValues[i]);
    EXPECT_LT(CpuTicks(daemon.pid()) - before[i], sysconf(_SC_CLK_TCK) / 2);  // 2 s, < 25 %
    std::vector<std::string> names;
    EXPECT_TRUE(CallForNames(TargetOf(daemon), {}, &names).succeeded());
    EXPECT_EQ(ReadWholeFile(daemon.sysroot() + "/reboot-requests"), "<missing>");
  }
  SandboxDaemon &stuck = *daemons[0];
  std::thread client([&] {
    CallForResult(TargetOf(stuck, 40), {MessageType::StartSvcReq, "web"});
  });
  bool restarted = stuck.WaitForLog("MainThread not alive, restarting the system!\n", seconds(20));
  int reader = open((fifo + "/cgroup.procs").c_str(), O_RDONLY | O_NONBLOCK);  // lets it go
  client.join();
  close(reader);
  EXPECT_TRUE(restarted) << stuck.LogText();
  EXPECT_EQ(ReadWholeFile(stuck.sysroot() + "/reboot-requests"), "RESTART\n");
  for (auto &daemon : daemons) {
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->WaitExit(), 0) << daemon->LogText();
  }
}

}  // namespace
