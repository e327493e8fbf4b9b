// Hostile clients by the thousand, in waves, while a well-behaved client's
// requests all get correct answers; and a descriptor limit low enough that
// accept fails.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "StressFixture.h"

namespace {

enum class Outcome { Dropped, Rejected, Answered, Vanished, Other };

std::string Header(uint32_t type, uint32_t payloadLength) {
  uint32_t words[4] = {0x1422, 1, type, payloadLength};
  return std::string(reinterpret_cast<const char *>(words), sizeof words);
}
std::string Encoded(const RequestMessage &request) {
  std::vector<uint8_t> bytes = EncodeRequest(request);
  return std::string(bytes.begin(), bytes.end());
}

// What one hostile client does: sends opening at once, then dribble one
// byte every dribbleMs, or vanishes right after the opening.
const struct Hostile {
  const char *name;
  std::string opening, dribble;
  int dribbleMs;
  bool vanish;
  Outcome expected;
} kHostile[] = {
    {"silent", "", "", 0, false, Outcome::Dropped},
    {"half a header", Header(3, 0).substr(0, 8), "", 0, false, Outcome::Dropped},
    {"payload cut short", Header(0, 32) + "web", "", 0, false, Outcome::Dropped},
    {"wrong payload length", Header(3, 4) + "abcd", "", 0, false, Outcome::Rejected},
    {"garbage", std::string(64, '\xa5'), "", 0, false, Outcome::Rejected},
    {"vanishing mid-request", Header(0, 32) + "we", "", 0, true, Outcome::Vanished},
    {"slow writer within the time-out", "", Encoded({.type = MessageType::ListSvcsReq}), 25, false,
     Outcome::Answered},
    {"slow writer past the time-out", "",
     Encoded({.type = MessageType::GetSvcStateReq, .name = "web"}), 150, false, Outcome::Dropped},
};

Outcome OutcomeOf(const std::string &reply) {
  auto word = [&](size_t at) {
    uint32_t value = 0;
    memcpy(&value, reply.data() + at, 4);
    return value;
  };
  if (reply.empty()) return Outcome::Dropped;
  if (reply.size() >= 20 && word(8) == 16 && word(16) == 8) return Outcome::Rejected;
  if (reply.size() >= 16 && word(8) == 15) return Outcome::Answered;
  return Outcome::Other;
}

// A blocking connect bounded by five seconds (the listen backlog is small);
// -1 when it fails.
int Connect(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval bound = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  sockaddr_un address = {AF_UNIX, {}};
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

// One wave of count connections, the behaviours in turn, within eight
// seconds; returns the clients whose outcome was not the expected one.
std::vector<std::string> RunWave(const std::string &path, int count) {
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
    Outcome outcome = client(i).vanish   ? Outcome::Vanished
                      : waits[i].fd >= 0 ? Outcome::Other  // open past the wave's deadline
                                         : OutcomeOf(received[i]);
    if (waits[i].fd >= 0) close(waits[i].fd);
    if (outcome != client(i).expected) wrong.push_back(client(i).name);
  }
  return wrong;
}

TEST_F(StressTest, HostileClientsInWavesLeaveAnswersRightAndTheFootprintUnchanged) {
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
    for (int sent = 0; sent < total; sent += waveSize) {
      for (const std::string &name : RunWave(path, std::min(waveSize, total - sent)))
        wrong.push_back(name);
    }
    double seconds = SecondsSince(started);
    stop = true;
    wellBehaved.join();
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " clients went wrong, first: " << wrong[0];
    EXPECT_EQ(bad, 0);
    EXPECT_GT(good, 0);
    return std::to_string(total) + " connections in " + std::to_string(seconds) +
           " s; well-behaved " + std::to_string(good) + " right, " + std::to_string(bad) + " wrong";
  });
}

TEST_F(StressTest, AcceptFailingForWantOfDescriptorsClosesTheListenerAndNothingCrashes) {
  Service("web");
  StartDaemon();
  Measured("accept failure", [&] {
    rlimit original, low;
    EXPECT_EQ(prlimit(daemon_.pid(), RLIMIT_NOFILE, nullptr, &original), 0);
    low = {Footprint(daemon_.pid()).descriptors + 4, original.rlim_max};
    EXPECT_EQ(prlimit(daemon_.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<int> held;
    for (int i = 0; i < 12; i++) held.push_back(Connect(daemon_.dataDir() + "/sentroserver"));
    EXPECT_TRUE(daemon_.WaitForLog("accept failed"));
    for (int fd : held) close(fd);
    std::vector<std::string> names;
    CallOutcome refused = CallForNames(Target(2), RequestMessage{}, &names);
    // By design the listener is closed for good: the daemon runs on, its
    // services with it, but takes no control request until it restarts.
    EXPECT_EQ(kill(daemon_.pid(), 0), 0);
    EXPECT_EQ(refused.error, ClientError::NotRunning) << refused.detail;
    EXPECT_EQ(prlimit(daemon_.pid(), RLIMIT_NOFILE, &original, nullptr), 0);
    std::string log = daemon_.LogText();
    size_t line = log.rfind('\n', log.find("accept failed")) + 1;
    return "log: " + log.substr(line, log.find('\n', line) - line) + "; client: " + refused.detail;
  });
  daemon_.Signal(SIGTERM);
  ASSERT_EQ(daemon_.WaitExit(30s), 0);
  StartDaemon();
  EXPECT_EQ(Names(), std::vector<std::string>{"web"});
}

}  // namespace
