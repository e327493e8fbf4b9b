// Control socket throughput of the real daemon, beside a minimal Unix-socket
// server measured in the same run.
//
// The daemon runs in a sandbox (its own directories and SENTRO_SYSROOT) with
// 200 manual services and LogLevel 5. One client opens a fresh connection
// per GetSvcStateReq, as sentroctl does; the baseline server answers a
// 16-byte request with a 16-byte reply per connection and closes. Printed
// afterwards: the ratio daemon / baseline (target at least 0.5), and the
// time until 500 clients connecting at once all have their answer.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "src/protocol/MessageHeader.h"
#include "src/protocol/RequestMessage.h"
#include "support/SandboxDaemon.h"
#include "support/TempDir.h"
#include "tools/sentroctl/ControlCalls.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kServices = 200;
const int kBurstClients = 500;
const int kBaselineMessage = 16;
// Same listen backlog as the daemon's control socket.
const int kBacklog = 5;

double daemonRate = 0;    // round trips per second, last measured
double baselineRate = 0;  // likewise
double daemonBurstMs = 0;
double baselineBurstMs = 0;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct sockaddr_un UnixAddress(const std::string &path) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  return address;
}

// The daemon under test, started once on first use and killed at exit.
class BenchDaemon {
 public:
  BenchDaemon() {
    std::string script = daemon_.Root("svc.sh");
    WriteFile(script, "#!/bin/sh\nexec sleep 1000\n");
    daemon_.WriteConfig("{\"EnableLivenessCheck\": false, \"LogLevel\": 5}");
    for (int i = 0; i < kServices; i++) {
      std::string name = ServiceName(i);
      daemon_.WriteService(name + ".json", "{\"Name\": \"" + name +
                                               "\", \"StartupType\": \"MANUAL\", "
                                               "\"StartCommand\": \"" +
                                               script + "\"}");
    }
    daemon_.Start();
    ready_ = daemon_.WaitForLog("Sentro service is running in", std::chrono::seconds(20));
    if (!ready_) {
      fprintf(stderr, "daemon did not start:\n%s\n", daemon_.LogText().c_str());
    }
  }

  static std::string ServiceName(int i) {
    char name[32];
    snprintf(name, sizeof name, "svc%03d", i);
    return name;
  }

  bool ready() const { return ready_; }
  std::string socketPath() const { return daemon_.dataDir() + "/sentroserver"; }

 private:
  SandboxDaemon daemon_;
  bool ready_ = false;
};

BenchDaemon *Daemon() {
  static std::unique_ptr<BenchDaemon> daemon(new BenchDaemon);
  return daemon.get();
}

// The baseline: accept, read 16 bytes, write 16 bytes, close; one thread.
class BaselineServer {
 public:
  BaselineServer() : path_(dir_.Sub("baseline")) {
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = UnixAddress(path_);
    if (bind(listenFd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
        listen(listenFd_, kBacklog) != 0) {
      perror("baseline listen");
      abort();
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~BaselineServer() {
    stopping_ = true;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = UnixAddress(path_);
    connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
    close(fd);
    thread_.join();
    close(listenFd_);
  }
  const std::string &path() const { return path_; }

 private:
  void Serve() {
    while (!stopping_) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        continue;
      }
      uint8_t buffer[kBaselineMessage];
      size_t got = 0;
      while (got < sizeof buffer) {
        ssize_t n = read(fd, buffer + got, sizeof buffer - got);
        if (n <= 0) {
          break;
        }
        got += static_cast<size_t>(n);
      }
      if (got == sizeof buffer) {
        (void)!write(fd, buffer, sizeof buffer);
      }
      close(fd);
    }
  }

  TempDir dir_;
  std::string path_;
  int listenFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

BaselineServer *Baseline() {
  static std::unique_ptr<BaselineServer> server(new BaselineServer);
  return server.get();
}

// One baseline exchange with blocking calls; false on any failure.
bool BaselineExchange(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un address = UnixAddress(path);
  uint8_t message[kBaselineMessage] = {1, 2, 3};
  bool ok = connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0 &&
            write(fd, message, sizeof message) == sizeof message;
  size_t got = 0;
  while (ok && got < sizeof message) {
    ssize_t n = read(fd, message + got, sizeof message - got);
    ok = n > 0;
    got += ok ? static_cast<size_t>(n) : 0;
  }
  close(fd);
  return ok;
}

void BM_DaemonGetSvcState(benchmark::State &state) {
  BenchDaemon *daemon = Daemon();
  if (!daemon->ready()) {
    state.SkipWithError("daemon did not start");
    return;
  }
  int i = 0;
  auto start = Clock::now();
  for (auto _ : state) {
    CallTarget target{daemon->socketPath(), Clock::now() + std::chrono::seconds(10)};
    SvcStatePayload status;
    CallOutcome outcome = CallForState(target, BenchDaemon::ServiceName(i++ % kServices), &status);
    if (!outcome.succeeded()) {
      state.SkipWithError(("GetSvcStateReq failed: " + outcome.detail).c_str());
      return;
    }
  }
  daemonRate = static_cast<double>(state.iterations()) / SecondsSince(start);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DaemonGetSvcState)->MinTime(2.0)->UseRealTime();

void BM_BaselineRoundTrip(benchmark::State &state) {
  BaselineServer *server = Baseline();
  auto start = Clock::now();
  for (auto _ : state) {
    if (!BaselineExchange(server->path())) {
      state.SkipWithError("baseline exchange failed");
      return;
    }
  }
  baselineRate = static_cast<double>(state.iterations()) / SecondsSince(start);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineRoundTrip)->MinTime(2.0)->UseRealTime();

// One client of a burst: connects (again while the backlog is full), sends
// its request and reads until the server closes.
struct BurstClient {
  int fd = -1;
  bool connected = false;
  bool done = false;
  size_t received = 0;
};

// Milliseconds until every client of a burst has its full reply and the
// server closed it; negative when a client failed or 30 s passed.
double RunBurst(const std::string &path, const std::vector<uint8_t> &request, size_t replySize) {
  struct sockaddr_un address = UnixAddress(path);
  std::vector<BurstClient> clients(kBurstClients);
  for (auto &client : clients) {
    client.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  }
  auto start = Clock::now();
  auto deadline = start + std::chrono::seconds(30);
  int remaining = kBurstClients;
  bool failed = false;
  std::vector<struct pollfd> waits;
  std::vector<BurstClient *> waiting;
  while (remaining > 0 && !failed && Clock::now() < deadline) {
    bool connectPending = false;
    for (auto &client : clients) {
      if (client.connected || client.done) {
        continue;
      }
      if (connect(client.fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
        if (errno == EAGAIN) {
          connectPending = true;
          continue;
        }
        failed = true;
        break;
      }
      client.connected = true;
      if (write(client.fd, request.data(), request.size()) !=
          static_cast<ssize_t>(request.size())) {
        failed = true;
      }
    }
    waits.clear();
    waiting.clear();
    for (auto &client : clients) {
      if (client.connected && !client.done) {
        waits.push_back({client.fd, POLLIN, 0});
        waiting.push_back(&client);
      }
    }
    poll(waits.data(), waits.size(), connectPending ? 1 : 100);
    for (size_t i = 0; i < waits.size(); i++) {
      if (waits[i].revents == 0) {
        continue;
      }
      BurstClient *client = waiting[i];
      uint8_t chunk[4096];
      ssize_t n;
      while ((n = read(client->fd, chunk, sizeof chunk)) > 0) {
        client->received += static_cast<size_t>(n);
      }
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        client->done = true;
        remaining--;
        failed = failed || client->received != replySize;
      }
    }
  }
  double ms = SecondsSince(start) * 1000;
  for (auto &client : clients) {
    close(client.fd);
  }
  return failed || remaining > 0 ? -1 : ms;
}

void BM_DaemonBurst500(benchmark::State &state) {
  BenchDaemon *daemon = Daemon();
  if (!daemon->ready()) {
    state.SkipWithError("daemon did not start");
    return;
  }
  RequestMessage request;
  request.type = MessageType::GetSvcStateReq;
  request.name = BenchDaemon::ServiceName(0);
  // The reply size, taken from one ordinary exchange.
  CallTarget target{daemon->socketPath(), Clock::now() + std::chrono::seconds(10)};
  SvcStatePayload status;
  if (!CallForState(target, request.name, &status).succeeded()) {
    state.SkipWithError("GetSvcStateReq failed");
    return;
  }
  std::vector<uint8_t> bytes = EncodeRequest(request);
  size_t replySize = EncodeSvcStateReply(status).size();
  for (auto _ : state) {
    double ms = RunBurst(daemon->socketPath(), bytes, replySize);
    if (ms < 0) {
      state.SkipWithError("a burst client got no complete reply");
      return;
    }
    daemonBurstMs = ms;
    state.SetIterationTime(ms / 1000);
  }
}
BENCHMARK(BM_DaemonBurst500)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_BaselineBurst500(benchmark::State &state) {
  BaselineServer *server = Baseline();
  std::vector<uint8_t> bytes(kBaselineMessage, 7);
  for (auto _ : state) {
    double ms = RunBurst(server->path(), bytes, kBaselineMessage);
    if (ms < 0) {
      state.SkipWithError("a burst client got no complete reply");
      return;
    }
    baselineBurstMs = ms;
    state.SetIterationTime(ms / 1000);
  }
}
BENCHMARK(BM_BaselineBurst500)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (daemonRate > 0 && baselineRate > 0) {
    printf("\nGetSvcState round trips/s: daemon %.0f, baseline %.0f, ratio %.2f (target >= 0.5)\n",
           daemonRate, baselineRate, daemonRate / baselineRate);
  }
  if (daemonBurstMs > 0) {
    printf("500 clients at once: daemon %.1f ms, baseline %.1f ms\n", daemonBurstMs,
           baselineBurstMs);
  }
  return 0;
}
