// Service processes under stress: a crash loop under automatic recovery,
// SIGHUPs during a start batch, children that all exit at once, and what a
// started service process inherits.
#include <grp.h>
#include <sys/resource.h>

#include <thread>

#include "StressFixture.h"

namespace {

TEST_F(StressTest, CrashLoopRestartsOncePerCrashAndLeaksNothing) {
  Service("crashy");
  StartDaemon();
  ASSERT_TRUE(Call({.type = MessageType::StartSvcReq, .name = "crashy"}).succeeded());
  Measured("crash loop", [&] {
    // Each restart waits for the first health poll, a second after launch.
    const int crashes = Scaled(10);
    auto started = Clock::now();
    for (int i = 0; i < crashes; i++) {
      pid_t old = State("crashy").pid;
      EXPECT_EQ(kill(old, SIGKILL), 0);
      EXPECT_TRUE(AllStarted({"crashy"}, 10s, {old})) << "no restart after crash " << i + 1;
    }
    double seconds = SecondsSince(started);
    // One restart per crash: the counter matches, and Measured finds no
    // extra process. (Not counted from the log: under this many state
    // requests its throttle drops lines.)
    EXPECT_TRUE(Call({.type = MessageType::AllSvcsControlReq, .flags = {.saveCrashStats = true}})
                    .succeeded());
    std::string stats = ReadWholeFile(daemon_.dataDir() + "/.svcStats/stats_crashy.json");
    EXPECT_NE(stats.find("\"ProcessCrashCount\":" + std::to_string(crashes) + ","),
              std::string::npos)
        << stats;
    return std::to_string(crashes) + " crashes in " + std::to_string(seconds) + " s; " + stats;
  });
}

TEST_F(StressTest, SighupStormDuringAStartBatchStartsEveryServiceOnce) {
  const std::vector<std::string> names = Services("batch", Scaled(20));
  daemon_.Start();
  // Before its signal descriptor is set up a SIGHUP would end the daemon.
  ASSERT_TRUE(daemon_.WaitForLog("Starting Sentro with profile"));
  Measured("SIGHUP storm", [&] {
    const int hangups = Scaled(100);
    for (int i = 0; i < hangups; i++) {
      daemon_.Signal(SIGHUP);
      std::this_thread::sleep_for(500us);
    }
    EXPECT_TRUE(AllStarted(names, 60s));
    return std::to_string(hangups) + " SIGHUPs during a start batch of " +
           std::to_string(names.size()) + " services";
  });
}

TEST_F(StressTest, ChildrenExitingAtOnceAreAllReapedAndRestarted) {
  const std::vector<std::string> names = Services("herd", Scaled(50));
  StartDaemon();
  ASSERT_TRUE(AllStarted(names, 60s));
  Measured("exit storm", [&] {
    std::set<pid_t> old;
    for (const std::string &name : names) old.insert(State(name).pid);
    auto killing = Clock::now();
    for (pid_t pid : old) kill(pid, SIGKILL);
    double killSeconds = SecondsSince(killing);
    EXPECT_TRUE(AllStarted(names, 60s, old));
    return std::to_string(names.size()) + " children killed within " +
           std::to_string(killSeconds * 1e6) + " us";
  });
}

// The soft and hard "Max open files" of a process (0 for self).
rlimit FdLimit(pid_t pid) {
  std::ifstream limits("/proc/" + (pid != 0 ? std::to_string(pid) : "self") + "/limits");
  rlimit limit = {};
  for (std::string line; std::getline(limits, line);) {
    if (line.rfind("Max open files", 0) == 0)
      std::istringstream(line.substr(14)) >> limit.rlim_cur >> limit.rlim_max;
  }
  return limit;
}

// A service holds its three streams only; the dispositions the daemon
// ignores (SIGPIPE, and what its own parent ignored) stay ignored, nothing
// is caught or blocked; a user's service holds that user's groups only; the
// descriptor limit is the one the daemon was started with (the daemon
// raises its own to the hard limit), or the service's.
TEST_F(StressTest, AServiceProcessStartsWithItsStreamsIgnoredSignalsUsersGroupsAndFdLimit) {
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &ignore, &previous);
  Service("plain");
  Service("nobody", ", \"RunAsUser\": \"nobody\"");
  Service("limited", ", \"ProcessFdLimit\": 77");
  rlimit saved = FdLimit(0), stingy = {std::min<rlim_t>(512, saved.rlim_cur), saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &stingy), 0);
  StartDaemon();
  setrlimit(RLIMIT_NOFILE, &saved);
  sigaction(SIGUSR2, &previous, nullptr);
  EXPECT_EQ(FdLimit(daemon_.pid()).rlim_cur, saved.rlim_max);
  Measured("children", [&] {
    auto mask = [](pid_t pid, const char *key) {
      return std::stoull(StatusField(pid, key), nullptr, 16);
    };
    std::string figure;
    for (std::string name : {"plain", "nobody", "limited"}) {
      SCOPED_TRACE(name);
      EXPECT_TRUE(Call({.type = MessageType::StartSvcReq, .name = name}).succeeded());
      pid_t pid = State(name).pid;
      EXPECT_EQ(Descriptors(pid), (std::set<std::string>{"0", "1", "2"}));
      EXPECT_EQ(mask(pid, "SigBlk") | mask(pid, "SigCgt"), 0u);
      EXPECT_EQ(mask(pid, "SigIgn"), 1u << (SIGPIPE - 1) | 1u << (SIGUSR2 - 1));
      EXPECT_EQ(FdLimit(pid).rlim_cur, name == "limited" ? 77 : stingy.rlim_cur);
      figure += name + " Groups: " + StatusField(pid, "Groups") + "; ";
    }
    gid_t groups[64];
    int count = 64;
    EXPECT_GT(getgrouplist("nobody", 65534, groups, &count), 0);
    std::set<std::string> expected, held;
    for (int i = 0; i < count; i++) expected.insert(std::to_string(groups[i]));
    std::istringstream fields(StatusField(State("nobody").pid, "Groups"));
    for (std::string group; fields >> group;) held.insert(group);
    EXPECT_EQ(held, expected);
    EXPECT_EQ(StatusField(State("nobody").pid, "Uid").substr(0, 5), "65534");
    return figure;
  });
}

}  // namespace
