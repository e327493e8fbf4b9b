// Recovery on the real daemon with real processes: crashed services come
// back with a new process, failed health checks climb the recovery list,
// system restarts and failovers reach the sandbox and a real listener, the
// event publisher runs its script, gcore dumps a live service, and a crash
// loop leaves neither zombies nor descriptors behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "src/control/protocol/MessageHeader.h"
#include "support/SandboxDaemon.h"
#include "tools/sentroctl/ControlCalls.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A service that notes its pid and runs until killed.
const char kServiceScript[] =
    "#!/bin/sh\n"
    "echo $$ > \"$1\"\n"
    "trap 'exit 0' TERM\n"
    "while :; do sleep 0.05; done\n";

// A health command: unhealthy (65) while the service's pid is the one named
// in the bad-pid file, unknown (99) while the broken file exists.
const char kHealthScript[] =
    "#!/bin/sh\n"
    "[ -e \"$1.broken\" ] && exit 99\n"
    "[ -e \"$1.bad\" ] && [ \"$(cat \"$1\")\" = \"$(cat \"$1.bad\")\" ] && exit 65\n"
    "exit 0\n";

bool WaitUntil(const std::function<bool()> &condition, milliseconds timeout = seconds(8)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  return condition();
}

int CountOf(const std::string &text, const std::string &word) {
  int count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    count++;
  }
  return count;
}

const uint32_t kStarted = 2;
const uint32_t kStopped = 3;

class Recovery : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = daemon_.Root("svc.sh");
    health_ = daemon_.Root("health.sh");
    WriteFile(script_, kServiceScript);
    WriteFile(health_, kHealthScript);
    chmod(script_.c_str(), 0755);
    chmod(health_.c_str(), 0755);
    daemon_.WriteProfiles("{}");
    Config("");
  }

  void TearDown() override {
    if (daemon_.pid() > 0) {
      daemon_.Signal(SIGTERM);
      EXPECT_EQ(daemon_.WaitExit(), 0) << daemon_.LogText();
    }
  }

  void Config(const std::string &extra) {
    daemon_.WriteConfig("{\"EnableLivenessCheck\": false, \"LogLevel\": 8" + extra + "}");
  }

  // The file where the service named writes its pid.
  std::string PidFile(const std::string &name) const { return daemon_.Root(name + ".pid"); }

  void Service(const std::string &name, const std::string &extra = "") {
    daemon_.WriteService(name + ".json",
                         "{\"Name\": \"" + name +
                             "\", \"StartupType\": \"MANUAL\", \"StartCommand\": \"" + script_ +
                             "\", \"StartCommandArgs\": [\"" + PidFile(name) + "\"]" + extra + "}");
  }

  std::string HealthMembers(const std::string &name) const {
    return ", \"ApiHealthCommand\": \"" + health_ + "\", \"ApiHealthCommandArgs\": [\"" +
           PidFile(name) + "\"]";
  }

  void StartDaemon() {
    daemon_.Start();
    ASSERT_TRUE(daemon_.WaitForLog("Sentro service is running in")) << daemon_.LogText();
  }

  CallTarget Target(int timeoutSec = 10) const {
    return CallTarget{daemon_.dataDir() + "/sentroserver",
                      std::chrono::steady_clock::now() + seconds(timeoutSec)};
  }

  CallOutcome Call(MessageType type, const std::string &name = "") {
    RequestMessage request;
    request.type = type;
    request.name = name;
    return CallForResult(Target(), request);
  }

  CallOutcome SetRecoveryProfile(uint32_t profile) {
    RequestMessage request;
    request.type = MessageType::SetRecoveryProfileReq;
    request.recoveryProfile = profile;
    return CallForResult(Target(), request);
  }

  CallOutcome HealthCheckAll() {
    RequestMessage request;
    request.type = MessageType::AllSvcsControlReq;
    request.flags.healthCheck = true;
    return CallForResult(Target(), request);
  }

  SvcStatePayload State(const std::string &name) {
    SvcStatePayload status;
    EXPECT_TRUE(CallForState(Target(), name, &status).succeeded());
    return status;
  }

  // Starts the service and returns its pid once STARTED.
  pid_t StartService(const std::string &name) {
    EXPECT_TRUE(Call(MessageType::StartSvcReq, name).succeeded()) << daemon_.LogText();
    SvcStatePayload status = State(name);
    EXPECT_EQ(status.state, kStarted);
    return static_cast<pid_t>(status.pid);
  }

  // Waits for the service to be STARTED again with a pid other than old.
  pid_t WaitForNewPid(const std::string &name, pid_t old) {
    pid_t fresh = 0;
    WaitUntil([&] {
      SvcStatePayload status = State(name);
      if (status.state == kStarted && status.pid != 0 && static_cast<pid_t>(status.pid) != old) {
        fresh = static_cast<pid_t>(status.pid);
        return true;
      }
      return false;
    });
    return fresh;
  }

  std::string RebootRequests() const {
    std::string path = daemon_.sysroot() + "/reboot-requests";
    return FileExists(path) ? ReadFile(path) : "";
  }

  SandboxDaemon daemon_;
  std::string script_;
  std::string health_;
};

TEST_F(Recovery, CrashedServiceIsRestartedWithANewProcess) {
  Service("crashy");
  StartDaemon();
  pid_t first = StartService("crashy");
  ASSERT_GT(first, 0);
  ASSERT_EQ(kill(first, SIGKILL), 0);
  pid_t second = WaitForNewPid("crashy", first);
  ASSERT_GT(second, 0) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("<crashy> Restarting service.\n"));
  EXPECT_EQ(ReadFile(PidFile("crashy")), std::to_string(second) + "\n");
}

TEST_F(Recovery, HealthFailureTakesNoActionFirstThenRestarts) {
  Service("sick", HealthMembers("sick"));
  StartDaemon();
  pid_t first = StartService("sick");
  ASSERT_GT(first, 0);
  WriteFile(PidFile("sick") + ".bad", std::to_string(first) + "\n");

  HealthCheckAll();
  ASSERT_TRUE(
      daemon_.WaitForLog("<sick> Recover from service api health check failure. Fail count 0\n"))
      << daemon_.LogText();
  SvcStatePayload status = State("sick");
  EXPECT_EQ(status.state, kStarted);
  EXPECT_EQ(static_cast<pid_t>(status.pid), first);

  HealthCheckAll();
  ASSERT_TRUE(
      daemon_.WaitForLog("<sick> Recover from service api health check failure. Fail count 1\n"))
      << daemon_.LogText();
  pid_t second = WaitForNewPid("sick", first);
  EXPECT_GT(second, 0) << daemon_.LogText();
  EXPECT_EQ(CountOf(daemon_.LogText(), "<sick> Restarting service.\n"), 1);
}

TEST_F(Recovery, ServiceProfileOverridesTheDefaultCrashActions) {
  Service("picky",
          ", \"RecoveryActionProfiles\": {\"DEFAULT\": {\"CRASH\": [\"NO_ACTION\", "
          "\"RESTART_SERVICE\"]}}");
  Service("quiet", ", \"RecoveryActionProfiles\": {\"DEFAULT\": {\"CRASH\": []}}");
  StartDaemon();
  pid_t quiet = StartService("quiet");
  pid_t first = StartService("picky");
  ASSERT_EQ(kill(quiet, SIGKILL), 0);
  ASSERT_EQ(kill(first, SIGKILL), 0);
  ASSERT_TRUE(WaitUntil([&] { return State("picky").state == kStopped; })) << daemon_.LogText();
  ASSERT_TRUE(WaitUntil([&] { return State("quiet").state == kStopped; })) << daemon_.LogText();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(State("picky").state, kStopped);
  EXPECT_EQ(State("quiet").state, kStopped);

  // The second crash takes the list's second entry.
  pid_t again = StartService("picky");
  ASSERT_EQ(kill(again, SIGKILL), 0);
  EXPECT_GT(WaitForNewPid("picky", again), 0) << daemon_.LogText();
  EXPECT_EQ(CountOf(daemon_.LogText(), "<quiet> Restarting service.\n"), 0);
}

TEST_F(Recovery, SystemRestartActionRecordsARebootRequest) {
  Service("fatal",
          ", \"RecoveryActionProfiles\": {\"DEFAULT\": {\"CRASH\": [\"RESTART_SYSTEM\"]}}");
  StartDaemon();
  pid_t pid = StartService("fatal");
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(WaitUntil([&] { return RebootRequests() == "RESTART\n"; })) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("Issuing system restart request.\n"));
  EXPECT_TRUE(daemon_.WaitForLog("Failed to restart system.\n"));
}

TEST_F(Recovery, UnknownHealthRestartsTheSystemOnlyForCriticalServicesUnderFailover) {
  Service("core", HealthMembers("core"));
  Service("extra", HealthMembers("extra"));
  daemon_.WriteProfiles("{\"CRITICAL\": [\"core\"]}");
  StartDaemon();
  StartService("core");
  StartService("extra");
  WriteFile(PidFile("core") + ".broken", "");
  WriteFile(PidFile("extra") + ".broken", "");

  // Under the default profile a system failure does nothing.
  HealthCheckAll();
  ASSERT_TRUE(daemon_.WaitForLog("<core> health state unknown ,considered as system failure\n"))
      << daemon_.LogText();
  ASSERT_TRUE(daemon_.WaitForLog("<extra> health state unknown ,considered as system failure\n"));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(RebootRequests(), "");

  ASSERT_TRUE(SetRecoveryProfile(1).succeeded());
  HealthCheckAll();
  ASSERT_TRUE(WaitUntil([&] { return RebootRequests() == "RESTART\n"; })) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("System Failure, initiating system restart.\n"));
  // Only the critical service restarts the machine.
  ASSERT_TRUE(WaitUntil(
      [&] { return CountOf(daemon_.LogText(), "<extra> health state unknown ,considered") == 2; }));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(RebootRequests(), "RESTART\n");
  EXPECT_EQ(CountOf(daemon_.LogText(), "System Failure, initiating system restart.\n"), 1);
}

// The failover listener of the appliance, played by a thread: it takes one
// connection, reads the request and answers with replyType, or closes
// without an answer when replyType is 0.
class FailoverListener {
 public:
  FailoverListener(const std::string &path, uint32_t replyType) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    bound_ = bind(fd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0 &&
             listen(fd_, 4) == 0;
    thread_ = std::thread([this, replyType] { Serve(replyType); });
  }
  ~FailoverListener() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  bool bound() const { return bound_; }
  // The type of the request read, -1 before one arrived.
  int requestType() const { return requestType_; }

 private:
  void Serve(uint32_t replyType) {
    struct timeval timeout = {8, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      return;
    }
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    uint8_t request[MESSAGE_HEADER_SIZE];
    size_t got = 0;
    while (got < sizeof request) {
      ssize_t n = read(client, request + got, sizeof request - got);
      if (n <= 0) {
        break;
      }
      got += static_cast<size_t>(n);
    }
    if (got == sizeof request) {
      MessageHeader header = DecodeMessageHeader(request);
      requestType_ = static_cast<int>(header.type);
      if (replyType != 0) {
        uint8_t reply[MESSAGE_HEADER_SIZE];
        EncodeMessageHeader(MakeMessageHeader(static_cast<MessageType>(replyType), 0), reply);
        ssize_t ignored = write(client, reply, sizeof reply);
        (void)ignored;
        // Let the daemon close first.
        char byte;
        ignored = read(client, &byte, 1);
      }
    }
    close(client);
  }

  int fd_ = -1;
  bool bound_ = false;
  std::atomic<int> requestType_{-1};
  std::thread thread_;
};

class Failover : public Recovery {
 protected:
  void CrashFailingOver() {
    Service("duo", ", \"RecoveryActionProfiles\": {\"DEFAULT\": {\"CRASH\": [\"HAFAILOVER\"]}}");
    StartDaemon();
    pid_t pid = StartService("duo");
    ASSERT_EQ(kill(pid, SIGKILL), 0);
  }
  std::string ListenerPath() const { return daemon_.dataDir() + "/duolistener"; }
};

TEST_F(Failover, AcceptedFailoverReportsSuccess) {
  FailoverListener listener(ListenerPath(), 15);
  ASSERT_TRUE(listener.bound());
  CrashFailingOver();
  ASSERT_TRUE(daemon_.WaitForLog("DUO failover call done. Success : 1\n")) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("<duo> Initiated DUO failover for service.\n"));
  EXPECT_EQ(listener.requestType(), 9);
  EXPECT_EQ(State("duo").state, kStopped);  // failover takes the place of a restart
}

TEST_F(Failover, RefusedFailoverReportsFailure) {
  FailoverListener listener(ListenerPath(), 16);
  ASSERT_TRUE(listener.bound());
  CrashFailingOver();
  ASSERT_TRUE(daemon_.WaitForLog("DUO failover call done. Success : 0\n")) << daemon_.LogText();
  EXPECT_EQ(listener.requestType(), 9);
  EXPECT_EQ(CountOf(daemon_.LogText(), "Sending failure reply for HA Node Failover request\n"), 0);
}

TEST_F(Failover, ListenerThatHangsUpReportsFailure) {
  FailoverListener listener(ListenerPath(), 0);
  ASSERT_TRUE(listener.bound());
  CrashFailingOver();
  ASSERT_TRUE(daemon_.WaitForLog("DUO failover call done. Success : 0\n")) << daemon_.LogText();
  EXPECT_TRUE(daemon_.WaitForLog("Remote disconnected"));
}

TEST_F(Failover, MissingListenerIsASystemFailure) {
  daemon_.WriteProfiles("{\"CRITICAL\": [\"duo\"]}");
  CrashFailingOver();
  ASSERT_TRUE(daemon_.WaitForLog("<duo> Failed to send duo failover request for service.\n"))
      << daemon_.LogText();
  EXPECT_EQ(RebootRequests(), "");  // the DEFAULT profile does not restart the machine
}

TEST_F(Recovery, EventPublisherGetsEveryQueuedChangeInOrder) {
  std::string scriptDir = daemon_.Root("pub");
  MakeDirs(scriptDir);
  std::string events = daemon_.Root("events");
  std::string slow = daemon_.Root("slow");
  std::string python = daemon_.Root("python.sh");
  WriteFile(python, "#!/bin/sh\necho \"$@\" >> \"" + events + "\"\nif [ -e \"" + slow +
                        "\" ]; then rm -f \"" + slow + "\"; sleep 1; fi\n");
  chmod(python.c_str(), 0755);
  WriteFile(events, "");
  Config(", \"EventPublisherScriptDir\": \"" + scriptDir + "\"");
  daemon_.SetEnv("NORVANE_PYTHON_BIN=" + python);
  for (const char *name : {"trigger", "a", "b", "c"}) {
    Service(name);
  }
  StartDaemon();
  for (const char *name : {"trigger", "a", "b", "c"}) {
    StartService(name);
  }
  std::string prefix = scriptDir + "/sentroEventPublisher.py --eventdata ";
  ASSERT_TRUE(WaitUntil([&] { return CountOf(ReadFile(events), ",INITIALIZED,") == 4; }))
      << ReadFile(events);

  // The trigger's change runs the slow script; the three stops meanwhile
  // queue up for the next run.
  WriteFile(slow, "");
  ASSERT_TRUE(Call(MessageType::StopSvcReq, "trigger").succeeded());
  ASSERT_TRUE(
      WaitUntil([&] { return ReadFile(events).find("trigger,UNHEALTHY") != std::string::npos; }));
  for (const char *name : {"a", "b", "c"}) {
    ASSERT_TRUE(Call(MessageType::StopSvcReq, name).succeeded());
  }
  std::string expected = prefix +
                         "a,UNHEALTHY,INITIALIZED,0 --eventdata b,UNHEALTHY,INITIALIZED,0" +
                         " --eventdata c,UNHEALTHY,INITIALIZED,0\n";
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(events).find(expected) != std::string::npos; }))
      << ReadFile(events);
  EXPECT_NE(ReadFile(events).find(prefix + "trigger,UNHEALTHY,INITIALIZED,0\n"), std::string::npos);
  EXPECT_EQ(CountOf(ReadFile(events), "--eventdata"), 8);
}

char ProcessState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) {
    return 0;
  }
  return line[line.rfind(')') + 2];
}

TEST_F(Recovery, EventPublisherRunsOnceForTheChangesOfOneLoopTurn) {
  std::string scriptDir = daemon_.Root("pub");
  MakeDirs(scriptDir);
  std::string events = daemon_.Root("events");
  std::string python = daemon_.Root("python.sh");
  WriteFile(python, "#!/bin/sh\necho \"$@\" >> \"" + events + "\"\n");
  chmod(python.c_str(), 0755);
  WriteFile(events, "");
  Config(", \"EventPublisherScriptDir\": \"" + scriptDir + "\"");
  daemon_.SetEnv("NORVANE_PYTHON_BIN=" + python);
  const std::vector<std::string> names = {"x", "y", "z"};
  for (const std::string &name : names) {
    Service(name, ", \"RecoveryActionProfiles\": {\"DEFAULT\": {\"CRASH\": []}}");
  }
  StartDaemon();
  std::vector<pid_t> pids;
  for (const std::string &name : names) {
    pids.push_back(StartService(name));
  }
  ASSERT_TRUE(WaitUntil([&] { return CountOf(ReadFile(events), ",INITIALIZED,") == 3; }))
      << ReadFile(events);
  std::this_thread::sleep_for(milliseconds(200));
  std::string before = ReadFile(events);

  // With the daemon held, the three services die; it then reaps all three
  // in one turn of its loop.
  daemon_.Signal(SIGSTOP);
  for (pid_t pid : pids) {
    kill(pid, SIGKILL);
  }
  bool allZombies = WaitUntil([&] {
    for (pid_t pid : pids) {
      if (ProcessState(pid) != 'Z') {
        return false;
      }
    }
    return true;
  });
  daemon_.Signal(SIGCONT);
  ASSERT_TRUE(allZombies);
  ASSERT_TRUE(WaitUntil([&] { return CountOf(ReadFile(events), ",UNHEALTHY,") == 3; }))
      << ReadFile(events);
  std::this_thread::sleep_for(milliseconds(200));

  // The changes in the order the daemon saw the exits.
  std::string log = daemon_.LogText();
  std::vector<std::string> order = names;
  std::sort(order.begin(), order.end(), [&](const std::string &a, const std::string &b) {
    return log.find("<" + a + "> Service exited unexpectedly") <
           log.find("<" + b + "> Service exited unexpectedly");
  });
  std::string expected = scriptDir + "/sentroEventPublisher.py";
  for (const std::string &name : order) {
    expected += " --eventdata " + name + ",UNHEALTHY,INITIALIZED,1";
  }
  EXPECT_EQ(ReadFile(events).substr(before.size()), expected + "\n");
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
  CallOutcome outcome = CallForLiveCore(Target(30), "dumpme", &core);
  ASSERT_TRUE(outcome.succeeded()) << daemon_.LogText();
  ASSERT_TRUE(core.succeeded);
  std::string dir = daemon_.sysroot() + "/var/core/livecore.dumpme-";
  EXPECT_EQ(core.corePath.rfind(dir, 0), 0u) << core.corePath;
  EXPECT_EQ(core.corePath.substr(core.corePath.rfind('.') + 1), std::to_string(pid));
  struct stat st;
  ASSERT_EQ(stat(core.corePath.c_str(), &st), 0) << core.corePath;
  EXPECT_GT(st.st_size, 0);
  // The service went on running.
  SvcStatePayload status = State("dumpme");
  EXPECT_EQ(status.state, kStarted);
  EXPECT_EQ(static_cast<pid_t>(status.pid), pid);
  EXPECT_EQ(kill(pid, 0), 0);
  unlink(core.corePath.c_str());
}

int OpenDescriptors(pid_t pid) {
  int count = 0;
  DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) {
    return -1;
  }
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      count++;
    }
  }
  closedir(dir);
  return count;
}

// Children of parent that are zombies.
std::vector<pid_t> ZombieChildren(pid_t parent) {
  std::vector<pid_t> zombies;
  DIR *proc = opendir("/proc");
  while (struct dirent *entry = readdir(proc)) {
    pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
    if (pid <= 0) {
      continue;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
      continue;
    }
    // Fields after the command name, which is in parentheses.
    size_t close = line.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    std::istringstream fields(line.substr(close + 2));
    char state = 0;
    pid_t ppid = 0;
    fields >> state >> ppid;
    if (ppid == parent && state == 'Z') {
      zombies.push_back(pid);
    }
  }
  closedir(proc);
  return zombies;
}

TEST_F(Recovery, CrashLoopLeavesNoZombieAndNoDescriptor) {
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
    pid_t next = 0;
    ASSERT_TRUE(WaitUntil([&] {
      SvcStatePayload status = State("loop");
      if (status.pid != 0 && static_cast<pid_t>(status.pid) != pid) {
        next = static_cast<pid_t>(status.pid);
        return true;
      }
      return false;
    })) << "round "
        << round << "\n"
        << daemon_.LogText();
    pid = next;
  }
  ASSERT_GT(WaitForNewPid("loop", 0), 0) << daemon_.LogText();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(WaitUntil([&] { return ZombieChildren(daemon_.pid()).empty(); }, seconds(2)));
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(daemon_.pid()) == before; }, seconds(2)))
      << before << " before, " << OpenDescriptors(daemon_.pid()) << " after";
  EXPECT_EQ(CountOf(daemon_.LogText(), "Give up!!!"), 0);
}

}  // namespace
