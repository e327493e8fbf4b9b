// The real build/sentroctl: its exit statuses and output streams, and the
// socket it finds through NORVANE_DATA_DIR.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "sentroctl/FakeServer.h"
#include "src/control/protocol/ReplyMessage.h"
#include "support/SandboxDaemon.h"
#include "support/TempDir.h"

namespace {

struct Finished {
  int status = -1;  // exit status; -1 when killed or not finished in time
  std::string out;
  std::string err;
};

// Runs build/sentroctl with args and the given extra environment entries
// (NORVANE_DATA_DIR is dropped from the inherited environment), for at most
// ten seconds.
Finished RunBinary(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
  std::string binary = SandboxDaemon::BuildPath("sentroctl");
  Finished finished;
  if (access(binary.c_str(), X_OK) != 0) {
    ADD_FAILURE() << "missing " << binary;
    return finished;
  }
  std::vector<std::string> environment;
  for (char **entry = environ; *entry != nullptr; entry++) {
    if (std::string(*entry).rfind("NORVANE_DATA_DIR=", 0) != 0) {
      environment.push_back(*entry);
    }
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<char *> argv{binary.data()};
  std::vector<std::string> argsCopy = args;
  for (std::string &arg : argsCopy) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (std::string &entry : environment) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return finished;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&finished.out, &finished.err};
  int open = 2;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(fds, 2, 100) <= 0) {
      continue;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd >= 0 && fds[i].revents != 0) {
        char buffer[4096];
        ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
        if (n > 0) {
          sinks[i]->append(buffer, n);
        } else {
          close(fds[i].fd);
          fds[i].fd = -1;
          open--;
        }
      }
    }
  }
  for (const struct pollfd &entry : fds) {
    if (entry.fd >= 0) {
      close(entry.fd);
    }
  }
  if (open > 0) {
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  finished.status = open == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return finished;
}

}  // namespace

TEST(SentroctlBinary, HelpGoesToStdoutWithStatusZero) {
  Finished run = RunBinary({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("Usage: sentroctl [OPTIONS] COMMAND [ARGS...]\n", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("Exit status:"), std::string::npos);
  EXPECT_EQ(run.err, "");
}

TEST(SentroctlBinary, UsageErrorGoesToStderrWithStatusOne) {
  Finished run = RunBinary({"start"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "sentroctl: usage: sentroctl start SERVICE\n"
            "Try 'sentroctl --help' for more information.\n");
}

TEST(SentroctlBinary, MissingDaemonExitsTwo) {
  TempDir dir;
  Finished run = RunBinary({"--datadir", dir.path(), "status"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "sentroctl: the sentro daemon is not running: no control socket at " +
                         dir.path() + "/sentroserver\n");
}

TEST(SentroctlBinary, FindsTheSocketThroughTheEnvironmentAndPrintsJson) {
  TempDir dir;
  MakeDirs(dir.Sub("norvane-sentro"));
  FakeServer server(dir.Sub("norvane-sentro/sentroserver"));
  server.Reply(EncodeNameListReply({"db"}));
  Finished run = RunBinary({"deps", "web", "--json"}, {"NORVANE_DATA_DIR=" + dir.path()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "{\"command\":\"deps\",\"service\":\"web\",\"ok\":true,\"dependsOn\":[\"db\"]}\n");
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(SentroctlBinary, FailedRequestExitsFour) {
  TempDir dir;
  FakeServer server(dir.Sub("sentroserver"));
  server.Reply(EncodeResultReply(9));
  Finished run = RunBinary({"--datadir", dir.path(), "start", "web"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "sentroctl: start web: disabled: the service's startup type is DISABLED (Disabled, "
            "code 9)\n");
}
