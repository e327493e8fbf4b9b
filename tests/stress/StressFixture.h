// The stress suite: the real daemon in its sandbox, driven through the real
// client code over the real socket, with the daemon's footprint (open
// descriptors, memory, children) read from /proc before and after each
// part. SENTRO_STRESS_SCALE multiplies every count: 1 (the default) is the
// short CTest run, 10 the long run whose figures the README reports.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/SandboxDaemon.h"
#include "support/WaitUntil.h"
#include "tools/sentroctl/ControlCalls.h"

inline int StressScale() {
  const char *text = getenv("SENTRO_STRESS_SCALE");
  int scale = text != nullptr ? atoi(text) : 1;
  return scale > 0 ? scale : 1;
}

// A "Key:" line of /proc/<pid>/status without the key, or "" when absent.
inline std::string StatusField(pid_t pid, const std::string &key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key + ":", 0) == 0) {
      size_t value = line.find_first_not_of(" \t", key.size() + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
}

// The names in /proc/<pid>/fd.
inline std::set<std::string> Descriptors(pid_t pid) {
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
inline void ForEachChild(pid_t parent, Visit visit) {
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

inline std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> pids;
  ForEachChild(parent, [&](pid_t pid, char) { pids.push_back(pid); });
  return pids;
}

// What the daemon holds, from /proc/<pid>.
struct Footprint {
  int descriptors = -1;
  long rssKiB = -1;
  long lockedKiB = -1;
  int children = 0;
  int zombies = 0;
};

inline Footprint FootprintOf(pid_t pid) {
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

inline std::string Describe(const Footprint &f) {
  return "fds " + std::to_string(f.descriptors) + ", VmRSS " + std::to_string(f.rssKiB) +
         " KiB, VmLck " + std::to_string(f.lockedKiB) + " KiB, children " +
         std::to_string(f.children) + ", zombies " + std::to_string(f.zombies);
}

inline int Scaled(int shortRunCount) {
  return shortRunCount * StressScale();
}

class StressTest : public ::testing::Test {
 protected:
  StressTest() {
    // No watchdog, one-second receive time-out.
    daemon_.WriteConfig(R"({"EnableLivenessCheck": false, "SocketIOTimeout": 1})");
  }
  // A daemon still running must stop on SIGTERM with status 0.
  void TearDown() override {
    if (daemon_.pid() > 0 && kill(daemon_.pid(), 0) == 0) {
      daemon_.Signal(SIGTERM);
      EXPECT_EQ(daemon_.WaitExit(std::chrono::seconds(60)), 0) << daemon_.Stderr();
    }
  }

  // A service whose process sleeps, with extraMembers after its keys.
  void Service(const std::string &name, const std::string &extraMembers = "",
               const std::string &startupType = "MANUAL") {
    daemon_.WriteService(name + ".json", "{\"Name\": \"" + name + "\", \"StartupType\": \"" +
                                             startupType +
                                             "\", \"StartCommand\": \"/bin/sleep\", "
                                             "\"StartCommandArgs\": [\"100000\"]" +
                                             extraMembers + "}");
  }
  // count services named stem1000, stem1001, ...
  std::vector<std::string> Services(const std::string &stem, int count,
                                    const std::string &extraMembers = "") {
    std::vector<std::string> names;
    for (int i = 0; i < count; i++) {
      names.push_back(stem + std::to_string(1000 + i));
      std::string own = extraMembers;  // "$name" stands for the service's name
      for (size_t at; (at = own.find("$name")) != std::string::npos;)
        own.replace(at, 5, names.back());
      Service(names.back(), own, "AUTOMATIC");
    }
    return names;
  }
  // Starts the daemon and waits until it answers on its socket.
  void StartDaemon() {
    daemon_.Start();
    ASSERT_TRUE(WaitUntil([&] { return !Names().empty(); }, std::chrono::seconds(60),
                          std::chrono::milliseconds(10)))
        << daemon_.LogText().substr(0, 4000);
  }

  CallTarget Target(int timeoutSec = 10) const {
    return CallTarget{daemon_.dataDir() + "/sentroserver",
                      std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec)};
  }
  CallOutcome Call(const RequestMessage &request) { return CallForResult(Target(), request); }
  CallOutcome Call(MessageType type, const std::string &name = "") {
    RequestMessage request;
    request.type = type;
    request.name = name;
    return Call(request);
  }
  CallOutcome AllServices(bool reset, bool save) {
    RequestMessage request;
    request.type = MessageType::AllSvcsControlReq;
    request.flags.resetFailCounters = reset;
    request.flags.saveCrashStats = save;
    return Call(request);
  }
  SvcStatePayload State(const std::string &name) {
    SvcStatePayload status;
    CallForState(Target(), name, &status);
    return status;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    CallForNames(Target(), RequestMessage{}, &names);
    return names;
  }
  // Waits until every named service is STARTED; true when they all are.
  bool AllStarted(const std::vector<std::string> &names,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    size_t next = 0;  // services before next are known to be STARTED
    return WaitUntil(
        [&] {
          while (next < names.size() && State(names[next]).state == kStarted) next++;
          return next == names.size();
        },
        timeout, std::chrono::milliseconds(20));
  }
  Footprint Now() const { return FootprintOf(daemon_.pid()); }

  // Runs one part between two footprints of the daemon. Afterwards it holds
  // no more descriptors or (where it locks its memory) resident memory than
  // before, no zombie, and no child but its started services' processes.
  // Prints the part's figure (body's text and both footprints).
  void Measured(const std::string &part, const std::function<std::string()> &body) {
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
    // Tagged for the long run's report.
    std::printf("[figure x%d] %s: %s; before: %s; after: %s\n", StressScale(), part.c_str(),
                figure.c_str(), Describe(before).c_str(), Describe(after).c_str());
    RecordProperty(part, figure);
  }

  static constexpr uint32_t kStarted = 2;
  SandboxDaemon daemon_;
};
