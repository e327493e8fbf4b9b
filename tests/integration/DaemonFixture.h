// What the integration tests share: a sandboxed daemon whose services run a
// small script, and calls to the daemon's control socket through the client.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <sstream>

#include "support/SandboxDaemon.h"
#include "support/WaitUntil.h"
#include "tools/sentroctl/ControlCalls.h"

using std::chrono::seconds;

inline size_t CountOf(const std::string &text, const std::string &word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) count++;
  return count;
}

inline CallTarget TargetOf(const SandboxDaemon &daemon, int timeoutSec = 10) {
  return CallTarget{daemon.dataDir() + "/sentroserver",
                    std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec)};
}

class DaemonTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kStarted = 2, kStopped = 3;

  DaemonTest() {
    MakeDirs(daemon_.Root("svc"));
    Executable("svc.sh",
               "#!/bin/sh\n"
               "trap 'echo \"stop $1\" >> \"$2/journal\"; exit 0' TERM\n"
               "echo \"start $1\" >> \"$2/journal\"\n"
               "while :; do sleep 0.05; done\n");
    Config("");
  }

  void TearDown() override {
    if (daemon_.pid() > 0) {
      daemon_.Signal(SIGTERM);
      EXPECT_EQ(daemon_.WaitExit(seconds(15)), 0) << daemon_.LogText();  // a clean stop
    }
  }

  // No watchdog unless a test asks for it.
  void Config(const std::string &extraMembers) {
    daemon_.WriteConfig("{\"EnableLivenessCheck\": false, \"LogLevel\": 8" + extraMembers + "}");
  }

  // svc.sh journals "start <name>" and, on SIGTERM, "stop <name>".
  void Service(const std::string &name, const std::string &extraMembers = "",
               const std::string &startupType = "MANUAL") {
    daemon_.WriteService(name + ".json", "{\"Name\": \"" + name + "\", \"StartupType\": \"" +
                                             startupType + "\"" + SvcCommand(name) + extraMembers +
                                             "}");
  }
  std::string SvcCommand(const std::string &name) const {
    return ", \"StartCommand\": \"" + daemon_.Root("svc.sh") + "\", \"StartCommandArgs\": [\"" +
           name + "\", \"" + daemon_.Root("svc") + "\"]";
  }

  // The names in the journal's lines of one kind ("start", "stop").
  std::vector<std::string> Journal(const std::string &kind) const {
    std::vector<std::string> found;
    std::istringstream words(ReadWholeFile(daemon_.Root("svc/journal")));
    for (std::string word, name; words >> word >> name;)
      if (word == kind) found.push_back(name);
    return found;
  }

  // Writes an executable script under the sandbox; returns its path.
  std::string Executable(const std::string &name, const std::string &body) const {
    std::string path = daemon_.Root(name);
    WriteFile(path, body);
    chmod(path.c_str(), 0755);
    return path;
  }

  void StartDaemon() {
    daemon_.Start();
    ASSERT_TRUE(daemon_.WaitForLog("Sentro service is running in")) << daemon_.LogText();
  }

  CallTarget Target(int timeoutSec = 10) const { return TargetOf(daemon_, timeoutSec); }
  CallOutcome Call(const RequestMessage &request) { return CallForResult(Target(), request); }

  SvcStatePayload State(const std::string &name) {
    SvcStatePayload status;
    EXPECT_TRUE(CallForState(Target(), name, &status).succeeded());
    return status;
  }

  // Starts the service and returns its pid once STARTED.
  pid_t StartService(const std::string &name) {
    EXPECT_TRUE(Call({MessageType::StartSvcReq, name}).succeeded()) << daemon_.LogText();
    SvcStatePayload status = State(name);
    EXPECT_EQ(status.state, kStarted);
    return static_cast<pid_t>(status.pid);
  }

  SandboxDaemon daemon_;
};
