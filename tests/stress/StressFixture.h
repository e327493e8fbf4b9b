// The stress suite: the real daemon in its sandbox, driven through the real
// client code over the real socket, with the daemon's footprint (open
// descriptors, memory, children) read from /proc before and after each
// part. SENTRO_STRESS_SCALE multiplies every count: 1 (the default) is the
// short CTest run, 10 the long run whose figures the README reports.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/SandboxDaemon.h"
#include "support/WaitUntil.h"
#include "tools/sentroctl/ControlCalls.h"

int StressScale();
inline int Scaled(int shortRunCount) {
  return shortRunCount * StressScale();
}

// What the daemon holds, from /proc/<pid>.
struct Footprint {
  int descriptors = -1;
  long rssKiB = -1;
  long lockedKiB = -1;
  int children = 0;
  int zombies = 0;
};
Footprint FootprintOf(pid_t pid);
std::string Describe(const Footprint &footprint);
std::vector<pid_t> ChildrenOf(pid_t parent);
// The names in /proc/<pid>/fd.
std::set<std::string> Descriptors(pid_t pid);
// A "Key:" line of /proc/<pid>/status without the key, or "" when absent.
std::string StatusField(pid_t pid, const std::string &key);

class StressTest : public ::testing::Test {
 protected:
  StressTest() { Config(); }
  // A daemon still running must stop on SIGTERM with status 0.
  void TearDown() override;

  // Configuration: no watchdog, one-second receive time-out.
  void Config(const std::string &extraMembers = "");
  // A service whose process is program with args.
  void Service(const std::string &name, const std::string &program = "/bin/sleep",
               const std::vector<std::string> &args = {"100000"},
               const std::string &extraMembers = "", const std::string &startupType = "MANUAL");
  // count sleeping services named stem1000, stem1001, ...
  std::vector<std::string> Services(const std::string &stem, int count,
                                    const std::string &startupType = "AUTOMATIC");
  // Starts the daemon and waits until it answers on its socket.
  void StartDaemon();

  CallTarget Target(int timeoutSec = 10) const;
  CallOutcome Call(MessageType type, const std::string &name = "");
  CallOutcome Call(const RequestMessage &request) { return CallForResult(Target(), request); }
  CallOutcome AllServices(bool reset, bool save);
  SvcStatePayload State(const std::string &name);
  std::vector<std::string> Names();
  // Waits until every named service is STARTED; true when they all are.
  bool AllStarted(const std::vector<std::string> &names,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30));
  Footprint Now() const { return FootprintOf(daemon_.pid()); }
  // Runs one part between two footprints of the daemon. Afterwards it holds
  // no more descriptors or (where it locks its memory) resident memory than
  // before, no zombie, and no child but its started services' processes.
  // Prints the part's figure (body's text and both footprints).
  void Measured(const std::string &part, const std::function<std::string()> &body);
  // Prints a figure of the run, tagged for the long run's report.
  void Figure(const std::string &part, const std::string &text);

  static constexpr uint32_t kStarted = 2;
  static constexpr uint32_t kStopped = 3;
  SandboxDaemon daemon_;
};
