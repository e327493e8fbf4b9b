// Runs the real build/sentro in a sandbox: its own configuration, data and
// working directories, and a SENTRO_SYSROOT that receives every fixed system
// path (core pattern, reboot requests, banner_ctrl, /var/core). The daemon
// is never started without a sysroot, and only processes this harness
// started are ever signalled.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/TempDir.h"

class SandboxDaemon {
 public:
  SandboxDaemon();
  ~SandboxDaemon();  // SIGKILLs a daemon still running

  std::string configDir() const { return root_.Sub("cfg"); }
  std::string dataDir() const { return root_.Sub("data"); }
  std::string sysroot() const { return root_.Sub("sysroot"); }
  std::string workDir() const { return root_.Sub("work"); }
  std::string logPath() const { return workDir() + "/sentro.log"; }
  std::string Root(const std::string &relative) const { return root_.Sub(relative); }

  // Configuration files.
  void WriteConfig(const std::string &json);
  void WriteService(const std::string &fileName, const std::string &json);
  void WriteProfiles(const std::string &json);

  // Extra environment entries ("NAME=value") for the next Start.
  void SetEnv(const std::string &entry) { extraEnv_.push_back(entry); }

  // Starts the daemon with -c and -d pointing into the sandbox, then the
  // given arguments. Fails the test when the binary is missing.
  void Start(const std::vector<std::string> &args = {});
  // Starts the daemon with exactly these arguments (no -c/-d added).
  void StartRaw(const std::vector<std::string> &args);

  pid_t pid() const { return pid_; }
  void Signal(int sig);

  // Waits for the daemon to end; returns its exit status, or -1 on time-out
  // (or -2 when it was killed by a signal).
  int WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Waits until the log file contains text; false on time-out.
  bool WaitForLog(const std::string &text,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  std::string LogText() const;
  std::string Stdout() const;
  std::string Stderr() const;

  // Path of a built program (build/<name>).
  static std::string BuildPath(const std::string &name);

 private:
  TempDir root_;
  pid_t pid_ = -1;
  std::vector<std::string> extraEnv_;
};
