// The stress suite: the real daemon in its sandbox, driven through the real
// client code over the real socket, with the daemon's footprint (open
// descriptors, memory, children) read from /proc before and after each
// part. SENTRO_STRESS_SCALE multiplies every count: 1 (the default) is the
// short CTest run, 10 the long run whose figures the README reports.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/SandboxDaemon.h"
#include "support/WaitUntil.h"
#include "tools/sentroctl/ControlCalls.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline int Scale() {
  const char *text = getenv("SENTRO_STRESS_SCALE");
  return std::max(text != nullptr ? atoi(text) : 1, 1);
}
inline int Scaled(int shortRunCount) {
  return shortRunCount * Scale();
}
inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A "Key:" line of /proc/<pid>/status without the key, or "" when absent.
inline std::string StatusField(pid_t pid, const std::string &key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    size_t value = line.find_first_not_of(" \t", key.size() + 1);
    if (line.rfind(key + ":", 0) == 0) return value == std::string::npos ? "" : line.substr(value);
  }
  return "";
}

// The names in a /proc directory: /proc/<pid>/fd, or the pids in /proc.
inline std::set<std::string> Entries(const std::string &directory) {
  std::set<std::string> names;
  DIR *dir = opendir(directory.c_str());
  while (struct dirent *entry = dir != nullptr ? readdir(dir) : nullptr)
    if (entry->d_name[0] != '.') names.insert(entry->d_name);
  if (dir != nullptr) closedir(dir);
  return names;
}
inline std::set<std::string> Descriptors(pid_t pid) {
  return Entries("/proc/" + std::to_string(pid) + "/fd");
}

// The children of parent, each with its state letter ('Z' for a zombie).
inline std::map<pid_t, char> ChildrenOf(pid_t parent) {
  std::map<pid_t, char> children;
  for (const std::string &name : Entries("/proc")) {
    std::ifstream stat("/proc/" + name + "/stat");
    std::string line;
    char state = 0;
    pid_t ppid = 0;
    // The fields after the command name, which is in parentheses.
    if (atoi(name.c_str()) > 0 && std::getline(stat, line) &&
        std::istringstream(line.substr(line.rfind(')') + 2)) >> state >> ppid && ppid == parent)
      children[atoi(name.c_str())] = state;
  }
  return children;
}

// What the daemon holds, from /proc/<pid>.
struct Footprint {
  explicit Footprint(pid_t pid)
      : descriptors(Descriptors(pid).size()),
        rssKiB(atol(StatusField(pid, "VmRSS").c_str())),
        lockedKiB(atol(StatusField(pid, "VmLck").c_str())) {
    for (auto [child, state] : ChildrenOf(pid)) children++, zombies += state == 'Z';
  }
  std::string Text() const {
    char text[160];
    snprintf(text, sizeof text, "fds %zu, VmRSS %ld KiB, VmLck %ld KiB, children %d, zombies %d",
             descriptors, rssKiB, lockedKiB, children, zombies);
    return text;
  }
  size_t descriptors;
  long rssKiB, lockedKiB;
  int children = 0, zombies = 0;
};

class StressTest : public ::testing::Test {
 protected:
  // No watchdog, one-second receive time-out.
  StressTest() { daemon_.WriteConfig(R"({"EnableLivenessCheck": false, "SocketIOTimeout": 1})"); }
  // A daemon still running must stop on SIGTERM with status 0.
  void TearDown() override {
    if (daemon_.pid() <= 0 || kill(daemon_.pid(), 0) != 0) return;
    daemon_.Signal(SIGTERM);
    EXPECT_EQ(daemon_.WaitExit(60s), 0) << daemon_.Stderr();
  }

  // A service whose process sleeps, with extraMembers after its keys.
  void Service(const std::string &name, const std::string &extraMembers = "",
               const std::string &startupType = "MANUAL") {
    daemon_.WriteService(name + ".json", R"({"Name": ")" + name + R"(", "StartupType": ")" +
                                             startupType + R"(", "StartCommand": "/bin/sleep", )" +
                                             R"("StartCommandArgs": ["100000"])" + extraMembers +
                                             "}");
  }
  // count AUTOMATIC services named stem1000, stem1001, ...
  std::vector<std::string> Services(const std::string &stem, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; i++)
      Service(names.emplace_back(stem + std::to_string(1000 + i)), "", "AUTOMATIC");
    return names;
  }
  // Starts the daemon and waits until it answers on its socket.
  void StartDaemon() {
    daemon_.Start();
    ASSERT_TRUE(WaitUntil([&] { return !Names().empty(); }, 60s, 10ms))
        << daemon_.LogText().substr(0, 4000);
  }

  CallTarget Target(int timeoutSec = 10) const {
    return {daemon_.dataDir() + "/sentroserver", Clock::now() + std::chrono::seconds(timeoutSec)};
  }
  CallOutcome Call(const RequestMessage &request) { return CallForResult(Target(), request); }
  SvcStatePayload State(const std::string &name) {
    SvcStatePayload status;
    CallForState(Target(), name, &status);
    return status;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    CallForNames(Target(), {}, &names);
    return names;
  }
  // Waits until every named service is STARTED with a process not in old.
  bool AllStarted(const std::vector<std::string> &names, std::chrono::milliseconds timeout,
                  const std::set<pid_t> &old = {}) {
    size_t next = 0;  // services before next are known to be
    auto done = [&](const SvcStatePayload &s) {
      return s.state == kStarted && old.count(static_cast<pid_t>(s.pid)) == 0;
    };
    return WaitUntil(
        [&] {
          while (next < names.size() && done(State(names[next]))) next++;
          return next == names.size();
        },
        timeout, 20ms);
  }

  // Runs one part between two footprints of the daemon. Afterwards it holds
  // no more descriptors or (where it locks its memory) resident memory than
  // before, no zombie, and no child but its started services' processes.
  // Prints the part's figure (body's text and both footprints).
  void Measured(const std::string &part, const std::function<std::string()> &body) {
    const Footprint before(daemon_.pid());
    const std::string figure = body();
    std::set<pid_t> services, children;
    auto settled = [&] {
      services.clear(), children.clear();
      for (const std::string &name : Names())
        if (SvcStatePayload s = State(name); s.state == kStarted) services.insert(s.pid);
      for (auto [child, state] : ChildrenOf(daemon_.pid())) children.insert(child);
      return Footprint(daemon_.pid()).descriptors <= before.descriptors && children == services;
    };
    WaitUntil(settled, 5s, 50ms);
    const Footprint after(daemon_.pid());
    EXPECT_LE(after.descriptors, before.descriptors) << part;
    EXPECT_EQ(children, services) << part;
    EXPECT_EQ(after.zombies, 0) << part;
    // Only a locked daemon's memory tells: a sanitizer build neither locks
    // nor frees at once (its quarantine holds freed blocks).
    if (before.lockedKiB > 0) {
      EXPECT_LE(after.rssKiB, before.rssKiB + 1024) << part;
    }
    // Tagged for the long run's report.
    std::printf("[figure x%d] %s: %s; before: %s; after: %s\n", Scale(), part.c_str(),
                figure.c_str(), before.Text().c_str(), after.Text().c_str());
    RecordProperty(part, figure);
  }

  static constexpr uint32_t kStarted = 2;
  SandboxDaemon daemon_;
};
