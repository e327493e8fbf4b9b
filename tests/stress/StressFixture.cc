#include "StressFixture.h"

#include <dirent.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

int StressScale() {
  const char *text = getenv("SENTRO_STRESS_SCALE");
  int scale = text != nullptr ? atoi(text) : 1;
  return scale > 0 ? scale : 1;
}

std::string StatusField(pid_t pid, const std::string &key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key + ":", 0) == 0) {
      size_t value = line.find_first_not_of(" \t", key.size() + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
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

// Calls visit(pid, state) for every process whose parent is parent.
template <typename Visit>
static void ForEachChild(pid_t parent, Visit visit) {
  DIR *proc = opendir("/proc");
  while (struct dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
    pid_t pid = atoi(entry->d_name);
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
    // The fields after the command name, which is in parentheses.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    char state = 0;
    pid_t ppid = 0;
    if (fields >> state >> ppid && ppid == parent) visit(pid, state);
  }
  if (proc != nullptr) closedir(proc);
}

std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> pids;
  ForEachChild(parent, [&](pid_t pid, char) { pids.push_back(pid); });
  return pids;
}

Footprint FootprintOf(pid_t pid) {
  Footprint footprint;
  footprint.descriptors = static_cast<int>(Descriptors(pid).size());
  footprint.rssKiB = atol(StatusField(pid, "VmRSS").c_str());
  footprint.lockedKiB = atol(StatusField(pid, "VmLck").c_str());
  ForEachChild(pid, [&](pid_t, char state) {
    footprint.children++;
    footprint.zombies += state == 'Z';
  });
  return footprint;
}

std::string Describe(const Footprint &f) {
  return "fds " + std::to_string(f.descriptors) + ", VmRSS " + std::to_string(f.rssKiB) +
         " KiB, VmLck " + std::to_string(f.lockedKiB) + " KiB, children " +
         std::to_string(f.children) + ", zombies " + std::to_string(f.zombies);
}

void StressTest::TearDown() {
  if (daemon_.pid() > 0 && kill(daemon_.pid(), 0) == 0) {
    daemon_.Signal(SIGTERM);
    EXPECT_EQ(daemon_.WaitExit(std::chrono::seconds(60)), 0) << daemon_.Stderr();
  }
}

void StressTest::Config(const std::string &extraMembers) {
  daemon_.WriteConfig("{\"EnableLivenessCheck\": false, \"SocketIOTimeout\": 1" + extraMembers +
                      "}");
}

void StressTest::Service(const std::string &name, const std::string &program,
                         const std::vector<std::string> &args, const std::string &extraMembers,
                         const std::string &startupType) {
  std::string argList;
  for (const std::string &arg : args) argList += (argList.empty() ? "\"" : ", \"") + arg + "\"";
  daemon_.WriteService(name + ".json", "{\"Name\": \"" + name + "\", \"StartupType\": \"" +
                                           startupType + "\", \"StartCommand\": \"" + program +
                                           "\", \"StartCommandArgs\": [" + argList + "]" +
                                           extraMembers + "}");
}

std::vector<std::string> StressTest::Services(const std::string &stem, int count,
                                              const std::string &startupType) {
  std::vector<std::string> names;
  for (int i = 0; i < count; i++) {
    names.push_back(stem + std::to_string(1000 + i));
    Service(names.back(), "/bin/sleep", {"100000"}, "", startupType);
  }
  return names;
}

void StressTest::StartDaemon() {
  daemon_.Start();
  ASSERT_TRUE(WaitUntil([&] { return !Names().empty(); }, std::chrono::seconds(60),
                        std::chrono::milliseconds(10)))
      << daemon_.LogText().substr(0, 4000);
}

CallTarget StressTest::Target(int timeoutSec) const {
  return CallTarget{daemon_.dataDir() + "/sentroserver",
                    std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec)};
}

CallOutcome StressTest::Call(MessageType type, const std::string &name) {
  RequestMessage request;
  request.type = type;
  request.name = name;
  return Call(request);
}

CallOutcome StressTest::AllServices(bool reset, bool save) {
  RequestMessage request;
  request.type = MessageType::AllSvcsControlReq;
  request.flags.resetFailCounters = reset;
  request.flags.saveCrashStats = save;
  return Call(request);
}

SvcStatePayload StressTest::State(const std::string &name) {
  SvcStatePayload status;
  CallForState(Target(), name, &status);
  return status;
}

std::vector<std::string> StressTest::Names() {
  RequestMessage request;
  request.type = MessageType::ListSvcsReq;
  std::vector<std::string> names;
  CallForNames(Target(), request, &names);
  return names;
}

bool StressTest::AllStarted(const std::vector<std::string> &names,
                            std::chrono::milliseconds timeout) {
  size_t next = 0;  // services before next are known to be STARTED
  return WaitUntil(
      [&] {
        while (next < names.size() && State(names[next]).state == kStarted) next++;
        return next == names.size();
      },
      timeout, std::chrono::milliseconds(20));
}

void StressTest::Measured(const std::string &part, const std::function<std::string()> &body) {
  const Footprint before = Now();
  const std::string figure = body();
  std::set<pid_t> services, children;
  auto settled = [&] {
    services.clear();
    for (const std::string &name : Names()) {
      SvcStatePayload status = State(name);
      if (status.state == kStarted) services.insert(static_cast<pid_t>(status.pid));
    }
    std::vector<pid_t> now = ChildrenOf(daemon_.pid());
    children = std::set<pid_t>(now.begin(), now.end());
    return Now().descriptors <= before.descriptors && children == services;
  };
  WaitUntil(settled, std::chrono::seconds(5), std::chrono::milliseconds(50));
  const Footprint after = Now();
  EXPECT_LE(after.descriptors, before.descriptors) << part;
  EXPECT_EQ(children, services) << part;
  EXPECT_EQ(after.zombies, 0) << part;
  // Only a locked daemon's memory tells: a sanitizer build neither locks
  // nor frees at once (its quarantine holds freed blocks).
  if (before.lockedKiB > 0) {
    EXPECT_LE(after.rssKiB, before.rssKiB + 1024) << part;
  }
  Figure(part, figure + "; before: " + Describe(before) + "; after: " + Describe(after));
}

void StressTest::Figure(const std::string &part, const std::string &text) {
  std::printf("[figure x%d] %s: %s\n", StressScale(), part.c_str(), text.c_str());
  RecordProperty(part, text);
}
