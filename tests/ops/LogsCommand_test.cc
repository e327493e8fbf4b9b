// logs over real log files: the rotated files oldest first, the filters,
// and -f following the log through a rotation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ops/OpsRun.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

// Lines as the daemon's file output writes them, from "time level text" lines.
std::string Lines(const std::string &brief) {
  std::istringstream in(brief);
  std::string text;
  for (std::string time, level, rest; in >> time >> level && std::getline(in, rest);)
    text += "2026-01-31T" + time + ".117Z " + level + " host-42" + rest + "\n";
  return text;
}

class LogsTest : public ::testing::Test {
 protected:
  // sentro-1.log is older than sentro-0.log, which is older than the log.
  void SetUp() override {
    for (auto [name, brief, ageSeconds] :
         {std::tuple{"sentro-1.log",
                     "08:00:00 In(05) <web> Starting service.\n08:00:01 In(05) <db> Starting.",
                     100},
          {"sentro-0.log",
           "08:10:00 Wa(03) <web-healthcmd> Service api healthcheck\n"
           "08:10:00 In(05)+   second line of that message\n"
           "08:10:01 In(05) <webapp> Not this service.",
           50},
          {"sentro.log",
           "08:20:00 Er(02) <web> Failed to start.\n08:20:01 Db(08) <web-prestart> exited 0", 0}}) {
      WriteFile(dir_.Sub(name), Lines(brief));
      std::filesystem::last_write_time(
          dir_.Sub(name),
          std::filesystem::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
    }
  }
  TempDir dir_;
  const std::string log_ = dir_.Sub("sentro.log");
};

TEST_F(LogsTest, FiltersPickLinesAcrossRotatedFilesOldestFirst) {
  const struct {
    std::vector<std::string> args;
    std::vector<const char *> times;  // of the lines expected, in order
  } kCases[] = {
      {{}, {"08:00:00", "08:00:01", "08:10:00", "08:10:00", "08:10:01", "08:20:00", "08:20:01"}},
      {{"web"}, {"08:00:00", "08:10:00", "08:10:00", "08:20:00", "08:20:01"}},
      {{"web", "-n", "2"}, {"08:20:00", "08:20:01"}},
      {{"web", "--level", "warning"}, {"08:10:00", "08:10:00", "08:20:00"}},
      {{"web", "--level", "2"}, {"08:20:00"}},
      {{"web", "--since", "2026-01-31T08:10:00"}, {"08:10:00", "08:10:00", "08:20:00", "08:20:01"}},
      {{"web", "--since", "2026-01-31 08:15"}, {"08:20:00", "08:20:01"}},
  };
  for (auto entry : kCases) {
    entry.args.insert(entry.args.begin(), "logs");
    entry.args.insert(entry.args.end(), {"--log-file", log_, "-c", dir_.path()});
    std::istringstream out(RunSentroctlBinary(entry.args).out);
    std::vector<std::string> times;
    for (std::string line; std::getline(out, line);) times.push_back(line.substr(11, 8));
    EXPECT_EQ(times, std::vector<std::string>(entry.times.begin(), entry.times.end()));
  }
  // Where the daemon logs to syslog there is nothing to read: it says where to look.
  WriteFile(dir_.Sub("config.json"), R"({"LogToSyslog": true})");
  OpsRun run = Shell(SandboxDaemon::BuildPath("sentroctl") + " logs web -c " + dir_.path() +
                     " --log-file " + log_ + " 2>&1");
  EXPECT_EQ(run.status, 4);
  EXPECT_NE(run.out.find("logs to syslog (LogToSyslog in " + dir_.path() +
                         "/config.json): see journalctl -t sentro -g '<web'"),
            std::string::npos)
      << run.out;
}

TEST_F(LogsTest, FollowKeepsPrintingThroughARotation) {
  const std::string binary = SandboxDaemon::BuildPath("sentroctl"), out = dir_.Sub("out");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    execl(binary.c_str(), binary.c_str(), "logs", "web", "-f", "--log-file", log_.c_str(), "-c",
          dir_.path().c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  auto printed = [&](const char *text) {
    return WaitUntil([&] { return ReadWholeFile(out).find(text) != std::string::npos; });
  };
  EXPECT_TRUE(printed("exited 0"));  // the lines so far, the last one included
  std::ofstream(log_, std::ios::app) << Lines("08:30:00 In(05) <web> before rotation");
  EXPECT_TRUE(printed("before rotation"));
  ASSERT_EQ(rename(log_.c_str(), dir_.Sub("sentro-0.log").c_str()), 0);
  // Longer than the old file, so that only its identity tells it is new.
  WriteFile(log_, Lines("08:30:01 In(05) <web> after rotation " + std::string(4096, 'x')));
  EXPECT_TRUE(printed("after rotation"));
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  std::string seen = ReadWholeFile(out);
  EXPECT_EQ(seen.find("before rotation"), seen.rfind("before rotation")) << "printed once";
}

}  // namespace
