// Service processes under stress: a crash loop under automatic recovery,
// SIGHUPs during a start batch, children that all exit at once, and what a
// started service process inherits.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>

#include "StressFixture.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> Numbered(const std::string &stem, int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; i++) names.push_back(stem + std::to_string(1000 + i));
  return names;
}

// No zombies, and children, descriptors and memory no higher than before.
void ExpectNoGrowth(const Footprint &before, const Footprint &after) {
  EXPECT_EQ(after.zombies, 0);
  EXPECT_EQ(after.children, before.children);
  EXPECT_LE(after.descriptors, before.descriptors);
  // Only a locked daemon's memory tells: a sanitizer build neither locks
  // nor frees at once (its quarantine holds freed blocks).
  if (before.lockedKiB > 0) {
    EXPECT_LE(after.rssKiB, before.rssKiB + 1024);
  }
}

TEST_F(StressTest, CrashLoopRestartsOncePerCrashAndLeaksNothing) {
  Service("crashy", "/bin/sleep", {"100000"});
  StartDaemon();
  ASSERT_TRUE(Call(MessageType::StartSvcReq, "crashy").succeeded());
  pid_t pid = State("crashy").pid;
  const Footprint before = Now();
  // Each restart waits for the first health poll, a second after launch.
  const int crashes = Scaled(10);
  auto started = Clock::now();
  for (int i = 0; i < crashes; i++) {
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    pid_t old = pid;
    ASSERT_TRUE(WaitUntil([&] {
      SvcStatePayload status = State("crashy");
      pid = status.state == kStarted ? static_cast<pid_t>(status.pid) : old;
      return pid != old && pid != 0;
    })) << "no restart after crash "
        << i + 1;
  }
  auto seconds = std::chrono::duration<double>(Clock::now() - started).count();
  ASSERT_TRUE(AllServices(false, true).succeeded());
  std::string stats = ReadWholeFile(daemon_.dataDir() + "/.svcStats/stats_crashy.json");
  EXPECT_NE(stats.find("\"ProcessCrashCount\":" + std::to_string(crashes) + ","), std::string::npos)
      << stats;
  // One restart per crash: the counter matches and no extra process runs.
  // (Not counted from the log: under this many state requests its
  // throttle drops lines.)
  const Footprint after = Now();
  ExpectNoGrowth(before, after);
  Figure("crash loop", std::to_string(crashes) + " crashes in " + std::to_string(seconds) +
                           " s; stats " + stats + "; before: " + Describe(before) +
                           "; after: " + Describe(after));
}

TEST_F(StressTest, SighupStormDuringAStartBatchStartsEveryServiceOnce) {
  const std::vector<std::string> names = Numbered("batch", Scaled(20));
  for (const std::string &name : names) Service(name, "/bin/sleep", {"100000"}, "", "AUTOMATIC");
  daemon_.Start();
  // Before its signal descriptor is set up a SIGHUP would end the daemon.
  ASSERT_TRUE(daemon_.WaitForLog("Starting Sentro with profile"));
  const int hangups = Scaled(100);
  for (int i = 0; i < hangups; i++) {
    daemon_.Signal(SIGHUP);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  ASSERT_TRUE(AllStarted(names, std::chrono::seconds(60)));
  std::set<pid_t> expected;
  for (const std::string &name : names) expected.insert(State(name).pid);
  std::vector<pid_t> children = ChildrenOf(daemon_.pid());
  EXPECT_EQ(std::set<pid_t>(children.begin(), children.end()), expected);
  EXPECT_EQ(Now().zombies, 0);
  Figure("SIGHUP storm", std::to_string(hangups) + " SIGHUPs during a start batch of " +
                             std::to_string(names.size()) + " services; " + Describe(Now()));
}

TEST_F(StressTest, ChildrenExitingAtOnceAreAllReapedAndRestarted) {
  const std::vector<std::string> names = Numbered("herd", Scaled(50));
  for (const std::string &name : names) Service(name, "/bin/sleep", {"100000"}, "", "AUTOMATIC");
  StartDaemon();
  ASSERT_TRUE(AllStarted(names, std::chrono::seconds(60)));
  std::vector<pid_t> old;
  for (const std::string &name : names) old.push_back(State(name).pid);
  const Footprint before = Now();
  auto killing = Clock::now();
  for (pid_t pid : old) kill(pid, SIGKILL);
  auto killMicros =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - killing).count();
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::vector<pid_t> now = ChildrenOf(daemon_.pid());
        return now.size() == names.size() && std::none_of(now.begin(), now.end(), [&](pid_t pid) {
                 return std::find(old.begin(), old.end(), pid) != old.end();
               });
      },
      std::chrono::seconds(60)));
  ASSERT_TRUE(AllStarted(names));
  const Footprint after = Now();
  ExpectNoGrowth(before, after);
  Figure("exit storm",
         std::to_string(names.size()) + " children killed within " + std::to_string(killMicros) +
             " us, all restarted; before: " + Describe(before) + "; after: " + Describe(after));
}

std::set<std::string> Descriptors(pid_t pid) {
  std::set<std::string> names;
  DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  while (struct dirent *entry = fds != nullptr ? readdir(fds) : nullptr) {
    if (entry->d_name[0] != '.') names.insert(entry->d_name);
  }
  if (fds != nullptr) closedir(fds);
  return names;
}

uint64_t SignalMask(pid_t pid, const char *key) {
  return std::stoull(StatusField(pid, key), nullptr, 16);
}

TEST_F(StressTest, AServiceProcessHoldsOnlyItsStreamsWithCleanSignalsAndNoRootGroup) {
  // Every disposition is default in a service, even a signal the daemon's
  // own parent ignored, and SIGPIPE, which the daemon ignores.
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &ignore, &previous);
  Service("plain", "/bin/sleep", {"100000"});
  Service("nobody", "/bin/sleep", {"100000"}, ", \"RunAsUser\": \"nobody\"");
  StartDaemon();
  sigaction(SIGUSR2, &previous, nullptr);
  for (const char *name : {"plain", "nobody"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(Call(MessageType::StartSvcReq, name).succeeded());
    pid_t pid = State(name).pid;
    EXPECT_EQ(Descriptors(pid), (std::set<std::string>{"0", "1", "2"}));
    EXPECT_EQ(SignalMask(pid, "SigBlk"), 0u);
    EXPECT_EQ(SignalMask(pid, "SigCgt"), 0u);
    EXPECT_EQ(SignalMask(pid, "SigIgn"), 0u);
    Figure(std::string("child ") + name, "SigIgn " + StatusField(pid, "SigIgn") + " (daemon " +
                                             StatusField(daemon_.pid(), "SigIgn") +
                                             "), Groups: " + StatusField(pid, "Groups"));
  }
  std::istringstream groups(StatusField(State("nobody").pid, "Groups"));
  for (std::string group; groups >> group;) EXPECT_NE(group, "0");
  EXPECT_EQ(StatusField(State("nobody").pid, "Uid").substr(0, 5), "65534");
}

}  // namespace
