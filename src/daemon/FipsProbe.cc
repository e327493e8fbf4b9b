#include "src/daemon/FipsProbe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

const char kProbeVariable[] = "SENTRO_FIPS_PROBE";
const int kProbeTimeoutMs = 5000;

bool LibraryReportsFips() {
  void *library = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    return false;
  }
  using IsFipsEnabled = int (*)(void *libraryContext);
  auto isEnabled =
      reinterpret_cast<IsFipsEnabled>(dlsym(library, "EVP_default_properties_is_fips_enabled"));
  return isEnabled != nullptr && isEnabled(nullptr) != 0;
}

}  // namespace

void RunFipsProbeIfAsked() {
  if (getenv(kProbeVariable) == nullptr) {
    return;
  }
  char answer = LibraryReportsFips() ? '1' : '0';
  _exit(write(STDOUT_FILENO, &answer, 1) == 1 ? 0 : 1);
}

bool QueryFipsMode() {
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> environment;
  for (char **entry = environ; *entry != nullptr; entry++) {
    environment.emplace_back(*entry);
  }
  environment.push_back(std::string(kProbeVariable) + "=1");
  std::vector<char *> envp;
  for (auto &entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  char probeName[] = "sentro-fips-probe";
  char *argv[] = {probeName, nullptr};

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return false;
  }
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    if (dup2(fds[1], STDOUT_FILENO) < 0) {
      _exit(1);
    }
    execve("/proc/self/exe", argv, envp.data());
    _exit(1);
  }
  close(fds[1]);
  char answer = '0';
  struct pollfd pfd = {fds[0], POLLIN, 0};
  bool answered = poll(&pfd, 1, kProbeTimeoutMs) == 1 && read(fds[0], &answer, 1) == 1;
  close(fds[0]);
  if (!answered) {
    answer = '0';
    kill(pid, SIGKILL);  // a probe that hangs must not hold up start-up
  }
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return answer == '1';
}
