// Service processes under stress: a crash loop under automatic recovery,
// SIGHUPs during a start batch, children that all exit at once, and what a
// started service process inherits.
#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
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

// The daemon's soft descriptor limit lowered to soft for the life of the
// object, so that the daemon starts as it would under a stingy parent.
class ScopedSoftFdLimit {
 public:
  explicit ScopedSoftFdLimit(rlim_t soft) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = {std::min(soft, saved_.rlim_cur), saved_.rlim_max};
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~ScopedSoftFdLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_;
};

// The soft "Max open files" of a process.
std::string SoftFdLimit(pid_t pid) {
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(limits, line)) {
    if (line.rfind("Max open files", 0) == 0) {
      std::istringstream fields(line.substr(14));
      std::string soft;
      fields >> soft;
      return soft;
    }
  }
  return "";
}

// A service holds its three streams only; the dispositions the daemon
// ignores (SIGPIPE, and what its own parent ignored) stay ignored, nothing
// is caught or blocked; a user's service holds that user's groups only; the
// descriptor limit is the one the daemon was started with, or the service's.
TEST_F(StressTest, AServiceProcessStartsWithItsStreamsIgnoredSignalsUsersGroupsAndFdLimit) {
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &ignore, &previous);
  Service("plain", "/bin/sleep", {"100000"});
  Service("nobody", "/bin/sleep", {"100000"}, ", \"RunAsUser\": \"nobody\"");
  Service("limited", "/bin/sleep", {"100000"}, ", \"ProcessFdLimit\": 77");
  {
    ScopedSoftFdLimit stingy(512);
    StartDaemon();
  }
  sigaction(SIGUSR2, &previous, nullptr);
  const uint64_t kIgnored = 1u << (SIGPIPE - 1) | 1u << (SIGUSR2 - 1);
  for (const char *name : {"plain", "nobody", "limited"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(Call(MessageType::StartSvcReq, name).succeeded());
    pid_t pid = State(name).pid;
    EXPECT_EQ(Descriptors(pid), (std::set<std::string>{"0", "1", "2"}));
    EXPECT_EQ(SignalMask(pid, "SigBlk"), 0u);
    EXPECT_EQ(SignalMask(pid, "SigCgt"), 0u);
    EXPECT_EQ(SignalMask(pid, "SigIgn"), kIgnored);
    EXPECT_EQ(SoftFdLimit(pid), name == std::string("limited") ? "77" : "512");
  }
  gid_t groups[64];
  int count = 64;
  ASSERT_GT(getgrouplist("nobody", 65534, groups, &count), 0);
  std::set<std::string> expected, held;
  for (int i = 0; i < count; i++) expected.insert(std::to_string(groups[i]));
  std::istringstream fields(StatusField(State("nobody").pid, "Groups"));
  for (std::string group; fields >> group;) held.insert(group);
  EXPECT_EQ(held, expected);
  EXPECT_EQ(StatusField(State("nobody").pid, "Uid").substr(0, 5), "65534");
}

// Started with a soft descriptor limit that barely covers its services, the
// daemon still runs every health command at once and answers meanwhile.
TEST_F(StressTest, HealthChecksOfAllServicesAtOnceFindDescriptorsAndTheSocketAnswers) {
  const int count = Scaled(100);
  std::string checked = daemon_.Root("checked");
  std::string script = daemon_.Root("health.sh");
  WriteFile(script, "#!/bin/sh\necho \"$1\" >> " + checked + "\n");
  chmod(script.c_str(), 0755);
  std::vector<std::string> names = Numbered("svc", count);
  for (const std::string &name : names) {
    Service(
        name, "/bin/sleep", {"100000"},
        ", \"ApiHealthCommand\": \"" + script + "\", \"ApiHealthCommandArgs\": [\"" + name + "\"]",
        "AUTOMATIC");
  }
  {
    ScopedSoftFdLimit stingy(count + 24);
    StartDaemon();
  }
  ASSERT_TRUE(AllStarted(names, std::chrono::seconds(100))) << daemon_.LogText().substr(0, 4000);
  WriteFile(checked, "");
  const auto began = Clock::now();
  std::atomic<bool> done = false;
  std::thread healthCheck([&] {
    RequestMessage request;
    request.type = MessageType::AllSvcsControlReq;
    request.flags.healthCheck = true;
    EXPECT_TRUE(CallForResult(Target(100), request).succeeded());
    done = true;
  });
  int answered = 0, refused = 0;
  std::vector<std::string> listed;
  while (!done) {
    (CallForNames(Target(), RequestMessage{}, &listed).succeeded() ? answered : refused)++;
  }
  healthCheck.join();
  const auto seconds = std::chrono::duration<double>(Clock::now() - began).count();
  EXPECT_EQ(refused, 0);
  std::istringstream lines(ReadFile(checked));
  std::set<std::string> seen;
  for (std::string line; std::getline(lines, line);) seen.insert(line);
  EXPECT_EQ(seen, std::set<std::string>(names.begin(), names.end()));
  EXPECT_EQ(SoftFdLimit(State(names[0]).pid), std::to_string(count + 24));
  Figure("health check all", std::to_string(count) + " services in " + std::to_string(seconds) +
                                 " s; " + std::to_string(answered) +
                                 " list requests answered meanwhile; daemon " + Describe(Now()));
}

}  // namespace
