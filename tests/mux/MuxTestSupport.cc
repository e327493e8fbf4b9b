#include "mux/MuxTestSupport.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "lib/log/clock.h"
#include "lib/pollDefault/poll.h"
#include "src/core/SentroConfig.h"
#include "src/core/SysPaths.h"
#include "src/process/ProcessTable.h"
#include "src/service/servlet/MuxServerList.h"
#include "src/service/ServiceHooks.h"

namespace {

int64_t RealMicros() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

std::atomic<int64_t> clockOffsetMicros{0};

int64_t ShiftedClock() {
  return RealMicros() + clockOffsetMicros.load();
}

void RecordExit(SysProcess *process, void *context) {
  auto *probe = static_cast<ServletProbe *>(context);
  probe->exitCodeAtExit = process->GetExitCode();
  probe->events->events.push_back("exit " + probe->tag);
}

void RecordCoreDump(SysProcess *, void *context) {
  auto *probe = static_cast<ServletProbe *>(context);
  probe->events->events.push_back("core " + probe->tag);
}

bool HaveChildren() {
  siginfo_t info;
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

}  // namespace

int ServletEvents::Count(const std::string &event) const {
  int count = 0;
  for (const std::string &seen : events) {
    count += seen == event ? 1 : 0;
  }
  return count;
}

ProcessStartOptions ServletProbe::Options(const std::string &runAsUser) {
  ProcessStartOptions options;
  options.runAsUser = runAsUser;
  options.onExit = RecordExit;
  options.onCoreDump = RecordCoreDump;
  options.context = this;
  return options;
}

void MuxTest::SetUp() {
  // The container script runs as other users too.
  chmod(dir_.path().c_str(), 0755);
  configDir_ = dir_.Sub("cfg");
  dataDir_ = dir_.Sub("data");
  MakeDirs(InstanceDir());
  MakeDirs(configDir_ + "/svcCfgfiles");
  MakeDirs(dataDir_ + "/.svcStats");
  WriteFile(configDir_ + "/config.json", "{}");
  SentroConfig::ResetForTest();
  ASSERT_NE(SentroConfig::Load(configDir_, dataDir_), nullptr);
  // Containers join the cgroups of their instance: under the sysroot here.
  std::string sysroot = dir_.Sub("sysroot");
  for (const char *controller : {"memory", "cpuacct", "blkio"}) {
    MakeDirs(sysroot + "/sys/fs/cgroup/" + controller + "/system.slice");
  }
  setenv("SENTRO_SYSROOT", sysroot.c_str(), 1);
  SysrootReset();
  ClockSetMonotonicSource(ShiftedClock);
  PollInstallDefault();
  CreateProcessTable();
  ResetServiceHooks();
  ASSERT_TRUE(LoadMuxServers());  // an empty list
  log_.Clear();
}

void MuxTest::TearDown() {
  // Containers still up are killed with their instances (the process objects
  // cancel their children), then reaped.
  std::filesystem::remove_all(InstanceDir());
  MakeDirs(InstanceDir());
  LoadMuxServers();
  RunUntil([] { return !HaveChildren(); }, 5000);
  PollShutdown();
  ClockSetMonotonicSource(nullptr);
  ResetServiceHooks();
  unsetenv("SENTRO_SYSROOT");
  SysrootReset();
  SentroConfig::ResetForTest();
}

void MuxTest::WriteInstance(const std::string &fileName, const std::string &json) {
  WriteFile(InstanceDir() + "/" + fileName, json);
}

std::string MuxTest::ContainerScript() {
  std::string path = dir_.Sub("container.sh");
  WriteFile(path, "#!/bin/sh\necho \"$(id -un) $(pwd)\" >> " + StartLog() + "\nexec sleep 30\n");
  chmod(path.c_str(), 0755);
  WriteFile(StartLog(), "");
  chmod(StartLog().c_str(), 0666);
  return path;
}

int MuxTest::StartCount() const {
  std::ifstream in(StartLog());
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
  }
  return count;
}

void MuxTest::LoadContainer(const std::string &name, const std::string &extraMembers) {
  std::string json = "{\"Name\": \"" + name + "\", \"StartCommand\": \"" + ContainerScript() + "\"";
  if (!extraMembers.empty()) {
    json += ", " + extraMembers;
  }
  WriteInstance(name + ".json", json + "}");
  ASSERT_TRUE(LoadMuxServers());
}

bool MuxTest::RunUntil(const std::function<bool()> &done, int timeoutMs) {
  int64_t deadline = RealMicros() + timeoutMs * 1000LL;
  while (!done() && RealMicros() < deadline) {
    ReapChildren();
    volatile uint8_t exitFlag = 0;
    PollRun(false, &exitFlag, 0, 2000);
  }
  return done();
}

void MuxTest::RunTurn() {
  volatile uint8_t exitFlag = 0;
  PollRun(false, &exitFlag, 0, 0);
}

void MuxTest::AdvanceSeconds(int64_t seconds) {
  clockOffsetMicros += seconds * 1000000;
}

bool ProcessAlive(pid_t pid) {
  std::string state = ProcStatusField(pid, "State:");
  return !state.empty() && state.find('Z') == std::string::npos;
}

std::string ProcStatusField(pid_t pid, const std::string &key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0) {
      return line.substr(key.size());
    }
  }
  return "";
}

std::string ProcCwd(pid_t pid) {
  char target[PATH_MAX];
  std::string link = "/proc/" + std::to_string(pid) + "/cwd";
  ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  return length < 0 ? "" : std::string(target, static_cast<size_t>(length));
}
