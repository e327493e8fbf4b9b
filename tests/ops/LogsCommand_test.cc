// logs over real log files: the rotated files oldest first, the filters,
// and -f following the log through a rotation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "ops/OpsRun.h"
#include "support/SandboxDaemon.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

// A line as the daemon's file output writes it.
std::string Line(const char *time, const char *level, const std::string &text) {
  return std::string("2026-01-31T") + time + ".117Z " + level + " host-42 " + text + "\n";
}

class LogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // sentro-1.log is older than sentro-0.log, which is older than the log.
    Write("sentro-1.log",
          Line("08:00:00", "In(05)", "<web> Starting service.") +
              Line("08:00:01", "In(05)", "<db> Starting service."),
          100);
    Write("sentro-0.log",
          Line("08:10:00", "Wa(03)", "<web-healthcmd> Service api healthcheck") +
              Line("08:10:00", "In(05)+", "  second line of that message") +
              Line("08:10:01", "In(05)", "<webapp> Not this service."),
          50);
    Write("sentro.log",
          Line("08:20:00", "Er(02)", "<web> Failed to start.") +
              Line("08:20:01", "Db(08)", "<web-prestart> exited 0"),
          0);
  }
  // Writes a log file modified ageSeconds ago.
  void Write(const std::string &name, const std::string &text, int ageSeconds) {
    WriteFile(dir_.Sub(name), text);
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= ageSeconds;
    times[1] = times[0];
    utimensat(AT_FDCWD, dir_.Sub(name).c_str(), times, 0);
  }
  std::string Logs(std::vector<std::string> args) {
    args.insert(args.begin(), "logs");
    args.insert(args.end(), {"--log-file", dir_.Sub("sentro.log"), "-c", dir_.path()});
    return RunSentroctlBinary(args).out;
  }

  TempDir dir_;
};

TEST_F(LogsTest, FiltersPickLinesAcrossRotatedFilesOldestFirst) {
  const struct {
    const char *args;
    std::vector<const char *> times;  // of the lines expected, in order
  } kCases[] = {
      {"", {"08:00:00", "08:00:01", "08:10:00", "08:10:00", "08:10:01", "08:20:00", "08:20:01"}},
      {"web", {"08:00:00", "08:10:00", "08:10:00", "08:20:00", "08:20:01"}},
      {"web -n 2", {"08:20:00", "08:20:01"}},
      {"web --level warning", {"08:10:00", "08:10:00", "08:20:00"}},
      {"web --level 2", {"08:20:00"}},
      {"web --since 2026-01-31T08:10:00", {"08:10:00", "08:10:00", "08:20:00", "08:20:01"}},
      {"web --since 2026-01-31 08:15", {"08:20:00", "08:20:01"}},
  };
  for (const auto &entry : kCases) {
    SCOPED_TRACE(entry.args);
    std::vector<std::string> args;
    std::istringstream words(entry.args);
    for (std::string word; words >> word;) {
      args.push_back(word);
    }
    if (args.size() > 2 && args[1] == "--since" && args[2].size() == 10) {
      args[2] += " " + args[3];  // "2026-01-31 08:15" is one argument
      args.pop_back();
    }
    std::string expected;
    std::istringstream out(Logs(args));
    std::vector<std::string> times;
    for (std::string line; std::getline(out, line);) {
      times.push_back(line.substr(11, 8));
    }
    EXPECT_EQ(times, std::vector<std::string>(entry.times.begin(), entry.times.end()));
  }
}

TEST_F(LogsTest, SyslogConfigurationSaysWhereTheLinesAre) {
  WriteFile(dir_.Sub("config.json"), R"({"LogToSyslog": true})");
  OpsRun run =
      RunSentroctlBinary({"logs", "web", "-c", dir_.path(), "--log-file", dir_.Sub("sentro.log")});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, "");
}

TEST_F(LogsTest, FollowKeepsPrintingThroughARotation) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::string binary = SandboxDaemon::BuildPath("sentroctl");
  std::string logFile = dir_.Sub("sentro.log");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    execl(binary.c_str(), binary.c_str(), "logs", "web", "-f", "--log-file", logFile.c_str(), "-c",
          dir_.path().c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  std::string seen;
  auto readAvailable = [&] {
    char buffer[4096];
    struct timeval none = {0, 0};
    fd_set set;
    FD_ZERO(&set);
    FD_SET(pipeFds[0], &set);
    if (select(pipeFds[0] + 1, &set, nullptr, nullptr, &none) > 0) {
      ssize_t count = read(pipeFds[0], buffer, sizeof buffer);
      seen.append(buffer, count > 0 ? static_cast<size_t>(count) : 0);
    }
  };
  EXPECT_TRUE(WaitUntil([&] {  // the lines so far, the last one included
    readAvailable();
    return seen.find("exited 0") != std::string::npos;
  }));
  std::ofstream(logFile, std::ios::app) << Line("08:30:00", "In(05)", "<web> before rotation");
  EXPECT_TRUE(WaitUntil([&] {
    readAvailable();
    return seen.find("before rotation") != std::string::npos;
  }));
  ASSERT_EQ(rename(logFile.c_str(), dir_.Sub("sentro-0.log").c_str()), 0);
  // Longer than the old file, so that only its identity tells it is new.
  WriteFile(logFile, Line("08:30:01", "In(05)", "<web> after rotation " + std::string(4096, 'x')));
  EXPECT_TRUE(WaitUntil([&] {
    readAvailable();
    return seen.find("after rotation") != std::string::npos;
  }));
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  close(pipeFds[0]);
  EXPECT_EQ(seen.find("before rotation"), seen.rfind("before rotation")) << "printed once";
}

}  // namespace
