// The world of the servlet container tests: a configuration and a data
// directory in a scratch directory, the real event loop over a clock the
// tests can move forward, the process table, a sysroot that receives the
// containers' cgroup writes, and real container processes reaped by polling.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "src/process/SysProcess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

class MuxServletProcessImpl;

// What the callbacks of servlets reported, in order: "exit <tag>",
// "core <tag>".
struct ServletEvents {
  std::vector<std::string> events;
  int Count(const std::string &event) const;
};

// One servlet as a test sees it: the object, its tag and where its callbacks
// report.
struct ServletProbe {
  std::string tag;
  ServletEvents *events;
  int exitCodeAtExit = -1;
  ProcessStartOptions Options(const std::string &runAsUser = "");
};

class MuxTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string InstanceDir() const { return configDir_ + "/muxServerInstanceCfgfiles"; }
  void WriteInstance(const std::string &fileName, const std::string &json);
  // Writes a container script that logs "<user> <cwd>" to StartLog() and
  // then stays up; returns its path.
  std::string ContainerScript();
  std::string StartLog() const { return dir_.Sub("starts.log"); }
  int StartCount() const;
  // Writes an instance file for the container script and loads every
  // instance file.
  void LoadContainer(const std::string &name, const std::string &extraMembers = "");

  // Reaps children and turns the loop until done() holds; at most timeoutMs.
  bool RunUntil(const std::function<bool()> &done, int timeoutMs = 5000);
  // One turn of the loop without waiting.
  void RunTurn();
  // Moves the loop's clock forward, so timers of seconds are due at once.
  static void AdvanceSeconds(int64_t seconds);

  TempDir dir_;
  std::string configDir_;
  std::string dataDir_;
  LogCapture log_;
};

// Whether pid is alive (running, not a zombie).
bool ProcessAlive(pid_t pid);
// The first line of /proc/PID/status that starts with key, without the key.
std::string ProcStatusField(pid_t pid, const std::string &key);
// The working directory of pid.
std::string ProcCwd(pid_t pid);
