#include "StressFixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

int StressScale() {
  const char *text = getenv("SENTRO_STRESS_SCALE");
  int scale = text != nullptr ? atoi(text) : 1;
  return scale > 0 ? scale : 1;
}

size_t CountOf(const std::string &text, const std::string &word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    count++;
  }
  return count;
}

std::string StatusField(pid_t pid, const std::string &key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) {
      size_t value = line.find_first_not_of(" \t", key.size() + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
  }
  return "";
}

// Calls visit(pid, state) for every process whose parent is parent.
template <typename Visit>
static void ForEachChild(pid_t parent, Visit visit) {
  DIR *proc = opendir("/proc");
  while (struct dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
    pid_t pid = atoi(entry->d_name);
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(stat, line) || line.rfind(')') == std::string::npos) {
      continue;
    }
    // The fields after the command name, which is in parentheses.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    char state = 0;
    pid_t ppid = 0;
    fields >> state >> ppid;
    if (ppid == parent) {
      visit(pid, state);
    }
  }
  if (proc != nullptr) closedir(proc);
}

std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> pids;
  ForEachChild(parent, [&](pid_t pid, char) { pids.push_back(pid); });
  return pids;
}

Footprint FootprintOf(pid_t pid) {
  Footprint footprint;
  if (DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    footprint.descriptors = 0;
    while (struct dirent *entry = readdir(fds)) footprint.descriptors += entry->d_name[0] != '.';
    closedir(fds);
  }
  footprint.rssKiB = atol(StatusField(pid, "VmRSS").c_str());
  footprint.lockedKiB = atol(StatusField(pid, "VmLck").c_str());
  ForEachChild(pid, [&](pid_t, char state) {
    footprint.children++;
    footprint.zombies += state == 'Z';
  });
  return footprint;
}

std::string Describe(const Footprint &f) {
  return "fds " + std::to_string(f.descriptors) + ", VmRSS " + std::to_string(f.rssKiB) +
         " KiB, VmLck " + std::to_string(f.lockedKiB) + " KiB, children " +
         std::to_string(f.children) + ", zombies " + std::to_string(f.zombies);
}

ScopedTmpfs::ScopedTmpfs(const std::string &directory, const std::string &size)
    : directory_(directory) {
  mounted_ = mount("tmpfs", directory.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

ScopedTmpfs::~ScopedTmpfs() {
  if (mounted_) umount2(directory_.c_str(), MNT_DETACH);
}

void ScopedTmpfs::Fill() const {
  int fd = open((directory_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  std::string block(4096, 'x');
  for (int i = 0; i < 1 << 20 && write(fd, block.data(), block.size()) > 0; i++) {
  }
  while (write(fd, "x", 1) > 0) {
  }
  close(fd);
}

void ScopedTmpfs::Free() const {
  unlink((directory_ + "/filler").c_str());
}

StressTest::StressTest() {
  Config();
}

void StressTest::TearDown() {
  if (daemon_.pid() > 0 && kill(daemon_.pid(), 0) == 0) {
    daemon_.Signal(SIGTERM);
    EXPECT_EQ(daemon_.WaitExit(std::chrono::seconds(60)), 0) << daemon_.Stderr();
  }
}

void StressTest::Config(const std::string &extraMembers) {
  daemon_.WriteConfig("{\"EnableLivenessCheck\": false, \"SocketIOTimeout\": 1" + extraMembers +
                      "}");
}

void StressTest::Service(const std::string &name, const std::string &program,
                         const std::vector<std::string> &args, const std::string &extraMembers,
                         const std::string &startupType) {
  std::string argList;
  for (const std::string &arg : args) argList += (argList.empty() ? "\"" : ", \"") + arg + "\"";
  daemon_.WriteService(name + ".json", "{\"Name\": \"" + name + "\", \"StartupType\": \"" +
                                           startupType + "\", \"StartCommand\": \"" + program +
                                           "\", \"StartCommandArgs\": [" + argList + "]" +
                                           extraMembers + "}");
}

void StressTest::StartDaemon() {
  daemon_.Start();
  RequestMessage list;
  std::vector<std::string> names;
  ASSERT_TRUE(WaitUntil([&] { return CallForNames(Target(), list, &names).succeeded(); },
                        std::chrono::seconds(60), std::chrono::milliseconds(10)))
      << daemon_.LogText().substr(0, 4000);
}

CallTarget StressTest::Target(int timeoutSec) const {
  return CallTarget{daemon_.dataDir() + "/sentroserver",
                    std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec)};
}

CallOutcome StressTest::Call(MessageType type, const std::string &name) {
  RequestMessage request;
  request.type = type;
  request.name = name;
  return CallForResult(Target(), request);
}

CallOutcome StressTest::SetStartupType(const std::string &name, uint32_t startupType) {
  RequestMessage request;
  request.type = MessageType::SetSvcStateReq;
  request.name = name;
  request.startupType = startupType;
  return CallForResult(Target(), request);
}

CallOutcome StressTest::AllServices(bool reset, bool save) {
  RequestMessage request;
  request.type = MessageType::AllSvcsControlReq;
  request.flags.resetFailCounters = reset;
  request.flags.saveCrashStats = save;
  return CallForResult(Target(), request);
}

SvcStatePayload StressTest::State(const std::string &name) {
  SvcStatePayload status;
  CallForState(Target(), name, &status);
  return status;
}

std::vector<std::string> StressTest::Names() {
  RequestMessage request;
  request.type = MessageType::ListSvcsReq;
  std::vector<std::string> names;
  CallForNames(Target(), request, &names);
  return names;
}

bool StressTest::AllStarted(const std::vector<std::string> &names,
                            std::chrono::milliseconds timeout) {
  size_t next = 0;  // services before next are known to be STARTED
  return WaitUntil(
      [&] {
        while (next < names.size() && State(names[next]).state == kStarted) next++;
        return next == names.size();
      },
      timeout, std::chrono::milliseconds(20));
}

void StressTest::Figure(const std::string &part, const std::string &text) {
  std::printf("[figure x%d] %s: %s\n", StressScale(), part.c_str(), text.c_str());
  RecordProperty(part, text);
}
