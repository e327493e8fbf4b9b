#include "support/SandboxDaemon.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

extern char **environ;

SandboxDaemon::SandboxDaemon() {
  MakeDirs(configDir() + "/svcCfgfiles");
  MakeDirs(configDir() + "/muxServerInstanceCfgfiles");
  MakeDirs(dataDir() + "/.svcStats");
  MakeDirs(workDir());
  MakeDirs(sysroot() + "/proc/sys/kernel");
  MakeDirs(sysroot() + "/var/core");
  MakeDirs(sysroot() + "/var/log/norvane");
  MakeDirs(sysroot() + "/usr/bin");
  WriteFile(sysroot() + "/proc/sys/kernel/core_pattern", "core");
  WriteConfig("{}");
  WriteProfiles("{}");
}

SandboxDaemon::~SandboxDaemon() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void SandboxDaemon::WriteConfig(const std::string &json) {
  WriteFile(configDir() + "/config.json", json);
}

void SandboxDaemon::WriteService(const std::string &fileName, const std::string &json) {
  WriteFile(configDir() + "/svcCfgfiles/" + fileName, json);
}

void SandboxDaemon::WriteProfiles(const std::string &json) {
  WriteFile(configDir() + "/profiles.json", json);
}

std::string SandboxDaemon::BuildPath(const std::string &name) {
  const char *buildDir = getenv("SENTRO_BUILD_DIR");
  if (buildDir != nullptr) {
    return std::string(buildDir) + "/" + name;
  }
  // Tests live in <build>/tests/.
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path = length > 0 ? std::string(self, length) : std::string();
  path = path.substr(0, path.rfind('/'));
  return path.substr(0, path.rfind('/')) + "/" + name;
}

void SandboxDaemon::Start(const std::vector<std::string> &args) {
  std::vector<std::string> full = {"-c", configDir(), "-d", dataDir()};
  full.insert(full.end(), args.begin(), args.end());
  StartRaw(full);
}

void SandboxDaemon::StartRaw(const std::vector<std::string> &args) {
  std::string binary = BuildPath("sentro");
  ASSERT_EQ(access(binary.c_str(), X_OK), 0) << "missing " << binary;
  // The sysroot is the safety line between a test and the real machine.
  ASSERT_FALSE(sysroot().empty());

  std::vector<std::string> env;
  for (char **entry = environ; *entry != nullptr; entry++) {
    std::string text = *entry;
    if (text.rfind("SENTRO_SYSROOT=", 0) != 0 && text.rfind("NORVANE_", 0) != 0) {
      env.push_back(text);
    }
  }
  env.push_back("SENTRO_SYSROOT=" + sysroot());
  env.insert(env.end(), extraEnv_.begin(), extraEnv_.end());

  std::vector<std::string> argvText = {binary};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char *> argv, envp;
  for (auto &a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::string outPath = Root("stdout"), errPath = Root("stderr"), cwd = workDir();
  pid_t test = getpid();
  pid_ = fork();
  ASSERT_GE(pid_, 0);
  if (pid_ == 0) {
    // A test that crashes never stops its daemon: the daemon then stops
    // itself and its services, as on a SIGTERM.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != test) {
      _exit(127);
    }
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0) {
      _exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

void SandboxDaemon::Signal(int sig) {
  ASSERT_GT(pid_, 0);
  kill(pid_, sig);
}

int SandboxDaemon::WaitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) {
    return -1;
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

bool SandboxDaemon::WaitForLog(const std::string &text, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (LogText().find(text) != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string SandboxDaemon::LogText() const {
  return ReadFile(logPath());
}
std::string SandboxDaemon::Stdout() const {
  return ReadFile(Root("stdout"));
}
std::string SandboxDaemon::Stderr() const {
  return ReadFile(Root("stderr"));
}
