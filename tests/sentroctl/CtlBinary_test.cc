// The real build/sentroctl: its exit statuses and output streams, and the
// socket it finds through NORVANE_DATA_DIR.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sentroctl/CtlRun.h"
#include "sentroctl/FakeServer.h"
#include "src/protocol/ReplyMessage.h"
#include "support/SandboxDaemon.h"
#include "support/TempDir.h"

namespace {

// Runs build/sentroctl with args, NORVANE_DATA_DIR set to dataDirVariable
// (or unset), for at most ten seconds; stdout and stderr go to files in dir.
CtlRun RunBinary(const TempDir &dir, std::vector<std::string> args,
                 const char *dataDirVariable = nullptr) {
  std::string binary = SandboxDaemon::BuildPath("sentroctl");
  CtlRun run;
  if (access(binary.c_str(), X_OK) != 0) {
    ADD_FAILURE() << "missing " << binary;
    return run;
  }
  // Built before the fork: the child of a threaded process may not allocate.
  std::vector<std::string> environment;
  for (char **entry = environ; *entry != nullptr; entry++) {
    if (std::string(*entry).rfind("NORVANE_DATA_DIR=", 0) != 0) {
      environment.push_back(*entry);
    }
  }
  if (dataDirVariable != nullptr) {
    environment.push_back(std::string("NORVANE_DATA_DIR=") + dataDirVariable);
  }
  args.insert(args.begin(), binary);
  std::vector<char *> argv, envp;
  for (std::string &arg : args) {
    argv.push_back(arg.data());
  }
  for (std::string &entry : environment) {
    envp.push_back(entry.data());
  }
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int out = open(dir.Sub("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = open(dir.Sub("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out);
  close(err);
  int status = 0;
  for (int waitedMs = 0; waitpid(pid, &status, WNOHANG) == 0; waitedMs += 5) {
    if (waitedMs >= 10000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    usleep(5000);
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadWholeFile(dir.Sub("stdout"));
  run.err = ReadWholeFile(dir.Sub("stderr"));
  return run;
}

}  // namespace

TEST(SentroctlBinary, ExitsAndPrintsAsTheClientRunInProcess) {
  TempDir dir;
  std::vector<std::vector<std::string>> cases = {
      {"--help"}, {"start"}, {"--datadir", dir.path(), "status"}};
  for (const auto &args : cases) {
    SCOPED_TRACE(args[0]);
    std::ostringstream out, err;
    int status = RunSentroctl(args, nullptr, out, err);
    CtlRun run = RunBinary(dir, args);
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, out.str());
    EXPECT_EQ(run.err, err.str());
  }
}

TEST(SentroctlBinary, FindsTheSocketThroughTheEnvironmentAndPrintsJson) {
  TempDir dir;
  MakeDirs(dir.Sub("norvane-sentro"));
  FakeServer server(dir.Sub("norvane-sentro/sentroserver"));
  server.Reply(EncodeNameListReply({"db"}));
  CtlRun run = RunBinary(dir, {"deps", "web", "--json"}, dir.path().c_str());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "{\"command\":\"deps\",\"service\":\"web\",\"ok\":true,\"dependsOn\":[\"db\"]}\n");
  EXPECT_EQ(server.Requests().size(), 1u);
}
