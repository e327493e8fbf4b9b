// Recovery on the real daemon with real processes: crashed and unhealthy
// services come back with a new process, system restarts and failovers reach
// the sandbox and a real listener, the event publisher runs its script, gcore
// dumps a live service, and a crash loop leaves neither zombies nor
// descriptors behind.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DaemonFixture.h"
#include "src/protocol/MessageHeader.h"
#include "support/OneShotListener.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A health command: unknown (99) while the broken file exists, unhealthy (65)
// while the service's pid is the one in the bad-pid file.
const char kHealthScript[] =
    "#!/bin/sh\n"
    "[ -e \"$1.broken\" ] && exit 99\n"
    "[ -e \"$1.bad\" ] && [ \"$(cat \"$1\")\" = \"$(cat \"$1.bad\")\" ] && exit 65\n"
    "exit 0\n";

std::string CrashActions(const std::string &actions) {
  return ", \"RecoveryActionProfiles\": {\"DEFAULT\": {\"CRASH\": [" + actions + "]}}";
}

class Recovery : public DaemonTest {
 protected:
  std::string HealthMembers(const std::string &name) {
    return ", \"ApiHealthCommand\": \"" + Executable("health.sh", kHealthScript) +
           "\", \"ApiHealthCommandArgs\": [\"" + PidFile(name) + "\"]";
  }

  CallOutcome HealthCheckAll() {
    RequestMessage request = Request(MessageType::AllSvcsControlReq);
    request.flags.healthCheck = true;
    return CallForResult(Target(), request);
  }

  std::string RebootRequests() const {
    return ReadWholeFile(daemon_.sysroot() + "/reboot-requests");
  }
};

int OpenDescriptors(pid_t pid) {
  DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) {
    return -1;
  }
  int count = 0;
  while (struct dirent *entry = readdir(dir)) {
    count += entry->d_name[0] != '.';
  }
  closedir(dir);
  return count;
}

bool HasZombieChild(pid_t parent) {
  DIR *proc = opendir("/proc");
  bool found = false;
  while (struct dirent *entry = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    if (atoi(entry->d_name) <= 0 || !std::getline(stat, line) ||
        line.rfind(')') == std::string::npos) {
      continue;
    }
    // The fields after the command name, which is in parentheses.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    char state = 0;
    pid_t ppid = 0;
    fields >> state >> ppid;
    found = found || (ppid == parent && state == 'Z');
  }
  closedir(proc);
  return found;
}

TEST_F(Recovery, CrashedServiceRestartsWithANewProcessAndACrashLoopLeaksNothing) {
  Config(", \"MaxServiceQuickRecoveryCount\": 100");
  Service("loop");
  StartDaemon();
  pid_t pid = StartService("loop");
  ASSERT_GT(pid, 0);
  // Let the daemon close the connections of the requests so far.
  std::this_thread::sleep_for(milliseconds(300));
  int before = OpenDescriptors(daemon_.pid());
  ASSERT_GT(before, 0);
  // One crash while started, then kills of each restart as soon as it runs.
  for (int round = 0; round < 20; round++) {
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    pid = WaitForNewPid("loop", pid, /*anyState=*/true);
    ASSERT_GT(pid, 0) << "round " << round << "\n" << daemon_.LogText();
  }
  pid = WaitForNewPid("loop", 0);
  ASSERT_GT(pid, 0) << daemon_.LogText();
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(PidFile("loop")) == std::to_string(pid) + "\n"; }));
  EXPECT_TRUE(daemon_.WaitForLog("<loop> Restarting service.\n"));
  EXPECT_EQ(CountOf(daemon_.LogText(), "Give up!!!"), 0u);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(WaitUntil([&] { return !HasZombieChild(daemon_.pid()); }, seconds(2)));
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(daemon_.pid()) == before; }, seconds(2)))
      << before << " before, " << OpenDescriptors(daemon_.pid()) << " after";
}

// sick answers unhealthy; core and extra answer unknown, a system failure
// that restarts the machine only for a critical service under FAILOVER.
TEST_F(Recovery, FailedHealthChecksClimbTheRecoveryListAndUnknownHealthFailsTheSystem) {
  for (const char *name : {"sick", "core", "extra"}) {
    Service(name, HealthMembers(name));
  }
  daemon_.WriteProfiles("{\"CRITICAL\": [\"core\"]}");
  StartDaemon();
  pid_t first = StartService("sick");
  StartService("core");
  StartService("extra");
  WriteFile(PidFile("sick") + ".bad", std::to_string(first) + "\n");
  WriteFile(PidFile("core") + ".broken", "");
  WriteFile(PidFile("extra") + ".broken", "");

  // First failure: no action; under the DEFAULT profile nothing for the system.
  HealthCheckAll();
  ASSERT_TRUE(
      daemon_.WaitForLog("<sick> Recover from service api health check failure. Fail count 0\n"))
      << daemon_.LogText();
  ASSERT_TRUE(daemon_.WaitForLog("<core> health state unknown ,considered as system failure\n"));
  ASSERT_TRUE(daemon_.WaitForLog("<extra> health state unknown ,considered as system failure\n"));
  EXPECT_EQ(static_cast<pid_t>(State("sick").pid), first);
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(RebootRequests(), "<missing>");

  // Second failure: a restart; under FAILOVER the critical service restarts
  // the machine, the other does not.
  RequestMessage failover = Request(MessageType::SetRecoveryProfileReq);
  failover.recoveryProfile = 1;
  ASSERT_TRUE(CallForResult(Target(), failover).succeeded());
  HealthCheckAll();
  ASSERT_TRUE(
      daemon_.WaitForLog("<sick> Recover from service api health check failure. Fail count 1\n"))
      << daemon_.LogText();
  EXPECT_GT(WaitForNewPid("sick", first), 0) << daemon_.LogText();
  EXPECT_EQ(CountOf(daemon_.LogText(), "<sick> Restarting service.\n"), 1u);
  ASSERT_TRUE(WaitUntil([&] { return RebootRequests() == "RESTART\n"; })) << daemon_.LogText();
  ASSERT_TRUE(WaitUntil(
      [&] { return CountOf(daemon_.LogText(), "<extra> health state unknown ,considered") == 2; }));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(RebootRequests(), "RESTART\n");
  EXPECT_EQ(CountOf(daemon_.LogText(), "System Failure, initiating system restart.\n"), 1u);
}

// A crash reaches outside the daemon: a system restart request, a failover
// request to the appliance's listener, and the event publisher's script.
TEST_F(Recovery, CrashActionsReachTheRebootRequestsTheFailoverListenerAndThePublisher) {
  OneShotListener listener(daemon_.dataDir() + "/duolistener", MESSAGE_HEADER_SIZE);
  ASSERT_TRUE(listener.bound());
  listener.Serve([](int connection) {  // accepts the failover
    uint8_t reply[MESSAGE_HEADER_SIZE];
    EncodeMessageHeader(MakeMessageHeader(static_cast<MessageType>(15), 0), reply);
    EXPECT_EQ(write(connection, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    char byte;
    (void)!read(connection, &byte, 1);  // let the daemon close first
  });
  std::string events = daemon_.Root("events");
  daemon_.SetEnv("NORVANE_PYTHON_BIN=" +
                 Executable("python.sh", "#!/bin/sh\necho \"$@\" >> \"" + events + "\"\n"));
  MakeDirs(daemon_.Root("pub"));
  Config(", \"EventPublisherScriptDir\": \"" + daemon_.Root("pub") + "\"");
  Service("fatal", CrashActions("\"RESTART_SYSTEM\""));
  Service("duo", CrashActions("\"HAFAILOVER\""));
  StartDaemon();

  ASSERT_EQ(kill(StartService("fatal"), SIGKILL), 0);
  ASSERT_TRUE(WaitUntil([&] { return RebootRequests() == "RESTART\n"; })) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("Issuing system restart request.\n"));
  EXPECT_TRUE(daemon_.WaitForLog("Failed to restart system.\n"));

  ASSERT_EQ(kill(StartService("duo"), SIGKILL), 0);
  ASSERT_TRUE(daemon_.WaitForLog("DUO failover call done. Success : 1\n")) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("<duo> Initiated DUO failover for service.\n"));
  std::vector<uint8_t> request = listener.Request();
  ASSERT_EQ(request.size(), MESSAGE_HEADER_SIZE);
  EXPECT_EQ(static_cast<uint32_t>(DecodeMessageHeader(request.data()).type), 9u);
  EXPECT_EQ(State("duo").state, kStopped);  // failover takes the place of a restart
  EXPECT_EQ(RebootRequests(), "RESTART\n");
  std::string prefix = daemon_.Root("pub") + "/sentroEventPublisher.py --eventdata ";
  EXPECT_TRUE(WaitUntil([&] {
    return ReadWholeFile(events).find(prefix + "duo,UNHEALTHY,INITIALIZED,1\n") !=
           std::string::npos;
  })) << ReadWholeFile(events);
}

TEST_F(Recovery, LiveCoreDumpOfARunningServiceWithGcore) {
  if (access("/usr/bin/gcore", X_OK) != 0 || access("/usr/bin/gdb", X_OK) != 0) {
    GTEST_SKIP() << "no /usr/bin/gcore or /usr/bin/gdb";
  }
  // gcore runs the gdb that lies beside it.
  for (const char *tool : {"gcore", "gdb"}) {
    std::string real = std::string("/usr/bin/") + tool;
    ASSERT_EQ(symlink(real.c_str(), (daemon_.sysroot() + real).c_str()), 0);
  }
  Service("dumpme");
  StartDaemon();
  pid_t pid = StartService("dumpme");
  LiveCorePayload core;
  ASSERT_TRUE(CallForLiveCore(Target(30), "dumpme", &core).succeeded()) << daemon_.LogText();
  ASSERT_TRUE(core.succeeded);
  EXPECT_EQ(core.corePath.rfind(daemon_.sysroot() + "/var/core/livecore.dumpme-", 0), 0u)
      << core.corePath;
  EXPECT_EQ(core.corePath.substr(core.corePath.rfind('.') + 1), std::to_string(pid));
  struct stat st;
  ASSERT_EQ(stat(core.corePath.c_str(), &st), 0) << core.corePath;
  EXPECT_GT(st.st_size, 0);
  // The service went on running.
  SvcStatePayload status = State("dumpme");
  EXPECT_EQ(status.state, kStarted);
  EXPECT_EQ(static_cast<pid_t>(status.pid), pid);
  unlink(core.corePath.c_str());
}

}  // namespace
