// The real daemon in its sandbox, driven by the real client code over its socket, its
// footprint (descriptors, memory, children) read from /proc around each part.
// SENTRO_STRESS_SCALE multiplies every count: 1 for CTest, 10 for the README's figures.
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include "src/protocol/ReplyMessage.h"
#include "src/protocol/WireTexts.h"
#include "support/SandboxDaemon.h"
#include "support/WaitUntil.h"
#include "tools/sentroctl/ControlCalls.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int Scaled(int shortRunCount = 1) {
  const char *scale = getenv("SENTRO_STRESS_SCALE");
  return shortRunCount * std::max(scale != nullptr ? atoi(scale) : 1, 1);
}
double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A "Key:" line of /proc/<pid>/status without the key, or "" when absent.
std::string StatusField(pid_t pid, const std::string &key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    size_t value = line.find_first_not_of(" \t", key.size() + 1);
    if (line.rfind(key + ":", 0) == 0) return value == std::string::npos ? "" : line.substr(value);
  }
  return "";
}

// The names in a /proc directory: /proc/<pid>/fd, or the pids in /proc.
std::set<std::string> Entries(const std::string &directory) {
  std::set<std::string> names;
  DIR *dir = opendir(directory.c_str());
  while (struct dirent *entry = dir != nullptr ? readdir(dir) : nullptr)
    if (entry->d_name[0] != '.') names.insert(entry->d_name);
  if (dir != nullptr) closedir(dir);
  return names;
}

// What the daemon holds, from /proc/<pid> and its children's /proc/<child>/stat.
struct Footprint {
  explicit Footprint(pid_t pid)
      : descriptors(Entries("/proc/" + std::to_string(pid) + "/fd").size()),
        rssKiB(atol(StatusField(pid, "VmRSS").c_str())),
        lockedKiB(atol(StatusField(pid, "VmLck").c_str())) {
    for (const std::string &name : Entries("/proc")) {
      std::ifstream stat("/proc/" + name + "/stat");
      std::string line;  // "pid (command) state ppid ..."
      char state = 0;
      pid_t ppid = 0;
      if (atoi(name.c_str()) > 0 && std::getline(stat, line) &&
          std::istringstream(line.substr(line.rfind(')') + 2)) >> state >> ppid && ppid == pid)
        children.insert(atoi(name.c_str())), zombies += state == 'Z';
    }
  }
  std::string Text() const {
    return "fds " + std::to_string(descriptors) + ", VmRSS " + std::to_string(rssKiB) +
           " KiB, VmLck " + std::to_string(lockedKiB) + " KiB, children " +
           std::to_string(children.size()) + ", zombies " + std::to_string(zombies);
  }
  size_t descriptors;
  long rssKiB, lockedKiB;
  std::set<pid_t> children;
  int zombies = 0;
};

class StressTest : public ::testing::Test {
 protected:
  // No watchdog, one-second receive time-out; a daemon still running must stop with status 0.
  StressTest() { daemon_.WriteConfig(R"({"EnableLivenessCheck": false, "SocketIOTimeout": 1})"); }
  void TearDown() override {
    if (daemon_.pid() <= 0 || kill(daemon_.pid(), 0) != 0) return;
    daemon_.Signal(SIGTERM);
    EXPECT_EQ(daemon_.WaitExit(60s), 0) << daemon_.Stderr();
  }

  // A service whose process sleeps, with extra members after its keys.
  void Service(const std::string &name, std::string extra = "", const char *type = "MANUAL") {
    const std::string sleeps = R"(", "StartCommand": "/bin/sleep", "StartCommandArgs": ["100000"])";
    daemon_.WriteService(name + ".json", R"({"Name": ")" + name + R"(", "StartupType": ")" + type +
                                             sleeps + extra + "}");
  }
  // Starts the daemon and waits until it answers on its socket.
  void StartDaemon() {
    daemon_.Start();
    ASSERT_TRUE(WaitUntil([&] { return !Names().empty(); }, 60s, 10ms))
        << daemon_.LogText().substr(0, 4000);
  }

  CallTarget Target(int timeoutSec = 10) const {
    return {daemon_.dataDir() + "/sentroserver", Clock::now() + std::chrono::seconds(timeoutSec)};
  }
  CallOutcome Call(const RequestMessage &request) { return CallForResult(Target(), request); }
  SvcStatePayload State(const std::string &name) {
    SvcStatePayload s;
    CallForState(Target(), name, &s);
    return s;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    CallForNames(Target(), {}, &names);
    return names;
  }
  // Waits until every named service is STARTED with a process not in old.
  bool AllStarted(const std::vector<std::string> &names, std::chrono::milliseconds timeout,
                  const std::set<pid_t> &old = {}) {
    size_t next = 0;  // services before next are known to be
    return WaitUntil(
        [&] {
          for (SvcStatePayload s; next < names.size() &&
                                  (s = State(names[next])).state == kStarted && !old.count(s.pid);)
            next++;
          return next == names.size();
        },
        timeout, 20ms);
  }

  // Runs one part, then expects no more descriptors or (where the daemon locks its memory)
  // resident memory than before, no zombie, no child but started services; prints the figure.
  void Measured(const std::string &part, const std::function<std::string()> &body) {
    const Footprint before(daemon_.pid());
    const std::string figure = body();
    std::set<pid_t> services;
    auto settled = [&] {
      services.clear();
      for (const std::string &name : Names())
        if (SvcStatePayload s = State(name); s.state == kStarted) services.insert(s.pid);
      // Without asking more: the daemon closes a connection a turn after its reply.
      return WaitUntil(
          [&] {
            Footprint now(daemon_.pid());
            return now.descriptors <= before.descriptors && now.children == services;
          },
          1s, 10ms);
    };
    WaitUntil(settled, 5s, 50ms);
    const Footprint after(daemon_.pid());
    EXPECT_LE(after.descriptors, before.descriptors) << part;
    EXPECT_EQ(after.children, services) << part;
    EXPECT_EQ(after.zombies, 0) << part;
    // A sanitizer build neither locks nor frees at once (its quarantine holds freed blocks).
    EXPECT_TRUE(before.lockedKiB == 0 || after.rssKiB <= before.rssKiB + 1024) << part;
    std::printf("[figure x%d] %s: %s; before: %s; after: %s\n", Scaled(), part.c_str(),
                figure.c_str(), before.Text().c_str(), after.Text().c_str());
  }

  static constexpr uint32_t kStarted = 2;
  SandboxDaemon daemon_;
};

std::string Header(uint32_t type, uint32_t payloadLength) {
  uint32_t words[4] = {0x1422, 1, type, payloadLength};
  return std::string(reinterpret_cast<const char *>(words), sizeof words);
}
std::string Encoded(const RequestMessage &request) {
  std::vector<uint8_t> bytes = EncodeRequest(request);
  return std::string(bytes.begin(), bytes.end());
}

// What one hostile client does: sends opening at once, then dribble one
// byte every dribbleMs, or vanishes right after the opening. The daemon
// ends every connection; an invalid header gets the invalid-request reply,
// and only a slow writer within the time-out gets a success reply.
const struct Hostile {
  const char *name;
  std::string opening, dribble = "";
  size_t dribbleMs = 0;
  bool vanish = false, answered = false, refused = false;
} kHostile[] = {
    {"silent", ""},
    {"half a header", Header(3, 0).substr(0, 8)},
    {"payload cut short", Header(0, 32) + "web"},
    {"wrong payload length", Header(3, 4) + "abcd", "", 0, false, false, true},
    {"garbage", std::string(64, '\xa5'), "", 0, false, false, true},
    {"vanishing mid-request", Header(0, 32) + "we", "", 0, true},
    {"slow writer in time", "", Encoded({.type = MessageType::ListSvcsReq}), 25, false, true},
    {"slow writer too late", "", Encoded({.type = MessageType::StartSvcReq, .name = "w"}), 150},
};

// A connect bounded by five seconds (the listen backlog is small); -1 when it fails.
int Connect(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval bound = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  sockaddr_un address = {AF_UNIX, {}};
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) close(fd), fd = -1;
  return fd;
}

// One wave of count connections, the behaviours in turn, within eight
// seconds; returns the clients whose outcome was not the expected one.
std::vector<std::string> RunWave(const std::string &path, int count) {
  const auto invalid = EncodeResultReply(static_cast<uint32_t>(ControlResult::InvalidRequest));
  auto client = [](int i) -> const Hostile & { return kHostile[i % std::size(kHostile)]; };
  std::vector<pollfd> waits(count);  // a connection ended has fd -1, which poll skips
  std::vector<std::string> received(count);
  std::vector<size_t> dribbled(count);
  for (int i = 0; i < count; i++) {
    const std::string &opening = client(i).opening;
    waits[i] = {Connect(path), POLLIN, 0};
    send(waits[i].fd, opening.data(), opening.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (client(i).vanish) close(waits[i].fd), waits[i].fd = -1;
  }
  for (auto start = Clock::now(); Clock::now() < start + 8s;) {
    size_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    int open = 0;
    for (int i = 0; i < count; i++) {  // the slow writers' bytes due by now
      const Hostile &c = client(i);
      for (; waits[i].fd >= 0 && dribbled[i] < c.dribble.size() && dribbled[i] * c.dribbleMs <= ms;
           dribbled[i]++)
        send(waits[i].fd, &c.dribble[dribbled[i]], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      open += waits[i].fd >= 0;
    }
    if (open == 0) break;
    poll(waits.data(), count, 5);
    for (int i = 0; i < count; i++) {
      char buffer[512];
      if (waits[i].fd < 0 || waits[i].revents == 0) continue;
      ssize_t n = recv(waits[i].fd, buffer, sizeof buffer, 0);
      if (n > 0) received[i].append(buffer, n);
      if (n <= 0) close(waits[i].fd), waits[i].fd = -1;
    }
  }
  std::vector<std::string> wrong;
  for (int i = 0; i < count; i++) {
    bool answered = received[i].size() >= 16 && received[i][8] == 15;  // a success reply
    bool refused = received[i] == std::string(invalid.begin(), invalid.end());
    if (waits[i].fd >= 0 || answered != client(i).answered || refused != client(i).refused)
      wrong.push_back(client(i).name);
    if (waits[i].fd >= 0) close(waits[i].fd);  // still open after the wave's deadline
  }
  return wrong;
}

// Hostile clients leave the well-behaved one's answers right; then accept
// failing for want of descriptors closes the listener and nothing crashes.
TEST_F(StressTest, HostileClientsAndFailingAcceptsLeaveTheDaemonServingAndItsFootprintUnchanged) {
  Service("web");
  StartDaemon();
  ASSERT_TRUE(Call({.type = MessageType::StartSvcReq, .name = "web"}).succeeded());
  const pid_t webPid = State("web").pid;
  const std::string path = daemon_.dataDir() + "/sentroserver";
  EXPECT_TRUE(RunWave(path, 16).empty());  // warm-up
  Measured("hostile clients", [&] {
    std::atomic<bool> stop{false};
    std::atomic<int> good{0}, bad{0};
    std::thread wellBehaved([&] {
      while (!stop) {
        SvcStatePayload web = State("web");
        bool right = Names() == std::vector<std::string>{"web"} && web.state == kStarted &&
                     static_cast<pid_t>(web.pid) == webPid;
        (right ? good : bad)++;
      }
    });
    const int total = Scaled(1000), waveSize = 250;
    std::vector<std::string> wrong;
    auto started = Clock::now();
    for (int sent = 0; sent < total; sent += waveSize)
      for (const std::string &name : RunWave(path, std::min(waveSize, total - sent)))
        wrong.push_back(name);
    double seconds = SecondsSince(started);
    stop = true;
    wellBehaved.join();
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " clients went wrong, first: " << wrong[0];
    EXPECT_EQ(bad, 0);
    EXPECT_GT(good, 0);
    return std::to_string(total) + " connections in " + std::to_string(seconds) +
           " s; well-behaved " + std::to_string(good) + " right, " + std::to_string(bad) + " wrong";
  });
  // A fresh daemon, whose log the waves' lines have not throttled; without
  // a control socket Measured sees no started service: none runs.
  daemon_.Signal(SIGTERM);
  ASSERT_EQ(daemon_.WaitExit(30s), 0);
  StartDaemon();
  Measured("accept failure", [&] {
    rlimit original, low;
    EXPECT_EQ(prlimit(daemon_.pid(), RLIMIT_NOFILE, nullptr, &original), 0);
    low = {Footprint(daemon_.pid()).descriptors + 4, original.rlim_max};
    EXPECT_EQ(prlimit(daemon_.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<int> held;
    for (int i = 0; i < 12; i++) held.push_back(Connect(path));
    EXPECT_TRUE(daemon_.WaitForLog("accept failed"));
    for (int fd : held) close(fd);
    std::vector<std::string> names;
    CallOutcome refused = CallForNames(Target(2), RequestMessage{}, &names);
    // By design the listener is closed for good: the daemon runs on, its
    // services with it, but takes no control request until it restarts.
    EXPECT_EQ(kill(daemon_.pid(), 0), 0);
    EXPECT_EQ(refused.error, ClientError::NotRunning) << refused.detail;
    EXPECT_EQ(prlimit(daemon_.pid(), RLIMIT_NOFILE, &original, nullptr), 0);
    return "client: " + refused.detail;
  });
  daemon_.Signal(SIGTERM);
  ASSERT_EQ(daemon_.WaitExit(30s), 0);
  StartDaemon();
  EXPECT_EQ(Names(), std::vector<std::string>{"web"});
}

// Then definition files cut at every byte are rejected, each by name, and
// the daemon runs.
TEST_F(StressTest, KillNineWhileRewritingStateLeavesEveryFileWholeAndCutDefinitionsAreRejected) {
  const std::vector<std::string> names = {"alpha", "bravo", "delta", "gamma"};
  for (const std::string &name : names) Service(name);
  const std::regex wholeRunState("\\{\"StartupType\":\"(MANUAL|AUTOMATIC)\"\\}");
  const std::regex wholeStats(
      "\\{\"ApiHealthFailCount\":0,\"ProcessCrashCount\":0,\"ProcessCoredumpCount\":0\\}");
  const unsigned seed = std::random_device()();
  std::mt19937 random(seed);
  const int rounds = Scaled(20);
  int rewrites = 0;
  for (int round = 0; round < rounds; round++) {
    StartDaemon();
    ASSERT_EQ(Names(), names) << "round " << round << ", seed " << seed;
    std::atomic<bool> stop{false};
    std::atomic<int> served{0};
    std::thread client([&] {
      for (uint32_t i = 0; !stop; i++) {
        served += Call({.type = MessageType::SetSvcStateReq,
                        .name = names[i % names.size()],
                        .startupType = static_cast<uint32_t>(i / names.size() % 2)})
                      .succeeded() +
                  Call({.type = MessageType::AllSvcsControlReq,
                        .flags = {.resetFailCounters = i % 3 == 0, .saveCrashStats = true}})
                      .succeeded();
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 80));
    daemon_.Signal(SIGKILL);
    EXPECT_EQ(daemon_.WaitExit(), -2);
    stop = true;
    client.join();
    rewrites += served;
    for (const std::string &name : names) {
      for (auto [path, whole] : {std::pair{"/svcCfgfiles/.state_", &wholeRunState},
                                 {"/../data/.svcStats/stats_", &wholeStats}}) {
        std::string file = daemon_.configDir() + path + name + ".json";
        EXPECT_TRUE(!FileExists(file) || std::regex_match(ReadFile(file), *whole))
            << file << ", seed " << seed;
      }
    }
  }
  const std::string text = ReadFile(daemon_.configDir() + "/svcCfgfiles/alpha.json");
  auto cutFile = [](size_t cut) { return "cut" + std::to_string(1000 + cut) + ".json"; };
  for (size_t cut = 0; cut < text.size(); cut++)
    daemon_.WriteService(cutFile(cut), text.substr(0, cut));
  StartDaemon();
  Measured("kill -9", [&] {
    EXPECT_EQ(Names(), names);
    EXPECT_TRUE(Call({.type = MessageType::AllSvcsControlReq,
                      .flags = {.resetFailCounters = true, .saveCrashStats = true}})
                    .succeeded());
    const std::string log = daemon_.LogText();
    for (size_t cut = 0; cut < text.size(); cut++)
      EXPECT_NE(log.find(cutFile(cut)), std::string::npos) << "the file cut at byte " << cut;
    return std::to_string(rounds) + " rounds, " + std::to_string(rewrites) +
           " rewriting requests answered; seed " + std::to_string(seed) + "; " +
           std::to_string(text.size()) + " cut definitions rejected";
  });
}

// A 1 MiB tmpfs on directory while it lives (mounted false if not allowed); Fill fills it.
struct ScopedTmpfs {
  explicit ScopedTmpfs(const std::string &dir)
      : dir(dir), mounted(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") == 0) {}
  ~ScopedTmpfs() {
    if (mounted) umount2(dir.c_str(), MNT_DETACH);
  }
  void Fill() const { system(("head -c 2M /dev/zero > " + filler + " 2>/dev/null").c_str()); }
  std::string dir, filler = dir + "/filler";
  bool mounted;
};

TEST_F(StressTest, AFullDiskUnderTheLogAndTheMetricsDatabaseLeavesTheDaemonServing) {
  std::string databaseDir = daemon_.sysroot() + "/etc/norvane/norvane-sentro/telemetry/db";
  MakeDirs(databaseDir);
  ScopedTmpfs logDisk(daemon_.workDir()), databaseDisk(databaseDir);
  if (!logDisk.mounted || !databaseDisk.mounted)
    GTEST_SKIP() << "mounting a tmpfs is not permitted";
  ASSERT_EQ(system((std::string(SENTRO_SOURCE_DIR) + "/scripts/install-telemetry-db.sh " +
                    daemon_.sysroot() + " >/dev/null")
                       .c_str()),
            0);
  Service("web");
  StartDaemon();
  RequestMessage start{.type = MessageType::StartSvcReq, .name = "web"}, stop = start;
  stop.type = MessageType::StopSvcReq;
  Measured("full disk", [&] {
    logDisk.Fill();
    databaseDisk.Fill();
    for (int i = 0; i < Scaled(3); i++) {
      EXPECT_TRUE(Call(start).succeeded()) << i;
      EXPECT_TRUE(Call(stop).succeeded()) << i;
    }
    const Footprint full(daemon_.pid());
    unlink(logDisk.filler.c_str());
    unlink(databaseDisk.filler.c_str());
    size_t logged = daemon_.LogText().size();
    EXPECT_TRUE(Call(start).succeeded());
    EXPECT_TRUE(WaitUntil([&] { return daemon_.LogText().size() > logged; }));
    std::string log = daemon_.LogText();
    EXPECT_NE(log.find("bytes discarded. Disk full?", logged), std::string::npos);
    EXPECT_NE(log.find("[InsertSvcsOpDataToDb] Insert operation failed."), std::string::npos);
    return "while full: " + full.Text();
  });
}

TEST_F(StressTest, CrashLoopRestartsOncePerCrashAndLeaksNothing) {
  Service("crashy");
  StartDaemon();
  ASSERT_TRUE(Call({.type = MessageType::StartSvcReq, .name = "crashy"}).succeeded());
  Measured("crash loop", [&] {
    // Each restart waits for the first health poll, a second after launch.
    const int crashes = Scaled(10);
    auto started = Clock::now();
    for (int i = 0; i < crashes; i++) {
      pid_t old = State("crashy").pid;
      EXPECT_EQ(kill(old, SIGKILL), 0);
      EXPECT_TRUE(AllStarted({"crashy"}, 10s, {old})) << "no restart after crash " << i + 1;
    }
    double seconds = SecondsSince(started);
    // One restart per crash: the counter matches and Measured finds no extra process. (Not
    // from the log, whose throttle drops lines under this many requests.)
    EXPECT_TRUE(Call({.type = MessageType::AllSvcsControlReq, .flags = {.saveCrashStats = true}})
                    .succeeded());
    std::string stats = ReadWholeFile(daemon_.dataDir() + "/.svcStats/stats_crashy.json");
    const std::string count = "\"ProcessCrashCount\":" + std::to_string(crashes) + ",";
    EXPECT_NE(stats.find(count), std::string::npos) << stats;
    return std::to_string(crashes) + " crashes in " + std::to_string(seconds) + " s; " + stats;
  });
}

// A SIGHUP storm during a start batch, then children exiting at once: every
// service starts once, every child is reaped and restarted.
TEST_F(StressTest, SighupStormDuringAStartBatchExitsAtOnceAndHealthChecksOfAllAtOnce) {
  const std::string checked = daemon_.Root("checked"), script = daemon_.Root("health.sh");
  WriteFile(script, "#!/bin/sh\necho \"$1\" >> " + checked + "\n");
  chmod(script.c_str(), 0755);
  const std::string health = R"(, "ApiHealthCommand": ")" + script + R"(", "ApiHealthCommandArgs")";
  std::vector<std::string> names;
  for (int i = 0; i < Scaled(50); i++) {
    const std::string &name = names.emplace_back("herd" + std::to_string(1000 + i));
    Service(name, health + R"(: [")" + name + "\"]", "AUTOMATIC");
  }
  daemon_.Start();
  // Before its signal descriptor is set up a SIGHUP would end the daemon.
  ASSERT_TRUE(daemon_.WaitForLog("Starting Sentro with profile"));
  Measured("SIGHUP storm", [&] {
    const int hangups = Scaled(100);
    for (int i = 0; i < hangups; i++) {
      daemon_.Signal(SIGHUP);
      std::this_thread::sleep_for(500us);
    }
    EXPECT_TRUE(AllStarted(names, 60s));
    return std::to_string(hangups) + " SIGHUPs during a start batch of " +
           std::to_string(names.size()) + " services";
  });
  Measured("exit storm", [&] {
    std::set<pid_t> old;
    for (const std::string &name : names) old.insert(State(name).pid);
    auto killing = Clock::now();
    for (pid_t pid : old) kill(pid, SIGKILL);
    double killSeconds = SecondsSince(killing);
    EXPECT_TRUE(AllStarted(names, 60s, old));
    return std::to_string(names.size()) + " children killed within " +
           std::to_string(killSeconds * 1e6) + " us";
  });
  // Every health command in flight at once, the socket answering meanwhile.
  Measured("health check all", [&] {
    WriteFile(checked, "");
    const auto began = Clock::now();
    std::atomic<bool> done = false;
    std::thread healthCheck([&] {
      EXPECT_TRUE(CallForResult(Target(100), {.type = MessageType::AllSvcsControlReq,
                                              .flags = {.healthCheck = true}})
                      .succeeded());
      done = true;
    });
    int answered = 0;
    for (; !done; answered++) EXPECT_EQ(Names().size(), names.size());
    healthCheck.join();
    std::istringstream lines(ReadFile(checked));
    std::set<std::string> seen;
    for (std::string line; std::getline(lines, line);) seen.insert(line);
    EXPECT_EQ(seen, std::set<std::string>(names.begin(), names.end()));
    return std::to_string(names.size()) + " services in " + std::to_string(SecondsSince(began)) +
           " s; " + std::to_string(answered) + " list requests answered meanwhile";
  });
}

// A service holds its three streams only; SIGPIPE and what the daemon's parent ignored stay
// ignored, nothing is caught or blocked; a user's service holds its groups only; the fd limit
// is the daemon's at start (which raises its own to the hard limit), or the service's.
TEST_F(StressTest, AServiceProcessStartsWithItsStreamsIgnoredSignalsUsersGroupsAndFdLimit) {
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGUSR2, &ignore, &previous);
  Service("plain");
  Service("nobody", ", \"RunAsUser\": \"nobody\"");
  Service("limited", ", \"ProcessFdLimit\": 77");
  rlimit saved, stingy, limit;
  getrlimit(RLIMIT_NOFILE, &saved);
  stingy = {std::min<rlim_t>(512, saved.rlim_cur), saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &stingy), 0);
  StartDaemon();
  setrlimit(RLIMIT_NOFILE, &saved);
  sigaction(SIGUSR2, &previous, nullptr);
  EXPECT_EQ(prlimit(daemon_.pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
  EXPECT_EQ(limit.rlim_cur, saved.rlim_max);
  Measured("children", [&] {
    auto mask = [](pid_t pid, const char *key) {
      return std::stoull(StatusField(pid, key), nullptr, 16);
    };
    std::string figure;
    for (std::string name : {"plain", "nobody", "limited"}) {
      SCOPED_TRACE(name);
      EXPECT_TRUE(Call({.type = MessageType::StartSvcReq, .name = name}).succeeded());
      pid_t pid = State(name).pid;
      EXPECT_EQ(Entries("/proc/" + std::to_string(pid) + "/fd"),
                (std::set<std::string>{"0", "1", "2"}));
      EXPECT_EQ(mask(pid, "SigBlk") | mask(pid, "SigCgt"), 0u);
      EXPECT_EQ(mask(pid, "SigIgn"), 1u << (SIGPIPE - 1) | 1u << (SIGUSR2 - 1));
      if (name != "nobody") {  // whose limits only its own user may read
        EXPECT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &limit), 0);
        EXPECT_EQ(limit.rlim_cur, name == "limited" ? 77 : stingy.rlim_cur);
      }
      figure += name + " Groups: " + StatusField(pid, "Groups") + "; ";
    }
    gid_t groups[64];
    int count = 64;
    EXPECT_GT(getgrouplist("nobody", 65534, groups, &count), 0);
    std::set<gid_t> held;
    std::istringstream fields(StatusField(State("nobody").pid, "Groups"));
    for (gid_t group; fields >> group;) held.insert(group);
    EXPECT_EQ(held, std::set<gid_t>(groups, groups + count));
    EXPECT_EQ(StatusField(State("nobody").pid, "Uid").substr(0, 5), "65534");
    return figure;
  });
}

}  // namespace
